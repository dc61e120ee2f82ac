#include "app/core/App_LogSetup.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "app/core/App_Settings.h"

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

std::string Trimmed(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return std::string(text);
}

}  // namespace

std::optional<uint32_t> ParseLogTypes(const std::string& list, std::string& error) {
  uint32_t types = 0;
  std::string_view rest = list;
  for (;;) {
    const std::size_t comma = rest.find(',');
    const std::string name = Lower(Trimmed(rest.substr(0, comma)));
    const auto* known = std::find_if(std::begin(kLogTypeNames), std::end(kLogTypeNames),
                                     [&](const TLogTypeName& entry) { return entry.Name == name; });
    if (known == std::end(kLogTypeNames)) {
      error = "unknown log type \"" + name + "\" (known: phase, freq, phasediff, phasediffprev, phaseres, qmt, qmtdiff)";
      return std::nullopt;
    }
    types |= 1u << known->Bit;
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
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
  int definitions = 0;
  try {
    definitions = settings.GetValue("Log_DefsCount", 0);
  } catch (const std::exception&) {
    return;
  }
  for (int d = 1; d <= definitions; ++d) {
    const std::string prefix = "Log_" + std::to_string(d) + "_";
    int parts = 0;
    try {
      parts = settings.GetValue(prefix + "Count", 0);
    } catch (const std::exception&) {
      continue;
    }
    for (int p = 1; p <= parts; ++p) {
      const std::string key = prefix + "Simple" + std::to_string(p) + "_SessionIndex";
      if (!settings.HasKey(key)) continue;
      int value = -1;
      try {
        value = settings.GetValue(key, -1);
      } catch (const std::exception&) {
        continue;
      }
      const auto it = std::find_if(oldToNew.begin(), oldToNew.end(), [&](const auto& entry) { return entry.first == value; });
      if (it != oldToNew.end()) settings.SetValue(key, it->second);
    }
  }
}
