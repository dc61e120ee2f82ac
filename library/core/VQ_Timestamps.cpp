#include "library/core/VQ_Timestamps.h"

#include <charconv>

#include "library/core/LogUnit.h"
#include "library/core/VQ_CommonTypes.h"

namespace {

constexpr uint16_t kLostDataBit = 0x8000;

}  // namespace

std::string GroupedNumber(int64_t value) {
  const std::string digits =
      std::to_string(value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value));
  std::string text = value < 0 ? "-" : "";
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) text += '.';
    text += digits[i];
  }
  return text;
}

TVQ_TimestampTracker::TVQ_TimestampTracker(int logId, std::string dbgTag)
    : FLogId(logId), FDbgTag(std::move(dbgTag)) {}

void TVQ_TimestampTracker::CheckTimestamps(std::string_view report, bool logSteps) {
  if (report.size() < 2) return;
  const auto code = static_cast<uint16_t>(BinaryReportCode(report) & ~kLostDataBit);
  if (VQ_Code::IsMeasurement(code)) {
    Measurement(code, logSteps, ".CheckTimestamps");
    return;
  }
  if (code != VQ_Code::Timestamp && code != VQ_Code::Timestamp100ms) return;
  if (report.size() < 6) return;
  Timestamp(code, ReadBigEndian32(report, 2), logSteps, ".CheckTimestamps");
}

void TVQ_TimestampTracker::CheckTimestampsTextReport(std::string_view line, bool logSteps) {
  const auto parsed = ReportLineCode(line);
  if (!parsed) return;
  const auto code = static_cast<uint16_t>(*parsed & ~kLostDataBit);
  if (VQ_Code::IsMeasurement(code)) {
    Measurement(code, logSteps, ".CheckTimestampsTextReport");
    return;
  }
  if ((code != VQ_Code::Timestamp && code != VQ_Code::Timestamp100ms) || line.size() <= 5) return;
  const std::string_view text = Trim(line.substr(5));
  uint32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) return;
  Timestamp(code, value, logSteps, ".CheckTimestampsTextReport");
}

void TVQ_TimestampTracker::Timestamp(uint16_t code, uint64_t value, bool logSteps, const char* caller) {
  const bool seconds = code == VQ_Code::Timestamp;
  FDevice100ms = seconds ? value * 10 : value;
  FDeviceMs = static_cast<int64_t>(FDevice100ms) * 100;
  FDeviceMsCount = 0;
  if (!logSteps || !LogWanted(FLogId)) return;
  // Binary reports log every timestamp in tenths; lines log what they carry.
  const bool asLine = caller == std::string_view(".CheckTimestampsTextReport");
  const std::string shown = asLine && seconds ? " 7015=" + std::to_string(value) : " 7016=" + std::to_string(FDevice100ms);
  LogInfo(FLogId, FDbgTag + caller + shown + " FDeviceMs=" + GroupedNumber(FDeviceMs));
}

void TVQ_TimestampTracker::Measurement(uint16_t header, bool logSteps, const char* caller) {
  if (FDeviceMs == kUnknown) return;
  // Interval indices 14 and 15 name no interval: such a report does not move the clock.
  const auto interval = VQ_IntervalMs((header >> 8) & 0x0F);
  if (FDeviceMsCount > 0 && interval) FDeviceMs += *interval;
  ++FDeviceMsCount;
  if (logSteps && LogWanted(FLogId))
    LogInfo(FLogId, FDbgTag + caller + " Measurement ms=" + (interval ? std::to_string(*interval) : "?") +
                        " FDeviceMs=" + GroupedNumber(FDeviceMs));
}
