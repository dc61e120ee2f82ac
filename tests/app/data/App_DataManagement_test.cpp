#include "app/data/App_DataManagement.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "library/core/LogUnit.h"
#include "TestStore.h"
#include "support/FileText.h"
#include "support/TempFolder.h"

namespace {

using HS = THorizontalScale;
constexpr int kRing = TDataManagement::kRingSize;


// ---- cursors while filling and after wrap-around ----------------------------------------------

TEST(DataManagementCursors, FillingAndWrapping) {
  struct Case {
    int adds, count, first, next;
  };
  const Case cases[] = {
      {0, 0, 0, 0},         {1, 1, 0, 1},         {2047, 2047, 0, 2047},  {2048, 2048, 0, 0},
      {2049, 2048, 1, 1},   {4096, 2048, 0, 0},   {5000, 2048, 904, 904},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("adds=" + std::to_string(c.adds));
    TTestStore store;
    store.Add(HS::hsNone, c.adds);
    EXPECT_EQ(store.Count(HS::hsNone), c.count);
    EXPECT_EQ(store.FirstX(HS::hsNone), c.first);
    EXPECT_EQ(store.NextX(HS::hsNone), c.next);
    EXPECT_EQ(store.TotalAdded(HS::hsNone), static_cast<uint64_t>(c.adds));
    EXPECT_EQ(store.GetNewCount(-1, HS::hsNone), c.count);
    EXPECT_EQ(store.GetNewCount(c.next, HS::hsNone), 0);
    // The oldest entry is where the whole count starts, and the ring holds
    // the newest entries in order from there.
    EXPECT_EQ(store.GetNewX(c.count, HS::hsNone), c.first);
    EXPECT_EQ(store.ReadFrom(HS::hsNone, c.first, c.count), Sequence(c.adds - c.count, c.count));
    // The other rings are untouched.
    EXPECT_EQ(store.Count(HS::hsShort), 0);
    EXPECT_EQ(store.Count(HS::hsLong), 0);
  }
}

TEST(DataManagementCursors, PositionArithmeticWrapsAtTheRingSize) {
  EXPECT_EQ(TDataManagement::GetNextX(0, -1), 2047);
  EXPECT_EQ(TDataManagement::GetNextX(2047, 1), 0);
  EXPECT_EQ(TDataManagement::GetNextX(100, 2 * kRing), 100);
  EXPECT_EQ(TDataManagement::GetNextX(2147483647, 1), 0);  // no overflow

  TTestStore store;
  store.Add(HS::hsNone, kRing);  // full, next position 0
  EXPECT_EQ(store.GetNewX(1, HS::hsNone), 2047);
  EXPECT_EQ(store.At(HS::hsNone, store.GetNewX(1, HS::hsNone)), 2047u);
  EXPECT_EQ(store.GetNewX(5000, HS::hsNone), 0);  // limited to the count: the oldest
  EXPECT_EQ(store.GetNewX(-3, HS::hsNone), 0);
}

TEST(DataManagementCursors, PositionReaderFollowsTheWriterAcrossTheWrap) {
  TTestStore store;
  int p = 0;
  uint64_t expected = 0;
  for (int step : {1000, 1000, 47, 1, 1500, 2047}) {
    store.Add(HS::hsShort, step);
    const int n = store.GetNewCount(p, HS::hsShort);
    ASSERT_EQ(n, step);
    EXPECT_EQ(store.ReadFrom(HS::hsShort, p, n), Sequence(expected, step));
    p = TDataManagement::GetNextX(p, n);
    expected += step;
    EXPECT_EQ(p, store.NextX(HS::hsShort));
  }
}

TEST(DataManagementCursors, PositionBasedCountIsNeverNegativeBehindAReset) {
  TTestStore store;
  store.Add(HS::hsNone, 500);
  const int p = store.NextX(HS::hsNone);
  store.Reset();
  store.Add(HS::hsNone, 10);
  EXPECT_EQ(store.GetNewCount(p, HS::hsNone), 0);
  // A position outside the ring is taken modulo the ring size.
  EXPECT_EQ(store.GetNewCount(4 + kRing, HS::hsNone), 6);
}

TEST(DataManagementCursors, PositionsBeforeAStartPosition) {
  TTestStore partial;
  partial.Add(HS::hsNone, 100);
  EXPECT_EQ(partial.GetNewX(20, 100, HS::hsNone), 80);
  // Going back past the first entry written stops there instead of wrapping
  // onto positions that hold nothing since the reset.
  EXPECT_EQ(partial.GetNewX(20, 10, HS::hsNone), 0);
  EXPECT_EQ(partial.GetNewX(100, 100, HS::hsNone), 0);

  TTestStore full;
  full.Add(HS::hsNone, kRing + 1000);  // oldest at 1000
  EXPECT_EQ(full.GetNewX(10, 5, HS::hsNone), 2043);
  EXPECT_EQ(full.GetNewX(10, 5 + kRing, HS::hsNone), 2043);
  // Asking for the whole ring gives the oldest entry, so reading on from
  // there keeps the entries in time order.
  EXPECT_EQ(full.GetNewX(kRing, 1500, HS::hsNone), 1000);
  EXPECT_EQ(full.GetNewX(kRing + 7, 1500, HS::hsNone), 1000);
}

TEST(DataManagementCursors, InvalidRingsAreIgnored) {
  TTestStore store;
  const auto bad = static_cast<HS>(3);
  store.AfterAddValues(bad);
  store.AfterAddValues(static_cast<HS>(-1));
  EXPECT_EQ(store.Count(bad), 0);
  EXPECT_EQ(store.TotalAdded(bad), 0u);
  EXPECT_EQ(store.GetNewCount(-1, bad), 0);
  EXPECT_EQ(store.ReadSince(bad, {}).Count, 0);
  EXPECT_EQ(store.GetScaleFactor(bad), 0);
  for (HS ring : {HS::hsNone, HS::hsShort, HS::hsLong}) EXPECT_EQ(store.TotalAdded(ring), 0u);
}

// ---- running counts and ReadSince -----------------------------------------------------------------

TEST(DataManagementReadSince, ReaderGetsEveryEntryOnceAndLearnsWhatItMissed) {
  struct Case {
    const char* name;
    int before, between;  // entries before the reader's last read, entries since
    int count;
    uint64_t missed;
  };
  const Case cases[] = {
      {"up to date", 100, 0, 0, 0},
      {"some new", 100, 50, 50, 0},
      {"exactly one ring behind", 100, kRing, kRing, 0},
      {"up to date on a full ring", kRing + 5, 0, 0, 0},
      {"more than a ring behind", 100, kRing + 952, kRing, 952},
      {"many rings behind", 3000, 5 * kRing + 1, kRing, 4 * kRing + 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TTestStore store;
    store.Add(HS::hsLong, c.before);
    const TRingRead first = store.ReadSince(HS::hsLong, TRingCursor{0, store.ResetGeneration()});
    store.Add(HS::hsLong, c.between);
    const TRingRead r = store.ReadSince(HS::hsLong, first.Next);
    EXPECT_FALSE(r.Restarted);
    EXPECT_EQ(r.Count, c.count);
    EXPECT_EQ(r.Missed, c.missed);
    EXPECT_EQ(r.Next.Total, static_cast<uint64_t>(c.before + c.between));
    EXPECT_EQ(store.ReadFrom(HS::hsLong, r.FirstX, r.Count),
              Sequence(c.before + c.between - c.count, c.count));
  }
}

TEST(DataManagementReadSince, AResetMakesTheReaderStartAgain) {
  TTestStore store;
  store.Add(HS::hsNone, 300);
  const TRingCursor seen = store.ReadSince(HS::hsNone, {0, store.ResetGeneration()}).Next;

  store.Reset();
  EXPECT_EQ(store.TotalAdded(HS::hsNone), 0u);
  const TRingRead empty = store.ReadSince(HS::hsNone, seen);
  EXPECT_TRUE(empty.Restarted);
  EXPECT_EQ(empty.Count, 0);

  // More entries after the reset than the reader had seen before: the total
  // alone would look like progress, the generation tells the truth.
  store.Add(HS::hsNone, 400);
  const TRingRead r = store.ReadSince(HS::hsNone, seen);
  EXPECT_TRUE(r.Restarted);
  EXPECT_EQ(r.Count, 400);
  EXPECT_EQ(r.FirstX, 0);
  EXPECT_EQ(r.Missed, 0u);
  EXPECT_EQ(store.ReadFrom(HS::hsNone, r.FirstX, r.Count), Sequence(0, 400));

  // Behind a reset and more than a ring: the newest ring, the rest missed.
  store.Reset();
  store.Add(HS::hsNone, kRing + 10);
  const TRingRead far = store.ReadSince(HS::hsNone, r.Next);
  EXPECT_TRUE(far.Restarted);
  EXPECT_EQ(far.Count, kRing);
  EXPECT_EQ(far.Missed, 10u);
  EXPECT_FALSE(store.ReadSince(HS::hsNone, far.Next).Restarted);
}

// ---- reset, header and channel count ------------------------------------------------------------------

struct TCallbackLog {
  std::vector<std::string> Events;

  void Connect(TDataManagement& store) {
    store.FOnReset = [this, &store](int code, TDataManagement& sender) {
      Events.push_back("reset " + std::to_string(code) + (&sender == &store ? " self" : " other"));
    };
    store.FOnChannelCount = [this](int code, int n) {
      Events.push_back("channels " + std::to_string(code) + " " + std::to_string(n));
    };
    store.FOnScaleFactor = [this](HS scale, int value) {
      Events.push_back("scale " + std::string(HorizontalScaleName(scale)) + " " + std::to_string(value));
    };
    store.FOnError = [this](int code, int aInt, const std::string& text) {
      Events.push_back("error " + std::to_string(code) + " " + std::to_string(aInt) + " " + text);
    };
    store.FOnWarning = [this](int code, int aInt, const std::string& text) {
      Events.push_back("warning " + std::to_string(code) + " " + std::to_string(aInt) + " " + text);
    };
  }
  std::vector<std::string> Take() { return std::exchange(Events, {}); }
};

using Events = std::vector<std::string>;

TEST(DataManagementReset, EmptiesEveryRingAndReportsOnlyWhenSomethingWasHeld) {
  TTestStore store;
  TCallbackLog log;
  log.Connect(store);

  store.Reset();
  EXPECT_EQ(log.Take(), Events{});

  store.SetChannelCount(4);
  store.Add(HS::hsLong, 3);
  store.SetSync("S7");
  const uint64_t generation = store.ResetGeneration();
  log.Take();
  store.Reset();
  EXPECT_EQ(log.Take(), (Events{"channels 2 0", "reset 3 self"}));
  EXPECT_EQ(store.ChannelCount(), 0);
  EXPECT_EQ(store.Sync(), "0");
  EXPECT_GT(store.ResetGeneration(), generation);
  for (HS ring : {HS::hsNone, HS::hsShort, HS::hsLong}) {
    EXPECT_EQ(store.Count(ring), 0);
    EXPECT_EQ(store.NextX(ring), 0);
    EXPECT_EQ(store.FirstX(ring), 0);
    EXPECT_EQ(store.TotalAdded(ring), 0u);
  }
}

TEST(DataManagementHeader, OnlyAChangeFromARealHeaderResets) {
  TTestStore store;
  TCallbackLog log;
  log.Connect(store);
  EXPECT_EQ(store.ValueHeader().FHeader, 0x7FFF);

  struct Step {
    uint16_t code;
    bool resets;
  };
  const Step steps[] = {
      {0x1234, false},  // the first header after creation
      {0x1234, false},  // the same again
      {0x2345, true},   // a change
      {0x2345, false},
      {0xA345, false},  // the same measurement with data lost: no change of the data
      {0xFFFF, true},   // back to "no header"
      {0x0456, false},  // the first header after "no header"
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(std::to_string(s.code));
    store.Add(HS::hsNone);
    EXPECT_EQ(store.SetValueHeader(s.code), s.resets);
    EXPECT_EQ(store.ValueHeader().FHeader, s.code & 0x7FFF);
    EXPECT_EQ(store.Count(HS::hsNone) == 0, s.resets);
    EXPECT_EQ(log.Take(), s.resets ? Events{"reset 3 self"} : Events{});
  }
  EXPECT_TRUE(store.ValueHeader().FModeValid);
}

TEST(DataManagementChannels, CountChangesAreReportedAndBadCountsRefused) {
  TTestStore store;
  TCallbackLog log;
  log.Connect(store);
  EXPECT_TRUE(store.SetChannelCount(4));
  EXPECT_FALSE(store.SetChannelCount(4));
  EXPECT_TRUE(store.SetChannelCount(24));
  EXPECT_EQ(log.Take(), (Events{"channels 2 4", "channels 2 24"}));
  for (int bad : {-1, 25, 1000}) EXPECT_FALSE(store.SetChannelCount(bad));
  EXPECT_EQ(store.ChannelCount(), 24);
  EXPECT_EQ(log.Take(), Events{});
}

TEST(DataManagementChannels, NamesOfChannelsOneToTwentyFour) {
  TTestStore store;
  EXPECT_TRUE(store.SetChannelName(1, "Ref"));
  EXPECT_TRUE(store.SetChannelName(24, "Last"));
  EXPECT_EQ(store.GetChannelName(1), "Ref");
  EXPECT_EQ(store.GetChannelName(24), "Last");
  EXPECT_EQ(store.GetChannelName(2), "");
  for (int bad : {0, -1, 25}) {
    EXPECT_FALSE(store.SetChannelName(bad, "x"));
    EXPECT_EQ(store.GetChannelName(bad), "");
  }
}

// ---- virtual channels, scale factors, markers, log types ------------------------------------------------------

TEST(DataManagementVirtual, CountFollowsTheFactorRows) {
  TTestStore store;
  EXPECT_EQ(store.GetVirtualChannelCount(), 0);
  TDataManagement::TFactorRow row{};
  row[0] = 1.0;
  row[3] = -1.0;
  EXPECT_TRUE(store.SetVirtualFactors(1, row));
  EXPECT_EQ(store.GetVirtualChannelCount(), 1);  // cached, then recounted after the next change
  EXPECT_TRUE(store.SetVirtualFactors(2, row));
  EXPECT_EQ(store.GetVirtualChannelCount(), 2);
  EXPECT_EQ(store.GetVirtualFactors(2), row);
  EXPECT_TRUE(store.SetVirtualFactors(2, {}));
  EXPECT_EQ(store.GetVirtualChannelCount(), 1);

  EXPECT_FALSE(store.SetVirtualFactors(0, row));
  EXPECT_FALSE(store.SetVirtualFactors(25, row));
  EXPECT_EQ(store.GetVirtualFactors(25), TDataManagement::TFactorRow{});
  EXPECT_EQ(store.GetVirtualChannelCount(), 1);
}

TEST(DataManagementScale, FactorsOfTheAverageRings) {
  TTestStore store;
  TCallbackLog log;
  log.Connect(store);
  for (HS ring : {HS::hsNone, HS::hsShort, HS::hsLong}) EXPECT_EQ(store.GetScaleFactor(ring), 1);

  EXPECT_TRUE(store.SetScaleFactor(HS::hsShort, 10));
  EXPECT_FALSE(store.SetScaleFactor(HS::hsShort, 10));
  EXPECT_TRUE(store.SetScaleFactor(HS::hsLong, 600));
  EXPECT_EQ(log.Take(), (Events{"scale hsShort 10", "scale hsLong 600"}));

  EXPECT_FALSE(store.SetScaleFactor(HS::hsShort, 0));
  EXPECT_FALSE(store.SetScaleFactor(HS::hsLong, -5));
  EXPECT_FALSE(store.SetScaleFactor(HS::hsNone, 5));
  EXPECT_FALSE(store.SetScaleFactor(static_cast<HS>(7), 5));
  EXPECT_EQ(log.Take(), Events{});
  EXPECT_EQ(store.GetScaleFactor(HS::hsNone), 1);
  EXPECT_EQ(store.GetScaleFactor(HS::hsShort), 10);
  EXPECT_EQ(store.GetScaleFactor(HS::hsLong), 600);
}

TEST(DataManagementSync, MarkerBelongsToOneRawValue) {
  TTestStore store;
  EXPECT_EQ(store.Sync(), "0");
  store.SetSync("S1");
  store.Add(HS::hsShort);  // averages do not take the marker
  EXPECT_EQ(store.Sync(), "S1");
  store.Add(HS::hsNone);
  EXPECT_EQ(store.Sync(), "0");

  // A new reset value moves an unused marker along, but not a pending one.
  store.SetSyncReset("-");
  EXPECT_EQ(store.Sync(), "-");
  store.SetSync("S2");
  store.SetSyncReset("");
  EXPECT_EQ(store.Sync(), "S2");
  EXPECT_EQ(store.SyncReset(), "");
  store.Add(HS::hsNone);
  EXPECT_EQ(store.Sync(), "");
}

TEST(DataManagementLogTypes, BitsZeroToThirtyOne) {
  TTestStore store;
  store.SetSamplerLogTypes(0x80000005u);
  EXPECT_EQ(store.SamplerLogTypes(), 0x80000005u);
  EXPECT_TRUE(store.IsLogTypeNeeded(0));
  EXPECT_FALSE(store.IsLogTypeNeeded(1));
  EXPECT_TRUE(store.IsLogTypeNeeded(2));
  EXPECT_TRUE(store.IsLogTypeNeeded(31));
  EXPECT_FALSE(store.IsLogTypeNeeded(32));
  EXPECT_FALSE(store.IsLogTypeNeeded(-1));
}

// ---- messages and debug lines ------------------------------------------------------------------------------------

TEST(DataManagementMessages, ErrorsAndWarningsReachTheSessionAndTheLog) {
  TTempFolder folder;
  const int logId = NewLog();
  ASSERT_GE(logId, 0);
  SetLogFile(logId, folder.File("store.log"), false);
  const std::string file = FindLogger(logId)->InternLogFileName();

  TDataManagement store(logId, 3, false);
  TCallbackLog log;
  log.Connect(store);
  EXPECT_EQ(store.DbgTag(), "TDataManagement[3/False]");
  store.AddError(42, "bad line");
  store.AddWarning(43, "late line");
  store.SetValueHeader(0x0123);
  store.AfterAddValues(HS::hsNone);
  store.SetValueHeader(0x0456);
  store.SetScaleFactor(HS::hsLong, 60);
  store.SetSessIsCopy(true);
  EXPECT_TRUE(store.SessIsCopy());
  EXPECT_EQ(store.DbgTag(), "TDataManagement[3/True]");
  SetLogFile(logId, "", false);

  EXPECT_EQ(log.Take(), (Events{"error 42 0 bad line", "warning 43 0 late line", "reset 3 self", "scale hsLong 60"}));
  const std::string text = ReadFile(file);
  for (const char* line : {"TDataManagement[3/False].BaseCreate", "TDataManagement[3/False].BaseAddError: bad line",
                           "TDataManagement[3/False].BaseAddWarning: late line",
                           "TDataManagement[3/False].Base Header changed: old=0123, new=0456",
                           "TDataManagement[3/False].BaseSetScaleFactor[hsLong]=60",
                           "TDataManagement[3/True].BaseSetSessIsCopy True"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
}

}  // namespace
