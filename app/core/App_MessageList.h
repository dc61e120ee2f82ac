#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/core/App_DateTime.h"
#include "app/core/App_Sessions.h"
#include "library/platform/VQ_Clock.h"

// Message codes the list treats specially.
namespace MsgCode {
inline constexpr int ConnectionRunningAgain = 23;  // information that folds
inline constexpr int FpgaDataFormatError = 0x7FF4;  // folds whatever its text
inline constexpr int ReferenceClockOk = 0x7FF8;     // information that folds
inline constexpr int ReferenceInvalid = 0x7FF9;     // clears the source's recent follow-up errors
inline constexpr int PllUnlocked = 0x7FFF;
}  // namespace MsgCode

// One message of the application-wide list.
struct TMessageItem {
  static constexpr int kAppSource = -2;  // the application itself, not a session
  static constexpr uint32_t kAppColor = 0xFFFFFF;

  uint64_t Seq = 0;  // running number, unique for the life of the list, rising in list order
  int sIndex = kAppSource;
  uint32_t sColor = kAppColor;  // 24-bit BGR colour of the session
  std::string Text;
  TMsgType MsgType = mtInfo;
  int Code = 0;
  int SubCode = 0;
  TUtcMs Time = 0;  // wall clock at creation; shown as local time
  // Monotonic creation time: folding windows must not move when the wall
  // clock is set or jumps at a daylight-saving change.
  TVQ_Clock::Monotonic::time_point Created{};
  int Count = 1;  // how many equal messages this item stands for
  bool ViaThread = false;  // came from a producer thread; the display tick has not handled it yet

  // Same source, kind, code and sub-code, and the same text unless the code
  // is the FPGA data format error (whose text varies from one to the next).
  bool IsSame(const TMessageItem& other) const;
  bool IsSameCodes(const TMessageItem& other) const;
};

// How dates and times appear in the text form (format letters of
// FormatDateTime, local time).
struct TMsgTextFormat {
  std::string DateFormat = "YYYY-MM-DD";
  std::string TimeFormat = "HH:NN:SS";
};

// The one-line text form of an item. Fields equal to those of `last` (date,
// time, kind, source) are blanked so runs of messages read like a table;
// pass nullptr for a line that stands alone. Line breaks in the text become
// blanks so one item is always one line.
std::string ItemToString(const TMessageItem& item, const TMessageItem* last, const TMsgTextFormat& format = {});

// One entry of the change log that the window side reads.
struct TMsgChange {
  enum class TKind {
    Added,    // Item was appended (a folded message arrives as Removed + Added with the summed Count)
    Updated,  // Item changed in place (ViaThread cleared, or the text of the cap statement)
    Removed,  // the item with number Seq left the list (folded, capped, or cleared by a reference error)
    Cleared,  // the list was emptied
  };
  TKind Kind = TKind::Added;
  uint64_t Serial = 0;  // position in the change log
  uint64_t Seq = 0;     // the item concerned (Added, Updated, Removed)
  TMessageItem Item;    // its state after the change (Added, Updated)
};

// What a reader gets from ReadChanges.
struct TMsgChanges {
  // The reader fell behind the kept part of the change log (or passed a
  // number the list never gave): it must drop its rows and show Items.
  bool Rebuild = false;
  std::vector<TMessageItem> Items;     // the whole list, with Rebuild only
  std::vector<TMsgChange> Changes;     // in order, without Rebuild
  uint64_t Next = 0;                   // pass this to the next ReadChanges
};

// What the display tick tells its front end.
struct TMsgTickResult {
  bool Changed = false;     // the list changed since the last tick
  bool ShowWindow = false;  // an error or warning arrived: show the message window
};

// Outcome of saving the list to a text file.
struct TMsgSaveResult {
  enum class TStatus { Saved, NothingToSave, Failed };
  TStatus Status = TStatus::Saved;
  std::string Text;  // "No message to save", or what failed
  bool Ok() const { return Status == TStatus::Saved; }
};

// The application-wide message list: every error, warning and information of
// the sessions, stores, multi-sampler and application, with the fixed rules
// that fold repeated messages together.
//
// Any thread may add. Producer threads never reach a window: the main
// thread's DisplayTick hands their items to the pop-up side, and the window
// takes what changed through ReadChanges on its own timer, so its cost does
// not grow with the length of the list. The list is capped; when the cap
// removes messages, one information item says how many.
//
// Hooks run on the thread that caused them, never under the list's lock, so
// they may read the list or add to it; items of different producer threads
// may reach the notification hook in another order than the list's.
class TMessageList {
 public:
  static constexpr std::size_t kMaxItems = 10000;
  static constexpr std::size_t kMaxChanges = 4096;  // kept change-log entries
  static constexpr std::size_t kMaxTextLength = 4096;  // bytes of one message text
  static constexpr std::chrono::seconds kFoldWindow{60};
  static constexpr std::chrono::seconds kReferenceErrorWindow{5};

  // The colour of the session with this index, nothing when there is none.
  using TSessionColor = std::function<std::optional<uint32_t>(int sessionIndex)>;
  // An item right after it was appended (the notification rules).
  using TOnMessage = std::function<void(const TMessageItem& item)>;

  explicit TMessageList(int logId = -1, const TVQ_Clock& clock = SystemClock());
  TMessageList(const TMessageList&) = delete;
  TMessageList& operator=(const TMessageList&) = delete;

  // The debug log for the list's lines (the main log, once it is open).
  void SetLogId(int logId) { FLogId = logId; }
  // Set before producers run; safe to change later.
  void SetSessionColor(TSessionColor lookup);
  // Called on the adding thread for every appended item. Notification items
  // are best keyed by Seq: an item may leave the list at any time.
  void SetOnMessageAdded(TOnMessage hook);
  // Called on the main thread by DisplayTick for every item that came from a
  // producer thread, before its ViaThread flag is cleared (pop-ups).
  void SetOnViaThreadHandled(TOnMessage hook);
  void SetTextFormat(const TMsgTextFormat& format);

  // Adds a message from any thread. `id` is a session index, or negative for
  // the application. A kind other than error, warning or information is
  // dropped. `viaThread` marks producers that are not the main thread.
  void Add(int id, int code, TMsgType kind, const std::string& text, int subCode, bool viaThread);
  void AddError(int id, int code, int subCode, const std::string& text) { Add(id, code, mtError, text, subCode, false); }
  void AddWarning(int id, int code, int subCode, const std::string& text) { Add(id, code, mtWarning, text, subCode, false); }
  void AddInfo(int id, int code, int subCode, const std::string& text) { Add(id, code, mtInfo, text, subCode, false); }
  void AddErrorThread(int id, int code, int subCode, const std::string& text) { Add(id, code, mtError, text, subCode, true); }
  void AddWarningThread(int id, int code, int subCode, const std::string& text) { Add(id, code, mtWarning, text, subCode, true); }
  void AddInfoThread(int id, int code, int subCode, const std::string& text) { Add(id, code, mtInfo, text, subCode, true); }
  // The message callback of sessions and stores: posts as a producer thread.
  TOnAddMsg Callback();

  // Main thread, every display tick: hands the items of producer threads to
  // the pop-up hook and clears their ViaThread flag.
  TMsgTickResult DisplayTick();

  // Changes after `since` (0 for a new reader).
  TMsgChanges ReadChanges(uint64_t since) const;
  std::vector<TMessageItem> Snapshot() const;
  std::size_t Size() const;
  // Messages the cap has removed since the list was last cleared.
  uint64_t CapRemoved() const;

  void Clear();
  // Writes every item, oldest first, each in its text form against the one
  // before, CR LF after each line. An empty list writes nothing.
  TMsgSaveResult SaveToFile(const std::string& fileName) const;
  // The text SaveToFile writes.
  std::string SaveText() const;

 private:
  using TIter = std::deque<TMessageItem>::iterator;

  TMessageItem MakeItem(int id, int code, TMsgType kind, const std::string& text, int subCode, bool viaThread) const;
  void RemoveReferenceFollowUps(const TMessageItem& item, std::vector<std::string>& logLines);
  void FoldInto(TMessageItem& item, std::vector<std::string>& logLines);
  // Appends and applies the cap; the items to notify are added to `added`.
  void Append(TMessageItem item, std::vector<TMessageItem>& added);
  void ApplyCap(std::vector<TMessageItem>& added);
  TIter OldestCapVictim();
  void Erase(TIter at);
  void Record(TMsgChange::TKind kind, const TMessageItem& item);
  void RecordRemoved(uint64_t seq);
  TIter FindSeq(uint64_t seq);
  void Notify(const TOnMessage& hook, const std::vector<TMessageItem>& added) const;
  void WriteLog(const std::vector<std::string>& lines, bool error) const;
  std::string StatementText() const;

  std::atomic<int> FLogId;
  const TVQ_Clock& FClock;

  mutable std::mutex FLock;  // everything below
  std::deque<TMessageItem> FItems;
  std::deque<TMsgChange> FChanges;
  uint64_t FNextSeq = 1;
  uint64_t FSerial = 0;  // number of the newest change
  std::size_t FTypeCount[3] = {0, 0, 0};
  uint64_t FCapRemoved = 0;
  std::optional<uint64_t> FStatementSeq;  // the item that reports FCapRemoved
  uint64_t FTickSeq = 0;     // items up to this number were seen by a display tick
  uint64_t FTickSerial = 0;  // the change log's number at the last display tick
  bool FShowWindow = false;  // an error or warning arrived since the last tick
  TSessionColor FSessionColor;
  TOnMessage FOnMessageAdded;
  TOnMessage FOnViaThreadHandled;
  TMsgTextFormat FFormat;
};
