#include "app/data/PAV_DataManagement.h"

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "PavLines.h"

namespace {

using HS = THorizontalScale;
using namespace pav_lines;

// The store with the per-channel state the tests look at.
class TPavProbe : public TPAV_DataManagement {
 public:
  using TPAV_DataManagement::TPAV_DataManagement;
  using TPAV_DataManagement::FFrequencies;
  using TPAV_DataManagement::FFrequency;
  using TPAV_DataManagement::FFrequencyRelative;
  using TPAV_DataManagement::FFrequencyValid;
  using TPAV_DataManagement::FPAVTime;
  using TPAV_DataManagement::FPhaDiff;
  using TPAV_DataManagement::FPhaseRes_ns;
  using TPAV_DataManagement::FPhaseRes_ps;
  using TPAV_DataManagement::FPVHFactors;
  using TPAV_DataManagement::FVirtFrequency;
  using TPAV_DataManagement::FVirtFrequencyRelative;
  using TPAV_DataManagement::FVirtPhaseRes_ns;
  using TPAV_DataManagement::PPhase;
  using TPAV_DataManagement::PPhaseDiff;
  using TPAV_DataManagement::PPhaseRes;

  // Position of the newest entry of the value ring.
  int Last() const { return (NextX(HS::hsNone) - 1) & kRingMask; }
  double LastFrequency(int k) const { return FFrequencies[k][Last()]; }
  double LastResidualPs(int k) const { return FPhaseRes_ps[k][Last()]; }
};

struct TMessage {
  int Code;
  std::string Text;
};

class PavStore : public ::testing::Test {
 protected:
  void SetUp() override {
    store = std::make_unique<TPavProbe>(-1, 2, false);
    store->FOnError = [this](int code, int, const std::string& text) { errors.push_back({code, text}); };
    store->FOnWarning = [this](int code, int, const std::string& text) { warnings.push_back({code, text}); };
    store->FOnReset = [this](int, TDataManagement&) { ++resets; };
    store->FOnSamplerEvent = [this](int sessId, bool, int event, const std::string& text) {
      EXPECT_EQ(sessId, 2);
      events.push_back({event, text});
    };
    store->FOnSamplerStrings = [this](int, bool, const std::string&, const TPAVSamplerRecord& record) {
      if (!record.Virtual) records.push_back(record);
    };
  }

  bool Add(uint16_t header, const std::vector<std::string>& values, int64_t ms = -1) {
    return store->ExtractData(Line(header, values), ms);
  }
  // One phase line; phases in 1e-11 cycle units.
  bool AddPhases(const std::vector<__int128>& units, uint16_t header = kPhase1s, int64_t ms = -1) {
    std::vector<std::string> values;
    for (__int128 u : units) values.push_back(PhaseText(u));
    return Add(header, values, ms);
  }
  double Residual(int k) const { return store->PPhaseRes[k].ToDouble(); }
  double Adev(TAllanMode am, int k, int tau = 0) const { return store->Allan(am).GetAdev(k - 1, tau); }
  // The accumulator took at least one sample of channel k.
  bool AllanHasSamples(TAllanMode am, int k) const { return !store->GetAllanPersistValues(am, k).empty(); }

  std::unique_ptr<TPavProbe> store;
  std::vector<TMessage> errors, warnings, events;
  std::vector<TPAVSamplerRecord> records;
  int resets = 0;
};

constexpr int64_t k10MHz = 10000000;

// ---- frequencies from phases ---------------------------------------------------------------------

TEST_F(PavStore, TwoPhaseLinesGiveTheFrequencyAndTheFirstIsSuppressed) {
  ASSERT_TRUE(Add(kPhase1s, {"10000000.000000000000"}));
  EXPECT_EQ(store->LastFrequency(1), 0.0);
  EXPECT_FALSE(store->FFrequencyValid[1]);
  ASSERT_TRUE(Add(kPhase1s, {"20000000.500000000000"}));
  EXPECT_DOUBLE_EQ(store->LastFrequency(1), 10000000.5);
  EXPECT_TRUE(store->FFrequencyValid[1]);
  EXPECT_EQ(store->Count(HS::hsNone), 2);
  EXPECT_EQ(store->IntervalMs(), 1000);
  EXPECT_TRUE(errors.empty());
}

TEST_F(PavStore, FirstFrequencyBecomesTheNominalAndRezeroesTheIdealPhase) {
  ASSERT_TRUE(AddPhases({Units(1000)}));
  ASSERT_TRUE(AddPhases({Units(1000 + k10MHz, 50000000000)}));  // 10000000.5 Hz
  EXPECT_DOUBLE_EQ(store->GetNomFreq(1), 10000000.5);
  EXPECT_EQ(store->GetNomFreqUser(1), 0.0);  // learned, not set
  EXPECT_DOUBLE_EQ(store->GetNomFrequCalculated(1), 10000000.5);
  EXPECT_DOUBLE_EQ(store->FFrequencyRelative[1], 0.0);
  // The next phase is the new zero of the ideal phase: residual 0, then the
  // deviation from 10000000.5 cycles per second.
  ASSERT_TRUE(AddPhases({Units(1000 + 2 * k10MHz, 1 * 100000000000)}));
  EXPECT_EQ(Residual(1), 0.0);
  EXPECT_DOUBLE_EQ(store->LastResidualPs(1), 0.0);
  ASSERT_TRUE(AddPhases({Units(1000 + 3 * k10MHz, 160000000000)}));  // 0.1 cycle ahead
  EXPECT_NEAR(Residual(1), 0.1, 1e-12);
  EXPECT_NEAR(store->LastResidualPs(1), 0.1 / 10000000.5 * 1e12, 1e-6);
}

TEST_F(PavStore, ResidualOfHalfACycleAt10MHzIs50000ps) {
  store->SetNomFreq(1, 1e7);
  ASSERT_TRUE(AddPhases({Units(1000)}));
  ASSERT_TRUE(AddPhases({Units(1000 + k10MHz, 50000000000)}));
  EXPECT_DOUBLE_EQ(Residual(1), 0.5);
  EXPECT_DOUBLE_EQ(store->LastResidualPs(1), 50000.0);
  EXPECT_DOUBLE_EQ(store->FPhaseRes_ns[1], 50.0);
  EXPECT_DOUBLE_EQ(store->GetNomFreqUser(1), 1e7);
}

// A phase below one cycle is a zero offset like any other: it is taken once,
// not again with every line while its whole part reads 0.
TEST_F(PavStore, ZeroOffsetBelowOneCycleIsKept) {
  store->SetNomFreq(1, 1e7);
  ASSERT_TRUE(AddPhases({Units(0, 25000000000)}));  // 0.25 cycles
  ASSERT_TRUE(AddPhases({Units(k10MHz, 35000000000)}));
  EXPECT_NEAR(Residual(1), 0.1, 1e-12);
}

// ---- frequency mode and the counter's range ----------------------------------------------------------

struct TFrequencyCase {
  const char* kHz;
  double stored;
  bool valid;
};

TEST_F(PavStore, FrequencyValuesAreClampedForDisplayButOutOfRangeIsNoMeasurement) {
  const std::vector<TFrequencyCase> cases = {
      {"10000.000000500", 10000000.0005, true},
      {"3.5", 4000.0, false},
      {"200000", 131072000.0, false},
      {"4", 4000.0, true},  // the bound itself is a measurement
      {"12a4", 0.0, false},
      {"10000,25", 10000250.0, true},  // either decimal mark
  };
  for (const TFrequencyCase& c : cases) {
    SCOPED_TRACE(c.kHz);
    store = std::make_unique<TPavProbe>(-1, 2, false);
    ASSERT_TRUE(Add(kFrequency1s, {c.kHz}));
    EXPECT_DOUBLE_EQ(store->LastFrequency(1), c.stored);
    EXPECT_EQ(store->FFrequencyValid[1], c.valid);
    // Only a measurement may become the nominal or the smoothed frequency.
    EXPECT_DOUBLE_EQ(store->GetNomFreq(1), c.valid ? c.stored : 0.0);
    EXPECT_DOUBLE_EQ(store->GetNomFrequCalculated(1), c.valid ? c.stored : 0.0);
  }
}

// A channel without signal reads the lower clamp for ever. It must neither
// learn 4000 Hz as its nominal nor keep the other channels out of the Allan
// deviation.
TEST_F(PavStore, ChannelWithoutSignalDoesNotBlockTheOthers) {
  const std::vector<std::string> ch1 = {"10000.000001", "10000.000003", "10000.000002", "10000.000004"};
  for (int i = 0; i < 40; ++i) ASSERT_TRUE(Add(kFrequency1s, {ch1[i % 4], "3.5"}));
  EXPECT_EQ(store->GetNomFreq(2), 0.0);
  EXPECT_DOUBLE_EQ(store->LastFrequency(2), 4000.0);
  EXPECT_GT(Adev(amFreq, 1), 0.0);
  EXPECT_LT(Adev(amFreq, 1), 1e-9);
  EXPECT_FALSE(AllanHasSamples(amFreq, 2));
  EXPECT_EQ(store->CheckAllanMode(amFreq), "");
}

// A frequency that is briefly out of range (or unreadable) is a missing
// sample, not a sample of -0.9996 or 0.
TEST_F(PavStore, MissingFrequenciesNeverEnterTheDeviation) {
  store->SetNomFreq(1, 1e7);  // the channel runs 1e-4 fast: a 0 in the series would stand out
  const std::vector<std::string> values = {"10001.000001", "10001.000003", "3.5", "10001.000002", "10001.000004", "x"};
  for (int i = 0; i < 60; ++i) ASSERT_TRUE(Add(kFrequency1s, {values[i % values.size()]}));
  EXPECT_GT(Adev(amFreq, 1), 0.0);
  EXPECT_LT(Adev(amFreq, 1), 1e-9);
}

// ---- line checks ---------------------------------------------------------------------------------------

TEST_F(PavStore, OverlongPayloadIsCutTo24Channels) {
  std::vector<std::string> values(24, "1000.5");
  std::string line = Line(kPhase1s, values) + ";7";  // 650 characters after the code
  ASSERT_EQ(line.size() - 4, 650u);
  EXPECT_TRUE(store->ExtractData(line, -1));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].Code, 31);
  EXPECT_EQ(errors[0].Text, "Measurement data too long! Truncated to 648 Bytes!");
  EXPECT_EQ(store->ChannelCount(), 24);
  EXPECT_DOUBLE_EQ(store->PPhase[24].ToDouble(), 1000.5);
}

struct TBadLine {
  const char* name;
  std::string line;
};

TEST_F(PavStore, DamagedLinesAreDroppedWholeWithAMessage) {
  ASSERT_TRUE(AddPhases({Units(100), Units(200)}));
  const Phase before = store->PPhase[1];
  const std::vector<TBadLine> cases = {
      {"shorter than one field", "0900;  12.5"},
      {"letters in the second phase", Line(kPhase1s, {"300.5", "4a0.5"})},
      {"no digits", Line(kPhase1s, {"300.5", "."})},
      {"whole part beyond 64 bits", Line(kPhase1s, {"300.5", "99999999999999999999.5"})},
      {"no header code", "zz"},
      {"header with an invalid interval", Line(0x0F00, {"300.5"})},
  };
  for (const TBadLine& c : cases) {
    SCOPED_TRACE(c.name);
    errors.clear();
    EXPECT_FALSE(store->ExtractData(c.line, -1));
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].Code, 31);
    EXPECT_EQ(errors[0].Text, "Transfer error. Data lost: %" + c.line + "%");
    EXPECT_EQ(store->Count(HS::hsNone), 1);
    EXPECT_EQ(store->PPhase[1].High, before.High);  // channel 1 untouched too
  }
  EXPECT_EQ(resets, 0);  // the bad header did not replace the good one
}

TEST_F(PavStore, DuringAPllErrorMalformedLinesAreDroppedSilently) {
  ASSERT_TRUE(AddPhases({Units(100), Units(200)}));
  store->SetPLLError(true);
  const std::string twoFields = Line(kPhase1s, {"300.5", "400.5"});
  EXPECT_FALSE(store->ExtractData(twoFields.substr(0, 4 + 53), -1));  // 53 characters
  EXPECT_FALSE(AddPhases({Units(300)}));                              // one channel instead of two
  EXPECT_TRUE(errors.empty());
  EXPECT_EQ(store->Count(HS::hsNone), 1);
  EXPECT_TRUE(store->ExtractData(twoFields, -1));
  // After a reset no count is known yet: refusing every line would keep the
  // PLL error for ever, as it only ends after good lines.
  store->Reset();
  store->SetPLLError(true);
  EXPECT_TRUE(AddPhases({Units(500)}));
}

// ---- header changes and time marks --------------------------------------------------------------------

TEST_F(PavStore, FirstLineAfterSwitchingIntoAPhaseModeAddsNothing) {
  ASSERT_TRUE(Add(kFrequency1s, {"10000"}));
  store->SetNewHeader(kPhase1s);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].Code, TPAV_DataManagement::kEventHeaderChanged);
  EXPECT_TRUE(AddPhases({Units(5)}));
  EXPECT_EQ(store->Count(HS::hsNone), 0);
  EXPECT_TRUE(AddPhases({Units(10)}));
  EXPECT_EQ(store->Count(HS::hsNone), 1);
}

// The header change resets the store; the device time and the sync mark of
// the line that brought the new header must survive that reset.
TEST_F(PavStore, HeaderChangeKeepsTheTimeAndSyncOfItsLine) {
  store->SetAddLogStrings(true);
  store->SetSamplerLogTypes(1u);  // phase strings
  ASSERT_TRUE(AddPhases({Units(100)}, kPhase1s, 4000));
  ASSERT_TRUE(AddPhases({Units(101)}, kPhase100ms, 5000));
  EXPECT_EQ(resets, 1);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].Code, TPAV_DataManagement::kEventHeaderChanged);
  EXPECT_EQ(store->Count(HS::hsNone), 1);
  EXPECT_EQ(store->FPAVTime[0], 5000);
  EXPECT_EQ(store->IntervalMs(), 100);
  EXPECT_EQ(store->Allan(amFreq).GetIntervalMs(), 100);
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[1].Strings[0].substr(0, 1), "1");
  ASSERT_TRUE(AddPhases({Units(102)}, kPhase100ms, 5100));
  EXPECT_EQ(records[2].Strings[0].substr(0, 1), "0");  // the mark is for whole seconds only
  EXPECT_EQ(store->FPAVTime[1], 5100);
}

// ---- phase precision ----------------------------------------------------------------------------------------

struct TPrecisionCase {
  const char* name;
  uint16_t header;
  double nominal;
  __int128 perLine;  // cycles per line in 1e-11 units
  int lines;
};

// The counter reports eleven fraction digits. The residual against the ideal
// phase must keep them after 1e13 cycles, also for a nominal frequency with
// a fraction.
TEST_F(PavStore, ResidualKeepsEveryReportedDigitOverALongRun) {
  const std::vector<TPrecisionCase> cases = {
      {"100 MHz, 20 s", kPhase20s, 1e8, Units(2000000000), 5000},
      {"100000000.25 Hz, 1 s", kPhase1s, 100000000.25, Units(100000000, 25000000000), 2000},
  };
  for (const TPrecisionCase& c : cases) {
    SCOPED_TRACE(c.name);
    store = std::make_unique<TPavProbe>(-1, 2, false);
    store->SetNomFreq(1, c.nominal);
    const __int128 start = Units(10000000000000LL, 12345678901);  // 1e13 cycles already counted
    double worst = 0.0;
    for (int n = 0; n < c.lines; ++n) {
      // A residual wandering over the whole fraction, in 1e-11 steps.
      const int64_t offset = (static_cast<int64_t>(n) * 7919 % 100000) * 1000003 % 99999999999;
      const __int128 phase = start + static_cast<__int128>(n) * c.perLine + offset;
      ASSERT_TRUE(AddPhases({phase}, c.header));
      const double expected = static_cast<double>(offset) * 1e-11;
      worst = std::max(worst, std::fabs(Residual(1) - expected));
    }
    EXPECT_GT(store->PPhase[1].High, 10000000000000LL);
    EXPECT_LT(worst, 2e-12);
  }
}

// ---- PVH channels -----------------------------------------------------------------------------------------------

TPVHSettings PvhTable(int k, double nominal, long double factor) {
  TPVHSettings table;
  table.PVHChannels[static_cast<std::size_t>(k - 1)].enabled = true;
  table.PVHChannels[static_cast<std::size_t>(k - 1)].NomFreq = nominal;
  table.PVHChannels[static_cast<std::size_t>(k - 1)].Factor = factor;
  return table;
}

TEST_F(PavStore, PvhChannelRebuildsItsPhaseAndSuppressesTheJumpOfANewZero) {
  constexpr double kNominal = 1e9;
  constexpr long double kFactor = 100.0L;
  EXPECT_TRUE(store->AddPVHData(PvhTable(1, kNominal, kFactor)));
  EXPECT_FALSE(store->AddPVHData(PvhTable(1, kNominal, kFactor)));  // nothing changed
  EXPECT_TRUE(store->DevicePVHSet());
  EXPECT_DOUBLE_EQ(store->GetNomFreq(1), kNominal);
  // The counter sees the channel as 10 MHz plus the residual times the factor.
  const auto line = [&](int n, int64_t residualUnits) {
    return AddPhases({Units(500 + n * k10MHz) + residualUnits * static_cast<int64_t>(kFactor)});
  };
  ASSERT_TRUE(line(0, 0));
  ASSERT_TRUE(line(1, 0));
  EXPECT_DOUBLE_EQ(store->LastFrequency(1), kNominal);
  ASSERT_TRUE(line(2, 5000));  // 5e-8 cycles ahead of the ideal phase
  EXPECT_NEAR(Residual(1), 5e-8, 1e-15);
  EXPECT_NEAR(store->PPhase[1].ToDouble(), 2 * kNominal + 5e-8, 1e-6);
  EXPECT_NEAR(store->LastFrequency(1), kNominal + 5e-8, 1e-6);

  // A new nominal frequency restarts the rebuilt phase near 0: the frequency
  // across that restart is suppressed instead of reading about -2 GHz.
  EXPECT_TRUE(store->AddPVHData(PvhTable(1, 1.1e9, kFactor)));
  ASSERT_TRUE(line(3, 5000));
  EXPECT_EQ(store->LastFrequency(1), 0.0);
  EXPECT_FALSE(store->FFrequencyValid[1]);
  ASSERT_TRUE(line(4, 5000));
  EXPECT_DOUBLE_EQ(store->LastFrequency(1), 1.1e9);
  EXPECT_EQ(store->GetNomFreq(1), 1.1e9);

  // Disabled: an ordinary channel again, and again one frequency suppressed.
  EXPECT_TRUE(store->AddPVHData(TPVHSettings{}));
  EXPECT_EQ(store->FPVHFactors[1], 1.0L);
  ASSERT_TRUE(line(5, 0));
  EXPECT_EQ(store->LastFrequency(1), 0.0);
  ASSERT_TRUE(line(6, 0));
  EXPECT_DOUBLE_EQ(store->LastFrequency(1), 1e7);
}

TEST_F(PavStore, PvhTableWithAFactorOfZeroKeepsTheChannelUsable) {
  EXPECT_FALSE(store->AddPVHData(PvhTable(1, 0.0, 0.0L)));
  EXPECT_EQ(store->FPVHFactors[1], 1.0L);
}

// ---- virtual channels ------------------------------------------------------------------------------------------

TEST_F(PavStore, VirtualChannelIsUnknownWhenAContributingChannelIs) {
  TDataManagement::TFactorRow row{};
  row[0] = 1.0;
  row[1] = -1.0;
  store->SetVirtualFactors(1, row);

  ASSERT_TRUE(Add(kFrequency1s, {"10000.001", "10000.000"}));
  EXPECT_NEAR(store->FVirtFrequency[1], 1.0, 1e-6);
  EXPECT_NEAR(store->FVirtFrequencyRelative[1], 0.0, 1e-15);  // both are their own nominal
  ASSERT_TRUE(Add(kFrequency1s, {"10000.002", "10000.000"}));
  EXPECT_NEAR(store->FVirtFrequency[1], 2.0, 1e-6);
  EXPECT_NEAR(store->FVirtFrequencyRelative[1], 1e-7, 1e-13);
  EXPECT_TRUE(std::isnan(store->FVirtPhaseRes_ns[1]));  // no residuals in frequency mode

  ASSERT_TRUE(Add(kFrequency1s, {"10000.002", "3.5"}));
  EXPECT_TRUE(std::isnan(store->FVirtFrequency[1]));
  EXPECT_TRUE(std::isnan(store->FVirtFrequencyRelative[1]));

  // Residuals: channel 2 without a nominal frequency has none.
  store = std::make_unique<TPavProbe>(-1, 2, false);
  store->SetVirtualFactors(1, row);
  store->SetNomFreq(1, 1e7);
  ASSERT_TRUE(AddPhases({Units(0), Units(0)}));
  ASSERT_TRUE(AddPhases({Units(k10MHz, 10000000000), Units(1)}));  // channel 2: 1 Hz, no signal
  EXPECT_NEAR(store->FPhaseRes_ns[1], 10.0, 1e-9);
  EXPECT_TRUE(std::isnan(store->FVirtPhaseRes_ns[1]));
  store->SetNomFreq(2, 1e7);
  ASSERT_TRUE(AddPhases({Units(2 * k10MHz, 10000000000), Units(2 * k10MHz)}));
  ASSERT_TRUE(AddPhases({Units(3 * k10MHz, 20000000000), Units(3 * k10MHz)}));
  EXPECT_NEAR(store->FVirtPhaseRes_ns[1], 20.0, 1e-9);
}

// ---- Allan feeding -------------------------------------------------------------------------------------------------

TEST_F(PavStore, PhaseLinesFeedAllThreeDeviations) {
  store->SetNomFreq(1, 1e7);
  store->SetNomFreq(2, 1e7);
  const int64_t jitter[] = {0, 3000, -2000, 1000, -4000};  // 1e-11 cycles
  for (int n = 0; n < 30; ++n)
    ASSERT_TRUE(AddPhases({Units(n * k10MHz) + jitter[n % 5], Units(n * k10MHz) - jitter[(n + 2) % 5]}));
  for (TAllanMode am : {amFreq, amPhaseRes, amPhaseDiff}) {
    SCOPED_TRACE(AllanModeText(am));
    EXPECT_GT(Adev(am, 2), 0.0);
    EXPECT_EQ(store->CheckAllanMode(am), "");
    EXPECT_GE(store->GetAllanLastTau(am), 0);
  }
  EXPECT_GT(Adev(amPhaseRes, 1), 0.0);
  EXPECT_EQ(Adev(amPhaseDiff, 1), 0.0);  // channel 1 against itself
  EXPECT_EQ(store->Allan(amPhaseRes).GetIntervalMs(), 1000);
  EXPECT_EQ(store->GetAllanTauCaption(amPhaseRes, 6).substr(0, 6), "   1 s");
}

// A channel without a nominal frequency has no residual and no phase
// difference in ps: the accumulators get nothing for it, not zeros.
TEST_F(PavStore, ChannelWithoutNominalGivesNoPhaseSamples) {
  store->SetNomFreq(1, 1e7);
  for (int n = 0; n < 10; ++n) ASSERT_TRUE(AddPhases({Units(n * k10MHz, n % 2 * 1000), Units(n)}));
  EXPECT_EQ(store->GetNomFreq(2), 0.0);
  EXPECT_TRUE(AllanHasSamples(amPhaseRes, 1));
  EXPECT_FALSE(AllanHasSamples(amPhaseRes, 2));
  EXPECT_FALSE(AllanHasSamples(amPhaseDiff, 2));
}

// A residual series that restarts at a new zero offset, and a phase
// difference that restarts at a new zero reference, break the chain of
// their row instead of entering the jump. Both series here are ramps, whose
// deviation is 0.
TEST_F(PavStore, RestartedPhaseSeriesBreakTheAllanChain) {
  store->SetNomFreq(1, 1e7);
  store->SetNomFreq(2, 1e7);
  const auto line = [&](int n) {
    // Channel 1 runs 1 mHz fast, channel 2 2 mHz fast.
    return AddPhases({Units(n * k10MHz, n * 100000000LL), Units(n * k10MHz, n * 200000000LL)});
  };
  int n = 0;
  for (; n < 12; ++n) ASSERT_TRUE(line(n));
  ASSERT_GT(Residual(1), 0.01);
  store->SetNomFreq(1, 1e7);  // the same value: no reset, but a new zero offset
  store->PhaseDiffResetted();
  for (; n < 24; ++n) ASSERT_TRUE(line(n));
  EXPECT_LT(Residual(1), 0.02);  // restarted
  EXPECT_LT(Adev(amPhaseRes, 1), 1e-15);
  EXPECT_LT(Adev(amPhaseRes, 2), 1e-15);
  EXPECT_LT(Adev(amPhaseDiff, 2), 1e-15);
  EXPECT_GT(store->Allan(amPhaseRes).GetTauQuadN(0, 0), 10.0);  // samples on both sides counted
}

TEST_F(PavStore, PhaseDifferenceModeFeedsOnlyThePhaseDifference) {
  store->SetNomFreq(2, 1e7);
  for (int n = 0; n < 10; ++n) ASSERT_TRUE(Add(kPhaseDiff1s, {"0.0", n % 2 ? "0.25" : "0.5"}));
  EXPECT_DOUBLE_EQ(store->PPhaseDiff[2].ToDouble(), 0.25);
  EXPECT_GT(Adev(amPhaseDiff, 2), 0.0);
  EXPECT_EQ(store->Allan(amFreq).GetSampleCount(), 0);
  EXPECT_EQ(store->Allan(amPhaseRes).GetSampleCount(), 0);
  EXPECT_EQ(store->CheckAllanMode(amFreq), "No Frequency values for Phase Difference report modes");
  EXPECT_EQ(store->CheckAllanMode(amPhaseRes), "Phase residual values only for report modes Phase");
  EXPECT_EQ(store->CheckAllanMode(amPhaseDiff), "");
}

TEST_F(PavStore, NominalChangesInsideAnUpdateResetTheDeviationOnceAtTheEnd) {
  for (int n = 0; n < 10; ++n) ASSERT_TRUE(Add(kFrequency1s, {n % 2 ? "10000.001" : "10000.002"}));
  ASSERT_GE(store->GetAllanLastTau(amFreq), 0);
  store->BeginUpdate();
  store->SetNomFreq(1, 1.1e7);
  EXPECT_GE(store->GetAllanLastTau(amFreq), 0);
  store->EndUpdate();
  EXPECT_EQ(store->GetAllanLastTau(amFreq), -1);
  EXPECT_DOUBLE_EQ(store->GetNomFreqUser(1), 1.1e7);
  // Values that are no frequency are refused.
  for (double bad : {0.0, -5.0, std::nan(""), double{INFINITY}}) store->SetNomFreq(1, bad);
  store->SetNomFreq(25, 1e7);
  EXPECT_DOUBLE_EQ(store->GetNomFreq(1), 1.1e7);
  EXPECT_EQ(store->GetNomFreq(25), 0.0);
}

// ---- lifecycle --------------------------------------------------------------------------------------------------------

TEST_F(PavStore, LifecycleEventsResetAndTellTheMultiSampler) {
  const auto fill = [&] {
    ASSERT_TRUE(Add(kFrequency1s, {"10000.001", "10000.002"}));
    ASSERT_TRUE(Add(kFrequency1s, {"10000.001", "10000.002"}));
  };
  fill();
  store->BufferCleared(VQ_Code::BufferCleared);
  EXPECT_EQ(store->Count(HS::hsNone), 0);
  EXPECT_EQ(store->IntervalMs(), -1);
  EXPECT_TRUE(events.empty());

  fill();
  store->BufferCleared(VQ_Code::BufferOverflow);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].Code, TPAV_DataManagement::kEventMessage);
  EXPECT_EQ(events[0].Text, "Source C One or more lines lost due to receive buffer overflow");

  fill();
  store->IncLost();
  EXPECT_EQ(store->Lost(), 1u);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].Code, TPAV_DataManagement::kEventLost);
  EXPECT_EQ(store->Count(HS::hsNone), 0);
  EXPECT_EQ(resets, 3);
  EXPECT_EQ(store->GetAllanLastTau(amFreq), -1);
  // Nominal frequencies survive resets.
  EXPECT_DOUBLE_EQ(store->GetNomFreq(2), 10000002.0);

  fill();
  ASSERT_TRUE(Add(kFrequency1s, {"10000.001"}));  // one channel less
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[2].Code, TPAV_DataManagement::kEventChannelCount);

  store->DeviceOpened();
  EXPECT_EQ(store->Lost(), 0u);
  EXPECT_FALSE(store->DevicePVHSet());
  EXPECT_EQ(store->DeviceMs(), -1);
}

// After a re-synchronisation the counter's phase may jump: that line gives no
// frequency, no clock-alarm check and no deviation across the jump.
TEST_F(PavStore, ReSyncSuppressesTheNextFrequencyTheClockAlarmAndTheJump) {
  std::vector<std::vector<double>> checked;
  store->FOnClockAlarm = [&](std::span<const double> f) {
    checked.emplace_back(f.begin(), f.end());
    TClockAlarmResult r;
    if (f[0] > 10000000.5) r.AlarmText = "too fast";
    return r;
  };
  store->SetNomFreq(1, 1e7);
  const int64_t jitter[] = {0, 300, -200, 100};
  int n = 0;
  for (; n < 8; ++n) ASSERT_TRUE(AddPhases({Units(n * k10MHz) + jitter[n % 4]}));
  EXPECT_EQ(checked.size(), 7u);  // not for the first line after a reset
  const double before = Adev(amPhaseRes, 1);
  ASSERT_GT(before, 0.0);

  store->ReSync("Resynchronised");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].Code, TPAV_DataManagement::kEventMessage);
  EXPECT_EQ(events[0].Text, "Resynchronised");
  const int64_t restart = 5 - n * k10MHz;  // the phase starts again at 5 cycles
  for (; n < 16; ++n) {
    ASSERT_TRUE(AddPhases({Units(restart + n * k10MHz) + jitter[n % 4]}));
    if (n == 8) {
      EXPECT_EQ(store->LastFrequency(1), 0.0);
      EXPECT_EQ(checked.size(), 7u);
    }
  }
  EXPECT_EQ(checked.size(), 14u);
  EXPECT_DOUBLE_EQ(store->GetNomFreq(1), 1e7);
  EXPECT_LT(Adev(amPhaseRes, 1), 2 * before);
  EXPECT_TRUE(warnings.empty());

  ASSERT_TRUE(AddPhases({Units(restart + n * k10MHz, 90000000000)}));  // 10000000.9 Hz
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].Code, TPAV_DataManagement::kWarningClockAlarm);
  EXPECT_EQ(warnings[0].Text, "too fast");
}

TEST_F(PavStore, ScramblerTrimRezeroesDriftedPhaseDifferencesOncePerRing) {
  store->SetScramblerTrim(true);
  // Channel 2 drifts 0.05 cycles per line against channel 1.
  for (int n = 0; n < TDataManagement::kRingSize; ++n)
    ASSERT_TRUE(AddPhases({Units(n * k10MHz), Units(n * k10MHz, n * 5000000000LL)}));
  ASSERT_EQ(store->NextX(HS::hsNone), 0);
  const int n = TDataManagement::kRingSize;
  ASSERT_TRUE(AddPhases({Units(n * k10MHz), Units(n * k10MHz, n * 5000000000LL)}));
  EXPECT_NEAR(store->PPhaseDiff[2].ToDouble(), 0.05, 1e-9);
}

TEST_F(PavStore, RawDataLinesAreNotEvaluated) {
  EXPECT_FALSE(store->ExtractRawData(Line(0x6900, {"1 2 3"}), 1000));
  EXPECT_FALSE(store->ExtractData(Line(0x6900, {"1 2 3"}), 1000));
  EXPECT_EQ(store->Count(HS::hsNone), 0);
  EXPECT_TRUE(errors.empty());
}

}  // namespace
