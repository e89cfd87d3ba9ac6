// Test program: sleeps for the milliseconds given as its first argument, then exits with 7.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  const unsigned long ms = argc > 1 ? std::wcstoul(argv[1], nullptr, 10) : 0;
  Sleep(ms);
  return 7;
}
