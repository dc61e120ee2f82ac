#include "app/core/ZEP_SamplerSource.h"

#include "app/core/ZEP_Sessions.h"
#include "app/data/PAV_DataManagement.h"
#include "app/data/QMT_DataManagement.h"

namespace {

// The name a log title shows: the user's name, else "Channel_" + i.
std::string DisplayName(const std::string& name, int channel) {
  return name.empty() ? "Channel_" + std::to_string(channel) : name;
}

}  // namespace

TSessionSamplerSource::TSessionSamplerSource(const std::shared_ptr<TVQSessionItem>& session)
    : FSession(session), FIndex(session->Index()), FIsCopy(session->IsCopy()) {}

bool TSessionSamplerSource::Refers(const TVQSessionItem& session) const {
  return FSession.lock().get() == &session;
}

TSamplerSessionKind TSessionSamplerSource::Kind() const {
  const auto session = FSession.lock();
  return session && session->QMTonly() ? TSamplerSessionKind::TimeInterval : TSamplerSessionKind::Counter;
}

int TSessionSamplerSource::IntervalMs() const {
  const auto session = FSession.lock();
  return session ? session->IntervalMs() : 1000;
}

int64_t TSessionSamplerSource::SerialNumber() const {
  const auto session = FSession.lock();
  if (!session || session->SerialNumber() == TSessionItem::kUnknownSerial) return -1;
  return session->SerialNumber();
}

std::optional<TUtcMs> TSessionSamplerSource::SessionTime() const {
  const auto session = FSession.lock();
  if (!session || session->QMTonly()) return std::nullopt;
  return session->EvalState().PAVDateTime;
}

TSamplerHeaderInfo TSessionSamplerSource::HeaderInfo() const {
  TSamplerHeaderInfo info;
  const auto session = FSession.lock();
  if (!session) return info;
  info.FriendlyName = session->FriendlyName();
  info.OpenString = session->OpenString();
  TPAV_DataManagement& pav = session->PAV();
  TQMT_DataManagement& qmt = session->QMT();
  const TVQHeader header = pav.ValueHeader();
  info.ModeText = header.ModeText();
  info.IntervalText = header.IntervalText();
  info.ScramblerText = header.ScramblerText();
  info.ChannelCount = pav.ChannelCount();
  info.QMTChannelCount = qmt.ChannelCount();
  info.VirtualCount = pav.GetVirtualChannelCount();
  info.VirtualQMTCount = qmt.GetVirtualChannelCount();
  info.PDICards = pav.PDICount();
  const TCalibrationData calibration = qmt.CalibrationValues();
  info.QMTCalibration.assign(calibration.Values.begin(), calibration.Values.begin() + info.QMTChannelCount);
  const auto virtualNames = session->VirtualChannelNames();
  for (int k = 1; k <= kLogChannels; ++k) {
    info.Names[k - 1] = DisplayName(pav.GetChannelName(k), k);
    info.QMTNames[k - 1] = DisplayName(qmt.GetChannelName(k), k);
    info.VirtualNames[k - 1] = DisplayName(virtualNames.Counter[k - 1], k);
    info.VirtualQMTNames[k - 1] = DisplayName(virtualNames.QMT[k - 1], k);
  }
  return info;
}

// A QMT-only copy shares the time-interval store with its original: the
// copy decides what that store produces, the original only while it has no copy.
void TSessionSamplerSource::SetSamplerLogTypes(uint32_t types) {
  const auto session = FSession.lock();
  if (!session) return;
  if (session->QMTonly()) {
    session->QMT().SetSamplerLogTypes(types);
    return;
  }
  session->PAV().SetSamplerLogTypes(types);
  if (!session->LinkedSession()) session->QMT().SetSamplerLogTypes(types);
}

TKeptSamplerSource::TKeptSamplerSource(const TSessionItem& session, bool copy)
    : FIndex(session.Index()), FIsCopy(copy) {
  FInfo.FriendlyName = session.FriendlyName();
  FInfo.OpenString = session.OpenString();
}

TSamplerSessionKind TKeptSamplerSource::Kind() const {
  return FIsCopy ? TSamplerSessionKind::TimeInterval : TSamplerSessionKind::Counter;
}
