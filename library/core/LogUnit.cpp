#include "library/core/LogUnit.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <typeinfo>
#include <utility>

#include "library/core/VQ_DllCommon.h"
#include "library/platform/VQ_File.h"

namespace {

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kStarLine = "*********************************************************\r\n";
static_assert(kStarLine.size() == 57 + 2);
// Rotation and dumps look this far for a free "name_<n>.ext".
constexpr int kMaxNameCounter = 10000;
// A block buffer larger than this is given back after a burst; a busy log's
// blocks stay below it, so its queue does not grow from nothing every period.
constexpr std::size_t kKeptBlockCapacity = 4u << 20;

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

std::tm LocalTm(int64_t wallMs, int64_t& ms) {
  ms = ((wallMs % 1000) + 1000) % 1000;
  const std::time_t seconds = static_cast<std::time_t>((wallMs - ms) / 1000);
  std::tm tm{};
  localtime_r(&seconds, &tm);
  return tm;
}

// Local time of `wallMs` laid out by `pattern`: runs of Y M D h n s z are year,
// month, day, hour, minute, second and millisecond, zero-padded to the run's
// length; other characters are copied.
std::string FormatLocalTime(int64_t wallMs, std::string_view pattern) {
  int64_t ms = 0;
  const std::tm tm = LocalTm(wallMs, ms);
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

// "hh:nn:ss.zzz" of the line prefix, without building a string: it runs for
// nearly every line.
void AppendClockTime(std::string& out, int64_t wallMs) {
  int64_t ms = 0;
  const std::tm tm = LocalTm(wallMs, ms);
  const auto digit = [](int64_t value) { return static_cast<char>('0' + value % 10); };
  const char text[12] = {digit(tm.tm_hour / 10), digit(tm.tm_hour), ':', digit(tm.tm_min / 10), digit(tm.tm_min),
                         ':', digit(tm.tm_sec / 10), digit(tm.tm_sec), '.', digit(ms / 100), digit(ms / 10),
                         digit(ms)};
  out.append(text, sizeof text);
}

void AppendHex8(std::string& out, uint32_t value) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  char text[8];
  for (int i = 7; i >= 0; --i, value >>= 4) text[i] = kDigits[value & 0x0F];
  out.append(text, sizeof text);
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

TLogger::TLogger(int id, const TVQ_Clock& clock, TLogWriter* writer) : FClock(clock), Fid(id), FWriter(writer) {
  if (FWriter != nullptr) FWriter->Add(this);
}

TLogger::~TLogger() {
  // From here on the writer no longer touches this logger.
  if (FWriter != nullptr) FWriter->Remove(this);
  try {
    Finish();
  } catch (const std::exception&) {
    // Nothing can be reported from here; the descriptor is still released below.
  }
  if (FLogFile >= 0) ::close(FLogFile);
}

void TLogger::Finish() {
  std::lock_guard lock(FLockObj);
  WriteLine({}, "TLogger.Destroy(" + std::to_string(Fid) + ")", TDrop::Never, false);
  ChangeFileName("");
}

void TLogger::LogIt(std::string_view text) {
  std::lock_guard lock(FLockObj);
  WriteLine({}, text, TDrop::WhenFull);
}

void TLogger::LogLines(std::string_view lines) {
  std::lock_guard lock(FLockObj);
  FBatchTime = WallMs(FClock.WallNow());
  // Later lines read the clock again, however this batch ends.
  struct TBatchEnd {
    std::optional<TWallMs>& time;
    ~TBatchEnd() { time.reset(); }
  } batchEnd{FBatchTime};
  for (std::size_t start = 0; start < lines.size();) {
    const std::size_t end = std::min(lines.find('\n', start), lines.size());
    WriteLine({}, lines.substr(start, end - start), TDrop::WhenFull);
    start = end + 1;
  }
}

void TLogger::LogWarn(std::string_view text) {
  std::lock_guard lock(FLockObj);
  WriteLine("WARN:  ", text, TDrop::WhenFull);
}

void TLogger::LogError(std::string_view text) {
  std::lock_guard lock(FLockObj);
  LogErrorLocked(text);
  FlushLocked();
}

void TLogger::LogErrorLocked(std::string_view text) {
  // Set before writing: this very line may start the next file, and the
  // rotation must know that the file it closes holds an error.
  if (FLogFile >= 0) FErrorOccurred = true;
  WriteLine("ERROR: ", text, TDrop::Never);
}

void TLogger::LogAppend(std::string_view text) {
  std::lock_guard lock(FLockObj);
  if (FLogFile < 0 || !MakeRoom(kPrefixLength + text.size(), TDrop::WhenFull)) return;
  const std::size_t before = FQueue.size();
  if (FNewLined) AppendPrefix(FQueue);
  FQueue += text;
  FNewLined = false;
  Queued(FQueue.size() - before);
}

void TLogger::LogNewLine() {
  std::lock_guard lock(FLockObj);
  if (FLogFile < 0 || FNewLined || !MakeRoom(kCrLf.size(), TDrop::WhenFull)) return;
  if (FNewLined) return;  // the line telling of lost lines ended it
  FQueue += kCrLf;
  FNewLined = true;
  Queued(kCrLf.size());
  CheckLimits();
}

void TLogger::LogException(std::string_view text, const std::exception& e) {
  std::lock_guard lock(FLockObj);
  LogErrorLocked(text);
  WriteLine("EXCEP: ", ExceptionClassName(e) + " " + e.what(), TDrop::Never);
  WriteLine("STACK: ", "", TDrop::Never);
  FlushLocked();
  if (FLogFile < 0 && FSaveEnabled) WriteExceptionDump();
}

void TLogger::Flush() {
  std::lock_guard lock(FLockObj);
  FlushLocked();
}

void TLogger::SetLogFileName(const std::string& name) {
  std::lock_guard lock(FLockObj);
  ChangeFileName(name);
}

void TLogger::ChangeFileName(const std::string& name) {
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

void TLogger::SetQueueLimit(std::size_t bytes) {
  std::lock_guard lock(FLockObj);
  FQueueLimit = bytes;
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

// ---- the queue -----------------------------------------------------------------

void TLogger::WriteQueued() {
  int fd = -1;
  {
    std::lock_guard lock(FLockObj);
    if (std::exchange(FBlockFailed, false)) DropFile();
    FWriterCalled = false;
    if (FQueue.empty() || FLogFile < 0) return;
    FBlock.swap(FQueue);
    fd = FLogFile;
    FWriting.store(true, std::memory_order_relaxed);
  }
  FBlockFailed = !WriteAll(fd, FBlock);
  FBlock.clear();
  if (FBlock.capacity() > kKeptBlockCapacity) std::string().swap(FBlock);
  FWriting.store(false, std::memory_order_release);
  FWriting.notify_all();
}

// Waits for the writer's block to be on disk; a failed block closes the log.
void TLogger::AwaitWriter() {
  FWriting.wait(true, std::memory_order_acquire);
  if (std::exchange(FBlockFailed, false)) DropFile();
}

// Writes the queue now. False when no file is open any more (never was, or a
// write failed).
bool TLogger::FlushLocked() {
  AwaitWriter();
  FWriterCalled = false;
  if (FLogFile < 0) return false;
  if (FQueue.empty()) return true;
  const bool written = WriteAll(FLogFile, FQueue);
  FQueue.clear();
  if (!written) DropFile();
  return written;
}

// Room for `bytes` more in the queue. A line that may be dropped is counted as
// lost when the queue is full; any other line waits for the disk instead. The
// first line with room after a loss says how many lines were lost.
bool TLogger::MakeRoom(std::size_t bytes, TDrop drop) {
  if (FQueue.size() + bytes > FQueueLimit) {
    if (drop == TDrop::WhenFull) {
      ++FLostLines;
      return false;
    }
    if (!FlushLocked()) return false;
  }
  if (FLostLines > 0) {
    const uint64_t lost = std::exchange(FLostLines, 0);
    WriteLine({}, "TLogger: " + std::to_string(lost) + " lines lost, the disk did not keep up", TDrop::Never, false);
  }
  return FLogFile >= 0;
}

// `bytes` were added to the queue: the writer takes them, or, without one
// running, they are written now.
void TLogger::Queued(std::size_t bytes) {
  FFilePos += bytes;
  FisEmpty = false;
  if (FWriter == nullptr || !FWriter->Running()) {
    FlushLocked();
  } else if (FQueue.size() >= TLogWriter::kWakeSize && !FWriterCalled) {
    FWriterCalled = true;
    FWriter->Wake();
  }
}

// ---- writing (lock held) -----------------------------------------------------

void TLogger::WriteLine(std::string_view tag, std::string_view text, TDrop drop, bool checkLimits) {
  if (FLogFile < 0) {
    if (FSaveEnabled) SaveLine(tag, text);
    return;
  }
  if (!MakeRoom(2 * kCrLf.size() + kPrefixLength + tag.size() + text.size(), drop)) return;
  const std::size_t before = FQueue.size();
  if (!FNewLined) FQueue += kCrLf;
  AppendPrefix(FQueue);
  FQueue += tag;
  FQueue += text;
  FQueue += kCrLf;
  FNewLined = true;
  Queued(FQueue.size() - before);
  if (checkLimits) CheckLimits();
}

void TLogger::AppendPrefix(std::string& out) {
  const TWallMs now = FBatchTime ? *FBatchTime : WallMs(FClock.WallNow());
  const int tid = CurrentThreadId();
  if (now == FLastTime) out.append(12, ' ');
  else AppendClockTime(out, now);
  out += ' ';
  if (tid == FLastThreadId) out.append(8, ' ');
  else AppendHex8(out, static_cast<uint32_t>(tid));
  out += ' ';
  FLastTime = now;
  FLastThreadId = tid;
}

void TLogger::SaveLine(std::string_view tag, std::string_view text) {
  if (FSavedArray.empty()) FSavedArray.resize(kSavedLimit);
  std::string& slot = FSavedArray[static_cast<std::size_t>(FSaveIndex)];
  slot.clear();
  AppendPrefix(slot);
  slot += tag;
  slot += text;
  if (++FSaveIndex == kSavedLimit) {
    FSaveIndex = 0;
    FSaveFull = true;
  }
}

void TLogger::CheckLimits() {
  if (FDontCheckSize || FLogFile < 0) return;
  const bool sizeReached = FFileLimitType != TLogLimitType::logUnlimited && FFilePos >= FFileSizeLimit;
  const bool timeDue = FErrorLog && FFileLimitType != TLogLimitType::logOverwrite && FLastTime != FTimeLimitCheckedAt;
  if (timeDue) FTimeLimitCheckedAt = FLastTime;
  const bool timeReached = timeDue && FClock.Now() - FOpenTime > kErrorLogPeriod;
  if (!sizeReached && !timeReached) return;

  struct TReentryGuard {
    bool& flag;
    explicit TReentryGuard(bool& f) : flag(f) { flag = true; }
    ~TReentryGuard() { flag = false; }
  } guard(FDontCheckSize);

  const std::string limitLine = sizeReached
                                    ? "LogSizeLimit (" + std::to_string(FFileSizeLimit) + ") reached " + NowText()
                                    : "LogTimeLimit (half an hour) reached " + NowText();
  WriteLine({}, limitLine, TDrop::Never, false);
  if (FLogFile < 0) return;

  if (FFileLimitType == TLogLimitType::logOverwrite) {
    // The queue belongs before the wrap.
    if (!FlushLocked()) return;
    if (::lseek(FLogFile, 0, SEEK_SET) != 0) {
      DropFile();
      return;
    }
    FFilePos = 0;
    // The line at the top of the file must show its time and thread.
    FLastTime = kNoTime;
    FLastThreadId = 0;
    WriteLine({}, "Log file overwritten: " + FInternLogFileName + ", " + NowText(), TDrop::Never, false);
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
  WriteLine({}, "Continue in next Log file: " + (next.empty() ? wanted : next), TDrop::Never, false);
  if (dealWithPrevious) {
    if (keepPrevious)
      WriteLine({},
                "keep Previous logfile: " + FPreviousFilename + " ErrorOccurred: actual=" + BoolText(FErrorOccurred) +
                    " Previous=" + BoolText(FPreviousErrorOccurred),
                TDrop::Never, false);
    else
      WriteLine({}, (previousDeleted ? "Previous logfile deleted: " : "Previous logfile delete failed: ") + FPreviousFilename,
                TDrop::Never, false);
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

  WriteLine({}, NowText() + " Log file opened: " + name, TDrop::Never, false);
  WriteLine({},
            "ID=" + std::to_string(Fid) + ", SizeLimit=" + std::to_string(FFileSizeLimit) +
                ", Type=" + LogLimitTypeText(FFileLimitType) + ", errorLog=" + BoolText(FErrorLog),
            TDrop::Never, false);
  for (const std::string& line : FHeaderLines) WriteLine({}, line, TDrop::Never, false);
  FisEmpty = true;
  return FLogFile >= 0;
}

// The closing lines and everything queued before them reach the file before
// it is closed.
void TLogger::CloseFile() {
  if (FLogFile < 0) return;
  const std::string closedLine = "Log file closed, " + NowText();
  if (FFileLimitType == TLogLimitType::logOverwrite) {
    // Marks where the newest lines end in a file that keeps older lines behind them.
    std::string block(kCrLf);
    block += kStarLine;
    block += kStarLine;
    AppendPrefix(block);
    block += closedLine;
    block += kCrLf;
    block += kStarLine;
    block += kStarLine;
    if (MakeRoom(block.size(), TDrop::Never)) {
      FQueue += block;
      Queued(block.size());
    }
  } else {
    WriteLine({}, closedLine, TDrop::Never, false);
  }
  FlushLocked();
  if (FLogFile >= 0) ReleaseFile();
}

// Forgets the last thread and time too, so the next line shows both. The
// writer has no block of this file in hand (AwaitWriter ran).
void TLogger::ReleaseFile() {
  ::close(FLogFile);
  FLogFile = -1;
  FQueue.clear();
  FLostLines = 0;
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

// ---- TLogWriter ---------------------------------------------------------------

TLogWriter::TLogWriter(std::chrono::milliseconds period)
    : FPeriod(period), FWake(std::make_unique<std::condition_variable>()) {}

TLogWriter::~TLogWriter() { Stop(); }

void TLogWriter::Add(TLogger* logger) {
  std::lock_guard lock(FLock);
  FLoggers.push_back(logger);
  if (FThread || FStopping) return;
  try {
    FThread = std::make_unique<std::thread>([this] { Run(); });
    FRunning.store(true, std::memory_order_relaxed);
  } catch (const std::exception&) {
    // Without a thread every line is written by its caller.
  }
}

void TLogWriter::Remove(TLogger* logger) {
  std::unique_lock lock(FLock);
  std::erase(FLoggers, logger);
  // A pass or flush in progress may still hold it.
  FIdle.wait(lock, [this] { return FBorrowers == 0; });
}

void TLogWriter::Wake() {
  if (!FWoken.exchange(true, std::memory_order_relaxed)) FWake->notify_one();
}

std::vector<TLogger*> TLogWriter::Borrow() {
  std::lock_guard lock(FLock);
  ++FBorrowers;
  return FLoggers;
}

void TLogWriter::GiveBack() {
  std::lock_guard lock(FLock);
  if (--FBorrowers == 0) FIdle.notify_all();
}

// A wake-up that comes between the test and the wait is noticed at the end of
// the period at the latest.
void TLogWriter::Run() {
  pthread_setname_np(pthread_self(), "zep-log-writer");
  std::unique_lock lock(FLock);
  while (!FStopping) {
    FWake->wait_for(lock, FPeriod, [this] { return FStopping || FWoken.load(std::memory_order_relaxed); });
    FWoken.store(false, std::memory_order_relaxed);
    ++FBorrowers;
    const std::vector<TLogger*> loggers = FLoggers;
    lock.unlock();
    for (TLogger* logger : loggers) logger->WriteQueued();
    lock.lock();
    if (--FBorrowers == 0) FIdle.notify_all();
  }
}

void TLogWriter::FlushAll() {
  struct TGiveBack {
    TLogWriter& writer;
    ~TGiveBack() { writer.GiveBack(); }
  };
  const std::vector<TLogger*> loggers = Borrow();
  const TGiveBack giveBack{*this};
  for (TLogger* logger : loggers) logger->Flush();
}

void TLogWriter::Stop() {
  std::unique_ptr<std::thread> thread;
  {
    std::lock_guard lock(FLock);
    FStopping = true;
    FRunning.store(false, std::memory_order_relaxed);
    thread = std::move(FThread);
  }
  FWake->notify_all();
  if (thread) thread->join();
  FlushAll();
}

// Forks happen between passes, so no logger is locked or half written by the
// writer in the child.
void TLogWriter::BeforeFork() {
  std::unique_lock lock(FLock);
  FIdle.wait(lock, [this] { return FBorrowers == 0; });
  lock.release();
}

void TLogWriter::AfterForkInParent() { FLock.unlock(); }

// The parent's thread does not exist in the child, and it may be registered as
// a waiter of FWake: both objects are left behind unused.
void TLogWriter::AfterForkInChild() {
  [[maybe_unused]] std::thread* parentsThread = FThread.release();
  [[maybe_unused]] std::condition_variable* parentsWake = FWake.release();
  FWake = std::make_unique<std::condition_variable>();
  FWoken.store(false, std::memory_order_relaxed);
  FRunning.store(false, std::memory_order_relaxed);
  FLock.unlock();
}

struct TLogWriterForkGuard {
  static void Prepare() { DefaultLogWriter().BeforeFork(); }
  static void Parent() { DefaultLogWriter().AfterForkInParent(); }
  static void Child() { DefaultLogWriter().AfterForkInChild(); }
};

// Never freed: a thread may still hold a logger that refers to it after the
// list of loggers has ended (the list stops it then).
TLogWriter& DefaultLogWriter() {
  static TLogWriter* const writer = [] {
    auto* made = new TLogWriter();
    pthread_atfork(&TLogWriterForkGuard::Prepare, &TLogWriterForkGuard::Parent, &TLogWriterForkGuard::Child);
    return made;
  }();
  return *writer;
}

// ---- the list of loggers -------------------------------------------------------
//
// Readers find a logger without a lock: the table is a fixed directory of
// chunks that only grows, and a slot is filled before gCount is release-stored
// to include it. NewLog and the end of the list take gListLock. The table is
// plain static data and its loggers are never freed, so a thread that still
// holds a logger when the process ends writes into a closed log, and a lookup
// after the end finds gCount at 0.

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

TLogger* Item(int id) {
  return gChunks[static_cast<std::size_t>(id / kChunkSize)]->Items[static_cast<std::size_t>(id % kChunkSize)];
}

TLogger* Lookup(int id) {
  if (id < 0 || id >= gCount.load(std::memory_order_acquire)) return nullptr;
  return Item(id);
}

// The end of the list at process end: the last line, then the writer's queues
// on disk and its thread joined, then every file closed.
class TLogList {
 public:
  // The loggers read the system clock while they close at process end: having
  // it built first makes it outlive the list.
  TLogList() {
    SystemClock();
    DefaultLogWriter();
  }
  TLogList(const TLogList&) = delete;
  TLogList& operator=(const TLogList&) = delete;
  ~TLogList() {
    LogInfo(0, "LogUnit.finalization");
    DefaultLogWriter().Stop();
    int count = 0;
    {
      std::lock_guard lock(gListLock);
      gListFinished = true;
      count = gCount.exchange(0, std::memory_order_acq_rel);
    }
    for (int id = 0; id < count; ++id) {
      try {
        Item(id)->Finish();
      } catch (const std::exception&) {
        // The next logger still gets closed.
      }
    }
  }
};

TLogList& LogList() {
  static TLogList list;
  return list;
}

// Built while static objects are initialised, so it ends after every object
// that is built later: function-local statics first used in main included.
[[maybe_unused]] const bool gLogListBuilt = (LogList(), true);

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

}  // namespace

void LogListInUse() { LogList(); }

int NewLog() {
  try {
    LogList();
    std::lock_guard lock(gListLock);
    const int id = gCount.load(std::memory_order_relaxed);
    if (gListFinished || id >= kMaxLogs) return -1;
    TLogChunk*& chunk = gChunks[static_cast<std::size_t>(id / kChunkSize)];
    if (chunk == nullptr) chunk = new TLogChunk;
    chunk->Items[static_cast<std::size_t>(id % kChunkSize)] = new TLogger(id, SystemClock(), &DefaultLogWriter());
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

void LogInfoLines(int id, std::string_view lines) {
  WithKeepingLogger(id, [&](TLogger& logger) { logger.LogLines(lines); });
}

void LogWarn(int id, std::string_view text) {
  WithKeepingLogger(id, [&](TLogger& logger) { logger.LogWarn(text); });
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

void FlushLogs() {
  try {
    DefaultLogWriter().FlushAll();
  } catch (const std::exception&) {
    // Logging never throws into its caller.
  }
}
