#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "app/data/App_DataManagement.h"
#include "library/core/VQ_DllCommon.h"
#include "library/sources/MultiSource.h"

// What the time-interval store shows in a text window.
enum TTextModeQMT : int { tmQMT = 0, tmQMTDiff = 1, tmQMTShortAvg = 2, tmQMTLongAvg = 3 };

// One record for the multi-sampler: ten value strings (0 values or virtual
// values, 1 differences, 9 counter time) and the calibration the line was
// corrected with, so a log header never has to ask the store for it.
struct TQMTSamplerRecord {
  static constexpr int kStringCount = 10;
  std::array<std::string, kStringCount> Strings;
  TCalibrationData Calibration;
  bool Virtual = false;  // the record of the virtual channels
};

// Hooks to the multi-sampler and the data server. They run on the acquisition
// thread with the store lock held: they only enqueue and must not call into
// the store's calibration (CalibrationValues, SetCalibrationData), which would
// take the calibration lock after the store lock.
using TQMTSamplerStrings = std::function<void(int sessId, bool sessIsCopy, const TQMTSamplerRecord& record)>;
using TQMTSamplerEvent = std::function<void(int sessId, bool sessIsCopy, int event, const std::string& text)>;
using TQMTServerLine = std::function<void(int multiId, const std::string& text, int logType)>;

// Time-interval store of one counter session: turns report 7900 lines (one
// interval in ns per QMT channel) into calibrated per-channel series, the
// differences to channel 1, virtual channels and averages, and keeps the
// QMT calibration (from the counter, in use, and calculated).
//
// Lock order: the calibration lock (FLockCalib) is always taken before the
// store lock (Lock()), never the other way round. AddQMT copies the
// calibration under FLockCalib and releases it before it takes the store
// lock; SetCalibrationData resets the store while it holds FLockCalib.
// Nothing called with the store lock held may take FLockCalib.
class TQMT_DataManagement : public TDataManagement {
 public:
  static constexpr double kInvalidValue = -9.99;  // a channel without a measurement
  static constexpr int kMaxPayload = kMaxChannels * 14;  // 24 fields of "%13.2f;"
  static constexpr int kFieldWidth = 14;
  static constexpr int kValueWidth = 15;    // field width of the value strings
  static constexpr int kAverageWidth = 26;  // field width of an average text
  static constexpr int kSamplerEventChannelCount = 10;
  static constexpr int kSamplerEventLinesLost = 5;
  static constexpr int kServerLogValues = 3;
  static constexpr int kServerLogDiff = 4;
  static constexpr int kErrorTooLong = 31;
  static constexpr int kErrorBadLine = 32;
  static constexpr int kWarningBadCalibration = 33;

  using TSeries = std::vector<double>;

  TQMT_DataManagement(int aLogID, int aSessId, bool aSessIsCopy);
  ~TQMT_DataManagement() override;

  // ---- settings --------------------------------------------------------------
  // Off at creation: while off, no value strings or server lines are made.
  bool AddLogStrings() const;
  void SetAddLogStrings(bool value);
  // Number format of value strings and of the numbers read from lines.
  TFormatSettings LogFormat() const;
  void SetLogDecimalSeparator(char separator);
  // Number format of the text modes.
  TFormatSettings WindowFormat() const;
  void SetWindowDecimalSeparator(char separator);
  void SetMultiId(int multiId);
  void SetPAVtimeString(const std::string& text);
  char SessionLetter() const;
  void SetSessionLetter(char letter);

  // ---- lines from the counter (acquisition thread) ------------------------------
  // One 7900 line. A line that does not parse is skipped whole, reported
  // through AddError and counted; the store is not touched. Returns true.
  virtual bool AddQMT(const std::string& line);
  // One 7901 line; true when the device calibration changed.
  bool AddCalibration(const std::string& line);
  // Lines skipped since creation because they did not parse.
  uint64_t SkippedLineCount() const;

  // ---- calibration ------------------------------------------------------------------
  // Installs the calibration in use; a change resets the store. True on change.
  bool SetCalibrationData(const TCalibrationData& data);
  TCalibrationData CalibrationValues() const;  // in use
  TCalibrationData DeviceCalibration() const;  // last read from the counter
  bool DeviceCalibrationSet() const;
  double GetCalibrateCalculated(int k) const;  // 0 outside 1..24
  void ResetCalibrateCalculated();

  // ---- series readers (k 1..24; empty for other k or anz <= 0) ----------------------
  virtual TSeries GetQMTDiff(bool virtualChannel, int k, int startX, int anz);
  virtual TSeries GetAvgShort(bool virtualChannel, int k, int startX, int anz);
  virtual TSeries GetAvgLong(bool virtualChannel, int k, int startX, int anz);
  // One value per channel (real or virtual) from the ring's newest entry.
  virtual TSeries GetLastQMTDiff(bool virtualChannel);
  TSeries GetLastAvgShort(bool virtualChannel);
  TSeries GetLastAvgLong(bool virtualChannel);
  // Value of virtual channel k at ring position x; NaN when a channel it
  // uses has no value there.
  double GetVirtual(TTextModeQMT mode, int k, int x) const;

  // ---- averages ----------------------------------------------------------------------
  // sums: one sum per channel (index 0 = channel 1), count: values summed.
  virtual void AddShort(std::span<const double> sums, int count);
  virtual void AddLong(std::span<const double> sums, int count);
  double AvgShortLast(int k) const;  // NaN outside 1..24 or none
  double AvgLongLast(int k) const;

  // ---- strings -----------------------------------------------------------------------
  virtual std::string GetShortAverageString();
  virtual std::string GetLongAverageString();
  virtual std::string GenerateSamplerStringQMT();
  virtual std::string GenerateSamplerDiffStringQMT();
  virtual std::string GenerateSamplerVirtualStringQMT();

  // ---- text modes --------------------------------------------------------------------
  virtual std::string GetTextModeCaption(TTextModeQMT mode) const;
  virtual bool IsTextModeEnabled(TTextModeQMT mode) const;
  std::string GetTextModeString(TTextModeQMT mode, int k) const;
  std::string GetTextModeVirtualString(TTextModeQMT mode, int k);

  // ---- lifecycle ------------------------------------------------------------------------
  void Reset() override;
  void DeviceOpened();
  void BufferCleared(uint16_t header);

  // Newest calibrated value of channel k (0 outside 1..24).
  double LastValue(int k) const;

  TQMTSamplerStrings FOnSamplerStrings;
  TQMTSamplerEvent FOnSamplerEvent;
  TQMTServerLine FOnServerLine;

 protected:
  virtual double CalibrationDifference(int k, double value);
  virtual double CorrectValue(double value);
  virtual double GetHardwareOffset();

 private:
  using TRing = std::array<double, kRingSize>;
  using TChannelRings = std::vector<TRing>;  // index 1..24

  // Reads the 14-character fields of a 7900 line; nothing (with `why`
  // and `code` set) when the line does not parse.
  std::optional<std::vector<double>> ParseFields(std::string_view line, int& code, std::string& why) const;
  void SkipLine(int code, const std::string& why);
  void StoreLine(const std::vector<double>& values, const TCalibrationData& calib);
  void HandOverStrings(const TCalibrationData& calib);
  TSeries ReadSeries(TTextModeQMT mode, bool virtualChannel, int k, int startX, int anz) const;
  TSeries ReadLast(TTextModeQMT mode, bool virtualChannel, THorizontalScale ring);
  double SeriesValue(TTextModeQMT mode, int k, int x) const;
  void AddAverages(THorizontalScale ring, std::span<const double> sums, int count);
  std::string AverageString(const std::array<std::string, kMaxChannels + 1>& texts) const;
  void SamplerEvent(int event, const std::string& text);
  std::string CalibrationText(const TCalibrationData& data) const;

  std::array<double, kMaxChannels + 1> FQMT{};
  TChannelRings FQMTValues;
  TChannelRings FAvgShort;
  TChannelRings FAvgLong;
  std::array<double, kMaxChannels + 1> FAvgShortLast{};
  std::array<double, kMaxChannels + 1> FAvgLongLast{};
  std::array<std::string, kMaxChannels + 1> FAverageShortValueString;
  std::array<std::string, kMaxChannels + 1> FAverageLongValueString;
  const double FinvalidQMTValue = kInvalidValue;
  double FHardwareOffsetNs = 0.0;

  mutable std::mutex FLockCalib;
  TCalibrationData FCalibrateFixed;  // guarded by FLockCalib

  TCalibrationData FDeviceCalibration;
  bool FDeviceCalibrationSet = false;
  TCalibrationData FCalibrate;  // index k - 1
  const bool FCalibChannel1Disabled = true;

  bool FAddLogStrings = false;
  int FMultiId = 0;
  std::string FPAVtimeString;
  int FLetzterKanal = 0;
  TFormatSettings FLogFormat;
  TFormatSettings FWindowFormat;
  char FSessionLetter = 'A';
  uint64_t FSkippedLines = 0;
};
