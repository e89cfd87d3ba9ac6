#include "install/sha256.h"

#include <windows.h>

#include <gtest/gtest.h>

#include "common/handles.h"
#include "common/text.h"
#include "support/sandbox.h"

namespace kel {
namespace {

using test::Sandbox;
using test::WriteFileBytes;

std::string Pattern(std::size_t count) {
  std::string out(count, '\0');
  for (std::size_t i = 0; i < count; ++i) out[i] = static_cast<char>(i % 251);
  return out;
}

std::string DigestOf(const std::filesystem::path& path) {
  std::string digest = "previous content";
  std::string error;
  EXPECT_TRUE(Sha256OfFile(path, digest, error)) << error;
  EXPECT_TRUE(error.empty());
  return digest;
}

TEST(Sha256OfFile, KnownDigestsAndBlockBoundaries) {
  Sandbox sandbox;
  const auto file = sandbox.root() / L"data.bin";
  WriteFileBytes(file, "");
  EXPECT_EQ(DigestOf(file), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  WriteFileBytes(file, "abc");
  EXPECT_EQ(DigestOf(file), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  // Reference digests of the i % 251 pattern, computed independently.
  WriteFileBytes(file, Pattern(65535));
  EXPECT_EQ(DigestOf(file), "dda402a2c028f0cbbdbc5c6ebae965eed9c75f71236e7022b0386d3455d5ae2f");
  WriteFileBytes(file, Pattern(65536));
  EXPECT_EQ(DigestOf(file), "4b640d85ab3ba30fd02c9fc9db4a8928f416322ad27022ea58a65aaee68a4df2");
  WriteFileBytes(file, Pattern(65537));
  EXPECT_EQ(DigestOf(file), "237356e18b503616912abb8ffaed3a72591e397d4ac294c4637917d48a3f529d");
}

TEST(Sha256OfFile, MissingFileNamesThePath) {
  Sandbox sandbox;
  const auto file = sandbox.root() / L"缺少.bin";
  std::string digest;
  std::string error;
  EXPECT_FALSE(Sha256OfFile(file, digest, error));
  EXPECT_EQ(error, "无法读取文件计算校验和: " + WideToUtf8(file.wstring()));
}

TEST(Sha256OfFile, FileHeldOpenForWritingCanBeHashed) {
  Sandbox sandbox;
  const auto file = sandbox.root() / L"busy.bin";
  unique_file writer(CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(writer);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(writer.get(), "abc", 3, &written, nullptr));
  EXPECT_EQ(DigestOf(file), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST(Sha256OfFile, DirectoryIsNotHashable) {
  Sandbox sandbox;
  std::string digest;
  std::string error;
  EXPECT_FALSE(Sha256OfFile(sandbox.root(), digest, error));
  EXPECT_EQ(error.rfind("无法读取文件计算校验和: ", 0), 0u) << error;
}

// A read that fails is no end of file: the digest of nothing must not pass for the file's.
TEST(Sha256OfFile, ReadErrorIsAFailure) {
  if (!test::RunningUnderWine()) GTEST_SKIP() << "needs a file whose read fails (Wine's Z: drive)";
  const std::filesystem::path file = L"Z:\\proc\\self\\mem";  // opens; reading offset 0 fails
  std::string digest;
  std::string error;
  EXPECT_FALSE(Sha256OfFile(file, digest, error)) << digest;
  EXPECT_EQ(error, "无法读取文件计算校验和: Z:\\proc\\self\\mem");
}

}  // namespace
}  // namespace kel
