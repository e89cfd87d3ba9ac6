#include "safefs/physical_path.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "common/text.h"
#include "safefs/state_file.h"
#include "safefs/volume_cache.h"
#include "support/sandbox.h"

namespace kel {
namespace {

using test::Sandbox;
using test::WriteFileBytes;

std::wstring Lower(std::wstring text) {
  for (wchar_t& c : text) c = static_cast<wchar_t>(towlower(c));
  return text;
}

std::wstring CurrentDirectory() {
  std::wstring buffer(32768, L'\0');
  buffer.resize(GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data()));
  return buffer;
}

TEST(CanonicalPath, Table) {
  Sandbox sandbox;
  std::filesystem::create_directories(sandbox.root() / L"Mixed Case" / L"Inner");
  const std::wstring raw = sandbox.root().wstring();
  const std::wstring root = Lower(raw);
  struct Case {
    std::wstring input;
    std::wstring expected;
  } cases[] = {
      {L"", L""},
      {L"relative\\x", L""},
      {L"C:relative", L""},
      {L"\\rooted\\without\\drive", L""},
      {L"C:\\", L"c:\\"},
      {L"c:/", L"c:\\"},
      {L"C:\\\\\\", L"c:\\"},
      {raw + L"\\Mixed Case\\INNER\\\\", root + L"\\mixed case\\inner"},
      {raw + L"/Mixed Case/Inner/", root + L"\\mixed case\\inner"},
      {raw + L"\\Mixed Case\\x\\..\\Inner", root + L"\\mixed case\\inner"},
      // The part that does not exist yet is kept as written (then lowered).
      {raw + L"\\Mixed Case\\Not Yet\\There.JSON", root + L"\\mixed case\\not yet\\there.json"},
      {L"\\\\Server\\Share\\Dir\\", L"\\\\server\\share\\dir"},
      {L"\\\\?\\" + raw + L"\\Mixed Case\\", root + L"\\mixed case"},
      {L"\\\\?\\UNC\\Server\\Share\\Dir", L"\\\\server\\share\\dir"},
      {std::wstring(L"C:\\state\\doc.json\0.evil", 22), L""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CanonicalPath(c.input), c.expected) << WideToUtf8(c.input);
  }
}

TEST(CanonicalPath, ShortNamesExpandUpToTheMissingTail) {
  Sandbox sandbox;
  const auto dir = sandbox.root() / L"A Rather Long Directory Name";
  std::filesystem::create_directories(dir);
  wchar_t short_form[MAX_PATH];
  const DWORD length = GetShortPathNameW(dir.c_str(), short_form, MAX_PATH);
  ASSERT_GT(length, 0u);
  if (std::wstring(short_form) == dir.wstring()) GTEST_SKIP() << "no 8.3 names on this volume";
  const std::wstring expected = Lower(dir.wstring()) + L"\\later\\doc.json";
  EXPECT_EQ(CanonicalPath(std::wstring(short_form) + L"\\Later\\doc.json"), expected);
  PhysicalIdentity by_short;
  PhysicalIdentity by_long;
  std::string error;
  ASSERT_TRUE(ProvePhysicalPath(short_form, true, by_short, error)) << error;
  ASSERT_TRUE(ProvePhysicalPath(dir, true, by_long, error)) << error;
  EXPECT_TRUE(SameIdentity(by_short, by_long));
}

TEST(SplitParentAndName, Table) {
  struct Case {
    const wchar_t* input;
    bool ok;
    const wchar_t* parent;
    const wchar_t* name;
  } cases[] = {
      {L"C:\\State\\Doc.JSON", true, L"c:\\state", L"doc.json"},
      {L"c:/state//doc.json", true, L"c:\\state", L"doc.json"},
      {L"C:\\doc.json", true, L"c:\\", L"doc.json"},
      {L"C:\\", false, L"", L""},
      {L"doc.json", false, L"", L""},
      {L"", false, L"", L""},
  };
  for (const auto& c : cases) {
    std::wstring parent = L"untouched";
    std::wstring name = L"untouched";
    EXPECT_EQ(SplitParentAndName(c.input, parent, name), c.ok) << WideToUtf8(c.input);
    if (c.ok) {
      EXPECT_EQ(parent, c.parent);
      EXPECT_EQ(name, c.name);
    } else {
      EXPECT_EQ(parent, L"untouched");
    }
  }
  for (const wchar_t* bad : {L"", L".", L"..", L"a\\b", L"a/b"}) EXPECT_FALSE(SafeComponent(bad));
  EXPECT_FALSE(SafeComponent(std::wstring_view(L"a\0b", 3)));
  EXPECT_TRUE(SafeComponent(L"...")) << "only . and .. are special";
}

TEST(ExtendedPath, AlwaysPrefixed) {
  const std::wstring cwd = CurrentDirectory();
  struct Case {
    std::wstring input;
    std::wstring expected;
  } cases[] = {
      {L"C:\\a\\b", L"\\\\?\\C:\\a\\b"},
      {L"C:/a/b", L"\\\\?\\C:\\a\\b"},
      {L"\\\\?\\C:\\a", L"\\\\?\\C:\\a"},
      {L"\\\\server\\share\\a", L"\\\\?\\UNC\\server\\share\\a"},
      {L"rel\\x", L"\\\\?\\" + (cwd.back() == L'\\' ? cwd : cwd + L"\\") + L"rel\\x"},
      // The prefix turns off parsing, so these are resolved before it is added.
      {L"C:\\a\\..\\b\\.\\c", L"\\\\?\\C:\\b\\c"},
      {L"C:\\a\\\\b", L"\\\\?\\C:\\a\\b"},
      {L"\\\\server\\share\\a\\..\\b", L"\\\\?\\UNC\\server\\share\\b"},
      // Otherwise an absolute path stays as written: a trailing dot or blank is kept.
      {L"C:\\a\\b. ", L"\\\\?\\C:\\a\\b. "},
      {L"C:\\a\\", L"\\\\?\\C:\\a\\"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ToExtendedPath(c.input), c.expected) << WideToUtf8(c.input);
  }
}

TEST(ExtendedPath, NamesTheSameObjectAsThePlainForm) {
  Sandbox sandbox;
  std::filesystem::create_directories(sandbox.root() / L"a");
  WriteFileBytes(sandbox.root() / L"doc.json", "{}");
  const std::wstring plain = sandbox.root().wstring() + L"\\a\\..\\.\\doc.json";
  ASSERT_NE(GetFileAttributesW(plain.c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(GetFileAttributesW(ToExtendedPath(plain).c_str()), INVALID_FILE_ATTRIBUTES)
      << WideToUtf8(ToExtendedPath(plain));
}

TEST(ExtendedPath, PrefixedOnlyFrom230Characters) {
  const std::wstring plain229 = L"C:\\" + std::wstring(226, L'x');
  const std::wstring long230 = L"C:\\" + std::wstring(227, L'x');
  ASSERT_EQ(plain229.size(), 229u);
  EXPECT_EQ(ToExtendedPathIfLong(plain229), plain229);
  EXPECT_EQ(ToExtendedPathIfLong(long230), L"\\\\?\\" + long230);
  const std::wstring unc = L"\\\\server\\share\\" + std::wstring(215, L'y');
  ASSERT_EQ(unc.size(), 230u);
  EXPECT_EQ(ToExtendedPathIfLong(unc), L"\\\\?\\UNC\\server\\share\\" + std::wstring(215, L'y'));
  EXPECT_EQ(ToExtendedPathIfLong(unc.substr(0, 229)), unc.substr(0, 229));
  EXPECT_EQ(ToExtendedPathIfLong(L""), L"");
  EXPECT_EQ(ToExtendedPathIfLong(L"\\\\?\\C:\\x"), L"\\\\?\\C:\\x");
  EXPECT_EQ(ToExtendedPathIfLong(L"\\\\.\\pipe\\x"), L"\\\\.\\pipe\\x");
  EXPECT_EQ(ToExtendedPathIfLong(L"C:/a/../b"), L"C:\\b");
}

TEST(PortableFileName, Table) {
  for (const wchar_t* good :
       {L"console", L"com10", L"lpt0", L"con-1", L"plugin_registry.json", L"a b", L".hidden",
        L"nul_device", L"\u63d2\u4ef6.rb", L"com\u2074", L"nul-.txt"}) {
    EXPECT_TRUE(IsPortableFileName(good)) << WideToUtf8(good);
  }
  for (const wchar_t* bad :
       {L"", L".", L"..", L"con", L"CON", L"con.txt", L"Nul", L"nul.tar.gz", L"prn", L"aux.json",
        L"com1", L"COM9.x", L"lpt1", L"LPT9.log", L"name.", L"name ", L"a<b", L"a>b", L"a:b",
        L"a\"b", L"a/b", L"a\\b", L"a|b", L"a?b", L"a*b", L"C:x", L"tab\there",
        // Names Windows still opens as a device.
        L"nul .txt", L"Con  .log", L"com\u00B9", L"LPT\u00B3.txt", L"com\u00B2"}) {
    EXPECT_FALSE(IsPortableFileName(bad)) << WideToUtf8(bad);
  }
  EXPECT_FALSE(IsPortableFileName(std::wstring_view(L"a\0b", 3)));
}

TEST(PhysicalProof, DirectoriesAndFiles) {
  Sandbox sandbox;
  const auto dir = sandbox.root() / L"Data" / L"Sub";
  std::filesystem::create_directories(dir);
  WriteFileBytes(dir / L"Doc.json", "{}");
  std::string error;

  PhysicalIdentity identity;
  ASSERT_TRUE(ProvePhysicalPath(dir, true, identity, error)) << error;
  EXPECT_TRUE(identity.is_directory);
  EXPECT_EQ(identity.final_path, Lower(dir.wstring()));
  PhysicalIdentity other;
  const std::wstring slashed = Lower(sandbox.root().wstring()) + L"/DATA/sub/";
  ASSERT_TRUE(ProvePhysicalPath(slashed, true, other, error)) << error;
  EXPECT_TRUE(SameIdentity(identity, other));

  ASSERT_TRUE(ProvePhysicalPath(dir / L"DOC.JSON", false, identity, error)) << error;
  EXPECT_FALSE(identity.is_directory);
  EXPECT_EQ(identity.final_path, Lower((dir / L"doc.json").wstring()));
  EXPECT_TRUE(IsPhysicalFile(dir / L"doc.json"));

  struct Refusal {
    std::filesystem::path path;
    bool directory;
    std::string error;
  } refusals[] = {
      {dir / L"missing", true, "physical directory path is unsafe"},
      {dir / L"missing" / L"doc.json", false, "physical file parent path is unsafe"},
      {dir / L"missing.json", false, "state file open physical proof target failed: 2"},
      {L"relative.json", false, "physical file path is unsafe"},
      {L"\\\\server\\share\\doc.json", false, "physical file parent path is unsafe"},
      {L"\\\\server\\share\\dir", true, "physical directory path is unsafe"},
      {dir / L"doc.json", true, "state file open directory failed: 267"},
      {sandbox.root() / L"Data", false, "state file open physical proof target failed: 5"},
  };
  for (const Refusal& r : refusals) {
    error.clear();
    EXPECT_FALSE(ProvePhysicalPath(r.path, r.directory, identity, error)) << r.path.string();
    EXPECT_EQ(error, r.error) << r.path.string();
  }
  error = "caller's own text";
  EXPECT_FALSE(ProvePhysicalPath(dir / L"missing", true, identity, error));
  EXPECT_EQ(error, "caller's own text");
}

TEST(DirectoryChain, InvariantsAndRelativeOpens) {
  Sandbox sandbox;
  const auto dir = sandbox.root() / L"a" / L"b";
  std::filesystem::create_directories(dir);
  DirectoryChain chain;
  std::string error;
  ASSERT_EQ(OpenChain(chain, dir, false, error), ChainOpen::kOpen) << error;
  ASSERT_TRUE(VerifyChain(chain));
  EXPECT_EQ(chain.identities.front().final_path, L"c:\\");
  EXPECT_EQ(chain.names.back(), L"b");
  EXPECT_EQ(chain.handles.size(), chain.names.size() + 1);

  // Each identity carries what the file system's full id query reports for its handle.
  for (size_t i = 0; i < chain.handles.size(); ++i) {
    FILE_ID_INFO id{};
    ASSERT_TRUE(GetFileInformationByHandleEx(chain.handles[i].get(), FileIdInfo, &id, sizeof(id)));
    EXPECT_EQ(chain.identities[i].volume_serial, id.VolumeSerialNumber) << i;
    EXPECT_EQ(std::memcmp(chain.identities[i].file_id.data(), id.FileId.Identifier, 16), 0) << i;
  }
  EXPECT_NE(chain.identities[1].file_id, chain.identities[2].file_id);

  chain.names.back() = L"c";
  EXPECT_FALSE(VerifyChain(chain));
  chain.names.back() = L"b";
  chain.identities.back().file_id[0] ^= 1;
  EXPECT_FALSE(VerifyChain(chain));
  chain.identities.back().file_id[0] ^= 1;
  chain.identities.back().final_path += L"x";
  EXPECT_FALSE(VerifyChain(chain));
  chain.identities.back().final_path.pop_back();
  ASSERT_TRUE(VerifyChain(chain));

  unique_handle handle;
  NtStatus status = 0;
  for (const wchar_t* bad : {L"", L".", L"..", L"x\\y"}) {
    EXPECT_FALSE(OpenRelative(chain.last_handle(), bad, native_open::kWalkDirectoryAccess,
                              native_open::kShareReadWrite, native_open::kFileOpen,
                              native_open::kDirectoryOptions, handle, status));
    EXPECT_EQ(status, kStatusInvalidParameter);
  }
  EXPECT_FALSE(OpenRelative(chain.last_handle(), std::wstring(0x8000, L'n'), 0x100080, 7, 1,
                            native_open::kNonDirectoryOptions, handle, status));
  EXPECT_EQ(status, kStatusInvalidParameter);
  EXPECT_FALSE(OpenRelative(nullptr, L"b", 0x100080, 7, 1, native_open::kNonDirectoryOptions,
                            handle, status));
  EXPECT_EQ(status, kStatusInvalidParameter);

  // While the chain is open, no directory on it can be renamed away.
  EXPECT_FALSE(MoveFileW(dir.c_str(), (sandbox.root() / L"a" / L"moved").c_str()));
  EXPECT_TRUE(std::filesystem::is_directory(dir));

  EXPECT_EQ(OpenChain(chain, sandbox.root() / L"a" / L"nope" / L"deeper", false, error),
            ChainOpen::kMissing);
  EXPECT_TRUE(chain.empty());
  EXPECT_EQ(error, "");
}

TEST(DirectoryChain, DirectoryReplacedBetweenStepsFailsVerification) {
  Sandbox sandbox;
  const auto dir = sandbox.root() / L"a" / L"b";
  std::filesystem::create_directories(dir);
  DirectoryChain chain;
  std::string error;
  ASSERT_EQ(OpenChain(chain, dir, false, error), ChainOpen::kOpen) << error;
  const std::vector<PhysicalIdentity> recorded = chain.identities;
  chain.Reset();
  ASSERT_TRUE(MoveFileW(dir.c_str(), (sandbox.root() / L"a" / L"b_old").c_str()));
  std::filesystem::create_directories(dir);
  ASSERT_EQ(OpenChain(chain, dir, false, error), ChainOpen::kOpen) << error;
  EXPECT_TRUE(SameIdentity(chain.identities[1], recorded[1]));
  EXPECT_FALSE(SameIdentity(chain.identities.back(), recorded.back()));
  chain.identities = recorded;
  EXPECT_FALSE(VerifyChain(chain));
  unique_handle handle;
  PhysicalIdentity identity;
  EXPECT_FALSE(OpenInChain(chain, L"doc.json", 0x100080, 7, native_open::kFileCreate,
                           native_open::kNonDirectoryOptions, "create test", handle, identity,
                           error));
  EXPECT_EQ(error, "state file directory handle is unsafe");
  EXPECT_FALSE(std::filesystem::exists(dir / L"doc.json"));
}

}  // namespace
}  // namespace kel

namespace kel {
namespace {

// The file system matches names without regard to case in every script, so the comparison
// form must fold more than A-Z: otherwise a correct path that differs from the disk only in
// the case of an accented, Greek or Cyrillic letter would be refused as unsafe.
TEST(PhysicalProof, NonAsciiLettersMatchInAnyCase) {
  Sandbox sandbox;
  const auto upper = sandbox.root() / L"\u00C9T\u00C9 \u0394\u0416";  // ÉTÉ ΔЖ
  const auto lower = sandbox.root() / L"\u00E9t\u00E9 \u03B4\u0436";  // été δж
  std::filesystem::create_directories(upper);
  WriteFileBytes(upper / L"\u00C9tat.json", "{}");

  EXPECT_EQ(CanonicalPath(upper), CanonicalPath(lower));
  std::string error;
  PhysicalIdentity from_upper;
  PhysicalIdentity from_lower;
  ASSERT_TRUE(ProvePhysicalPath(upper, true, from_upper, error)) << error;
  ASSERT_TRUE(ProvePhysicalPath(lower, true, from_lower, error)) << error;
  EXPECT_TRUE(SameIdentity(from_upper, from_lower));
  EXPECT_EQ(from_lower.final_path, CanonicalPath(lower));
  EXPECT_TRUE(IsPhysicalFile(lower / L"\u00E9TAT.JSON"));

  ASSERT_TRUE(WriteStateFileAtomic(lower / L"doc.json", "new", kStateFileLimit1KiB, error))
      << error;
  bool existed = false;
  std::string content;
  ASSERT_TRUE(ReadStateFile(upper / L"DOC.json", kStateFileLimit1KiB, false, existed, content,
                            error))
      << error;
  EXPECT_EQ(content, "new");
}

// What a proof remembers of a drive lasts one operation, and a refused proof forgets it: a disk
// swapped for a stick under the same letter, or a letter that appears later, is seen as it is.
std::atomic<UINT> g_drive_type{DRIVE_FIXED};
UINT FakeDriveType(const wchar_t*) { return g_drive_type.load(); }

TEST(VolumeCache, LastsOneOperationAndIsForgottenAfterARefusedProof) {
  Sandbox sandbox;
  const auto dir = sandbox.root() / L"a";
  std::filesystem::create_directories(dir);
  WriteFileBytes(dir / L"f", "x");
  SetDriveTypeProbeForTesting(FakeDriveType);
  struct Restore {
    ~Restore() {
      SetDriveTypeProbeForTesting(nullptr);
      g_drive_type = DRIVE_FIXED;
    }
  } restore;
  auto queries = [] { return VolumeCacheCountsForTesting().drive_type_queries; };
  auto kept = [] { return VolumeCacheCountsForTesting().kept_roots; };
  PhysicalIdentity identity;
  std::string error;
  {
    VolumeCacheScope operation;
    const size_t before = queries();
    ASSERT_TRUE(ProvePhysicalPath(dir, true, identity, error)) << error;
    ASSERT_TRUE(IsPhysicalFile(dir / L"f"));
    EXPECT_EQ(queries(), before + 1);
    EXPECT_EQ(kept(), 1u);
    // The letter now names a stick: while the kept root still proves itself nothing is asked.
    g_drive_type = DRIVE_REMOVABLE;
    EXPECT_TRUE(ProvePhysicalPath(dir, true, identity, error)) << error;
    EXPECT_FALSE(IsPhysicalFile(dir / L"missing"));  // not there: says nothing of the drive
    EXPECT_EQ(kept(), 1u);
    // A refused walk (a file where a directory should be) forgets the drive ...
    error.clear();
    EXPECT_FALSE(ProvePhysicalPath(dir / L"f" / L"x", true, identity, error));
    EXPECT_EQ(kept(), 0u);
    // ... so the next proof asks again and sees the stick.
    EXPECT_FALSE(ProvePhysicalPath(dir, true, identity, error));
    EXPECT_EQ(queries(), before + 2);
    // A letter that was not there is not remembered as missing.
    g_drive_type = DRIVE_NO_ROOT_DIR;
    EXPECT_FALSE(IsPhysicalFile(dir / L"f"));
    g_drive_type = DRIVE_FIXED;
    error.clear();
    EXPECT_TRUE(ProvePhysicalPath(dir, true, identity, error)) << error;
    EXPECT_EQ(kept(), 1u);
  }
  // No drive root stays open between operations, and outside one nothing is remembered.
  EXPECT_EQ(kept(), 0u);
  const size_t outside = queries();
  EXPECT_TRUE(IsPhysicalFile(dir / L"f"));
  EXPECT_TRUE(IsPhysicalFile(dir / L"f"));
  EXPECT_EQ(queries(), outside + 2);
  EXPECT_EQ(kept(), 0u);
}

}  // namespace
}  // namespace kel
