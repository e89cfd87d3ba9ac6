// The registry mutex against other processes: a holder makes operations time out, an
// abandoned mutex lets the next caller in, and concurrent removals lose nothing.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "common/text.h"
#include "registry/registry_store.h"
#include "support/sandbox.h"

namespace kel {
namespace {

using Clock = std::chrono::steady_clock;

class PrivateMutexName {
 public:
  PrivateMutexName() {
    static int counter = 0;
    name_ = L"Local\\kel_registry_test_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
            std::to_wstring(++counter);
    SetRegistryMutexNameForTesting(name_);
  }
  ~PrivateMutexName() { SetRegistryMutexNameForTesting(L""); }
  const std::wstring& name() const { return name_; }

 private:
  std::wstring name_;
};

unique_handle StartHelper(const std::wstring& arguments) {
  const std::wstring exe = (test::ProgramDir() / L"registry_helper.exe").wstring();
  std::wstring command = L"\"" + exe + L"\" " + arguments;
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    ADD_FAILURE() << "CreateProcessW failed (" << GetLastError() << ")";
    return {};
  }
  CloseHandle(pi.hThread);
  return unique_handle(pi.hProcess);
}

DWORD ExitCodeOf(const unique_handle& process) {
  EXPECT_EQ(WaitForSingleObject(process.get(), 60000), WAIT_OBJECT_0);
  DWORD code = 99;
  GetExitCodeProcess(process.get(), &code);
  return code;
}

std::filesystem::path WriteRegistryWithPlugins(const test::Sandbox& sandbox, int count) {
  PluginRegistry registry;
  registry.generation = 10;
  for (int i = 0; i < count; ++i) {
    PluginRecord plugin;
    plugin.name = "plugin " + std::to_string(i);
    registry.plugins.emplace("p" + std::to_string(i), plugin);
  }
  const auto path = sandbox.root() / L"managed_plugins" / L"users" / L"alice" / L"plugin_registry.json";
  std::string error;
  EXPECT_TRUE(WriteRegistry(path, registry, error)) << error;
  return path;
}

class Ready {
 public:
  Ready() : name_(L"Local\\kel_registry_ready_" + std::to_wstring(GetCurrentProcessId())) {
    event_.reset(CreateEventW(nullptr, TRUE, FALSE, name_.c_str()));
  }
  const std::wstring& name() const { return name_; }
  bool Wait() { return WaitForSingleObject(event_.get(), 30000) == WAIT_OBJECT_0; }
  void Set() { SetEvent(event_.get()); }

 private:
  std::wstring name_;
  unique_handle event_;
};

TEST(RegistryLock, HeldByAnotherProcessTimesOutAfterFiveSeconds) {
  test::Sandbox sandbox;
  PrivateMutexName mutex;
  const auto path = WriteRegistryWithPlugins(sandbox, 2);
  Ready ready;
  unique_handle holder = StartHelper(L"hold " + mutex.name() + L" " + ready.name() + L" 13000");
  ASSERT_TRUE(ready.Wait());

  PluginRegistry registry;
  std::string error;
  auto start = Clock::now();
  EXPECT_FALSE(ReadRegistry(path, registry, error));
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_EQ(error, "plugin registry lock timed out");
  EXPECT_GE(waited, 4900);
  EXPECT_LT(waited, 8000);

  start = Clock::now();
  error.clear();
  EXPECT_FALSE(RemovePluginFromRegistry(path, "p0", registry, error));
  waited = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  EXPECT_EQ(error, "plugin registry transaction lock timed out");
  EXPECT_GE(waited, 4900);
  EXPECT_EQ(ExitCodeOf(holder), 0u);

  // Released: the next removal goes through and nothing was changed meanwhile.
  ASSERT_TRUE(RemovePluginFromRegistry(path, "p0", registry, error)) << error;
  EXPECT_EQ(registry.generation, 11u);
}

TEST(RegistryLock, AbandonedByAnExitedHolderCountsAsOwned) {
  test::Sandbox sandbox;
  PrivateMutexName mutex;
  const auto path = WriteRegistryWithPlugins(sandbox, 1);
  Ready ready;
  unique_handle holder = StartHelper(L"abandon " + mutex.name() + L" " + ready.name());
  ASSERT_TRUE(ready.Wait());
  EXPECT_EQ(ExitCodeOf(holder), 0u);

  PluginRegistry registry;
  std::string error;
  const auto start = Clock::now();
  ASSERT_TRUE(ReadRegistry(path, registry, error)) << error;
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 4000);
  // And it was released again afterwards: another thread gets it at once.
  std::thread other([&] {
    RegistryLock lock(0);
    EXPECT_TRUE(lock.owned());
  });
  other.join();
}

TEST(RegistryLock, UsesTheSharedNameAndNestsOnOneThread) {
  RegistryLock outer;
  ASSERT_TRUE(outer.owned());
  {
    RegistryLock inner(0);
    EXPECT_TRUE(inner.owned());
  }
  std::thread other([] {
    unique_handle mutex(OpenMutexW(SYNCHRONIZE, FALSE, kRegistryMutexName));
    ASSERT_TRUE(mutex);
    EXPECT_EQ(WaitForSingleObject(mutex.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
  });
  other.join();
}

class Gate {
 public:
  Gate() : name_(L"Local\\kel_registry_gate_" + std::to_wstring(GetCurrentProcessId())) {
    event_.reset(CreateEventW(nullptr, TRUE, FALSE, name_.c_str()));
  }
  const std::wstring& name() const { return name_; }
  void Open() { SetEvent(event_.get()); }

 private:
  std::wstring name_;
  unique_handle event_;
};

TEST(RegistryLock, ConcurrentRemovalsLoseNoGenerationStep) {
  test::Sandbox sandbox;
  PrivateMutexName mutex;
  const auto path = WriteRegistryWithPlugins(sandbox, 2);
  Gate gate;
  const std::wstring prefix = L"remove " + mutex.name() + L" " + gate.name() + L" \"" + path.wstring() + L"\" ";
  unique_handle a = StartHelper(prefix + L"p0");
  unique_handle b = StartHelper(prefix + L"p1");
  Sleep(300);
  gate.Open();
  EXPECT_EQ(ExitCodeOf(a), 0u);
  EXPECT_EQ(ExitCodeOf(b), 0u);
  PluginRegistry registry;
  std::string error;
  ASSERT_TRUE(ReadRegistry(path, registry, error)) << error;
  EXPECT_EQ(registry.generation, 12u);
  EXPECT_TRUE(registry.plugins.empty());
}

TEST(RegistryLock, ManyInterleavedRemovalsKeepEveryOtherRecord) {
  test::Sandbox sandbox;
  PrivateMutexName mutex;
  constexpr int kWorkers = 4;
  constexpr int kEach = 8;
  const auto path = WriteRegistryWithPlugins(sandbox, kWorkers * kEach + 5);
  Gate gate;
  std::vector<unique_handle> workers;
  for (int w = 0; w < kWorkers; ++w) {
    std::wstring arguments = L"remove " + mutex.name() + L" " + gate.name() + L" \"" + path.wstring() + L"\"";
    // Worker w removes every kWorkers-th plugin, so their removals interleave.
    for (int i = 0; i < kEach; ++i) arguments += L" p" + std::to_wstring(i * kWorkers + w);
    workers.push_back(StartHelper(arguments));
  }
  Sleep(300);
  gate.Open();
  for (const auto& worker : workers) EXPECT_EQ(ExitCodeOf(worker), 0u);
  PluginRegistry registry;
  std::string error;
  ASSERT_TRUE(ReadRegistry(path, registry, error)) << error;
  EXPECT_EQ(registry.generation, 10u + kWorkers * kEach);
  ASSERT_EQ(registry.plugins.size(), 5u);
  for (int i = kWorkers * kEach; i < kWorkers * kEach + 5; ++i) {
    const auto found = registry.plugins.find("p" + std::to_string(i));
    ASSERT_NE(found, registry.plugins.end()) << i;
    EXPECT_EQ(found->second.name, "plugin " + std::to_string(i));
  }
}

}  // namespace
}  // namespace kel
