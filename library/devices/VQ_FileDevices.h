#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "library/devices/VQ_BaseDevice.h"

// Replays a recorded file as if a counter were sending it. The kind follows
// the file name: "VQ_ReportData.txt" holds report lines ended by CR LF (read
// line by line), "VQ_RawData.bin" a raw capture (which has no framing to
// replay it by: creation fails), anything else a captured byte stream of a
// counter.
//
// The file is copied into the receive ring in portions as the ring is read;
// the replay can be paced (SetWaitMs), stops at the end of the file or starts
// over (LoopForEver), and every command is ignored.
//
// Threads: the device has no thread of its own. Reads come from the thread
// that reads the device; open, close and reset may come from another one.
// FFileLock covers the file and the partial line, FPaceLock the wait; a
// blocking wait sleeps without either lock, in slices no longer than the read
// time-out, and a close cancels it.
class TVQ_FileDeviceItem : public TVQ_BaseDevice {
 public:
  // Largest piece moved from the file into the ring at once.
  static constexpr uint32_t kFilePiece = 10240;
  // Line reading takes text from the ring in pieces of this size.
  static constexpr uint32_t kTextPiece = 4096;
  // A text line longer than this is cut to this size, after an error that
  // names the line.
  static constexpr std::size_t kMaxLineLength = 65536;

  // Opens the file at once. A failure leaves the device without a file
  // (FileOpened() false) and VQ_DeviceNotFound with the reason.
  TVQ_FileDeviceItem(int aLogId, int aMultiId, TVQ_Event* aReceiveEvent, bool aDoResetEvent,
                     const std::string& filename, const TVQ_Clock& clock = SystemClock());
  ~TVQ_FileDeviceItem() override;

  // The path names something to replay: a file, or what stands where one
  // was meant (a folder, a FIFO), which creation then refuses by name. A
  // character device is a port, not a recording.
  static bool IsRecordingPath(const std::string& path);

  std::string ClassName() const override { return "TVQ_FileDeviceItem"; }
  std::string ToString() const;
  const std::string& FileName() const { return FFilename; }
  // The file is open: false after a failed creation and after closing.
  bool FileOpened() const;

  bool OpenPort(std::string& errorMsg) override;
  bool ClosePort() override;
  bool CheckDeviceClosed() override;
  // A text file returns its next line (without CR LF, whatever `len`), the
  // other kinds exactly `len` bytes; nothing while a wait runs.
  std::string DeviceRead(uint8_t len) override;
  // The command is ignored; nothing is sent.
  bool DeviceWrite(std::string& data) override;
  bool ConfirmPeekedData(uint32_t len) override;
  bool PeekChar(char& zeichen) override;
  std::string PeekData(uint32_t len) override;
  std::string PeekAnsi(uint32_t len) override;
  // Starts the replay again from the beginning of the file.
  void ResetDevice() override;

  // No data before `value` ms from now have passed (0: no wait).
  void SetWaitMs(uint32_t value);
  // Start again at the beginning when the end of the file is reached.
  std::atomic<bool> LoopForEver{false};

 private:
  using TimePoint = TVQ_Clock::Monotonic::time_point;

  bool IsText() const { return DevType() == TVQ_DeviceType::VQ_TxtFile; }
  bool LogOn() const;
  void OpenFile();

  // ---- pacing (no file lock held) ----
  uint32_t RemainingWaitMs();
  // True when data may be read now. A blocking device sleeps for at most
  // the read time-out here; `tag` starts the log line.
  bool WaitAllowsRead(const char* tag);

  // Binary files: refills the ring when it holds fewer than `len` bytes.
  void TopUp(uint32_t len);

  // ---- with FFileLock held ----
  bool OpenPortLocked(std::string& errorMsg);
  void ClosePortLocked();
  bool ReadFileIntoBufferLocked();
  bool AtEndOfFileLocked() const;
  bool RewindLocked();
  bool SetEOFLocked();
  void DiscardHeldDataLocked();
  // Text files: the partial line is the front of the stream.
  bool AppendMoreTextLocked();
  bool EnsureTextLocked(std::size_t len);
  std::string ReadLineLocked();
  void CutLineLocked();
  void SkipRestOfLineLocked();

  const std::string FFilename;

  mutable std::mutex FFileLock;
  int FDataStream = -1;  // descriptor of the open file
  std::string FRawLine;  // text taken from the ring, not yet handed out
  std::size_t FLineNumber = 0;          // lines of the file handed out
  std::optional<std::string> FCutLine;  // a line cut, handed out next
  bool FSkipRestOfLine = false;         // the rest of the line cut is still to come
  bool FEndMarked = false;
  std::string FCreateError;  // why the file could not be opened

  std::mutex FPaceLock;
  TimePoint FLastTick{};
  uint32_t FWaitMs = 0;
};
