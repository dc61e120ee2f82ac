#include "library/core/LogUnit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <memory>
#include <typeinfo>

#include "library/core/VQ_DllCommon.h"
#include "library/platform/VQ_File.h"

namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kStarLine = "*********************************************************\r\n";
static_assert(kStarLine.size() == 57 + 2);
// Rotation and dumps look this far for a free "name_<n>.ext".
constexpr int kMaxNameCounter = 10000;

std::string BoolText(bool value) { return value ? "True" : "False"; }

void AppendNumber(std::string& out, int64_t value, std::size_t width) {
  std::array<char, 24> digits{};
  const auto end = std::to_chars(digits.data(), digits.data() + digits.size(), value).ptr;
  const auto length = static_cast<std::size_t>(end - digits.data());
  if (length < width) out.append(width - length, '0');
  out.append(digits.data(), length);
}

int64_t WallMs(TVQ_Clock::Wall::time_point t) {
  return std::chrono::floor<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

// Local time of `wallMs` laid out by `pattern`: runs of Y M D h n s z are year,
// month, day, hour, minute, second and millisecond, zero-padded to the run's
// length; other characters are copied.
std::string FormatLocalTime(int64_t wallMs, std::string_view pattern) {
  const int64_t ms = ((wallMs % 1000) + 1000) % 1000;
  const std::time_t seconds = static_cast<std::time_t>((wallMs - ms) / 1000);
  std::tm tm{};
  localtime_r(&seconds, &tm);
  std::string out;
  for (std::size_t i = 0; i < pattern.size();) {
    const char c = pattern[i];
    std::size_t run = 1;
    while (i + run < pattern.size() && pattern[i + run] == c) ++run;
    int64_t value = 0;
    switch (c) {
      case 'Y': value = tm.tm_year + 1900; break;
      case 'M': value = tm.tm_mon + 1; break;
      case 'D': value = tm.tm_mday; break;
      case 'h': value = tm.tm_hour; break;
      case 'n': value = tm.tm_min; break;
      case 's': value = tm.tm_sec; break;
      case 'z': value = ms; break;
      default: out.append(run, c); i += run; continue;
    }
    AppendNumber(out, value, run);
    i += run;
  }
  return out;
}

int CurrentThreadId() {
  thread_local const int tid = static_cast<int>(::gettid());
  return tid;
}

bool NameTaken(const std::string& name) {
  struct stat st {};
  return ::lstat(name.c_str(), &st) == 0 || errno != ENOENT;
}

bool RemoveFile(const std::string& name) { return !name.empty() && ::unlink(name.c_str()) == 0; }

// "name.ext" becomes "name<insert>.ext"; a name without extension gets it at the end.
std::string InsertBeforeExtension(const std::string& name, std::string_view insert) {
  const std::size_t slash = name.rfind('/');
  const std::size_t dot = name.rfind('.');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  const std::size_t at = hasExtension ? dot : name.size();
  return name.substr(0, at) + std::string(insert) + name.substr(at);
}

}  // namespace

// ---- TLogger ----------------------------------------------------------------

TLogger::TLogger(int id, const TVQ_Clock& clock) : FClock(clock), Fid(id) {}

TLogger::~TLogger() {
  try {
    std::lock_guard lock(FLockObj);
    WriteLine("TLogger.Destroy(" + std::to_string(Fid) + ")", false);
    SetLogFileName("");
  } catch (const std::exception&) {
    // Nothing can be reported from here; the descriptor is still released below.
  }
  if (FLogFile >= 0) ::close(FLogFile);
}

void TLogger::LogIt(std::string_view text) {
  std::lock_guard lock(FLockObj);
  WriteLine(text);
}

void TLogger::LogError(std::string_view text) {
  std::lock_guard lock(FLockObj);
  // Set before writing: this very line may start the next file, and the
  // rotation must know that the file it closes holds an error.
  if (FLogFile >= 0) FErrorOccurred = true;
  WriteLine("ERROR: " + std::string(text));
}

void TLogger::LogAppend(std::string_view text) {
  std::lock_guard lock(FLockObj);
  if (FLogFile < 0) return;
  const std::string piece = FNewLined ? Prefix() + std::string(text) : std::string(text);
  if (WriteRaw(piece)) FNewLined = false;
}

void TLogger::LogNewLine() {
  std::lock_guard lock(FLockObj);
  if (FLogFile < 0 || FNewLined) return;
  if (!WriteRaw(kCrLf)) return;
  FNewLined = true;
  CheckLimits();
}

void TLogger::LogException(std::string_view text, const std::exception& e) {
  std::lock_guard lock(FLockObj);
  LogError(text);
  WriteLine("EXCEP: " + ExceptionClassName(e) + " " + e.what());
  WriteLine("STACK: ");
  if (FLogFile < 0 && FSaveEnabled) WriteExceptionDump();
}

void TLogger::SetLogFileName(const std::string& name) {
  std::lock_guard lock(FLockObj);
  if (name == FLogFileName && !FLogLimitsChanged) return;
  const bool wasOpen = FLogFile >= 0;
  const bool wasEmpty = FisEmpty;
  const std::string closedName = FInternLogFileName;
  CloseFile();
  FLogFileName = name;
  FInternLogFileName.clear();
  if (!name.empty()) {
    const std::string inUse = FLogLimitType == TLogLimitType::logCreateNew ? NextFreeName(StampedName()) : name;
    if (OpenFile(inUse)) FLogLimitsChanged = false;
  } else if (wasOpen) {
    SwitchOff(wasEmpty, closedName);
  }
  UpdateKeepsLines();
}

std::string TLogger::LogFileName() const {
  std::lock_guard lock(FLockObj);
  return FLogFileName;
}

std::string TLogger::InternLogFileName() const {
  std::lock_guard lock(FLockObj);
  return FInternLogFileName;
}

bool TLogger::GetLogEnabled() const {
  std::lock_guard lock(FLockObj);
  return FLogFile >= 0;
}

void TLogger::SetErrorLog(bool value) {
  std::lock_guard lock(FLockObj);
  FErrorLog = value;
}

std::string TLogger::ErrorMsg() const {
  std::lock_guard lock(FLockObj);
  return FErrorMsg;
}

void TLogger::SetLimit(TLogLimitType type, uint32_t size) {
  std::lock_guard lock(FLockObj);
  if (type == TLogLimitType::logUnlimited) size = 0;
  else if (size == 0) size = kDefaultSizeLimit;
  if (type != FLogLimitType || size != FLogSizeLimit) FLogLimitsChanged = true;
  FLogLimitType = type;
  FLogSizeLimit = size;
}

TLogLimitType TLogger::LimitType() const {
  std::lock_guard lock(FLockObj);
  return FLogLimitType;
}

uint32_t TLogger::SizeLimit() const {
  std::lock_guard lock(FLockObj);
  return FLogSizeLimit;
}

TLogHeaderLines TLogger::HeaderLines() const {
  std::lock_guard lock(FLockObj);
  return FHeaderLines;
}

void TLogger::SetHeaderLines(TLogHeaderLines lines) {
  std::lock_guard lock(FLockObj);
  FHeaderLines = std::move(lines);
}

void TLogger::SetSaveEnabled(bool value) {
  std::lock_guard lock(FLockObj);
  FSaveEnabled = value;
  UpdateKeepsLines();
}

void TLogger::SetSavePath(const std::string& folder) {
  std::string path = folder;
  while (!path.empty() && path.back() == '/') path.pop_back();
  if (!path.empty()) {
    std::error_code ignored;  // a folder that cannot be made shows as a failed dump
    std::filesystem::create_directories(path, ignored);
  }
  if (!folder.empty()) path += '/';
  std::lock_guard lock(FLockObj);
  FSavePath = path;
}

std::string TLogger::SavePath() const {
  std::lock_guard lock(FLockObj);
  return FSavePath;
}

// ---- writing (lock held) -----------------------------------------------------

void TLogger::WriteLine(std::string_view text, bool checkLimits) {
  if (FLogFile < 0) {
    if (FSaveEnabled) SaveLine(Prefix() + std::string(text));
    return;
  }
  std::string line;
  line.reserve(kPrefixLength + text.size() + 2 * kCrLf.size());
  if (!FNewLined) line = kCrLf;
  line += Prefix();
  line += text;
  line += kCrLf;
  if (!WriteRaw(line)) return;
  FNewLined = true;
  if (checkLimits) CheckLimits();
}

bool TLogger::WriteRaw(std::string_view bytes) {
  if (FLogFile < 0) return false;
  if (!WriteAll(FLogFile, bytes)) {
    DropFile();
    return false;
  }
  FFilePos += bytes.size();
  FisEmpty = false;
  return true;
}

std::string TLogger::Prefix() {
  const TWallMs now = WallMs(FClock.WallNow());
  const int tid = CurrentThreadId();
  std::string prefix = now == FLastTime ? std::string(12, ' ') : FormatLocalTime(now, "hh:nn:ss.zzz");
  prefix += ' ';
  prefix += tid == FLastThreadId ? std::string(8, ' ') : HexText(static_cast<uint32_t>(tid), 8);
  prefix += ' ';
  FLastTime = now;
  FLastThreadId = tid;
  return prefix;
}

void TLogger::SaveLine(std::string line) {
  if (FSavedArray.empty()) FSavedArray.resize(kSavedLimit);
  FSavedArray[static_cast<std::size_t>(FSaveIndex)] = std::move(line);
  if (++FSaveIndex == kSavedLimit) {
    FSaveIndex = 0;
    FSaveFull = true;
  }
}

void TLogger::CheckLimits() {
  if (FDontCheckSize || FLogFile < 0) return;
  const bool sizeReached = FFileLimitType != TLogLimitType::logUnlimited && FFilePos >= FFileSizeLimit;
  const bool timeReached = FErrorLog && FFileLimitType != TLogLimitType::logOverwrite &&
                           FClock.Now() - FOpenTime > kErrorLogPeriod;
  if (!sizeReached && !timeReached) return;

  struct TReentryGuard {
    bool& flag;
    explicit TReentryGuard(bool& f) : flag(f) { flag = true; }
    ~TReentryGuard() { flag = false; }
  } guard(FDontCheckSize);

  const std::string limitLine = sizeReached
                                    ? "LogSizeLimit (" + std::to_string(FFileSizeLimit) + ") reached " + NowText()
                                    : "LogTimeLimit (half an hour) reached " + NowText();
  WriteLine(limitLine, false);
  if (FLogFile < 0) return;

  if (FFileLimitType == TLogLimitType::logOverwrite) {
    if (::lseek(FLogFile, 0, SEEK_SET) != 0) {
      DropFile();
      return;
    }
    FFilePos = 0;
    // The line at the top of the file must show its time and thread.
    FLastTime = kNoTime;
    FLastThreadId = 0;
    WriteLine("Log file overwritten: " + FInternLogFileName + ", " + NowText(), false);
    return;
  }
  RotateFile();
}

// Continues in the next file. The next file never takes the name of a file
// that exists (the current one, a kept previous one, a file of the same second),
// so rotation never empties a file that holds lines.
void TLogger::RotateFile() {
  const std::string current = FInternLogFileName;
  const bool dealWithPrevious = FErrorLog && !FPreviousFilename.empty();
  const bool keepPrevious = FErrorOccurred || FPreviousErrorOccurred;
  // Delete first, so that the name of a deleted previous file is free again.
  const bool previousDeleted = dealWithPrevious && !keepPrevious && RemoveFile(FPreviousFilename);

  const std::string wanted = FFileLimitType == TLogLimitType::logCreateNew ? StampedName() : FLogFileName;
  const std::string next = NextFreeName(wanted);
  WriteLine("Continue in next Log file: " + (next.empty() ? wanted : next), false);
  if (dealWithPrevious) {
    if (keepPrevious)
      WriteLine("keep Previous logfile: " + FPreviousFilename + " ErrorOccurred: actual=" + BoolText(FErrorOccurred) +
                    " Previous=" + BoolText(FPreviousErrorOccurred),
                false);
    else
      WriteLine((previousDeleted ? "Previous logfile deleted: " : "Previous logfile delete failed: ") +
                    FPreviousFilename,
                false);
  }
  if (FErrorLog) {
    FPreviousFilename = current;
    FPreviousErrorOccurred = FErrorOccurred;
  }
  CloseFile();
  if (next.empty()) {
    FErrorMsg = "Logfile not created: " + wanted;
    FLogFileName.clear();
    FInternLogFileName.clear();
  } else {
    OpenFile(next);
  }
  UpdateKeepsLines();
}

bool TLogger::OpenFile(const std::string& name) {
  FErrorMsg.clear();
  // Emptied only once the lock is held: a file another writer holds stays intact.
  const int fd = OpenExclusiveEmptied(name);
  if (fd < 0) {
    FErrorMsg = "Logfile not created: " + name;
    FLogFileName.clear();
    FInternLogFileName.clear();
    return false;
  }
  FLogFile = fd;
  FFilePos = 0;
  FInternLogFileName = name;
  FErrorOccurred = false;
  FOpenTime = FClock.Now();
  FFileLimitType = FLogLimitType;
  FFileSizeLimit = FLogSizeLimit;
  FNewLined = true;

  WriteLine(NowText() + " Log file opened: " + name, false);
  WriteLine("ID=" + std::to_string(Fid) + ", SizeLimit=" + std::to_string(FFileSizeLimit) +
                ", Type=" + LogLimitTypeText(FFileLimitType) + ", errorLog=" + BoolText(FErrorLog),
            false);
  for (const std::string& line : FHeaderLines) WriteLine(line, false);
  FisEmpty = true;
  return FLogFile >= 0;
}

void TLogger::CloseFile() {
  if (FLogFile < 0) return;
  const std::string closedLine = "Log file closed, " + NowText();
  if (FFileLimitType == TLogLimitType::logOverwrite) {
    // Marks where the newest lines end in a file that keeps older lines behind them.
    std::string block(kCrLf);
    block += kStarLine;
    block += kStarLine;
    block += Prefix() + closedLine + std::string(kCrLf);
    block += kStarLine;
    block += kStarLine;
    WriteRaw(block);
  } else {
    WriteLine(closedLine, false);
  }
  if (FLogFile >= 0) ReleaseFile();
}

// Forgets the last thread and time too, so the next line shows both.
void TLogger::ReleaseFile() {
  ::close(FLogFile);
  FLogFile = -1;
  FNewLined = true;
  FLastTime = kNoTime;
  FLastThreadId = 0;
}

// After a failed write: the log is off until a file name is set again.
void TLogger::DropFile() {
  ReleaseFile();
  FLogFileName.clear();
  FInternLogFileName.clear();
  UpdateKeepsLines();
}

// The log was switched off: an error log keeps only files that hold an error,
// and a file that got nothing but its header is not worth keeping.
void TLogger::SwitchOff(bool wasEmpty, const std::string& closedName) {
  if (FErrorLog && !FPreviousErrorOccurred) RemoveFile(FPreviousFilename);
  if ((FErrorLog && !FErrorOccurred) || wasEmpty) RemoveFile(closedName);
  FPreviousFilename.clear();
  FPreviousErrorOccurred = false;
}

void TLogger::WriteExceptionDump() {
  if (FSavedArray.empty()) return;
  const std::string stamp = FormatLocalTime(WallMs(FClock.WallNow()), "YYYYMMDD_hhnnss.zzz");
  const std::string name = NextFreeName(FSavePath + "ExceptionLog_" + std::to_string(Fid) + "_" + stamp + ".txt");
  if (name.empty()) return;
  std::string text;
  const auto appendRange = [&](int from, int to) {
    for (int i = from; i < to; ++i) text += FSavedArray[static_cast<std::size_t>(i)] + std::string(kCrLf);
  };
  if (FSaveFull) appendRange(FSaveIndex, kSavedLimit);
  appendRange(0, FSaveIndex);
  const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return;
  WriteAll(fd, text);
  ::close(fd);
}

// `name` when no file of that name exists, else the first free "name_<n>.ext";
// empty when none is free.
std::string TLogger::NextFreeName(const std::string& name) const {
  if (!NameTaken(name)) return name;
  for (int n = 1; n <= kMaxNameCounter; ++n) {
    std::string candidate = InsertBeforeExtension(name, "_" + std::to_string(n));
    if (!NameTaken(candidate)) return candidate;
  }
  return {};
}

std::string TLogger::StampedName() const {
  return InsertBeforeExtension(FLogFileName, "_" + FormatLocalTime(WallMs(FClock.WallNow()), "YYYYMMDD_hhnnss"));
}

std::string TLogger::NowText() const { return FormatLocalTime(WallMs(FClock.WallNow()), "YYYY-MM-DD hh:nn:ss"); }

void TLogger::UpdateKeepsLines() { FKeepsLines.store(FLogFile >= 0 || FSaveEnabled, std::memory_order_release); }

// ---- the list of loggers -------------------------------------------------------
//
// Readers find a logger without a lock: the table is a fixed directory of
// chunks that only grows, and a slot is filled before gCount is release-stored
// to include it. NewLog and the end of the process take gListLock. The storage
// is plain static data, so a lookup during static destruction still finds
// gCount at 0 rather than freed memory.

namespace {

constexpr int kChunkSize = 256;
constexpr int kMaxChunks = 1024;
constexpr int kMaxLogs = kChunkSize * kMaxChunks;

struct TLogChunk {
  std::array<TLogger*, kChunkSize> Items{};
};

std::array<TLogChunk*, kMaxChunks> gChunks{};
std::atomic<int> gCount{0};
std::mutex gListLock;
bool gListFinished = false;  // guarded by gListLock

TLogger* Lookup(int id) {
  if (id < 0 || id >= gCount.load(std::memory_order_acquire)) return nullptr;
  return gChunks[static_cast<std::size_t>(id / kChunkSize)]->Items[static_cast<std::size_t>(id % kChunkSize)];
}

// Runs `action` on the logger behind `id`; logging never throws into its caller.
template <typename R, typename F>
R WithLogger(int id, R fallback, F&& action) {
  TLogger* logger = Lookup(id);
  if (logger == nullptr) return fallback;
  try {
    return action(*logger);
  } catch (const std::exception&) {
    return fallback;
  }
}

template <typename F>
void WithLogger(int id, F&& action) {
  WithLogger(id, true, [&](TLogger& logger) {
    action(logger);
    return true;
  });
}

// Line functions skip the lock when the line would be dropped anyway.
template <typename F>
void WithKeepingLogger(int id, F&& action) {
  WithLogger(id, [&](TLogger& logger) {
    if (logger.KeepsLines()) action(logger);
  });
}

struct TLogListFinalizer {
  // The loggers read the system clock while they close at process end: having
  // it built first makes it outlive this object.
  TLogListFinalizer() { SystemClock(); }
  TLogListFinalizer(const TLogListFinalizer&) = delete;
  TLogListFinalizer& operator=(const TLogListFinalizer&) = delete;
  ~TLogListFinalizer() {
    LogInfo(0, "LogUnit.finalization");
    std::lock_guard lock(gListLock);
    gListFinished = true;
    const int count = gCount.exchange(0, std::memory_order_acq_rel);
    for (int id = 0; id < count; ++id)
      delete gChunks[static_cast<std::size_t>(id / kChunkSize)]->Items[static_cast<std::size_t>(id % kChunkSize)];
    for (TLogChunk*& chunk : gChunks) {
      delete chunk;
      chunk = nullptr;
    }
  }
};
TLogListFinalizer gLogListFinalizer;

}  // namespace

int NewLog() {
  try {
    std::lock_guard lock(gListLock);
    const int id = gCount.load(std::memory_order_relaxed);
    if (gListFinished || id >= kMaxLogs) return -1;
    auto logger = std::make_unique<TLogger>(id);
    TLogChunk*& chunk = gChunks[static_cast<std::size_t>(id / kChunkSize)];
    if (chunk == nullptr) chunk = new TLogChunk;
    chunk->Items[static_cast<std::size_t>(id % kChunkSize)] = logger.release();
    gCount.store(id + 1, std::memory_order_release);
    return id;
  } catch (const std::exception&) {
    return -1;
  }
}

TLogger* FindLogger(int id) { return Lookup(id); }

bool LogWanted(int id) {
  const TLogger* logger = Lookup(id);
  return logger != nullptr && logger->KeepsLines();
}

void LogInfo(int id, std::string_view text) {
  WithKeepingLogger(id, [&](TLogger& logger) { logger.LogIt(text); });
}

void LogWarn(int id, std::string_view text) {
  WithKeepingLogger(id, [&](TLogger& logger) { logger.LogIt("WARN:  " + std::string(text)); });
}

void LogError(int id, std::string_view text) {
  WithKeepingLogger(id, [&](TLogger& logger) { logger.LogError(text); });
}

void LogException(int id, std::string_view text, const std::exception& e) {
  WithKeepingLogger(id, [&](TLogger& logger) { logger.LogException(text, e); });
}

void LogAppend(int id, std::string_view text) {
  WithKeepingLogger(id, [&](TLogger& logger) { logger.LogAppend(text); });
}

void LogNewLine(int id) {
  WithKeepingLogger(id, [&](TLogger& logger) { logger.LogNewLine(); });
}

bool LogEnabled(int id) {
  return WithLogger(id, false, [](TLogger& logger) { return logger.GetLogEnabled(); });
}

std::string GetLogFileName(int id) {
  return WithLogger(id, std::string(), [](TLogger& logger) { return logger.InternLogFileName(); });
}

void SetLogFile(int id, const std::string& fileName, bool errorLog) {
  WithLogger(id, [&](TLogger& logger) {
    if (!fileName.empty()) logger.SetErrorLog(errorLog);
    logger.SetLogFileName(fileName);
  });
}

std::string GetLogError(int id) {
  return WithLogger(id, std::string(), [](TLogger& logger) { return logger.ErrorMsg(); });
}

TLogHeaderLines GetLogHeaderLines(int id) {
  return WithLogger(id, TLogHeaderLines(), [](TLogger& logger) { return logger.HeaderLines(); });
}

void SetLogHeaderLines(int id, TLogHeaderLines lines) {
  WithLogger(id, [&](TLogger& logger) { logger.SetHeaderLines(std::move(lines)); });
}

void SetLogLimit(int id, TLogLimitType type, uint32_t size) {
  WithLogger(id, [&](TLogger& logger) { logger.SetLimit(type, size); });
}

void SetLogSaveEnabled(int id, bool enabled) {
  WithLogger(id, [&](TLogger& logger) { logger.SetSaveEnabled(enabled); });
}

void SetLogSavePath(int id, const std::string& folder) {
  WithLogger(id, [&](TLogger& logger) { logger.SetSavePath(folder); });
}
