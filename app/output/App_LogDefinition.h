#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TAppSettings;

// ---- log types ----------------------------------------------------------------------------

// Log-type bit numbers of a definition part (bit n set = type n logged).
namespace LogType {
inline constexpr int Phase = 0;
inline constexpr int Freq = 1;
inline constexpr int PhaseDiff = 2;
inline constexpr int Raw1ms = 3;
inline constexpr int QMT = 4;
inline constexpr int QMTdiff = 5;
inline constexpr int PhaseDiffPrev = 6;
inline constexpr int ADEV = 7;
inline constexpr int AvgShort = 8;
inline constexpr int AvgLong = 9;
inline constexpr int PhaseResV = 10;
inline constexpr int FreqAbsV = 11;
inline constexpr int FreqRelV = 12;
inline constexpr int ADEVV = 13;
inline constexpr int QMTV = 14;
inline constexpr int PhaseRes = 15;
inline constexpr int PhaseDiffV = 16;
inline constexpr int PhaseDiffPrevV = 17;
inline constexpr int Count = 18;  // bits above 17 are unused

inline constexpr uint32_t CounterMask = 0x80CF;  // bits 0, 1, 2, 3, 6, 7, 15
inline constexpr uint32_t QMTMask = 0x30;        // bits 4, 5
inline constexpr uint32_t VirtualMask = 0x33C00;  // bits 10, 11, 12, 13, 16, 17
}  // namespace LogType

// Where a log type's values come from.
enum class TLogSourceKind { Counter, TimeInterval, Either, VirtualCounter, VirtualTimeInterval };

// One row of the log-type table.
struct TLogTypeInfo {
  const char* Tag;        // word of automatic file names
  const char* QMTTag;     // the tag on a time-interval source (bits 8, 9), else the same as Tag
  const char* Caption;    // check box of the dialog; empty for 8 and 9 (the dialog also hides 7 and 13)
  const char* Label;      // text of the header's type line; empty for 7 and 13
  int Width;              // column width per channel; 0 = never written
  int QMTWidth;           // the width on a time-interval source
  int Slot;               // 1..10 in the value record
  TLogSourceKind Kind;
};

// The row of bit 0..17; null for any other bit.
const TLogTypeInfo* LogTypeInfo(int bit);
// The column width of a bit on a time-interval source or another source; 0 for unknown bits.
int LogTypeWidth(int bit, bool timeIntervalSource);

// ---- string classes -----------------------------------------------------------------------

// Which value records of a session a part reads.
enum TSamplerStringClass : int { sscStandard = 0, sscAvgShort, sscAvgLong, sscVirtual, sscSpecial };
inline constexpr int kStringClassCount = 5;
// "Standard", "AvgShort", "AvgLong", "Virtual", "Special"; "Unknown" otherwise.
const char* StringClassName(TSamplerStringClass value);

// ---- one source's part of a definition ----------------------------------------------------

inline constexpr int kLogChannels = 24;
inline constexpr int kLogEnabledRows = 4;  // 1 channels, 2 legacy two-channel selection, 3 PDI cards, 4 unused
using TLogEnabledRow = std::array<bool, kLogChannels>;
using TLogEnabledArray = std::array<TLogEnabledRow, kLogEnabledRows>;

class TSimpleLogDefinition {
 public:
  TSimpleLogDefinition() = default;
  TSimpleLogDefinition(int aSource, uint32_t aTypes, bool aCopy, TSamplerStringClass aStringClass,
                       const TLogEnabledArray& enabled);

  // Keys below `prefix` ("Log_1_Simple1_"); a missing key or a malformed number
  // reads as its default, a string class outside 0..4 as sscStandard. The
  // types are "LogTypes" from settings format 4 on, else the single "LogType".
  void ReadSetting(TAppSettings& settings, const std::string& prefix);
  void SaveSettings(TAppSettings& settings, const std::string& prefix) const;

  // Bit tests outside 0..31 answer false; setting only adds the bit.
  bool GetHasLogType(int aType) const;
  void SetHasLogType(int aType);
  // Row tIndex (1..4) as 24 characters "1"/"0"; other rows give "" or are ignored.
  // Setting: "1" = on, anything else or a missing position = off.
  std::string GetLogEnabledString(int tIndex) const;
  void SetLogEnabledString(int tIndex, const std::string& value);
  // Channel (1..24) of row (1..4); false outside.
  bool IsEnabled(int row, int channel) const;
  bool RowHasAny(int row) const;
  void UpdateSessionIndex(int oldIndex, int newIndex);
  std::string ToString() const;

  int FSource = 0;
  bool FSourceCopy = false;
  uint32_t FTypes = 0;
  TSamplerStringClass FStringClass = sscStandard;
  TLogEnabledArray FEnabled{};
  double FReportFactor = 1.0;  // not saved; set by the multi-sampler
};

// ---- one log file definition --------------------------------------------------------------

// Bounds on counts read from the settings, so a damaged file cannot make us
// allocate without limit.
inline constexpr int kMaxLogDefinitions = 1000;
inline constexpr int kMaxLogParts = 1000;

class TLogDefinition {
 public:
  static constexpr int64_t k128MB = 134217728;

  // Starts with the main part (may be null: no parts yet).
  explicit TLogDefinition(std::unique_ptr<TSimpleLogDefinition> mainDefinition = nullptr);
  TLogDefinition(const TLogDefinition& other);  // deep copy of the parts
  TLogDefinition& operator=(const TLogDefinition& other);

  void AddDefinition(std::unique_ptr<TSimpleLogDefinition> part);
  void RemoveDefinition(int index);  // ignored outside range
  TSimpleLogDefinition* GetDefinition(int index) const;  // null outside range
  int Count() const { return static_cast<int>(FDefinitionList.size()); }

  // A part of (sIndex, sCopy) with (aTypes = -1 or type bit aTypes) and (cType
  // outside 1..4 or a flag in row cType).
  bool HasDefinition(int sIndex, bool sCopy, int aTypes, int cType) const;
  bool HasDefinitionMask(int sIndex, bool sCopy, uint32_t aMask) const;
  bool HasStringClass(int sIndex, bool sCopy, TSamplerStringClass aStringClass) const;
  bool HasSource(int sIndex, bool sCopy) const;
  void UpdateSessionIndex(int oldIndex, int newIndex);

  // "Log_" + d + "_" is the prefix; parts use prefix + "Simple" + s + "_".
  // Reading drops parts with a negative source index and skips part numbers
  // of which no key is stored; a damaged "Count" (or one above
  // kMaxLogParts) reads every stored part.
  void ReadSetting(TAppSettings& settings, const std::string& prefix);
  void SaveSettings(TAppSettings& settings, const std::string& prefix) const;

  // Equal definitions (parts, file name, options); the report factors are not compared.
  bool SameAs(const TLogDefinition& other) const;

  bool AddHeader() const { return FAddHeader; }
  void SetAddHeader(bool value) { FAddHeader = value; }
  bool DifferentDevices() const { return FDifferentDevices; }
  void SetDifferentDevices(bool value) { FDifferentDevices = value; }
  bool Enabled() const { return FEnabled; }
  void SetEnabled(bool value) { FEnabled = value; }
  const std::string& FileName() const { return FFileName; }
  void SetFileName(const std::string& value) { FFileName = value; }
  int64_t FileSize() const { return FFileSize; }
  void SetFileSize(int64_t value) { FFileSize = value < 0 ? 0 : value; }
  bool Option() const { return FOption; }
  void SetOption(bool value) { FOption = value; }
  bool PrependDate() const { return FPrependDate; }
  void SetPrependDate(bool value) { FPrependDate = value; }

 private:
  std::vector<std::unique_ptr<TSimpleLogDefinition>> FDefinitionList;
  std::string FFileName;
  bool FPrependDate = false;
  bool FAddHeader = true;
  bool FEnabled = true;
  int64_t FFileSize = 0;
  bool FDifferentDevices = false;
  bool FOption = false;
};

// Reads "Log_DefsCount" definitions (every stored one when the count is
// missing or damaged); writes them densely after removing every
// "Log_" key and raises the settings format version to at least 4.
std::vector<std::unique_ptr<TLogDefinition>> ReadLogDefinitions(TAppSettings& settings);
void SaveLogDefinitions(TAppSettings& settings, const std::vector<const TLogDefinition*>& definitions);

// ---- file names ---------------------------------------------------------------------------

// A configured file name split into folder (with a trailing "/"), body and
// extension (with its dot). A name without folder takes `defaultFolder`, one
// without extension ".txt".
struct TLogFileNameParts {
  std::string Path;
  std::string Body;
  std::string Extension;
};
TLogFileNameParts SplitLogFileName(const std::string& fileName, const std::string& defaultFolder);

// The first of body_date_i.ext (or date_i_body.ext with prependDate), i = 1,
// 2, ..., for which `exists` answers false. `date` is "YYMMDD". Empty when
// every candidate up to kMaxLogFileSequence exists: an existing file is never
// chosen (it would be truncated).
inline constexpr int kMaxLogFileSequence = 100000;
std::string NextLogFileName(const TLogFileNameParts& parts, const std::string& date, bool prependDate,
                            const std::function<bool(const std::string&)>& exists);

// Automatic file name of the dialog (without folder): tags + "_" + letters +
// "_" + n + ".txt". Tags of the set types in ascending bit order per part,
// parts in order (bits 8 and 9 take their time-interval tag when
// `isTimeIntervalSource` says so); one letter per distinct (source, copy)
// pair, in part order.
std::string AutomaticLogFileName(const TLogDefinition& definition, int definitionNumber,
                                 const std::function<bool(int sIndex)>& isTimeIntervalSource);

// The size choices of the dialog: "unlimited" (0), "128 MB" ... "2 GB".
struct TLogSizeChoice {
  const char* Text;
  int64_t Bytes;
};
const std::vector<TLogSizeChoice>& LogSizeChoices();
