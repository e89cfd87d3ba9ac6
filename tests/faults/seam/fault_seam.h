#pragma once

// Fault and crash injection for test builds only (KelSetupFaults.exe and the fault tests; the
// shipped KelSetup.exe never links this, and the build checks that it does not).
//
// Linked in, the seam rewrites the import table of the program's own module at start-up, so
// every file call the program makes passes through a counter: the kernel32 file functions
// (the statically linked C++ library's calls included, since it lives in the same module),
// the C runtime's path functions that std::filesystem and the streams use, and the ntdll
// functions the safe filesystem layer looks up with GetProcAddress (that lookup is hooked
// too). Nothing in the engines changes.
//
// A process-level plan comes from the environment variable KEL_FAULT_PLAN, entries separated
// by ';':
//   trace=FILE     append one line per operation to FILE: "N<TAB>R|M<TAB>function<TAB>path"
//                  (R reads, M mutating calls); a failed or fatal N adds a line "! ..."
//   note=FILE      only the "! ..." line of the injected operation (cheaper than a trace)
//   fail=N         operation N (counted from 1) fails once without doing anything...
//   error=E        ...with Windows error E: sharing (32), denied (5), full (112),
//                  missing (2) or a number; sharing is the default
//   die=N          the process ends at operation N (before it happens), without any
//                  cleanup: TerminateProcess of itself with exit code 86
// Example: KEL_FAULT_PLAN="trace=C:\t\ops.txt;die=120" KelSetupFaults.exe --silent --uninstall
// tests/faults/sweep.py drives it: it counts a clean run's operations, then replays every N.

#include <windows.h>

#include <cstdint>
#include <string>

namespace kel::faults {

inline constexpr char kPlanVariable[] = "KEL_FAULT_PLAN";
inline constexpr int kDeathExitCode = 86;

struct Plan {
  std::uint64_t fail_at = 0;  // 0: nothing fails
  DWORD error = ERROR_SHARING_VIOLATION;
  std::uint64_t die_at = 0;  // 0: nothing dies
  // In-process "death": instead of ending the process, operation die_at and every later one
  // fail without touching the disk, as if the process had gone (handles still close).
  bool die_in_process = false;
  std::wstring trace;  // every operation; empty: none
  std::wstring note;   // only the injected one (ignored when trace is set)
};

// Parses the KEL_FAULT_PLAN syntax above; false (with a reason) on anything it does not know.
bool ParsePlan(const std::wstring& text, Plan& plan, std::string& error);

// Starts counting from 0 under a new plan (in-process use; the environment's plan is armed at
// start-up).
void Arm(const Plan& plan);
// Counting goes on, nothing fails any more.
void Disarm();

// Operations counted since the last Arm.
std::uint64_t OperationCount();
// True after operation die_at was reached under die_in_process.
bool Dead();
// Whether the import table was patched (false only if the module had no such imports).
bool Installed();

}  // namespace kel::faults
