#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <limits>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "library/core/VQ_CommonTypes.h"
#include "library/platform/VQ_Clock.h"

// Numbered debug logs. Every component holds a log number (FLogId) and writes
// lines through the by-number functions below; the user decides by
// configuration which numbers get a file. Any thread may write to any log.
//
// A logger writes time-stamped lines ending in CR LF to one file, or, while no
// file is open and its ring is enabled, keeps the last 1000 lines in memory for
// an exception dump. Every line is one write() under the logger's lock, so a
// crash loses nothing that was logged and lines of different threads never mix.

using TLogHeaderLines = std::vector<std::string>;

class TLogger {
 public:
  static constexpr uint32_t kDefaultSizeLimit = 20971520;  // 20 MiB
  static constexpr int kSavedLimit = 1000;                  // lines of the in-memory ring
  static constexpr std::chrono::minutes kErrorLogPeriod{30};
  static constexpr std::size_t kPrefixLength = 22;  // "hh:nn:ss.zzz TTTTTTTT "

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
  bool KeepsLines() const { return FKeepsLines.load(std::memory_order_acquire); }

  // Files and limits
  void SetLogFileName(const std::string& name);  // empty name closes
  std::string LogFileName() const;                // as configured
  std::string InternLogFileName() const;          // file actually in use
  bool GetLogEnabled() const;                     // a file is open
  void SetErrorLog(bool value);
  std::string ErrorMsg() const;
  // Takes effect when the file is next opened (a changed limit makes the next
  // SetLogFileName reopen even with the same name).
  void SetLimit(TLogLimitType type, uint32_t size);
  TLogLimitType LimitType() const;
  uint32_t SizeLimit() const;

  TLogHeaderLines HeaderLines() const;  // a copy
  void SetHeaderLines(TLogHeaderLines lines);

  void SetSaveEnabled(bool value);
  void SetSavePath(const std::string& folder);
  std::string SavePath() const;

 private:
  using TWallMs = int64_t;  // wall-clock milliseconds since the epoch
  static constexpr TWallMs kNoTime = std::numeric_limits<TWallMs>::min();

  // All below run with FLockObj held.
  void WriteLine(std::string_view text, bool checkLimits = true);
  bool WriteRaw(std::string_view bytes);
  std::string Prefix();
  void SaveLine(std::string line);
  void CheckLimits();
  void RotateFile();
  bool OpenFile(const std::string& name);
  void CloseFile();
  void ReleaseFile();
  void DropFile();
  void SwitchOff(bool wasEmpty, const std::string& closedName);
  void WriteExceptionDump();
  std::string NextFreeName(const std::string& name) const;
  std::string StampedName() const;
  std::string NowText() const;
  void UpdateKeepsLines();

  const TVQ_Clock& FClock;
  const int Fid;
  // Set at the end of each operation that opens or closes, so a rotation never
  // shows the log as closed to the lock-free readers.
  std::atomic<bool> FKeepsLines{false};
  mutable std::recursive_mutex FLockObj;

  bool FDontCheckSize = false;  // the limit check is writing its own lines
  int FLogFile = -1;            // descriptor of the open file, -1 when closed
  uint64_t FFilePos = 0;        // where the next write lands
  std::string FLogFileName;
  std::string FInternLogFileName;
  bool FisEmpty = false;
  int FLastThreadId = 0;
  TWallMs FLastTime = kNoTime;
  bool FNewLined = true;
  TVQ_Clock::Monotonic::time_point FOpenTime{};
  bool FErrorLog = false;
  std::string FErrorMsg;
  bool FErrorOccurred = false;
  std::string FPreviousFilename;
  bool FPreviousErrorOccurred = false;
  TLogHeaderLines FHeaderLines;
  uint32_t FLogSizeLimit = 0;
  TLogLimitType FLogLimitType = TLogLimitType::logUnlimited;
  bool FLogLimitsChanged = false;
  // The limits of the open file, taken from the two above when it was opened.
  uint32_t FFileSizeLimit = 0;
  TLogLimitType FFileLimitType = TLogLimitType::logUnlimited;
  std::vector<std::string> FSavedArray;  // allocated when the ring is first used
  int FSaveIndex = 0;
  bool FSaveFull = false;
  bool FSaveEnabled = false;
  std::string FSavePath;
};

// ---- functions by log number -------------------------------------------------
// Each does nothing (false, empty text) for a negative or unknown number, and
// none of them throws.

// A new log number, or -1 once the table is full or the process is ending.
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

// The logger behind a number, or nullptr (also once the process is ending).
// Loggers live until the process ends.
TLogger* FindLogger(int id);
