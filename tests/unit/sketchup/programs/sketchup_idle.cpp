// Stays alive for the given milliseconds (default one minute) so that tests can look for a
// process by its image name; the test copies it under the name it needs.
#include <windows.h>

#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  const unsigned long ms = argc > 1 ? std::wcstoul(argv[1], nullptr, 10) : 60000;
  Sleep(ms);
  return 0;
}
