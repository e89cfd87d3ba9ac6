#include "safefs/state_file.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <regex>

#include "support/sandbox.h"

namespace kel {
namespace {

using test::ReadFileBytes;
using test::Sandbox;
using test::WriteFileBytes;

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 engine(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(engine() & 0xFF);
  return bytes;
}

std::vector<std::wstring> Entries(const std::filesystem::path& dir) {
  std::vector<std::wstring> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    names.push_back(entry.path().filename().wstring());
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct ReadResult {
  bool ok = false;
  bool existed = true;
  std::string content = "unchanged";
  std::string error;
};

// Handles this process holds, from the system's handle table (the per-process count is not
// kept under Wine).
size_t OpenHandleCount() {
  struct Entry {
    void* object;
    ULONG_PTR process_id;
    ULONG_PTR handle;
    ULONG access;
    USHORT creator_back_trace;
    USHORT type;
    ULONG attributes;
    ULONG reserved;
  };
  using Query = LONG(WINAPI*)(ULONG, void*, ULONG, ULONG*);
  const auto query = reinterpret_cast<Query>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation")));
  constexpr ULONG kSystemExtendedHandleInformation = 64;
  std::vector<ULONG_PTR> buffer(1 << 20);
  ULONG needed = 0;
  if (query == nullptr ||
      query(kSystemExtendedHandleInformation, buffer.data(),
            static_cast<ULONG>(buffer.size() * sizeof(ULONG_PTR)), &needed) < 0) {
    ADD_FAILURE() << "handle table not readable";
    return 0;
  }
  const auto* entries = reinterpret_cast<const Entry*>(buffer.data() + 2);
  size_t count = 0;
  for (ULONG_PTR i = 0; i < buffer[0]; ++i) {
    if (entries[i].process_id == GetCurrentProcessId()) ++count;
  }
  return count;
}

ReadResult Read(const std::filesystem::path& path, size_t max_size, bool missing_ok) {
  ReadResult r;
  r.ok = ReadStateFile(path, max_size, missing_ok, r.existed, r.content, r.error);
  return r;
}

TEST(StateFileRead, MissingFileAndDirectoryWithAndWithoutMissingOk) {
  Sandbox sandbox;
  const auto file = sandbox.root() / L"state" / L"doc.json";
  std::filesystem::create_directories(file.parent_path());

  ReadResult r = Read(file, 1024, true);
  EXPECT_TRUE(r.ok);
  EXPECT_FALSE(r.existed);
  EXPECT_EQ(r.content, "");
  EXPECT_EQ(r.error, "");

  r = Read(file, 1024, false);
  EXPECT_FALSE(r.ok);
  EXPECT_FALSE(r.existed);
  EXPECT_EQ(r.error, "state file open read target failed: 2");

  const auto deep = sandbox.root() / L"missing" / L"deeper" / L"doc.json";
  r = Read(deep, 1024, true);
  EXPECT_TRUE(r.ok);
  EXPECT_FALSE(r.existed);
  EXPECT_EQ(r.error, "");
  r = Read(deep, 1024, false);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, "state file directory is unsafe");
  EXPECT_FALSE(std::filesystem::exists(sandbox.root() / L"missing"));

  // A caller's earlier error text survives a read that finds nothing.
  bool existed = true;
  std::string content;
  std::string error = "earlier failure";
  EXPECT_TRUE(ReadStateFile(file, 1024, true, existed, content, error));
  EXPECT_EQ(error, "earlier failure");
}

TEST(StateFileRead, SizeBoundaries) {
  Sandbox sandbox;
  const auto file = sandbox.root() / L"doc.bin";
  WriteFileBytes(file, "");
  ReadResult r = Read(file, 1024, true);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, "state file size is invalid");
  EXPECT_FALSE(r.existed);
  EXPECT_EQ(r.content, "");

  const std::string exact = RandomBytes(1024, 1);
  WriteFileBytes(file, exact);
  r = Read(file, 1024, false);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_TRUE(r.existed);
  EXPECT_EQ(r.content, exact);

  WriteFileBytes(file, exact + "x");
  r = Read(file, 1024, false);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, "state file size is invalid");
  EXPECT_EQ(r.content, "");

  r = Read(file, 0, false);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, "state file path is unsafe");
}

TEST(StateFileRead, ReadsInSeveralPieces) {
  Sandbox sandbox;
  const auto file = sandbox.root() / L"big.bin";
  const std::string bytes = RandomBytes(3 * 1048576 + 12345, 2);
  WriteFileBytes(file, bytes);
  ReadResult r = Read(file, kStateFileLimit16MiB, false);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_TRUE(r.content == bytes);
}

TEST(StateFileRead, RefusesPathsThatDoNotSplit) {
  // The last one names a stream of C:\a\doc.json, not a file.
  for (const wchar_t* path : {L"", L"relative\\doc.json", L"C:doc.json", L"C:\\", L"C:\\a\\..",
                              L"C:\\a\\doc.json:stream"}) {
    ReadResult r = Read(path, 1024, true);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error, "state file path is unsafe");
  }
}

TEST(StateFileWrite, RefusesEmptyOrOversizedContent) {
  Sandbox sandbox;
  const auto file = sandbox.root() / L"doc.json";
  std::string error;
  EXPECT_FALSE(WriteStateFileAtomic(file, "", 1024, error));
  EXPECT_EQ(error, "state file path or payload is invalid");
  error.clear();
  EXPECT_FALSE(WriteStateFileAtomic(file, std::string(1025, 'x'), 1024, error));
  EXPECT_EQ(error, "state file path or payload is invalid");
  error.clear();
  EXPECT_FALSE(WriteStateFileAtomic(L"relative.json", "x", 1024, error));
  EXPECT_EQ(error, "state file path or payload is invalid");
  EXPECT_TRUE(Entries(sandbox.root()).size() == 5u);  // only the sandbox's own folders
}

TEST(StateFileWrite, CreatesMissingLevelsAndProvesEach) {
  Sandbox sandbox;
  const auto dir = sandbox.root() / L"One" / L"two" / L"three";
  const std::string content(1024, 'a');
  std::string error;
  ASSERT_TRUE(WriteStateFileAtomic(dir / L"doc.json", content, 1024, error)) << error;
  for (auto level : {sandbox.root() / L"one", sandbox.root() / L"one" / L"two", dir}) {
    PhysicalIdentity identity;
    EXPECT_TRUE(ProvePhysicalPath(level, true, identity, error)) << error;
    EXPECT_EQ(identity.final_path, CanonicalPath(level));
  }
  // Created directories keep the caller's spelling.
  const std::vector<std::wstring> top = Entries(sandbox.root());
  EXPECT_NE(std::find(top.begin(), top.end(), L"One"), top.end());
  EXPECT_EQ(Entries(sandbox.root() / L"one"), std::vector<std::wstring>{L"two"});
  EXPECT_EQ(ReadFileBytes(dir / L"doc.json"), content);
  EXPECT_TRUE(IsPhysicalFile(dir / L"doc.json"));
}

TEST(StateFileWrite, KeepsTheCallersSpellingAndLeavesNoTemporary) {
  Sandbox sandbox;
  const auto dir = sandbox.root() / L"state";
  std::filesystem::create_directories(dir);
  std::string error;
  ASSERT_TRUE(WriteStateFileAtomic(dir / L"Receipt.JSON", "first", 1024, error)) << error;
  EXPECT_EQ(Entries(dir), std::vector<std::wstring>{L"Receipt.JSON"});
  ASSERT_TRUE(WriteStateFileAtomic(dir / L"Receipt.JSON", "second", 1024, error)) << error;
  EXPECT_EQ(Entries(dir), std::vector<std::wstring>{L"Receipt.JSON"});
  EXPECT_EQ(ReadFileBytes(dir / L"receipt.json"), "second");
  ASSERT_TRUE(RemoveStateFile(dir / L"Receipt.JSON", error)) << error;

  WriteFileBytes(dir / L"Registry.JSON", "old content");
  ASSERT_TRUE(WriteStateFileAtomic(dir / L"REGISTRY.json", "new content", 1024, error)) << error;
  std::vector<std::wstring> names = Entries(dir);
  ASSERT_EQ(names.size(), 1u);
  // NTFS gives the replacing file the new name; Wine keeps the spelling of the file it
  // replaces (its Unix directory is case-sensitive underneath).
  EXPECT_EQ(names[0], test::RunningUnderWine() ? L"Registry.JSON" : L"REGISTRY.json");
  EXPECT_EQ(ReadFileBytes(dir / L"registry.json"), "new content");

  const std::string big = RandomBytes(2 * 1048576 + 7, 3);
  ASSERT_TRUE(WriteStateFileAtomic(dir / L"registry.json", big, kStateFileLimit16MiB, error))
      << error;
  EXPECT_EQ(Entries(dir), names);
  ReadResult r = Read(dir / L"registry.json", kStateFileLimit16MiB, false);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_TRUE(r.content == big);
}

TEST(StateFileWrite, FailedRenameLeavesNoTemporary) {
  Sandbox sandbox;
  const auto dir = sandbox.root() / L"state";
  // The target name is taken by a directory: the rename must fail.
  std::filesystem::create_directories(dir / L"doc.json" / L"inside");
  std::string error;
  EXPECT_FALSE(WriteStateFileAtomic(dir / L"doc.json", "content", 1024, error));
  EXPECT_EQ(error.rfind("state file atomic rename", 0), 0u) << error;
  EXPECT_EQ(Entries(dir), std::vector<std::wstring>{L"doc.json"});
  EXPECT_TRUE(std::filesystem::is_directory(dir / L"doc.json" / L"inside"));
}

void ExpectWorksInBothForms(const std::filesystem::path& file) {
  std::string error;
  ASSERT_TRUE(WriteStateFileAtomic(file, "long", 1024, error)) << error;
  ReadResult r = Read(ToExtendedPath(file), 1024, false);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.content, "long");
  ASSERT_TRUE(WriteStateFileAtomic(ToExtendedPath(file), "longer", 1024, error)) << error;
  EXPECT_EQ(Read(file, 1024, false).content, "longer");
  EXPECT_TRUE(IsPhysicalFile(ToExtendedPath(file)));
  ASSERT_TRUE(RemoveStateFile(ToExtendedPath(file), error)) << error;
  EXPECT_FALSE(Read(file, 1024, true).existed);
}

TEST(StateFileWrite, ExtendedPathFormNamesTheSameFile) {
  Sandbox sandbox;
  ExpectWorksInBothForms(sandbox.root() / std::wstring(60, L'a') / std::wstring(60, L'b') /
                         L"doc.json");
}

TEST(StateFileWrite, PathsPastMaxPath) {
  Sandbox sandbox;
  std::filesystem::path dir = sandbox.root();
  for (int i = 0; i < 6; ++i) dir /= std::wstring(60, static_cast<wchar_t>(L'a' + i));
  ASSERT_GT(dir.wstring().size(), 380u);
  ExpectWorksInBothForms(dir / L"doc.json");
}

TEST(StateFileRemove, RemovesAndReportsMissing) {
  Sandbox sandbox;
  const auto file = sandbox.root() / L"state" / L"doc.json";
  std::string error;
  ASSERT_TRUE(WriteStateFileAtomic(file, "x", 1024, error)) << error;
  ASSERT_TRUE(RemoveStateFile(sandbox.root() / L"STATE" / L"Doc.json", error)) << error;
  EXPECT_FALSE(std::filesystem::exists(file));

  EXPECT_FALSE(RemoveStateFile(file, error));
  EXPECT_EQ(error, "state file open remove target failed: 2");
  error.clear();
  EXPECT_FALSE(RemoveStateFile(sandbox.root() / L"nowhere" / L"doc.json", error));
  EXPECT_EQ(error, "state file removal target is unsafe");
  EXPECT_FALSE(std::filesystem::exists(sandbox.root() / L"nowhere"));
  error.clear();
  EXPECT_FALSE(RemoveStateFile(L"doc.json", error));
  EXPECT_EQ(error, "state file removal target is unsafe");
}

// The drive root's handle is kept for the process; every other handle of a call is closed.
TEST(StateFile, CallsLeaveNoHandleOpen) {
  Sandbox sandbox;
  const auto file = sandbox.root() / L"state" / L"deeper" / L"doc.json";
  std::string error;
  ASSERT_TRUE(WriteStateFileAtomic(file, "first", 1024, error)) << error;
  const size_t before = OpenHandleCount();
  for (int round = 0; round < 20; ++round) {
    ASSERT_TRUE(WriteStateFileAtomic(file, "again " + std::to_string(round), 1024, error));
    ASSERT_TRUE(Read(file, 1024, false).ok);
    ASSERT_TRUE(Read(sandbox.root() / L"missing" / L"doc.json", 1024, true).ok);
    PhysicalIdentity identity;
    ASSERT_TRUE(ProvePhysicalPath(file, false, identity, error)) << error;
    ASSERT_TRUE(EnsureStateDirectory(sandbox.root() / L"state" / L"deeper", error));
  }
  ASSERT_TRUE(RemoveStateFile(file, error)) << error;
  EXPECT_EQ(OpenHandleCount(), before);
}

TEST(StateDirectory, EnsureCreatesAndAcceptsExisting) {
  Sandbox sandbox;
  const auto dir = sandbox.root() / L"a" / L"b";
  std::string error;
  ASSERT_TRUE(EnsureStateDirectory(dir, error)) << error;
  EXPECT_TRUE(std::filesystem::is_directory(dir));
  ASSERT_TRUE(EnsureStateDirectory(dir, error)) << error;
  WriteFileBytes(sandbox.root() / L"a" / L"file", "x");
  EXPECT_FALSE(EnsureStateDirectory(sandbox.root() / L"a" / L"file" / L"sub", error));
  EXPECT_EQ(error.rfind("state file open directory failed: ", 0), 0u) << error;
}

TEST(StateFile, EveryOperationRefusedWithoutNativeApi) {
  Sandbox sandbox;
  const auto file = sandbox.root() / L"doc.json";
  WriteFileBytes(file, "x");
  SetNativeFileApiHiddenForTesting(true);
  auto restore = scope_exit([] { SetNativeFileApiHiddenForTesting(false); });
  EXPECT_EQ(StatusToDosError(0), 120u);
  EXPECT_EQ(FormatNativeFailure("open read target", 0), "state file open read target failed: 120");
  ReadResult r = Read(file, 1024, true);
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, "state file path is unsafe");
  std::string error;
  EXPECT_FALSE(WriteStateFileAtomic(file, "y", 1024, error));
  EXPECT_EQ(error, "state file path or payload is invalid");
  error.clear();
  EXPECT_FALSE(RemoveStateFile(file, error));
  EXPECT_EQ(error, "state file removal target is unsafe");
  error.clear();
  EXPECT_FALSE(EnsureStateDirectory(sandbox.root() / L"new", error));
  // The walk's relative open is refused, which the layer reports as "not implemented".
  EXPECT_EQ(error, "state file open directory failed: 120");
  EXPECT_FALSE(std::filesystem::exists(sandbox.root() / L"new"));
  error.clear();
  PhysicalIdentity identity;
  EXPECT_FALSE(ProvePhysicalPath(file, false, identity, error));
  EXPECT_EQ(error, "physical path proof is unavailable");
  EXPECT_FALSE(IsPhysicalFile(file));
  EXPECT_EQ(ReadFileBytes(file), "x");
}

// Wine 8, like some file systems on Windows, answers the extended rename class with
// STATUS_NOT_IMPLEMENTED; the write must then go through the older class.
TEST(StateFileWrite, SucceedsWhereTheExtendedRenameClassIsMissing) {
  Sandbox sandbox;
  const auto probe = sandbox.root() / L"probe.bin";
  WriteFileBytes(probe, "x");
  unique_file file(CreateFileW(probe.c_str(), DELETE | SYNCHRONIZE, 0, nullptr, OPEN_EXISTING, 0,
                               nullptr));
  ASSERT_TRUE(file);
  const std::wstring name = L"renamed.bin";
  std::vector<unsigned char> record(24 + name.size() * 2, 0);
  record[0] = 1;
  const ULONG length = static_cast<ULONG>(name.size() * 2);
  std::memcpy(record.data() + 16, &length, 4);
  std::memcpy(record.data() + 20, name.data(), length);
  // A bare new name without a root directory renames within the same directory.
  unsigned char io[16] = {};
  const NtStatus status = GetNativeFileApi().NtSetInformationFile(
      file.get(), io, record.data(), static_cast<ULONG>(record.size()), 65);
  file.reset();
  if (test::RunningUnderWine()) {
    EXPECT_EQ(static_cast<ULONG>(status), 0xC0000002UL) << "Wine now knows the class";
  }
  std::string error;
  ASSERT_TRUE(WriteStateFileAtomic(sandbox.root() / L"doc.json", "content", 1024, error)) << error;
  EXPECT_EQ(ReadFileBytes(sandbox.root() / L"doc.json"), "content");
}

std::vector<std::pair<std::string_view, NtStatus>> g_injected;
int g_injected_calls = 0;

NtStatus InjectFault(std::string_view step) {
  for (const auto& [name, status] : g_injected) {
    if (name == step) {
      ++g_injected_calls;
      return status;
    }
  }
  return 0;
}

// Every way a write can fail once it has a temporary, forced through the test seam: the old
// document stays byte for byte (past the rename the new one is whole), no temporary is left,
// and the message names the step.
TEST(StateFileWrite, EveryFailureAfterTheTemporaryExists) {
  constexpr NtStatus kDenied = static_cast<NtStatus>(0xC0000022L);
  constexpr NtStatus kInvalidClass = static_cast<NtStatus>(0xC0000003L);
  constexpr NtStatus kNotSupported = static_cast<NtStatus>(0xC00000BBL);
  const struct {
    std::vector<std::pair<std::string_view, NtStatus>> steps;
    int calls;
    const char* message;  // empty: the write succeeds
  } cases[] = {
      {{{"create temporary", kDenied}}, 32, "state file temporary could not be opened"},
      {{{"read back", kDenied}}, 1, "state file temporary could not be written"},
      {{{"verify chain", kDenied}}, 1, "state file directory handle is unsafe"},
      {{{"atomic rename", kDenied}}, 1, "state file atomic rename failed: 5"},
      {{{"atomic rename", kInvalidClass}, {"atomic rename legacy", kDenied}},
       2,
       "state file atomic rename legacy failed: 5"},
      {{{"atomic rename", kNotSupported}}, 1, ""},
      {{{"verify replacement", kDenied}}, 1, "state file atomic replacement verification failed"},
  };
  Sandbox sandbox;
  const auto dir = sandbox.root() / L"state";
  SetStateFileFaultHookForTesting(InjectFault);
  auto restore = scope_exit([] { SetStateFileFaultHookForTesting(nullptr); });
  for (const auto& c : cases) {
    const std::string trace = c.steps.back().first.data() + std::string(" ") + c.message;
    WriteFileBytes(dir / L"doc.json", "old");
    g_injected = c.steps;
    g_injected_calls = 0;
    std::string error;
    const bool ok = WriteStateFileAtomic(dir / L"doc.json", "new", 1024, error);
    g_injected.clear();
    EXPECT_EQ(ok, *c.message == '\0') << trace;
    EXPECT_EQ(error, c.message) << trace;
    EXPECT_EQ(g_injected_calls, c.calls) << trace;
    const bool replaced = ok || std::string_view(c.message).find("verification") != std::string_view::npos;
    EXPECT_EQ(ReadFileBytes(dir / L"doc.json"), replaced ? "new" : "old") << trace;
    EXPECT_EQ(Entries(dir), std::vector<std::wstring>{L"doc.json"}) << trace;
  }
}

}  // namespace
}  // namespace kel
