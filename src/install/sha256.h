#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <string>

namespace kel {

// SHA-256 of a file's content as 64 lower-case hex characters (CNG, streamed in 64 KiB
// blocks). Readers and writers of the file may keep it open meanwhile.
bool Sha256OfFile(const std::filesystem::path& path, std::string& digest, std::string& error);

// SHA-256 of bytes fed in pieces, for a copy that hashes what it writes. Any failure is
// sticky: Finish then fails with its text.
class Sha256Stream {
 public:
  Sha256Stream();
  ~Sha256Stream();
  Sha256Stream(const Sha256Stream&) = delete;
  Sha256Stream& operator=(const Sha256Stream&) = delete;
  void Update(const void* data, std::size_t size);
  bool Finish(std::string& digest, std::string& error);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace kel
