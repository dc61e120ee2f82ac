#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/core/App_DateTime.h"
#include "app/output/App_LogDefinition.h"

class TAppSettings;

// One value record of a session: ten preformatted strings (slot 1 = index 0).
inline constexpr int kSamplerRecordStrings = 10;
using TMultiSamplerStrings = std::array<std::string, kSamplerRecordStrings>;

enum class TSamplerSessionKind { Counter, TimeInterval, Sensor };

// What a log header and the column titles need to know about a session.
struct TSamplerHeaderInfo {
  std::string FriendlyName;
  std::string OpenString;
  std::string ModeText;       // mode of the current value header
  std::string IntervalText;
  std::string ScramblerText;
  bool RawAvg = false;        // raw-data averaging mode
  std::vector<double> QMTCalibration;  // calibration in use (time-interval sessions)
  int ChannelCount = 0;       // counter channels (sensor channels on a sensor session)
  int QMTChannelCount = 0;
  int VirtualCount = 0;
  int VirtualQMTCount = 0;
  int PDICards = 0;
  // Display names of channels 1..24 (index 0 = channel 1).
  std::array<std::string, kLogChannels> Names;
  std::array<std::string, kLogChannels> QMTNames;
  std::array<std::string, kLogChannels> VirtualNames;
  std::array<std::string, kLogChannels> VirtualQMTNames;
};

// The multi-sampler's view of one session. Called with the sampler's lock
// held, from whichever thread feeds or configures the sampler; an
// implementation takes only its own short locks.
class TSamplerSource {
 public:
  virtual ~TSamplerSource() = default;
  virtual int Index() const = 0;
  virtual bool IsCopy() const = 0;
  // "A" for index 0.
  char Letter() const { return static_cast<char>('A' + Index() % 26); }
  virtual TSamplerSessionKind Kind() const = 0;
  virtual int IntervalMs() const = 0;
  virtual int64_t SerialNumber() const = 0;  // -1 unknown
  virtual TSamplerHeaderInfo HeaderInfo() const = 0;
  // The session clock that dates files: the time of the current report for a
  // counter; nothing when it has none (the sampler's clock is used then).
  virtual std::optional<TUtcMs> SessionTime() const = 0;
  // The log types some definition needs from this session (0 = none).
  virtual void SetSamplerLogTypes(uint32_t types) = 0;
};

// Application options the log files follow.
struct TSamplerOptions {
  std::string LogTimeFormat = "YYMMDD HHNNSS.ZZZ";
  bool LogTimeSourcePAV = false;
  bool LogTimeZoneSystem = false;  // true: UTC
  char DecSepLog = '.';
  std::string DefaultFolder;  // folder of a file name without one (with trailing "/")
};

// Source events (UpdateSession `what`).
namespace SamplerEvent {
inline constexpr int ChannelCount = 1;
inline constexpr int HeaderChanged = 2;
inline constexpr int MeasurementSettings = 3;
inline constexpr int DataCleared = 4;
inline constexpr int Text = 5;
inline constexpr int VirtualChanged = 6;
inline constexpr int TransmitOverflow = 7;
inline constexpr int DeviceError = 9;
inline constexpr int QMTChannels = 10;
inline constexpr int QMTCleared = 11;
inline constexpr int Closed = 12;
inline constexpr int ReferenceClock = 13;
inline constexpr int QMTCalibration = 14;
inline constexpr int FirstCreate = 15;
inline constexpr int LossOfData = 16;
inline constexpr int PVHChanged = 17;
}  // namespace SamplerEvent

// Option changes (UpdateOptions `what`).
namespace SamplerOption {
inline constexpr uint32_t TemperatureUnit = 4;
inline constexpr uint32_t DecimalSeparator = 10;
inline constexpr uint32_t TimeFormat = 8;
inline constexpr uint32_t TimeSource = 16;
inline constexpr uint32_t TimeZone = 32;
}  // namespace SamplerOption

// Writes the measurement log files: keeps the value records of every session,
// decides per log definition when a line can be written, pairs the records of
// the definition's parts into one line and opens, rotates and closes the
// files. Every public operation holds the sampler's lock; any thread may call.
//
// Public contract used by the application (the implementation may add to it):
class TMultiSampler {
 public:
  // Message codes of file openings and closings.
  static constexpr int kMsgLogOpened = 91;
  static constexpr int kMsgLogClosed = 92;

  virtual ~TMultiSampler();

  // ---- feeding (acquisition side) ----
  void AddStrings(int sIndex, bool sCopy, const TMultiSamplerStrings& reportStrings);
  void AddStringsSpecial(int sIndex, bool sCopy, const TMultiSamplerStrings& reportStrings);
  void AddStringsVirtual(int sIndex, bool sCopy, const TMultiSamplerStrings& reportStrings);
  void AddString(int sIndex, bool sCopy, const std::string& text);
  void AddStringVirtual(int sIndex, bool sCopy, const std::string& text);
  void AddStringAvgShort(int sIndex, bool sCopy, const std::string& text);
  void AddStringAvgLong(int sIndex, bool sCopy, const std::string& text);
  void AddTimeStamp(int sIndex, bool sCopy, int64_t aTimeStamp);
  void SetSessionSyncTime(int sIndex, bool sCopy, const std::string& syncTime);
  void AddWarning(int sIndex, bool sCopy, const std::string& text);
  void UpdateSession(int sIndex, bool sCopy, int what, const std::string& text);

  // ---- configuration (main thread) ----
  void ReadSettings(TAppSettings& settings);
  void SaveSettings(TAppSettings& settings) const;
  void BeginUpdate();
  void EndUpdate();
  // The definition's slot index; its folder is created when missing.
  int AddDefinition(std::unique_ptr<TLogDefinition> aLogDef);
  void ChangeDefinition(int dIndex, std::unique_ptr<TLogDefinition> aLogDef);
  void RemoveDefinition(int dIndex);
  void SetAddHeader(int dIndex, bool value);
  void SetEnabled(int dIndex, bool value);
  // A copy of the definition in slot dIndex; null for an empty or unknown slot.
  std::unique_ptr<TLogDefinition> GetDefinition(int dIndex) const;
  int DefinitionSlotCount() const;
  // The name of the file slot dIndex writes now; empty while closed.
  std::string CurrentFileName(int dIndex) const;
  bool LogFileActive() const;  // some definition enabled
  std::vector<std::string> GetDrives() const;
  void UpdateSessionList(const std::vector<std::shared_ptr<TSamplerSource>>& list);
  void RemoveSession(int sIndex);
  void CloseFilesSession(int sIndex, bool sCopy);
  void UpdateOptions(uint32_t what);
  void TransformLinComb(int sIndex, int virtLC1, int virtLC2);
  void SetOptions(const TSamplerOptions& options);
  // The wall clock for file dates and times of sessions without their own (tests inject one).
  void SetClock(std::function<TUtcMs()> clock);
  // Closes every file (program end); definitions stay.
  void CloseAll();
};
