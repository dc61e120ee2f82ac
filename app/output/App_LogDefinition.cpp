#include "app/output/App_LogDefinition.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <string_view>
#include <utility>

#include "app/core/App_ChannelData.h"
#include "app/core/App_SessionList.h"
#include "app/core/App_Settings.h"
#include "library/core/VQ_DllCommon.h"

namespace {

// ---- log-type table -----------------------------------------------------------------------

constexpr const char* kDeltaFirst = "Phase Difference ( \xCE\x94 Chan. 1)";
constexpr const char* kDeltaPrevious = "Phase Difference ( \xCE\x94 Chan. n-1)";

using K = TLogSourceKind;
constexpr TLogTypeInfo kLogTypes[LogType::Count] = {
    {"Phase", "Phase", "Phase", "Phase [Pd]", 26, 26, 1, K::Counter},
    {"Freq", "Freq", "Frequency", "Frequency [Hz]", 22, 22, 2, K::Counter},
    {"PhaseDiff", "PhaseDiff", kDeltaFirst, "Phase Difference", 26, 26, 3, K::Counter},
    {"Raw1ms", "Raw1ms", "Raw Data 1ms", "RawData 1ms", 16, 16, 4, K::Counter},
    {"QMT", "QMT", "Time Interval", "QMT", 15, 15, 1, K::TimeInterval},
    {"QMTdiff", "QMTdiff", "Interval Difference", "QMTDiff", 15, 15, 2, K::TimeInterval},
    {"PhaseDiff", "PhaseDiff", kDeltaPrevious, "Phase Difference", 26, 26, 7, K::Counter},
    {"ADEV", "ADEV", "ADEV", "", 0, 0, 8, K::Counter},
    {"AvgShort", "QMTAvgShort", "", "Short avg", 26, 15, 1, K::Either},
    {"AvgLong", "QMTAvgLong", "", "Long avg", 26, 15, 1, K::Either},
    {"PhaseResV", "PhaseResV", "Phase Residual", "V Phase Residual [ns]", 26, 26, 1, K::VirtualCounter},
    {"FreqAbsV", "FreqAbsV", "Frequency", "V FreqAbs", 22, 22, 2, K::VirtualCounter},
    {"FreqRelV", "FreqRelV", "Relative Frequency", "V FreqRel", 22, 22, 3, K::VirtualCounter},
    {"ADEVV", "ADEVV", "ADEV", "", 0, 0, 4, K::VirtualCounter},
    {"QMTV", "QMTV", "Time Interval", "V QMT", 15, 15, 1, K::VirtualTimeInterval},
    {"PhaseRes", "PhaseRes", "Phase Residual", "Phase Residual [ns]", 26, 26, 9, K::Counter},
    {"PhaseDiffV", "PhaseDiffV", kDeltaFirst, "V Phase Difference", 26, 26, 5, K::VirtualCounter},
    {"PhaseDiffV", "PhaseDiffV", kDeltaPrevious, "V Phase Difference", 26, 26, 6, K::VirtualCounter},
};

constexpr const char* kStringClassNames[kStringClassCount] = {"Standard", "AvgShort", "AvgLong", "Virtual", "Special"};

// The settings format from which a part's types are the set "LogTypes"
// instead of the single number "LogType".
constexpr int kTypeSetFormatVersion = 4;

const char* BoolText(bool value) { return value ? "True" : "False"; }

std::string PartPrefix(const std::string& prefix, int s) { return prefix + "Simple" + std::to_string(s) + "_"; }
std::string DefinitionPrefix(int d) { return "Log_" + std::to_string(d) + "_"; }

bool ValidRow(int row) { return row >= 1 && row <= kLogEnabledRows; }

bool SameParts(const TSimpleLogDefinition& a, const TSimpleLogDefinition& b) {
  return a.FSource == b.FSource && a.FSourceCopy == b.FSourceCopy && a.FTypes == b.FTypes &&
         a.FStringClass == b.FStringClass && a.FEnabled == b.FEnabled;
}

}  // namespace

// ---- log types ----------------------------------------------------------------------------

const TLogTypeInfo* LogTypeInfo(int bit) {
  if (bit < 0 || bit >= LogType::Count) return nullptr;
  return &kLogTypes[bit];
}

int LogTypeWidth(int bit, bool timeIntervalSource) {
  const TLogTypeInfo* info = LogTypeInfo(bit);
  if (!info) return 0;
  return timeIntervalSource ? info->QMTWidth : info->Width;
}

const char* StringClassName(TSamplerStringClass value) {
  const int index = static_cast<int>(value);
  if (index < 0 || index >= kStringClassCount) return "Unknown";
  return kStringClassNames[index];
}

// ---- TSimpleLogDefinition -----------------------------------------------------------------

TSimpleLogDefinition::TSimpleLogDefinition(int aSource, uint32_t aTypes, bool aCopy, TSamplerStringClass aStringClass,
                                           const TLogEnabledArray& enabled)
    : FSource(aSource), FSourceCopy(aCopy), FTypes(aTypes), FStringClass(aStringClass), FEnabled(enabled) {}

void TSimpleLogDefinition::ReadSetting(TAppSettings& settings, const std::string& prefix) {
  // A negative index is kept as read: the definition drops such a part.
  FSource = settings.ReadInteger(prefix + "SessionIndex", 0);
  FSourceCopy = settings.GetValue(prefix + "SourceCopy", false);
  const int stringClass = settings.ReadInteger(prefix + "StringClass", 0);
  FStringClass = stringClass >= 0 && stringClass < kStringClassCount ? static_cast<TSamplerStringClass>(stringClass)
                                                                      : sscStandard;
  FTypes = 0;
  if (StoredFormatVersion(settings) >= kTypeSetFormatVersion) {
    // Older writers stored the set as a signed 32-bit number: its low 32 bits are the set.
    constexpr int64_t kLowest = std::numeric_limits<int32_t>::min();
    constexpr int64_t kHighest = std::numeric_limits<uint32_t>::max();
    FTypes = static_cast<uint32_t>(static_cast<uint64_t>(settings.ReadInt64(prefix + "LogTypes", 0, kLowest, kHighest)));
  } else {
    SetHasLogType(settings.ReadInteger(prefix + "LogType", 0));
  }
  for (int row = 1; row <= kLogEnabledRows; ++row)
    SetLogEnabledString(row, settings.GetValue(prefix + "Enabled" + std::to_string(row), std::string()));
}

void TSimpleLogDefinition::SaveSettings(TAppSettings& settings, const std::string& prefix) const {
  settings.SetValue(prefix + "SessionIndex", FSource);
  settings.SetValue(prefix + "SourceCopy", FSourceCopy);
  settings.SetValue(prefix + "StringClass", static_cast<int>(FStringClass));
  settings.SetValue(prefix + "LogTypes", std::to_string(FTypes));
  for (int row = 1; row <= kLogEnabledRows; ++row)
    settings.SetValue(prefix + "Enabled" + std::to_string(row), GetLogEnabledString(row));
  // "LogTypes" is only read back from this format on.
  settings.SetVersionFormat(kTypeSetFormatVersion);
}

bool TSimpleLogDefinition::GetHasLogType(int aType) const {
  if (aType < 0 || aType > 31) return false;
  return (FTypes >> aType & 1u) != 0;
}

void TSimpleLogDefinition::SetHasLogType(int aType) {
  if (aType < 0 || aType > 31) return;
  FTypes |= 1u << aType;
}

std::string TSimpleLogDefinition::GetLogEnabledString(int tIndex) const {
  if (!ValidRow(tIndex)) return {};
  std::string text(kLogChannels, '0');
  const TLogEnabledRow& row = FEnabled[static_cast<std::size_t>(tIndex - 1)];
  for (std::size_t i = 0; i < row.size(); ++i)
    if (row[i]) text[i] = '1';
  return text;
}

void TSimpleLogDefinition::SetLogEnabledString(int tIndex, const std::string& value) {
  if (!ValidRow(tIndex)) return;
  TLogEnabledRow& row = FEnabled[static_cast<std::size_t>(tIndex - 1)];
  for (std::size_t i = 0; i < row.size(); ++i) row[i] = i < value.size() && value[i] == '1';
}

bool TSimpleLogDefinition::IsEnabled(int row, int channel) const {
  if (!ValidRow(row) || channel < 1 || channel > kLogChannels) return false;
  return FEnabled[static_cast<std::size_t>(row - 1)][static_cast<std::size_t>(channel - 1)];
}

bool TSimpleLogDefinition::RowHasAny(int row) const {
  if (!ValidRow(row)) return false;
  const TLogEnabledRow& flags = FEnabled[static_cast<std::size_t>(row - 1)];
  return std::find(flags.begin(), flags.end(), true) != flags.end();
}

void TSimpleLogDefinition::UpdateSessionIndex(int oldIndex, int newIndex) {
  if (FSource == oldIndex) FSource = newIndex;
}

std::string TSimpleLogDefinition::ToString() const {
  char types[9];
  std::snprintf(types, sizeof types, "%08X", static_cast<unsigned>(FTypes));
  std::string text = "Session=" + std::to_string(FSource) + "/" + BoolText(FSourceCopy) +
                     " StringClass=" + StringClassName(FStringClass) + " Types=" + types +
                     " ReportFactor=" + FloatToStrGeneral(FReportFactor);
  for (int row = 1; row <= kLogEnabledRows; ++row)
    text += " Enabled[" + std::to_string(row) + "]=" + GetLogEnabledString(row);
  return text;
}

// ---- TLogDefinition -----------------------------------------------------------------------

TLogDefinition::TLogDefinition(std::unique_ptr<TSimpleLogDefinition> mainDefinition) {
  AddDefinition(std::move(mainDefinition));
}

TLogDefinition::TLogDefinition(const TLogDefinition& other)
    : FFileName(other.FFileName),
      FPrependDate(other.FPrependDate),
      FAddHeader(other.FAddHeader),
      FEnabled(other.FEnabled),
      FFileSize(other.FFileSize),
      FDifferentDevices(other.FDifferentDevices),
      FOption(other.FOption) {
  FDefinitionList.reserve(other.FDefinitionList.size());
  for (const auto& part : other.FDefinitionList) FDefinitionList.push_back(std::make_unique<TSimpleLogDefinition>(*part));
}

TLogDefinition& TLogDefinition::operator=(const TLogDefinition& other) {
  if (this != &other) {
    TLogDefinition copy(other);
    std::swap(FDefinitionList, copy.FDefinitionList);
    FFileName = std::move(copy.FFileName);
    FPrependDate = copy.FPrependDate;
    FAddHeader = copy.FAddHeader;
    FEnabled = copy.FEnabled;
    FFileSize = copy.FFileSize;
    FDifferentDevices = copy.FDifferentDevices;
    FOption = copy.FOption;
  }
  return *this;
}

void TLogDefinition::AddDefinition(std::unique_ptr<TSimpleLogDefinition> part) {
  if (part) FDefinitionList.push_back(std::move(part));
}

void TLogDefinition::RemoveDefinition(int index) {
  if (index < 0 || index >= Count()) return;
  FDefinitionList.erase(FDefinitionList.begin() + index);
}

TSimpleLogDefinition* TLogDefinition::GetDefinition(int index) const {
  if (index < 0 || index >= Count()) return nullptr;
  return FDefinitionList[static_cast<std::size_t>(index)].get();
}

bool TLogDefinition::HasDefinition(int sIndex, bool sCopy, int aTypes, int cType) const {
  return std::any_of(FDefinitionList.begin(), FDefinitionList.end(), [&](const auto& part) {
    return part->FSource == sIndex && part->FSourceCopy == sCopy && (aTypes == -1 || part->GetHasLogType(aTypes)) &&
           (!ValidRow(cType) || part->RowHasAny(cType));
  });
}

bool TLogDefinition::HasDefinitionMask(int sIndex, bool sCopy, uint32_t aMask) const {
  return std::any_of(FDefinitionList.begin(), FDefinitionList.end(), [&](const auto& part) {
    return part->FSource == sIndex && part->FSourceCopy == sCopy && (part->FTypes & aMask) != 0;
  });
}

bool TLogDefinition::HasStringClass(int sIndex, bool sCopy, TSamplerStringClass aStringClass) const {
  return std::any_of(FDefinitionList.begin(), FDefinitionList.end(), [&](const auto& part) {
    return part->FSource == sIndex && part->FSourceCopy == sCopy && part->FStringClass == aStringClass;
  });
}

bool TLogDefinition::HasSource(int sIndex, bool sCopy) const {
  return std::any_of(FDefinitionList.begin(), FDefinitionList.end(),
                     [&](const auto& part) { return part->FSource == sIndex && part->FSourceCopy == sCopy; });
}

void TLogDefinition::UpdateSessionIndex(int oldIndex, int newIndex) {
  for (auto& part : FDefinitionList) part->UpdateSessionIndex(oldIndex, newIndex);
}

void TLogDefinition::ReadSetting(TAppSettings& settings, const std::string& prefix) {
  FAddHeader = settings.GetValue(prefix + "AddHeader", true);
  FEnabled = settings.GetValue(prefix + "Enabled", true);
  FFileName = settings.GetValue(prefix + "FileName", std::string());
  FDifferentDevices = settings.GetValue(prefix + "DifferentDevices", false);
  SetFileSize(settings.ReadInt64(prefix + "FileSize", 0, std::numeric_limits<int64_t>::min(),
                                 std::numeric_limits<int64_t>::max()));
  FPrependDate = settings.GetValue(prefix + "PrependDate", false);
  FOption = settings.GetValue(prefix + "Option", false);
  FDefinitionList.clear();
  for (const int s : settings.RecordNumbers(prefix + "Count", prefix + "Simple", 1, kMaxLogParts)) {
    const std::string partPrefix = PartPrefix(prefix, s);
    auto part = std::make_unique<TSimpleLogDefinition>();
    part->ReadSetting(settings, partPrefix);
    if (part->FSource < 0) continue;  // refers to no session
    FDefinitionList.push_back(std::move(part));
  }
}

void TLogDefinition::SaveSettings(TAppSettings& settings, const std::string& prefix) const {
  settings.SetValue(prefix + "AddHeader", FAddHeader);
  settings.SetValue(prefix + "Enabled", FEnabled);
  settings.SetValue(prefix + "FileName", FFileName);
  settings.SetValue(prefix + "DifferentDevices", FDifferentDevices);
  settings.SetValue(prefix + "FileSize", std::to_string(FFileSize));
  settings.SetValue(prefix + "PrependDate", FPrependDate);
  settings.SetValue(prefix + "Option", FOption);
  settings.SetValue(prefix + "Count", Count());
  for (int s = 1; s <= Count(); ++s) FDefinitionList[static_cast<std::size_t>(s - 1)]->SaveSettings(settings, PartPrefix(prefix, s));
}

bool TLogDefinition::SameAs(const TLogDefinition& other) const {
  if (FFileName != other.FFileName || FPrependDate != other.FPrependDate || FAddHeader != other.FAddHeader ||
      FEnabled != other.FEnabled || FFileSize != other.FFileSize || FDifferentDevices != other.FDifferentDevices ||
      FOption != other.FOption || Count() != other.Count())
    return false;
  for (std::size_t i = 0; i < FDefinitionList.size(); ++i)
    if (!SameParts(*FDefinitionList[i], *other.FDefinitionList[i])) return false;
  return true;
}

// ---- all definitions ----------------------------------------------------------------------

std::vector<std::unique_ptr<TLogDefinition>> ReadLogDefinitions(TAppSettings& settings) {
  std::vector<std::unique_ptr<TLogDefinition>> definitions;
  for (const int d : settings.RecordNumbers("Log_DefsCount", "Log_", 1, kMaxLogDefinitions)) {
    const std::string prefix = DefinitionPrefix(d);
    auto definition = std::make_unique<TLogDefinition>();
    definition->ReadSetting(settings, prefix);
    definitions.push_back(std::move(definition));
  }
  return definitions;
}

void SaveLogDefinitions(TAppSettings& settings, const std::vector<const TLogDefinition*>& definitions) {
  settings.RemoveKeys("Log_");
  int d = 0;
  for (const TLogDefinition* definition : definitions) {
    if (!definition) continue;
    definition->SaveSettings(settings, DefinitionPrefix(++d));
  }
  settings.SetValue("Log_DefsCount", d);
  settings.SetVersionFormat(kTypeSetFormatVersion);
}

// ---- file names ---------------------------------------------------------------------------

TLogFileNameParts SplitLogFileName(const std::string& fileName, const std::string& defaultFolder) {
  TLogFileNameParts parts;
  const std::size_t slash = fileName.rfind('/');
  std::string name;
  if (slash == std::string::npos) {
    parts.Path = defaultFolder;
    if (!parts.Path.empty() && parts.Path.back() != '/') parts.Path += '/';
    name = fileName;
  } else {
    parts.Path = fileName.substr(0, slash + 1);
    name = fileName.substr(slash + 1);
  }
  // A leading dot names a hidden file, not an extension; a lone trailing dot is no extension.
  const std::size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) {
    parts.Body = name.substr(0, dot);
    parts.Extension = name.substr(dot);
  } else {
    parts.Body = name;
  }
  if (parts.Extension.size() <= 1) parts.Extension = ".txt";
  return parts;
}

std::string NextLogFileName(const TLogFileNameParts& parts, const std::string& date, bool prependDate,
                            const std::function<bool(const std::string&)>& exists) {
  for (int i = 1; i <= kMaxLogFileSequence; ++i) {
    const std::string sequence = std::to_string(i);
    const std::string candidate = prependDate
                                      ? parts.Path + date + "_" + sequence + "_" + parts.Body + parts.Extension
                                      : parts.Path + parts.Body + "_" + date + "_" + sequence + parts.Extension;
    if (!exists(candidate)) return candidate;
  }
  return {};
}

std::string AutomaticLogFileName(const TLogDefinition& definition, int definitionNumber,
                                 const std::function<bool(int sIndex)>& isTimeIntervalSource) {
  std::string tags;
  std::string letters;
  std::vector<std::pair<int, bool>> sources;
  for (int p = 0; p < definition.Count(); ++p) {
    const TSimpleLogDefinition& part = *definition.GetDefinition(p);
    bool timeInterval = false;
    bool asked = false;
    for (int bit = 0; bit < LogType::Count; ++bit) {
      if (!part.GetHasLogType(bit)) continue;
      const TLogTypeInfo& info = *LogTypeInfo(bit);
      const bool dependsOnSource = bit == LogType::AvgShort || bit == LogType::AvgLong;
      if (dependsOnSource && !asked) {
        timeInterval = isTimeIntervalSource && isTimeIntervalSource(part.FSource);
        asked = true;
      }
      tags += dependsOnSource && timeInterval ? info.QMTTag : info.Tag;
    }
    // A source with counter and virtual types has two parts but is one source.
    const std::pair<int, bool> source{part.FSource, part.FSourceCopy};
    if (std::find(sources.begin(), sources.end(), source) == sources.end()) {
      sources.push_back(source);
      letters += SessionLetter(part.FSource);
    }
  }
  return tags + "_" + letters + "_" + std::to_string(definitionNumber) + ".txt";
}

const std::vector<TLogSizeChoice>& LogSizeChoices() {
  static const std::vector<TLogSizeChoice> choices = {
      {"unlimited", 0},          {"128 MB", 134217728},   {"256 MB", 268435456},
      {"512 MB", 536870912},     {"1 GB", 1073741824},    {"2 GB", 2147483648LL},
  };
  return choices;
}
