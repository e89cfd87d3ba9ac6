// A small zip-only tar: "-tf ARCHIVE" lists one entry per line, "-xf ARCHIVE -C DIR" extracts.
// Enough of the system tool's behaviour for the tests: non-zero exit with a message on a
// corrupt archive, and absolute or ".." entries refused before anything is written.
// KEL_TAR_SLOW_MS=N makes the extraction pause N milliseconds before each entry (a slow disk
// or scanner that still makes progress).
#include <windows.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

struct Entry {
  std::string name;
  std::uint16_t method = 0;
  std::uint32_t crc = 0;
  std::uint64_t compressed = 0;
  std::uint64_t size = 0;
  std::uint64_t local_offset = 0;
};

void Fail(const std::string& text) {
  std::string line = "tar.exe: " + text + "\r\n";
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_ERROR_HANDLE), line.data(), static_cast<DWORD>(line.size()),
            &written, nullptr);
}

void Out(const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text.data(), static_cast<DWORD>(text.size()),
            &written, nullptr);
}

std::string ToUtf8(const std::wstring& w) {
  if (w.empty()) return {};
  int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                              nullptr, nullptr);
  std::string s(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), s.data(), n, nullptr,
                      nullptr);
  return s;
}

std::wstring ToWide(const std::string& s) {
  if (s.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring w(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), w.data(), n);
  return w;
}

class Archive {
 public:
  ~Archive() {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  }
  bool Open(const std::wstring& path) {
    file_ = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file_ == INVALID_HANDLE_VALUE) {
      Fail("Error opening archive: Failed to open '" + ToUtf8(path) + "'");
      return false;
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file_, &size)) return false;
    size_ = static_cast<std::uint64_t>(size.QuadPart);
    return true;
  }
  bool Read(std::uint64_t offset, void* buffer, std::uint64_t count) {
    if (offset > size_ || count > size_ - offset) return false;
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file_, at, nullptr, FILE_BEGIN)) return false;
    auto* p = static_cast<unsigned char*>(buffer);
    while (count > 0) {
      DWORD chunk = count > (1u << 20) ? (1u << 20) : static_cast<DWORD>(count);
      DWORD got = 0;
      if (!ReadFile(file_, p, chunk, &got, nullptr) || got == 0) return false;
      p += got;
      count -= got;
    }
    return true;
  }
  std::uint64_t size() const { return size_; }

 private:
  HANDLE file_ = INVALID_HANDLE_VALUE;
  std::uint64_t size_ = 0;
};

std::uint16_t U16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t U32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint64_t U64(const unsigned char* p) {
  return static_cast<std::uint64_t>(U32(p)) | static_cast<std::uint64_t>(U32(p + 4)) << 32;
}

const char kUnrecognized[] = "Error opening archive: Unrecognized archive format";

// Reads the central directory; zip64 sizes and offsets are understood.
bool ReadDirectory(Archive& archive, std::vector<Entry>& entries) {
  const std::uint64_t tail = archive.size() < 65557 ? archive.size() : 65557;
  if (tail < 22) return Fail(kUnrecognized), false;
  std::vector<unsigned char> buf(tail);
  if (!archive.Read(archive.size() - tail, buf.data(), tail)) return Fail(kUnrecognized), false;
  std::int64_t eocd = -1;
  for (std::int64_t i = static_cast<std::int64_t>(tail) - 22; i >= 0; --i) {
    if (U32(&buf[static_cast<size_t>(i)]) == 0x06054b50) {
      eocd = i;
      break;
    }
  }
  if (eocd < 0) return Fail(kUnrecognized), false;
  const unsigned char* e = &buf[static_cast<size_t>(eocd)];
  std::uint64_t count = U16(e + 10);
  std::uint64_t dir_size = U32(e + 12);
  std::uint64_t dir_offset = U32(e + 16);
  const std::uint64_t eocd_pos = archive.size() - tail + static_cast<std::uint64_t>(eocd);
  if ((count == 0xFFFF || dir_offset == 0xFFFFFFFF || dir_size == 0xFFFFFFFF) && eocd_pos >= 20) {
    unsigned char loc[20];
    if (!archive.Read(eocd_pos - 20, loc, 20) || U32(loc) != 0x07064b50)
      return Fail(kUnrecognized), false;
    unsigned char z64[56];
    if (!archive.Read(U64(loc + 8), z64, 56) || U32(z64) != 0x06064b50)
      return Fail(kUnrecognized), false;
    count = U64(z64 + 32);
    dir_size = U64(z64 + 40);
    dir_offset = U64(z64 + 48);
  }
  std::vector<unsigned char> dir(static_cast<size_t>(dir_size));
  if (dir_size > archive.size() || !archive.Read(dir_offset, dir.data(), dir_size))
    return Fail("Damaged zip archive: central directory out of range"), false;
  size_t pos = 0;
  for (std::uint64_t i = 0; i < count; ++i) {
    if (pos + 46 > dir.size() || U32(&dir[pos]) != 0x02014b50)
      return Fail("Damaged zip archive: bad central directory entry"), false;
    const unsigned char* h = &dir[pos];
    Entry entry;
    entry.method = U16(h + 10);
    entry.crc = U32(h + 16);
    entry.compressed = U32(h + 20);
    entry.size = U32(h + 24);
    const size_t name_len = U16(h + 28), extra_len = U16(h + 30), comment_len = U16(h + 32);
    entry.local_offset = U32(h + 42);
    if (pos + 46 + name_len + extra_len + comment_len > dir.size())
      return Fail("Damaged zip archive: truncated central directory"), false;
    entry.name.assign(reinterpret_cast<const char*>(h + 46), name_len);
    // zip64 extra field: the 0xFFFFFFFF values follow in a fixed order.
    const unsigned char* x = h + 46 + name_len;
    for (size_t at = 0; at + 4 <= extra_len;) {
      const std::uint16_t id = U16(x + at), len = U16(x + at + 2);
      if (id == 0x0001) {
        size_t f = at + 4;
        if (entry.size == 0xFFFFFFFF && f + 8 <= at + 4 + len) entry.size = U64(x + f), f += 8;
        if (entry.compressed == 0xFFFFFFFF && f + 8 <= at + 4 + len)
          entry.compressed = U64(x + f), f += 8;
        if (entry.local_offset == 0xFFFFFFFF && f + 8 <= at + 4 + len)
          entry.local_offset = U64(x + f);
      }
      at += 4u + len;
    }
    entries.push_back(std::move(entry));
    pos += 46 + name_len + extra_len + comment_len;
  }
  return true;
}

bool IsUnsafe(const std::string& name) {
  if (name.empty()) return false;
  if (name[0] == '/' || name[0] == '\\') return true;
  if (name.size() >= 2 && name[1] == ':') return true;
  size_t start = 0;
  while (start <= name.size()) {
    size_t end = name.find_first_of("/\\", start);
    if (end == std::string::npos) end = name.size();
    if (name.compare(start, end - start, "..") == 0) return true;
    start = end + 1;
  }
  return false;
}

bool MakeDirs(const std::wstring& path) {
  if (path.empty()) return true;
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  const size_t slash = path.find_last_of(L'\\');
  if (slash != std::wstring::npos && slash > 0 && !MakeDirs(path.substr(0, slash))) return false;
  return CreateDirectoryW(path.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

bool ExtractOne(Archive& archive, const Entry& entry, const std::wstring& dest) {
  unsigned char local[30];
  if (!archive.Read(entry.local_offset, local, 30) || U32(local) != 0x04034b50)
    return Fail("Damaged zip archive: bad local header for " + entry.name), false;
  const std::uint64_t data_at = entry.local_offset + 30 + U16(local + 26) + U16(local + 28);
  std::vector<unsigned char> packed(static_cast<size_t>(entry.compressed));
  if (!archive.Read(data_at, packed.data(), entry.compressed))
    return Fail("Truncated zip archive: " + entry.name), false;
  std::vector<unsigned char> data;
  if (entry.method == 0) {
    data = std::move(packed);
  } else if (entry.method == 8) {
    data.resize(static_cast<size_t>(entry.size));
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return Fail("zlib init failed"), false;
    z.next_in = packed.data();
    z.avail_in = static_cast<uInt>(packed.size());
    z.next_out = data.data();
    z.avail_out = static_cast<uInt>(data.size());
    const int rc = inflate(&z, Z_FINISH);
    const bool ok = rc == Z_STREAM_END && z.total_out == entry.size;
    inflateEnd(&z);
    if (!ok) return Fail("Damaged zip archive: inflate failed for " + entry.name), false;
  } else {
    return Fail("Unsupported zip compression method for " + entry.name), false;
  }
  if (data.size() != entry.size ||
      crc32(0, data.data(), static_cast<uInt>(data.size())) != entry.crc)
    return Fail("Damaged zip archive: CRC mismatch for " + entry.name), false;
  const size_t slash = dest.find_last_of(L'\\');
  if (slash != std::wstring::npos && !MakeDirs(dest.substr(0, slash)))
    return Fail("Can't create directory for " + entry.name), false;
  HANDLE out = CreateFileW(dest.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) return Fail("Can't create '" + entry.name + "'"), false;
  DWORD written = 0;
  bool ok = data.empty() ||
            (WriteFile(out, data.data(), static_cast<DWORD>(data.size()), &written, nullptr) &&
             written == data.size());
  CloseHandle(out);
  if (!ok) return Fail("Write failed for " + entry.name), false;
  return true;
}

int Usage() {
  Fail("usage: tar -tf ARCHIVE | tar -xf ARCHIVE -C DIR");
  return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return Usage();
  const std::wstring mode = argv[1];
  const std::wstring archive_path = argv[2];
  std::wstring dir;
  if (mode == L"-xf") {
    if (argc != 5 || std::wstring(argv[3]) != L"-C") return Usage();
    dir = argv[4];
  } else if (mode != L"-tf" || argc != 3) {
    return Usage();
  }
  Archive archive;
  if (!archive.Open(archive_path)) return 1;
  std::vector<Entry> entries;
  if (!ReadDirectory(archive, entries)) return 1;
  if (mode == L"-tf") {
    std::string listing;
    for (const Entry& entry : entries) listing += entry.name + "\r\n";
    Out(listing);
    return 0;
  }
  for (const Entry& entry : entries) {
    if (IsUnsafe(entry.name)) {
      Fail("Refusing to extract unsafe path: " + entry.name);
      return 1;
    }
  }
  if (!MakeDirs(dir)) {
    Fail("could not chdir to '" + ToUtf8(dir) + "'");
    return 1;
  }
  wchar_t slow[16] = {};
  const DWORD pause_ms =
      GetEnvironmentVariableW(L"KEL_TAR_SLOW_MS", slow, 16) ? wcstoul(slow, nullptr, 10) : 0;
  for (const Entry& entry : entries) {
    if (pause_ms != 0) Sleep(pause_ms);
    std::wstring rel = ToWide(entry.name);
    for (wchar_t& c : rel)
      if (c == L'/') c = L'\\';
    const std::wstring dest = dir + L"\\" + rel;
    if (!rel.empty() && rel.back() == L'\\') {
      if (!MakeDirs(dest.substr(0, dest.size() - 1))) {
        Fail("Can't create directory '" + entry.name + "'");
        return 1;
      }
      continue;
    }
    if (!ExtractOne(archive, entry, dest)) return 1;
  }
  return 0;
}
