#include "support/zip_writer.h"

#include <cstdint>
#include <fstream>

namespace kel::test {
namespace {

std::uint32_t Crc32(const std::string& data) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (unsigned char byte : data) {
    crc ^= byte;
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

void Put16(std::string& out, std::uint32_t v) {
  out += static_cast<char>(v & 0xFF);
  out += static_cast<char>((v >> 8) & 0xFF);
}
void Put32(std::string& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

}  // namespace

void WriteStoredZip(const std::filesystem::path& archive,
                    const std::vector<std::pair<std::string, std::string>>& entries) {
  std::string body, directory;
  for (const auto& [name, data] : entries) {
    const std::uint32_t offset = static_cast<std::uint32_t>(body.size());
    const std::uint32_t crc = Crc32(data);
    const std::uint32_t size = static_cast<std::uint32_t>(data.size());
    Put32(body, 0x04034b50);
    Put16(body, 20);
    Put16(body, 0x0800);  // names are UTF-8
    Put16(body, 0);
    Put32(body, 0);
    Put32(body, crc);
    Put32(body, size);
    Put32(body, size);
    Put16(body, static_cast<std::uint32_t>(name.size()));
    Put16(body, 0);
    body += name;
    body += data;
    Put32(directory, 0x02014b50);
    Put16(directory, 20);
    Put16(directory, 20);
    Put16(directory, 0x0800);
    Put16(directory, 0);
    Put32(directory, 0);
    Put32(directory, crc);
    Put32(directory, size);
    Put32(directory, size);
    Put16(directory, static_cast<std::uint32_t>(name.size()));
    Put16(directory, 0);
    Put16(directory, 0);
    Put16(directory, 0);
    Put16(directory, 0);
    Put32(directory, 0);
    Put32(directory, offset);
    directory += name;
  }
  std::string out = body + directory;
  Put32(out, 0x06054b50);
  Put16(out, 0);
  Put16(out, 0);
  Put16(out, static_cast<std::uint32_t>(entries.size()));
  Put16(out, static_cast<std::uint32_t>(entries.size()));
  Put32(out, static_cast<std::uint32_t>(directory.size()));
  Put32(out, static_cast<std::uint32_t>(body.size()));
  Put16(out, 0);
  std::ofstream(archive, std::ios::binary).write(out.data(), static_cast<std::streamsize>(out.size()));
}

}  // namespace kel::test
