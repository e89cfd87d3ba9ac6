// The metadata envelope of the installer release: JSON only, no Windows headers.
#include <nlohmann/json.hpp>

#include "net/release.h"

namespace kel {
namespace {

constexpr char kInvalidFormat[] = "服务器返回的版本元数据格式无效";

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// Only a number that is exactly 0 means success; a missing code counts as -1. Other kinds of
// value (text, true/false, null) are a malformed document, not a code the library would
// quietly turn into 0 or 1.
bool CodeIsZero(const nlohmann::json& document) {
  const auto code = document.find("code");
  if (code == document.end()) return false;
  if (code->is_number_unsigned()) return code->get<std::uint64_t>() == 0;
  if (code->is_number_integer()) return code->get<std::int64_t>() == 0;
  if (code->is_number_float()) return code->get<double>() == 0.0;
  throw nlohmann::json::type_error::create(302, "code is not a number", &*code);
}

void ReadFields(const nlohmann::json& data, InstallerRelease& release) {
  const InstallerRelease defaults;
  release.featureCode = data.value("featureCode", defaults.featureCode);
  release.pluginName = data.value("pluginName", defaults.pluginName);
  release.versionCode = data.value("versionCode", defaults.versionCode);
  release.zipSha256 = Lower(data.value("zipSha256", defaults.zipSha256));
  release.fileSizeBytes = data.value("fileSizeBytes", defaults.fileSizeBytes);
  release.changelog = data.value("changelog", defaults.changelog);
  release.suVersions = data.value("suVersions", defaults.suVersions);
  release.downloadZipUrl = data.value("downloadZipUrl", defaults.downloadZipUrl);
  release.blobDownloadUrlPrefix =
      data.value("blobDownloadUrlPrefix", defaults.blobDownloadUrlPrefix);
  release.files.clear();
  const auto files = data.find("files");
  if (files == data.end() || !files->is_array()) return;
  for (const nlohmann::json& element : *files) {
    if (!element.is_object()) continue;
    ReleaseFile file;
    file.relativePath = element.value("relativePath", std::string());
    file.sha256 = Lower(element.value("sha256", std::string()));
    file.size = element.value("size", std::uint64_t{0});
    // Only the length is checked here; a digest that is not hex can never match a file.
    if (!file.relativePath.empty() && file.sha256.size() == 64) {
      release.files.push_back(std::move(file));
    }
  }
}

}  // namespace

bool ParseReleaseDocument(std::string_view body, InstallerRelease& release, std::string& error) {
  const nlohmann::json document = nlohmann::json::parse(body, nullptr, false, false);
  if (!document.is_object()) {
    error = kInvalidFormat;
    return false;
  }
  InstallerRelease parsed;
  // A value of the wrong JSON type is a malformed document like any other, not a crash of
  // the caller.
  try {
    const auto data = document.find("data");
    if (!CodeIsZero(document) || data == document.end() || !data->is_object()) {
      const auto msg = document.find("msg");
      if (msg != document.end() && msg->is_string() && !msg->get<std::string>().empty()) {
        error = msg->get<std::string>();
      } else {
        error = "获取安装器最新版本失败";
      }
      return false;
    }
    ReadFields(*data, parsed);
  } catch (const nlohmann::json::exception&) {
    error = kInvalidFormat;
    return false;
  }
  // An empty version leaves the text to the caller.
  if (parsed.versionCode.empty()) return false;
  release = std::move(parsed);
  return true;
}

}  // namespace kel
