#include "app/core/ZEP_Sync.h"

#include <array>
#include <string_view>
#include <utility>

#include "library/core/LogUnit.h"

namespace {

constexpr std::array<std::string_view, 20> kWhatNames = {
    "DataReset",      "DataResetQMT",     "ChannelCount",  "QMTChannels",     "PDICards",
    "RateIndex",      "Mode",             "Scrambler",     "PhaseDiffReset",  "ReSync",
    "PAV only",       "QMT only",         "QMT Calibration", "Peer",          "PVH Data",
    "Clock Precedence", "PLL State",      "Operating Mode", "QMT MasterClock", "PPI"};

std::string BoolText(bool value) { return value ? "True" : "False"; }

}  // namespace

std::string SyncWhatName(int what) {
  if (what >= 1 && what <= static_cast<int>(kWhatNames.size()))
    return std::string(kWhatNames[static_cast<std::size_t>(what - 1)]);
  return "Unknown what=" + std::to_string(what);
}

TMainSyncData::TMainSyncData(int aWhat, int aCode, int aSecond, std::string aText,
                             const std::shared_ptr<TPolledSession>& aSender)
    : What(aWhat), Code(aCode), aInt(aSecond), Text(std::move(aText)) {
  SetSender(aSender);
}

void TMainSyncData::SetSender(const std::shared_ptr<TPolledSession>& aSender) {
  FSender = aSender;
  FHasSender = aSender != nullptr;
  FSenderIndex = aSender ? aSender->Index() : 0;
  FSenderIsCopy = aSender ? aSender->IsCopy() : false;
}

std::string TMainSyncData::ToString() const {
  std::string text = "TMainSyncData " + SyncWhatName(What) + " Code=" + std::to_string(Code) +
                     ", aInt=" + std::to_string(aInt) + ", " + Text + ", Sender=";
  if (FHasSender)
    text += "Session " + std::to_string(FSenderIndex) + "/" + BoolText(FSenderIsCopy);
  else
    text += "nil";
  return text;
}

void TSyncList::AddSync(TMainSyncData item) {
  const int logId = FLogId.load();
  // Formatted before the lock; written under it, so the log shows the items
  // in list order even with several producers.
  std::string line;
  if (LogWanted(logId)) line = "ZEP_Sync.AddSync " + item.ToString();
  std::lock_guard lock(FLock);
  if (!line.empty()) LogInfo(logId, line);
  FItems.push_back(std::move(item));
}

std::optional<TMainSyncData> TSyncList::TakeFirst() {
  std::lock_guard lock(FLock);
  if (FItems.empty()) return std::nullopt;
  std::optional<TMainSyncData> first(std::move(FItems.front()));
  FItems.pop_front();
  return first;
}

std::size_t TSyncList::Count() const {
  std::lock_guard lock(FLock);
  return FItems.size();
}

TSyncList& MainSyncList() {
  static TSyncList list;
  return list;
}
