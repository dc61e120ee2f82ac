#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "app/data/PAV_DataManagement.h"

namespace {

using HS = THorizontalScale;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kTenMHz = 10e6;

// Header of a 1 s measurement in report mode `mode`.
uint16_t Header(int mode) { return static_cast<uint16_t>((mode << 12) | 0x0900); }

std::string Right(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

// A counter store whose state the tests set directly, the way the line
// evaluation leaves it: current values per channel, series entries at the
// next ring position, then the ring advances.
class TStringStore : public TPAV_DataManagement {
 public:
  TStringStore() : TPAV_DataManagement(-1, 3, false) {}

  using TPAV_DataManagement::AddSamplerStrings;
  using TPAV_DataManagement::GenerateSamplerStrings;
  using TPAV_DataManagement::PhaseText;

  struct TChannel {
    Phase PhaseValue;
    Phase Diff;
    Phase PreDiff;
    int Decimals = kDefaultPhaseDecimals;
    double Frequency = 0.0;
    bool FrequencyValid = false;
    double Nominal = 0.0;
    double ResidualNs = 0.0;
  };
  // Current values of channel k; the line then has channels 1..k at least.
  void SetChannel(int k, const TChannel& c) {
    auto lock = Lock();
    PPhase[k] = c.PhaseValue;
    PPhaseDiff[k] = c.Diff;
    PPhasePreDiff[k] = c.PreDiff;
    FPhaseDecimals[k] = c.Decimals;
    FFrequency[k] = c.Frequency;
    FFrequencyValid[k] = c.FrequencyValid;
    FNom_Frequ[k] = c.Nominal;
    FFrequencyRelative[k] = c.Nominal != 0.0 ? (c.Frequency - c.Nominal) / c.Nominal : 0.0;
    FPhaseRes_ns[k] = c.ResidualNs;
    FLetzterKanal = std::max(FLetzterKanal, k);
    SetChannelCount(FLetzterKanal);
  }

  struct TVirtual {
    Phase PhaseValue;
    Phase Diff;
    Phase PreDiff;
    double Frequency = 0.0;
    double Relative = 0.0;
    double ResidualNs = 0.0;
  };
  void SetVirtual(int v, const TFactorRow& row, const TVirtual& values) {
    SetVirtualFactors(v, row);
    auto lock = Lock();
    PVirtPhase[v] = values.PhaseValue;
    PVirtPhaseDiff[v] = values.Diff;
    PVirtPhasePreDiff[v] = values.PreDiff;
    FVirtFrequency[v] = values.Frequency;
    FVirtFrequencyRelative[v] = values.Relative;
    FVirtPhaseRes_ns[v] = values.ResidualNs;
  }

  // Series entries of one channel at one ring position.
  struct TEntry {
    double Frequency = 0.0;
    double DiffCycles = 0.0;
    double PreDiffCycles = 0.0;
    double ResidualPs = 0.0;
  };
  // One line: the entries of channels 1..n at the next position, then the ring advances.
  void AddEntries(const std::vector<TEntry>& channels, int64_t deviceMs = -1) {
    auto lock = Lock();
    const std::size_t x = static_cast<std::size_t>(FlaufX[0]);
    for (std::size_t k = 1; k <= channels.size(); ++k) {
      FFrequencies[k][x] = channels[k - 1].Frequency;
      FPhaDiff[k][x] = channels[k - 1].DiffCycles;
      FPhaPredecessor[k][x] = channels[k - 1].PreDiffCycles;
      FPhaseRes_ps[k][x] = channels[k - 1].ResidualPs;
    }
    FPAVTime[x] = deviceMs;
    SetChannelCount(static_cast<int>(channels.size()));
    AfterAddValues(HS::hsNone);
  }
  void SetNominal(int k, double f0) {
    auto lock = Lock();
    FNom_Frequ[k] = f0;
  }
  void SetLine(const std::string& sync, const std::string& syncTime, const std::string& pdis,
               const std::string& alarm) {
    auto lock = Lock();
    FSync = sync;
    FSyncTime = syncTime;
    FPDIs_HEX = pdis;
    FClockAlarmText = alarm;
  }
  void SetPLL(bool error) {
    auto lock = Lock();
    FPLLError = error;
  }
  void SetRawAveraging(bool avg) {
    auto lock = Lock();
    FRawAvg = avg;
  }
  void SetServerRunning(bool running) {
    auto lock = Lock();
    FLocalServerRunning = running;
  }
  void SetDebugText(const std::string& text) {
    auto lock = Lock();
    FDebugText = text;
  }
  std::string VirtualString(int index) {
    auto lock = Lock();
    const std::string* strings[] = {&FSamplerVirtualFreqAbsValuesString, &FSamplerVirtualFreqRelValuesString,
                                    &FSamplerVirtualPhaseResValuesString, &FSamplerVirtualPhaseDiffValuesString,
                                    &FSamplerVirtualPhasePrevValuesString};
    return *strings[index];
  }
};

TDataManagement::TFactorRow Weights(std::initializer_list<double> w) {
  TDataManagement::TFactorRow row{};
  std::copy(w.begin(), w.end(), row.begin());
  return row;
}

class PavStrings : public ::testing::Test {
 protected:
  void SetUp() override { store = std::make_unique<TStringStore>(); }

  // A store in report mode `mode` (set before any value: a header change resets).
  void Mode(int mode) { store->SetValueHeader(Header(mode)); }

  std::unique_ptr<TStringStore> store;
};

// ---- phase text ---------------------------------------------------------------------------------------

TEST_F(PavStrings, PhaseTextIsTwentySixCharactersWithTheSignBeforeTheWholeNumber) {
  struct TCase {
    Phase p;
    int decimals;
    char separator;
    std::string tail;
  };
  const std::vector<TCase> cases = {
      {{12, 0.5}, 3, '.', " 12.500"},
      {{0, -0.25}, 2, '.', " -0.25"},
      {{0, -0.25}, 2, ',', " -0,25"},
      {{-3, -0.125}, 3, '.', " -3.125"},
      {{0, 0.9999996}, 6, '.', " 1.000000"},        // rounding carries into the whole cycles
      {{-7, -0.9999996}, 6, '.', " -8.000000"},
      {{123456789012LL, 0.5}, 11, '.', " 123456789012.50000000000"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.tail);
    const std::string text = TStringStore::PhaseText(c.p, c.decimals, TFormatSettings{c.separator, ' '});
    EXPECT_EQ(text.size(), 26u);
    EXPECT_EQ(text.substr(text.size() - c.tail.size()), c.tail);
    EXPECT_EQ(text.find_first_not_of(' '), 26 - c.tail.size() + 1);
  }
}

// ---- series readers ------------------------------------------------------------------------------------

TEST_F(PavStrings, ReadersAreEmptyInModesWithoutTheirValuesAndSayWhy) {
  struct TCase {
    int mode;
    bool frequencies, phaseDiffs, residuals;
    std::string frequNoData, phaDiffNoData, theoNoData;
  };
  const std::vector<TCase> cases = {
      {0, true, true, true, "", "", ""},
      {1, true, true, true, "", "", ""},
      {2, true, false, false, "", "No phase difference value in frequency report mode",
       "No ideal phase value in frequency report mode"},
      {3, true, false, false, "", "No phase difference value in frequency report mode",
       "No ideal phase value in frequency report mode"},
      {4, false, true, false, "No frequency value in phase difference report mode", "",
       "No ideal phase value in phase Difference report mode"},
      {5, false, true, false, "No frequency value in phase difference report mode", "",
       "No ideal phase value in phase Difference report mode"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.mode);
    SetUp();
    Mode(c.mode);
    store->SetNominal(1, kTenMHz);
    store->AddEntries({{kTenMHz + 1.0, 0.5, 0.25, 7.0}});
    EXPECT_EQ(store->GetFrequDiff(false, 1, 0, 1).size(), c.frequencies ? 1u : 0u);
    EXPECT_EQ(store->GetFrequDiffRelative(false, 1, 0, 1).size(), c.frequencies ? 1u : 0u);
    EXPECT_EQ(store->GetLastFrequDiff(false).size(), c.frequencies ? 1u : 0u);
    EXPECT_EQ(store->GetPhaDiffPs(false, 1, 0, 1).size(), c.phaseDiffs ? 1u : 0u);
    EXPECT_EQ(store->GetPhaPredecessorPs(false, 1, 0, 1).size(), c.phaseDiffs ? 1u : 0u);
    EXPECT_EQ(store->GetLastPhaDiffPs(false).size(), c.phaseDiffs ? 1u : 0u);
    EXPECT_EQ(store->GetTheoPhaseDiffPs(false, 1, 0, 1).size(), c.residuals ? 1u : 0u);
    EXPECT_EQ(store->GetLastTheoPhaseDiffPs(false).size(), c.residuals ? 1u : 0u);
    EXPECT_EQ(store->GetFrequDiffNoData(), c.frequNoData);
    EXPECT_EQ(store->GetPhaDiffPsNoData(1), c.phaDiffNoData);
    EXPECT_EQ(store->GetTheoPhaseDiffPsNoData(1), c.theoNoData);
  }
}

TEST_F(PavStrings, ReadersConvertToTheUnitsOfTheGraphs) {
  Mode(0);
  store->SetNominal(1, kTenMHz);
  store->AddEntries({{kTenMHz + 2.5, 0.5, -0.25, 123.0}});
  EXPECT_DOUBLE_EQ(store->GetFrequDiff(false, 1, 0, 1)[0], 2.5);
  EXPECT_DOUBLE_EQ(store->GetFrequDiffRelative(false, 1, 0, 1)[0], 2.5e-7);
  EXPECT_DOUBLE_EQ(store->GetPhaDiffPs(false, 1, 0, 1)[0], 50000.0);  // half a cycle at 10 MHz
  EXPECT_DOUBLE_EQ(store->GetPhaPredecessorPs(false, 1, 0, 1)[0], -25000.0);
  EXPECT_DOUBLE_EQ(store->GetTheoPhaseDiffPs(false, 1, 0, 1)[0], 123.0);
  EXPECT_DOUBLE_EQ(store->GetLastFrequDiff(false)[0], 2.5);
}

TEST_F(PavStrings, AChannelWithoutNominalFrequencyHasNoDifferencesAndNoFalseZeros) {
  Mode(0);
  store->SetNominal(1, kTenMHz);
  store->AddEntries({{kTenMHz, 0.5, 0.5, 1.0}, {5e6, 0.5, 0.5, kNaN}});
  EXPECT_TRUE(store->GetPhaDiffPs(false, 2, 0, 1).empty());
  EXPECT_TRUE(store->GetPhaPredecessorPs(false, 2, 0, 1).empty());
  EXPECT_TRUE(store->GetTheoPhaseDiffPs(false, 2, 0, 1).empty());
  EXPECT_EQ(store->GetPhaDiffPsNoData(2), "Nominal frequency missing");
  EXPECT_EQ(store->GetTheoPhaseDiffPsNoData(2), "Nominal frequency missing");
  // Neither the absolute frequency as a "difference" nor a relative 0.
  EXPECT_TRUE(std::isnan(store->GetFrequDiff(false, 2, 0, 1)[0]));
  EXPECT_TRUE(std::isnan(store->GetFrequDiffRelative(false, 2, 0, 1)[0]));
  const TPAV_DataManagement::TSeries last = store->GetLastPhaDiffPs(false);
  ASSERT_EQ(last.size(), 2u);
  EXPECT_DOUBLE_EQ(last[0], 50000.0);
  EXPECT_TRUE(std::isnan(last[1]));
}

TEST_F(PavStrings, AFrequencyNotMeasuredIsAGapNotMinusTheNominalFrequency) {
  Mode(0);
  store->SetNominal(1, kTenMHz);
  store->AddEntries({{0.0}});  // the first line after a reset has no frequency
  store->AddEntries({{kTenMHz + 1.0}});
  const TPAV_DataManagement::TSeries offsets = store->GetFrequDiff(false, 1, 0, 2);
  ASSERT_EQ(offsets.size(), 2u);
  EXPECT_TRUE(std::isnan(offsets[0]));
  EXPECT_DOUBLE_EQ(offsets[1], 1.0);
  EXPECT_TRUE(std::isnan(store->GetFrequDiffRelative(false, 1, 0, 1)[0]));
}

TEST_F(PavStrings, AMissingResidualLeavesAGapInsteadOfEmptyingTheWindow) {
  Mode(0);
  store->SetNominal(1, kTenMHz);
  for (double ps : {1.0, 2.0, kNaN, 4.0}) store->AddEntries({{kTenMHz, 0.0, 0.0, ps}});
  const TPAV_DataManagement::TSeries values = store->GetTheoPhaseDiffPs(false, 1, 0, 4);
  ASSERT_EQ(values.size(), 4u);
  EXPECT_DOUBLE_EQ(values[0], 1.0);
  EXPECT_DOUBLE_EQ(values[1], 2.0);
  EXPECT_TRUE(std::isnan(values[2]));
  EXPECT_DOUBLE_EQ(values[3], 4.0);
}

TEST_F(PavStrings, ReadersStayInsideTheRing) {
  Mode(0);
  store->SetNominal(1, kTenMHz);
  // 2050 lines: the ring wrapped, entry n holds frequency offset n.
  for (int n = 0; n < 2050; ++n) store->AddEntries({{kTenMHz + n, 0.0, 0.0, 0.0}});
  ASSERT_EQ(store->NextX(HS::hsNone), 2);

  const TPAV_DataManagement::TSeries across = store->GetFrequDiff(false, 1, 2046, 4);
  EXPECT_EQ(across, (TPAV_DataManagement::TSeries{2046.0, 2047.0, 2048.0, 2049.0}));
  const TPAV_DataManagement::TSeries newest = store->GetFrequDiff(false, 1, store->GetNewX(3, HS::hsNone), 3);
  EXPECT_EQ(newest, (TPAV_DataManagement::TSeries{2047.0, 2048.0, 2049.0}));
  // Positions outside the ring are taken modulo its size.
  EXPECT_EQ(store->GetFrequDiff(false, 1, 2048 + 2046, 1), (TPAV_DataManagement::TSeries{2046.0}));
  EXPECT_EQ(store->GetFrequDiff(false, 1, -2, 1), (TPAV_DataManagement::TSeries{2046.0}));
  EXPECT_EQ(store->GetFrequDiff(false, 1, std::numeric_limits<int>::max(), 2).size(), 2u);
  EXPECT_EQ(store->GetFrequDiff(false, 1, std::numeric_limits<int>::min(), 2).size(), 2u);
  // Never more than one ring.
  EXPECT_EQ(store->GetFrequDiff(false, 1, 0, 100000).size(), 2048u);

  struct TBad {
    const char* name;
    bool virtualChannel;
    int kanal, anz;
  };
  for (const TBad& c : std::vector<TBad>{{"channel 0", false, 0, 1},
                                         {"channel 25", false, 25, 1},
                                         {"negative channel", false, -3, 1},
                                         {"no values", false, 1, 0},
                                         {"negative count", false, 1, -1},
                                         {"virtual channel 25", true, 25, 1},
                                         {"virtual channel without weights", true, 1, 1}}) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(store->GetFrequDiff(c.virtualChannel, c.kanal, 0, c.anz).empty());
    EXPECT_TRUE(store->GetAvgShort(c.virtualChannel, c.kanal, 0, c.anz).empty());
    EXPECT_TRUE(store->GetTheoPhaseDiffPs(c.virtualChannel, c.kanal, 0, c.anz).empty());
  }
}

TEST_F(PavStrings, VirtualSeriesWeighTheirChannelsAndAreMissingWithoutANominalFrequency) {
  Mode(0);
  store->SetNominal(1, kTenMHz);
  store->SetNominal(2, 5e6);
  store->SetVirtualFactors(1, Weights({1.0, 3.0}));
  store->SetVirtualFactors(2, Weights({0.0, 0.0, 1.0}));  // channel 3 has no nominal frequency
  store->AddEntries({{kTenMHz + 4.0, 0.5, 0.0, 10.0}, {5e6 + 1.0, 0.25, 0.0, 20.0}, {1e6, 0.1, 0.0, kNaN}});

  EXPECT_DOUBLE_EQ(store->GetFrequDiff(true, 1, 0, 1)[0], 4.0 + 3.0 * 1.0);
  EXPECT_DOUBLE_EQ(store->GetFrequDiffRelative(true, 1, 0, 1)[0], 4e-7 + 3.0 * 2e-7);
  EXPECT_DOUBLE_EQ(store->GetPhaDiffPs(true, 1, 0, 1)[0], 50000.0 + 3.0 * 50000.0);
  EXPECT_DOUBLE_EQ(store->GetTheoPhaseDiffPs(true, 1, 0, 1)[0], 10.0 + 3.0 * 20.0);
  EXPECT_TRUE(std::isnan(store->GetFrequDiff(true, 2, 0, 1)[0]));
  EXPECT_TRUE(std::isnan(store->GetPhaDiffPs(true, 2, 0, 1)[0]));
  EXPECT_TRUE(std::isnan(store->GetTheoPhaseDiffPs(true, 2, 0, 1)[0]));

  const TPAV_DataManagement::TSeries last = store->GetLastFrequDiff(true);
  ASSERT_EQ(last.size(), 2u);
  EXPECT_DOUBLE_EQ(last[0], 7.0);
  EXPECT_TRUE(std::isnan(last[1]));
}

// ---- averages ----------------------------------------------------------------------------------------

TEST_F(PavStrings, AveragesKeepSumOverCountPerChannelInTheirOwnRing) {
  int shortEvents = 0, longEvents = 0;
  store->FOnShortAverage = [&] { ++shortEvents; };
  store->FOnLongAverage = [&] { ++longEvents; };
  store->SetVirtualFactors(1, Weights({0.5, 0.5}));

  const std::vector<double> sums{10.0, 30.0};
  store->AddShort(sums, 4);
  store->AddShort(std::vector<double>{20.0, 40.0}, 4);
  store->AddLong(sums, 2);
  EXPECT_EQ(store->Count(HS::hsShort), 2);
  EXPECT_EQ(store->Count(HS::hsLong), 1);
  EXPECT_EQ(store->Count(HS::hsNone), 0);
  EXPECT_EQ(store->GetAvgShort(false, 1, 0, 2), (TPAV_DataManagement::TSeries{2.5, 5.0}));
  EXPECT_EQ(store->GetAvgLong(false, 2, 0, 1), (TPAV_DataManagement::TSeries{15.0}));
  EXPECT_TRUE(std::isnan(store->GetAvgLong(false, 3, 0, 1)[0]));  // no sum given
  EXPECT_DOUBLE_EQ(store->GetAvgShort(true, 1, 1, 1)[0], 7.5);
  EXPECT_DOUBLE_EQ(store->GetLastAvgShort(true)[0], 7.5);
  EXPECT_EQ(shortEvents, 2);
  EXPECT_EQ(longEvents, 1);

  // Nothing summed: nothing stored, nobody told.
  store->AddShort(sums, 0);
  EXPECT_EQ(store->Count(HS::hsShort), 2);
  EXPECT_EQ(shortEvents, 2);
  EXPECT_TRUE(store->GetLastAvgLong(false).empty());  // no channel count yet
}

// ---- counter time stamps -----------------------------------------------------------------------------

TEST_F(PavStrings, TimeStampCountsTheValuesSinceTheLastWholeSecond) {
  Mode(0);
  EXPECT_EQ(store->GetNewCountTimeStamp(-1), 0);  // no stamp yet
  for (int n = 0; n < 3; ++n) store->AddEntries({{kTenMHz}});
  store->AddTimeStamp(15);  // not a whole second
  EXPECT_EQ(store->GetNewCountTimeStamp(-1), 0);
  store->AddTimeStamp(20);
  EXPECT_EQ(store->GetNewCountTimeStamp(-1), 0);  // the stamped value has not arrived
  for (int n = 0; n < 5; ++n) store->AddEntries({{kTenMHz}});
  EXPECT_EQ(store->GetNewCountTimeStamp(-1), 5);
  EXPECT_EQ(store->GetNewCountTimeStamp(6), 2);  // a reader that saw up to position 6 has two new values

  // Across the end of the ring.
  for (int n = 0; n < 2030; ++n) store->AddEntries({{kTenMHz}});
  store->AddTimeStamp(30);
  for (int n = 0; n < 20; ++n) store->AddEntries({{kTenMHz}});
  ASSERT_LT(store->NextX(HS::hsNone), 20);
  EXPECT_EQ(store->GetNewCountTimeStamp(-1), 20);
}

TEST_F(PavStrings, CounterTimeOfEachRingPosition) {
  Mode(0);
  EXPECT_EQ(store->LastPAVTime(), -1);
  store->AddEntries({{kTenMHz}}, 1000);
  store->AddEntries({{kTenMHz}}, 2000);
  EXPECT_EQ(store->LastPAVTime(), 2000);
  EXPECT_EQ(store->GetPAVTimeGraphic(0), 1000);
  EXPECT_EQ(store->GetPAVTimeGraphic(2048 + 1), 2000);
  EXPECT_EQ(store->GetPAVTimeGraphic(-2047), 2000);
}

// ---- digital inputs and heartbeat --------------------------------------------------------------------

TEST_F(PavStrings, DigitalInputLinesAreCheckedBeforeTheyAreRead) {
  std::vector<int> counts;
  store->FOnPDICount = [&](int code, int n) {
    EXPECT_EQ(code, 5);
    counts.push_back(n);
  };
  ASSERT_TRUE(store->AddPDI("7100; 0000000F 8000ABCD\r\n"));
  EXPECT_EQ(store->PDICount(), 2);
  EXPECT_EQ(store->GetPDI(0), 0xFu);
  EXPECT_EQ(store->GetPDI(1), 0x8000ABCDu);
  EXPECT_EQ(store->GetPDI(8), 0u);
  EXPECT_EQ(store->GetPDI(-1), 0u);
  EXPECT_EQ(store->PDIsHex(), " 0000000F 8000ABCD");
  EXPECT_EQ(counts, (std::vector<int>{2}));

  // Ten cards: eight kept, also in the log column.
  std::string ten = "7100;";
  for (int i = 0; i < 10; ++i) ten += " 0000000" + std::to_string(i);
  ASSERT_TRUE(store->AddPDI(ten));
  EXPECT_EQ(store->PDICount(), 8);
  EXPECT_EQ(store->GetPDI(7), 7u);
  EXPECT_EQ(store->PDIsHex().size(), 72u);
  EXPECT_EQ(counts, (std::vector<int>{2, 8}));

  // Lines that are dropped leave everything as it was.
  for (const std::string& bad : {std::string("7100; 0000000F 8000ABCG"), std::string("7100; 0x00000F 00000001"),
                                 std::string("7100; -0000001 00000001")}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(store->AddPDI(bad));
    EXPECT_EQ(store->PDICount(), 8);
    EXPECT_EQ(store->GetPDI(0), 0u);
  }

  // During a PLL error neither too many cards nor a changed count are taken.
  store->SetPLL(true);
  EXPECT_FALSE(store->AddPDI(ten + " 00000010"));
  EXPECT_FALSE(store->AddPDI("7100; 00000001"));
  EXPECT_EQ(store->PDICount(), 8);
  EXPECT_TRUE(store->AddPDI(ten.substr(0, 5 + 8 * 9)));  // same count
  EXPECT_EQ(counts, (std::vector<int>{2, 8}));
}

TEST_F(PavStrings, HeartbeatTextHasTheCounterTimeThenTheWords) {
  store->AddHeartbeat("7EFF; 0000000a 0000FFFF\r\n", 1234567);
  EXPECT_EQ(store->HeartbeatString(), "1.234.567;0000000A;0000FFFF");
  EXPECT_EQ(store->HeartbeatString(), "");  // cleared by reading
  store->AddHeartbeat("7EFF; 00000001", -1);
  EXPECT_EQ(store->HeartbeatString(), "         ;00000001");
  store->AddHeartbeat("7EFF; 000000", 999);
  EXPECT_EQ(store->HeartbeatString(), "      999");
  store->AddHeartbeat("7EFF; 0000000Z", 999);  // no hex number: the line is dropped
  EXPECT_EQ(store->HeartbeatString(), "");
  store->AddHeartbeat("", 5);
  EXPECT_EQ(store->HeartbeatString(), "        5");
}

// ---- text modes ---------------------------------------------------------------------------------------

TEST_F(PavStrings, TextModesFollowTheReportMode) {
  // Per report mode 0..6: phase, phase diff, freq abs, freq rel, predecessor, residual.
  const std::vector<std::vector<bool>> enabled = {
      {true, true, true, true, true, true},     {true, true, true, true, true, true},
      {false, false, true, true, false, false}, {false, false, true, true, false, false},
      {false, true, false, false, true, false}, {false, true, false, false, true, false},
      {true, true, true, true, true, true},
  };
  EXPECT_FALSE(store->IsTextModeEnabled(tmPhase));  // no header yet
  for (int mode = 0; mode <= 6; ++mode) {
    SCOPED_TRACE(mode);
    SetUp();
    Mode(mode);
    for (int tm = tmPhase; tm <= tmPhaseResiduum; ++tm)
      EXPECT_EQ(store->IsTextModeEnabled(static_cast<TTextModePAV>(tm)), enabled[mode][tm]) << tm;
    EXPECT_EQ(store->IsTextRawDataEnabled(), mode == 6);
  }
}

TEST_F(PavStrings, CaptionsNameAveragedValues) {
  struct TCase {
    int mode;
    bool rawAvg;
    bool averaged;
  };
  for (const TCase& c : std::vector<TCase>{{0, false, false}, {1, false, true}, {2, false, false}, {3, false, true},
                                          {4, false, false}, {5, false, true}, {6, false, false}, {6, true, true}}) {
    SCOPED_TRACE(c.mode);
    SetUp();
    Mode(c.mode);
    store->SetRawAveraging(c.rawAvg);
    EXPECT_EQ(store->GetTextModeCaption(tmPhase), c.averaged ? "Phase Average [Pd]" : "Phase [Pd]");
    EXPECT_EQ(store->GetTextModeCaption(tmPhaseDiff), c.averaged ? "Phase Avg. Difference (\u0394 Chan. 1) [Pd]"
                                                                 : "Phase Difference (\u0394 Chan. 1) [Pd]");
    EXPECT_EQ(store->GetTextModeCaption(tmFreqAbs),
              c.averaged ? "Absolute Frequency Avg. [Hz]" : "Absolute Frequency [Hz]");
    EXPECT_EQ(store->GetTextModeVirtualCaption(tmFreqAbs), c.averaged ? "Frequency Avg. [Hz]" : "Frequency [Hz]");
    EXPECT_EQ(store->GetTextModeCaption(tmFreqRel),
              c.averaged ? "Relative Frequency Avg. Offset" : "Relative Frequency Offset");
    EXPECT_EQ(store->GetTextModeCaption(tmPhasePredecessor),
              c.averaged ? "Phase Avg. Difference (\u0394 Chan. n-1) [Pd]"
                         : "Phase Difference (\u0394 Chan. n-1) [Pd]");
    EXPECT_EQ(store->GetTextModeVirtualCaption(tmPhaseResiduum),
              c.averaged ? "Phase Avg. Residual [ns]" : "Phase Residual [ns]");
  }
}

// Two channels as a phase line leaves them: channel 2 has no signal (its
// frequency is clamped, not valid) and no nominal frequency.
void SetTwoChannels(TStringStore& store) {
  store.SetChannel(1, {{1000, 0.25}, {0, 0.0}, {0, 0.0}, 11, 10000000.5, true, kTenMHz, 12.5});
  store.SetChannel(2, {{-2, -0.5}, {-3, -0.125}, {-1, -0.5}, 3, 4000.0, false, 0.0, 0.0});
}

TEST_F(PavStrings, TextModeStringsOfRealChannels) {
  Mode(0);
  store->SetWindowDecimalSeparator(',');
  store->SetLogDecimalSeparator('.');  // windows never show the log separator
  SetTwoChannels(*store);
  store->SetChannel(3, {{0, 0.0}, {0, 0.0}, {0, 0.0}, 11, 9999999.9877, true, kTenMHz, -0.5});

  EXPECT_EQ(store->GetTextModeString(tmPhase, 1), Right("1000,25000000000", 26));
  EXPECT_EQ(store->GetTextModeString(tmPhase, 2), Right("-2,500", 26));
  EXPECT_EQ(store->GetTextModeString(tmPhaseDiff, 2), Right("-3,125", 26));
  EXPECT_EQ(store->GetTextModeString(tmPhasePredecessor, 2), Right("-1,500", 26));
  EXPECT_EQ(store->GetTextModeString(tmFreqAbs, 1), "  10000000,50000000000");
  EXPECT_EQ(store->GetTextModeString(tmFreqAbs, 2), "      4000,00000000000");  // clamped, still shown
  EXPECT_EQ(store->GetTextModeString(tmFreqRel, 1), "+5,0000000E-08");
  EXPECT_EQ(store->GetTextModeString(tmFreqRel, 3), "-1,2300000E-09");
  EXPECT_EQ(store->GetTextModeString(tmFreqRel, 2), "");  // no nominal frequency
  EXPECT_EQ(store->GetTextModeString(tmPhaseResiduum, 1), Right("12,50000", 26));
  EXPECT_EQ(store->GetTextModeString(tmPhaseResiduum, 3), Right("-0,50000", 26));
  EXPECT_EQ(store->GetTextModeString(tmPhaseResiduum, 2), "");  // no nominal frequency
  EXPECT_EQ(store->GetTextModeString(tmPhase, 4), "");       // above the channel count
  EXPECT_EQ(store->GetTextModeString(tmPhase, 0), "");

  // Before a frequency was computed there is nothing to show.
  store->SetChannel(1, {{1000, 0.25}, {0, 0.0}, {0, 0.0}, 11, 0.0, false, kTenMHz, 12.5});
  EXPECT_EQ(store->GetTextModeString(tmFreqAbs, 1), "");
  EXPECT_EQ(store->GetTextModeString(tmFreqRel, 1), "");
}

TEST_F(PavStrings, PhaseDifferenceTextIsEmptyInFrequencyModes) {
  Mode(2);
  SetTwoChannels(*store);
  store->SetVirtual(1, Weights({1.0}), {});
  EXPECT_EQ(store->GetTextModeString(tmPhaseDiff, 1), "");
  EXPECT_EQ(store->GetTextModeVirtualString(tmPhaseDiff, 1), "");
  EXPECT_NE(store->GetTextModeString(tmFreqAbs, 1), "");
}

TEST_F(PavStrings, VirtualChannelWithAMissingInputReadsDashesInTheWindowAndBlanksInTheLog) {
  Mode(0);
  store->SetLocalServerRunning(true);
  SetTwoChannels(*store);
  // Virtual 1 uses channel 1 only; virtual 2 uses channel 2, which has no nominal frequency.
  store->SetVirtual(1, Weights({2.0}), {{2000, 0.5}, {0, 0.0}, {0, 0.0}, 20000001.0, 1e-7, 25.0});
  store->SetVirtual(2, Weights({1.0, 1.0}), {{998, -0.25}, {-3, -0.125}, {-1, -0.5}, 10004000.5, 0.0, 12.5});

  EXPECT_EQ(store->GetTextModeVirtualString(tmFreqRel, 1), "+1.0000000E-07");
  EXPECT_EQ(store->GetTextModeVirtualString(tmFreqRel, 2), "-----");
  EXPECT_EQ(store->GetTextModeVirtualString(tmPhaseResiduum, 2), "-----");
  EXPECT_EQ(store->GetTextModeVirtualString(tmFreqAbs, 2), "  10004000.50000000000");
  EXPECT_EQ(store->GetTextModeVirtualString(tmPhase, 1), Right("2000.50000000000", 26));
  EXPECT_EQ(store->GetTextModeVirtualString(tmPhase, 3), "");  // no such virtual channel

  store->GenerateSamplerStrings();
  EXPECT_EQ(store->VirtualString(0), "  20000001.00000000000  10004000.50000000000");
  EXPECT_EQ(store->VirtualString(1), "        +1.0000000E-07" + std::string(22, ' '));
  EXPECT_EQ(store->VirtualString(2), Right("25.00000", 26) + std::string(26, ' '));
  // A virtual phase shows the finest resolution of its channels.
  EXPECT_EQ(store->VirtualString(3), Right("0.00000000000", 26) + Right("-3.12500000000", 26));
  EXPECT_EQ(store->VirtualString(4), Right("0.00000000000", 26) + Right("-1.50000000000", 26));
}

// ---- value strings ---------------------------------------------------------------------------------------

TEST_F(PavStrings, ValueStringsOfATwoChannelPhaseLineAreByteExact) {
  for (char separator : {'.', ','}) {
    SCOPED_TRACE(separator);
    SetUp();
    Mode(0);
    store->SetLogDecimalSeparator(separator);
    store->SetWindowDecimalSeparator(separator == '.' ? ',' : '.');
    store->SetSamplerLogTypes((1u << 0) | (1u << 1) | (1u << 2) | (1u << 6) | (1u << 15));
    SetTwoChannels(*store);
    store->GenerateSamplerStrings();

    const std::string s(1, separator);
    EXPECT_EQ(store->SamplerPhaseValuesString(),
              "          1000" + s + "25000000000" + "                    -2" + s + "500");
    EXPECT_EQ(store->SamplerFrequencyValuesString(),
              "  10000000" + s + "50000000000" + "      4000" + s + "00000000000");
    EXPECT_EQ(store->SamplerPhaseDiffValuesString(),
              "             0" + s + "00000000000" + "                    -3" + s + "125");
    EXPECT_EQ(store->SamplerPhasePredecessorValuesString(),
              "             0" + s + "00000000000" + "                    -1" + s + "500");
    // Channel 2 has no nominal frequency, so no residual: blanks, not 0.
    EXPECT_EQ(store->SamplerPhaseResiduumValuesString(), "                  12" + s + "50000" + std::string(26, ' '));
  }
}

TEST_F(PavStrings, ValueStringsAreBuiltOnlyWhenSomeoneNeedsThem) {
  Mode(0);
  SetTwoChannels(*store);
  store->GenerateSamplerStrings();
  EXPECT_EQ(store->SamplerPhaseValuesString(), "");
  EXPECT_EQ(store->SamplerFrequencyValuesString(), "");

  store->SetSamplerLogTypes(1u << 1);
  store->GenerateSamplerStrings();
  EXPECT_EQ(store->SamplerPhaseValuesString(), "");
  EXPECT_EQ(store->SamplerFrequencyValuesString().size(), 44u);

  store->SetSamplerLogTypes(0);
  store->SetServerRunning(true);  // the data server takes every string
  store->GenerateSamplerStrings();
  EXPECT_EQ(store->SamplerPhaseValuesString().size(), 52u);
  EXPECT_EQ(store->SamplerPhaseResiduumValuesString().size(), 52u);
}

TEST_F(PavStrings, ValueStringsFollowTheReportMode) {
  struct TCase {
    int mode;
    bool phase, frequency, phaseDiff, predecessor, residual;
  };
  for (const TCase& c : std::vector<TCase>{{0, true, true, true, true, true},
                                          {1, true, true, true, true, true},
                                          {2, false, true, false, false, false},
                                          {3, false, true, false, false, false},
                                          {4, false, false, true, true, false},
                                          {5, false, false, true, true, false}}) {
    SCOPED_TRACE(c.mode);
    SetUp();
    Mode(c.mode);
    store->SetServerRunning(true);
    SetTwoChannels(*store);
    store->GenerateSamplerStrings();
    EXPECT_EQ(!store->SamplerPhaseValuesString().empty(), c.phase);
    EXPECT_EQ(!store->SamplerFrequencyValuesString().empty(), c.frequency);
    EXPECT_EQ(!store->SamplerPhaseDiffValuesString().empty(), c.phaseDiff);
    EXPECT_EQ(!store->SamplerPhasePredecessorValuesString().empty(), c.predecessor);
    EXPECT_EQ(!store->SamplerPhaseResiduumValuesString().empty(), c.residual);
  }
}

TEST_F(PavStrings, FrequencyStringWaitsForTheFirstFrequencyOfChannelOne) {
  Mode(0);
  store->SetServerRunning(true);
  // The first line after a reset: no frequency yet.
  store->SetChannel(1, {{1000, 0.25}, {0, 0.0}, {0, 0.0}, 11, 0.0, false, kTenMHz, 0.0});
  store->SetChannel(2, {{2000, 0.25}, {0, 0.0}, {0, 0.0}, 11, 0.0, false, kTenMHz, 0.0});
  store->GenerateSamplerStrings();
  EXPECT_EQ(store->SamplerFrequencyValuesString(), "");
  // Channel 1 without signal: its clamped value keeps the columns of the others.
  store->SetChannel(1, {{1000, 0.25}, {0, 0.0}, {0, 0.0}, 11, 4000.0, false, kTenMHz, 0.0});
  store->SetChannel(2, {{2000, 0.25}, {0, 0.0}, {0, 0.0}, 11, 10000000.0, true, kTenMHz, 0.0});
  store->GenerateSamplerStrings();
  EXPECT_EQ(store->SamplerFrequencyValuesString(), "      4000.00000000000  10000000.00000000000");
}

TEST_F(PavStrings, FieldsTooWideForTheirColumnNeverPrintAnotherNumber) {
  Mode(0);
  store->SetServerRunning(true);
  store->SetChannel(1, {{0, 0.0}, {0, 0.0}, {0, 0.0}, 11, 4000.0, true, kTenMHz, 1.5e25});
  store->GenerateSamplerStrings();
  const std::string residual = store->SamplerPhaseResiduumValuesString();
  ASSERT_EQ(residual.size(), 26u);
  EXPECT_EQ(residual.front(), ' ');
  EXPECT_DOUBLE_EQ(std::stod(residual), 1.5e25);
}

TEST_F(PavStrings, SamplerRecordsCarryTheLineAndItsVirtualChannels) {
  struct TRecord {
    std::string syncTime;
    TPAVSamplerRecord record;
  };
  std::vector<TRecord> records;
  std::vector<std::string> warnings;
  store->FOnSamplerStrings = [&](int sessId, bool copy, const std::string& syncTime, const TPAVSamplerRecord& r) {
    EXPECT_EQ(sessId, 3);
    EXPECT_FALSE(copy);
    records.push_back({syncTime, r});
  };
  store->FOnSamplerWarning = [&](int, bool, const std::string& text) { warnings.push_back(text); };

  Mode(0);
  store->SetServerRunning(true);
  store->SetSamplerLogTypes(1u);  // a log wants them
  store->SetPAVtimeString("12:00:01.000");
  SetTwoChannels(*store);
  store->SetLine("1", "1000.000", " 0000000F", "");
  store->GenerateSamplerStrings();
  store->AddSamplerStrings();
  ASSERT_EQ(records.size(), 1u);  // no virtual channels
  const TPAVSamplerRecord& r = records[0].record;
  EXPECT_EQ(records[0].syncTime, "1000.000");
  EXPECT_FALSE(r.Virtual);
  EXPECT_EQ(r.Strings[0], "1" + store->SamplerPhaseValuesString());
  EXPECT_EQ(r.Strings[1], store->SamplerFrequencyValuesString());
  EXPECT_EQ(r.Strings[2], store->SamplerPhaseDiffValuesString());
  EXPECT_EQ(r.Strings[3], "");
  EXPECT_EQ(r.Strings[5], " 0000000F");
  EXPECT_EQ(r.Strings[6], store->SamplerPhasePredecessorValuesString());
  EXPECT_EQ(r.Strings[7], "");
  EXPECT_EQ(r.Strings[8], store->SamplerPhaseResiduumValuesString());
  EXPECT_EQ(r.Strings[9], "12:00:01.000");
  EXPECT_TRUE(warnings.empty());

  store->SetVirtual(1, Weights({1.0}), {{1000, 0.25}, {0, 0.0}, {0, 0.0}, 10000000.5, 5e-8, 12.5});
  store->SetLine("0", "", "", "Clock alarm channel 1");
  store->GenerateSamplerStrings();
  store->AddSamplerStrings();
  ASSERT_EQ(records.size(), 3u);
  const TPAVSamplerRecord& v = records[2].record;
  EXPECT_TRUE(v.Virtual);
  EXPECT_EQ(v.Strings[0], "0" + Right("12.50000", 26));
  EXPECT_EQ(v.Strings[1], "  10000000.50000000000");
  EXPECT_EQ(v.Strings[2], "        +5.0000000E-08");
  EXPECT_EQ(v.Strings[4], Right("0.00000000000", 26));
  EXPECT_EQ(v.Strings[9], "12:00:01.000");
  EXPECT_EQ(warnings, (std::vector<std::string>{"Clock alarm channel 1"}));

  // Hooks that nobody assigned are skipped.
  store->FOnSamplerStrings = nullptr;
  store->FOnSamplerWarning = nullptr;
  store->AddSamplerStrings();
}

// One channel field of a measurement line: separator and 26 right-aligned characters.
std::string LineField(const std::string& value) { return ";" + Right(value, 26); }

TEST_F(PavStrings, EvaluatedLinesReachTheSamplerAsValueStrings) {
  std::vector<TPAVSamplerRecord> records;
  store->FOnSamplerStrings = [&](int, bool, const std::string&, const TPAVSamplerRecord& r) { records.push_back(r); };
  store->SetAddLogStrings(true);
  store->SetLocalServerRunning(true);
  store->SetSamplerLogTypes(1u);  // a log wants them
  ASSERT_TRUE(
      store->ExtractData("0900" + LineField("10000000.000000000000") + LineField("20000000.000000000000"), 1000));
  ASSERT_TRUE(
      store->ExtractData("0900" + LineField("20000000.500000000000") + LineField("40000001.000000000000"), 2000));
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].Strings[1], "");  // no frequency on the first line
  EXPECT_EQ(records[1].Strings[0], "1" + Right("20000000.500000000000", 26) + Right("40000001.000000000000", 26));
  EXPECT_EQ(records[1].Strings[1], "  10000000.50000000000  20000001.00000000000");
  EXPECT_EQ(store->GetTextModeString(tmFreqAbs, 2), "  20000001.00000000000");
}

TEST_F(PavStrings, DebugTextIsTheLastLinesText) {
  store->SetDebugText("0900; 1000.25");
  EXPECT_EQ(store->DebugText(), "0900; 1000.25");
}

}  // namespace
