#pragma once

#include <functional>
#include <string>

namespace kel {

// Optional progress sink: a percentage and a UTF-8 text. Engines call it on their own thread;
// an empty callback reports nothing.
using ProgressCallback = std::function<void(int percent, const std::string& text)>;

}  // namespace kel
