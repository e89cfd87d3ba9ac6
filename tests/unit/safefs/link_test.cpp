// Links anywhere on the way to a state file: every operation must refuse them, never follow.
#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <cstring>

#include "safefs/physical_path.h"
#include "safefs/state_file.h"
#include "support/sandbox.h"

namespace kel {
namespace {

using test::ReadFileBytes;
using test::Sandbox;
using test::WriteFileBytes;

constexpr char kDirectoryUnsafe[] = "state file directory handle is unsafe";

// A real tree real\sub\doc.json and links into it at the given places.
class LinkedTree : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!test::RunningUnderWine()) {
      GTEST_SKIP() << "Unix links are made from the Linux side of Wine; NTFS links are "
                      "covered by the junction tests";
    }
    std::filesystem::create_directories(sub());
    WriteFileBytes(sub() / L"doc.json", "original");
  }
  void TearDown() override {
    if (!root_link_.empty()) test::RemoveTree(root_link_);
  }

  std::filesystem::path real() const { return sandbox_.root() / L"real"; }
  std::filesystem::path sub() const { return real() / L"sub"; }

  std::filesystem::path Link(const std::filesystem::path& target,
                             const std::filesystem::path& link) {
    std::string reason;
    EXPECT_TRUE(test::MakeUnixSymlink(target, link, reason)) << reason;
    return link;
  }

  // A link directly under the drive root, removed again by TearDown.
  std::filesystem::path RootLink() {
    root_link_ = std::filesystem::path(L"C:\\") /
                 (L"kel_link_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                  std::to_wstring(GetTickCount64()));
    return Link(real(), root_link_);
  }

  // Read, write, remove, prove and directory creation all refused with `expected`, and
  // nothing behind the link changed.
  void ExpectDirectoryRefused(const std::filesystem::path& dir, const std::string& expected) {
    const auto file = dir / L"doc.json";
    for (bool missing_ok : {false, true}) {
      bool existed = true;
      std::string content = "x";
      std::string error;
      EXPECT_FALSE(ReadStateFile(file, 1024, missing_ok, existed, content, error));
      EXPECT_EQ(error, expected);
      EXPECT_FALSE(existed);
      EXPECT_EQ(content, "");
    }
    std::string error;
    EXPECT_FALSE(WriteStateFileAtomic(file, "replaced", 1024, error));
    EXPECT_EQ(error, expected);
    error.clear();
    EXPECT_FALSE(RemoveStateFile(file, error));
    EXPECT_EQ(error, expected);
    error.clear();
    EXPECT_FALSE(EnsureStateDirectory(dir / L"new", error));
    EXPECT_EQ(error, expected);
    PhysicalIdentity identity;
    error.clear();
    EXPECT_FALSE(ProvePhysicalPath(file, false, identity, error));
    EXPECT_EQ(error, expected);
    error.clear();
    EXPECT_FALSE(ProvePhysicalPath(dir, true, identity, error));
    EXPECT_EQ(error, expected);
    EXPECT_FALSE(IsPhysicalFile(file));

    EXPECT_EQ(ReadFileBytes(sub() / L"doc.json"), "original");
    EXPECT_FALSE(std::filesystem::exists(sub() / L"new"));
    size_t entries = 0;
    for (const auto& entry : std::filesystem::directory_iterator(sub())) {
      (void)entry;
      ++entries;
    }
    EXPECT_EQ(entries, 1u) << "a temporary or a new file appeared behind the link";
  }

  Sandbox sandbox_;
  std::filesystem::path root_link_;
};

TEST_F(LinkedTree, LinkAsChildOfTheDriveRoot) {
  ExpectDirectoryRefused(RootLink() / L"sub", kDirectoryUnsafe);
}

TEST_F(LinkedTree, LinkInTheMiddleOfThePath) {
  ExpectDirectoryRefused(Link(real(), sandbox_.root() / L"middle") / L"sub", kDirectoryUnsafe);
}

TEST_F(LinkedTree, LinkAsTheLastDirectory) {
  ExpectDirectoryRefused(Link(sub(), real() / L"last"), kDirectoryUnsafe);
}

TEST_F(LinkedTree, FileThatIsALink) {
  const auto link = Link(sub() / L"doc.json", sub() / L"link.json");
  bool existed = true;
  std::string content;
  std::string error;
  EXPECT_FALSE(ReadStateFile(link, 1024, true, existed, content, error));
  EXPECT_EQ(error, "state file open read target handle is unsafe");
  error.clear();
  EXPECT_FALSE(RemoveStateFile(link, error));
  EXPECT_EQ(error, "state file open remove target handle is unsafe");
  PhysicalIdentity identity;
  error.clear();
  EXPECT_FALSE(ProvePhysicalPath(link, false, identity, error));
  EXPECT_EQ(error, "state file open physical proof target handle is unsafe");
  EXPECT_FALSE(IsPhysicalFile(link));
  EXPECT_EQ(ReadFileBytes(sub() / L"doc.json"), "original");

  // A write never goes through the link: the rename replaces the link itself.
  error.clear();
  ASSERT_TRUE(WriteStateFileAtomic(link, "own content", 1024, error)) << error;
  EXPECT_TRUE(IsPhysicalFile(link));
  EXPECT_EQ(ReadFileBytes(link), "own content");
  EXPECT_EQ(ReadFileBytes(sub() / L"doc.json"), "original");
}

// Past MAX_PATH the final path of a handle comes another way under Wine: links there are
// refused all the same.
TEST_F(LinkedTree, LinksPastMaxPath) {
  std::filesystem::path deep = sandbox_.root();
  for (int i = 0; i < 5; ++i) deep /= std::wstring(60, static_cast<wchar_t>(L'a' + i));
  ASSERT_GT(deep.wstring().size(), 300u);
  std::filesystem::create_directories(ToExtendedPath(deep));
  ExpectDirectoryRefused(Link(real(), ToExtendedPath(deep / L"dir_link")) / L"sub",
                         kDirectoryUnsafe);
  const auto file_link = Link(sub() / L"doc.json", ToExtendedPath(deep / L"file_link.json"));
  std::string error;
  PhysicalIdentity identity;
  EXPECT_FALSE(ProvePhysicalPath(file_link, false, identity, error));
  EXPECT_EQ(error, "state file open physical proof target handle is unsafe");
  // The real file beside them at that depth is proven.
  WriteFileBytes(ToExtendedPath(deep / L"real.json"), "deep");
  error.clear();
  EXPECT_TRUE(ProvePhysicalPath(deep / L"real.json", false, identity, error)) << error;
  EXPECT_EQ(identity.final_path.size(), deep.wstring().size() + 10);
}

// --- NTFS junctions (Windows only: Wine cannot set a reparse point) ---

struct MountPointReparseBuffer {
  DWORD ReparseTag;
  WORD ReparseDataLength;
  WORD Reserved;
  WORD SubstituteNameOffset;
  WORD SubstituteNameLength;
  WORD PrintNameOffset;
  WORD PrintNameLength;
  WCHAR PathBuffer[1];
};

bool MakeJunction(const std::filesystem::path& target, const std::filesystem::path& link,
                  std::string& reason) {
  std::filesystem::create_directories(link);
  unique_file dir(CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
  if (!dir) {
    reason = "could not open the junction directory (" + std::to_string(GetLastError()) + ")";
    return false;
  }
  const std::wstring substitute = L"\\??\\" + target.wstring();
  const std::wstring print = target.wstring();
  const size_t names = (substitute.size() + 1 + print.size() + 1) * sizeof(wchar_t);
  std::vector<unsigned char> buffer(offsetof(MountPointReparseBuffer, PathBuffer) + names, 0);
  auto* data = reinterpret_cast<MountPointReparseBuffer*>(buffer.data());
  data->ReparseTag = IO_REPARSE_TAG_MOUNT_POINT;
  data->ReparseDataLength = static_cast<WORD>(buffer.size() - 8);
  data->SubstituteNameOffset = 0;
  data->SubstituteNameLength = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
  data->PrintNameOffset = static_cast<WORD>((substitute.size() + 1) * sizeof(wchar_t));
  data->PrintNameLength = static_cast<WORD>(print.size() * sizeof(wchar_t));
  std::memcpy(data->PathBuffer, substitute.c_str(), (substitute.size() + 1) * sizeof(wchar_t));
  std::memcpy(data->PathBuffer + substitute.size() + 1, print.c_str(),
              (print.size() + 1) * sizeof(wchar_t));
  DWORD returned = 0;
  if (!DeviceIoControl(dir.get(), FSCTL_SET_REPARSE_POINT, buffer.data(),
                       static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr)) {
    reason = "FSCTL_SET_REPARSE_POINT failed (" + std::to_string(GetLastError()) + ")";
    return false;
  }
  return true;
}

TEST(Junction, RefusedInThePathAndAsTheLastDirectory) {
  if (test::RunningUnderWine()) {
    GTEST_SKIP() << "needs a real NTFS junction: Wine's FSCTL_SET_REPARSE_POINT fails with 50";
  }
  Sandbox sandbox;
  const auto real = sandbox.root() / L"real";
  std::filesystem::create_directories(real / L"sub");
  WriteFileBytes(real / L"sub" / L"doc.json", "original");
  std::string reason;
  ASSERT_TRUE(MakeJunction(real, sandbox.root() / L"junction", reason)) << reason;
  ASSERT_TRUE(MakeJunction(real / L"sub", real / L"last", reason)) << reason;
  for (const auto& dir : {sandbox.root() / L"junction" / L"sub", real / L"last"}) {
    bool existed = true;
    std::string content;
    std::string error;
    EXPECT_FALSE(ReadStateFile(dir / L"doc.json", 1024, true, existed, content, error));
    EXPECT_EQ(error, kDirectoryUnsafe);
    error.clear();
    EXPECT_FALSE(WriteStateFileAtomic(dir / L"doc.json", "replaced", 1024, error));
    EXPECT_EQ(error, kDirectoryUnsafe);
    error.clear();
    EXPECT_FALSE(RemoveStateFile(dir / L"doc.json", error));
    EXPECT_EQ(error, kDirectoryUnsafe);
    error.clear();
    EXPECT_FALSE(EnsureStateDirectory(dir / L"one" / L"two", error));
    EXPECT_EQ(error, kDirectoryUnsafe);
    EXPECT_FALSE(IsPhysicalFile(dir / L"doc.json"));
  }
  EXPECT_EQ(ReadFileBytes(real / L"sub" / L"doc.json"), "original");
  EXPECT_FALSE(std::filesystem::exists(real / L"sub" / L"one"));
}

TEST(Junction, FileWithAReparseTagIsNotPhysical) {
  if (test::RunningUnderWine()) {
    GTEST_SKIP() << "needs a real NTFS reparse point: Wine's FSCTL_SET_REPARSE_POINT fails "
                    "with 50";
  }
  Sandbox sandbox;
  const auto file = sandbox.root() / L"doc.json";
  WriteFileBytes(file, "x");
  // A file symbolic link needs a privilege ordinary users may lack; skip rather than guess.
  const auto link = sandbox.root() / L"link.json";
  if (!CreateSymbolicLinkW(link.c_str(), file.c_str(),
                           SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE) ||
      GetFileAttributesW(link.c_str()) == INVALID_FILE_ATTRIBUTES) {
    GTEST_SKIP() << "cannot create a file symbolic link here (" << GetLastError() << ")";
  }
  EXPECT_FALSE(IsPhysicalFile(link));
  bool existed = true;
  std::string content;
  std::string error;
  EXPECT_FALSE(ReadStateFile(link, 1024, false, existed, content, error));
  EXPECT_EQ(error, "state file open read target handle is unsafe");
}

}  // namespace
}  // namespace kel
