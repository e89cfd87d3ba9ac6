#include "install/sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <climits>
#include <fstream>
#include <memory>
#include <new>

#include "common/handles.h"
#include "common/text.h"

namespace kel {
namespace {

constexpr std::size_t kBlockSize = 65536;

struct AlignedDelete {
  void operator()(unsigned char* p) const { ::operator delete[](p, std::align_val_t(32)); }
};

std::string ToHex(const unsigned char* bytes, std::size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(count * 2);
  for (std::size_t i = 0; i < count; ++i) {
    out.push_back(kDigits[bytes[i] >> 4]);
    out.push_back(kDigits[bytes[i] & 0x0F]);
  }
  return out;
}

}  // namespace

struct Sha256Stream::State {
  unique_bcrypt_alg algorithm;
  unique_bcrypt_hash hash;
  std::string error;
};

Sha256Stream::Sha256Stream() : state_(std::make_unique<State>()) {
  if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(state_->algorithm.put(),
                                                  BCRYPT_SHA256_ALGORITHM, nullptr, 0))) {
    state_->error = "初始化 SHA-256 引擎失败";
    return;
  }
  DWORD digestLength = 0;
  ULONG written = 0;
  if (!BCRYPT_SUCCESS(BCryptGetProperty(state_->algorithm.get(), BCRYPT_HASH_LENGTH,
                                        reinterpret_cast<PUCHAR>(&digestLength),
                                        sizeof(digestLength), &written, 0)) ||
      digestLength != 32 ||
      !BCRYPT_SUCCESS(BCryptCreateHash(state_->algorithm.get(), state_->hash.put(), nullptr, 0,
                                       nullptr, 0, 0))) {
    state_->error = "创建 SHA-256 上下文失败";
  }
}

Sha256Stream::~Sha256Stream() = default;

void Sha256Stream::Update(const void* data, std::size_t size) {
  if (!state_->error.empty() || size == 0) return;
  if (size > ULONG_MAX ||
      !BCRYPT_SUCCESS(BCryptHashData(state_->hash.get(),
                                     static_cast<PUCHAR>(const_cast<void*>(data)),
                                     static_cast<ULONG>(size), 0))) {
    state_->error = "计算 SHA-256 数据块失败";
  }
}

bool Sha256Stream::Finish(std::string& digest, std::string& error) {
  unsigned char result[32] = {};
  if (state_->error.empty() &&
      !BCRYPT_SUCCESS(BCryptFinishHash(state_->hash.get(), result, sizeof(result), 0))) {
    state_->error = "完成 SHA-256 摘要计算失败";
  }
  if (!state_->error.empty()) {
    error = state_->error;
    return false;
  }
  digest = ToHex(result, sizeof(result));
  return true;
}

bool Sha256OfFile(const std::filesystem::path& path, std::string& digest, std::string& error) {
  // The C runtime opens without a sharing restriction, so a file held open by SketchUp or
  // another writer can still be hashed.
  std::ifstream in(path, std::ios::binary);
  if (!in.is_open()) {
    error = "无法读取文件计算校验和: " + WideToUtf8(path.wstring());
    return false;
  }
  Sha256Stream hash;
  std::unique_ptr<unsigned char[], AlignedDelete> buffer(
      new (std::align_val_t(32)) unsigned char[kBlockSize]());
  while (in.good()) {
    in.read(reinterpret_cast<char*>(buffer.get()), static_cast<std::streamsize>(kBlockSize));
    const std::streamsize got = in.gcount();
    if (got > 0) hash.Update(buffer.get(), static_cast<std::size_t>(got));
  }
  // A read error also ends the loop; the digest of what was read so far would pass a failed
  // read off as the file's content.
  if (in.bad()) {
    error = "无法读取文件计算校验和: " + WideToUtf8(path.wstring());
    return false;
  }
  return hash.Finish(digest, error);
}

}  // namespace kel
