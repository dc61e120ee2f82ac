#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "library/core/VQ_CommonTypes.h"

// Measurement lines of a phase/frequency counter as the tests of the counter
// store build them: the four-digit header code, then per channel one ";" and
// the value right-aligned in 26 characters.

namespace pav_lines {

// Headers: mode in bits 12..14, interval index in bits 8..11.
inline constexpr uint16_t kPhase1s = 0x0900;
inline constexpr uint16_t kPhase100ms = 0x0600;
inline constexpr uint16_t kPhase20s = 0x0D00;
inline constexpr uint16_t kFrequency1s = 0x2900;
inline constexpr uint16_t kPhaseDiff1s = 0x4900;

inline std::string Field(std::string_view value) {
  std::string field = ";";
  if (value.size() < 26) field.append(26 - value.size(), ' ');
  field += value;
  return field;
}

inline std::string Line(uint16_t header, const std::vector<std::string>& values) {
  std::string line = ReportCodeText(header);
  for (const std::string& v : values) line += Field(v);
  return line;
}

// A phase of `units` x 1e-11 cycles as the counter writes it: whole cycles,
// ".", eleven fraction digits.
inline std::string PhaseText(__int128 units) {
  constexpr int64_t kScale = 100000000000;  // 1e11
  const bool negative = units < 0;
  const __int128 magnitude = negative ? -units : units;
  const int64_t whole = static_cast<int64_t>(magnitude / kScale);
  std::string fraction = std::to_string(static_cast<int64_t>(magnitude % kScale));
  fraction.insert(0, 11 - fraction.size(), '0');
  return (negative ? "-" : "") + std::to_string(whole) + "." + fraction;
}

// Cycles given as whole cycles plus 1e-11 units.
inline __int128 Units(int64_t cycles, int64_t elevenths = 0) {
  return static_cast<__int128>(cycles) * 100000000000 + elevenths;
}

}  // namespace pav_lines
