#include "app/core/App_MessageList.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "library/core/LogUnit.h"
#include "support/FileText.h"
#include "support/TempFolder.h"
#include "support/TimeZone.h"

namespace {

using namespace std::chrono_literals;
using TKind = TMsgChange::TKind;

// 2024-07-01 10:00:00 UTC
const auto kStart = std::chrono::system_clock::time_point{} + 1719828000s;

// A window's rows, kept up to date from the change log only.
struct TMirror {
  uint64_t Next = 0;
  std::vector<TMessageItem> Rows;
  int Rebuilds = 0;

  void CatchUp(const TMessageList& list) {
    TMsgChanges changes = list.ReadChanges(Next);
    Next = changes.Next;
    if (changes.Rebuild) {
      ++Rebuilds;
      Rows = std::move(changes.Items);
      return;
    }
    for (const TMsgChange& change : changes.Changes) Apply(change);
  }

  void Apply(const TMsgChange& change) {
    const auto row = std::find_if(Rows.begin(), Rows.end(), [&](const TMessageItem& r) { return r.Seq == change.Seq; });
    switch (change.Kind) {
      case TKind::Added:
        ASSERT_EQ(row, Rows.end()) << "added twice: " << change.Seq;
        ASSERT_TRUE(Rows.empty() || Rows.back().Seq < change.Seq);
        Rows.push_back(change.Item);
        break;
      case TKind::Updated:
        ASSERT_NE(row, Rows.end()) << "update of an unknown row: " << change.Seq;
        *row = change.Item;
        break;
      case TKind::Removed:
        ASSERT_NE(row, Rows.end()) << "removal of an unknown row: " << change.Seq;
        Rows.erase(row);
        break;
      case TKind::Cleared:
        Rows.clear();
        break;
    }
  }
};

// The fields a window shows, for comparing rows with the list.
std::vector<std::string> Shown(const std::vector<TMessageItem>& items) {
  std::vector<std::string> lines;
  for (const TMessageItem& item : items) lines.push_back(std::to_string(item.Seq) + " " + ItemToString(item, nullptr));
  return lines;
}

class MessageList : public ::testing::Test {
 protected:
  TZoneGuard FZone{"UTC"};
  TVQ_ManualClock FClock{kStart};
  TMessageList FList{-1, FClock};

  std::vector<TMessageItem> Items() const { return FList.Snapshot(); }
};

// ---- folding ---------------------------------------------------------------------------------

struct TMsg {
  int Id;
  TMsgType Kind;
  int Code;
  int SubCode;
  const char* Text;
};

TEST_F(MessageList, FoldingRules) {
  struct Case {
    const char* name;
    TMsg first;
    std::chrono::seconds apart;
    TMsg second;
    std::size_t items;        // after the second message
    int lastCount;            // of the newest item
  } cases[] = {
      {"equal errors 59 s apart", {0, mtError, 7, 0, "lost"}, 59s, {0, mtError, 7, 0, "lost"}, 1, 2},
      {"equal errors 61 s apart", {0, mtError, 7, 0, "lost"}, 61s, {0, mtError, 7, 0, "lost"}, 2, 1},
      {"equal errors exactly 60 s apart", {0, mtError, 7, 0, "lost"}, 60s, {0, mtError, 7, 0, "lost"}, 2, 1},
      {"errors with other texts", {0, mtError, 7, 0, "lost"}, 1s, {0, mtError, 7, 0, "found"}, 2, 1},
      {"errors with other sub-codes", {0, mtError, 7, 1, "lost"}, 1s, {0, mtError, 7, 2, "lost"}, 2, 1},
      {"errors of other sessions", {0, mtError, 7, 0, "lost"}, 1s, {1, mtError, 7, 0, "lost"}, 2, 1},
      {"session and application", {0, mtError, 7, 0, "lost"}, 1s, {-1, mtError, 7, 0, "lost"}, 2, 1},
      {"FPGA format errors, other texts", {0, mtError, 0x7FF4, 0, "expected=1"}, 30s,
       {0, mtError, 0x7FF4, 0, "expected=2"}, 1, 2},
      {"FPGA format errors of other sessions", {0, mtError, 0x7FF4, 0, "e"}, 1s, {1, mtError, 0x7FF4, 0, "e"}, 2, 1},
      {"equal warnings", {0, mtWarning, 7, 0, "hot"}, 1s, {0, mtWarning, 7, 0, "hot"}, 2, 1},
      {"running again (23)", {0, mtInfo, 23, 0, "again"}, 10s, {0, mtInfo, 23, 0, "again"}, 1, 2},
      {"reference ok (0x7FF8)", {0, mtInfo, 0x7FF8, 0, "ok"}, 10s, {0, mtInfo, 0x7FF8, 0, "ok"}, 1, 2},
      {"other informations (91)", {0, mtInfo, 91, 0, "note"}, 10s, {0, mtInfo, 91, 0, "note"}, 2, 1},
      {"error and information", {0, mtError, 23, 0, "again"}, 1s, {0, mtInfo, 23, 0, "again"}, 2, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FList.Clear();
    FList.Add(c.first.Id, c.first.Code, c.first.Kind, c.first.Text, c.first.SubCode, true);
    FClock.Advance(c.apart);
    FList.Add(c.second.Id, c.second.Code, c.second.Kind, c.second.Text, c.second.SubCode, true);
    const auto items = Items();
    ASSERT_EQ(items.size(), c.items);
    EXPECT_EQ(items.back().Count, c.lastCount);
    EXPECT_EQ(items.back().Text, c.second.Text);  // a fold keeps the newer text
  }
}

TEST_F(MessageList, FoldedItemMovesToTheEndAndCarriesItsCountOnlyOnce) {
  FList.AddError(0, 7, 0, "lost");  // t = 0
  FClock.Advance(61s);
  FList.AddError(0, 7, 0, "lost");  // t = 61: too late, a second entry
  FList.AddError(0, 8, 0, "other");
  for (int i = 0; i < 4; ++i) {  // every 50 s: each folds into the one before
    FClock.Advance(50s);
    FList.AddError(0, 7, 0, "lost");
  }
  const auto items = Items();
  ASSERT_EQ(items.size(), 3u);
  EXPECT_EQ(items[0].Count, 1);  // the older equal item stays as it was
  EXPECT_EQ(items[1].Text, "other");
  EXPECT_EQ(items[2].Text, "lost");
  EXPECT_EQ(items[2].Count, 5);
  EXPECT_EQ(items[2].Time, ToUtcMs(kStart + 61s + 200s));  // the newest time
}

TEST_F(MessageList, ReferenceErrorRemovesTheSourcesRecentFollowUpErrors) {
  FList.AddErrorThread(0, 0x7FFF, 0, "PLL unlocked (old)");
  FClock.Advance(3s);  // the item above is now 7.9 s older than the reference error
  FList.AddErrorThread(0, 0x7FFF, 0, "PLL unlocked");
  FList.AddWarningThread(0, 8, 0, "Data transfer interrupted at 12:00");
  FList.AddErrorThread(1, 0x7FFF, 0, "PLL unlocked");
  FList.AddErrorThread(1, 8, 0, "Data transfer interrupted");
  FList.AddErrorThread(0, 9, 0, "something else");
  FClock.Advance(4900ms);
  FList.AddErrorThread(0, 0x7FF9, 0, "10MHz Reference Invalid");

  std::vector<std::string> left;
  for (const TMessageItem& item : Items()) left.push_back(std::string(1, static_cast<char>('A' + item.sIndex)) + " " + item.Text);
  EXPECT_EQ(left, (std::vector<std::string>{"A PLL unlocked (old)", "B PLL unlocked", "B Data transfer interrupted",
                                            "A something else", "A 10MHz Reference Invalid"}));
}

// Folding follows the monotonic clock; the wall clock only names the time.
TEST_F(MessageList, WallClockJumpsDoNotMoveTheFoldingWindow) {
  TZoneGuard berlin("Europe/Berlin");
  struct Case {
    const char* name;
    std::chrono::seconds monotonic;
    std::chrono::seconds wallJump;  // on top of the monotonic step
    std::size_t items;
  } cases[] = {
      {"30 s while the wall clock goes back an hour", 30s, -3600s, 1},
      {"61 s while the wall clock goes back an hour", 61s, -3600s, 2},
      {"10 s while the wall clock goes forward two hours", 10s, 7200s, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FList.Clear();
    FClock.SetWall(kStart);
    FList.AddError(0, 7, 0, "lost");
    FClock.Advance(c.monotonic);
    FClock.SetWall(kStart + c.monotonic + c.wallJump);
    FList.AddError(0, 7, 0, "lost");
    EXPECT_EQ(FList.Size(), c.items);
  }

  // Across the real change of 2024-10-27 (03:00 CEST -> 02:00 CET) the shown
  // local time goes back while the message still folds.
  FList.Clear();
  FClock.SetWall(std::chrono::system_clock::time_point{} + 1729990780s);  // 00:59:40 UTC
  FList.AddError(0, 7, 0, "lost");
  const std::string before = ItemToString(Items().back(), nullptr);
  FClock.Advance(30s);
  FList.AddError(0, 7, 0, "lost");
  ASSERT_EQ(FList.Size(), 1u);
  EXPECT_EQ(before, "2024-10-27 02:59:40 ERR   A lost");
  EXPECT_EQ(ItemToString(Items().back(), nullptr), "2024-10-27 02:00:10 ERR   A lost (2)");
}

// ---- items -----------------------------------------------------------------------------------

TEST_F(MessageList, SourcesColoursKindsAndLongTexts) {
  FList.SetSessionColor([](int index) -> std::optional<uint32_t> {
    if (index == 1) return 0x123456;
    return std::nullopt;
  });
  FList.AddInfo(-1, 1, 0, "application");
  FList.AddInfo(1, 1, 0, "session B");
  FList.AddInfo(5, 1, 0, "a session that is gone");
  FList.Add(0, 1, static_cast<TMsgType>(3), "unknown kind", 0, false);
  FList.AddInfo(0, 1, 0, std::string(TMessageList::kMaxTextLength - 1, 'x') + "\xC3\xA4" + "tail");

  const auto items = Items();
  ASSERT_EQ(items.size(), 4u);  // the unknown kind is dropped
  EXPECT_EQ(items[0].sIndex, TMessageItem::kAppSource);
  EXPECT_EQ(items[0].sColor, 0xFFFFFFu);
  EXPECT_EQ(items[1].sIndex, 1);
  EXPECT_EQ(items[1].sColor, 0x123456u);
  EXPECT_EQ(items[2].sIndex, 5);
  EXPECT_EQ(items[2].sColor, 0xFFFFFFu);
  // Cut before the two-byte character that would straddle the limit.
  EXPECT_EQ(items[3].Text, std::string(TMessageList::kMaxTextLength - 1, 'x'));
}

TEST(MessageItemText, FieldsEqualToThePreviousLineAreBlanked) {
  TZoneGuard zone("UTC");
  const auto item = [](int source, TMsgType kind, int64_t secondsAfterStart, const char* text, int count = 1,
                       bool viaThread = false) {
    TMessageItem m;
    m.sIndex = source;
    m.MsgType = kind;
    m.Time = ToUtcMs(kStart) + secondsAfterStart * 1000;
    m.Text = text;
    m.Count = count;
    m.ViaThread = viaThread;
    return m;
  };
  const TMessageItem first = item(0, mtError, 0, "lost", 3);
  struct Case {
    TMessageItem item;
    const TMessageItem* last;
    std::string expected;
  } cases[] = {
      {first, nullptr, "2024-07-01 10:00:00 ERR   A lost (3)"},
      {item(0, mtError, 0, "again"), &first, std::string(28, ' ') + "again"},
      {item(1, mtError, 1, "other"), &first, "           10:00:01       B other"},
      {item(0, mtWarning, 86400, "next day"), &first, "2024-07-02          WARN    next day"},
      {item(-2, mtInfo, 0, "app"), nullptr, "2024-07-01 10:00:00 INFO    app"},
      {item(2, mtInfo, 0, "threaded", 1, true), &first, "                    INFO  via thread C threaded"},
      {item(2, mtError, 0, "threaded", 1, true), &first, std::string(26, ' ') + "via thread C threaded"},
      {item(0, mtInfo, 0, "two\r\nlines"), nullptr, "2024-07-01 10:00:00 INFO  A two  lines"},
  };
  for (const Case& c : cases) EXPECT_EQ(ItemToString(c.item, c.last), c.expected);

  TMsgTextFormat format;
  format.DateFormat = "DD.MM.YY";
  format.TimeFormat = "HH:NN:SS.ZZZ";
  EXPECT_EQ(ItemToString(first, nullptr, format), "01.07.24 10:00:00.000 ERR   A lost (3)");
}

TEST_F(MessageList, DebugLinesNameTheEntryCodeAndFolds) {
  TTempFolder folder;
  const int logId = NewLog();
  ASSERT_GE(logId, 0);
  SetLogFile(logId, folder.File("main.log"), false);
  FList.SetLogId(logId);
  FList.AddError(0, 7, 0, "lost");
  FList.AddErrorThread(0, 7, 0, "lost");
  FList.AddWarning(1, 0x7F22, 3, "rate");
  FList.AddInfoThread(-1, 5, 0, "info");
  FList.AddInfoThread(0, 0x7FF9, 0, "ok");
  FList.AddInfoThread(0, 0x7FF9, 0, "ok");  // informations of this code do not fold
  FList.AddInfoThread(0, 23, 0, "again");
  FList.AddInfoThread(0, 23, 0, "again");
  FList.AddErrorThread(0, 0x7FFF, 0, "PLL");
  FList.AddErrorThread(0, 8, 0, "Data transfer interrupted");
  FList.AddErrorThread(0, 0x7FF9, 0, "reference");
  const std::string file = FindLogger(logId)->InternLogFileName();
  SetLogFile(logId, "", false);

  const std::string text = ReadFile(file);
  for (const char* line : {"TMainForm.AddError[0]: (7) lost\r\n",
                           "TMainForm.AddErrorThread[0]: (7) lost\r\n",
                           "TMainForm.AddErrorIntern delete duplicate msg(0: 2024-07-01 10:00:00 ERR   A lost\r\n",
                           "TMainForm.AddWarning[1]: (32546=0x7F22) rate\r\n",
                           "TMainForm.AddInfoThread[-1]: (5=0x05) info\r\n",
                           "TMainForm.AddInfoIntern delete duplicate msg 2024-07-01 10:00:00 INFO  via thread A again\r\n",
                           "TMainForm.AddErrorIntern delete PLL error\r\n",
                           "TMainForm.AddErrorIntern delete Data transfer interrupted error\r\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
  EXPECT_EQ(text.find("duplicate msg 2024-07-01 10:00:00 INFO  via thread A ok"), std::string::npos);
}

// ---- thread variants and the display tick ---------------------------------------------------

TEST_F(MessageList, DisplayTickHandsThreadItemsToThePopUpSideOnce) {
  std::vector<std::string> popUps;
  FList.SetOnViaThreadHandled([&](const TMessageItem& item) { popUps.push_back(item.Text); });

  FList.AddInfoThread(0, 91, 0, "thread info");
  EXPECT_NE(ItemToString(Items().back(), nullptr).find(" via thread "), std::string::npos);
  TMsgTickResult tick = FList.DisplayTick();
  EXPECT_TRUE(tick.Changed);
  EXPECT_FALSE(tick.ShowWindow);  // informations only refresh
  EXPECT_EQ(popUps, std::vector<std::string>{"thread info"});
  EXPECT_FALSE(Items().back().ViaThread);
  EXPECT_EQ(ItemToString(Items().back(), nullptr).find("via thread"), std::string::npos);

  FList.AddWarning(0, 5, 0, "main warning");  // main thread: no pop-up from the tick
  FList.AddErrorThread(0, 6, 0, "thread error");
  tick = FList.DisplayTick();
  EXPECT_TRUE(tick.ShowWindow);
  EXPECT_EQ(popUps, (std::vector<std::string>{"thread info", "thread error"}));

  tick = FList.DisplayTick();
  EXPECT_FALSE(tick.Changed);
  EXPECT_FALSE(tick.ShowWindow);
  EXPECT_EQ(popUps.size(), 2u);
}

TEST_F(MessageList, PopUpFailureBecomesAnErrorMessage) {
  FList.SetOnViaThreadHandled([](const TMessageItem& item) {
    if (item.Text == "boom") throw std::runtime_error("no pop-up");
    if (item.Text == "index") throw std::out_of_range("index");
  });
  FList.AddErrorThread(0, 6, 0, "boom");
  FList.AddErrorThread(0, 6, 0, "index");
  FList.AddErrorThread(0, 6, 0, "fine");
  EXPECT_NO_THROW(FList.DisplayTick());
  const auto items = Items();
  ASSERT_EQ(items.size(), 4u);  // index errors are only logged
  EXPECT_EQ(items.back().Text, "Internal Exception DisplayTimer Messages Update(std::runtime_error): no pop-up");
  EXPECT_EQ(items.back().sIndex, TMessageItem::kAppSource);
}

TEST_F(MessageList, EveryAppendedItemIsNotifiedOutsideTheLock) {
  std::vector<std::pair<std::string, int>> notified;
  FList.SetOnMessageAdded([&](const TMessageItem& item) {
    notified.emplace_back(item.Text, item.Count);
    // The notification side may read the list and add to it.
    if (item.Text == "mail failed") FList.AddWarningThread(-1, 500, 0, "mail not sent, list has " + std::to_string(FList.Size()));
    if (item.Text == "bad hook") throw std::runtime_error("hook");
  });
  FList.AddErrorThread(0, 7, 0, "lost");
  FList.AddErrorThread(0, 7, 0, "lost");
  FList.AddErrorThread(-1, 1, 0, "mail failed");
  EXPECT_NO_THROW(FList.AddErrorThread(-1, 1, 0, "bad hook"));
  EXPECT_EQ(notified, (std::vector<std::pair<std::string, int>>{
                          {"lost", 1}, {"lost", 2}, {"mail failed", 1}, {"mail not sent, list has 2", 1}, {"bad hook", 1}}));
  EXPECT_EQ(FList.Size(), 4u);
}

// ---- the window side ----------------------------------------------------------------------------

TEST_F(MessageList, AReaderThatCatchesUpSeesEveryChangeOnce) {
  TMirror window;
  const auto check = [&](const char* step) {
    SCOPED_TRACE(step);
    window.CatchUp(FList);
    EXPECT_EQ(Shown(window.Rows), Shown(Items()));
    EXPECT_TRUE(FList.ReadChanges(window.Next).Changes.empty());  // nothing twice
  };
  check("empty");
  FList.AddErrorThread(0, 0x7FFF, 0, "PLL unlocked");
  FList.AddInfoThread(0, 91, 0, "note");
  check("added");
  FClock.Advance(1s);
  FList.AddErrorThread(0, 0x7FFF, 0, "PLL unlocked");
  check("folded");
  FList.DisplayTick();
  check("thread flags cleared");
  FList.AddWarningThread(0, 8, 0, "Data transfer interrupted");
  FList.AddErrorThread(0, 0x7FF9, 0, "reference");
  check("removed by a reference error");
  FList.Clear();
  check("cleared");
  FList.AddInfo(-1, 1, 0, "after clearing");
  check("added after clearing");
  EXPECT_EQ(window.Rebuilds, 0);
}

TEST_F(MessageList, AReaderBehindTheKeptChangesRebuilds) {
  TMirror window;
  TMirror late;
  for (std::size_t i = 0; i < TMessageList::kMaxChanges + 10; ++i) {
    FList.AddWarningThread(0, 1, 0, "w" + std::to_string(i));
    if (i % 100 == 0) window.CatchUp(FList);
  }
  window.CatchUp(FList);
  late.CatchUp(FList);
  EXPECT_EQ(window.Rebuilds, 0);
  EXPECT_EQ(late.Rebuilds, 1);
  EXPECT_EQ(Shown(late.Rows), Shown(Items()));
  EXPECT_EQ(Shown(window.Rows), Shown(Items()));

  // A reader that missed a clearing rebuilds too; a number the list never gave as well.
  TMirror beforeClear;
  beforeClear.Next = window.Next - 1;
  FList.Clear();
  FList.AddInfo(-1, 1, 0, "fresh");
  beforeClear.CatchUp(FList);
  EXPECT_EQ(beforeClear.Rebuilds, 1);
  EXPECT_EQ(Shown(beforeClear.Rows), Shown(Items()));
  EXPECT_TRUE(FList.ReadChanges(window.Next + 1000000).Rebuild);
}

// ---- the cap ------------------------------------------------------------------------------------

TEST_F(MessageList, TheCapRemovesInformationsThenWarningsThenErrorsAndSaysSoOnce) {
  constexpr std::size_t kMax = TMessageList::kMaxItems;
  FList.AddError(0, 1, 0, "E0");
  FList.AddWarning(0, 1, 0, "W0");
  FList.AddInfo(0, 91, 0, "I0");
  FList.AddError(0, 1, 0, "E1");
  FList.AddWarning(0, 1, 0, "W1");
  FList.AddInfo(0, 91, 0, "I1");
  for (std::size_t i = FList.Size(); i < kMax; ++i) {
    FClock.Advance(1s);
    FList.AddError(1, 1, 0, "fill " + std::to_string(i));
  }
  ASSERT_EQ(FList.Size(), kMax);
  EXPECT_EQ(FList.CapRemoved(), 0u);

  TMirror window;
  window.CatchUp(FList);  // a rebuild: the change log keeps less than a full list
  std::vector<std::string> removed;
  const auto addAndTrack = [&](int n) {
    for (int i = 0; i < n; ++i) {
      FList.AddError(2, 1, 0, "new " + std::to_string(FList.CapRemoved()) + "/" + std::to_string(i));
      for (const TMsgChange& change : FList.ReadChanges(window.Next).Changes) {
        if (change.Kind != TKind::Removed) continue;
        const auto row = std::find_if(window.Rows.begin(), window.Rows.end(),
                                      [&](const TMessageItem& r) { return r.Seq == change.Seq; });
        ASSERT_NE(row, window.Rows.end());
        removed.push_back(row->Text);
      }
      window.CatchUp(FList);
    }
  };

  addAndTrack(1);  // one for the new message, one for the statement
  EXPECT_EQ(removed, (std::vector<std::string>{"I0", "I1"}));
  auto items = Items();
  ASSERT_EQ(items.size(), kMax);
  EXPECT_EQ(items.back().Text, "Message list limit of 10000 reached: 2 older messages removed");
  EXPECT_EQ(items.back().MsgType, mtInfo);
  EXPECT_EQ(items.back().sIndex, TMessageItem::kAppSource);

  addAndTrack(3);  // the statement stays where it is and counts on
  EXPECT_EQ(removed, (std::vector<std::string>{"I0", "I1", "W0", "W1", "E0"}));
  addAndTrack(1);
  EXPECT_EQ(removed.back(), "E1");
  items = Items();
  ASSERT_EQ(items.size(), kMax);
  const auto statements = std::count_if(items.begin(), items.end(), [](const TMessageItem& m) {
    return m.Text.starts_with("Message list limit");
  });
  EXPECT_EQ(statements, 1);
  EXPECT_EQ(FList.CapRemoved(), 6u);
  EXPECT_EQ(Shown(window.Rows), Shown(items));

  FList.Clear();
  EXPECT_EQ(FList.CapRemoved(), 0u);
  EXPECT_EQ(FList.Size(), 0u);
}

// ---- saving -------------------------------------------------------------------------------------

TEST_F(MessageList, SavesOneLinePerItemWithCrLfAndReportsFailures) {
  TTempFolder folder;
  const std::string file = folder.File("Messages.txt");
  const TMsgSaveResult empty = FList.SaveToFile(file);
  EXPECT_EQ(empty.Status, TMsgSaveResult::TStatus::NothingToSave);
  EXPECT_EQ(empty.Text, "No message to save");
  EXPECT_FALSE(std::filesystem::exists(file));

  FList.AddError(0, 7, 0, "lost");
  FList.AddError(0, 7, 0, "lost");
  FClock.Advance(2s);
  FList.AddWarningThread(1, 8, 0, "hot");
  FList.AddInfo(-1, 1, 0, "saved");
  const TMsgSaveResult saved = FList.SaveToFile(file);
  EXPECT_TRUE(saved.Ok()) << saved.Text;
  EXPECT_EQ(ReadFile(file),
            "2024-07-01 10:00:00 ERR   A lost (2)\r\n"
            "           10:00:02 WARN  via thread B hot\r\n"
            "                    INFO    saved\r\n");

  for (const std::string& bad : {folder.File("missing/Messages.txt"), std::string("/dev/full")}) {
    const TMsgSaveResult failed = FList.SaveToFile(bad);
    EXPECT_EQ(failed.Status, TMsgSaveResult::TStatus::Failed) << bad;
    EXPECT_NE(failed.Text.find(bad), std::string::npos) << failed.Text;
  }

  FList.Clear();
  EXPECT_EQ(FList.SaveToFile(file).Status, TMsgSaveResult::TStatus::NothingToSave);
  EXPECT_EQ(TextLines(ReadFile(file)).size(), 3u);  // the earlier file is left alone
}

}  // namespace
