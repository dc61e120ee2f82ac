#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/core/App_DateTime.h"
#include "app/core/App_SessionList.h"
#include "app/output/App_LogDefinition.h"
#include "app/output/App_SamplerBuffer.h"
#include "app/output/App_SamplerEvents.h"
#include "app/output/App_SamplerFile.h"

class TAppSettings;

// The value record TMultiSamplerStrings (ten strings, slot 1 = index 0) and
// its buffer live in App_SamplerBuffer.h.

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
  char Letter() const { return SessionLetter(Index()); }
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


// ---- internal state, shared with the derived sampler --------------------------------------

// Column layout of one part, fixed when its file is opened so every line of
// the file has the same width.
struct TSamplerPartLayout {
  bool Present = false;  // the part's session existed when the file was opened
  TSamplerSessionKind Kind = TSamplerSessionKind::Counter;
  int Channels = 0;
  int QMTChannels = 0;
  int VirtualChannels = 0;
  int VirtualQMTChannels = 0;
  int PDICards = 0;
};

// What the header of a new file shows of one part.
struct TSamplerHeaderPart {
  const TSimpleLogDefinition* Part = nullptr;
  char Letter = 'A';
  TSamplerPartLayout Layout;
  TSamplerHeaderInfo Info;
};

// What one part contributes to a data line.
struct TSamplerLinePart {
  const TSimpleLogDefinition* Part = nullptr;
  const TSamplerPartLayout* Layout = nullptr;
  const TMultiSamplerStrings* Record = nullptr;  // null: no record for this line (dashes)
  const std::string* SyncTime = nullptr;         // the session's sync time, 12 characters
};

// The state of one definition's use of one session in one string class.
// Positions are record numbers of the session's buffer of that class.
struct TMultiProtocolItem {
  int FDefIndex = -1;
  TSamplerStringClass FStringClass = sscStandard;
  bool FValid = false;
  uint32_t FLogTypes = 0;
  double FNextDataIndex = -1;  // next record to log; fractions accumulate report factors below 1
  double FNeeded = 1;          // records of this session per line (the part's report factor)
  int64_t FTimeIndex = -1;     // first record after the latest counter time stamp
  int64_t FTimeStampCount = 0;
  int64_t FTimeStampStartValue = -1;
  bool FTimeSynchroNeeded = false;
  bool FSynchroWait = false;
  int64_t FSerialNumber = -1;
  bool FKeepLastReport = false;  // the newest record stays to be logged again
  bool FfirstLineDone = false;
  int64_t FLossFrom = -1;  // position before a re-synchronisation skipped records
  int64_t FRound = -1;     // the definition's stamp round of the latest stamp

  void ResetPosition();
};

class TMultiSamplerSession {
 public:
  TMultiSamplerSession(std::shared_ptr<TSamplerSource> source, std::size_t maxRecords, std::size_t maxBytes);

  TMultiProtocolItem* FindItem(int dIndex, TSamplerStringClass stringClass) const;
  bool HasItemOfClass(TSamplerStringClass stringClass) const;
  TSamplerRecordBuffer& Buffer(TSamplerStringClass stringClass) { return FBuffers[stringClass]; }
  const TSamplerRecordBuffer& Buffer(TSamplerStringClass stringClass) const { return FBuffers[stringClass]; }
  int Index() const { return FIndex; }
  bool IsCopy() const { return FIsCopy; }
  char Letter() const { return SessionLetter(FIndex); }

  std::shared_ptr<TSamplerSource> FSession;
  std::vector<std::unique_ptr<TMultiProtocolItem>> FProtocolList;
  std::array<TSamplerRecordBuffer, kStringClassCount> FBuffers;
  uint32_t FHasLog = 0;
  int64_t FTimeStamp = -1;
  std::string FSyncTime = std::string(12, ' ');
  std::string FDbgTag;

 private:
  int FIndex;
  bool FIsCopy;
};

class TMultiSamplerDefinition {
 public:
  TMultiSamplerDefinition(int dIndex, std::unique_ptr<TLogDefinition> logDef, char decimalSeparator);

  const TLogDefinition& LogDef() const { return *FLogDef; }
  TLogDefinition& LogDef() { return *FLogDef; }
  bool IsOpen() const { return FSamplingFile.IsOpen(); }

  std::unique_ptr<TLogDefinition> FLogDef;
  int FDefIndex;
  TSamplerLogFile FSamplingFile;
  TUtcMs FFileDate = 0;
  bool FTimeSynchroNeeded = false;
  std::string FResetText;
  char FDecimalSeparator;
  std::string FTimeString;
  // The main record of the line being written: when it was evaluated, and
  // the time that dates and rotates the file.
  TUtcMs FLineTime = 0;
  std::optional<TUtcMs> FLineDate;
  std::string FDbgTag;
  std::vector<TSamplerPartLayout> FLayout;  // of the open file, one per part
  bool FResync = false;                     // synchronised parts start again in the open file
  // Stamp rounds: a round ends when one of the synchronised parts gets its
  // second stamp in it; a first line needs every part's latest stamp in the current round.
  int64_t FRound = 0;
  uint64_t FLinesNotWritten = 0;            // since the last line that reached a file
  std::optional<TUtcMs> FWriteFailedAt;     // the last failure to create or write a file
  std::optional<TUtcMs> FSerialMissingSince;  // a synchronised part's counter has no serial number
  bool FSerialMissingShown = false;
  bool FWriteErrorShown = false;
  std::vector<std::string> FPendingComments;  // comment texts waiting for a file
};

// Data lines of all definitions since the sampler was made.
struct TLogLineCounts {
  uint64_t Written = 0;
  uint64_t Lost = 0;  // not written: no file could be created or written
};

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
  static constexpr int kMsgLogWaiting = 93;
  // A definition that pairs counters waits this long for a serial number
  // before it says why it writes nothing.
  static constexpr TUtcMs kSerialWaitMs = 10000;

  virtual ~TMultiSampler();

  // ---- feeding (acquisition side) ----
  // `time`: when the record was made (nothing: now, by the sampler's clock).
  void AddStrings(int sIndex, bool sCopy, const TMultiSamplerStrings& reportStrings, const TSamplerRecordTime& time = {});
  void AddStringsSpecial(int sIndex, bool sCopy, const TMultiSamplerStrings& reportStrings,
                         const TSamplerRecordTime& time = {});
  void AddStringsVirtual(int sIndex, bool sCopy, const TMultiSamplerStrings& reportStrings,
                         const TSamplerRecordTime& time = {});
  void AddString(int sIndex, bool sCopy, const std::string& text);
  void AddStringVirtual(int sIndex, bool sCopy, const std::string& text);
  void AddStringAvgShort(int sIndex, bool sCopy, const std::string& text, const TSamplerRecordTime& time = {});
  void AddStringAvgLong(int sIndex, bool sCopy, const std::string& text, const TSamplerRecordTime& time = {});
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

  // ---- additions ----
  // Caps of every record buffer (records and string bytes); tests use small ones.
  void SetBufferCaps(std::size_t maxRecords, std::size_t maxBytes);
  // The definition pairs the records of several counters on their time stamps.
  bool GetTimeSynchroNeeded(int dIndex) const;
  TLogLineCounts LineCounts() const;

 protected:
  explicit TMultiSampler(int aLogId);

  // ---- what the derived sampler supplies ----
  // The header block of a new file (empty without header).
  virtual std::vector<std::string> GetHeaderLines(const TMultiSamplerDefinition& def,
                                                  const std::vector<TSamplerHeaderPart>& parts) = 0;
  // The columns of one data line (without the time string).
  virtual std::string GetSampleData(const TMultiSamplerDefinition& def, const std::vector<TSamplerLinePart>& parts) = 0;
  // The time string that leads the line: slot 10 of the main record, else
  // the time the record was made (def.FLineTime).
  virtual std::string GetTimeString(const TMultiSamplerDefinition& def, const TMultiSamplerStrings* mainRecord) = 0;
  virtual void AddInfoOpen(const std::string& fileName) = 0;
  virtual void AddInfoClose(const std::string& text) = 0;
  virtual void AddErrorClose(const std::string& text) = 0;
  virtual void AddWarningWaiting(const std::string& text) = 0;
  // The reason text of source event `what` when the caller passed none.
  virtual std::string GetUpdateText(int what, char letter) const;
  // Source events 1, 2, 3, 5, 6, 9 and 10; a derived sampler adds the others.
  virtual void UpdateSessionEvent(TMultiSamplerSession& session, int what, const std::string& reason);
  virtual void UpdateOptionsEvent(uint32_t what) = 0;
  virtual bool CheckTimeSynchro(TMultiSamplerDefinition& def);
  virtual void UpdateTimeSynchro();

  // ---- services for the derived sampler (lock held) ----
  enum class TCloseKind {
    Rotation,  // the next file goes on with the very next record
    Reset,     // read positions start anew
    Discard,   // no message; a file without data lines is removed
  };
  void CloseDefinitionFile(TMultiSamplerDefinition& def, const std::string& reason, TCloseKind kind);
  void WriteComment(TMultiSamplerDefinition& def, const std::string& text);
  void ClearSessionBuffers(TMultiSamplerSession& session);
  void LogDefinitionsChanged(int sIndex);
  // Enabled definitions in which the session has a protocol item.
  std::vector<TMultiSamplerDefinition*> DefinitionsOfSession(const TMultiSamplerSession& session);
  TMultiSamplerSession* FindSession(int sIndex, bool sCopy) const;
  std::vector<TMultiSamplerDefinition*> EnabledDefinitions();
  std::string NowTimeString() const;
  TUtcMs Now() const;
  const TSamplerOptions& Options() const { return FOptions; }
  int LogId() const { return FLogId; }
  void DebugLog(const std::string& text) const;
  // The text is built only when the debug log keeps lines.
  void DebugLog(const std::function<std::string()>& text) const;

 private:
  struct TResolvedPart;
  enum class TResolveResult { Ok, Resync };

  void AddRecord(int sIndex, bool sCopy, TSamplerStringClass stringClass, TMultiSamplerStrings record,
                 const TSamplerRecordTime& time = {});
  void CheckLogging(TMultiSamplerSession& session, TSamplerStringClass stringClass);
  void ProcessDefinition(TMultiSamplerDefinition& def, TSamplerStringClass trigger);
  bool CheckLogStrings(const TMultiSamplerDefinition& def, int partIndex);
  // False when the synchronised parts had to start again (no line was written).
  bool GenerateLogStrings(TMultiSamplerDefinition& def);
  TResolveResult ResolveRecords(TMultiSamplerDefinition& def, std::vector<TResolvedPart>& resolved,
                                std::vector<std::string>& lossTexts);
  void Resynchronise(TMultiSamplerDefinition& def);
  void SetLogDone(TMultiSamplerSession& session, TMultiProtocolItem& item);
  void PruneBuffer(TMultiSamplerSession& session, TSamplerStringClass stringClass);
  void ResetItems(TMultiSamplerDefinition& def);
  void CheckNewFile(TMultiSamplerDefinition& def);
  bool OpenDefinitionFile(TMultiSamplerDefinition& def);
  bool WriteRetryDue(const TMultiSamplerDefinition& def) const;
  void SerialNumberMissing(TMultiSamplerDefinition& def, char letter);
  bool WriteFileLine(TMultiSamplerDefinition& def, const std::string& text, bool dataLine);
  void WriteFailed(TMultiSamplerDefinition& def, const std::string& fileName, const std::string& reason);
  void AbandonFile(TMultiSamplerDefinition& def, const std::string& reason);
  void WritePendingComments(TMultiSamplerDefinition& def);
  void QueueComment(TMultiSamplerDefinition& def, const std::string& text);
  std::vector<TSamplerLinePart> LineParts(const TMultiSamplerDefinition& def,
                                          const std::vector<TResolvedPart>& resolved) const;
  TUtcMs MainSessionTime(const TMultiSamplerDefinition& def) const;
  std::string FolderOf(const TLogDefinition& logDef) const;
  void RemoveItemsOfDefinition(int dIndex);
  void RemovePartsWhere(const std::function<bool(const TSimpleLogDefinition&)>& gone);
  void RefreshSamplerLogTypes();
  void DeleteDefinition(int dIndex, const std::string& reason);
  TMultiSamplerDefinition* Definition(int dIndex) const;
  bool HasAnyDefinition() const;

  mutable std::recursive_mutex FLockObj;
  std::vector<std::unique_ptr<TMultiSamplerDefinition>> FDefinitionList;
  std::vector<std::unique_ptr<TMultiSamplerSession>> FSessionList;
  const int FLogId;
  int FUpdateCounter = 0;
  bool FLogDefinitionsChangeNeeded = false;
  std::string FDbgTag = "TMultiSampler";
  TSamplerOptions FOptions;
  std::function<TUtcMs()> FClock;
  std::size_t FMaxRecords = TSamplerRecordBuffer::kMaxRecords;
  std::size_t FMaxBytes = TSamplerRecordBuffer::kMaxBytes;
  uint64_t FLinesWritten = 0;
  uint64_t FLinesLost = 0;
};
