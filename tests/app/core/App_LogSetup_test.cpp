#include <gtest/gtest.h>

#include "app/core/App_LogSetup.h"
#include "app/core/App_Settings.h"

namespace {

TEST(LogSetup, LogTypeNamesOfTheCommandLine) {
  struct TCase {
    std::string List;
    std::optional<uint32_t> Types;
  };
  const TCase cases[] = {
      {"phase,freq", 0x3u},
      {"Phase, FREQ ,phaseres", 0x8003u},
      {"phasediff,phasediffprev", 0x44u},
      {"qmt,qmtdiff", 0x30u},
      {"freq,freq", 0x2u},
      {"", std::nullopt},
      {"phase,", std::nullopt},
      {"adev", std::nullopt},
  };
  for (const TCase& c : cases) {
    std::string error;
    EXPECT_EQ(ParseLogTypes(c.List, error), c.Types) << c.List;
    EXPECT_EQ(error.empty(), c.Types.has_value()) << c.List;
  }
}

TEST(LogSetup, DefaultDefinitionLogsEveryChannelIntoTheFolder) {
  const auto definition = DefaultLogDefinition(1, false, 0x3u, "/data/logs", 2);
  ASSERT_EQ(definition->Count(), 1);
  const TSimpleLogDefinition& part = *definition->GetDefinition(0);
  EXPECT_EQ(part.FSource, 1);
  EXPECT_FALSE(part.FSourceCopy);
  EXPECT_EQ(part.FTypes, 0x3u);
  EXPECT_EQ(part.GetLogEnabledString(1), std::string(24, '1'));
  EXPECT_EQ(part.GetLogEnabledString(3), std::string(24, '0'));
  EXPECT_TRUE(definition->Enabled());
  EXPECT_TRUE(definition->AddHeader());
  EXPECT_EQ(definition->FileName(), "/data/logs/PhaseFreq_B_2.txt");
  EXPECT_EQ(LogFileFolder(definition->FileName()), "/data/logs/");
  EXPECT_EQ(LogFileBaseName(definition->FileName()), "PhaseFreq_B_2.txt");
  EXPECT_EQ(LogFileFolder("run.txt"), "");
}

// Sessions 2 and 5 become 0 and 1 when the settings are saved densely; the
// definitions' parts follow them, a part of an unrelated number stays.
TEST(LogSetup, RenumberedSessionsCarryTheirLogParts) {
  TAppSettings settings;
  settings.SetValue("Log_DefsCount", 2);
  settings.SetValue("Log_1_Count", 2);
  settings.SetValue("Log_1_Simple1_SessionIndex", 2);
  settings.SetValue("Log_1_Simple2_SessionIndex", 5);
  settings.SetValue("Log_2_Count", 1);
  settings.SetValue("Log_2_Simple1_SessionIndex", 7);
  RenumberLogDefinitions(settings, {{2, 0}, {5, 1}});
  EXPECT_EQ(settings.GetValue("Log_1_Simple1_SessionIndex", -1), 0);
  EXPECT_EQ(settings.GetValue("Log_1_Simple2_SessionIndex", -1), 1);
  EXPECT_EQ(settings.GetValue("Log_2_Simple1_SessionIndex", -1), 7);

  // A damaged count is read within the bounds of the definitions themselves
  // (two billion definitions would take hours to walk).
  settings.SetValue("Log_DefsCount", 2000000000);
  settings.SetValue("Log_2_Count", "x");
  RenumberLogDefinitions(settings, {{0, 3}});
  EXPECT_EQ(settings.GetValue("Log_1_Simple1_SessionIndex", -1), 3);
  EXPECT_EQ(settings.GetValue("Log_2_Simple1_SessionIndex", -1), 7);
}

}  // namespace
