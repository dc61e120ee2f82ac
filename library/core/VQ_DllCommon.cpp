#include "library/core/VQ_DllCommon.h"

#include <cxxabi.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace {

constexpr int kGeneralPrecision = 15;
constexpr char kHexDigits[] = "0123456789ABCDEF";

// NaN and infinities have no digits; both number forms write them alike.
bool NonFiniteText(double value, std::string& out) {
  if (std::isnan(value)) {
    out = "NAN";
    return true;
  }
  if (std::isinf(value)) {
    out = value < 0 ? "-INF" : "INF";
    return true;
  }
  return false;
}

void ReplacePoint(std::string& text, char separator) {
  if (separator == '.') return;
  std::replace(text.begin(), text.end(), '.', separator);
}

}  // namespace

std::string FloatToStrGeneral(double value, const TFormatSettings& fmt) {
  std::string text;
  if (NonFiniteText(value, text)) return text;
  if (value == 0.0) return "0";

  // d.dddddddddddddde±x: fifteen significant digits, correctly rounded.
  std::array<char, 40> buf{};
  const auto res = std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::scientific,
                                 kGeneralPrecision - 1);
  const std::string_view sci(buf.data(), res.ptr - buf.data());
  const bool negative = sci.front() == '-';
  const std::size_t ePos = sci.find('e');
  std::string digits;
  for (char c : sci.substr(negative ? 1 : 0, ePos - (negative ? 1 : 0)))
    if (c != '.') digits += c;
  int exponent = 0;
  std::from_chars(sci.data() + ePos + (sci[ePos + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exponent);
  while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

  if (negative) text = "-";
  if (exponent >= kGeneralPrecision || exponent < -4) {
    text += digits.front();
    if (digits.size() > 1) {
      text += fmt.DecimalSeparator;
      text.append(digits, 1);
    }
    text += 'E';
    text += std::to_string(exponent);
    return text;
  }
  if (exponent < 0) {
    text += '0';
    text += fmt.DecimalSeparator;
    text.append(static_cast<std::size_t>(-exponent - 1), '0');
    text += digits;
    return text;
  }
  const std::size_t whole = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= whole) {
    text += digits;
    text.append(whole - digits.size(), '0');
    return text;
  }
  text.append(digits, 0, whole);
  text += fmt.DecimalSeparator;
  text.append(digits, whole);
  return text;
}

std::string FloatToStrFixed(double value, int digits, const TFormatSettings& fmt) {
  std::string text;
  if (NonFiniteText(value, text)) return text;
  digits = std::clamp(digits, 0, 30);
  // A double has at most 309 digits before the point.
  text.resize(320 + static_cast<std::size_t>(digits));
  const auto res = std::to_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed, digits);
  text.resize(static_cast<std::size_t>(res.ptr - text.data()));
  ReplacePoint(text, fmt.DecimalSeparator);
  return text;
}

std::optional<double> TryStrToFloat(std::string_view text, const TFormatSettings& fmt) {
  text = Trim(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  std::string plain(text);
  if (fmt.DecimalSeparator != '.') {
    if (plain.find('.') != std::string::npos) return std::nullopt;
    std::replace(plain.begin(), plain.end(), fmt.DecimalSeparator, '.');
  }
  // Only digits may start the number: no "inf", "nan" or hexadecimal forms.
  const std::size_t start = !plain.empty() && plain.front() == '-' ? 1 : 0;
  if (start >= plain.size() || !(std::isdigit(static_cast<unsigned char>(plain[start])) || plain[start] == '.'))
    return std::nullopt;
  double value = 0;
  const auto [end, ec] = std::from_chars(plain.data(), plain.data() + plain.size(), value);
  if (ec != std::errc{} || end != plain.data() + plain.size()) return std::nullopt;
  return value;
}

double StrToFloat(std::string_view text, const TFormatSettings& fmt) {
  if (auto value = TryStrToFloat(text, fmt)) return *value;
  throw EConvertError("'" + std::string(text) + "' is not a valid floating point value");
}

std::string ConvertDecimalMark(std::string_view text, char separator) {
  std::string result(text);
  char mark = 0;
  if (result.find('.', 1) != std::string::npos)
    mark = '.';
  else if (result.find(',', 1) != std::string::npos)
    mark = ',';
  if (mark == 0 || mark == separator || result.front() == mark) return result;
  std::replace(result.begin(), result.end(), mark, separator);
  return result;
}

std::string_view Trim(std::string_view text) {
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

std::vector<std::string_view> SplitText(std::string_view text, std::string_view separator) {
  std::vector<std::string_view> parts;
  for (std::size_t pos; (pos = text.find(separator)) != std::string_view::npos;
       text.remove_prefix(pos + separator.size()))
    parts.push_back(text.substr(0, pos));
  parts.push_back(text);
  return parts;
}

int FrequencyResolutionClass(double frequency) {
  const double f = std::fabs(frequency);
  if (f > 32768000.0) return 7;
  if (f > 4096000.0) return 8;
  if (f > 512000.0) return 9;
  if (f > 32000.0) return 10;
  return 11;
}

uint32_t ReadBigEndian32(std::string_view bytes, std::size_t offset) {
  if (offset > bytes.size() || bytes.size() - offset < 4) return 0;
  uint32_t value = 0;
  for (std::size_t i = offset; i < offset + 4; ++i) value = value << 8 | static_cast<uint8_t>(bytes[i]);
  return value;
}

std::string HexDump(std::span<const uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (uint8_t b : bytes) {
    text += kHexDigits[b >> 4];
    text += kHexDigits[b & 0x0F];
  }
  return text;
}

std::string HexDump(std::string_view text) {
  return HexDump(std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

std::string HexText(uint64_t value, int minDigits) {
  std::string text;
  do {
    text += kHexDigits[value & 0x0F];
    value >>= 4;
  } while (value != 0);
  if (static_cast<int>(text.size()) < minDigits) text.append(static_cast<std::size_t>(minDigits) - text.size(), '0');
  std::reverse(text.begin(), text.end());
  return text;
}

std::string ExceptionClassName(const std::exception& e) {
  const char* mangled = typeid(e).name();
  int status = 0;
  const std::unique_ptr<char, decltype(&std::free)> demangled(abi::__cxa_demangle(mangled, nullptr, nullptr, &status),
                                                              &std::free);
  return status == 0 && demangled ? demangled.get() : mangled;
}

std::string ExceptionText(const std::exception& e) { return "EXCEP(" + ExceptionClassName(e) + ") " + e.what(); }
