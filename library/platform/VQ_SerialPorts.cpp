#include "library/platform/VQ_SerialPorts.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// "ttyS" followed by digits only: a port of the 8250 driver, which registers
// its legacy ports whether a UART answers there or not.
bool IsLegacyUartName(std::string_view name) {
  constexpr std::string_view kPrefix = "ttyS";
  if (name.size() <= kPrefix.size() || !name.starts_with(kPrefix)) return false;
  return std::all_of(name.begin() + kPrefix.size(), name.end(), IsDigit);
}

// The entry's `device`, a link in the real tree, a folder or link in a copy.
bool HasDeviceEntry(const fs::path& entry) {
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(entry / "device", ec);
  return !ec && (status.type() == fs::file_type::symlink || status.type() == fs::file_type::directory);
}

// The UART type the kernel detected; 0 (PORT_UNKNOWN) when none answered, or
// when the file is missing or holds no number.
long UartType(const fs::path& entry) {
  std::ifstream in(entry / "type", std::ios::binary);
  if (!in) return 0;
  char buffer[32] = {};
  in.read(buffer, sizeof buffer);
  const char* begin = buffer;
  const char* end = buffer + in.gcount();
  while (begin != end && std::isspace(static_cast<unsigned char>(*begin))) ++begin;
  long type = 0;
  if (std::from_chars(begin, end, type).ec != std::errc()) return 0;
  return type;
}

bool IsSerialPort(const fs::path& entry, std::string_view name) {
  if (!HasDeviceEntry(entry)) return false;
  return !IsLegacyUartName(name) || UartType(entry) != 0;
}

// The digit run starting at `pos`, without leading zeros; `pos` moves past it.
std::string_view DigitRun(std::string_view text, std::size_t& pos) {
  std::size_t start = pos;
  while (pos < text.size() && IsDigit(text[pos])) ++pos;
  while (start + 1 < pos && text[start] == '0') ++start;
  return text.substr(start, pos - start);
}

}  // namespace

bool NaturalLess(std::string_view a, std::string_view b) {
  std::size_t i = 0;
  std::size_t j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      const std::string_view x = DigitRun(a, i);
      const std::string_view y = DigitRun(b, j);
      // Without leading zeros the shorter run is the smaller number.
      if (x.size() != y.size()) return x.size() < y.size();
      if (x != y) return x < y;
      continue;
    }
    if (a[i] != b[j]) return a[i] < b[j];
    ++i;
    ++j;
  }
  if (i < a.size() || j < b.size()) return j < b.size();  // the one that ran out first
  return a < b;  // equal but for leading zeros: keep the order strict
}

TSerialPortList EnumerateSerialPorts(const std::string& sysClassTty) {
  TSerialPortList result;
  std::error_code ec;
  fs::directory_iterator it(sysClassTty, ec);
  if (ec) {
    result.Error = "Cannot read " + sysClassTty + ": " + ec.message();
    return result;
  }
  for (; it != fs::directory_iterator(); it.increment(ec)) {
    const std::string name = it->path().filename().string();
    if (IsSerialPort(it->path(), name)) result.Ports.push_back("/dev/" + name);
  }
  // An error while listing ends the loop at the end iterator; what was found
  // until then is still wrong as a whole, so report it.
  if (ec) {
    result.Ports.clear();
    result.Error = "Cannot read " + sysClassTty + ": " + ec.message();
    return result;
  }
  std::sort(result.Ports.begin(), result.Ports.end(),
            [](const std::string& a, const std::string& b) { return NaturalLess(a, b); });
  return result;
}
