#include "app/output/ZEP_MultiSampler.h"

#include <utility>

#include "app/output/ZEP_SamplerColumns.h"

namespace {

constexpr int kNoSession = -2;

}  // namespace

TZEP_MultiSampler::TZEP_MultiSampler(int aLogId, TOnAddMsg onMsg) : TMultiSampler(aLogId), FOnMsg(std::move(onMsg)) {}

// ---- text of the files ----------------------------------------------------------------

std::vector<std::string> TZEP_MultiSampler::GetHeaderLines(const TMultiSamplerDefinition& def,
                                                           const std::vector<TSamplerHeaderPart>& parts) {
  const TLogDefinition& logDef = def.LogDef();
  if (!logDef.AddHeader()) return {};
  const TSamplerOptions& options = Options();
  std::vector<std::string> lines;
  lines.push_back("#Filename:  " + logDef.FileName());
  lines.push_back("#Message:   " + def.FResetText);
  lines.push_back(std::string("#Time:      ") + (options.LogTimeSourcePAV ? "PAV time" : "PC time") +
                  (options.LogTimeZoneSystem ? ", time zone UTC" : ", time zone local"));
  lines.push_back("#");
  for (const TSamplerHeaderPart& part : parts) {
    const std::vector<std::string> partLines = SamplerPartHeaderLines(part, options.DecSepLog);
    lines.insert(lines.end(), partLines.begin(), partLines.end());
  }
  std::string title;
  std::string type;
  StartTitleLines(options, title, type);
  for (const TSamplerHeaderPart& part : parts) AppendTitleColumns(part, logDef.Option(), title, type);
  lines.push_back(type);
  lines.push_back(title);
  return lines;
}

std::string TZEP_MultiSampler::GetSampleData(const TMultiSamplerDefinition& def,
                                             const std::vector<TSamplerLinePart>& parts) {
  std::string line;
  for (const TSamplerLinePart& part : parts) AppendDataColumns(part, def.LogDef().Option(), line);
  return line;
}

std::string TZEP_MultiSampler::GetTimeString(const TMultiSamplerDefinition& def, const TMultiSamplerStrings* mainRecord) {
  if (mainRecord && !(*mainRecord)[9].empty()) return (*mainRecord)[9];
  return FormatDateTime(Options().LogTimeFormat, def.FLineTime, Options().LogTimeZoneSystem);
}

// ---- messages ---------------------------------------------------------------------------

void TZEP_MultiSampler::PostMessage(int code, TMsgType kind, const std::string& text) {
  if (FOnMsg) FOnMsg(kNoSession, code, kind, text, 0);
}

void TZEP_MultiSampler::AddInfoOpen(const std::string& fileName) {
  PostMessage(kMsgLogOpened, mtInfo, "Log opened " + fileName);
}

void TZEP_MultiSampler::AddInfoClose(const std::string& text) { PostMessage(kMsgLogClosed, mtInfo, text); }

void TZEP_MultiSampler::AddErrorClose(const std::string& text) { PostMessage(kMsgLogClosed, mtError, text); }

void TZEP_MultiSampler::AddWarningWaiting(const std::string& text) { PostMessage(kMsgLogWaiting, mtWarning, text); }

// ---- events -----------------------------------------------------------------------------

std::string TZEP_MultiSampler::GetUpdateText(int what, char letter) const {
  const std::string source = "Source " + std::string(1, letter) + " ";
  switch (what) {
    case SamplerEvent::TransmitOverflow: return source + "One or more lines lost due to PAV transmit buffer overflow";
    case SamplerEvent::DeviceError: return source + "Device error message received";
    case SamplerEvent::QMTChannels: return source + "QMT Channels changed";
    case SamplerEvent::QMTCleared: return source + "QMT Data cleared";
    case SamplerEvent::Closed: return source + "closed";
    case SamplerEvent::ReferenceClock: return source + "Reference clock error";
    case SamplerEvent::QMTCalibration: return source + "QMT Calibration Data changed";
    case SamplerEvent::FirstCreate: return "First create";
    case SamplerEvent::LossOfData: return "Loss of data";
    case SamplerEvent::PVHChanged: return "PVH Data changed";
    default: return TMultiSampler::GetUpdateText(what, letter);
  }
}

void TZEP_MultiSampler::UpdateSessionEvent(TMultiSamplerSession& session, int what, const std::string& reason) {
  const int sIndex = session.Index();
  const bool sCopy = session.IsCopy();
  const std::vector<TMultiSamplerDefinition*> definitions = DefinitionsOfSession(session);
  switch (what) {
    case SamplerEvent::DataCleared:
    case SamplerEvent::QMTCleared:
      ClearSessionBuffers(session);
      return;
    case SamplerEvent::TransmitOverflow:
      ClearSessionBuffers(session);
      for (TMultiSamplerDefinition* def : definitions)
        if (def->IsOpen()) CloseDefinitionFile(*def, reason, TCloseKind::Reset);
      return;
    case SamplerEvent::Closed:
    case SamplerEvent::ReferenceClock:
    case SamplerEvent::LossOfData:
      ClearSessionBuffers(session);
      for (TMultiSamplerDefinition* def : definitions) CloseDefinitionFile(*def, reason, TCloseKind::Reset);
      return;
    case SamplerEvent::QMTCalibration:
      for (TMultiSamplerDefinition* def : definitions)
        if (def->LogDef().HasDefinitionMask(sIndex, sCopy, LogType::QMTMask))
          CloseDefinitionFile(*def, reason, TCloseKind::Reset);
      return;
    case SamplerEvent::FirstCreate:
      // The channels start anew: a file that holds no line yet is dropped, one with lines stays.
      for (TMultiSamplerDefinition* def : definitions)
        if (def->LogDef().HasDefinitionMask(sIndex, sCopy, LogType::QMTMask))
          CloseDefinitionFile(*def, reason, TCloseKind::Discard);
      return;
    case SamplerEvent::PVHChanged:
      for (TMultiSamplerDefinition* def : definitions)
        if (def->LogDef().HasDefinitionMask(sIndex, sCopy, LogType::CounterMask | LogType::VirtualMask))
          CloseDefinitionFile(*def, reason, TCloseKind::Reset);
      return;
    default:
      TMultiSampler::UpdateSessionEvent(session, what, reason);
  }
}

bool TZEP_MultiSampler::HasSensorPart(const TLogDefinition& logDef) const {
  for (int p = 0; p < logDef.Count(); ++p) {
    const TSimpleLogDefinition* part = logDef.GetDefinition(p);
    const TMultiSamplerSession* session = FindSession(part->FSource, part->FSourceCopy);
    if (session && session->FSession->Kind() == TSamplerSessionKind::Sensor) return true;
  }
  return false;
}

void TZEP_MultiSampler::UpdateOptionsEvent(uint32_t what) {
  constexpr uint32_t kTimeSettings = SamplerOption::TimeFormat | SamplerOption::TimeSource | SamplerOption::TimeZone;
  for (TMultiSamplerDefinition* def : EnabledDefinitions()) {
    if (what & kTimeSettings)
      CloseDefinitionFile(*def, "Time settings changed", TCloseKind::Reset);
    else if ((what & SamplerOption::TemperatureUnit) && HasSensorPart(def->LogDef()))
      CloseDefinitionFile(*def, "Temperature unit changed", TCloseKind::Reset);
  }
}
