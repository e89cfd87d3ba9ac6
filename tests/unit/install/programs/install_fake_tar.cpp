// Plays tar.exe for the extraction tests. "-tf FILE" prints FILE's bytes as the listing, except
// when FILE begins with "HANG": then it records its process id in FILE.pid and never ends, and
// when it begins with "ORPHAN": then it leaves a "-tf FILE.hang" child holding its output and
// ends at once.
// "-xf FILE -C DIR" writes DIR\extracted.txt; when FILE begins with "SLOW N MS" it first
// writes N files DIR\slow_<i>.txt, MS milliseconds apart.
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 2;
  const std::wstring mode = argv[1];
  std::ifstream in(argv[2], std::ios::binary);
  const std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (mode == L"-tf") {
    if (content.rfind("HANG", 0) == 0) {
      std::ofstream(std::filesystem::path(std::wstring(argv[2]) + L".pid")) << GetCurrentProcessId();
      Sleep(INFINITE);
    }
    if (content.rfind("ORPHAN", 0) == 0) {
      std::wstring line = L"\"" + std::wstring(argv[0]) + L"\" -tf \"" + argv[2] + L".hang\"";
      STARTUPINFOW startup{};
      startup.cb = sizeof(startup);
      PROCESS_INFORMATION info{};
      if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                          &startup, &info))
        return 3;
      CloseHandle(info.hThread);
      CloseHandle(info.hProcess);
    }
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), content.data(), static_cast<DWORD>(content.size()),
              &written, nullptr);
    return 0;
  }
  if (mode == L"-xf" && argc == 5) {
    int count = 0, pause_ms = 0;
    if (std::sscanf(content.c_str(), "SLOW %d %d", &count, &pause_ms) == 2) {
      for (int i = 0; i < count; ++i) {
        Sleep(static_cast<DWORD>(pause_ms));
        std::ofstream(std::filesystem::path(std::wstring(argv[4]) + L"\\slow_" +
                                            std::to_wstring(i) + L".txt"))
            << i;
      }
    }
    std::ofstream(std::filesystem::path(std::wstring(argv[4]) + L"\\extracted.txt")) << "x";
    return 0;
  }
  return 2;
}
