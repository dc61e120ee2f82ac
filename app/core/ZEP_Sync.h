#pragma once

#include <atomic>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "app/core/App_SessionList.h"

// Kinds of hand-over items (TMainSyncData::What). 16 to 19 have names but
// nothing posts them.
namespace SyncWhat {
inline constexpr int DataReset = 1;
inline constexpr int DataResetQMT = 2;
inline constexpr int ChannelCount = 3;
inline constexpr int QMTChannels = 4;
inline constexpr int PDICards = 5;
inline constexpr int RateIndex = 6;
inline constexpr int Mode = 7;
inline constexpr int Scrambler = 8;
inline constexpr int PhaseDiffReset = 9;
inline constexpr int ReSync = 10;
inline constexpr int PAVOnly = 11;
inline constexpr int QMTOnly = 12;
inline constexpr int QMTCalibration = 13;
inline constexpr int Peer = 14;
inline constexpr int PVHData = 15;
inline constexpr int ClockPrecedence = 16;
inline constexpr int PLLState = 17;
inline constexpr int OperatingMode = 18;
inline constexpr int QMTMasterClock = 19;
inline constexpr int PPI = 20;
}  // namespace SyncWhat

// "DataReset", "PAV only", ...; "Unknown what=<n>" for any other value.
std::string SyncWhatName(int what);

// One thing the user interface must learn from a worker thread, handed to the
// main thread through a TSyncList.
//
// The sender is held weakly: an item waiting in the list must not keep a
// removed session alive (it would then be freed on whichever thread drops the
// item). Its number and copy flag are taken when the sender is set, so the
// item still names its session after the session is gone.
struct TMainSyncData {
  int What = 0;
  int Code = 0;
  int aInt = 0;
  std::string Text;

  TMainSyncData() = default;
  TMainSyncData(int aWhat, int aCode, int aSecond, std::string aText,
                const std::shared_ptr<TPolledSession>& aSender = nullptr);

  void SetSender(const std::shared_ptr<TPolledSession>& aSender);
  // The session, or nullptr without a sender or once it has been freed.
  std::shared_ptr<TPolledSession> Sender() const { return FSender.lock(); }
  bool HasSender() const { return FHasSender; }

  // "TMainSyncData <kind> Code=<n>, aInt=<n>, <Text>, Sender=Session <i>/<True|False>"
  // or "..., Sender=nil".
  std::string ToString() const;

 private:
  std::weak_ptr<TPolledSession> FSender;
  bool FHasSender = false;
  int FSenderIndex = 0;
  bool FSenderIsCopy = false;
};

// The ordered hand-over list: any thread appends, the main thread takes the
// items in the order they were added. One lock, held only for the list
// operation itself.
class TSyncList {
 public:
  // aLogId: the main debug log when its "Sync" lines are wanted, else -1.
  explicit TSyncList(int aLogId = -1) : FLogId(aLogId) {}
  TSyncList(const TSyncList&) = delete;
  TSyncList& operator=(const TSyncList&) = delete;

  void SetLogId(int aLogId) { FLogId.store(aLogId); }

  // Producer side, any thread. Logs "ZEP_Sync.AddSync " + item.ToString().
  void AddSync(TMainSyncData item);
  // Consumer side: the oldest item, or nothing when the list is empty. An
  // item taken is gone from the list whatever its processing does.
  std::optional<TMainSyncData> TakeFirst();
  std::size_t Count() const;

 private:
  std::atomic<int> FLogId;
  mutable std::mutex FLock;
  std::deque<TMainSyncData> FItems;
};

// The process-wide hand-over list that the stores and sessions post to and the
// main window's display tick empties.
TSyncList& MainSyncList();
