#pragma once

#include <charconv>
#include <cstdint>
#include <exception>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

// Small helpers of the library: locale-free number texts with an explicit
// decimal separator, the decimal-mark conversion, byte order and hex dumps.

struct TFormatSettings {
  char DecimalSeparator = '.';
  char ThousandSeparator = ',';
};

// The process's number format: "." as decimal separator, whatever the locale.
inline TFormatSettings DefaultFormatSettings() { return TFormatSettings{}; }

// The class name of an exception, demangled ("EVQ_Exception").
std::string ExceptionClassName(const std::exception& e);
// "EXCEP(" + class name + ") " + message: how library entries report an exception.
std::string ExceptionText(const std::exception& e);

// A text that should be a number and is not.
class EConvertError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// General form with up to 15 significant digits: fixed notation for ordinary
// magnitudes, exponent form ("1E-10", "1.5E20") below 1E-4 or from 1E15 on;
// NaN and infinities as "NAN", "INF", "-INF".
std::string FloatToStrGeneral(double value, const TFormatSettings& fmt = DefaultFormatSettings());
// The same appended to `out`, without a text of its own (hot log lines).
void AppendFloatGeneral(std::string& out, double value, const TFormatSettings& fmt = DefaultFormatSettings());
// Fixed notation with `digits` fraction digits.
std::string FloatToStrFixed(double value, int digits, const TFormatSettings& fmt = DefaultFormatSettings());
// Exactly what std::to_chars(first, last, value, std::chars_format::fixed,
// digits) writes, several times faster for the values measurements have: the
// value's binary digits are scaled by 10^digits in 128-bit integers and rounded
// half to even, as the library's conversion does. Other values go to it.
std::to_chars_result ToCharsFixed(char* first, char* last, double value, int digits);
// The same for std::chars_format::scientific with `precision` digits after
// the point.
std::to_chars_result ToCharsScientific(char* first, char* last, double value, int precision);

// Reads a decimal number written with the format's separator (blanks around
// it allowed, exponent allowed). Nothing when the text is no number.
std::optional<double> TryStrToFloat(std::string_view text, const TFormatSettings& fmt = DefaultFormatSettings());
// As TryStrToFloat; throws EConvertError ("'x' is not a valid floating point value").
double StrToFloat(std::string_view text, const TFormatSettings& fmt = DefaultFormatSettings());

// Rewrites the decimal mark of a number text to `separator`: the mark is "."
// when the text holds one after its first character, else "," when it holds
// one there; a text that starts with its mark is left as it is.
std::string ConvertDecimalMark(std::string_view text, char separator);

// The text without leading and trailing blanks and control characters
// (everything up to and including ' ').
std::string_view Trim(std::string_view text);
// The parts between the separators; empty parts are kept, so there is always
// one more part than separators.
std::vector<std::string_view> SplitText(std::string_view text, std::string_view separator);

// Resolution class of a frequency in Hz (7 for the highest frequencies, 11 for
// the lowest), kept per channel by the measurement store.
int FrequencyResolutionClass(double frequency);

// The 32-bit number at `offset`, most significant byte first; 0 when fewer
// than four bytes are there.
uint32_t ReadBigEndian32(std::string_view bytes, std::size_t offset = 0);

constexpr uint32_t SwapBytes32(uint32_t v) {
  return (v >> 24) | ((v >> 8) & 0x0000FF00u) | ((v << 8) & 0x00FF0000u) | (v << 24);
}
constexpr uint16_t SwapBytes16(uint16_t v) { return static_cast<uint16_t>((v >> 8) | (v << 8)); }

// Two upper-case hexadecimal digits per byte, no separators.
std::string HexDump(std::span<const uint8_t> bytes);
// The same for the low byte of each character.
std::string HexDump(std::string_view text);

// Upper-case hexadecimal of `value` with at least `minDigits` digits.
std::string HexText(uint64_t value, int minDigits);
