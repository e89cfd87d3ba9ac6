#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace kel::test {

// Writes a zip archive of stored (uncompressed) entries with names taken byte for byte, so
// tests can build archives with hostile names. A name ending in '/' is a directory entry.
void WriteStoredZip(const std::filesystem::path& archive,
                    const std::vector<std::pair<std::string, std::string>>& entries);

}  // namespace kel::test
