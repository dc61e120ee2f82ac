#include "app/output/App_MultiSampler.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <set>
#include <utility>

#include "library/core/LogUnit.h"

namespace {

constexpr const char* kFirstCreate = "First create";
constexpr std::size_t kMaxPendingComments = 100;
// After a file could not be created or written (a full disk, a folder
// without permission), a new file is tried only this much later; the lines
// in between are counted and stated in the next file.
constexpr TUtcMs kWriteRetryMs = 10000;

// The record an item reads next: a position whose fraction is above 0.9
// counts as the following record (report factors below 1 add up to a whole
// record only approximately). The tolerance keeps nine steps of 0.1, which
// sum to a hair above 0.9, on the same record.
int64_t RoundedIndex(double position) {
  if (position < 0) return -1;
  const double whole = std::trunc(position);
  const int64_t index = static_cast<int64_t>(whole);
  return position - whole <= 0.9 + 1e-9 ? index : index + 1;
}

// Days since 1970-01-01 of the calendar date of an instant in the given zone.
int64_t DayNumber(TUtcMs instant, bool utc) {
  const TDateTimeParts parts = ZoneParts(instant, utc);
  const int64_t y = parts.Month <= 2 ? parts.Year - 1 : parts.Year;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t m = parts.Month;
  const int64_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + parts.Day - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

bool IsAverageClass(TSamplerStringClass value) { return value == sscAvgShort || value == sscAvgLong; }

// Classes whose records do not follow the counter's reports one to one.
bool IsUnsynchronisedClass(TSamplerStringClass value) {
  return value == sscAvgShort || value == sscAvgLong || value == sscSpecial;
}

// "," when the text holds a comma, else "." when it holds a point, else 0.
char DecimalSeparatorOf(const std::string& text) {
  if (text.find(',') != std::string::npos) return ',';
  if (text.find('.') != std::string::npos) return '.';
  return 0;
}

// A record of one string: the other nine stay empty.
TMultiSamplerStrings OneStringRecord(const std::string& text) {
  TMultiSamplerStrings record;
  record[0] = text;
  return record;
}

std::string LostRecordsText(char letter, int64_t count) {
  return std::string("Source ") + letter + ": " + std::to_string(count) + " records lost (log buffer full)";
}

}  // namespace

// ---- internal types ----------------------------------------------------------------------

void TMultiProtocolItem::ResetPosition() {
  FNextDataIndex = -1;
  FTimeIndex = -1;
  FTimeStampCount = 0;
  FTimeStampStartValue = -1;
  FSynchroWait = FTimeSynchroNeeded;
  FfirstLineDone = false;
  FLossFrom = -1;
  FRound = -1;
}

TMultiSamplerSession::TMultiSamplerSession(std::shared_ptr<TSamplerSource> source, std::size_t maxRecords,
                                           std::size_t maxBytes)
    : FSession(std::move(source)), FIndex(FSession->Index()), FIsCopy(FSession->IsCopy()) {
  for (TSamplerRecordBuffer& buffer : FBuffers) buffer.SetCaps(maxRecords, maxBytes);
  FDbgTag = "TMultiSamplerSession[" + std::to_string(FIndex) + "/" + (FIsCopy ? "1" : "0") + "]";
}

TMultiProtocolItem* TMultiSamplerSession::FindItem(int dIndex, TSamplerStringClass stringClass) const {
  for (const auto& item : FProtocolList)
    if (item->FDefIndex == dIndex && item->FStringClass == stringClass) return item.get();
  return nullptr;
}

bool TMultiSamplerSession::HasItemOfClass(TSamplerStringClass stringClass) const {
  for (const auto& item : FProtocolList)
    if (item->FStringClass == stringClass) return true;
  return false;
}

TMultiSamplerDefinition::TMultiSamplerDefinition(int dIndex, std::unique_ptr<TLogDefinition> logDef,
                                                 char decimalSeparator)
    : FLogDef(std::move(logDef)),
      FDefIndex(dIndex),
      FResetText(kFirstCreate),
      FDecimalSeparator(decimalSeparator),
      FDbgTag("TMultiSamplerDefinition[" + std::to_string(dIndex) + "]") {}

// One part's record for the line being written.
struct TMultiSampler::TResolvedPart {
  TMultiSamplerSession* Session = nullptr;
  TMultiProtocolItem* Item = nullptr;
  const TMultiSamplerStrings* Record = nullptr;
  const TSamplerRecordTime* Time = nullptr;
  bool Consume = false;  // the item advances after the line (once per item and line)
};

// ---- life ---------------------------------------------------------------------------------

TMultiSampler::TMultiSampler(int aLogId) : FLogId(aLogId), FClock([] { return UtcNowMs(); }) {}

TMultiSampler::~TMultiSampler() {
  // The derived part (messages) is gone already: files close without messages.
  for (auto& def : FDefinitionList)
    if (def) def->FSamplingFile.Close();
}

void TMultiSampler::DebugLog(const std::string& text) const {
  if (LogWanted(FLogId)) LogInfo(FLogId, FDbgTag + text);
}

void TMultiSampler::DebugLog(const std::function<std::string()>& text) const {
  if (LogWanted(FLogId)) LogInfo(FLogId, FDbgTag + text());
}

TUtcMs TMultiSampler::Now() const { return FClock(); }

TLogLineCounts TMultiSampler::LineCounts() const {
  std::lock_guard lock(FLockObj);
  return {FLinesWritten, FLinesLost};
}

std::string TMultiSampler::NowTimeString() const {
  return FormatDateTime(FOptions.LogTimeFormat, Now(), FOptions.LogTimeZoneSystem);
}

// ---- feeding ------------------------------------------------------------------------------

void TMultiSampler::AddStrings(int sIndex, bool sCopy, const TMultiSamplerStrings& reportStrings,
                               const TSamplerRecordTime& time) {
  AddRecord(sIndex, sCopy, sscStandard, reportStrings, time);
}

void TMultiSampler::AddStringsSpecial(int sIndex, bool sCopy, const TMultiSamplerStrings& reportStrings,
                                      const TSamplerRecordTime& time) {
  AddRecord(sIndex, sCopy, sscSpecial, reportStrings, time);
}

void TMultiSampler::AddStringsVirtual(int sIndex, bool sCopy, const TMultiSamplerStrings& reportStrings,
                                      const TSamplerRecordTime& time) {
  AddRecord(sIndex, sCopy, sscVirtual, reportStrings, time);
}

void TMultiSampler::AddString(int sIndex, bool sCopy, const std::string& text) {
  AddRecord(sIndex, sCopy, sscStandard, OneStringRecord(text));
}

void TMultiSampler::AddStringVirtual(int sIndex, bool sCopy, const std::string& text) {
  AddRecord(sIndex, sCopy, sscVirtual, OneStringRecord(text));
}

void TMultiSampler::AddStringAvgShort(int sIndex, bool sCopy, const std::string& text, const TSamplerRecordTime& time) {
  AddRecord(sIndex, sCopy, sscAvgShort, OneStringRecord(text), time);
}

void TMultiSampler::AddStringAvgLong(int sIndex, bool sCopy, const std::string& text, const TSamplerRecordTime& time) {
  AddRecord(sIndex, sCopy, sscAvgLong, OneStringRecord(text), time);
}

void TMultiSampler::AddRecord(int sIndex, bool sCopy, TSamplerStringClass stringClass, TMultiSamplerStrings record,
                              const TSamplerRecordTime& time) {
  std::lock_guard lock(FLockObj);
  if (!HasAnyDefinition()) return;
  TMultiSamplerSession* session = FindSession(sIndex, sCopy);
  if (!session || !session->HasItemOfClass(stringClass)) return;
  try {
    const uint64_t dropped = session->Buffer(stringClass).Add(std::move(record), time);
    if (dropped > 0 && LogWanted(FLogId))
      LogInfo(FLogId, session->FDbgTag + ".Add " + StringClassName(stringClass) + ": buffer full, " +
                          std::to_string(dropped) + " oldest records dropped");
    CheckLogging(*session, stringClass);
  } catch (const std::exception& e) {
    if (LogWanted(FLogId)) LogError(FLogId, session->FDbgTag + ".AddRecord failed: " + e.what());
    throw;
  }
}

void TMultiSampler::AddTimeStamp(int sIndex, bool sCopy, int64_t aTimeStamp) {
  std::lock_guard lock(FLockObj);
  TMultiSamplerSession* session = FindSession(sIndex, sCopy);
  if (!session) return;
  session->FTimeStamp = aTimeStamp;
  for (auto& item : session->FProtocolList) {
    if (item->FTimeStampStartValue == -1) item->FTimeStampStartValue = aTimeStamp;
    if (!item->FTimeSynchroNeeded) continue;
    // Records of every class follow their report's stamp in their own buffer.
    item->FTimeIndex = session->Buffer(item->FStringClass).End();
    ++item->FTimeStampCount;
    item->FSynchroWait = true;
    if (TMultiSamplerDefinition* def = Definition(item->FDefIndex)) {
      if (item->FRound == def->FRound) ++def->FRound;
      item->FRound = def->FRound;
    }
  }
}

void TMultiSampler::SetSessionSyncTime(int sIndex, bool sCopy, const std::string& syncTime) {
  std::lock_guard lock(FLockObj);
  TMultiSamplerSession* session = FindSession(sIndex, sCopy);
  if (!session) return;
  // Always 12 characters, so the column never shifts.
  std::string text = syncTime.size() < 12 ? std::string(12 - syncTime.size(), ' ') + syncTime : syncTime;
  session->FSyncTime = text.substr(0, 12);
}

void TMultiSampler::AddWarning(int sIndex, bool sCopy, const std::string& text) {
  std::lock_guard lock(FLockObj);
  for (TMultiSamplerDefinition* def : EnabledDefinitions()) {
    if (!def->LogDef().HasSource(sIndex, sCopy)) continue;
    if (def->LogDef().AddHeader())
      CloseDefinitionFile(*def, text, TCloseKind::Reset);
    else
      WriteComment(*def, text);
  }
}

void TMultiSampler::UpdateSession(int sIndex, bool sCopy, int what, const std::string& text) {
  std::lock_guard lock(FLockObj);
  TMultiSamplerSession* session = FindSession(sIndex, sCopy);
  if (!session) return;
  const std::string reason = text.empty() ? GetUpdateText(what, session->Letter()) : text;
  DebugLog(".UpdateSession[" + std::to_string(sIndex) + "/" + (sCopy ? "1" : "0") + "] what=" +
           std::to_string(what) + " " + reason);
  UpdateSessionEvent(*session, what, reason);
}

// ---- deciding and writing lines ---------------------------------------------------------

void TMultiSampler::CheckLogging(TMultiSamplerSession& session, TSamplerStringClass stringClass) {
  std::vector<int> defIndexes;
  for (const auto& item : session.FProtocolList)
    if (item->FStringClass == stringClass) defIndexes.push_back(item->FDefIndex);
  for (int dIndex : defIndexes) {
    TMultiSamplerDefinition* def = Definition(dIndex);
    if (def && def->LogDef().Enabled() && def->LogDef().Count() > 0) ProcessDefinition(*def, stringClass);
  }
  PruneBuffer(session, stringClass);
}

// A line is written when the main part has its next record and every part
// of the triggering class has what it needs (and, for counters paired on
// time stamps, their records belong to the same stamp). Several lines may be
// due at once: the record of a slower counter releases every line of the
// faster main counter that waited for its stamp. Each line uses up a main
// record, so the loop ends with them.
void TMultiSampler::ProcessDefinition(TMultiSamplerDefinition& def, TSamplerStringClass trigger) {
  const TLogDefinition& logDef = def.LogDef();
  int resyncs = 0;  // a re-synchronisation may find its line at once, but never twice in a row
  while (resyncs < 2) {
    for (int p = 0; p < logDef.Count(); ++p) {
      if (p != 0 && logDef.GetDefinition(p)->FStringClass != trigger) continue;
      if (!CheckLogStrings(def, p)) return;
    }
    if (def.FTimeSynchroNeeded && !CheckTimeSynchro(def)) return;
    resyncs = GenerateLogStrings(def) ? 0 : resyncs + 1;
  }
}

bool TMultiSampler::CheckLogStrings(const TMultiSamplerDefinition& def, int partIndex) {
  const TSimpleLogDefinition& part = *def.LogDef().GetDefinition(partIndex);
  const bool isMain = partIndex == 0;
  const TMultiSamplerSession* session = FindSession(part.FSource, part.FSourceCopy);
  // Without its session a part writes dashes; without the main session nothing paces the file.
  if (!session) return !isMain;
  const TMultiProtocolItem* item = session->FindItem(def.FDefIndex, part.FStringClass);
  if (!item) return !isMain;
  const TSamplerRecordBuffer& buffer = session->Buffer(part.FStringClass);
  const int64_t first = buffer.First();
  const int64_t end = buffer.End();
  const bool positioned = item->FNextDataIndex >= 0 && !(item->FTimeSynchroNeeded && !item->FfirstLineDone);
  const int64_t next = positioned ? std::max(RoundedIndex(item->FNextDataIndex), first) : first;
  if (isMain) return end - next >= 1;
  if (item->FKeepLastReport) {
    const int64_t needed = session->FSession->Kind() == TSamplerSessionKind::Sensor ? 1 : 0;
    return end - first >= needed;
  }
  if (positioned) return end - next >= 1;
  const int64_t needed = std::max<int64_t>(1, static_cast<int64_t>(std::ceil(item->FNeeded)));
  return end - first >= needed;
}

// Said once per definition, when the number has not come for a while (at a
// start it comes within a few display ticks).
void TMultiSampler::SerialNumberMissing(TMultiSamplerDefinition& def, char letter) {
  const TUtcMs now = Now();
  if (!def.FSerialMissingSince || now < *def.FSerialMissingSince) def.FSerialMissingSince = now;
  if (def.FSerialMissingShown || now - *def.FSerialMissingSince < kSerialWaitMs) return;
  def.FSerialMissingShown = true;
  AddWarningWaiting("Log " + def.LogDef().FileName() + ": source " + std::string(1, letter) +
                    " reports no serial number; lines of several counters are written only with it");
}

bool TMultiSampler::CheckTimeSynchro(TMultiSamplerDefinition& def) {
  struct TSeen {
    int64_t Serial;
    int64_t Stamp;
    int64_t Count;
    bool HasTimeIndex;
  };
  std::vector<TSeen> seen;
  const TLogDefinition& logDef = def.LogDef();
  auto fail = [&](int p, const char* reason) {
    if (LogWanted(FLogId))
      LogInfo(FLogId, def.FDbgTag + ".CheckTimeSynchro part " + std::to_string(p) + ": " + reason);
    return false;
  };
  for (int p = 0; p < logDef.Count(); ++p) {
    const TSimpleLogDefinition& part = *logDef.GetDefinition(p);
    if ((part.FTypes & (LogType::CounterMask | LogType::VirtualMask)) == 0) continue;
    TMultiSamplerSession* session = FindSession(part.FSource, part.FSourceCopy);
    if (!session || session->FSession->Kind() != TSamplerSessionKind::Counter) continue;
    TMultiProtocolItem* item = session->FindItem(def.FDefIndex, part.FStringClass);
    if (!item || !item->FTimeSynchroNeeded) continue;
    const int64_t serial = session->FSession->SerialNumber();
    if (serial < 0) {
      SerialNumberMissing(def, session->Letter());
      return fail(p, "missing serial number");
    }
    item->FSerialNumber = serial;
    const TSamplerRecordBuffer& buffer = session->Buffer(part.FStringClass);
    if (item->FfirstLineDone) {
      if (RoundedIndex(item->FNextDataIndex) >= buffer.End()) return fail(p, "missing report");
    } else {
      // A stamp whose records were dropped is as good as none: wait for the next.
      if (item->FTimeIndex < 0 || item->FTimeIndex < buffer.First()) return fail(p, "no timestamp");
      if (buffer.End() < item->FTimeIndex + 1) return fail(p, "missing report for timestamp");
      // Counters stamp the same second one after the other: pair only stamps of one round.
      if (item->FRound != def.FRound) return fail(p, "time stamp of another round");
    }
    const TSeen current{serial, session->FTimeStamp, item->FTimeStampCount, item->FTimeIndex >= 0};
    const TSeen* reference = nullptr;
    if (logDef.DifferentDevices()) {
      for (auto it = seen.rbegin(); it != seen.rend() && !reference; ++it)
        if (it->Serial == serial) reference = &*it;
    }
    if (!reference && !seen.empty()) reference = &seen.front();
    if (reference) {
      if (reference->Serial == serial) {
        // One device: its sessions must have seen the same stamp.
        if (reference->Stamp != current.Stamp) return fail(p, "ungleiche Zeitstempel");
      } else if (def.IsOpen() && !def.FResync && reference->Count != current.Count) {
        const TSeen& fewer = reference->Count < current.Count ? *reference : current;
        if (fewer.HasTimeIndex) return fail(p, "ungleiche Anzahl Zeitstempel");
      }
    }
    seen.push_back(current);
  }
  return true;
}

TMultiSampler::TResolveResult TMultiSampler::ResolveRecords(TMultiSamplerDefinition& def,
                                                            std::vector<TResolvedPart>& resolved,
                                                            std::vector<std::string>& lossTexts) {
  const TLogDefinition& logDef = def.LogDef();
  resolved.assign(static_cast<std::size_t>(logDef.Count()), TResolvedPart{});
  for (int p = 0; p < logDef.Count(); ++p) {
    const TSimpleLogDefinition& part = *logDef.GetDefinition(p);
    TResolvedPart& out = resolved[static_cast<std::size_t>(p)];
    out.Session = FindSession(part.FSource, part.FSourceCopy);
    if (!out.Session) {
      DebugLog([&] { return ".GetSampleData part " + std::to_string(p) + ": no session " + SessionLetter(part.FSource); });
      continue;
    }
    out.Item = out.Session->FindItem(def.FDefIndex, part.FStringClass);
    if (!out.Item) continue;
    // Two parts on one item read the same record and advance it once.
    bool shared = false;
    for (int q = 0; q < p && !shared; ++q) {
      if (resolved[static_cast<std::size_t>(q)].Item != out.Item) continue;
      out.Record = resolved[static_cast<std::size_t>(q)].Record;
      shared = true;
    }
    if (shared) continue;
    TMultiProtocolItem& item = *out.Item;
    const TSamplerRecordBuffer& buffer = out.Session->Buffer(part.FStringClass);
    if (buffer.Empty()) {
      DebugLog([&] { return ".GetSampleData part " + std::to_string(p) + ": empty buffer"; });
      continue;
    }
    const int64_t first = buffer.First();
    const int64_t end = buffer.End();
    double position;
    if (item.FTimeSynchroNeeded && !item.FfirstLineDone)
      position = item.FTimeIndex >= 0 && item.FTimeIndex < end ? static_cast<double>(item.FTimeIndex) : -1;
    else if (item.FNextDataIndex < 0)
      position = static_cast<double>(item.FfirstLineDone ? first : end - 1);  // a new file starts with current data
    else
      position = item.FNextDataIndex;
    item.FNextDataIndex = position;
    int64_t record = RoundedIndex(position);
    if (record < 0) continue;
    if (item.FKeepLastReport) {
      record = std::min(record, end - 1);
      if (record < first) {
        record = first;
        item.FNextDataIndex = static_cast<double>(first);
      }
    } else if (record < first) {
      if (item.FTimeSynchroNeeded) return TResolveResult::Resync;
      lossTexts.push_back(LostRecordsText(out.Session->Letter(), first - record));
      record = first;
      item.FNextDataIndex = static_cast<double>(first);
    }
    if (record >= end) {
      DebugLog([&] { return ".GetSampleData part " + std::to_string(p) + ": record " + std::to_string(record) + " not there"; });
      continue;
    }
    if (item.FLossFrom >= 0) {
      if (record > item.FLossFrom) lossTexts.push_back(LostRecordsText(out.Session->Letter(), record - item.FLossFrom));
      item.FLossFrom = -1;
    }
    out.Record = buffer.Get(record);
    out.Time = buffer.GetTime(record);
    out.Consume = true;
  }
  return TResolveResult::Ok;
}

// Synchronised parts lost records: pairing them from where each one stopped
// would join different seconds, so they start again at their latest stamp and
// the skipped records are reported with the next line.
void TMultiSampler::Resynchronise(TMultiSamplerDefinition& def) {
  DebugLog(".Resynchronise " + def.FDbgTag);
  for (auto& session : FSessionList) {
    for (auto& item : session->FProtocolList) {
      if (item->FDefIndex != def.FDefIndex || !item->FTimeSynchroNeeded) continue;
      if (item->FLossFrom < 0 && item->FNextDataIndex >= 0) item->FLossFrom = RoundedIndex(item->FNextDataIndex);
      item->FNextDataIndex = -1;
      item->FfirstLineDone = false;
    }
  }
  def.FResync = true;
}

std::vector<TSamplerLinePart> TMultiSampler::LineParts(const TMultiSamplerDefinition& def,
                                                       const std::vector<TResolvedPart>& resolved) const {
  std::vector<TSamplerLinePart> parts(resolved.size());
  static const TSamplerPartLayout kAbsent;
  for (std::size_t p = 0; p < resolved.size(); ++p) {
    parts[p].Part = def.LogDef().GetDefinition(static_cast<int>(p));
    parts[p].Layout = p < def.FLayout.size() ? &def.FLayout[p] : &kAbsent;
    parts[p].Record = resolved[p].Record;
    parts[p].SyncTime = resolved[p].Session ? &resolved[p].Session->FSyncTime : nullptr;
  }
  return parts;
}

bool TMultiSampler::GenerateLogStrings(TMultiSamplerDefinition& def) {
  std::vector<TResolvedPart> resolved;
  std::vector<std::string> lossTexts;
  const TResolveResult result = ResolveRecords(def, resolved, lossTexts);
  // Written with this line's time, just before it.
  for (const std::string& text : lossTexts) QueueComment(def, text);
  if (result == TResolveResult::Resync) {
    Resynchronise(def);
    return false;
  }
  if (def.FTimeSynchroNeeded && (!def.IsOpen() || def.FResync)) {
    // The stamps are counted from this first line on.
    for (auto& session : FSessionList)
      for (auto& item : session->FProtocolList)
        if (item->FDefIndex == def.FDefIndex && item->FTimeSynchroNeeded) {
          item->FTimeStampCount = 1;
          item->FTimeStampStartValue = session->FTimeStamp;
        }
    def.FResync = false;
  }

  // A line is stamped and its file dated by when its main record was made,
  // however far the writer is behind.
  const TSamplerRecordTime* mainTime = resolved.empty() ? nullptr : resolved[0].Time;
  const TUtcMs now = Now();
  def.FLineTime = mainTime && mainTime->Evaluated ? *mainTime->Evaluated : now;
  def.FLineDate.reset();
  if (mainTime) def.FLineDate = mainTime->Session ? mainTime->Session : mainTime->Evaluated;
  CheckNewFile(def);
  const TMultiSamplerStrings* mainRecord = resolved.empty() ? nullptr : resolved[0].Record;
  def.FTimeString = GetTimeString(def, mainRecord);
  bool written = false;
  if (def.IsOpen() || OpenDefinitionFile(def)) {
    std::string columns = GetSampleData(def, LineParts(def, resolved));
    const char separator = DecimalSeparatorOf(columns);
    if (separator != 0 && separator != def.FDecimalSeparator) {
      // A file keeps one separator: a line with the other one starts the next file.
      const bool split = def.FSamplingFile.DataLines() > 0;
      def.FDecimalSeparator = separator;
      if (split) {
        CloseDefinitionFile(def, "Floating point format changed", TCloseKind::Rotation);
        if (OpenDefinitionFile(def)) columns = GetSampleData(def, LineParts(def, resolved));
      }
    }
    if (def.IsOpen()) WritePendingComments(def);
    if (def.IsOpen()) written = WriteFileLine(def, def.FTimeString + columns, true);
  }
  if (written)
    ++FLinesWritten;
  else
    ++FLinesLost;
  if (!written) {
    ++def.FLinesNotWritten;
    DebugLog([&] { return ".GenerateLogStrings " + def.FDbgTag + ": line not written"; });
  }
  // The records are used up whether or not the line reached a file: a
  // folder that cannot be written must not fill the buffers.
  for (TResolvedPart& part : resolved)
    if (part.Consume) SetLogDone(*part.Session, *part.Item);
  return true;
}

void TMultiSampler::SetLogDone(TMultiSamplerSession& session, TMultiProtocolItem& item) {
  item.FNextDataIndex += item.FNeeded;
  item.FSynchroWait = false;
  item.FfirstLineDone = true;
  PruneBuffer(session, item.FStringClass);
}

// Drops the records no item of the class needs any more.
void TMultiSampler::PruneBuffer(TMultiSamplerSession& session, TSamplerStringClass stringClass) {
  TSamplerRecordBuffer& buffer = session.Buffer(stringClass);
  const int64_t end = buffer.End();
  int64_t lowest = std::numeric_limits<int64_t>::max();
  for (const auto& item : session.FProtocolList) {
    if (item->FStringClass != stringClass) continue;
    int64_t needed;
    if (item->FTimeSynchroNeeded && !item->FfirstLineDone) {
      needed = item->FTimeIndex >= 0 ? item->FTimeIndex : end;
    } else if (item->FNextDataIndex >= 0) {
      needed = RoundedIndex(item->FNextDataIndex);
      if (item->FKeepLastReport) needed = std::min(needed, end - 1);
    } else {
      // Before its first line a part takes the newest record (after `factor` of them arrived).
      const int64_t keep =
          item->FKeepLastReport ? 1 : std::max<int64_t>(1, static_cast<int64_t>(std::ceil(item->FNeeded)));
      needed = end - keep;
    }
    lowest = std::min(lowest, needed);
  }
  if (lowest == std::numeric_limits<int64_t>::max()) {
    buffer.Clear();
    return;
  }
  buffer.DropBefore(lowest);
}

void TMultiSampler::ResetItems(TMultiSamplerDefinition& def) {
  for (auto& session : FSessionList)
    for (auto& item : session->FProtocolList)
      if (item->FDefIndex == def.FDefIndex) item->ResetPosition();
  def.FResync = false;
}

TUtcMs TMultiSampler::MainSessionTime(const TMultiSamplerDefinition& def) const {
  if (def.FLineDate) return *def.FLineDate;
  if (const TSimpleLogDefinition* main = def.LogDef().GetDefinition(0))
    if (const TMultiSamplerSession* session = FindSession(main->FSource, main->FSourceCopy))
      if (const std::optional<TUtcMs> time = session->FSession->SessionTime()) return *time;
  return Now();
}

void TMultiSampler::CheckNewFile(TMultiSamplerDefinition& def) {
  if (!def.IsOpen()) return;
  const bool utc = FOptions.LogTimeZoneSystem;
  if (DayNumber(MainSessionTime(def), utc) > DayNumber(def.FFileDate, utc)) {
    CloseDefinitionFile(def, "New Day", TCloseKind::Rotation);
    return;
  }
  const int64_t limit = def.LogDef().FileSize();
  if (limit > 0 && def.FSamplingFile.Bytes() >= static_cast<uint64_t>(limit))
    CloseDefinitionFile(def, "File size reached", TCloseKind::Rotation);
}

std::string TMultiSampler::FolderOf(const TLogDefinition& logDef) const {
  return SplitLogFileName(logDef.FileName(), FOptions.DefaultFolder).Path;
}

bool TMultiSampler::WriteRetryDue(const TMultiSamplerDefinition& def) const {
  if (!def.FWriteFailedAt) return true;
  const TUtcMs now = Now();
  return now < *def.FWriteFailedAt || now - *def.FWriteFailedAt >= kWriteRetryMs;  // or the clock went back
}

// The file is announced once its header (and the statement of the lines lost
// before it) is in it: a file that cannot be written is never announced.
bool TMultiSampler::OpenDefinitionFile(TMultiSamplerDefinition& def) {
  if (!WriteRetryDue(def)) return false;
  const TLogDefinition& logDef = def.LogDef();
  const TLogFileNameParts nameParts = SplitLogFileName(logDef.FileName(), FOptions.DefaultFolder);
  const TUtcMs when = MainSessionTime(def);
  const std::string date = FormatDateTime("YYMMDD", when, FOptions.LogTimeZoneSystem);
  std::string folderError;
  if (!CreateLogFolder(nameParts.Path, folderError))
    DebugLog(".OpenFile folder " + nameParts.Path + ": " + folderError);
  const std::string name = NextLogFileName(nameParts, date, logDef.PrependDate(), [](const std::string& candidate) {
    std::error_code ignored;
    return std::filesystem::exists(candidate, ignored);
  });

  std::vector<TSamplerHeaderPart> headerParts(static_cast<std::size_t>(logDef.Count()));
  for (int p = 0; p < logDef.Count(); ++p) {
    TSamplerHeaderPart& out = headerParts[static_cast<std::size_t>(p)];
    out.Part = logDef.GetDefinition(p);
    out.Letter = SessionLetter(out.Part->FSource);
    const TMultiSamplerSession* session = FindSession(out.Part->FSource, out.Part->FSourceCopy);
    if (!session) continue;
    out.Info = session->FSession->HeaderInfo();
    out.Layout.Present = true;
    out.Layout.Kind = session->FSession->Kind();
    out.Layout.Channels = std::clamp(out.Info.ChannelCount, 0, kLogChannels);
    out.Layout.QMTChannels = std::clamp(out.Info.QMTChannelCount, 0, kLogChannels);
    out.Layout.VirtualChannels = std::clamp(out.Info.VirtualCount, 0, kLogChannels);
    out.Layout.VirtualQMTChannels = std::clamp(out.Info.VirtualQMTCount, 0, kLogChannels);
    out.Layout.PDICards = std::clamp(out.Info.PDICards, 0, kLogChannels);
  }

  std::string error;
  if (!def.FSamplingFile.Open(name, error)) {
    // A folder that could not be made is the cause, not the missing file.
    WriteFailed(def, name, folderError.empty() ? error : "folder " + nameParts.Path + ": " + folderError);
    def.FWriteFailedAt = Now();
    return false;
  }
  def.FFileDate = when;
  def.FLayout.clear();
  for (const TSamplerHeaderPart& part : headerParts) def.FLayout.push_back(part.Layout);
  DebugLog(".OpenFile " + def.FDbgTag + " " + name);
  if (logDef.AddHeader()) {
    for (const std::string& line : GetHeaderLines(def, headerParts))
      if (!WriteFileLine(def, line, false)) return false;
  }
  if (def.FLinesNotWritten > 0) {
    WriteComment(def, std::to_string(def.FLinesNotWritten) + " lines lost (log file not written)");
    if (!def.IsOpen()) return false;
    def.FLinesNotWritten = 0;
  }
  def.FWriteFailedAt.reset();
  AddInfoOpen(name);
  return true;
}

void TMultiSampler::WriteFailed(TMultiSamplerDefinition& def, const std::string& fileName, const std::string& reason) {
  if (LogWanted(FLogId)) LogError(FLogId, def.FDbgTag + ".Write " + fileName + ": " + reason);
  if (def.FWriteErrorShown) return;
  def.FWriteErrorShown = true;
  AddErrorClose("Log file not written: " + fileName + ": " + reason);
}

// A file that failed a write is given up (kept when it holds data lines);
// the next line opens a new one.
void TMultiSampler::AbandonFile(TMultiSamplerDefinition& def, const std::string& reason) {
  WriteFailed(def, def.FSamplingFile.Name(), reason);
  def.FSamplingFile.Close(TSamplerLogFile::TCloseMode::DeleteIfNoDataLine);
  def.FLayout.clear();
  def.FResetText = "Log file not written: " + reason;
  def.FWriteFailedAt = Now();
}

bool TMultiSampler::WriteFileLine(TMultiSamplerDefinition& def, const std::string& text, bool dataLine) {
  std::string error;
  if (!def.FSamplingFile.WriteLine(text, dataLine, error)) {
    AbandonFile(def, error);
    return false;
  }
  if (dataLine) def.FWriteErrorShown = false;
  return true;
}

void TMultiSampler::WritePendingComments(TMultiSamplerDefinition& def) {
  std::vector<std::string> texts;
  texts.swap(def.FPendingComments);
  for (const std::string& text : texts) WriteComment(def, text);
}

void TMultiSampler::QueueComment(TMultiSamplerDefinition& def, const std::string& text) {
  if (def.FPendingComments.size() < kMaxPendingComments) def.FPendingComments.push_back(text);
}

void TMultiSampler::WriteComment(TMultiSamplerDefinition& def, const std::string& text) {
  if (!def.IsOpen()) {
    QueueComment(def, text);
    return;
  }
  const std::string time = def.FTimeString.empty() ? NowTimeString() : def.FTimeString;
  WriteFileLine(def, time + "# # " + text + " #", false);
}

void TMultiSampler::CloseDefinitionFile(TMultiSamplerDefinition& def, const std::string& reason, TCloseKind kind) {
  if (def.IsOpen()) {
    const std::string name = def.FSamplingFile.Name();
    def.FSamplingFile.Close(kind == TCloseKind::Discard ? TSamplerLogFile::TCloseMode::DeleteIfNoDataLine
                                                        : TSamplerLogFile::TCloseMode::DeleteIfEmpty);
    DebugLog(".CloseFile " + def.FDbgTag + " (" + reason + ") " + name);
    if (kind != TCloseKind::Discard)
      AddInfoClose(reason.empty() ? "Log closed " + name : "Log closed (" + reason + "): " + name);
  }
  def.FLayout.clear();
  if (kind != TCloseKind::Rotation) ResetItems(def);
  if (!reason.empty()) def.FResetText = reason;
}

// ---- source events ---------------------------------------------------------------------

std::string TMultiSampler::GetUpdateText(int what, char letter) const {
  const char* text = nullptr;
  switch (what) {
    case SamplerEvent::ChannelCount:
    case SamplerEvent::HeaderChanged: text = "Header changed"; break;
    case SamplerEvent::MeasurementSettings: text = "Measurement settings changed"; break;
    case SamplerEvent::DataCleared: text = "Data cleared"; break;
    case SamplerEvent::Text: text = ""; break;
    case SamplerEvent::VirtualChanged: text = "Virtual definitions changed"; break;
    default: return "Source " + std::string(1, letter) + " event " + std::to_string(what);
  }
  return "Source " + std::string(1, letter) + " " + text;
}

void TMultiSampler::UpdateSessionEvent(TMultiSamplerSession& session, int what, const std::string& reason) {
  const int sIndex = session.Index();
  const bool sCopy = session.IsCopy();
  const bool counterSession = session.FSession->Kind() == TSamplerSessionKind::Counter;
  for (TMultiSamplerDefinition* def : DefinitionsOfSession(session)) {
    const TLogDefinition& logDef = def->LogDef();
    const bool open = def->IsOpen();
    switch (what) {
      case SamplerEvent::ChannelCount:
        if (open && logDef.HasDefinitionMask(sIndex, sCopy, LogType::CounterMask))
          CloseDefinitionFile(*def, reason, TCloseKind::Reset);
        break;
      case SamplerEvent::HeaderChanged:
        if (open && logDef.AddHeader()) CloseDefinitionFile(*def, reason, TCloseKind::Reset);
        break;
      case SamplerEvent::MeasurementSettings:
        if (counterSession && logDef.HasDefinitionMask(sIndex, sCopy, LogType::CounterMask))
          CloseDefinitionFile(*def, reason, TCloseKind::Reset);
        break;
      case SamplerEvent::Text:
        if (!open) break;
        if (logDef.AddHeader())
          CloseDefinitionFile(*def, reason, TCloseKind::Reset);
        else
          WriteComment(*def, reason);
        break;
      case SamplerEvent::VirtualChanged:
        if (open && (logDef.HasDefinitionMask(sIndex, sCopy, LogType::VirtualMask) ||
                     logDef.HasStringClass(sIndex, sCopy, sscVirtual)))
          CloseDefinitionFile(*def, reason, TCloseKind::Reset);
        break;
      case SamplerEvent::DeviceError:
        if (open && counterSession) CloseDefinitionFile(*def, reason, TCloseKind::Reset);
        break;
      case SamplerEvent::QMTChannels:
        if (open && logDef.HasDefinitionMask(sIndex, sCopy, LogType::QMTMask))
          CloseDefinitionFile(*def, reason, TCloseKind::Reset);
        break;
      default:
        break;
    }
  }
  if (what == SamplerEvent::MeasurementSettings) LogDefinitionsChanged(sIndex);
}

void TMultiSampler::ClearSessionBuffers(TMultiSamplerSession& session) {
  for (TSamplerRecordBuffer& buffer : session.FBuffers) buffer.Clear();
  std::set<int> touched;
  for (auto& item : session.FProtocolList) {
    item->FNextDataIndex = -1;
    item->FTimeIndex = -1;
    item->FfirstLineDone = false;
    item->FLossFrom = -1;
    touched.insert(item->FDefIndex);
  }
  // Open files go on; their synchronised parts pair anew.
  for (int dIndex : touched)
    if (TMultiSamplerDefinition* def = Definition(dIndex); def && def->IsOpen() && def->FTimeSynchroNeeded)
      def->FResync = true;
}

std::vector<TMultiSamplerDefinition*> TMultiSampler::DefinitionsOfSession(const TMultiSamplerSession& session) {
  std::set<int> indexes;
  for (const auto& item : session.FProtocolList) indexes.insert(item->FDefIndex);
  std::vector<TMultiSamplerDefinition*> result;
  for (int dIndex : indexes)
    if (TMultiSamplerDefinition* def = Definition(dIndex); def && def->LogDef().Enabled()) result.push_back(def);
  return result;
}

// ---- definitions --------------------------------------------------------------------------

TMultiSamplerDefinition* TMultiSampler::Definition(int dIndex) const {
  if (dIndex < 0 || dIndex >= static_cast<int>(FDefinitionList.size())) return nullptr;
  return FDefinitionList[static_cast<std::size_t>(dIndex)].get();
}

bool TMultiSampler::HasAnyDefinition() const {
  for (const auto& def : FDefinitionList)
    if (def) return true;
  return false;
}

std::vector<TMultiSamplerDefinition*> TMultiSampler::EnabledDefinitions() {
  std::vector<TMultiSamplerDefinition*> result;
  for (auto& def : FDefinitionList)
    if (def && def->LogDef().Enabled()) result.push_back(def.get());
  return result;
}

TMultiSamplerSession* TMultiSampler::FindSession(int sIndex, bool sCopy) const {
  for (const auto& session : FSessionList)
    if (session->Index() == sIndex && session->IsCopy() == sCopy) return session.get();
  return nullptr;
}

void TMultiSampler::ReadSettings(TAppSettings& settings) {
  std::lock_guard lock(FLockObj);
  BeginUpdate();
  try {
    for (auto& logDef : ReadLogDefinitions(settings)) AddDefinition(std::move(logDef));
  } catch (...) {
    EndUpdate();
    throw;
  }
  EndUpdate();
}

void TMultiSampler::SaveSettings(TAppSettings& settings) const {
  std::lock_guard lock(FLockObj);
  std::vector<const TLogDefinition*> definitions;
  for (const auto& def : FDefinitionList)
    if (def) definitions.push_back(&def->LogDef());
  SaveLogDefinitions(settings, definitions);
}

void TMultiSampler::BeginUpdate() {
  std::lock_guard lock(FLockObj);
  ++FUpdateCounter;
}

void TMultiSampler::EndUpdate() {
  std::lock_guard lock(FLockObj);
  if (FUpdateCounter == 0) return;
  if (--FUpdateCounter == 0 && FLogDefinitionsChangeNeeded) {
    FLogDefinitionsChangeNeeded = false;
    LogDefinitionsChanged(-1);
  }
}

int TMultiSampler::AddDefinition(std::unique_ptr<TLogDefinition> aLogDef) {
  std::lock_guard lock(FLockObj);
  if (!aLogDef) return -1;
  std::size_t slot = 0;
  while (slot < FDefinitionList.size() && FDefinitionList[slot]) ++slot;
  if (slot == FDefinitionList.size()) FDefinitionList.emplace_back();
  std::string error;
  if (!CreateLogFolder(FolderOf(*aLogDef), error)) DebugLog(".AddDefinition folder " + FolderOf(*aLogDef) + ": " + error);
  FDefinitionList[slot] =
      std::make_unique<TMultiSamplerDefinition>(static_cast<int>(slot), std::move(aLogDef), FOptions.DecSepLog);
  DebugLog(".AddDefinition[" + std::to_string(slot) + "] " + FDefinitionList[slot]->LogDef().FileName());
  LogDefinitionsChanged(-1);
  return static_cast<int>(slot);
}

void TMultiSampler::ChangeDefinition(int dIndex, std::unique_ptr<TLogDefinition> aLogDef) {
  std::lock_guard lock(FLockObj);
  TMultiSamplerDefinition* def = Definition(dIndex);
  if (!def || !aLogDef) return;
  const bool sameName = def->LogDef().FileName() == aLogDef->FileName();
  const std::string reason = sameName ? "Definition changed" : kFirstCreate;
  CloseDefinitionFile(*def, reason, TCloseKind::Reset);
  std::string error;
  if (!CreateLogFolder(FolderOf(*aLogDef), error)) DebugLog(".ChangeDefinition folder: " + error);
  def->FLogDef = std::move(aLogDef);
  def->FResetText = reason;
  LogDefinitionsChanged(-1);
}

void TMultiSampler::DeleteDefinition(int dIndex, const std::string& reason) {
  TMultiSamplerDefinition* def = Definition(dIndex);
  if (!def) return;
  CloseDefinitionFile(*def, reason, TCloseKind::Reset);
  RemoveItemsOfDefinition(dIndex);
  FDefinitionList[static_cast<std::size_t>(dIndex)].reset();
}

void TMultiSampler::RemoveDefinition(int dIndex) {
  std::lock_guard lock(FLockObj);
  if (!Definition(dIndex)) return;
  DeleteDefinition(dIndex, "");
  LogDefinitionsChanged(-1);
}

void TMultiSampler::SetAddHeader(int dIndex, bool value) {
  std::lock_guard lock(FLockObj);
  TMultiSamplerDefinition* def = Definition(dIndex);
  if (!def || def->LogDef().AddHeader() == value) return;
  CloseDefinitionFile(*def, "Header changed", TCloseKind::Reset);
  def->LogDef().SetAddHeader(value);
}

void TMultiSampler::SetEnabled(int dIndex, bool value) {
  std::lock_guard lock(FLockObj);
  TMultiSamplerDefinition* def = Definition(dIndex);
  if (!def || def->LogDef().Enabled() == value) return;
  if (!value) CloseDefinitionFile(*def, "", TCloseKind::Reset);
  def->FResetText = kFirstCreate;
  def->FLinesNotWritten = 0;
  def->FWriteErrorShown = false;
  def->FPendingComments.clear();
  def->LogDef().SetEnabled(value);
  LogDefinitionsChanged(-1);
}

std::unique_ptr<TLogDefinition> TMultiSampler::GetDefinition(int dIndex) const {
  std::lock_guard lock(FLockObj);
  const TMultiSamplerDefinition* def = Definition(dIndex);
  if (!def) return nullptr;
  return std::make_unique<TLogDefinition>(def->LogDef());
}

int TMultiSampler::DefinitionSlotCount() const {
  std::lock_guard lock(FLockObj);
  return static_cast<int>(FDefinitionList.size());
}

std::string TMultiSampler::CurrentFileName(int dIndex) const {
  std::lock_guard lock(FLockObj);
  const TMultiSamplerDefinition* def = Definition(dIndex);
  return def && def->IsOpen() ? def->FSamplingFile.Name() : std::string();
}

bool TMultiSampler::LogFileActive() const {
  std::lock_guard lock(FLockObj);
  for (const auto& def : FDefinitionList)
    if (def && def->LogDef().Enabled()) return true;
  return false;
}

bool TMultiSampler::GetTimeSynchroNeeded(int dIndex) const {
  std::lock_guard lock(FLockObj);
  const TMultiSamplerDefinition* def = Definition(dIndex);
  return def && def->FTimeSynchroNeeded;
}

std::vector<std::string> TMultiSampler::GetDrives() const {
  std::lock_guard lock(FLockObj);
  std::set<std::string> drives;
  for (const auto& def : FDefinitionList)
    if (def) drives.insert(MountPointOf(FolderOf(def->LogDef())));
  return {drives.begin(), drives.end()};
}

void TMultiSampler::RemoveItemsOfDefinition(int dIndex) {
  for (auto& session : FSessionList) {
    auto& list = session->FProtocolList;
    list.erase(std::remove_if(list.begin(), list.end(), [dIndex](const auto& item) { return item->FDefIndex == dIndex; }),
               list.end());
  }
}

void TMultiSampler::RefreshSamplerLogTypes() {
  for (auto& session : FSessionList) {
    uint32_t types = 0;
    for (const auto& item : session->FProtocolList) types |= item->FLogTypes;
    session->FHasLog = types;
    session->FSession->SetSamplerLogTypes(types);
  }
}

void TMultiSampler::LogDefinitionsChanged(int sIndex) {
  if (FUpdateCounter > 0) {
    FLogDefinitionsChangeNeeded = true;
    return;
  }
  for (auto& session : FSessionList)
    if (sIndex == -1 || session->Index() == sIndex)
      for (auto& item : session->FProtocolList) item->FValid = false;

  for (std::size_t d = 0; d < FDefinitionList.size(); ++d) {
    TMultiSamplerDefinition* def = FDefinitionList[d].get();
    const int dIndex = static_cast<int>(d);
    if (!def) {
      RemoveItemsOfDefinition(dIndex);
      continue;
    }
    TLogDefinition& logDef = def->LogDef();
    if (!logDef.Enabled() || logDef.Count() == 0) {
      RemoveItemsOfDefinition(dIndex);
      continue;
    }
    bool affected = sIndex == -1;
    for (int p = 0; p < logDef.Count() && !affected; ++p) affected = logDef.GetDefinition(p)->FSource == sIndex;
    if (!affected) continue;
    const TSimpleLogDefinition* mainPart = logDef.GetDefinition(0);
    const TMultiSamplerSession* mainSession = FindSession(mainPart->FSource, mainPart->FSourceCopy);
    const int mainInterval = mainSession ? mainSession->FSession->IntervalMs() : 0;
    for (int p = 0; p < logDef.Count(); ++p) {
      TSimpleLogDefinition& part = *logDef.GetDefinition(p);
      TMultiSamplerSession* session = FindSession(part.FSource, part.FSourceCopy);
      if (!session) {
        part.FReportFactor = 1.0;
        continue;
      }
      const int interval = session->FSession->IntervalMs();
      const double factor =
          mainInterval > 0 && interval > 0 ? static_cast<double>(mainInterval) / static_cast<double>(interval) : 1.0;
      part.FReportFactor = factor;
      const bool sensor = session->FSession->Kind() == TSamplerSessionKind::Sensor;
      TMultiProtocolItem* item = session->FindItem(dIndex, part.FStringClass);
      if (!item) {
        session->FProtocolList.push_back(std::make_unique<TMultiProtocolItem>());
        item = session->FProtocolList.back().get();
        item->FDefIndex = dIndex;
        item->FStringClass = part.FStringClass;
        item->ResetPosition();
      }
      if (!item->FValid) {
        item->FLogTypes = part.FTypes;
        item->FNeeded = factor;
        // A slower source, a sensor and averages (which come once per
        // period) are sampled: each line takes their newest record.
        item->FKeepLastReport = factor < 1.0 || sensor || (p != 0 && IsAverageClass(part.FStringClass));
      } else {
        item->FLogTypes |= part.FTypes;
        if (p == 0) item->FKeepLastReport = factor < 1.0 || sensor;
      }
      item->FValid = true;
      item->FSerialNumber = session->FSession->SerialNumber();
      if (LogWanted(FLogId)) LogInfo(FLogId, def->FDbgTag + ".Part " + std::to_string(p) + " " + part.ToString());
    }
  }

  for (auto& session : FSessionList) {
    auto& list = session->FProtocolList;
    list.erase(std::remove_if(list.begin(), list.end(), [](const auto& item) { return !item->FValid; }), list.end());
  }
  RefreshSamplerLogTypes();
  UpdateTimeSynchro();
  for (auto& session : FSessionList)
    for (int c = 0; c < kStringClassCount; ++c) PruneBuffer(*session, static_cast<TSamplerStringClass>(c));
}

void TMultiSampler::UpdateTimeSynchro() {
  for (auto& owned : FDefinitionList) {
    TMultiSamplerDefinition* def = owned.get();
    if (!def) continue;
    const TLogDefinition& logDef = def->LogDef();
    int counterParts = 0;
    if (logDef.Enabled()) {
      for (int p = 0; p < logDef.Count(); ++p) {
        const TSimpleLogDefinition& part = *logDef.GetDefinition(p);
        if ((part.FTypes & (LogType::CounterMask | LogType::VirtualMask)) == 0) continue;
        if (IsUnsynchronisedClass(part.FStringClass)) continue;
        const TMultiSamplerSession* session = FindSession(part.FSource, part.FSourceCopy);
        if (session && session->FSession->Kind() == TSamplerSessionKind::Counter) ++counterParts;
      }
    }
    const bool needed = counterParts > 1;
    def->FTimeSynchroNeeded = needed;
    for (auto& session : FSessionList) {
      const bool counter = session->FSession->Kind() == TSamplerSessionKind::Counter;
      for (auto& item : session->FProtocolList) {
        if (item->FDefIndex != def->FDefIndex) continue;
        const bool itemNeeds = needed && counter && !IsUnsynchronisedClass(item->FStringClass);
        if (itemNeeds == item->FTimeSynchroNeeded) continue;
        item->FTimeSynchroNeeded = itemNeeds;
        if (itemNeeds && item->FSerialNumber < 0) item->FSerialNumber = session->FSession->SerialNumber();
        item->FTimeIndex = -1;
        item->FTimeStampCount = 0;
        item->FTimeStampStartValue = -1;
        item->FRound = -1;
        item->FSynchroWait = itemNeeds;
      }
    }
  }
}

// ---- sessions -------------------------------------------------------------------------

// Removes the parts `gone` selects; a definition that changed closes its
// file (its columns change), one left without parts is deleted.
void TMultiSampler::RemovePartsWhere(const std::function<bool(const TSimpleLogDefinition&)>& gone) {
  for (std::size_t d = 0; d < FDefinitionList.size(); ++d) {
    TMultiSamplerDefinition* def = FDefinitionList[d].get();
    if (!def) continue;
    TLogDefinition& logDef = def->LogDef();
    std::string reason;
    for (int p = logDef.Count() - 1; p >= 0; --p) {
      const TSimpleLogDefinition& part = *logDef.GetDefinition(p);
      if (!gone(part)) continue;
      reason = std::string("Source ") + SessionLetter(part.FSource) + " closed";
      logDef.RemoveDefinition(p);
    }
    if (reason.empty()) continue;
    if (logDef.Count() == 0)
      DeleteDefinition(static_cast<int>(d), reason);
    else
      CloseDefinitionFile(*def, reason, TCloseKind::Reset);
  }
}

void TMultiSampler::UpdateSessionList(const std::vector<std::shared_ptr<TSamplerSource>>& list) {
  std::lock_guard lock(FLockObj);
  std::vector<std::shared_ptr<TSamplerSource>> sources;
  for (const auto& source : list)
    if (source) sources.push_back(source);
  if (sources.empty()) {
    for (std::size_t d = 0; d < FDefinitionList.size(); ++d) DeleteDefinition(static_cast<int>(d), "");
    FDefinitionList.clear();
    FSessionList.clear();
    return;
  }
  auto listed = [&](int index, bool copy) {
    return std::any_of(sources.begin(), sources.end(),
                       [&](const auto& s) { return s->Index() == index && s->IsCopy() == copy; });
  };
  bool changed = false;
  RemovePartsWhere([&](const TSimpleLogDefinition& part) {
    const bool gone = !listed(part.FSource, part.FSourceCopy);
    changed = changed || gone;
    return gone;
  });
  const std::size_t before = FSessionList.size();
  FSessionList.erase(std::remove_if(FSessionList.begin(), FSessionList.end(),
                                    [&](const auto& s) { return !listed(s->Index(), s->IsCopy()); }),
                     FSessionList.end());
  changed = changed || FSessionList.size() != before;
  for (const auto& source : sources) {
    if (TMultiSamplerSession* existing = FindSession(source->Index(), source->IsCopy())) {
      existing->FSession = source;
      continue;
    }
    FSessionList.push_back(std::make_unique<TMultiSamplerSession>(source, FMaxRecords, FMaxBytes));
    changed = true;
  }
  if (changed) LogDefinitionsChanged(-1);
}

void TMultiSampler::RemoveSession(int sIndex) {
  std::lock_guard lock(FLockObj);
  RemovePartsWhere([sIndex](const TSimpleLogDefinition& part) { return part.FSource == sIndex; });
  FSessionList.erase(std::remove_if(FSessionList.begin(), FSessionList.end(),
                                    [sIndex](const auto& s) { return s->Index() == sIndex; }),
                     FSessionList.end());
  LogDefinitionsChanged(-1);
}

void TMultiSampler::CloseFilesSession(int sIndex, bool sCopy) {
  std::lock_guard lock(FLockObj);
  const std::string reason = std::string("Source ") + SessionLetter(sIndex) + " closed";
  for (TMultiSamplerDefinition* def : EnabledDefinitions())
    if (def->LogDef().HasSource(sIndex, sCopy)) CloseDefinitionFile(*def, reason, TCloseKind::Reset);
}

void TMultiSampler::UpdateOptions(uint32_t what) {
  std::lock_guard lock(FLockObj);
  if (what & 2u) {
    for (auto& def : FDefinitionList)
      if (def) def->FDecimalSeparator = FOptions.DecSepLog;
  }
  UpdateOptionsEvent(what);
}

void TMultiSampler::TransformLinComb(int sIndex, int virtLC1, int virtLC2) {
  std::lock_guard lock(FLockObj);
  for (auto& owned : FDefinitionList) {
    if (!owned) continue;
    TLogDefinition& logDef = owned->LogDef();
    std::vector<TSimpleLogDefinition*> legacy;
    TSimpleLogDefinition* virtualPart = nullptr;
    for (int p = 0; p < logDef.Count(); ++p) {
      TSimpleLogDefinition* part = logDef.GetDefinition(p);
      if (part->FSource != sIndex || part->FSourceCopy) continue;
      if (part->FStringClass == sscStandard && (part->IsEnabled(2, 1) || part->IsEnabled(2, 2))) legacy.push_back(part);
      if (part->FStringClass == sscVirtual && !virtualPart) virtualPart = part;
    }
    if (legacy.empty()) continue;
    std::unique_ptr<TSimpleLogDefinition> created;
    if (!virtualPart) {
      created = std::make_unique<TSimpleLogDefinition>(sIndex, 0u, false, sscVirtual, TLogEnabledArray{});
      virtualPart = created.get();
    }
    for (int channel : {virtLC1, virtLC2})
      if (channel > 0 && channel <= kLogChannels) virtualPart->FEnabled[0][static_cast<std::size_t>(channel - 1)] = true;
    virtualPart->SetHasLogType(LogType::FreqAbsV);
    if (created) logDef.AddDefinition(std::move(created));
    for (TSimpleLogDefinition* part : legacy) part->FEnabled[1].fill(false);
    if (owned->IsOpen()) CloseDefinitionFile(*owned, "Definition changed", TCloseKind::Reset);
  }
  LogDefinitionsChanged(sIndex);
}

void TMultiSampler::SetOptions(const TSamplerOptions& options) {
  std::lock_guard lock(FLockObj);
  FOptions = options;
  for (auto& def : FDefinitionList)
    if (def && !def->IsOpen()) def->FDecimalSeparator = FOptions.DecSepLog;
}

void TMultiSampler::SetClock(std::function<TUtcMs()> clock) {
  std::lock_guard lock(FLockObj);
  FClock = clock ? std::move(clock) : std::function<TUtcMs()>([] { return UtcNowMs(); });
}

void TMultiSampler::CloseAll() {
  std::lock_guard lock(FLockObj);
  for (auto& def : FDefinitionList)
    if (def) CloseDefinitionFile(*def, "", TCloseKind::Reset);
}

void TMultiSampler::SetBufferCaps(std::size_t maxRecords, std::size_t maxBytes) {
  std::lock_guard lock(FLockObj);
  FMaxRecords = maxRecords;
  FMaxBytes = maxBytes;
  for (auto& session : FSessionList)
    for (TSamplerRecordBuffer& buffer : session->FBuffers) buffer.SetCaps(maxRecords, maxBytes);
}
