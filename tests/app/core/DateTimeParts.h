#pragma once

#include "app/core/App_DateTime.h"

// Calendar fields of a date and time, as the tests write them.
inline TDateTimeParts Parts(int y, int mo, int d, int h, int mi, int s, int ms) {
  TDateTimeParts p;
  p.Year = y;
  p.Month = mo;
  p.Day = d;
  p.Hour = h;
  p.Minute = mi;
  p.Second = s;
  p.Millisecond = ms;
  return p;
}

// The UTC instant of those fields.
inline TUtcMs Utc(int y, int mo, int d, int h, int mi, int s, int ms) { return UtcPartsToMs(Parts(y, mo, d, h, mi, s, ms)); }
