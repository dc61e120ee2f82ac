#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "app/core/App_Sessions.h"
#include "library/sources/MultiSource.h"

class TVQSessionItem;

// The evaluation step of a counter session: every report line the session
// polls, with the counter time in ms (-1 unknown), on the acquisition thread.
using TReportEvaluation = std::function<void(TVQSessionItem& session, const std::string& line, int64_t deviceMs)>;

// What a counter session knows about its counter and its data so far.
struct TVQSessionState {
  std::string VersionString;  // the last 7001 line without its code
  bool Demo = false;          // a simulated counter
  bool IsESP = false;         // a counter of the newer generation
  uint32_t DataHeader = 0x10000;  // last data header; 0x10000 = none yet
  int Mode = 255;             // 255 unknown
  int IntervalIndex = -1;     // -1 unknown
  int ChannelCount = 0;       // fields of the last measurement line
  int64_t LastSecond = -1;    // the last "7015; " value
  int64_t DeviceMs = -1;
  uint64_t Lines = 0;         // lines evaluated
  uint64_t Measurements = 0;
  std::string LastLine;
};

// A session bound to one counter source of the library. The acquisition
// thread polls it; the main thread opens, closes and configures it.
class TVQSessionItem : public TSessionItem {
 public:
  static constexpr uint8_t kNoUserID = 255;

  // Takes a new source number from the library.
  TVQSessionItem(int aLogId, int aIndex, TOnUpdate aOnUpdate, TOnAddMsg aOnMsg);
  ~TVQSessionItem() override;

  // The QMT-only copy of a counter session: it shows the time-interval part
  // of the same counter, shares its source (it never opens, closes or polls
  // it) and is linked to it both ways.
  static std::shared_ptr<TVQSessionItem> CopyQMTPart(const std::shared_ptr<TVQSessionItem>& original);
  std::shared_ptr<TVQSessionItem> LinkedSession() const;
  bool QMTonly() const { return FQMTonly.load(); }
  bool DeviceOpened() const override;

  // ---- TPolledSession ----------------------------------------------------------
  bool GetReport() override;
  bool IsSerialColdfire() const override;

  // ---- TSessionItem --------------------------------------------------------------
  std::string Debug(bool value) override;
  void DebugFlags(bool report, bool lowLevel) override;
  std::string OpenDevice() override;
  void CloseDevice(bool stopServer) override;
  std::string ReadSettings(TAppSettings& settings, const std::string& prefix) override;
  void SaveSettings(TAppSettings& settings, const std::string& prefix) override;

  // Sends command bytes through the library; false (with error 76 posted)
  // when the library refuses them.
  bool SendCommand(const std::string& command);
  void SetDecimalSeparator(char separator);
  void SetEvaluation(TReportEvaluation evaluation);

  int MultiId() const { return FMultiId; }
  TVQSessionState State() const;
  bool ClearBufferOnStart() const { return FClearBufferOnStart; }
  void SetClearBufferOnStart(bool value) { FClearBufferOnStart = value; }
  // Simulated counter set-up: channel count (0 = 24), mode, interval index.
  void SetDemoSetup(int channels, int mode, int rate);
  int DemoChannels() const { return FDemoChannels; }
  int DemoMode() const { return FDemoMode; }
  int DemoRate() const { return FDemoRate; }

  // The simulated counter's channel-count command for 0..23 channels (0 = all 24).
  static std::string DemoChannelCommand(int channels);

 protected:
  std::string ClassTag() const override { return "TVQSessionItem"; }

 private:
  void EvaluateLine(const std::string& line, int64_t deviceMs);
  void ReadReportTime(int64_t deviceMs);
  void ReopenAfterLoss(const std::string& line);
  void SendOpenCommands(const std::string& connection);
  void CloseDeviceLocked(bool stopServer);

  struct TCopyTag {};
  TVQSessionItem(TCopyTag, const TVQSessionItem& original);

  const int FMultiId;
  std::weak_ptr<TVQSessionItem> FLinkedSession;  // the copy, or the session a copy was made from
  std::atomic<bool> FQMTonly{false};
  std::mutex FOpenLock;  // open and close come from both threads

  // Settings of the connection.
  bool FDebugStream = false;
  bool FClearBufferOnStart = true;
  int FDemoChannels = 4;
  int FDemoMode = 0;
  int FDemoRate = 9;
  bool FDemoPDI = true;
  bool FDemoQMT = true;
  bool FRunLocalTcpServer = false;
  int FLocalTcpServerPort = 0;
  int FDataPortINI = 0;
  std::atomic<uint8_t> FUserIdINI{kNoUserID};
  bool FRef20MHz = false;
  int FRawIntervalIndex = -1;
  bool FRawAvg = false;
  bool FUseDeviceCalibration = true;
  std::atomic<char> FDecSep{','};

  // Acquisition state (acquisition thread writes, main thread reads).
  mutable std::mutex FStateLock;
  TVQSessionState FState;
  TReportEvaluation FEvaluation;
  std::atomic<bool> FReferenceClockError{false};
};
