#include "app/core/App_DateTime.h"

#include <array>
#include <cctype>
#include <cmath>
#include <ctime>

namespace {

constexpr int64_t kMsPerDay = 86400000;

int64_t FloorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0); }

// Days since 1970-01-01 of a proleptic Gregorian date.
int64_t DaysFromCivil(int y, int m, int d) {
  using namespace std::chrono;
  return sys_days{year{y} / month{static_cast<unsigned>(m)} / day{static_cast<unsigned>(d)}}.time_since_epoch().count();
}

TDateTimeParts FromTm(const std::tm& tm, int ms) {
  TDateTimeParts parts;
  parts.Year = tm.tm_year + 1900;
  parts.Month = tm.tm_mon + 1;
  parts.Day = tm.tm_mday;
  parts.Hour = tm.tm_hour;
  parts.Minute = tm.tm_min;
  parts.Second = tm.tm_sec;
  parts.Millisecond = ms;
  parts.DayOfWeek = tm.tm_wday;
  return parts;
}

constexpr std::array<std::string_view, 12> kMonthShort = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::array<std::string_view, 12> kMonthLong = {"January", "February", "March",     "April",
                                                         "May",     "June",     "July",      "August",
                                                         "September", "October", "November", "December"};
constexpr std::array<std::string_view, 7> kDayShort = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<std::string_view, 7> kDayLong = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                                      "Thursday", "Friday", "Saturday"};

void AppendNumber(std::string& out, int value, int width) {
  std::string digits = std::to_string(value < 0 ? -value : value);
  if (static_cast<int>(digits.size()) < width) digits.insert(0, static_cast<std::size_t>(width) - digits.size(), '0');
  if (value < 0) out += '-';
  out += digits;
}

std::string_view Name(std::string_view const* names, int count, int index) {
  return index >= 0 && index < count ? names[index] : std::string_view();
}

}  // namespace

TUtcMs UtcNowMs() { return ToUtcMs(std::chrono::system_clock::now()); }

TUtcMs ToUtcMs(std::chrono::system_clock::time_point instant) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(instant.time_since_epoch()).count();
}

TDateTimeParts UtcParts(TUtcMs instant) {
  const int64_t days = FloorDiv(instant, kMsPerDay);
  const int64_t msOfDay = instant - days * kMsPerDay;
  using namespace std::chrono;
  const year_month_day ymd{sys_days{std::chrono::days{days}}};
  TDateTimeParts parts;
  parts.Year = static_cast<int>(ymd.year());
  parts.Month = static_cast<int>(static_cast<unsigned>(ymd.month()));
  parts.Day = static_cast<int>(static_cast<unsigned>(ymd.day()));
  parts.Hour = static_cast<int>(msOfDay / 3600000);
  parts.Minute = static_cast<int>(msOfDay / 60000 % 60);
  parts.Second = static_cast<int>(msOfDay / 1000 % 60);
  parts.Millisecond = static_cast<int>(msOfDay % 1000);
  parts.DayOfWeek = static_cast<int>(weekday{sys_days{std::chrono::days{days}}}.c_encoding());
  return parts;
}

TDateTimeParts LocalParts(TUtcMs instant) {
  const int64_t seconds = FloorDiv(instant, 1000);
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  if (!::localtime_r(&t, &tm)) return UtcParts(instant);
  return FromTm(tm, static_cast<int>(instant - seconds * 1000));
}

TUtcMs UtcPartsToMs(const TDateTimeParts& p) {
  return DaysFromCivil(p.Year, p.Month, p.Day) * kMsPerDay + p.Hour * 3600000LL + p.Minute * 60000LL +
         p.Second * 1000LL + p.Millisecond;
}

TUtcMs LocalPartsToMs(const TDateTimeParts& p) {
  std::tm tm{};
  tm.tm_year = p.Year - 1900;
  tm.tm_mon = p.Month - 1;
  tm.tm_mday = p.Day;
  tm.tm_hour = p.Hour;
  tm.tm_min = p.Minute;
  tm.tm_sec = p.Second;
  tm.tm_isdst = -1;
  const std::time_t t = ::mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return UtcPartsToMs(p);
  return static_cast<int64_t>(t) * 1000 + p.Millisecond;
}

std::string FormatDateTime(std::string_view format, const TDateTimeParts& p) {
  std::string out;
  char lastLetter = 0;
  std::size_t i = 0;
  while (i < format.size()) {
    const char c = format[i];
    if (c == '"' || c == '\'') {
      const std::size_t end = format.find(c, i + 1);
      const std::size_t stop = end == std::string_view::npos ? format.size() : end;
      out.append(format.substr(i + 1, stop - i - 1));
      i = stop == format.size() ? stop : stop + 1;
      continue;
    }
    char letter = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (!std::isalpha(static_cast<unsigned char>(c))) {
      out += c;
      ++i;
      continue;
    }
    std::size_t count = 1;
    while (i + count < format.size() && std::toupper(static_cast<unsigned char>(format[i + count])) == letter) ++count;
    if (letter == 'M' && lastLetter == 'H') letter = 'N';
    switch (letter) {
      case 'Y':
        if (count <= 2)
          AppendNumber(out, p.Year % 100, 2);
        else
          AppendNumber(out, p.Year, 4);
        break;
      case 'M':
        if (count >= 4)
          out += Name(kMonthLong.data(), 12, p.Month - 1);
        else if (count == 3)
          out += Name(kMonthShort.data(), 12, p.Month - 1);
        else
          AppendNumber(out, p.Month, static_cast<int>(count));
        break;
      case 'D':
        if (count >= 4)
          out += Name(kDayLong.data(), 7, p.DayOfWeek);
        else if (count == 3)
          out += Name(kDayShort.data(), 7, p.DayOfWeek);
        else
          AppendNumber(out, p.Day, static_cast<int>(count));
        break;
      case 'H':
        AppendNumber(out, p.Hour, count >= 2 ? 2 : 1);
        break;
      case 'N':
        AppendNumber(out, p.Minute, count >= 2 ? 2 : 1);
        break;
      case 'S':
        AppendNumber(out, p.Second, count >= 2 ? 2 : 1);
        break;
      case 'Z':
        AppendNumber(out, p.Millisecond, count >= 3 ? 3 : 1);
        break;
      default:
        out.append(format.substr(i, count));
        break;
    }
    lastLetter = letter;
    i += count;
  }
  return out;
}

namespace {
constexpr int64_t kDaysTo1970 = 25569;  // 1899-12-30 .. 1970-01-01
}

double PartsToDateTimeNumber(const TDateTimeParts& p) {
  const int64_t days = DaysFromCivil(p.Year, p.Month, p.Day) + kDaysTo1970;
  const double fraction =
      static_cast<double>(p.Hour * 3600000LL + p.Minute * 60000LL + p.Second * 1000LL + p.Millisecond) /
      static_cast<double>(kMsPerDay);
  return days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
}

std::optional<TDateTimeParts> DateTimeNumberToParts(double value) {
  if (!std::isfinite(value) || value < -693593.0 || value >= 2958466.0) return std::nullopt;
  // Before the origin the fraction still counts forward from midnight.
  const double whole = std::trunc(value);
  const double fraction = std::fabs(value - whole);
  int64_t ms = std::llround(fraction * static_cast<double>(kMsPerDay));
  int64_t days = static_cast<int64_t>(whole) - kDaysTo1970;
  if (ms >= kMsPerDay) {
    ms -= kMsPerDay;
    days += value >= 0 ? 1 : -1;
  }
  return UtcParts(days * kMsPerDay + ms);
}
