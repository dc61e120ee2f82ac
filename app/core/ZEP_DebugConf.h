#pragma once

#include <array>
#include <atomic>
#include <exception>
#include <string>
#include <string_view>

#include "app/core/App_Settings.h"

// The debug configuration ("ZEP_DebugConf.ini"): fifteen switches that gate
// the application's debug log lines, and the number of the main debug log.
//
// The store itself is main-thread only. Info, Warning and Error may be called
// from any thread: they only read the flags and the log number (atomics) and
// hand the text to the debug log, which serialises its writers.
class TDebugConf : public TAppSettings {
 public:
  static constexpr int kFlagCount = 15;
  // Flag numbers used by the log calls.
  enum Flag : int {
    dfAllanChild = 1, dfChildWin, dfGraphicChild, dfInfoChild, dfMain, dfMenu, dfMessages, dfSampler,
    dfSource, dfSync, dfTextChild, dfUserInput, dfReportThread, dfSteering, dfAllanData
  };

  // An empty store; the file is loaded when a name is given.
  explicit TDebugConf(const std::string& iniFileName);
  // Writes "ZEP_DebugConf.pas finalization" as a "Main" info line.
  ~TDebugConf() override;

  // Reads the fifteen keys, adding missing ones with their defaults.
  void GetConfig();
  // Reloads the bound file (after the debug settings dialog changed it).
  void UpdateConfig();

  // Flag 1..15; false outside.
  bool DebugFlag(int index) const;
  static std::string_view FlagName(int index);  // the key of a flag; empty outside 1..15

  int LogId() const { return FLogId.load(std::memory_order_acquire); }
  void SetLogId(int id) { FLogId.store(id, std::memory_order_release); }

  // A line to the main debug log when `flag` is 0 or that flag is on.
  void Info(int flag, std::string_view text) const;
  void Warning(int flag, std::string_view text) const;
  void Error(int flag, std::string_view text) const;
  // An error line with the exception's class and message, whatever the flags.
  void Error(std::string_view text, const std::exception& e) const;

 private:
  bool Wanted(int flag) const;

  std::array<std::atomic<bool>, kFlagCount + 1> FDebugFlags{};  // index 0 unused
  std::atomic<int> FLogId{-1};
};
