#pragma once

#include <windows.h>
#include <bcrypt.h>
#include <winhttp.h>
#include <objbase.h>

#include <utility>

namespace kel {

// One owner template for every Win32 handle kind, parameterised by a traits type that names
// the handle type, its invalid value and its close function.
template <typename Traits>
class UniqueResource {
 public:
  using T = typename Traits::type;
  UniqueResource() = default;
  explicit UniqueResource(T value) : value_(value) {}
  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueResource() { reset(); }

  T get() const { return value_; }
  explicit operator bool() const { return value_ != Traits::invalid(); }
  T release() { return std::exchange(value_, Traits::invalid()); }
  void reset(T value = Traits::invalid()) {
    T old = std::exchange(value_, value);
    if (old != Traits::invalid()) Traits::close(old);
  }
  // For out-parameters of the creating call.
  T* put() {
    reset();
    return &value_;
  }

 private:
  T value_ = Traits::invalid();
};

template <typename H, void (*Close)(H)>
struct NullTraits {
  using type = H;
  static H invalid() { return nullptr; }
  static void close(H h) { Close(h); }
};

template <void (*Close)(HANDLE)>
struct InvalidValueTraits {
  using type = HANDLE;
  static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
  static void close(HANDLE h) { Close(h); }
};

namespace handle_close {
inline void Handle(HANDLE h) { ::CloseHandle(h); }
inline void Find(HANDLE h) { ::FindClose(h); }
inline void Key(HKEY h) { ::RegCloseKey(h); }
inline void Internet(HINTERNET h) { ::WinHttpCloseHandle(h); }
inline void Algorithm(BCRYPT_ALG_HANDLE h) { ::BCryptCloseAlgorithmProvider(h, 0); }
inline void Hash(BCRYPT_HASH_HANDLE h) { ::BCryptDestroyHash(h); }
inline void CryptKey(BCRYPT_KEY_HANDLE h) { ::BCryptDestroyKey(h); }
inline void Gdi(HGDIOBJ h) { ::DeleteObject(h); }
inline void Local(HLOCAL h) { ::LocalFree(h); }
inline void CoTask(void* p) { ::CoTaskMemFree(p); }
}  // namespace handle_close

// Kernel objects whose failure value is NULL (processes, threads, mutexes, events).
using unique_handle = UniqueResource<NullTraits<HANDLE, handle_close::Handle>>;
// CreateFileW and friends fail with INVALID_HANDLE_VALUE.
using unique_file = UniqueResource<InvalidValueTraits<handle_close::Handle>>;
using unique_find = UniqueResource<InvalidValueTraits<handle_close::Find>>;
using unique_hkey = UniqueResource<NullTraits<HKEY, handle_close::Key>>;
using unique_hinternet = UniqueResource<NullTraits<HINTERNET, handle_close::Internet>>;
using unique_bcrypt_alg = UniqueResource<NullTraits<BCRYPT_ALG_HANDLE, handle_close::Algorithm>>;
using unique_bcrypt_hash = UniqueResource<NullTraits<BCRYPT_HASH_HANDLE, handle_close::Hash>>;
using unique_bcrypt_key = UniqueResource<NullTraits<BCRYPT_KEY_HANDLE, handle_close::CryptKey>>;
using unique_gdi = UniqueResource<NullTraits<HGDIOBJ, handle_close::Gdi>>;
using unique_hlocal = UniqueResource<NullTraits<HLOCAL, handle_close::Local>>;
using unique_cotaskmem = UniqueResource<NullTraits<void*, handle_close::CoTask>>;

// Cleanup that has no handle of its own.
template <typename F>
class scope_exit {
 public:
  explicit scope_exit(F f) : f_(std::move(f)) {}
  scope_exit(const scope_exit&) = delete;
  scope_exit& operator=(const scope_exit&) = delete;
  ~scope_exit() {
    if (armed_) f_();
  }
  void release() { armed_ = false; }

 private:
  F f_;
  bool armed_ = true;
};

}  // namespace kel
