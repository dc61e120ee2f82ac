#include "app/core/App_LogSetup.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <string_view>

#include "app/core/App_Settings.h"
#include "library/core/VQ_DllCommon.h"

namespace {

struct TLogTypeName {
  std::string_view Name;
  int Bit;
};

constexpr TLogTypeName kLogTypeNames[] = {
    {"phase", LogType::Phase},         {"freq", LogType::Freq},
    {"phasediff", LogType::PhaseDiff}, {"phasediffprev", LogType::PhaseDiffPrev},
    {"phaseres", LogType::PhaseRes},   {"qmt", LogType::QMT},
    {"qmtdiff", LogType::QMTdiff},
};

std::string Lower(std::string_view text) {
  std::string lower(text);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  return lower;
}

}  // namespace

std::string KnownLogTypeNames() {
  std::string names;
  for (const TLogTypeName& entry : kLogTypeNames) names += (names.empty() ? "" : ", ") + std::string(entry.Name);
  return names;
}

std::optional<uint32_t> ParseLogTypes(const std::string& list, std::string& error) {
  uint32_t types = 0;
  for (const std::string_view item : SplitText(list, ",")) {
    const std::string name = Lower(Trim(item));
    const auto* known = std::find_if(std::begin(kLogTypeNames), std::end(kLogTypeNames),
                                     [&](const TLogTypeName& entry) { return entry.Name == name; });
    if (known == std::end(kLogTypeNames)) {
      error = "unknown log type \"" + name + "\" (known: " + KnownLogTypeNames() + ")";
      return std::nullopt;
    }
    types |= 1u << known->Bit;
  }
  return types;
}

std::unique_ptr<TLogDefinition> DefaultLogDefinition(int index, bool copy, uint32_t types, const std::string& folder,
                                                     int number) {
  TLogEnabledArray enabled{};
  enabled[0].fill(true);
  auto definition = std::make_unique<TLogDefinition>(
      std::make_unique<TSimpleLogDefinition>(index, types, copy, sscStandard, enabled));
  std::string path = folder;
  if (!path.empty() && path.back() != '/') path += '/';
  definition->SetFileName(path + AutomaticLogFileName(*definition, number, [copy](int) { return copy; }));
  return definition;
}

std::string LogFileFolder(const std::string& fileName) {
  const std::size_t slash = fileName.rfind('/');
  return slash == std::string::npos ? std::string() : fileName.substr(0, slash + 1);
}

std::string LogFileBaseName(const std::string& fileName) {
  const std::size_t slash = fileName.rfind('/');
  return slash == std::string::npos ? fileName : fileName.substr(slash + 1);
}

void RenumberLogDefinitions(TAppSettings& settings, const std::vector<std::pair<int, int>>& oldToNew) {
  for (const int d : settings.RecordNumbers("Log_DefsCount", "Log_", 1, kMaxLogDefinitions)) {
    const std::string prefix = "Log_" + std::to_string(d) + "_";
    for (const int p : settings.RecordNumbers(prefix + "Count", prefix + "Simple", 1, kMaxLogParts)) {
      const std::string key = prefix + "Simple" + std::to_string(p) + "_SessionIndex";
      const std::optional<int64_t> value = settings.StoredInteger(key, -1, std::numeric_limits<int>::max());
      if (!value) continue;
      const auto it = std::find_if(oldToNew.begin(), oldToNew.end(), [&](const auto& entry) { return entry.first == *value; });
      if (it != oldToNew.end()) settings.SetValue(key, it->second);
    }
  }
}
