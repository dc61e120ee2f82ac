#include "library/core/VQ_Decoder.h"

#include <algorithm>
#include <array>
#include <optional>

#include "library/core/LogUnit.h"

namespace {

constexpr std::size_t kMaxChannels = VQ_ChannelCount;
constexpr std::size_t kTimestampBytes = 4;
constexpr std::size_t kHeaderBytes = 2;
constexpr uint8_t kUnknownUserID = 255;
constexpr std::string_view kResetSuffix = " -> reset data/timestamp checks";

bool IsPackedCode(uint16_t code) { return (code & 0xF000) == 0xF000; }
// Mode 7 names a report kind; every other mode is a measurement.
bool IsMeasurementHeader(uint16_t header) { return ((header >> 12) & 0x7) != 0x7; }

uint8_t Byte(std::string_view p, std::size_t i) { return static_cast<uint8_t>(p[i]); }
// `count` bytes from `from`, most significant first, as `digits` hex digits.
std::string HexBytes(std::string_view p, std::size_t from, std::size_t count) {
  uint64_t value = 0;
  for (std::size_t i = 0; i < count; ++i) value = (value << 8) | Byte(p, from + i);
  return HexText(value, static_cast<int>(2 * count));
}
std::string HexField(std::string_view prefix, std::string_view p, std::size_t from, std::size_t count) {
  return std::string(prefix) + HexBytes(p, from, count);
}

// Rounds len / count to the nearest whole number, halves to the even one.
std::size_t RoundedShare(std::size_t len, std::size_t count) {
  const std::size_t q = len / count;
  const std::size_t twiceRest = 2 * (len % count);
  if (twiceRest > count || (twiceRest == count && q % 2 == 1)) return q + 1;
  return q;
}

// ---- reports of a fixed layout ----------------------------------------------

struct TFixedLayout {
  uint16_t Code;
  std::size_t Needed;  // payload bytes the layout reads
  bool ColdfireOnly;
  std::string (*Format)(std::string_view p);
};

std::string StatusWordFields(std::string_view p) { return HexField("; $", p, 0, 2); }
std::string BlockDoneFields(std::string_view) { return "; Block done"; }
std::string TwoStatusWordsFields(std::string_view p) { return HexField("; $", p, 0, 2) + HexField(", $", p, 2, 2); }
std::string Value24BitFields(std::string_view p) { return HexField("; $", p, 0, 3); }
std::string RawBlockFields(std::string_view p) { return "; " + HexDump(p); }

std::string ExtendedStatusFields(std::string_view p) {
  std::string text = HexField("; $", p, 0, 1);
  for (std::size_t i = 1; i < 15; i += 2) text += HexField("; $", p, i, 2);
  return text;
}

std::string ExtendedStatus2Fields(std::string_view p) {
  return HexField("; $", p, 0, 1) + HexField("; $", p, 1, 2) + HexField("; $", p, 3, 4) + HexField("; $", p, 7, 4);
}

std::string ByteDumpFields(std::string_view p) {
  std::string text;
  for (std::size_t i = 0; i < p.size(); ++i) text += HexField(" ", p, i, 1);
  return text;
}

std::string StructuredDumpFields(std::string_view p) {
  std::string text = HexField(" ", p, 0, 4);
  for (std::size_t i = 4; i < 16; i += 2) text += HexField(" ", p, i, 2);
  return text;
}

std::string MemoryWordFields(std::string_view p) {
  return HexField("; $", p, 0, 1) + HexField("=$", p, 2, 1) + HexField(": $", p, 3, 2) + HexField("; $", p, 5, 2) +
         HexField("; $", p, 7, 2) + HexField("; $", p, 9, 2);
}

std::string MemoryFields(std::string_view p) {
  return HexField("; $", p, 0, 1) + HexField("; $", p, 1, 2) + HexField("; $", p, 3, 2) + HexField("; $", p, 5, 2) +
         HexField("; $", p, 8, 2);
}

// The first payload byte gives the lowest 8 bits: the value comes least
// significant byte first, as everything an ESP counter sends.
std::string HardFeatureFields(std::string_view p) {
  uint32_t value = 0;
  for (std::size_t i = std::min<std::size_t>(p.size(), 4); i-- > 0;) value = (value << 8) | Byte(p, i);
  return "; $" + HexText(value, 4);
}

constexpr std::array<TFixedLayout, 13> kFixedLayouts = {{
    {VQ_Code::StatusWord, 2, true, StatusWordFields},
    {VQ_Code::BlockDone, 0, true, BlockDoneFields},
    {VQ_Code::TwoStatusWords, 4, true, TwoStatusWordsFields},
    {VQ_Code::Value24Bit, 3, false, Value24BitFields},
    {VQ_Code::HardFeature, 1, false, HardFeatureFields},
    {VQ_Code::RawBlock, 0, false, RawBlockFields},
    {VQ_Code::ExtendedStatus, 15, true, ExtendedStatusFields},
    {VQ_Code::ExtendedStatus2, 11, true, ExtendedStatus2Fields},
    {VQ_Code::ByteDump, 0, true, ByteDumpFields},
    {VQ_Code::StructuredDump, 16, true, StructuredDumpFields},
    {VQ_Code::StatusWord2, 2, true, StatusWordFields},
    {VQ_Code::MemoryWord, 11, true, MemoryWordFields},
    {VQ_Code::Memory, 10, true, MemoryFields},
}};

const TFixedLayout* FindFixedLayout(uint16_t code, bool esp) {
  for (const TFixedLayout& layout : kFixedLayouts)
    if (layout.Code == code) return esp && layout.ColdfireOnly ? nullptr : &layout;
  return nullptr;
}

// Codes the simulated counter's decoding passes on without fields.
bool IsBareDemoCode(uint16_t code) {
  switch (code) {
    case VQ_Code::StatusWord: case VQ_Code::BlockDone: case VQ_Code::TwoStatusWords: case VQ_Code::Value24Bit:
    case VQ_Code::RawBlock: case VQ_Code::ExtendedStatus: case VQ_Code::ExtendedStatus2: case VQ_Code::ByteDump:
    case VQ_Code::StructuredDump: case VQ_Code::StatusWord2: case VQ_Code::MemoryWord: case VQ_Code::Memory:
    case VQ_Code::Resynchronised: case VQ_Code::InputOverrun: case VQ_Code::ReferenceOk:
    case VQ_Code::ReferenceError:
      return true;
    default:
      return false;
  }
}

// Reports that are never delivered as lines.
bool IsDroppedDemoCode(uint16_t code) {
  return code == VQ_Code::ChannelSelection || code == VQ_Code::RepeatedSecond || code == VQ_Code::RepeatedSecond2;
}

}  // namespace

TVQ_ReportDecoder::TVQ_ReportDecoder(TVQ_DecoderHost& host, int logId, std::string logTag)
    : FHost(host), FLogId(logId), FLogTag(std::move(logTag)) {
  const std::array<TKind, 3> kinds = {TKind::Bin, TKind::Esp, TKind::Demo};
  for (TKind kind : kinds) {
    TVQ_FieldOptions& opt = FFieldOptions[static_cast<int>(kind)];
    opt.LogId = FLogId;
    opt.LogTag = FLogTag;
    opt.Caller = Caller(kind);
  }
}

std::string_view TVQ_ReportDecoder::Caller(TKind kind) {
  switch (kind) {
    case TKind::Bin: return ".ProcessBinData";
    case TKind::Esp: return ".ProcessESPBinData";
    case TKind::Demo: break;
  }
  return ".ProcessDemoReport";
}

const TVQ_FieldOptions& TVQ_ReportDecoder::FieldOptions(TKind kind) {
  TVQ_FieldOptions& opt = FFieldOptions[static_cast<int>(kind)];
  opt.Format = Options.Format;
  opt.OptRawData = Options.OptRawData;
  return opt;
}

// ---- resets -------------------------------------------------------------------

void TVQ_ReportDecoder::ResetTimestampDataCounter() {
  State.FFirstTimestampReceived = false;
  State.FFirstDataReceived = false;
  State.FTimestampCounter = 0;
  State.dataPerSecondCounter = 0;
  State.FFirstCheckPending = true;
}

void TVQ_ReportDecoder::ResetPhaseData() {
  State.Tracks = {};
  State.FDataHeader = TVQ_DecodeState::kNoHeader;
  State.FLastPavHeader = TVQ_DecodeState::kNoHeader;
  ResetTimestampDataCounter();
  Log(".ResetPhaseData -> reset data/timestamp checks");
}

void TVQ_ReportDecoder::ResetChecks(std::string_view why) {
  ResetTimestampDataCounter();
  if (LogWanted(FLogId)) Log(std::string(why) + std::string(kResetSuffix));
}

// ---- header check -------------------------------------------------------------

// Byte-stream counters: a report whose code has its top four bits set packs
// (bits 11-8) + 1 measurements behind one header. False when the report is
// too short to carry a code.
bool TVQ_ReportDecoder::CheckHeader(std::string_view report, std::size_t valueBytes, std::string& payload) {
  State.FdasSindGepackteDaten = false;
  State.PackCount = 0;
  if (report.size() < kHeaderBytes) {
    LogErr(".CheckHeader: report too short: " + HexDump(report));
    return false;
  }
  uint16_t code = BinaryReportCode(report);
  std::size_t headerBytes = kHeaderBytes;
  int packCount = 0;
  if (IsPackedCode(code)) {
    if (report.size() < kHeaderBytes + 1) {
      LogErr(".CheckHeader: packed report too short: " + HexDump(report));
      return false;
    }
    packCount = ((code >> 8) & 0xF) + 1;
    code = static_cast<uint16_t>(Byte(report, 1) << 8 | Byte(report, 2));
    headerBytes = kHeaderBytes + 1;
  }
  State.FHeader = code;
  State.FdasSindMessdaten = IsMeasurementHeader(code);
  payload.assign(report.substr(headerBytes));
  if (!State.FdasSindMessdaten) {
    if (packCount > 0) LogErr(".CheckHeader: packed report without measurement " + HexText(code, 4) + " decoded whole");
    return true;
  }
  if (code & 0x8000) {
    ResetTimestampDataCounter();
    Log(std::string(".CheckHeader: Device reports lost data") + std::string(kResetSuffix));
  }
  if (packCount > 0) {
    State.FdasSindGepackteDaten = true;
    State.PackCount = packCount;
    State.PackLen = RoundedShare(payload.size(), static_cast<std::size_t>(packCount));
    State.PackedString = payload;
  } else {
    CutToChannels(payload, valueBytes);
  }
  State.FDataHeader = code & 0x7FFF;
  return true;
}

bool TVQ_ReportDecoder::CheckEspHeader(std::string_view report, std::string& payload) {
  State.FdasSindGepackteDaten = false;
  State.PackCount = 0;
  if (report.size() < kHeaderBytes) {
    LogErr(".CheckHeader: report too short: " + HexDump(report));
    return false;
  }
  State.FHeader = BinaryReportCode(report);
  State.FdasSindMessdaten = VQ_Code::IsMeasurement(State.FHeader);
  payload.assign(report.substr(kHeaderBytes));
  if (State.FdasSindMessdaten) {
    // Cut like byte-stream reports: the per-channel state has 24 entries.
    CutToChannels(payload, VQ_EspValueBytes);
    State.FDataHeader = State.FHeader;
  }
  return true;
}

void TVQ_ReportDecoder::CutToChannels(std::string& values, std::size_t valueBytes) {
  const std::size_t channels = values.size() / valueBytes;
  if (channels <= kMaxChannels) return;
  LogErr(".CheckHeader Measured data too long, " + std::to_string(channels) + " channels reported, truncated to " +
         std::to_string(kMaxChannels) + " channels");
  values.resize(kMaxChannels * valueBytes);
}

// ---- measurements -------------------------------------------------------------

// The window of a repeated second drops measurements; the others are counted
// for the data-rate check once a timestamp has been seen. False = dropped.
bool TVQ_ReportDecoder::TakeMeasurement(TKind kind) {
  const std::string_view caller = kind == TKind::Demo ? ".ProcessDemoReport" : ".ProcessBinReport";
  if (State.ignoreDataPerSecondCounter > 0) {
    if (--State.ignoreDataPerSecondCounter == 0) Log(std::string(caller) + " END ignore Data");
    return false;
  }
  if (!State.FFirstDataReceived) {
    State.FFirstDataReceived = true;
    Log(std::string(caller) + ": FirstDataReceived");
  }
  if (State.FFirstTimestampReceived) ++State.dataPerSecondCounter;
  return true;
}

std::string TVQ_ReportDecoder::DecodeMeasurement(TKind kind, std::string_view values) {
  const auto header = static_cast<uint16_t>(State.FHeader & 0x7FFF);
  const TVQ_FieldOptions& opt = FieldOptions(kind);
  if (kind == TKind::Demo) return ReportCodeText(header) + DemoFields(header, values, opt);
  std::optional<std::string> fields = kind == TKind::Esp ? EspMeasurementFields(header, values, State.Tracks, opt)
                                                         : BinMeasurementFields(header, values, State.Tracks, opt);
  if (!fields) return ReportCodeText(VQ_Code::UnsupportedMode) + "; " + std::string(VQ_Text::UnsupportedMode);
  fields->insert(0, ReportCodeText(header));  // the fields leave room for it
  return std::move(*fields);
}

// ---- entry points ---------------------------------------------------------------

std::string TVQ_ReportDecoder::ProcessBinReport(std::string_view report, bool esp) {
  const TKind kind = esp ? TKind::Esp : TKind::Bin;
  std::string payload;
  if (!(esp ? CheckEspHeader(report, payload) : CheckHeader(report, VQ_BinValueBytes, payload))) return {};
  std::string line;
  if (State.FdasSindMessdaten) {
    const bool taken = TakeMeasurement(kind);
    if (State.FdasSindGepackteDaten) {
      std::string first = State.PackedString.substr(0, State.PackLen);
      CutToChannels(first, VQ_BinValueBytes);
      if (taken) line = DecodeMeasurement(kind, first);
      --State.PackCount;
      State.FHeader &= 0x7FFF;
    } else if (taken) {
      line = DecodeMeasurement(kind, payload);
    }
    if (!taken) return {};
  } else {
    line = DecodeReport(kind, payload);
  }
  FinishLine(line);
  return line;
}

// The following report of a packed report: at most PackLen bytes, fewer for
// the last one when the share was rounded up.
std::string TVQ_ReportDecoder::ProcessPackedReport() {
  if (State.PackCount <= 0) return {};
  State.PackedString.erase(0, std::min(State.PackLen, State.PackedString.size()));
  --State.PackCount;
  State.FdasSindMessdaten = true;
  State.FdasSindGepackteDaten = true;
  std::string values = State.PackedString.substr(0, State.PackLen);
  if (State.PackCount == 0) State.PackedString.clear();
  if (!TakeMeasurement(TKind::Bin)) return {};
  CutToChannels(values, VQ_BinValueBytes);
  std::string line = DecodeMeasurement(TKind::Bin, values);
  FinishLine(line);
  return line;
}

std::string TVQ_ReportDecoder::ProcessDemoReport(std::string_view report) {
  // A PVH block the report layer already turned into its line.
  if (report.substr(0, 4) == "7902") return std::string(report);
  std::string payload;
  if (!CheckHeader(report, VQ_DemoValueBytes, payload)) return {};
  std::string line;
  if (State.FdasSindMessdaten) {
    // The simulator never packs; a packed report is decoded whole.
    State.PackCount = 0;
    State.FdasSindGepackteDaten = false;
    if (!TakeMeasurement(TKind::Demo)) return {};
    line = DecodeMeasurement(TKind::Demo, payload);
  } else {
    line = DecodeDemoReport(payload);
  }
  FinishLine(line);
  return line;
}

void TVQ_ReportDecoder::FinishLine(const std::string& line) {
  if (line.starts_with("7900;")) State.FQMTReceived = true;
  if (Options.ReportLog && LogWanted(FLogId)) Log("         " + line);
  const auto code = static_cast<uint16_t>(State.FHeader & 0x7FFF);
  if (State.FdasSindMessdaten || code == VQ_Code::Timestamp100ms || code == VQ_Code::RepeatedSecond ||
      code == VQ_Code::RepeatedSecond2)
    State.FLastPavHeader = code;
}

// ---- reports of byte-stream and ESP counters -------------------------------------

std::string TVQ_ReportDecoder::DecodeReport(TKind kind, std::string_view payload) {
  const bool esp = kind == TKind::Esp;
  const uint16_t code = State.FHeader;
  const std::string caller(Caller(kind));
  const std::string codeText = ReportCodeText(code);
  switch (code) {
    case VQ_Code::Tick:
      return codeText + ";";
    case VQ_Code::Version:
      return VersionLine(kind, payload);
    case VQ_Code::Timestamp:
      return TimestampLine(kind, payload);
    case VQ_Code::Timestamp100ms:
      return Timestamp100msLine(kind, payload);
    case VQ_Code::HeaderChanged:
      if (payload.size() < 2) return ShortPayloadLine(payload, 2);
      ResetChecks(caller + ": header changed");
      return codeText + HexField("; $", payload, 0, 2);
    case VQ_Code::ChannelSelection:
      Log(caller + " Do NOT report ChannelSelection data to app");
      return {};
    case VQ_Code::BufferCleared:
      ResetChecks(caller + ": receive buffer cleared");
      return codeText + "; " + std::string(VQ_Text::BufferCleared);
    case VQ_Code::BufferOverflow:
      ResetChecks(caller + ": receive buffer cleared ");
      return codeText + "; " + std::string(VQ_Text::BufferClearedAfterOverflow);
    case VQ_Code::RepeatedSecond:
    case VQ_Code::RepeatedSecond2:
      if (esp) break;
      RepeatedSecond(payload);
      return {};
    case VQ_Code::Resynchronised:
      ResetChecks(caller + ": Re-Sync");
      FHost.ReSync();
      return codeText + TextLine(payload);
    case VQ_Code::InputOverrun:
      if (esp || Trim(payload) != VQ_Text::ScramblerNotice)
        ResetChecks(caller + ": receive input data overrun");
      else
        Log(caller + ": Scrambler in use");
      return codeText + TextLine(payload);
    case VQ_Code::ReferenceOk:
      FHost.SetReferenceClockError(false);
      ResetPhaseData();
      return codeText + TextLine(payload);
    case VQ_Code::ReferenceError:
      FHost.SetReferenceClockError(true);
      return codeText + TextLine(payload);
    case VQ_Code::QmtValues:
      return QmtLine(kind, payload);
    case VQ_Code::PvhCalibration:
      return CalibrationLine(payload, Options.CalibFactorFloatToInt, FieldOptions(kind));
    case VQ_Code::PvhSettings:
      return FHost.Check7902Report(payload);
    case VQ_Code::Heartbeat:
      if (esp) return codeText + std::string(payload);  // already its fields
      break;
    case VQ_Code::UserIdInUse:
      if (const uint8_t id = FHost.UserID(); id != kUnknownUserID)
        return codeText + ": UserID " + std::to_string(id) + " already in use";
      return codeText + TextLine(payload);
    default:
      if (const TFixedLayout* layout = FindFixedLayout(code, esp)) {
        if (payload.size() < layout->Needed) return ShortPayloadLine(payload, layout->Needed);
        return codeText + layout->Format(payload);
      }
      break;
  }
  return codeText + TextLine(payload);
}

std::string TVQ_ReportDecoder::DecodeDemoReport(std::string_view payload) {
  const uint16_t code = State.FHeader;
  const std::string codeText = ReportCodeText(code);
  switch (code) {
    case VQ_Code::Tick:
      return codeText + ";";
    case VQ_Code::Version:
      return VersionLine(TKind::Demo, payload);
    case VQ_Code::Timestamp:
      return TimestampLine(TKind::Demo, payload);
    case VQ_Code::Timestamp100ms:
      return Timestamp100msLine(TKind::Demo, payload);
    case VQ_Code::HeaderChanged:
      if (payload.size() < 2) return ShortPayloadLine(payload, 2);
      ResetChecks(".ProcessDemoReport: header changed");
      return codeText + HexField("; $", payload, 0, 2);
    case VQ_Code::BufferCleared:
      ResetChecks(".ProcessDemoReport: receive buffer cleared");
      return codeText + "; " + std::string(VQ_Text::BufferCleared);
    case VQ_Code::BufferOverflow:
      ResetChecks(".ProcessDemoReport: receive buffer cleared");
      return codeText + "; " + std::string(VQ_Text::BufferClearedAfterOverflow);
    case VQ_Code::QmtValues:
      return codeText + DemoFields(code, payload, FieldOptions(TKind::Demo));
    case VQ_Code::PvhCalibration:
      return CalibrationLine(payload, Options.CalibFactorFloatToInt, FieldOptions(TKind::Demo));
    case VQ_Code::PvhSettings:
      return FHost.Check7902Report(payload);
    default:
      break;
  }
  if (IsDroppedDemoCode(code)) return {};
  if (IsBareDemoCode(code)) return codeText;
  return codeText + TextLine(payload);
}

// ---- report kinds -----------------------------------------------------------------

std::string TVQ_ReportDecoder::VersionLine(TKind kind, std::string_view payload) {
  std::string line = ReportCodeText(VQ_Code::Version);
  switch (kind) {
    case TKind::Bin: {
      // The counter's text up to its user slot ("User" and one character).
      const std::size_t user = payload.find("User");
      line += user == std::string_view::npos ? Trim(payload) : payload.substr(0, std::min(user + 5, payload.size()));
      line += " / ";
      break;
    }
    case TKind::Esp:
      line += std::string(payload) + " / SW: ";
      break;
    case TKind::Demo:
      line += std::string(Trim(payload)) + " / ";
      break;
  }
  line += VQ_LibraryVersion;
  FHost.VersionDecoded();
  return line;
}

void TVQ_ReportDecoder::CountTimestamp(std::string_view firstLog) {
  if (State.FFirstDataReceived) ++State.FTimestampCounter;
  if (!State.FFirstTimestampReceived) {
    State.FFirstTimestampReceived = true;
    Log(firstLog);
  }
  State.dataPerSecondCounter_copy = State.dataPerSecondCounter;
  State.dataPerSecondCounter = 0;
}

std::string TVQ_ReportDecoder::TimestampLine(TKind kind, std::string_view payload) {
  if (payload.size() < kTimestampBytes) return ShortPayloadLine(payload, kTimestampBytes);
  const uint32_t seconds = ReadBigEndian32(payload);
  CountTimestamp(std::string(Caller(kind)) + ": FirstTimestampReceived");
  FHost.SetReceivedSec(seconds);
  return ReportCodeText(VQ_Code::Timestamp) + "; " + std::to_string(seconds);
}

std::string TVQ_ReportDecoder::Timestamp100msLine(TKind kind, std::string_view payload) {
  if (payload.size() < kTimestampBytes) return ShortPayloadLine(payload, kTimestampBytes);
  const uint32_t count = ReadBigEndian32(payload);
  std::string_view firstLog = ".ProcessDemoReport: FirstTimestampReceived";
  if (kind == TKind::Bin) firstLog = ".ProcessBinReport: FirstTimestampReceived";
  if (kind == TKind::Esp) firstLog = ".ProcessESPBinReport: FirstTimestampReceived";
  CountTimestamp(firstLog);
  // The data rate is checked by the rules of 100 ms timestamps even on a
  // full second: the count covers the last 100 ms only.
  std::string rateLine = FHost.CheckDataPerSecondCounter(VQ_Code::Timestamp100ms);
  if (count % 10 == 0) {
    // A full second: the device learns it as from a 7015 report, so counters
    // that send only 100 ms timestamps are known to deliver data. A rate
    // problem follows as the next line.
    FHost.SetReceivedSec(count / 10);
    State.FKeptLine = std::move(rateLine);
    return ReportCodeText(VQ_Code::Timestamp) + "; " + std::to_string(count / 10);
  }
  if (!rateLine.empty()) return rateLine;
  if (Options.Send7016) return ReportCodeText(VQ_Code::Timestamp100ms) + "; " + std::to_string(count);
  return ReportCodeText(VQ_Code::Tick) + ";";
}

// 7114 / 7115: the counter repeats a second after a reconnect. When the
// device already has that second, as many measurements as it held are dropped.
void TVQ_ReportDecoder::RepeatedSecond(std::string_view payload) {
  if (payload.size() < kTimestampBytes) {
    LogErr(".ProcessBinData " + ReportCodeText(State.FHeader) + " too short: " + HexDump(payload));
    return;
  }
  const uint32_t second = ReadBigEndian32(payload);
  if (second > FHost.ReceivedSec()) return;
  if (State.dataPerSecondCounter == 0) State.dataPerSecondCounter = State.dataPerSecondCounterReset;
  State.ignoreDataPerSecondCounter = State.dataPerSecondCounter;
  if (State.ignoreDataPerSecondCounter <= 0) return;
  std::string text = ".ProcessBinData START ignore Data";
  if (State.FHeader == VQ_Code::RepeatedSecond2)
    text += ", ignoreDataPerSecondCounter=" + std::to_string(State.ignoreDataPerSecondCounter);
  Log(text);
}

std::string TVQ_ReportDecoder::QmtLine(TKind kind, std::string_view payload) {
  const TVQ_QmtDecode decoded = ::QmtLine(payload, kind == TKind::Esp, State.FQMTReceived, FieldOptions(kind));
  // A counter that sends only time intervals has no timestamps: the device
  // learns that data arrive, without overwriting a real second.
  if (FHost.ReceivedSec() == 0) FHost.SetReceivedSec(1);
  return decoded.Line;
}

// ": " + the counter's text, trimmed.
std::string TVQ_ReportDecoder::TextLine(std::string_view payload) const { return ": " + std::string(Trim(payload)); }

// A report that passed its checksum but is shorter than its layout: its
// bytes are passed on in hex instead of being read past their end.
std::string TVQ_ReportDecoder::ShortPayloadLine(std::string_view payload, std::size_t needed) {
  const std::string codeText = ReportCodeText(State.FHeader);
  LogErr(".Decode " + codeText + ": payload too short, " + std::to_string(payload.size()) + " bytes, " +
         std::to_string(needed) + " needed");
  return codeText + ": " + HexDump(payload);
}

// ---- text lines -------------------------------------------------------------------

void TVQ_ReportDecoder::ProcessTxtReport(std::string_view line) {
  const std::optional<uint16_t> parsed = ReportLineCode(line);
  if (!parsed) return;
  const uint16_t code = *parsed;
  if (IsMeasurementHeader(code) && !IsPackedCode(code)) {
    if (code & 0x8000) ResetChecks(".ProcessTxtReport: Device reports lost data");
    State.FDataHeader = code & 0x7FFF;
    State.FLastPavHeader = State.FDataHeader;
    if (!State.FFirstDataReceived) {
      State.FFirstDataReceived = true;
      Log(".ProcessTxtReport: FirstDataReceived");
    }
    if (State.FFirstTimestampReceived) {
      ++State.dataPerSecondCounter;
      if (LogWanted(FLogId)) Log(".ProcessTxtReport: dataCounter=" + std::to_string(State.dataPerSecondCounter));
    }
    return;
  }
  switch (code) {
    case VQ_Code::Version:
      FHost.VersionDecoded();
      break;
    case VQ_Code::Timestamp:
      if (State.FFirstDataReceived && LogWanted(FLogId))
        Log(".ProcessTxtReport: timestampCounter=" + std::to_string(State.FTimestampCounter + 1));
      CountTimestamp(".ProcessTxtReport: FirstTimestampReceived");
      break;
    case VQ_Code::HeaderChanged:
      ResetChecks(".ProcessTxtReport: header changed");
      break;
    case VQ_Code::BufferCleared:
    case VQ_Code::BufferOverflow:
      ResetChecks(".ProcessTxtReport: receive buffer cleared");
      break;
    case VQ_Code::Resynchronised:
      ResetChecks(".ProcessTxtReport: Re-Sync");
      FHost.ReSync();
      break;
    case VQ_Code::InputOverrun:
      ResetChecks(".ProcessTxtReport: receive input data overrun");
      break;
    case VQ_Code::ReferenceOk:
      Log(".ProcessTxtReport: Reference Clock Ok");
      FHost.SetReferenceClockError(false);
      ResetPhaseData();
      break;
    case VQ_Code::ReferenceError:
      Log(".ProcessTxtReport: Reference Clock Error");
      FHost.SetReferenceClockError(true);
      break;
    case VQ_Code::QmtValues:
      if (line.starts_with("7900;")) State.FQMTReceived = true;
      break;
    default:
      break;
  }
}

void TVQ_ReportDecoder::Log(std::string_view text) const {
  if (LogWanted(FLogId)) LogInfo(FLogId, FLogTag + std::string(text));
}

void TVQ_ReportDecoder::LogErr(std::string_view text) const {
  if (LogWanted(FLogId)) LogError(FLogId, FLogTag + std::string(text));
}
