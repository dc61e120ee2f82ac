#include "app/core/Main.h"

#include <array>
#include <charconv>

namespace {

bool ParseNumber(std::string_view text, long& value) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc{} && end == text.data() + text.size();
}

}  // namespace

bool IsLibraryVersionSupported(std::string_view versionText) {
  const std::string_view version = versionText.substr(0, versionText.find(' '));
  std::array<long, 3> parts{};
  std::size_t start = 0;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    const std::size_t dot = version.find('.', start);
    const bool last = i + 1 == parts.size();
    if (!last && dot == std::string_view::npos) return false;
    const std::string_view part = version.substr(start, last ? std::string_view::npos : dot - start);
    if (!ParseNumber(part, parts[i])) return false;
    start = dot + 1;
  }
  const auto [major, minor, patch] = parts;
  if (major != 20) return major > 20;
  if (minor != 0) return minor > 0;
  return patch > 1;
}

std::string InvalidLibraryVersionText(std::string_view versionText) {
  return "Invalid version of VQ library: " + std::string(versionText) +
         ", minimal version needed: " + std::string(ZEP_MinLibraryVersion);
}
