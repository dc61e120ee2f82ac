#include "app/core/ZEP_Sync.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <utility>

#include "library/core/LogUnit.h"
#include "support/FileText.h"
#include "support/TempFolder.h"

namespace {

class TNamedSession : public TPolledSession {
 public:
  TNamedSession(int index, bool copy) : FIndex(index), FCopy(copy) {}
  std::string OpenString() const override { return "USB"; }
  bool DeviceOpened() const override { return true; }
  bool GetReport() override { return false; }
  bool IsSerialColdfire() const override { return false; }
  int Index() const override { return FIndex; }
  bool IsCopy() const override { return FCopy; }
  std::string ToString() const override { return "Session " + std::to_string(FIndex); }

 private:
  int FIndex;
  bool FCopy;
};

TEST(SyncWhatName, NamesEveryKindAndFlagsOthers) {
  const std::pair<int, std::string> cases[] = {
      {1, "DataReset"},         {2, "DataResetQMT"},     {3, "ChannelCount"},     {4, "QMTChannels"},
      {5, "PDICards"},          {6, "RateIndex"},        {7, "Mode"},             {8, "Scrambler"},
      {9, "PhaseDiffReset"},    {10, "ReSync"},          {11, "PAV only"},        {12, "QMT only"},
      {13, "QMT Calibration"},  {14, "Peer"},            {15, "PVH Data"},        {16, "Clock Precedence"},
      {17, "PLL State"},        {18, "Operating Mode"},  {19, "QMT MasterClock"}, {20, "PPI"},
      {0, "Unknown what=0"},    {21, "Unknown what=21"}, {-1, "Unknown what=-1"},
  };
  for (const auto& [what, name] : cases) EXPECT_EQ(SyncWhatName(what), name) << what;
}

TEST(MainSyncData, ToStringNamesKindValuesTextAndSender) {
  const auto copy = std::make_shared<TNamedSession>(2, true);
  const auto counter = std::make_shared<TNamedSession>(0, false);
  const std::pair<TMainSyncData, std::string> cases[] = {
      {TMainSyncData(SyncWhat::ChannelCount, 1, 8, "", counter),
       "TMainSyncData ChannelCount Code=1, aInt=8, , Sender=Session 0/False"},
      {TMainSyncData(SyncWhat::QMTOnly, 0, 0, "feature bits", copy),
       "TMainSyncData QMT only Code=0, aInt=0, feature bits, Sender=Session 2/True"},
      {TMainSyncData(SyncWhat::RateIndex, -4, 100, "x"), "TMainSyncData RateIndex Code=-4, aInt=100, x, Sender=nil"},
      {TMainSyncData(99, 0, 0, ""), "TMainSyncData Unknown what=99 Code=0, aInt=0, , Sender=nil"},
  };
  for (const auto& [item, text] : cases) EXPECT_EQ(item.ToString(), text);
}

// An item waiting in the list must neither keep a removed session alive nor
// forget which session it was about.
TEST(MainSyncData, SenderIsHeldWeaklyAndStillNamedWhenGone) {
  auto session = std::make_shared<TNamedSession>(3, false);
  TMainSyncData item(SyncWhat::DataReset, 2, 0, "", session);
  EXPECT_EQ(item.Sender(), session);
  EXPECT_EQ(session.use_count(), 1);

  session.reset();
  EXPECT_EQ(item.Sender(), nullptr);
  EXPECT_TRUE(item.HasSender());
  EXPECT_EQ(item.ToString(), "TMainSyncData DataReset Code=2, aInt=0, , Sender=Session 3/False");
}

TEST(SyncList, HandsItemsOverInTheOrderAdded) {
  TSyncList list;
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_FALSE(list.TakeFirst().has_value());

  for (int i = 0; i < 3; ++i) list.AddSync(TMainSyncData(SyncWhat::Mode, i, 0, "m" + std::to_string(i)));
  EXPECT_EQ(list.Count(), 3u);
  for (int i = 0; i < 3; ++i) {
    const auto item = list.TakeFirst();
    ASSERT_TRUE(item.has_value());
    EXPECT_EQ(item->Code, i);
    EXPECT_EQ(item->Text, "m" + std::to_string(i));
  }
  EXPECT_EQ(list.Count(), 0u);
  EXPECT_FALSE(list.TakeFirst().has_value());
}

TEST(SyncList, AddSyncLogsTheItemOnlyWhileALogIsGiven) {
  TTempFolder folder;
  const int logId = NewLog();
  ASSERT_GE(logId, 0);
  SetLogFile(logId, folder.File("sync.log"), false);
  const std::string file = FindLogger(logId)->InternLogFileName();

  TSyncList list(logId);
  list.AddSync(TMainSyncData(SyncWhat::PPI, 3, 0, "logged"));
  list.SetLogId(-1);
  list.AddSync(TMainSyncData(SyncWhat::PPI, 4, 0, "quiet"));
  SetLogFile(logId, "", false);

  const std::string text = ReadFile(file);
  EXPECT_NE(text.find("ZEP_Sync.AddSync TMainSyncData PPI Code=3, aInt=0, logged, Sender=nil"), std::string::npos)
      << text;
  EXPECT_EQ(text.find("quiet"), std::string::npos) << text;
  EXPECT_EQ(list.Count(), 2u);
}

}  // namespace
