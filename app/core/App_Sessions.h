#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/core/App_SessionList.h"

class TAppSettings;
class TSessionItem;

// Message kinds of the message callback.
enum TMsgType : int { mtError = 0, mtWarning = 1, mtInfo = 2 };

// How sessions report errors, warnings and information to the message list:
// session index, message code, kind, text, sub-code. Called on the main or
// the acquisition thread; the receiver only enqueues.
using TOnAddMsg = std::function<void(int sessionIndex, int code, TMsgType kind, const std::string& text, int subCode)>;
// The session changed (opened, closed, identity learned); may be called on
// the acquisition thread, so the receiver hands it to the main thread.
using TOnUpdate = std::function<void(TSessionItem& session)>;

// Kinds of connection the connection dialog offers.
enum TConnectionType : int {
  ctUnknown = -1,
  ctUSB = 0,
  ctSerial = 1,
  ctNetwork = 2,
  ctTCPServer = 3,
  ctFile = 4,
  ctCAN = 5,
  ctDemo = 6,
};

// Message codes the sessions post.
namespace SessionMsg {
inline constexpr int ReadingReportFailed = 21;
inline constexpr int ReadingReportFailedClosed = 22;
inline constexpr int ConnectionRunningAgain = 23;
inline constexpr int DataLoss = 31;
inline constexpr int ErrorIniFile = 61;
inline constexpr int Connection = 71;  // "Connected, Disconnected"
inline constexpr int ConnectFailed = 72;
inline constexpr int CommandDone = 75;  // "Cmd " + the command's name
inline constexpr int SendCommandFailed = 76;
}  // namespace SessionMsg

// The application's handle on one configured connection: connection string,
// colour, names, debug switches and per-session settings. The acquisition
// thread polls it (GetReport); the main thread opens, closes and configures
// it. Everything both threads touch is atomic or under the session's lock.
class TSessionItem : public TPolledSession {
 public:
  static constexpr uint32_t kDefaultColor = 0xFFFF00;
  static constexpr uint32_t kUnknownSerial = 0xFFFFFFFF;

  TSessionItem(int aLogId, int aIndex, TOnUpdate aOnUpdate, TOnAddMsg aOnMsg, bool aIsCopy = false);
  ~TSessionItem() override;
  TSessionItem(const TSessionItem&) = delete;
  TSessionItem& operator=(const TSessionItem&) = delete;

  // ---- TPolledSession --------------------------------------------------------
  std::string OpenString() const override;
  bool DeviceOpened() const override { return FDeviceOpened.load(); }
  bool GetReport() override { return false; }
  bool IsSerialColdfire() const override { return false; }
  int Index() const override { return FIndex.load(); }
  bool IsCopy() const override { return FIsCopy; }
  std::string ToString() const override;

  // ---- operations of every session kind ------------------------------------
  virtual void UpdateOptions(uint32_t what);
  virtual std::string Debug(bool value);  // an error text, empty on success
  virtual void DebugFlags(bool report, bool lowLevel);
  virtual std::string SetDebugPath(const std::string& value);
  virtual void SetOpenParams(const std::string& openString, int connectionType, uint32_t color,
                             const std::string& friendlyName);
  virtual std::string OpenDevice() { return {}; }  // an error text, empty on success
  virtual void CloseDevice(bool stopServer);
  // An error text when a value could not be read (the defaults are used).
  virtual std::string ReadSettings(TAppSettings& settings, const std::string& prefix);
  virtual void SaveSettings(TAppSettings& settings, const std::string& prefix);

  void AddError(int code, int subCode, const std::string& text);
  void AddWarning(int code, int subCode, const std::string& text);
  void AddInfo(int code, int subCode, const std::string& text);

  virtual void UpdateIndex(int aIndex);
  int SessionType() const { return FSessionType; }
  int ConnectionType() const { return FConnectionType.load(); }
  uint32_t Color() const { return FColor.load(); }
  std::string FriendlyName() const;
  std::string DebugPath() const;
  int LogId() const { return FLogId; }
  int IntervalMs() const { return FIntervalMs.load(); }
  uint32_t SerialNumber() const { return FSerialNumber.load(); }
  std::string ErrorMessage() const;
  // The session letter of channel ids: "A" for session 0.
  char Letter() const { return SessionLetter(Index()); }

 protected:
  void Log(const std::string& text) const;
  void LogErr(const std::string& text) const;
  std::string Tag() const;  // "TSessionItem[" + index + "/" + copy + "]"
  virtual std::string ClassTag() const { return "TSessionItem"; }
  void PostMessage(int code, TMsgType kind, int subCode, const std::string& text);
  // Remembers every key under `prefix` before the owned ones are read.
  void CollectForeignKeys(const TAppSettings& settings, const std::string& prefix);
  // Writes back the remembered keys that no owned key replaced.
  void WriteForeignKeys(TAppSettings& settings, const std::string& prefix) const;
  // Forgets the stored keys (names after the prefix) that `owned` claims:
  // the session now writes them itself, or drops them by not writing them.
  void ForgetForeignKeys(const std::function<bool(const std::string& name)>& owned);
  void NotifyUpdate();
  void SetErrorMessage(const std::string& text);

  const bool FIsCopy;
  std::atomic<int> FIndex;
  const int FLogId;
  std::atomic<uint32_t> FColor{kDefaultColor};
  std::atomic<int> FConnectionType{ctUnknown};
  int FSessionType = 0;
  bool FDebugLog = false;
  bool FDebugReport = true;
  bool FDebugLowLevel = true;
  std::atomic<bool> FDeviceOpened{false};
  std::atomic<int> FIntervalMs{1000};
  std::atomic<uint32_t> FSerialNumber{kUnknownSerial};
  uint32_t FSerialNumberINI = kUnknownSerial;
  bool FTcpServerRunning = false;
  uint32_t FSamplerLogTypes = 0;

  // Keys under the session's prefix that the session itself does not read
  // (the channel names of the views, the stores' settings): kept as read and
  // written back, so saving never loses them.
  std::map<std::string, std::string> FForeignKeys;

 private:
  mutable std::mutex FTextLock;  // the texts below
  std::string FOpenString;
  std::string FFriendlyName;
  std::string FDebugPath;
  std::string FErrorMessage;

  TOnUpdate FOnUpdate;
  TOnAddMsg FOnMsg;

  friend class TVQSessionItem;  // the QMT-only copy takes the base fields
};

// A stored session this program cannot open (a session kind it does not
// have, or no connection string): it keeps its slot, and its keys are kept
// exactly as read and written back under its number, so saving loses
// nothing of it. Never opened or polled.
class TKeptSessionItem : public TSessionItem {
 public:
  // `reason`: why it is not opened, for the user.
  TKeptSessionItem(int aIndex, int sessionType, std::string reason);

  std::string OpenDevice() override { return FReason; }
  // Takes every key under the prefix as it is; adds none.
  std::string ReadSettings(TAppSettings& settings, const std::string& prefix) override;
  void SaveSettings(TAppSettings& settings, const std::string& prefix) override;
  const std::string& Reason() const { return FReason; }

 protected:
  std::string ClassTag() const override { return "TKeptSessionItem"; }

 private:
  const std::string FReason;
};

// The application's sessions: numbered slots, some empty (a removed
// session). The main thread changes the slots; the acquisition thread reads
// them once per pass through TSessionSlots.
class TSessionList : public TSessionSlots {
 public:
  int SlotCount() const override;
  std::shared_ptr<TPolledSession> Slot(int index) const override;

  std::shared_ptr<TSessionItem> At(int index) const;  // null for an empty or missing slot
  // The first empty slot, else the next index.
  int FreeSlot() const;
  void Put(int index, std::shared_ptr<TSessionItem> session);
  // Empties the slot and hands the session back (its last owner may be the caller).
  std::shared_ptr<TSessionItem> Take(int index);
  // The sessions in slot order.
  std::vector<std::shared_ptr<TSessionItem>> Sessions() const;
  void Clear();

 private:
  mutable std::mutex FLock;
  std::vector<std::shared_ptr<TSessionItem>> FSlots;
};
