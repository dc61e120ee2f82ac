#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The counter's own clock, followed from the reports: a timestamp (7015
// seconds, 7016 tenths) sets it, every measurement after the first one since
// the timestamp moves it on by the interval of its data header. The report
// layer owns one tracker; the source reads DeviceMs() as each report's time.
class TVQ_TimestampTracker {
 public:
  static constexpr int64_t kUnknown = -1;

  // Log lines go to `logId` with the report layer's tag before them.
  TVQ_TimestampTracker(int logId, std::string dbgTag);

  // A binary report (code or data header high first, then the payload).
  void CheckTimestamps(std::string_view report, bool logSteps);
  // A report line (four hexadecimal digits, then the text).
  void CheckTimestampsTextReport(std::string_view line, bool logSteps);

  int64_t DeviceMs() const { return FDeviceMs; }
  uint64_t Device100ms() const { return FDevice100ms; }
  int DeviceMsCount() const { return FDeviceMsCount; }

  void SetDeviceMs(int64_t ms) { FDeviceMs = ms; }
  void SetDevice100ms(uint64_t tenths) { FDevice100ms = tenths; }

 private:
  void Timestamp(uint16_t code, uint64_t value, bool logSteps, const char* caller);
  void Measurement(uint16_t header, bool logSteps, const char* caller);

  const int FLogId;
  const std::string FDbgTag;
  // 64 bits: seconds x 1000 outgrow 32 bits after 49.7 days.
  int64_t FDeviceMs = kUnknown;
  uint64_t FDevice100ms = 0;
  int FDeviceMsCount = 0;
};

// Whole number with "." between groups of three digits ("1.234.567").
std::string GroupedNumber(int64_t value);
