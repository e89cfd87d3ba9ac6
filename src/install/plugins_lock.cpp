#include "install/plugins_lock.h"

#include <windows.h>

#include "common/text.h"
#include "common/win_error.h"
#include "install/sha256.h"
#include "safefs/path_forms.h"

namespace kel {
namespace {

// The folder as the file system names it, through whatever spelling or link reached it; the
// full path when the folder cannot be opened.
std::wstring FinalPathOf(const std::filesystem::path& dir) {
  unique_file handle(CreateFileW(ToExtendedPath(dir).c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (handle) {
    std::wstring buffer(1024, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle.get(), buffer.data(),
                                             static_cast<DWORD>(buffer.size()), VOLUME_NAME_DOS);
    if (length >= buffer.size()) {
      buffer.resize(length + 1);
      length = GetFinalPathNameByHandleW(handle.get(), buffer.data(),
                                         static_cast<DWORD>(buffer.size()), VOLUME_NAME_DOS);
    }
    if (length != 0 && length < buffer.size()) {
      buffer.resize(length);
      if (buffer.starts_with(L"\\\\?\\UNC\\")) return L"\\\\" + buffer.substr(8);
      if (buffer.starts_with(L"\\\\?\\")) return buffer.substr(4);
      return buffer;
    }
  }
  std::wstring full(32768, L'\0');
  const DWORD length = GetFullPathNameW(dir.c_str(), static_cast<DWORD>(full.size()), full.data(),
                                        nullptr);
  if (length == 0 || length >= full.size()) return dir.wstring();
  full.resize(length);
  while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/')) full.pop_back();
  return full;
}

std::wstring Upper(const std::wstring& text) {
  if (text.empty()) return text;
  std::wstring out(text.size(), L'\0');
  const int length = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.c_str(),
                                   static_cast<int>(text.size()), out.data(),
                                   static_cast<int>(out.size()), nullptr, nullptr, 0);
  if (length <= 0) return text;
  out.resize(static_cast<std::size_t>(length));
  return out;
}

}  // namespace

std::wstring PluginsFolderLock::NameFor(const std::filesystem::path& plugins_dir) {
  const std::string bytes = WideToUtf8(Upper(FinalPathOf(plugins_dir)));
  Sha256Stream hash;
  hash.Update(bytes.data(), bytes.size());
  std::string digest, ignored;
  if (!hash.Finish(digest, ignored)) digest = "0";
  return L"Local\\Kelmar.Setup.Plugins.v1." + std::wstring(digest.begin(), digest.end());
}

PluginsFolderLock::~PluginsFolderLock() {
  if (held_) ReleaseMutex(mutex_.get());
}

bool PluginsFolderLock::Acquire(const std::filesystem::path& plugins_dir, std::string& error,
                                std::uint32_t wait_ms) {
  if (held_) return true;
  mutex_.reset(CreateMutexW(nullptr, FALSE, NameFor(plugins_dir).c_str()));
  if (!mutex_) {
    error = WinErrorText("无法创建 Plugins 目录锁", GetLastError()) + ": " +
            WideToUtf8(plugins_dir.wstring());
    return false;
  }
  const DWORD waited = WaitForSingleObject(mutex_.get(), wait_ms);
  if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
    held_ = true;
    return true;
  }
  if (waited == WAIT_TIMEOUT) {
    error = "另一个安装程序正在处理此 Plugins 目录，请等它完成后再试: " +
            WideToUtf8(plugins_dir.wstring());
  } else {
    error = WinErrorText("等待 Plugins 目录锁失败", GetLastError()) + ": " +
            WideToUtf8(plugins_dir.wstring());
  }
  mutex_.reset();
  return false;
}

}  // namespace kel
