// Plays tar.exe for the extraction tests. "-tf FILE" prints FILE's bytes as the listing, except
// when FILE begins with "HANG": then it records its process id in FILE.pid and never ends.
// "-xf FILE -C DIR" writes DIR\extracted.txt.
#include <windows.h>

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
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), content.data(), static_cast<DWORD>(content.size()),
              &written, nullptr);
    return 0;
  }
  if (mode == L"-xf" && argc == 5) {
    std::ofstream(std::filesystem::path(std::wstring(argv[4]) + L"\\extracted.txt")) << "x";
    return 0;
  }
  return 2;
}
