#include "library/core/VQ_VersionInfo.h"

#include <algorithm>
#include <charconv>
#include <limits>
#include <optional>
#include <vector>

#include "library/core/LogUnit.h"
#include "library/core/VQ_DllCommon.h"

namespace {

constexpr std::string_view kVersionWord = "VERSION";
constexpr std::string_view kTextReportPrefix = "7001VERSION";
constexpr std::string_view kModelEnd = ": ";
constexpr std::string_view kDateMark = "CF ";
constexpr std::string_view kUserWord = "User";
constexpr std::string_view kEspSeparator = " / ";
constexpr char kVersionCode[] = {'\x70', '\x01'};
constexpr std::size_t kCodeBytes = 2;

// Coldfire firmware versions from which the parts behind the FPGA version
// carry the serial number and the IP address.
constexpr int kFirstVersionWithSerial = 40;
constexpr int kFirstVersionWithIP = 50;

// The ESP version number is 100 x major + minor, so the minor version has two
// digits at most; the major limit keeps the product in range.
constexpr int kMaxMajor = 9999;
constexpr int kMaxMinor = 99;

void Info(const TVQ_VersionLog& log, std::string_view text) {
  if (!LogWanted(log.FLogId)) return;
  LogInfo(log.FLogId, std::string(log.FTag) + std::string(text));
}

void Error(const TVQ_VersionLog& log, std::string_view text) {
  LogError(log.FLogId, std::string(log.FTag) + std::string(text));
}

bool IsControl(char c) { return static_cast<unsigned char>(c) < ' '; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string_view TrimTrailingControls(std::string_view s) {
  while (!s.empty() && IsControl(s.back())) s.remove_suffix(1);
  return s;
}

// The whole (trimmed) text as a hexadecimal 32-bit number: hex digits only,
// no sign, no prefix, no overflow.
std::optional<uint32_t> ReadHex32(std::string_view s) {
  s = Trim(s);
  uint32_t value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, 16);
  if (s.empty() || ec != std::errc{} || end != s.data() + s.size()) return std::nullopt;
  return value;
}

// The whole (trimmed) text as a decimal number in 0..max.
std::optional<int> ReadDecimal(std::string_view s, int max) {
  s = Trim(s);
  int value = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value, 10);
  if (s.empty() || ec != std::errc{} || end != s.data() + s.size() || value < 0 || value > max) return std::nullopt;
  return value;
}

std::string_view LeadingDigits(std::string_view s) {
  std::size_t n = 0;
  while (n < s.size() && IsDigit(s[n])) ++n;
  return s.substr(0, n);
}

std::string_view PartOrEmpty(const std::vector<std::string_view>& parts, std::size_t index) {
  return index < parts.size() ? parts[index] : std::string_view{};
}

uint16_t ModelFeature(std::string_view model) {
  if (model == "PAV:" || model == "RawPAV:") return VQ_FeaturePAV;
  if (model == "PARO:") return VQ_FeaturePARO;
  if (model == "QMT:") return VQ_FeatureQMT;
  if (model == "PAW:") return VQ_FeaturePAW | VQ_FeaturePAV;
  return VQ_FeatureUnknown;
}

uint16_t OptionFeature(std::string_view options) {
  uint16_t feature = 0;
  if (options.find('U') != std::string_view::npos) feature |= VQ_FeatureQMT;
  if (options.find('S') != std::string_view::npos) feature |= VQ_FeatureOptionS;
  if (options.find('F') != std::string_view::npos) feature |= VQ_FeatureOptionF;
  return feature;
}

struct TModelResult {
  bool FHasModel = false;
  bool FHasVersion = false;
};

// Model, version number, option letters and date of a Coldfire version text
// ("PAV: 75 USF CF 12-03-20 / ..."). Option letters and date need the "CF "
// mark; without it they stay empty rather than being guessed from the parts.

TModelResult ReadModelVersionDate(TVQ_VersionInfo& info, std::string_view text) {
  TModelResult result;
  const std::size_t modelEnd = text.find(kModelEnd);
  if (modelEnd == std::string_view::npos) return result;
  result.FHasModel = true;
  info.FHardFeature = ModelFeature(Trim(text.substr(0, modelEnd + 1)));

  std::string_view rest = text.substr(modelEnd + kModelEnd.size());
  if (const auto version = ReadDecimal(LeadingDigits(Trim(rest)), std::numeric_limits<int>::max())) {
    info.FVersion = *version;
    result.FHasVersion = true;
  }

  const std::size_t mark = rest.find(kDateMark);
  if (mark == std::string_view::npos) return result;
  info.FHardFeature |= OptionFeature(rest.substr(0, mark));
  rest.remove_prefix(mark + kDateMark.size());
  info.FFirmwareDate = std::string(rest.substr(0, rest.find(' ')));
  return result;
}

// The parts behind the model of a Coldfire version text, split at "/".
void ReadColdfireParts(TVQ_VersionInfo& info, const TVQ_VersionLog& log) {
  const auto parts = SplitText(info.FVersionString, "/");
  if (parts.size() > 1) {
    info.FFPGAVersion = std::string(Trim(parts[1]));
    Info(log, ".ExtractFirmware FPGAVersion: " + info.FFPGAVersion);
  }
  if (info.FVersion >= kFirstVersionWithSerial && parts.size() > 3) {
    for (std::size_t i = 2; i < parts.size(); ++i) {
      const auto serial = ReadHex32(parts[i]);
      if (!serial) continue;
      info.FVersionSerialNumber = *serial;
      Info(log, ".ExtractFirmware SerialNumber: " + HexText(*serial, 8));
      break;
    }
  }
  if (info.FVersion >= kFirstVersionWithIP && parts.size() > 4) {
    info.FVersionIP = std::string(Trim(parts[3]));
    Info(log, ".ESPExtractFirmware: IP=" + info.FVersionIP);
  }
}

// ---- ESP parts ------------------------------------------------------------------

void ReadEspSerialAndUser(TVQ_VersionInfo& info, std::string_view part, const TVQ_VersionLog& log) {
  part = Trim(part);
  const std::size_t blank = part.find(' ');
  const std::string_view serialText = part.substr(0, blank);
  const std::string_view userText = blank == std::string_view::npos ? std::string_view{} : part.substr(blank + 1);

  if (const auto serial = ReadHex32(serialText)) {
    info.FVersionSerialNumber = *serial;
    Info(log, ".ESPExtractFirmware SerialNumber=" + HexText(*serial, 8));
  } else {
    Info(log, ".ESPExtractFirmware invalid SerialNumber=" + std::string(serialText));
  }
  if (const auto user = ReadDecimal(userText, TVQ_VersionInfo::kUnknownUser)) {
    info.FVersionUser = static_cast<uint8_t>(*user);
    Info(log, ".ESPExtractFirmware UserID=" + std::to_string(*user));
  } else {
    Info(log, ".ESPExtractFirmware invalid UserID=" + std::string(userText));
  }
}

// The "-" that starts "<major>.<minor>" in a firmware text such as
// "PAV2-1.15 2024-08-09"; other dashes (in the name or the date) are skipped.
std::size_t FindVersionDash(std::string_view fw) {
  for (std::size_t dash = fw.find('-'); dash != std::string_view::npos; dash = fw.find('-', dash + 1)) {
    const std::string_view digits = LeadingDigits(fw.substr(dash + 1));
    const std::size_t after = dash + 1 + digits.size();
    if (!digits.empty() && after < fw.size() && fw[after] == '.') return dash;
  }
  return fw.find('-');
}

// "FW: " + firmware text. True when major and minor were read.
bool ReadEspFirmware(TVQ_VersionInfo& info, std::string_view part, const TVQ_VersionLog& log) {
  constexpr std::string_view kPrefix = "FW: ";
  if (!part.starts_with(kPrefix)) {
    Error(log, ".ESPExtractFirmware invalid FW=" + std::string(part));
    return false;
  }
  const std::string_view fw = part.substr(kPrefix.size());
  info.FFWVersionString = std::string(fw);
  Info(log, ".ESPExtractFirmware FW-String=" + info.FFWVersionString);

  const std::size_t dash = FindVersionDash(fw);
  const std::string_view afterDash = dash == std::string_view::npos ? std::string_view{} : fw.substr(dash + 1);
  const std::size_t point = afterDash.find('.');
  const std::string_view majorText = afterDash.substr(0, point);
  const auto major = ReadDecimal(majorText, kMaxMajor);
  if (!major || point == std::string_view::npos) {
    Info(log, ".ESPExtractFirmware: invalid major=" + std::string(majorText));
    return false;
  }
  Info(log, ".ESPExtractFirmware: major=" + std::to_string(*major));

  const std::string_view afterPoint = afterDash.substr(point + 1);
  const std::string_view minorText = LeadingDigits(afterPoint);
  const auto minor = ReadDecimal(minorText, kMaxMinor);
  if (!minor) {
    Info(log, ".ESPExtractFirmware: invalid minor=" + std::string(afterPoint));
    return false;
  }
  Info(log, ".ESPExtractFirmware: minor=" + std::to_string(*minor));

  info.FMajor = *major;
  info.FMinor = *minor;
  info.FVersion = 100 * *major + *minor;
  info.FMajorMinorStr = std::to_string(*major) + "." + std::to_string(*minor);
  info.FFirmwareDate = std::string(Trim(afterPoint.substr(minorText.size())));
  Info(log, ".ESPExtractFirmware: date=" + info.FFirmwareDate);
  return true;
}

void ReadEspFPGA(TVQ_VersionInfo& info, std::string_view part, const TVQ_VersionLog& log) {
  constexpr std::string_view kPrefix = "HW:";
  if (!part.starts_with(kPrefix)) {
    Error(log, ".ESPExtractFirmware invalid HW=" + std::string(part));
    return;
  }
  info.FFPGAVersion = std::string(Trim(part.substr(kPrefix.size())));
  Info(log, ".ESPExtractFirmware: FPGA=" + info.FFPGAVersion);
}

// "IP: " + the address as 8 hex digits, least significant byte first.
void ReadEspIP(TVQ_VersionInfo& info, std::string_view part, const TVQ_VersionLog& log) {
  constexpr std::string_view kPrefix = "IP: ";
  const auto value = part.starts_with(kPrefix) ? ReadHex32(part.substr(kPrefix.size())) : std::nullopt;
  if (!value) {
    Error(log, ".ESPExtractFirmware invalid IP=" + std::string(part));
    return;
  }
  std::string ip;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) ip += '.';
    ip += std::to_string((*value >> (8 * i)) & 0xFF);
  }
  info.FVersionIP = ip;
  Info(log, ".ESPExtractFirmware: IP=" + ip);
}

}  // namespace

bool TVQ_VersionInfo::GetIsQMTonly() const {
  return (FHardFeature & VQ_FeatureQMT) != 0 && (FHardFeature & VQ_FeaturePAV) == 0;
}

std::string TVQ_VersionInfo::GetFWVersionNumberString(TVQ_PeerType peer) const {
  if (peer == TVQ_PeerType::ptESP) return std::to_string(FMajor) + "." + std::to_string(FMinor);
  return std::to_string(FVersion);
}

bool ExtractFirmware(TVQ_VersionInfo& info, std::string_view report, const TVQ_VersionLog& log) {
  if (report.size() < kCodeBytes || report[0] != kVersionCode[0] || report[1] != kVersionCode[1]) return false;
  info.Reset();
  const std::string_view text = TrimTrailingControls(report.substr(kCodeBytes));

  const std::size_t word = text.find(kVersionWord);
  if (word != std::string_view::npos) {
    // Drop the word and the blank after it; the model's ": " must follow.
    const std::size_t start = std::min(text.size(), word + kVersionWord.size() + 1);
    info.FVersionString = std::string(text.substr(start));
    Info(log, ".GetReport: VERSION" + info.FVersionString);
    info.FHardFeature = 0;
    const TModelResult result = ReadModelVersionDate(info, info.FVersionString);
    if (result.FHasModel) {
      Info(log, ".ExtractFirmware Version: " + std::to_string(info.FVersion) + " Date: " + info.FFirmwareDate);
      ReadColdfireParts(info, log);
      return result.FHasVersion;
    }
  }

  info.FVersion = TVQ_VersionInfo::kUnknownVersion;
  info.FVersionString = std::string(text);
  info.FFirmwareDate.clear();
  info.FHardFeature = VQ_FeatureUnknown;
  Error(log, ".ExtractFirmware: unknown version string=" + info.FVersionString);
  return false;
}

bool ESPExtractFirmware(TVQ_VersionInfo& info, std::string_view report, uint16_t deviceFeature,
                        const TVQ_VersionLog& log) {
  info.Reset();
  const std::string_view text =
      Trim(TrimTrailingControls(report.size() < kCodeBytes ? std::string_view{} : report.substr(kCodeBytes)));
  if (text.empty()) {
    Error(log, ".ESPExtractFirmware: empty VersionString");
    return false;
  }
  info.FVersionString = std::string(text);
  Info(log, ".ESPExtractFirmware: VersionString=" + info.FVersionString);

  const auto parts = SplitText(text, kEspSeparator);
  info.FHardFeatureString = std::string(parts[0]);
  info.FHardFeature = deviceFeature;
  Info(log, ".ESPExtractFirmware device hardfeature string=" + info.FHardFeatureString);

  ReadEspSerialAndUser(info, PartOrEmpty(parts, 1), log);
  const bool ok = ReadEspFirmware(info, PartOrEmpty(parts, 2), log);
  ReadEspFPGA(info, PartOrEmpty(parts, 3), log);
  ReadEspIP(info, PartOrEmpty(parts, 4), log);
  return ok;
}

bool ExtractFirmwareVersionDateTextReport(TVQ_VersionInfo& info, std::string_view line, const TVQ_VersionLog& log) {
  if (!line.starts_with(kTextReportPrefix)) return false;
  info.Reset();
  const std::string_view text = Trim(line.substr(kTextReportPrefix.size()));
  info.FVersionString = std::string(text);
  Info(log, ".GetReport: VERSION" + info.FVersionString);
  info.FHardFeature = 0;

  const TModelResult result = ReadModelVersionDate(info, text);
  if (!result.FHasModel) {
    info.FHardFeature = VQ_FeatureUnknown;
    Error(log, ".ExtractFirmwareVersionDateTextReport: unknown version string=" + info.FVersionString);
    return false;
  }
  Info(log, ".ExtractFirmwareVersionDateTextReport Version: " + std::to_string(info.FVersion) +
                " Date: " + info.FFirmwareDate + " HardFeature=" + HexText(info.FHardFeature, 4));
  return result.FHasVersion;
}

bool ExtractUserID(std::string_view s, uint8_t& userID, const TVQ_VersionLog& log) {
  if (s.find(kVersionWord) == std::string_view::npos) return false;
  const std::size_t user = s.find(kUserWord);
  if (user == std::string_view::npos) return false;
  const std::size_t digit = user + kUserWord.size();
  if (digit >= s.size() || !IsDigit(s[digit])) {
    const std::string shown = digit < s.size() ? std::string(1, s[digit]) : std::string();
    LogException(log.FLogId, std::string(log.FTag) + ".ExtractUserID failed",
                 EConvertError("'" + shown + "' is not a valid integer value"));
    return false;
  }
  userID = static_cast<uint8_t>(s[digit] - '0');
  Info(log, ".ExtractUserID: " + std::to_string(userID));
  return true;
}

bool ExtractSerialNumber(std::string_view s, uint32_t& serialNumber) {
  serialNumber = TVQ_VersionInfo::kUnknownSerial;
  if (s.find(kVersionWord) == std::string_view::npos) return false;
  const auto parts = SplitText(s, kEspSeparator);
  if (parts.size() < 3) return false;
  const auto serial = ReadHex32(parts[2]);
  if (!serial) return false;
  serialNumber = *serial;
  return true;
}

std::string ESPVersionText(const TVQ_VersionInfo& info) {
  return "VERSION " + info.FHardFeatureString + " / # " + HexText(info.FVersionSerialNumber, 8) + " User " +
         std::to_string(info.FVersionUser) + " / " + info.FFWVersionString + " / HW: " + info.FFPGAVersion +
         " / IP: " + info.FVersionIP;
}

std::string ESPVersionReportLine(const TVQ_VersionInfo& info) {
  return "7001" + ESPVersionText(info) + " / SW: " + std::string(VQ_LibraryVersion);
}

std::string ColdfireVersionReportLine(std::string_view versionText) {
  versionText = TrimTrailingControls(versionText);
  const std::size_t user = versionText.find(kUserWord);
  if (user != std::string_view::npos) versionText = versionText.substr(0, user + kUserWord.size() + 1);
  return "7001" + std::string(versionText) + " / " + std::string(VQ_LibraryVersion);
}

std::string SimulatedVersionReportLine(std::string_view versionText) {
  return "7001" + std::string(Trim(versionText)) + " / " + std::string(VQ_LibraryVersion);
}
