#include "app/data/App_DataManagement.h"

#include <algorithm>

#include "library/core/LogUnit.h"
#include "library/core/VQ_DllCommon.h"

namespace {

constexpr uint16_t kNoHeader = 0x7FFF;  // the header FFFF without its lost-data bit

constexpr std::string_view BoolText(bool value) { return value ? "True" : "False"; }

}  // namespace

std::string_view HorizontalScaleName(THorizontalScale scale) {
  switch (scale) {
    case THorizontalScale::hsNone: return "hsNone";
    case THorizontalScale::hsShort: return "hsShort";
    case THorizontalScale::hsLong: return "hsLong";
  }
  return "";
}

TDataManagement::TDataManagement(int aLogID, int aSessId, bool aSessIsCopy)
    : FLogId(aLogID), FSessId(aSessId), FSessIsCopy(aSessIsCopy) {
  UpdateDbgTag();
  LogLine(".BaseCreate");
  TDataManagement::Reset();
}

// ---- helpers ----------------------------------------------------------------------------

int TDataManagement::RingIndex(THorizontalScale ring) {
  const int index = static_cast<int>(ring);
  return index >= 0 && index < kRingCount ? index : -1;
}

void TDataManagement::UpdateDbgTag() {
  std::lock_guard lock(FLockObj);
  FDbgTag = FDbgClass + "[" + std::to_string(FSessId) + "/" + std::string(BoolText(FSessIsCopy)) + "]";
}

void TDataManagement::LogLine(std::string_view text) const {
  if (!LogWanted(FLogId)) return;
  LogInfo(FLogId, DbgTag().append(text));
}

void TDataManagement::LogErrorLine(std::string_view text) const {
  if (!LogWanted(FLogId)) return;
  LogError(FLogId, DbgTag().append(text));
}

// ---- reset --------------------------------------------------------------------------------

void TDataManagement::Reset() {
  LogLine(".BaseReset");
  bool held = false;
  {
    std::lock_guard lock(FLockObj);
    for (int r = 0; r < kRingCount; ++r) {
      held = held || FCount[r] > 0;
      FCount[r] = 0;
      FFirstX[r] = 0;
      FlaufX[r] = 0;
      FTotal[r] = 0;
    }
    ++FGeneration;
    FSync = FSyncReset;
    SetChannelCount(0);
  }
  if (held && FOnReset) FOnReset(kResetCode, *this);
}

// ---- channels -------------------------------------------------------------------------------

int TDataManagement::ChannelCount() const {
  std::lock_guard lock(FLockObj);
  return FChannelCount;
}

bool TDataManagement::SetChannelCount(int n) {
  if (n < 0 || n > kMaxChannels) {
    if (LogWanted(FLogId)) LogErrorLine(".BaseSetChannelCount refused " + std::to_string(n));
    return false;
  }
  {
    std::lock_guard lock(FLockObj);
    if (n == FChannelCount) return false;
    FChannelCount = n;
  }
  if (LogWanted(FLogId)) LogLine(".BaseSetChannelCount " + std::to_string(n));
  if (FOnChannelCount) FOnChannelCount(kChannelCountCode, n);
  return true;
}

std::string TDataManagement::GetChannelName(int channel) const {
  if (channel < 1 || channel > kMaxChannels) return {};
  std::lock_guard lock(FLockObj);
  return FChannelNames[channel];
}

bool TDataManagement::SetChannelName(int channel, const std::string& name) {
  if (channel < 1 || channel > kMaxChannels) return false;
  std::lock_guard lock(FLockObj);
  FChannelNames[channel] = name;
  return true;
}

// ---- header -----------------------------------------------------------------------------------

TVQHeader TDataManagement::ValueHeader() const {
  std::lock_guard lock(FLockObj);
  return FValueHeader;
}

bool TDataManagement::SetValueHeader(uint16_t code) {
  // Held across the reset, so no reader sees the new header with old values.
  std::lock_guard lock(FLockObj);
  // Compared without the lost-data bit, which the header does not keep: a
  // flagged header of the same measurement is no change of the data.
  const uint16_t old = FValueHeader.FHeader;  // 7FFF while no header was set
  FValueHeader.SetHeader(code);
  if (old == kNoHeader || old == (code & kNoHeader)) return false;
  if (LogWanted(FLogId))
    LogLine(".Base Header changed: old=" + HexText(old, 4) + ", new=" + HexText(code, 4));
  Reset();
  return true;
}

// ---- writing -------------------------------------------------------------------------------------

void TDataManagement::AfterAddValues(THorizontalScale ring) {
  const int r = RingIndex(ring);
  if (r < 0) return;
  std::lock_guard lock(FLockObj);
  if (FCount[r] >= kRingSize) {
    FCount[r] = kRingSize;
    FFirstX[r] = (FFirstX[r] + 1) & kRingMask;
  } else {
    ++FCount[r];
  }
  FlaufX[r] = (FlaufX[r] + 1) & kRingMask;
  ++FTotal[r];
  if (r == 0) {
    if (LogWanted(FLogId)) LogLine(".BaseAfterAddValues FSync=" + FSync);
    FSync = FSyncReset;
  }
}

// ---- cursors -----------------------------------------------------------------------------------------

int TDataManagement::Count(THorizontalScale ring) const {
  const int r = RingIndex(ring);
  if (r < 0) return 0;
  std::lock_guard lock(FLockObj);
  return FCount[r];
}

int TDataManagement::FirstX(THorizontalScale ring) const {
  const int r = RingIndex(ring);
  if (r < 0) return 0;
  std::lock_guard lock(FLockObj);
  return FFirstX[r];
}

int TDataManagement::NextX(THorizontalScale ring) const {
  const int r = RingIndex(ring);
  if (r < 0) return 0;
  std::lock_guard lock(FLockObj);
  return FlaufX[r];
}

uint64_t TDataManagement::TotalAdded(THorizontalScale ring) const {
  const int r = RingIndex(ring);
  if (r < 0) return 0;
  std::lock_guard lock(FLockObj);
  return FTotal[r];
}

uint64_t TDataManagement::ResetGeneration() const {
  std::lock_guard lock(FLockObj);
  return FGeneration;
}

TRingRead TDataManagement::ReadSince(THorizontalScale ring, const TRingCursor& last) const {
  TRingRead result;
  const int r = RingIndex(ring);
  if (r < 0) return result;
  std::lock_guard lock(FLockObj);
  // A total ahead of ours also means the reader's data belong to an earlier
  // generation (a cursor of another store, or one made up).
  result.Restarted = last.Generation != FGeneration || last.Total > FTotal[r];
  const uint64_t seen = result.Restarted ? 0 : last.Total;
  const uint64_t added = FTotal[r] - seen;
  const uint64_t readable = std::min<uint64_t>(added, static_cast<uint64_t>(FCount[r]));
  result.Count = static_cast<int>(readable);
  result.Missed = added - readable;
  result.FirstX = (FlaufX[r] - result.Count) & kRingMask;
  result.Next = TRingCursor{FTotal[r], FGeneration};
  return result;
}

int TDataManagement::GetNewCount(int startX, THorizontalScale hScale) const {
  const int r = RingIndex(hScale);
  if (r < 0) return 0;
  std::lock_guard lock(FLockObj);
  const int count = FCount[r];
  if (startX == -1) return count;
  startX &= kRingMask;
  if (count < kRingSize) return std::max(count - startX, 0);  // beyond the written part: a reset came between
  const int first = FFirstX[r];
  return first + (first - startX < 0 ? count : 0) - startX;
}

int TDataManagement::GetNewX(int anz, THorizontalScale hScale) const {
  const int r = RingIndex(hScale);
  if (r < 0) return 0;
  std::lock_guard lock(FLockObj);
  anz = std::clamp(anz, 0, FCount[r]);
  return (FlaufX[r] - anz) & kRingMask;
}

int TDataManagement::GetNewX(int anz, int startX, THorizontalScale hScale) const {
  const int r = RingIndex(hScale);
  if (r < 0) return 0;
  std::lock_guard lock(FLockObj);
  const int count = FCount[r];
  anz = std::max(anz, 0);
  if (anz >= count) return FFirstX[r];
  startX &= kRingMask;
  // A ring not yet full holds positions 0 .. count - 1 only: going back past
  // position 0 would land on entries not written since the reset.
  if (count < kRingSize) return std::max(startX - anz, 0);
  return (startX - anz) & kRingMask;
}

int TDataManagement::GetNextX(int startX, int anz) {
  return static_cast<int>((static_cast<int64_t>(startX) + anz) & kRingMask);
}

// ---- horizontal scale ---------------------------------------------------------------------------------

int TDataManagement::GetScaleFactor(THorizontalScale hScale) const {
  const int r = RingIndex(hScale);
  if (r < 0) return 0;
  std::lock_guard lock(FLockObj);
  return FScaleFactor[r];
}

bool TDataManagement::SetScaleFactor(THorizontalScale hScale, int value) {
  if (hScale != THorizontalScale::hsShort && hScale != THorizontalScale::hsLong) return false;
  if (value < 1) {
    if (LogWanted(FLogId))
      LogErrorLine(".BaseSetScaleFactor[" + std::string(HorizontalScaleName(hScale)) + "] refused " +
                   std::to_string(value));
    return false;
  }
  {
    std::lock_guard lock(FLockObj);
    int& factor = FScaleFactor[RingIndex(hScale)];
    if (factor == value) return false;
    factor = value;
  }
  if (LogWanted(FLogId))
    LogLine(".BaseSetScaleFactor[" + std::string(HorizontalScaleName(hScale)) + "]=" + std::to_string(value));
  if (FOnScaleFactor) FOnScaleFactor(hScale, value);
  return true;
}

// ---- virtual channels ------------------------------------------------------------------------------------

TDataManagement::TFactorRow TDataManagement::GetVirtualFactors(int k) const {
  if (k < 1 || k > kMaxChannels) return {};
  std::lock_guard lock(FLockObj);
  return FVirtualFactors[k];
}

bool TDataManagement::SetVirtualFactors(int k, const TFactorRow& factors) {
  if (k < 1 || k > kMaxChannels) return false;
  std::lock_guard lock(FLockObj);
  FVirtualFactors[k] = factors;
  FVirtualChannelCount = -1;
  return true;
}

int TDataManagement::GetVirtualChannelCount() {
  std::lock_guard lock(FLockObj);
  if (FVirtualChannelCount >= 0) return FVirtualChannelCount;
  int n = 0;
  for (int k = 1; k <= kMaxChannels; ++k) {
    const TFactorRow& row = FVirtualFactors[k];
    if (std::any_of(row.begin(), row.end(), [](double f) { return f != 0.0; })) ++n;
  }
  FVirtualChannelCount = n;
  if (LogWanted(FLogId)) LogLine(".Base GetVirtualChannelCount=" + std::to_string(n));
  return n;
}

// ---- synchronisation markers --------------------------------------------------------------------------------

std::string TDataManagement::Sync() const {
  std::lock_guard lock(FLockObj);
  return FSync;
}

void TDataManagement::SetSync(const std::string& value) {
  std::lock_guard lock(FLockObj);
  FSync = value;
}

std::string TDataManagement::SyncReset() const {
  std::lock_guard lock(FLockObj);
  return FSyncReset;
}

void TDataManagement::SetSyncReset(const std::string& value) {
  std::lock_guard lock(FLockObj);
  if (FSync == FSyncReset) FSync = value;
  FSyncReset = value;
}

// ---- log types ---------------------------------------------------------------------------------------------------

bool TDataManagement::IsLogTypeNeeded(int bit) const {
  if (bit < 0 || bit > 31) return false;
  std::lock_guard lock(FLockObj);
  return (FSamplerLogTypes >> bit) & 1u;
}

uint32_t TDataManagement::SamplerLogTypes() const {
  std::lock_guard lock(FLockObj);
  return FSamplerLogTypes;
}

void TDataManagement::SetSamplerLogTypes(uint32_t value) {
  std::lock_guard lock(FLockObj);
  FSamplerLogTypes = value;
}

// ---- session ---------------------------------------------------------------------------------------------------------

int TDataManagement::SessId() const {
  std::lock_guard lock(FLockObj);
  return FSessId;
}

void TDataManagement::SetSessId(int value) {
  {
    std::lock_guard lock(FLockObj);
    if (FSessId == value) return;
    FSessId = value;
    UpdateDbgTag();
  }
  if (LogWanted(FLogId)) LogLine(".BaseSetSessId " + std::to_string(value));
}

bool TDataManagement::SessIsCopy() const {
  std::lock_guard lock(FLockObj);
  return FSessIsCopy;
}

void TDataManagement::SetSessIsCopy(bool value) {
  {
    std::lock_guard lock(FLockObj);
    FSessIsCopy = value;
    UpdateDbgTag();
  }
  if (LogWanted(FLogId)) LogLine(std::string(".BaseSetSessIsCopy ").append(BoolText(value)));
}

std::string TDataManagement::OutputPath() const {
  std::lock_guard lock(FLockObj);
  return FOutputPath;
}

void TDataManagement::SetOutputPath(const std::string& value) {
  std::lock_guard lock(FLockObj);
  FOutputPath = value;
}

std::string TDataManagement::DbgTag() const {
  std::lock_guard lock(FLockObj);
  return FDbgTag;
}

// ---- messages -----------------------------------------------------------------------------------------------------------

void TDataManagement::AddError(int code, const std::string& text) {
  if (LogWanted(FLogId)) LogErrorLine(".BaseAddError: " + text);
  if (FOnError) FOnError(code, 0, text);
}

void TDataManagement::AddWarning(int code, const std::string& text) {
  if (LogWanted(FLogId)) LogLine(".BaseAddWarning: " + text);
  if (FOnWarning) FOnWarning(code, 0, text);
}
