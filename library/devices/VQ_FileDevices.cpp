#include "library/devices/VQ_FileDevices.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "library/core/LogUnit.h"

namespace {

constexpr std::string_view kTextFileMark = "VQ_ReportData.txt";
constexpr std::string_view kRawFileMark = "VQ_RawData.bin";
// A peek can never want more than the ring holds.
constexpr uint32_t kMaxPeekLength = TCircularBuffer::kCapacity;

// Numbers the file devices of the process: 1, 2, 3, ...
std::atomic<uint32_t> gFileDevicesCreated{0};

std::string SystemMessage(int err) { return std::system_category().message(err); }

// Only a regular file has a size to replay by: anything else is named.
std::string NotARecordingFile(mode_t mode) {
  const char* what = S_ISDIR(mode)    ? "a directory"
                     : S_ISFIFO(mode) ? "a FIFO (named pipe)"
                     : S_ISSOCK(mode) ? "a socket"
                     : S_ISCHR(mode)  ? "a character device"
                     : S_ISBLK(mode)  ? "a block device"
                     : S_ISREG(mode)  ? nullptr
                                      : "an unknown kind of file";
  return what ? std::string("Not a recording file: ") + what : std::string();
}

// read() that resumes after signals; -1 only for a real error.
ssize_t ReadSome(int fd, char* dest, std::size_t len) {
  for (;;) {
    const ssize_t got = ::read(fd, dest, len);
    if (got >= 0 || errno != EINTR) return got;
  }
}

}  // namespace

// ---- creation -------------------------------------------------------------------

TVQ_FileDeviceItem::TVQ_FileDeviceItem(int aLogId, int aMultiId, TVQ_Event* aReceiveEvent, bool aDoResetEvent,
                                       const std::string& filename, const TVQ_Clock& clock)
    : TVQ_BaseDevice(aLogId, aMultiId, aReceiveEvent, aDoResetEvent, clock), FFilename(filename) {
  if (LogOn()) Log("TVQ_FileDeviceItem.Create filename=" + filename);
  // Commands are ignored at once, so the report layer queues none.
  SetHasCommandList(true);
  if (filename.find(kRawFileMark) != std::string::npos) {
    // A raw capture has no framing the report layer could cut it by.
    SetDevType(TVQ_DeviceType::VQ_RawFile);
    FCreateError = "Raw data files cannot be replayed yet: " + filename;
    SetError(TVQ_Result::VQ_DeviceNotFound, FCreateError);
    if (LogOn()) LogErr("FileDeviceItem: " + FCreateError);
    return;
  }
  SetDevType(filename.find(kTextFileMark) != std::string::npos ? TVQ_DeviceType::VQ_TxtFile
                                                              : TVQ_DeviceType::VQ_BinFile);
  OpenFile();
}

TVQ_FileDeviceItem::~TVQ_FileDeviceItem() {
  CancelWaits();
  std::lock_guard lock(FFileLock);
  if (FDataStream >= 0) ClosePortLocked();
}

bool TVQ_FileDeviceItem::IsRecordingPath(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && !S_ISCHR(info.st_mode);
}

void TVQ_FileDeviceItem::OpenFile() {
  // What the path names is looked at before it is opened: opening a FIFO
  // would wait for a writer.
  std::string reason;
  struct stat info {};
  if (::stat(FFilename.c_str(), &info) == 0) reason = NotARecordingFile(info.st_mode);
  int fd = -1;
  if (reason.empty()) {
    fd = ::open(FFilename.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 || ::fstat(fd, &info) != 0)
      reason = SystemMessage(errno);
    else
      reason = NotARecordingFile(info.st_mode);  // replaced since it was looked at
  }
  if (!reason.empty()) {
    if (fd >= 0) ::close(fd);
    FCreateError = reason;
    SetError(TVQ_Result::VQ_DeviceNotFound, reason);
    if (LogOn()) LogErr("FileDeviceItem: " + reason);
    return;
  }
  // A shared lock keeps a capture (which locks exclusively) from emptying the
  // file while it is replayed; a file under capture is still replayed.
  if (::flock(fd, LOCK_SH | LOCK_NB) != 0 && LogOn())
    Log("TVQ_FileDeviceItem.Create " + FFilename + " is being written by another program");
  {
    std::lock_guard lock(FFileLock);
    FDataStream = fd;
  }
  const uint32_t serial = gFileDevicesCreated.fetch_add(1) + 1;
  SetSerialNumberValue(serial);
  if (LogOn()) Log("TVQ_FileDeviceItem.Create SerialNumberValue=" + HexText(serial, 8));
}

bool TVQ_FileDeviceItem::LogOn() const { return LogWanted(LogId()); }

std::string TVQ_FileDeviceItem::ToString() const { return "VQ_File: Filename=" + FFilename; }

bool TVQ_FileDeviceItem::FileOpened() const {
  std::lock_guard lock(FFileLock);
  return FDataStream >= 0;
}

// ---- port -----------------------------------------------------------------------

bool TVQ_FileDeviceItem::OpenPort(std::string& errorMsg) {
  errorMsg.clear();
  std::lock_guard lock(FFileLock);
  return OpenPortLocked(errorMsg);
}

bool TVQ_FileDeviceItem::OpenPortLocked(std::string& errorMsg) {
  // An open port keeps its partial line: those bytes are no longer in the ring.
  if (PortOpenedFlag()) return true;
  FRawLine.clear();
  if (FDataStream < 0) {
    SetEOFLocked();
    errorMsg = ErrorMessage();
    return false;
  }
  if (LogOn()) Log("### Open FileDevice " + FFilename + " ###");
  ResumeWaits();  // a close cancelled them
  FEndMarked = false;
  if (!ReadFileIntoBufferLocked()) {
    if (LogOn()) LogErr("### Failed Open FileDevice " + FFilename + " ###");
    errorMsg = ErrorMessage();
    ClosePortLocked();
    return false;
  }
  QuitError();
  SetPortOpened(true);
  if (LogOn()) Log("### Opened FileDevice " + FFilename + " ###");
  return true;
}

bool TVQ_FileDeviceItem::ClosePort() {
  // A reading thread asleep in a wait must not hold the close up.
  CancelWaits();
  std::lock_guard lock(FFileLock);
  ClosePortLocked();
  return true;
}

// A closed file device delivers nothing more: what is still held is dropped.
void TVQ_FileDeviceItem::ClosePortLocked() {
  DiscardHeldDataLocked();
  if (FDataStream >= 0) {
    if (LogOn()) Log("### Close FileDevice " + FFilename + " ###");
    ::close(FDataStream);
    FDataStream = -1;
  } else {
    Log("FileDevice.ClosePort already closed");
  }
  SetPortOpened(false);
}

bool TVQ_FileDeviceItem::CheckDeviceClosed() {
  Log("FileDevice.CheckDeviceClosed");
  std::lock_guard lock(FFileLock);
  if (FDataStream < 0) return SetEOFLocked();
  if (IsText()) {
    // Line reading has already tried to refill; only the end closes it.
    if (!FEndMarked) return false;
  } else if (ReadFileIntoBufferLocked()) {
    return false;
  }
  ClosePortLocked();
  return true;
}

void TVQ_FileDeviceItem::ResetDevice() {
  std::lock_guard lock(FFileLock);
  if (FDataStream < 0) {
    Log("TVQ_FileDeviceItem.ResetDevice without a file");
    return;
  }
  Log("TVQ_FileDeviceItem.ResetDevice");
  // What is held would otherwise be replayed a second time after the rewind.
  DiscardHeldDataLocked();
  if (!RewindLocked()) return;
  SetPortOpened(false);
  std::string errorMsg;
  if (!OpenPortLocked(errorMsg) && LogOn()) LogErr("TVQ_FileDeviceItem.ResetDevice: " + errorMsg);
}

// Empties the ring by consuming, not by Clear: a Clear raises the ring's
// "buffer cleared" flag, which the reader would report as lost data.
void TVQ_FileDeviceItem::DiscardHeldDataLocked() {
  FRawLine.clear();
  FCutLine.reset();
  FSkipRestOfLine = false;
  TCircularBuffer& ring = ReceiveBuffer();
  const uint32_t held = ring.GetAmount();
  if (held == 0 || ring.ConfirmPeekedData(held)) return;
  // A confirm fails only after an earlier Clear; a read resets that state.
  if (!ring.ReadAnsiString(held).empty()) return;
  // Only a raised flag refuses both; a Clear then adds no new one.
  ring.Clear();
}

// ---- the file -------------------------------------------------------------------

bool TVQ_FileDeviceItem::AtEndOfFileLocked() const {
  struct stat info {};
  const off_t pos = ::lseek(FDataStream, 0, SEEK_CUR);
  if (pos < 0 || ::fstat(FDataStream, &info) != 0) return true;
  return pos >= info.st_size;
}

bool TVQ_FileDeviceItem::RewindLocked() {
  if (::lseek(FDataStream, 0, SEEK_SET) != 0) {
    SetSystemError("FileDevice.Rewind " + FFilename);
    return false;
  }
  FEndMarked = false;
  FLineNumber = 0;
  return true;
}

bool TVQ_FileDeviceItem::ReadFileIntoBufferLocked() {
  if (FDataStream < 0) return false;
  if (AtEndOfFileLocked()) {
    if (!LoopForEver.load()) {
      SetEOFLocked();
      Log("FileDevice.ReadFileIntoBuffer: EOF");
      return false;
    }
    Log("FileDevice.ReadFileIntoBuffer: start again at the beginning");
    if (!RewindLocked()) return false;
  }
  struct stat info {};
  const off_t pos = ::lseek(FDataStream, 0, SEEK_CUR);
  if (pos < 0 || ::fstat(FDataStream, &info) != 0) {
    SetSystemError("FileDevice.ReadFileIntoBuffer " + FFilename);
    return false;
  }
  TCircularBuffer& ring = ReceiveBuffer();
  const auto left = static_cast<uint64_t>(std::max<off_t>(info.st_size - pos, 0));
  auto todo = static_cast<uint32_t>(std::min<uint64_t>(left, ring.AvailableSpace()));
  if (LogOn()) Log("FileDevice.ReadFileIntoBuffer: " + std::to_string(todo) + " Bytes aus Datei lesen");

  std::vector<char> piece(std::min(todo, kFilePiece));
  while (todo > 0) {
    const uint32_t asked = std::min(todo, kFilePiece);
    const ssize_t got = ReadSome(FDataStream, piece.data(), asked);
    if (got < 0) {
      SetSystemError("FileDevice.ReadFileIntoBuffer.Read " + FFilename);
      return false;
    }
    if (static_cast<uint32_t>(got) != asked && LogOn())
      Log("FileDevice.ReadFileIntoBuffer.Read: soll=" + std::to_string(asked) + ", ist=" + std::to_string(got));
    if (got == 0) break;  // the file became shorter meanwhile
    if (!ring.WriteAnsiString(std::string_view(piece.data(), static_cast<std::size_t>(got)))) {
      // The refused bytes stay in the file for the next attempt.
      ::lseek(FDataStream, -got, SEEK_CUR);
      const std::string message = "FileDevice.ReadFileIntoBuffer.Write failed: anz=" + std::to_string(got) +
                                  ", Available=" + std::to_string(ring.AvailableSpace());
      SetError(TVQ_Result::VQ_Err_ReceiveBufferOverflow, message);
      if (LogOn()) LogErr(message);
      return false;
    }
    todo -= static_cast<uint32_t>(got);
  }
  return true;
}

// The end of the replay (the caller has handled looping). Always true: the
// device counts as closed.
bool TVQ_FileDeviceItem::SetEOFLocked() {
  if (FDataStream < 0) {
    if (!FCreateError.empty()) {
      SetError(TVQ_Result::VQ_DeviceNotFound, FCreateError);
      return true;
    }
    const std::string message = "File " + FFilename + " already closed";
    SetError(TVQ_Result::VQ_Err_EndOfFile, message);
    if (LogOn()) LogWarn(LogId(), "FileDevice.SetEOF: " + message);
    return true;
  }
  const std::string message = "File " + FFilename + " EOF reached";
  SetError(TVQ_Result::VQ_Err_EndOfFile, message);
  FEndMarked = true;
  if (LogOn()) Log("FileDevice.SetEOF: " + message + ", Bytes left=" + std::to_string(ReceiveBuffer().GetAmount()));
  return true;
}

// A read across a portion boundary gets its bytes at once instead of one
// empty read later. The end of the file is left to CheckDeviceClosed.
void TVQ_FileDeviceItem::TopUp(uint32_t len) {
  std::lock_guard lock(FFileLock);
  if (FDataStream < 0 || ReceiveBuffer().GetAmount() >= len) return;
  if (!LoopForEver.load() && AtEndOfFileLocked()) return;
  ReadFileIntoBufferLocked();
}

// ---- text lines -----------------------------------------------------------------

bool TVQ_FileDeviceItem::AppendMoreTextLocked() {
  TCircularBuffer& ring = ReceiveBuffer();
  uint32_t amount = ring.GetAmount();
  if (amount == 0) {
    // When looping, the end of the file also ends a last line without CR LF,
    // so it is not glued to the first line of the next pass.
    if (LoopForEver.load() && !FRawLine.empty() && FDataStream >= 0 && AtEndOfFileLocked()) return false;
    Log("FileDeviceItem.ReadRawLine GetBufferAmount=0");
    if (!ReadFileIntoBufferLocked()) {
      Log("FileDeviceItem.ReadRawLine failed: EOF");
      return false;
    }
    amount = ring.GetAmount();
  }
  const std::string text = ring.ReadAnsiString(std::min(amount, kTextPiece));
  if (text.empty()) return false;  // an empty file in a loop gives nothing
  FRawLine += text;
  return true;
}

bool TVQ_FileDeviceItem::EnsureTextLocked(std::size_t len) {
  while (FRawLine.size() < len) {
    if (!AppendMoreTextLocked()) return false;
  }
  return true;
}

// Reads on until CR LF or the end of the file, so a line is never split at a
// refill of the ring. A line above kMaxLineLength is cut: an error that names
// it comes first (an empty read), then its first kMaxLineLength characters;
// the rest of it is skipped, never held.
std::string TVQ_FileDeviceItem::ReadLineLocked() {
  if (FCutLine) return *std::exchange(FCutLine, std::nullopt);
  if (FSkipRestOfLine) SkipRestOfLineLocked();
  std::size_t searchFrom = 0;
  for (;;) {
    const std::size_t end = FRawLine.find("\r\n", searchFrom);
    if (end != std::string::npos && end <= kMaxLineLength) {
      ++FLineNumber;
      std::string line = FRawLine.substr(0, end);
      FRawLine.erase(0, end + 2);
      return line;
    }
    if (end != std::string::npos || FRawLine.size() > kMaxLineLength) {
      CutLineLocked();
      return {};
    }
    // A CR at the end may be followed by the LF still to come.
    searchFrom = FRawLine.empty() ? 0 : FRawLine.size() - 1;
    if (!AppendMoreTextLocked()) break;
  }
  if (!FRawLine.empty()) ++FLineNumber;
  return std::exchange(FRawLine, std::string());
}

void TVQ_FileDeviceItem::CutLineLocked() {
  ++FLineNumber;
  FCutLine = FRawLine.substr(0, kMaxLineLength);
  FRawLine.erase(0, kMaxLineLength);
  FSkipRestOfLine = true;
  const std::string message = "Line " + std::to_string(FLineNumber) + " of " + FFilename + " is longer than " +
                              std::to_string(kMaxLineLength) + " characters: cut after " +
                              std::to_string(kMaxLineLength);
  SetError(TVQ_Result::VQ_Err_BadFormat, message);
  if (LogOn()) LogErr("FileDeviceItem.ReadRawLine: " + message);
}

// Drops the rest of a line that was cut, up to and including its CR LF or the
// end of the file (which also ends a line when the replay loops).
void TVQ_FileDeviceItem::SkipRestOfLineLocked() {
  FSkipRestOfLine = false;
  for (;;) {
    const std::size_t end = FRawLine.find("\r\n");
    if (end != std::string::npos) {
      FRawLine.erase(0, end + 2);
      return;
    }
    // A CR at the end is kept: its LF may come next.
    FRawLine.erase(0, FRawLine.size() - (FRawLine.ends_with('\r') ? 1 : 0));
    if ((ReceiveBuffer().GetAmount() == 0 && AtEndOfFileLocked()) || !AppendMoreTextLocked()) {
      FRawLine.clear();
      return;
    }
  }
}

// ---- pacing ---------------------------------------------------------------------

void TVQ_FileDeviceItem::SetWaitMs(uint32_t value) {
  std::lock_guard lock(FPaceLock);
  FWaitMs = value;
  FLastTick = Clock().Now();
  if (LogOn()) {
    const auto tick = std::chrono::duration_cast<std::chrono::milliseconds>(FLastTick.time_since_epoch()).count();
    Log("FileDevice.SetWaitMs " + std::to_string(value) + ", LastTick=" + std::to_string(tick));
  }
}

uint32_t TVQ_FileDeviceItem::RemainingWaitMs() {
  std::lock_guard lock(FPaceLock);
  if (FWaitMs == 0) return 0;
  const int64_t elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock().Now() - FLastTick).count();
  if (elapsed >= static_cast<int64_t>(FWaitMs)) {
    FWaitMs = 0;
    return 0;
  }
  return FWaitMs - static_cast<uint32_t>(std::max<int64_t>(elapsed, 0));
}

// A blocking device sleeps here, but never longer than the read time-out at
// once: a close or shutdown must not wait for a long measurement interval.
// The rest of the wait continues on the next read.
bool TVQ_FileDeviceItem::WaitAllowsRead(const char* tag) {
  const uint32_t remaining = RemainingWaitMs();
  if (remaining == 0) return true;
  if (!BlockingIO()) {
    if (LogOn()) Log(std::string(tag) + " remaining wait [ms] " + std::to_string(remaining));
    return false;
  }
  const uint32_t slice = std::min(remaining, std::max<uint32_t>(ReadTimeoutMs(), 1));
  if (LogOn()) Log(std::string(tag) + " BlockingIO wait [ms] " + std::to_string(slice));
  if (!WaitSleep(slice)) return false;
  return RemainingWaitMs() == 0;
}

// ---- reading --------------------------------------------------------------------

std::string TVQ_FileDeviceItem::DeviceRead(uint8_t len) {
  if (len == 0) return {};
  if (!WaitAllowsRead("FileDevice.DeviceRead")) return {};
  if (!IsText()) {
    TopUp(len);
    return TVQ_BaseDevice::DeviceRead(len);
  }
  std::string line;
  {
    std::lock_guard lock(FFileLock);
    line = ReadLineLocked();
  }
  if (line.empty()) CheckDeviceClosed();
  return line;
}

bool TVQ_FileDeviceItem::DeviceWrite(std::string& data) {
  if (LogOn()) Log("FileDevice.DeviceWrite ignored " + HexDump(data));
  return true;
}

bool TVQ_FileDeviceItem::PeekChar(char& zeichen) {
  if (!WaitAllowsRead("FileDevice.PeekChar")) return false;
  if (!IsText()) {
    TopUp(1);
    return TVQ_BaseDevice::PeekChar(zeichen);
  }
  std::lock_guard lock(FFileLock);
  if (!EnsureTextLocked(1)) {
    if (LogOn())
      Log("FileDevice.PeekChar.Read: len=1, anz=0, amount=" + std::to_string(ReceiveBuffer().GetAmount()));
    return false;
  }
  zeichen = FRawLine.front();
  return true;
}

std::string TVQ_FileDeviceItem::PeekData(uint32_t len) {
  if (len == 0 || len > kMaxPeekLength) {
    if (LogOn()) Log("FileDevice.PeekData: len=" + std::to_string(len) + " refused");
    return {};
  }
  if (!WaitAllowsRead("FileDevice.PeekData")) return {};
  if (!IsText()) {
    TopUp(len);
    return TVQ_BaseDevice::PeekAnsi(len);
  }
  std::lock_guard lock(FFileLock);
  if (!EnsureTextLocked(len)) {
    if (LogOn())
      Log("FileDevice.PeekData: len=" + std::to_string(len) + ", amount=" +
          std::to_string(FRawLine.size() + ReceiveBuffer().GetAmount()));
    return {};
  }
  return FRawLine.substr(0, len);
}

std::string TVQ_FileDeviceItem::PeekAnsi(uint32_t len) { return PeekData(len); }

bool TVQ_FileDeviceItem::ConfirmPeekedData(uint32_t len) {
  if (!IsText()) return TVQ_BaseDevice::ConfirmPeekedData(len);
  if (len > kMaxPeekLength) return false;
  std::lock_guard lock(FFileLock);
  if (!EnsureTextLocked(len)) {
    if (LogOn())
      Log("FileDevice.ConfirmPeekedData: len=" + std::to_string(len) + ", amount=" +
          std::to_string(FRawLine.size() + ReceiveBuffer().GetAmount()));
    return false;
  }
  FRawLine.erase(0, len);
  return true;
}
