#pragma once

// Reads which directory a Ruby root entry loads its code from, without running or parsing
// Ruby: the usual extension registration and loading calls are found by name and the first
// path segment of their string argument is taken. Works on bytes (any ASCII-compatible
// encoding); no Windows headers.

#include <string>
#include <string_view>

namespace kel {

// A directory token named by the source: strong when it came from an extension
// registration, weak when from a loading call. Returns false when nothing was found.
bool ScanRubyEntry(std::string_view source, std::string& token, bool& strong);

}  // namespace kel
