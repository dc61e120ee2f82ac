#include "app/core/ZEP_DebugConf.h"

#include "library/core/LogUnit.h"
#include "library/core/VQ_DllCommon.h"

namespace {

struct TFlagKey {
  std::string_view Name;
  bool Default;
};

// Index = flag number.
constexpr std::array<TFlagKey, TDebugConf::kFlagCount + 1> kFlagKeys{{
    {"", false},
    {"AllanChild", true},
    {"ChildWin", true},
    {"GraphicChild", true},
    {"InfoChild", true},
    {"Main", true},
    {"Menu", false},
    {"Messages", true},
    {"Sampler", false},
    {"Source", true},
    {"Sync", true},
    {"TextChild", true},
    {"UserInput", true},
    {"ReportThread", true},
    {"Steering", true},
    {"AllanData", true},
}};

bool ValidIndex(int index) { return index >= 1 && index <= TDebugConf::kFlagCount; }

}  // namespace

TDebugConf::TDebugConf(const std::string& iniFileName) {
  if (!iniFileName.empty()) LoadFromFile(iniFileName);
}

TDebugConf::~TDebugConf() { Info(dfMain, "ZEP_DebugConf.pas finalization"); }

void TDebugConf::GetConfig() {
  for (int index = 1; index <= kFlagCount; ++index) {
    const TFlagKey& key = kFlagKeys[static_cast<std::size_t>(index)];
    FDebugFlags[static_cast<std::size_t>(index)].store(GetValue(key.Name, key.Default), std::memory_order_release);
  }
}

void TDebugConf::UpdateConfig() {
  Clear();
  if (!Filename().empty()) LoadFromFile(Filename());
  GetConfig();
}

bool TDebugConf::DebugFlag(int index) const {
  return ValidIndex(index) && FDebugFlags[static_cast<std::size_t>(index)].load(std::memory_order_acquire);
}

std::string_view TDebugConf::FlagName(int index) {
  return ValidIndex(index) ? kFlagKeys[static_cast<std::size_t>(index)].Name : std::string_view();
}

bool TDebugConf::Wanted(int flag) const { return flag == 0 || DebugFlag(flag); }

void TDebugConf::Info(int flag, std::string_view text) const {
  if (Wanted(flag)) LogInfo(LogId(), text);
}

void TDebugConf::Warning(int flag, std::string_view text) const {
  if (Wanted(flag)) LogWarn(LogId(), text);
}

void TDebugConf::Error(int flag, std::string_view text) const {
  if (Wanted(flag)) LogError(LogId(), text);
}

void TDebugConf::Error(std::string_view text, const std::exception& e) const {
  const int id = LogId();
  if (LogWanted(id)) LogError(id, std::string(text) + " " + ExceptionText(e));
}
