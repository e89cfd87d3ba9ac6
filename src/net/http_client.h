#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "common/progress.h"

namespace kel {

struct UrlParts {
  std::wstring host;          // as written in the URL, without port; IPv6 in brackets
  std::uint16_t port = 0;     // explicit, or 80/443
  std::wstring pathAndQuery;  // "/" when the URL has no path, then the "?..." part
  bool secure = false;        // https
};

// Splits an http or https URL (UTF-8). Fails with a Chinese message for anything else.
bool CrackHttpUrl(const std::string& url, UrlParts& parts, std::string& error);

// One blocking GET. The body goes to `destination` when given (its folder is created; the
// file is truncated only after a 2xx status), else it is appended to `body` when given, else
// dropped. On failure a partly written file stays: the caller removes it. Progress (file
// downloads with a known length only) never reports 100.
bool HttpGet(const std::string& url, std::string* body, const std::filesystem::path* destination,
             std::string& error, const ProgressCallback& progress);

}  // namespace kel
