#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Wall-clock instants are kept as UTC milliseconds since the Unix epoch;
// local time appears only when an instant is shown or read from a text that
// was written in local time.
using TUtcMs = int64_t;

// The calendar and clock fields of an instant in one time zone.
struct TDateTimeParts {
  int Year = 1970;
  int Month = 1;  // 1..12
  int Day = 1;    // 1..31
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
  int Millisecond = 0;
  int DayOfWeek = 4;  // 0 = Sunday
};

TUtcMs UtcNowMs();
TUtcMs ToUtcMs(std::chrono::system_clock::time_point instant);

// The fields of an instant as UTC or as the local time of the process's zone.
TDateTimeParts UtcParts(TUtcMs instant);
TDateTimeParts LocalParts(TUtcMs instant);
inline TDateTimeParts ZoneParts(TUtcMs instant, bool utc) { return utc ? UtcParts(instant) : LocalParts(instant); }

// The instant of UTC or local calendar fields (DayOfWeek is ignored). A local
// time that occurs twice (the hour after a daylight-saving change) gives the
// earlier instant; one that does not occur is moved forward by the gap.
TUtcMs UtcPartsToMs(const TDateTimeParts& parts);
TUtcMs LocalPartsToMs(const TDateTimeParts& parts);
inline TUtcMs ZonePartsToMs(const TDateTimeParts& parts, bool utc) {
  return utc ? UtcPartsToMs(parts) : LocalPartsToMs(parts);
}

// Formats with the pattern letters of the time format settings, case-
// insensitive: YY / YYYY year, M / MM month (minutes when the letter before
// them was an hour letter, separators between allowed), MMM / MMMM English
// month names, D / DD day, DDD / DDDD English day names, H / HH hour, N / NN
// minutes, S / SS seconds, Z / ZZZ milliseconds. Text in "..." or '...' and
// every other character are copied. No locale is used.
std::string FormatDateTime(std::string_view format, const TDateTimeParts& parts);
inline std::string FormatDateTime(std::string_view format, TUtcMs instant, bool utc) {
  return FormatDateTime(format, ZoneParts(instant, utc));
}

// Date-time numbers of the settings file: days since 1899-12-30 with the time
// as fraction, of wall-clock fields (no zone). Nothing for NaN, infinities and
// values outside years 1..9999.
double PartsToDateTimeNumber(const TDateTimeParts& parts);
std::optional<TDateTimeParts> DateTimeNumberToParts(double value);
