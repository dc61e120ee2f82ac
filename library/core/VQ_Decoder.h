#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "library/core/VQ_CommonTypes.h"
#include "library/core/VQ_DllCommon.h"
#include "library/core/VQ_MeasFormats.h"

// What the decoder needs from the source that owns it: the device, the report
// layer and the source's own checks.
class TVQ_DecoderHost {
 public:
  virtual ~TVQ_DecoderHost() = default;
  // The last timestamp second the device has received, and its update.
  virtual uint32_t ReceivedSec() const = 0;
  virtual void SetReceivedSec(uint32_t sec) = 0;
  // The counter re-synchronised: the report layer's device time starts again.
  virtual void ReSync() = 0;
  // The counter reports its reference clock lost (true) or in order (false).
  virtual void SetReferenceClockError(bool error) = 0;
  // A version report was decoded: the source takes the QMT-only flag from
  // the counter's identity.
  virtual void VersionDecoded() = 0;
  // The user slot the counter granted; 255 = unknown.
  virtual uint8_t UserID() const = 0;
  // The data-per-second check at the timestamp report `code` (7015 or 7016)
  // just decoded: a 7F22 line, or empty.
  virtual std::string CheckDataPerSecondCounter(uint16_t code) = 0;
  // A 7902 report (PVH block) is evaluated by the device: the line to pass
  // on, or empty while more blocks are to come.
  virtual std::string Check7902Report(std::string_view payload) = 0;
};

// The source's counters of the data and timestamp checks, and its phase
// continuation. The source reads and resets them too (buffer clears, the
// data-per-second check).
struct TVQ_DecodeState {
  static constexpr uint32_t kNoHeader = 0x10000;

  uint16_t FHeader = 0;                    // code of the report being decoded
  uint32_t FDataHeader = kNoHeader;        // last data header without bit 15
  uint32_t FLastPavHeader = kNoHeader;     // last measurement or timestamp code but 7015
  bool FdasSindMessdaten = false;          // the report is a measurement
  bool FdasSindGepackteDaten = false;      // the report came packed
  std::string PackedString;                // rest of a packed report
  int PackCount = 0;                       // reports left in it
  std::size_t PackLen = 0;                 // bytes per packed report
  bool FFirstTimestampReceived = false;
  bool FFirstDataReceived = false;
  int FTimestampCounter = 0;               // timestamps while measurements flow
  int dataPerSecondCounter = 0;            // measurements since the last timestamp
  int dataPerSecondCounter_copy = 0;       // the count at the last timestamp
  int dataPerSecondCounterReset = 0;       // the count when the buffer was cleared
  int ignoreDataPerSecondCounter = 0;      // measurements still to drop
  bool FQMTReceived = false;               // a QMT line has been delivered
  bool FFirstCheckPending = true;          // the next data-rate check is the first
  std::string FKeptLine;                   // a 7F22 line found at a full second, delivered next
  TVQ_ChannelTracks Tracks{};              // phase continuation per channel
};

// Switches of the source that shape the lines.
struct TVQ_DecodeOptions {
  TFormatSettings Format;          // decimal separator of the report lines
  bool OptRawData = false;         // decode raw data (mode 6) instead of refusing it
  bool Send7016 = false;           // 100 ms timestamps become 7016 lines
  int CalibFactorFloatToInt = 1000;
  bool ReportLog = false;          // every decoded line goes to the debug log
};

// Turns binary reports into report lines: the header check with packed
// reports and the 24-channel cut, one decoder per counter kind, the
// non-measurement vocabulary, and the counters that the source's data-rate
// check needs. An empty line means the report is dropped.
class TVQ_ReportDecoder {
 public:
  // `logTag` starts every debug line ("TSourceItem[1]").
  TVQ_ReportDecoder(TVQ_DecoderHost& host, int logId, std::string logTag);

  TVQ_DecodeState State;
  TVQ_DecodeOptions Options;

  // Counters with byte-stream or ESP framing.
  std::string ProcessBinReport(std::string_view report, bool esp);
  // The simulated counter.
  std::string ProcessDemoReport(std::string_view report);
  // The next report of a packed report; call while PackedPending().
  std::string ProcessPackedReport();
  bool PackedPending() const { return State.PackCount > 0; }
  // Lines that arrive as text: only the checks follow them.
  void ProcessTxtReport(std::string_view line);

  void ResetTimestampDataCounter();
  void ResetPhaseData();

 private:
  enum class TKind { Bin, Esp, Demo };

  bool CheckHeader(std::string_view report, std::size_t valueBytes, std::string& payload);
  bool CheckEspHeader(std::string_view report, std::string& payload);
  void CutToChannels(std::string& values, std::size_t valueBytes);
  bool TakeMeasurement(TKind kind);
  std::string DecodeMeasurement(TKind kind, std::string_view values);
  std::string DecodeReport(TKind kind, std::string_view payload);
  std::string DecodeDemoReport(std::string_view payload);
  std::string VersionLine(TKind kind, std::string_view payload);
  std::string TimestampLine(TKind kind, std::string_view payload);
  std::string Timestamp100msLine(TKind kind, std::string_view payload);
  void CountTimestamp(std::string_view firstLog);
  void RepeatedSecond(std::string_view payload);
  std::string QmtLine(TKind kind, std::string_view payload);
  std::string TextLine(std::string_view payload) const;
  std::string ShortPayloadLine(std::string_view payload, std::size_t needed);
  void ResetChecks(std::string_view why);
  void FinishLine(const std::string& line);
  const TVQ_FieldOptions& FieldOptions(TKind kind);
  static std::string_view Caller(TKind kind);

  void Log(std::string_view text) const;
  void LogErr(std::string_view text) const;

  TVQ_DecoderHost& FHost;
  const int FLogId;
  const std::string FLogTag;
  TVQ_FieldOptions FFieldOptions[3];  // per kind; format and switches refreshed per use
};
