#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "library/core/VQ_CommonTypes.h"
#include "library/platform/VQ_Clock.h"

// Numbered debug logs. Every component holds a log number (FLogId) and writes
// lines through the by-number functions below; the user decides by
// configuration which numbers get a file. Any thread may write to any log.
//
// A logger writes time-stamped lines ending in CR LF to one file, or, while no
// file is open and its ring is enabled, keeps the last 1000 lines in memory for
// an exception dump. A line is formatted on the caller's thread, time stamp
// and thread column included, into the logger's queue; a background writer
// (TLogWriter) writes queues in large blocks. Error lines, exception lines,
// rotation and closing write the queue on the caller's thread, so they are on
// disk when the call returns. When the disk does not keep up, a queue stops
// growing at its limit: ordinary lines are then dropped and counted, and the
// file says how many were lost.

using TLogHeaderLines = std::vector<std::string>;

class TLogWriter;

class TLogger {
 public:
  static constexpr uint32_t kDefaultSizeLimit = 20971520;  // 20 MiB
  static constexpr int kSavedLimit = 1000;                  // lines of the in-memory ring
  static constexpr std::chrono::minutes kErrorLogPeriod{30};
  static constexpr std::size_t kPrefixLength = 22;  // "hh:nn:ss.zzz TTTTTTTT "
  // Queued bytes beyond which ordinary lines are dropped.
  static constexpr std::size_t kDefaultQueueLimit = 8u << 20;

  // Lines are written in the background by `writer`, which must outlive the
  // logger; without a writer every line is written at once.
  explicit TLogger(int id, const TVQ_Clock& clock = SystemClock(), TLogWriter* writer = nullptr);
  ~TLogger();
  TLogger(const TLogger&) = delete;
  TLogger& operator=(const TLogger&) = delete;

  int Id() const { return Fid; }

  // Lines. LogIt, LogWarn, LogAppend and LogNewLine are queued; LogError and
  // LogException are on disk, with everything queued before them, when they
  // return.
  void LogIt(std::string_view text);
  // Several lines, each ended or separated by '\n', queued as one: one lock
  // and one clock reading for all of them, so they share their time stamp.
  void LogLines(std::string_view lines);
  void LogWarn(std::string_view text);
  void LogError(std::string_view text);
  void LogAppend(std::string_view text);
  void LogNewLine();
  // Error line, "EXCEP: ..." and "STACK: ..." lines, and the exception dump
  // when no file is open and the ring is enabled.
  void LogException(std::string_view text, const std::exception& e);
  // Writes what is queued now, on the caller's thread.
  void Flush();

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
  void SetQueueLimit(std::size_t bytes);

  TLogHeaderLines HeaderLines() const;  // a copy
  void SetHeaderLines(TLogHeaderLines lines);

  void SetSaveEnabled(bool value);
  void SetSavePath(const std::string& folder);
  std::string SavePath() const;

  // Writes "TLogger.Destroy(<id>)" and closes the file, at the end of the
  // process (and of the object); the object stays usable for callers that
  // still hold it.
  void Finish();

 private:
  friend class TLogWriter;
  using TWallMs = int64_t;  // wall-clock milliseconds since the epoch
  static constexpr TWallMs kNoTime = std::numeric_limits<TWallMs>::min();
  enum class TDrop { Never, WhenFull };

  // Writer thread only: hands the queue over and writes it without the lock.
  void WriteQueued();

  // All below run with FLockObj held.
  void WriteLine(std::string_view tag, std::string_view text, TDrop drop, bool checkLimits = true);
  void LogErrorLocked(std::string_view text);
  bool MakeRoom(std::size_t bytes, TDrop drop);
  void Queued(std::size_t bytes);
  bool FlushLocked();
  void AwaitWriter();
  void AppendPrefix(std::string& out);
  void SaveLine(std::string_view tag, std::string_view text);
  void ChangeFileName(const std::string& name);
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
  TLogWriter* const FWriter;
  // Set at the end of each operation that opens or closes, so a rotation never
  // shows the log as closed to the lock-free readers.
  std::atomic<bool> FKeepsLines{false};
  mutable std::mutex FLockObj;

  // The queue: lines formatted but not yet written. The writer swaps it with
  // FBlock and writes FBlock outside the lock while FWriting is set; whoever
  // closes, rotates or flushes waits for that write first, so FLogFile never
  // changes under it.
  std::string FQueue;
  std::string FBlock;  // writer thread only
  std::atomic<bool> FWriting{false};
  bool FBlockFailed = false;  // written by the writer before FWriting clears
  bool FWriterCalled = false;
  std::size_t FQueueLimit = kDefaultQueueLimit;
  uint64_t FLostLines = 0;

  bool FDontCheckSize = false;  // the limit check is writing its own lines
  int FLogFile = -1;            // descriptor of the open file, -1 when closed
  uint64_t FFilePos = 0;        // where the next queued byte lands in the file
  std::string FLogFileName;
  std::string FInternLogFileName;
  bool FisEmpty = false;
  int FLastThreadId = 0;
  TWallMs FLastTime = kNoTime;
  std::optional<TWallMs> FBatchTime;  // the time of every line of LogLines
  // The prefix time at which the time limit was last checked: reading the
  // monotonic clock for every line of a busy log cost more than the line.
  TWallMs FTimeLimitCheckedAt = kNoTime;
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

// Writes the queues of its loggers in large blocks on its own thread: every
// period, and sooner when a queue grows long. Waking it costs the caller a
// system call, so a busy log is normally left to the period. Loggers write at
// once while it is stopped. Its loggers must be gone before it is.
class TLogWriter {
 public:
  static constexpr std::chrono::milliseconds kDefaultPeriod{20};
  static constexpr std::size_t kWakeSize = 2u << 20;  // a queue this long wakes the writer

  explicit TLogWriter(std::chrono::milliseconds period = kDefaultPeriod);
  ~TLogWriter();
  TLogWriter(const TLogWriter&) = delete;
  TLogWriter& operator=(const TLogWriter&) = delete;

  // Writes every queue on the caller's thread.
  void FlushAll();
  // Writes what is queued, then ends and joins the thread.
  void Stop();
  bool Running() const { return FRunning.load(std::memory_order_relaxed); }

 private:
  friend class TLogger;
  friend struct TLogWriterForkGuard;
  void Add(TLogger* logger);
  void Remove(TLogger* logger);
  void Wake();
  void Run();
  std::vector<TLogger*> Borrow();
  void GiveBack();
  // fork(): a child has no writer thread; it starts one with its next logger.
  void BeforeFork();
  void AfterForkInParent();
  void AfterForkInChild();

  const std::chrono::milliseconds FPeriod;
  std::mutex FLock;  // guards the fields below up to FThread
  std::vector<TLogger*> FLoggers;
  int FBorrowers = 0;  // passes and flushes that use a copy of FLoggers
  std::condition_variable FIdle;
  bool FStopping = false;
  std::unique_ptr<std::thread> FThread;
  // A heap object, so that a forked child can leave the parent's waiters behind.
  std::unique_ptr<std::condition_variable> FWake;
  std::atomic<bool> FWoken{false};
  std::atomic<bool> FRunning{false};
};

// The writer of every numbered log. It is built with the list of loggers and
// stopped (its queues written, its thread joined) when the list ends.
TLogWriter& DefaultLogWriter();

// ---- functions by log number -------------------------------------------------
// Each does nothing (false, empty text) for a negative or unknown number, and
// none of them throws.

// Builds the list of loggers now. An object that logs while the process ends
// calls this before it is built itself, so that the list (and its writer) is
// destroyed after it. The list is also built while static objects are
// initialised, and by NewLog.
void LogListInUse();
// A new log number, or -1 once the table is full or the process is ending.
int NewLog();
// Lock-free test for hot paths: format a line only when this is true.
bool LogWanted(int id);
void LogInfo(int id, std::string_view text);
void LogInfoLines(int id, std::string_view lines);  // see TLogger::LogLines
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
// Writes every queued line of every log now, on the caller's thread: the
// orderly stop calls it, and anything logged before is on disk afterwards.
void FlushLogs();

// The logger behind a number, or nullptr (also once the process is ending).
// Loggers live until the process ends.
TLogger* FindLogger(int id);
