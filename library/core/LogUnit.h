#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <fstream>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "library/core/VQ_CommonTypes.h"
#include "library/platform/VQ_Clock.h"

// Numbered debug logs. Every component holds a log number (FLogId) and writes
// lines through the by-number functions below; the user decides by
// configuration which numbers get a file. Any thread may write to any log.

using TLogHeaderLines = std::vector<std::string>;

class TLogger {
 public:
  static constexpr uint32_t kDefaultSizeLimit = 20971520;  // 20 MiB
  static constexpr int kSavedLimit = 1000;                  // lines of the in-memory ring

  explicit TLogger(int id, const TVQ_Clock& clock = SystemClock());
  ~TLogger();
  TLogger(const TLogger&) = delete;
  TLogger& operator=(const TLogger&) = delete;

  int Id() const { return Fid; }

  // Lines
  void LogIt(std::string_view text);
  void LogError(std::string_view text);
  void LogAppend(std::string_view text);
  void LogNewLine();
  // Error line, "EXCEP: ..." and "STACK: ..." lines, and the exception dump
  // when no file is open and the ring is enabled.
  void LogException(std::string_view text, const std::exception& e);

  // Cheap, lock-free: would a line written now be kept (file open or ring on)?
  bool KeepsLines() const { return FKeepsLines.load(std::memory_order_relaxed); }

  // Files and limits
  void SetLogFileName(const std::string& name);  // empty name closes
  std::string LogFileName() const;                // as configured
  std::string InternLogFileName() const;          // file actually in use
  bool GetLogEnabled() const;                     // a file is open
  void SetErrorLog(bool value);
  std::string ErrorMsg() const;
  void SetLimit(TLogLimitType type, uint32_t size);
  TLogLimitType LimitType() const;
  uint32_t SizeLimit() const;

  TLogHeaderLines HeaderLines() const;  // a copy
  void SetHeaderLines(TLogHeaderLines lines);

  void SetSaveEnabled(bool value);
  void SetSavePath(const std::string& folder);
  std::string SavePath() const;

 private:
  // see LogUnit.cpp
  struct TImpl;
  const TVQ_Clock& FClock;
  const int Fid;
  std::atomic<bool> FKeepsLines{false};
  mutable std::recursive_mutex FLockObj;
  TImpl* FImpl;
};

// ---- functions by log number -------------------------------------------------
// Each does nothing (false, empty text) for a negative or unknown number.

int NewLog();
// Lock-free test for hot paths: format a line only when this is true.
bool LogWanted(int id);
void LogInfo(int id, std::string_view text);
void LogWarn(int id, std::string_view text);
void LogError(int id, std::string_view text);
void LogException(int id, std::string_view text, const std::exception& e);
void LogAppend(int id, std::string_view text);
void LogNewLine(int id);
bool LogEnabled(int id);
std::string GetLogFileName(int id);
void SetLogFile(int id, const std::string& fileName, bool errorLog);
std::string GetLogError(int id);
TLogHeaderLines GetLogHeaderLines(int id);  // a copy; give changes back with SetLogHeaderLines
void SetLogHeaderLines(int id, TLogHeaderLines lines);
void SetLogLimit(int id, TLogLimitType type, uint32_t size);
void SetLogSaveEnabled(int id, bool enabled);
void SetLogSavePath(int id, const std::string& folder);

// The logger behind a number, or nullptr; loggers live until the process ends.
TLogger* FindLogger(int id);
