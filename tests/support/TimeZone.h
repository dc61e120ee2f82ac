#pragma once

#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

// Switches the process's time zone for one test and restores it.
class TZoneGuard {
 public:
  explicit TZoneGuard(const char* zone) {
    if (const char* old = std::getenv("TZ")) FOld = old;
    ::setenv("TZ", zone, 1);
    ::tzset();
  }
  ~TZoneGuard() {
    if (FOld)
      ::setenv("TZ", FOld->c_str(), 1);
    else
      ::unsetenv("TZ");
    ::tzset();
  }
  TZoneGuard(const TZoneGuard&) = delete;
  TZoneGuard& operator=(const TZoneGuard&) = delete;

 private:
  std::optional<std::string> FOld;
};
