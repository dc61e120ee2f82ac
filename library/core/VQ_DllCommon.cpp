#include "library/core/VQ_DllCommon.h"

#include <cxxabi.h>

#include <algorithm>
#include <bit>
#include <limits>
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

// ---- fixed notation -----------------------------------------------------------

using TUint128 = unsigned __int128;
constexpr int kMaxScale = 31;  // 5^31 < 2^72: m x 5^scale < 2^125

constexpr std::array<TUint128, kMaxScale + 1> kPow5 = [] {
  std::array<TUint128, kMaxScale + 1> powers{};
  powers[0] = 1;
  for (std::size_t k = 1; k < powers.size(); ++k) powers[k] = powers[k - 1] * 5;
  return powers;
}();

int BitWidth(TUint128 x) {
  const auto high = static_cast<uint64_t>(x >> 64);
  return high != 0 ? 64 + std::bit_width(high) : std::bit_width(static_cast<uint64_t>(x));
}

// A finite double as m x 2^e.
struct TBinary {
  bool Negative = false;
  uint64_t M = 0;
  int E = 0;
};

TBinary Decompose(double value) {
  const uint64_t bits = std::bit_cast<uint64_t>(value);
  TBinary b;
  b.Negative = (bits >> 63) != 0;
  const int biased = static_cast<int>((bits >> 52) & 0x7FF);
  b.M = bits & ((uint64_t{1} << 52) - 1);
  b.E = -1074;  // subnormal
  if (biased != 0) {
    b.M |= uint64_t{1} << 52;
    b.E = biased - 1075;
  }
  return b;
}

// round(|value| x 10^scale), half to even, exactly; nothing when it does not
// fit 64 bits or the scale is outside 0..kMaxScale.
std::optional<uint64_t> Scaled(const TBinary& b, int scale) {
  if (scale < 0 || scale > kMaxScale) return std::nullopt;
  const TUint128 scaled = static_cast<TUint128>(b.M) * kPow5[static_cast<std::size_t>(scale)];
  const int shift = -(b.E + scale);  // |value| x 10^scale = scaled / 2^shift
  TUint128 n = 0;
  if (shift <= 0) {
    if (BitWidth(scaled) - shift > 64) return std::nullopt;
    n = scaled << -shift;
  } else if (shift < 128) {
    n = scaled >> shift;
    const TUint128 rest = scaled & ((TUint128{1} << shift) - 1);
    const TUint128 half = TUint128{1} << (shift - 1);
    if (rest > half || (rest == half && (n & 1) != 0)) ++n;
  }  // else: scaled < 2^125 is below half of 2^shift: rounds to 0
  if (n > std::numeric_limits<uint64_t>::max()) return std::nullopt;
  return static_cast<uint64_t>(n);
}

constexpr std::array<uint64_t, 20> kPow10 = [] {
  std::array<uint64_t, 20> powers{};
  powers[0] = 1;
  for (std::size_t k = 1; k < powers.size(); ++k) powers[k] = powers[k - 1] * 10;
  return powers;
}();

// |value| (finite, not 0) rounded to `count` significant digits, half to
// even: the digits as an integer of exactly `count` digits and the decimal
// exponent of the first. Nothing where the exact integers do not reach.
struct TSignificant {
  uint64_t Digits = 0;
  int Exponent = 0;
};
std::optional<TSignificant> RoundSignificant(double value, int count) {
  const TBinary b = Decompose(value);
  // The decimal exponent from the binary one; off by one at most, which the
  // range check below corrects.
  const int binaryExponent = b.E + std::bit_width(b.M) - 1;
  int exponent = (binaryExponent * 78913) >> 18;  // 78913 / 2^18 is log10(2) to six digits
  for (int attempt = 0; attempt < 3; ++attempt) {
    const std::optional<uint64_t> n = Scaled(b, count - 1 - exponent);
    if (!n) return std::nullopt;
    if (*n >= kPow10[static_cast<std::size_t>(count)]) {
      ++exponent;  // also where rounding carried into the next decade
    } else if (*n < kPow10[static_cast<std::size_t>(count) - 1]) {
      --exponent;
    } else {
      return TSignificant{*n, exponent};
    }
  }
  return std::nullopt;
}

void ReplacePoint(std::string& text, char separator) {
  if (separator == '.') return;
  std::replace(text.begin(), text.end(), '.', separator);
}

}  // namespace

std::string FloatToStrGeneral(double value, const TFormatSettings& fmt) {
  std::string text;
  AppendFloatGeneral(text, value, fmt);
  return text;
}

void AppendFloatGeneral(std::string& out, double value, const TFormatSettings& fmt) {
  std::string nonFinite;
  if (NonFiniteText(value, nonFinite)) {
    out += nonFinite;
    return;
  }
  if (value == 0.0) {
    out += '0';
    return;
  }

  // Fifteen significant digits, correctly rounded, and the decimal exponent
  // of the first.
  std::array<char, 40> digitBuf;
  std::size_t count = 0;
  int exponent = 0;
  if (const std::optional<TSignificant> rounded = RoundSignificant(value, kGeneralPrecision)) {
    count = static_cast<std::size_t>(
        std::to_chars(digitBuf.data(), digitBuf.data() + digitBuf.size(), rounded->Digits).ptr - digitBuf.data());
    exponent = rounded->Exponent;
  } else {
    // Beyond the exact integers: the library's d.dddddddddddddde±x.
    std::array<char, 40> sciBuf;
    const auto res = ToCharsScientific(sciBuf.data(), sciBuf.data() + sciBuf.size(), std::fabs(value), kGeneralPrecision - 1);
    const std::string_view sci(sciBuf.data(), res.ptr - sciBuf.data());
    const std::size_t ePos = sci.find('e');
    for (char c : sci.substr(0, ePos))
      if (c != '.') digitBuf[count++] = c;
    std::from_chars(sci.data() + ePos + (sci[ePos + 1] == '+' ? 2 : 1), sci.data() + sci.size(), exponent);
  }
  while (count > 1 && digitBuf[count - 1] == '0') --count;
  const std::string_view digits(digitBuf.data(), count);

  if (std::signbit(value)) out += '-';
  if (exponent >= kGeneralPrecision || exponent < -4) {
    out += digits.front();
    if (digits.size() > 1) {
      out += fmt.DecimalSeparator;
      out.append(digits.substr(1));
    }
    out += 'E';
    std::array<char, 8> exponentText;
    out.append(exponentText.data(),
               std::to_chars(exponentText.data(), exponentText.data() + exponentText.size(), exponent).ptr);
    return;
  }
  if (exponent < 0) {
    out += '0';
    out += fmt.DecimalSeparator;
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out.append(digits);
    return;
  }
  const std::size_t whole = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= whole) {
    out.append(digits);
    out.append(whole - digits.size(), '0');
    return;
  }
  out.append(digits.substr(0, whole));
  out += fmt.DecimalSeparator;
  out.append(digits.substr(whole));
}

std::string FloatToStrFixed(double value, int digits, const TFormatSettings& fmt) {
  std::string text;
  if (NonFiniteText(value, text)) return text;
  digits = std::clamp(digits, 0, 30);
  // A double has at most 309 digits before the point.
  std::array<char, 320 + 30> buf;
  const auto res = ToCharsFixed(buf.data(), buf.data() + buf.size(), value, digits);
  text.assign(buf.data(), res.ptr);
  ReplacePoint(text, fmt.DecimalSeparator);
  return text;
}

std::to_chars_result ToCharsScientific(char* first, char* last, double value, int precision) {
  const auto library = [&] { return std::to_chars(first, last, value, std::chars_format::scientific, precision); };
  if (precision < 0 || precision > 18 || !std::isfinite(value) || value == 0.0) return library();
  const std::optional<TSignificant> rounded = RoundSignificant(value, precision + 1);
  if (!rounded) return library();

  std::array<char, 24> digits;
  std::to_chars(digits.data(), digits.data() + digits.size(), rounded->Digits);
  const int exponent = rounded->Exponent;
  const unsigned magnitude = static_cast<unsigned>(exponent < 0 ? -exponent : exponent);
  const std::size_t exponentDigits = magnitude >= 100 ? 3 : 2;
  const std::size_t total = (std::signbit(value) ? 1 : 0) + 1 + (precision > 0 ? 1 + precision : 0) + 2 + exponentDigits;
  if (static_cast<std::size_t>(last - first) < total) return {last, std::errc::value_too_large};

  char* out = first;
  if (std::signbit(value)) *out++ = '-';
  *out++ = digits[0];
  if (precision > 0) {
    *out++ = '.';
    out = std::copy_n(digits.data() + 1, precision, out);
  }
  *out++ = 'e';
  *out++ = exponent < 0 ? '-' : '+';
  if (magnitude >= 100) *out++ = static_cast<char>('0' + magnitude / 100);
  *out++ = static_cast<char>('0' + magnitude / 10 % 10);
  *out++ = static_cast<char>('0' + magnitude % 10);
  return {out, std::errc{}};
}

std::to_chars_result ToCharsFixed(char* first, char* last, double value, int digits) {
  const auto library = [&] { return std::to_chars(first, last, value, std::chars_format::fixed, digits); };
  if (!std::isfinite(value)) return library();
  const TBinary b = Decompose(value);
  const bool negative = b.Negative;
  const std::optional<uint64_t> n = Scaled(b, digits);
  if (!n) return library();

  std::array<char, 24> number;  // n in decimal, at least digits + 1 of them
  const auto [end, ec] = std::to_chars(number.data(), number.data() + number.size(), *n);
  std::size_t length = static_cast<std::size_t>(end - number.data());
  const std::size_t width = static_cast<std::size_t>(digits) + 1;
  const std::size_t zeros = length < width ? width - length : 0;
  const std::size_t total = (negative ? 1 : 0) + length + zeros + (digits > 0 ? 1 : 0);
  if (static_cast<std::size_t>(last - first) < total) return {last, std::errc::value_too_large};

  char* out = first;
  if (negative) *out++ = '-';
  // The leading zeros make "0.05" of 5 with two digits.
  std::array<char, 48> padded;
  std::fill_n(padded.data(), zeros, '0');
  std::copy_n(number.data(), length, padded.data() + zeros);
  length += zeros;
  const std::size_t whole = length - static_cast<std::size_t>(digits);
  out = std::copy_n(padded.data(), whole, out);
  if (digits > 0) {
    *out++ = '.';
    out = std::copy_n(padded.data() + whole, digits, out);
  }
  return {out, std::errc{}};
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
