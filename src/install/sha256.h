#pragma once

#include <filesystem>
#include <string>

namespace kel {

// SHA-256 of a file's content as 64 lower-case hex characters (CNG, streamed in 64 KiB
// blocks). Readers and writers of the file may keep it open meanwhile.
bool Sha256OfFile(const std::filesystem::path& path, std::string& digest, std::string& error);

}  // namespace kel
