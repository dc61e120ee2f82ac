#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "library/core/VQ_CommonTypes.h"

// A counter's identity as it announces it in its version report (code 7001):
// model and options as the hardware feature word, firmware version and date,
// FPGA version, serial number, user ID and IP address. Three forms of the
// report are read here: the binary report of a Coldfire counter, the converted
// 7001 report of an ESP counter, and the 7001 line of a recorded text file.
// The parsers are pure code: the report layer owns the record, hands the
// results to its device and passes in what it needs from the device.

// Bits of the hardware feature word.
inline constexpr uint16_t VQ_FeaturePAV = 0x0001;     // phase and frequency counter
inline constexpr uint16_t VQ_FeatureQMT = 0x0002;     // QMT time-interval channels
inline constexpr uint16_t VQ_FeatureOptionS = 0x0004;
inline constexpr uint16_t VQ_FeaturePARO = 0x0008;
inline constexpr uint16_t VQ_FeaturePAW = 0x2000;
inline constexpr uint16_t VQ_FeatureOptionF = 0x4000;
inline constexpr uint16_t VQ_FeatureUnknown = 0x8000;  // version string not understood

// Where the parsers write their debug lines: the log number and the tag of the
// object that parses (each line is the tag followed by ".Operation...").
struct TVQ_VersionLog {
  int FLogId = -1;
  std::string_view FTag;
};

struct TVQ_VersionInfo {
  static constexpr uint32_t kUnknownSerial = 0xFFFFFFFF;
  static constexpr uint8_t kUnknownUser = 255;
  static constexpr int kUnknownVersion = -1;

  std::string FFirmwareDate;
  std::string FFPGAVersion;
  std::string FFWVersionString;   // ESP: the firmware text after "FW: "
  uint16_t FHardFeature = VQ_FeatureUnknown;
  std::string FHardFeatureString;  // ESP: the feature text of the report
  std::string FMajorMinorStr;      // ESP: major + "." + minor
  int FMajor = kUnknownVersion;
  int FMinor = kUnknownVersion;
  int FVersion = kUnknownVersion;  // firmware version number
  std::string FVersionIP;
  std::string FVersionString;
  uint32_t FVersionSerialNumber = kUnknownSerial;
  uint8_t FVersionUser = kUnknownUser;

  void Reset() { *this = TVQ_VersionInfo{}; }
  // QMT channels without phase and frequency channels.
  bool GetIsQMTonly() const;
  // ESP: major + "." + minor; otherwise the version number in decimal.
  std::string GetFWVersionNumberString(TVQ_PeerType peer) const;
};

// Coldfire binary form: the whole binary report, code bytes included. Reports
// that are not 7001 are not examined (false, record untouched). True when the
// firmware version number was read; the feature word is in FHardFeature.
bool ExtractFirmware(TVQ_VersionInfo& info, std::string_view report, const TVQ_VersionLog& log);

// ESP form: the converted 7001 report (code bytes included). `deviceFeature`
// is the feature word the device already holds. True when the firmware
// version was read; every other part that fails keeps its reset values.
bool ESPExtractFirmware(TVQ_VersionInfo& info, std::string_view report, uint16_t deviceFeature,
                        const TVQ_VersionLog& log);

// Text form: a report line of a recorded text file. Lines that do not start
// with "7001VERSION" are not examined (false, record untouched). Reads model,
// options, version number and date only.
bool ExtractFirmwareVersionDateTextReport(TVQ_VersionInfo& info, std::string_view line, const TVQ_VersionLog& log);

// The decimal digit right after "User" in a version text.
bool ExtractUserID(std::string_view s, uint8_t& userID, const TVQ_VersionLog& log);
// The third " / " part of a version text read as hexadecimal; otherwise
// serialNumber becomes kUnknownSerial.
bool ExtractSerialNumber(std::string_view s, uint32_t& serialNumber);

// ---- texts of the 7001 line ---------------------------------------------------

// "VERSION <feature text> / # <serial> User <user> / <firmware> / HW: <FPGA> / IP: <ip>"
std::string ESPVersionText(const TVQ_VersionInfo& info);
// 7001 line of an ESP counter.
std::string ESPVersionReportLine(const TVQ_VersionInfo& info);
// 7001 line of a Coldfire counter: the version text up to and including "User"
// and the character after it (all of it when "User" is missing).
std::string ColdfireVersionReportLine(std::string_view versionText);
// 7001 line of the simulated counter.
std::string SimulatedVersionReportLine(std::string_view versionText);
