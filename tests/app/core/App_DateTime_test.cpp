#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "app/core/App_DateTime.h"
#include "support/TimeZone.h"
#include "app/core/DateTimeParts.h"

namespace {


TEST(AppDateTime, FormatsThePatternLetters) {
  // Tuesday 2024-03-05 07:08:09.045 UTC
  const TUtcMs instant = UtcPartsToMs(Parts(2024, 3, 5, 7, 8, 9, 45));
  struct Case {
    const char* format;
    const char* expected;
  } cases[] = {
      {"YYMMDD HHNNSS.ZZZ", "240305 070809.045"},
      {"yyyy-mm-dd hh:nn:ss,zzz", "2024-03-05 07:08:09,045"},
      {"HH:MM", "07:08"},          // M after an hour letter means minutes
      {"hh:mm:ss dd.mm.", "07:08:09 05.03."},  // and a later M is the month again
      {"M/D/YY H:N:S.Z", "3/5/24 7:8:9.45"},
      {"ddd dddd mmm mmmm", "Tue Tuesday Mar March"},
      {"\"YY\" 'hh' YY", "YY hh 24"},  // quoted text is copied
      {"\"open", "open"},               // an unclosed quote runs to the end
      {"X-#_", "X-#_"},                 // other characters are copied
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(FormatDateTime(c.format, instant, true), c.expected) << c.format;
}

TEST(AppDateTime, LocalTimeFollowsDaylightSavingWhileUtcDoesNot) {
  TZoneGuard zone("Europe/Berlin");
  // The night of 2024-03-31: 01:00 UTC is 02:00 CET -> 03:00 CEST.
  const TUtcMs before = UtcPartsToMs(Parts(2024, 3, 31, 0, 30, 0, 0));
  const TUtcMs after = before + 3600000;
  EXPECT_EQ(FormatDateTime("hh:nn", before, false), "01:30");
  EXPECT_EQ(FormatDateTime("hh:nn", after, false), "03:30");
  EXPECT_EQ(FormatDateTime("hh:nn", after, true), "01:30");

  // Local fields back to the instant, on both sides of the change.
  EXPECT_EQ(LocalPartsToMs(LocalParts(before)), before);
  EXPECT_EQ(LocalPartsToMs(LocalParts(after + 123)), after + 123);
  EXPECT_EQ(LocalPartsToMs(Parts(2024, 7, 1, 12, 0, 0, 0)), UtcPartsToMs(Parts(2024, 7, 1, 10, 0, 0, 0)));
  EXPECT_EQ(LocalPartsToMs(Parts(2024, 1, 1, 12, 0, 0, 0)), UtcPartsToMs(Parts(2024, 1, 1, 11, 0, 0, 0)));
}

TEST(AppDateTime, UtcFieldsAroundTheEpochAndLeapDays) {
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", -1, true), "1969-12-31 23:59:59.999");
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd", UtcPartsToMs(Parts(2024, 2, 29, 0, 0, 0, 0)), true), "2024-02-29");
  const TUtcMs instant = UtcPartsToMs(Parts(2031, 12, 31, 23, 59, 59, 999));
  const TDateTimeParts back = UtcParts(instant);
  EXPECT_EQ(UtcPartsToMs(back), instant);
  EXPECT_EQ(back.DayOfWeek, 3);  // a Wednesday
}

TEST(AppDateTime, DateTimeNumbersOfTheSettingsFile) {
  struct Case {
    double number;
    TDateTimeParts parts;
  } cases[] = {
      {0.0, Parts(1899, 12, 30, 0, 0, 0, 0)},
      {45000.5, Parts(2023, 3, 15, 12, 0, 0, 0)},
      {45383.25, Parts(2024, 4, 1, 6, 0, 0, 0)},
      {-1.25, Parts(1899, 12, 29, 6, 0, 0, 0)},  // before the origin the fraction counts forward
  };
  for (const Case& c : cases) {
    const std::optional<TDateTimeParts> parts = DateTimeNumberToParts(c.number);
    ASSERT_TRUE(parts) << c.number;
    EXPECT_EQ(UtcPartsToMs(*parts), UtcPartsToMs(c.parts)) << c.number;
    EXPECT_DOUBLE_EQ(PartsToDateTimeNumber(c.parts), c.number);
  }
  // Milliseconds survive the round trip.
  const TDateTimeParts ms = Parts(2024, 6, 1, 11, 39, 26, 7);
  EXPECT_EQ(UtcPartsToMs(*DateTimeNumberToParts(PartsToDateTimeNumber(ms))), UtcPartsToMs(ms));
  EXPECT_FALSE(DateTimeNumberToParts(std::nan("")));
  EXPECT_FALSE(DateTimeNumberToParts(1e300));
  EXPECT_FALSE(DateTimeNumberToParts(-1e9));
}

}  // namespace
