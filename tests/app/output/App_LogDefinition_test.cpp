#include "app/output/App_LogDefinition.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>

#include "app/core/App_Settings.h"
#include "tests/support/TempFolder.h"

using ::testing::HasSubstr;

namespace {

TLogEnabledArray Rows(const std::string& r1, const std::string& r2 = {}, const std::string& r3 = {}) {
  TSimpleLogDefinition part;
  part.SetLogEnabledString(1, r1);
  part.SetLogEnabledString(2, r2);
  part.SetLogEnabledString(3, r3);
  return part.FEnabled;
}

std::unique_ptr<TSimpleLogDefinition> Part(int source, uint32_t types, bool copy = false,
                                           TSamplerStringClass stringClass = sscStandard,
                                           const TLogEnabledArray& enabled = Rows("111")) {
  return std::make_unique<TSimpleLogDefinition>(source, types, copy, stringClass, enabled);
}

// Two sources: counter A with phase, frequency and phase residual on
// channels 1, 3, 24 and PDI card 2; the copy of B with virtual types.
TLogDefinition TwoPartDefinition() {
  TLogDefinition definition(Part(0, 1u << 0 | 1u << 1 | 1u << 15, false, sscStandard,
                                 Rows("101000000000000000000001", "", "01")));
  definition.AddDefinition(Part(1, 1u << 11 | 1u << 17, true, sscVirtual, Rows("11")));
  definition.SetFileName("/data/logs/run.txt");
  definition.SetFileSize(2147483648LL);  // "2 GB" does not fit 32 bits
  definition.SetPrependDate(true);
  definition.SetAddHeader(false);
  definition.SetEnabled(false);
  definition.SetDifferentDevices(true);
  definition.SetOption(true);
  return definition;
}

// Saves to a file and loads it into a fresh store, as a restart does.
class LogSettingsFile : public ::testing::Test {
 protected:
  TAppSettings Restarted(TAppSettings& settings) {
    EXPECT_TRUE(settings.SaveSettings(FFolder.File("ZEP_App.ini")));
    TAppSettings loaded;
    EXPECT_TRUE(loaded.LoadFromFile(FFolder.File("ZEP_App.ini")));
    return loaded;
  }
  TTempFolder FFolder;
};

}  // namespace

// ---- type table ---------------------------------------------------------------------------

TEST(LogTypeTable, RowsThatPeersDependOn) {
  ASSERT_NE(LogTypeInfo(0), nullptr);
  EXPECT_STREQ(LogTypeInfo(0)->Label, "Phase [Pd]");
  EXPECT_STREQ(LogTypeInfo(6)->Caption, "Phase Difference ( \xCE\x94 Chan. n-1)");
  EXPECT_EQ(LogTypeInfo(6)->Slot, 7);
  EXPECT_EQ(LogTypeInfo(15)->Slot, 9);
  EXPECT_STREQ(LogTypeInfo(8)->QMTTag, "QMTAvgShort");
  EXPECT_STREQ(LogTypeInfo(9)->QMTTag, "QMTAvgLong");
  EXPECT_EQ(LogTypeWidth(8, false), 26);
  EXPECT_EQ(LogTypeWidth(8, true), 15);
  EXPECT_EQ(LogTypeWidth(9, true), 15);
  EXPECT_EQ(LogTypeWidth(1, true), 22);
  EXPECT_EQ(LogTypeWidth(7, false), 0);
  EXPECT_EQ(LogTypeWidth(13, false), 0);
  EXPECT_EQ(LogTypeInfo(18), nullptr);
  EXPECT_EQ(LogTypeInfo(-1), nullptr);
  EXPECT_EQ(LogTypeWidth(18, false), 0);
}

TEST(LogTypeTable, MasksMatchTheKindsOfTheRows) {
  for (int bit = 0; bit < LogType::Count; ++bit) {
    const TLogSourceKind kind = LogTypeInfo(bit)->Kind;
    const uint32_t flag = 1u << bit;
    SCOPED_TRACE(bit);
    EXPECT_EQ((LogType::CounterMask & flag) != 0, kind == TLogSourceKind::Counter);
    EXPECT_EQ((LogType::QMTMask & flag) != 0, kind == TLogSourceKind::TimeInterval);
    EXPECT_EQ((LogType::VirtualMask & flag) != 0, kind == TLogSourceKind::VirtualCounter);
  }
}

TEST(LogTypeTable, StringClassNames) {
  EXPECT_STREQ(StringClassName(sscStandard), "Standard");
  EXPECT_STREQ(StringClassName(sscSpecial), "Special");
  EXPECT_STREQ(StringClassName(static_cast<TSamplerStringClass>(5)), "Unknown");
}

// ---- one part -----------------------------------------------------------------------------

TEST(SimpleLogDefinition, TypeBitsOutside0To31AnswerFalseAndSetNothing) {
  TSimpleLogDefinition part;
  for (int bit : {-1, 32, 64, -33}) part.SetHasLogType(bit);
  EXPECT_EQ(part.FTypes, 0u);
  part.SetHasLogType(31);
  part.SetHasLogType(2);
  part.SetHasLogType(2);  // only adds
  EXPECT_EQ(part.FTypes, 0x80000004u);
  EXPECT_TRUE(part.GetHasLogType(31));
  EXPECT_TRUE(part.GetHasLogType(2));
  EXPECT_FALSE(part.GetHasLogType(3));
  for (int bit : {-1, 32, 33, 63, 64}) EXPECT_FALSE(part.GetHasLogType(bit)) << bit;
}

TEST(SimpleLogDefinition, EnabledRowStrings) {
  TSimpleLogDefinition part;
  part.SetLogEnabledString(1, "1x01");  // short: the missing channels are off
  EXPECT_EQ(part.GetLogEnabledString(1), "100100000000000000000000");
  EXPECT_TRUE(part.IsEnabled(1, 4));
  EXPECT_FALSE(part.IsEnabled(1, 2));
  part.SetLogEnabledString(4, std::string(30, '1'));  // long: the extra characters do not matter
  EXPECT_EQ(part.GetLogEnabledString(4), std::string(24, '1'));
  part.SetLogEnabledString(1, "");
  EXPECT_FALSE(part.RowHasAny(1));

  part.SetLogEnabledString(0, "1");
  part.SetLogEnabledString(5, "1");
  EXPECT_EQ(part.GetLogEnabledString(0), "");
  EXPECT_EQ(part.GetLogEnabledString(5), "");
  EXPECT_FALSE(part.IsEnabled(0, 1));
  EXPECT_FALSE(part.IsEnabled(4, 0));
  EXPECT_FALSE(part.IsEnabled(4, 25));
  EXPECT_FALSE(part.RowHasAny(5));
}

TEST(SimpleLogDefinition, ToStringText) {
  TSimpleLogDefinition part(2, 0x30003, true, sscAvgShort, Rows("11", "", "0001"));
  part.FReportFactor = 0.1;
  const std::string zeros(24, '0');
  EXPECT_EQ(part.ToString(), "Session=2/True StringClass=AvgShort Types=00030003 ReportFactor=0.1 Enabled[1]=11" +
                                 std::string(22, '0') + " Enabled[2]=" + zeros + " Enabled[3]=0001" +
                                 std::string(20, '0') + " Enabled[4]=" + zeros);
  part.FSourceCopy = false;
  part.FReportFactor = 10;
  EXPECT_THAT(part.ToString(), HasSubstr("Session=2/False "));
  EXPECT_THAT(part.ToString(), HasSubstr(" ReportFactor=10 "));
}

TEST(SimpleLogDefinition, UpdateSessionIndexRenumbersOnlyThatSource) {
  TLogDefinition definition(Part(3, 1));
  definition.AddDefinition(Part(4, 1));
  definition.AddDefinition(Part(3, 2, true));
  definition.UpdateSessionIndex(3, 1);
  EXPECT_EQ(definition.GetDefinition(0)->FSource, 1);
  EXPECT_EQ(definition.GetDefinition(1)->FSource, 4);
  EXPECT_EQ(definition.GetDefinition(2)->FSource, 1);
}

// ---- one definition -----------------------------------------------------------------------

TEST(LogDefinition, HasDefinitionTable) {
  TLogDefinition definition(Part(0, 1u << 0 | 1u << 4, false, sscStandard, Rows("", "", "1")));
  definition.AddDefinition(Part(1, 1u << 11, true, sscVirtual, Rows("01")));
  struct Case {
    int sIndex;
    bool sCopy;
    int aTypes;
    int cType;
    bool expected;
  };
  const Case cases[] = {
      {0, false, -1, 0, true},   // any type, no row condition
      {0, true, -1, 0, false},   // the copy of A is another source
      {0, false, 0, 0, true},    {0, false, 4, 5, true},   {0, false, 1, 0, false},
      {0, false, 0, 1, false},   // row 1 of A is all off
      {0, false, 0, 3, true},    {0, false, -1, 4, false},
      {1, true, 11, 1, true},    {1, false, 11, 1, false}, {1, true, 11, 2, false},
      {1, true, 32, 0, false},   {1, true, -2, 0, false},  {2, false, -1, 0, false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(definition.HasDefinition(c.sIndex, c.sCopy, c.aTypes, c.cType), c.expected)
        << c.sIndex << "/" << c.sCopy << " types " << c.aTypes << " row " << c.cType;

  EXPECT_TRUE(definition.HasDefinitionMask(0, false, LogType::QMTMask));
  EXPECT_FALSE(definition.HasDefinitionMask(0, false, LogType::VirtualMask));
  EXPECT_TRUE(definition.HasDefinitionMask(1, true, LogType::VirtualMask));
  EXPECT_TRUE(definition.HasStringClass(1, true, sscVirtual));
  EXPECT_FALSE(definition.HasStringClass(1, false, sscVirtual));
  EXPECT_FALSE(definition.HasStringClass(0, false, sscVirtual));
  EXPECT_TRUE(definition.HasSource(1, true));
  EXPECT_FALSE(definition.HasSource(1, false));
}

TEST(LogDefinition, PartsListAndNegativeFileSize) {
  TLogDefinition definition;
  EXPECT_EQ(definition.Count(), 0);
  definition.AddDefinition(nullptr);
  EXPECT_EQ(definition.Count(), 0);
  definition.AddDefinition(Part(0, 1));
  definition.AddDefinition(Part(1, 2));
  EXPECT_EQ(definition.GetDefinition(2), nullptr);
  EXPECT_EQ(definition.GetDefinition(-1), nullptr);
  definition.RemoveDefinition(5);
  definition.RemoveDefinition(-1);
  EXPECT_EQ(definition.Count(), 2);
  definition.RemoveDefinition(0);
  ASSERT_EQ(definition.Count(), 1);
  EXPECT_EQ(definition.GetDefinition(0)->FSource, 1);

  definition.SetFileSize(-5);
  EXPECT_EQ(definition.FileSize(), 0);
}

TEST(LogDefinition, CopyIsDeepAndSameAsComparesEverythingButReportFactors) {
  const TLogDefinition original = TwoPartDefinition();
  TLogDefinition copy(original);
  ASSERT_NE(copy.GetDefinition(0), original.GetDefinition(0));
  EXPECT_TRUE(copy.SameAs(original));
  copy.GetDefinition(1)->FReportFactor = 10;
  EXPECT_TRUE(copy.SameAs(original));

  copy.GetDefinition(1)->SetHasLogType(12);
  EXPECT_FALSE(copy.SameAs(original));
  EXPECT_FALSE(original.GetDefinition(1)->GetHasLogType(12));  // the original kept its part

  TLogDefinition assigned;
  assigned = original;
  EXPECT_TRUE(assigned.SameAs(original));
  assigned = assigned;  // self-assignment keeps the parts
  EXPECT_TRUE(assigned.SameAs(original));

  const auto changed = [&](auto change) {
    TLogDefinition other(original);
    change(other);
    return !other.SameAs(original);
  };
  EXPECT_TRUE(changed([](TLogDefinition& d) { d.SetFileName("/data/logs/other.txt"); }));
  EXPECT_TRUE(changed([](TLogDefinition& d) { d.SetPrependDate(false); }));
  EXPECT_TRUE(changed([](TLogDefinition& d) { d.SetAddHeader(true); }));
  EXPECT_TRUE(changed([](TLogDefinition& d) { d.SetEnabled(true); }));
  EXPECT_TRUE(changed([](TLogDefinition& d) { d.SetFileSize(0); }));
  EXPECT_TRUE(changed([](TLogDefinition& d) { d.SetDifferentDevices(false); }));
  EXPECT_TRUE(changed([](TLogDefinition& d) { d.SetOption(false); }));
  EXPECT_TRUE(changed([](TLogDefinition& d) { d.RemoveDefinition(1); }));
  EXPECT_TRUE(changed([](TLogDefinition& d) { d.GetDefinition(0)->FSourceCopy = true; }));
  EXPECT_TRUE(changed([](TLogDefinition& d) { d.GetDefinition(0)->FStringClass = sscSpecial; }));
  EXPECT_TRUE(changed([](TLogDefinition& d) { d.GetDefinition(0)->SetLogEnabledString(3, ""); }));
}

// ---- persistent form ----------------------------------------------------------------------

TEST_F(LogSettingsFile, DefinitionsRoundTripThroughTheSettingsFile) {
  TAppSettings settings;
  const TLogDefinition first = TwoPartDefinition();
  TLogDefinition second(Part(2, 1u << 4 | 1u << 5, false, sscStandard, Rows(std::string(24, '1'))));
  second.SetFileName("qmt.txt");
  SaveLogDefinitions(settings, {&first, nullptr, &second});
  EXPECT_EQ(settings.RawValue("Log_DefsCount"), "2");  // numbered densely
  EXPECT_EQ(settings.RawValue("Log_1_FileSize"), "2147483648");
  EXPECT_EQ(settings.RawValue("Log_1_Simple1_LogTypes"), "32771");
  EXPECT_EQ(settings.RawValue("Log_1_Simple1_Enabled3"), "01" + std::string(22, '0'));
  EXPECT_TRUE(settings.HasKey("Log_2_Simple1_SessionIndex"));

  TAppSettings loaded = Restarted(settings);
  EXPECT_GE(loaded.VersionFormat(), 4);
  const auto definitions = ReadLogDefinitions(loaded);
  ASSERT_EQ(definitions.size(), 2u);
  EXPECT_TRUE(definitions[0]->SameAs(first));
  EXPECT_EQ(definitions[0]->FileSize(), 2147483648LL);
  EXPECT_TRUE(definitions[1]->SameAs(second));
  EXPECT_TRUE(definitions[1]->AddHeader());  // the defaults survive too
  EXPECT_TRUE(definitions[1]->Enabled());
}

TEST_F(LogSettingsFile, SavingRemovesEveryOldLogKey) {
  TAppSettings settings;
  settings.SetValue("Log_DefsCount", 3);
  settings.SetValue("Log_3_FileName", "stale.txt");
  settings.SetValue("Log_1_Simple2_SessionIndex", 4);
  settings.SetValue("Log_Whatever", "x");
  settings.SetValue("LogTimeFormat", "YYMMDD HHNNSS.ZZZ");  // not a definition key
  const TLogDefinition only(Part(0, 1));
  SaveLogDefinitions(settings, {&only});

  EXPECT_FALSE(settings.HasKey("Log_3_FileName"));
  EXPECT_FALSE(settings.HasKey("Log_1_Simple2_SessionIndex"));
  EXPECT_FALSE(settings.HasKey("Log_Whatever"));
  EXPECT_EQ(settings.RawValue("LogTimeFormat"), "YYMMDD HHNNSS.ZZZ");
  TAppSettings loaded = Restarted(settings);
  const auto definitions = ReadLogDefinitions(loaded);
  ASSERT_EQ(definitions.size(), 1u);
  EXPECT_EQ(definitions[0]->Count(), 1);

  SaveLogDefinitions(settings, {});
  EXPECT_EQ(settings.RawValue("Log_DefsCount"), "0");
  EXPECT_FALSE(settings.TestKeys("Log_1_"));
}

TEST(LogSettings, OldFormatReadsTheSingleTypeNumber) {
  struct Case {
    const char* version;  // nullptr: no "INI_Version" at all
    bool writeSet;
    uint32_t expected;
  };
  const Case cases[] = {
      {"3", false, 1u << 2},   // "LogType"=2 reads as {2}
      {nullptr, false, 1u << 2},
      {"3", true, 1u << 2},    // a set in an old file is not read
      {"4", true, 0x8003u},    // from version 4 on only the set counts
      {"4", false, 0u},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version ? c.version : "none");
    TAppSettings settings;
    if (c.version) settings.SetValue("INI_Version", c.version);
    settings.SetValue("Log_DefsCount", 1);
    settings.SetValue("Log_1_Count", 1);
    settings.SetValue("Log_1_Simple1_SessionIndex", 1);
    settings.SetValue("Log_1_Simple1_LogType", 2);
    if (c.writeSet) settings.SetValue("Log_1_Simple1_LogTypes", "32771");
    const auto definitions = ReadLogDefinitions(settings);
    ASSERT_EQ(definitions.size(), 1u);
    ASSERT_EQ(definitions[0]->Count(), 1);
    EXPECT_EQ(definitions[0]->GetDefinition(0)->FTypes, c.expected);
    EXPECT_EQ(definitions[0]->GetDefinition(0)->FSource, 1);
  }
  TAppSettings old;
  old.SetValue("INI_Version", 3);
  old.SetValue("P_LogType", 40);  // outside 0..31: no type
  TSimpleLogDefinition part;
  part.ReadSetting(old, "P_");
  EXPECT_EQ(part.FTypes, 0u);
}

TEST(LogSettings, SavingRaisesTheFormatVersionSoTheSetIsReadBack) {
  TTempFolder folder;
  TAppSettings settings;
  settings.SetValue("INI_Version", 2);
  ASSERT_EQ(settings.VersionFormat(), 2);
  const TLogDefinition definition(Part(0, 1u << 3 | 1u << 6));
  SaveLogDefinitions(settings, {&definition});
  ASSERT_TRUE(settings.SaveSettings(folder.File("a.ini")));
  TAppSettings loaded;
  ASSERT_TRUE(loaded.LoadFromFile(folder.File("a.ini")));
  EXPECT_EQ(loaded.VersionFormat(), 4);
  const auto definitions = ReadLogDefinitions(loaded);
  ASSERT_EQ(definitions.size(), 1u);
  EXPECT_EQ(definitions[0]->GetDefinition(0)->FTypes, 1u << 3 | 1u << 6);
}

TEST(LogSettings, MissingKeysReadAsTheirDefaults) {
  TAppSettings settings;
  settings.SetValue("INI_Version", 4);
  settings.SetValue("Log_DefsCount", 1);
  settings.SetValue("Log_1_Count", 1);
  settings.SetValue("Log_1_Simple1_Enabled1", "0101");
  const auto definitions = ReadLogDefinitions(settings);
  ASSERT_EQ(definitions.size(), 1u);
  const TLogDefinition& definition = *definitions[0];
  EXPECT_TRUE(definition.AddHeader());
  EXPECT_TRUE(definition.Enabled());
  EXPECT_FALSE(definition.PrependDate());
  EXPECT_FALSE(definition.Option());
  EXPECT_FALSE(definition.DifferentDevices());
  EXPECT_EQ(definition.FileSize(), 0);
  EXPECT_EQ(definition.FileName(), "");
  ASSERT_EQ(definition.Count(), 1);
  const TSimpleLogDefinition& part = *definition.GetDefinition(0);
  EXPECT_EQ(part.FSource, 0);
  EXPECT_FALSE(part.FSourceCopy);
  EXPECT_EQ(part.FStringClass, sscStandard);
  EXPECT_EQ(part.FTypes, 0u);
  EXPECT_EQ(part.GetLogEnabledString(1), "0101" + std::string(20, '0'));
  EXPECT_FALSE(part.RowHasAny(3));
}

TEST(LogSettings, DamagedValuesAreReadSafely) {
  TAppSettings settings;
  settings.SetValue("INI_Version", 4);
  settings.SetValue("Log_DefsCount", 2);
  // Definition 1: malformed numbers everywhere; its part keeps the defaults.
  settings.SetValue("Log_1_FileName", "a.txt");
  settings.SetValue("Log_1_FileSize", "12x");
  settings.SetValue("Log_1_Count", "3");
  settings.SetValue("Log_1_Simple1_SessionIndex", "B");
  settings.SetValue("Log_1_Simple1_StringClass", "7");
  settings.SetValue("Log_1_Simple1_LogTypes", "0x10");
  settings.SetValue("Log_1_Simple2_SessionIndex", "-1");  // refers to no session: dropped
  settings.SetValue("Log_1_Simple2_LogTypes", "1");
  settings.SetValue("Log_1_Simple3_SessionIndex", " +2 ");
  settings.SetValue("Log_1_Simple3_StringClass", "-1");
  settings.SetValue("Log_1_Simple3_LogTypes", "99999999999999999999");  // beyond 64 bits
  // Definition 2: a negative size and a count no file could hold.
  settings.SetValue("Log_2_FileSize", "-100");
  settings.SetValue("Log_2_Count", "2000000000");
  settings.SetValue("Log_2_Simple1_SessionIndex", "3");

  std::vector<std::unique_ptr<TLogDefinition>> definitions;
  ASSERT_NO_THROW(definitions = ReadLogDefinitions(settings));
  ASSERT_EQ(definitions.size(), 2u);
  const TLogDefinition& first = *definitions[0];
  EXPECT_EQ(first.FileName(), "a.txt");
  EXPECT_EQ(first.FileSize(), 0);
  ASSERT_EQ(first.Count(), 2);
  EXPECT_EQ(first.GetDefinition(0)->FSource, 0);
  EXPECT_EQ(first.GetDefinition(0)->FStringClass, sscStandard);
  EXPECT_EQ(first.GetDefinition(0)->FTypes, 0u);
  EXPECT_EQ(first.GetDefinition(1)->FSource, 2);
  EXPECT_EQ(first.GetDefinition(1)->FStringClass, sscStandard);
  EXPECT_EQ(first.GetDefinition(1)->FTypes, 0u);

  const TLogDefinition& second = *definitions[1];
  EXPECT_EQ(second.FileSize(), 0);
  ASSERT_EQ(second.Count(), 1);  // parts without any stored key are not made up
  EXPECT_EQ(second.GetDefinition(0)->FSource, 3);
  EXPECT_FALSE(settings.HasKey("Log_2_Simple2_SessionIndex"));
}

// A damaged count costs no definition: the stored ones are read, and the
// user hears of the count. Huge counts make up no definitions.
TEST(LogSettings, DamagedDefinitionCountReadsTheStoredDefinitions) {
  for (const char* count : {"2147483647", "-5", "many", "", "1001"}) {
    SCOPED_TRACE(count);
    TAppSettings settings;
    settings.KeepValue("Log_DefsCount", count);
    settings.SetValue("Log_1_FileName", "a.txt");
    settings.SetValue("Log_1_Count", "x");
    settings.SetValue("Log_1_Simple2_SessionIndex", 3);
    settings.SetValue("Log_3_FileName", "c.txt");
    std::vector<std::unique_ptr<TLogDefinition>> definitions;
    ASSERT_NO_THROW(definitions = ReadLogDefinitions(settings));
    ASSERT_EQ(definitions.size(), 2u);
    EXPECT_EQ(definitions[1]->FileName(), "c.txt");
    ASSERT_EQ(definitions[0]->Count(), 1);
    EXPECT_EQ(definitions[0]->GetDefinition(0)->FSource, 3);
    EXPECT_FALSE(settings.HasKey("Log_2_FileName"));  // no keys made up for absent definitions
    const std::vector<std::string> problems = settings.TakeProblems();
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_THAT(problems[0], HasSubstr("Log_DefsCount"));
    EXPECT_THAT(problems[0], HasSubstr("the 2 stored records are read"));
    EXPECT_THAT(problems[1], HasSubstr("Log_1_Count=x is not a number"));
  }
}

TEST(LogSettings, MalformedVersionReadsAsOldFormat) {
  TAppSettings settings;
  settings.SetValue("INI_Version", "four");
  settings.SetValue("P_LogType", 1);
  settings.SetValue("P_LogTypes", "8");
  TSimpleLogDefinition part;
  ASSERT_NO_THROW(part.ReadSetting(settings, "P_"));
  EXPECT_EQ(part.FTypes, 1u << 1);
}

// ---- file names ---------------------------------------------------------------------------

TEST(LogFileName, Split) {
  struct Case {
    const char* name;
    const char* folder;
    const char* path;
    const char* body;
    const char* extension;
  };
  const Case cases[] = {
      {"/data/logs/run.txt", "/prog", "/data/logs/", "run", ".txt"},
      {"/data/logs/run", "/prog", "/data/logs/", "run", ".txt"},
      {"run.csv", "/prog/", "/prog/", "run", ".csv"},
      {"run", "/prog", "/prog/", "run", ".txt"},
      {"/data/v1.2/run", "/prog", "/data/v1.2/", "run", ".txt"},  // a dot in the folder is no extension
      {"/data/run.2024.log", "/prog", "/data/", "run.2024", ".log"},
      {"/data/.hidden", "/prog", "/data/", ".hidden", ".txt"},
      {"/data/run.", "/prog", "/data/", "run", ".txt"},
      {"run.txt", "", "", "run", ".txt"},
  };
  for (const Case& c : cases) {
    const TLogFileNameParts parts = SplitLogFileName(c.name, c.folder);
    EXPECT_EQ(parts.Path, c.path) << c.name;
    EXPECT_EQ(parts.Body, c.body) << c.name;
    EXPECT_EQ(parts.Extension, c.extension) << c.name;
  }
}

TEST(LogFileName, NextFreeNameWithDateAndSequence) {
  std::set<std::string> existing;
  const auto exists = [&](const std::string& name) { return existing.count(name) > 0; };
  const TLogFileNameParts parts = SplitLogFileName("/logs/run.txt", "/prog");
  EXPECT_EQ(NextLogFileName(parts, "240809", false, exists), "/logs/run_240809_1.txt");
  existing.insert("/logs/run_240809_1.txt");
  EXPECT_EQ(NextLogFileName(parts, "240809", false, exists), "/logs/run_240809_2.txt");
  EXPECT_EQ(NextLogFileName(parts, "240809", true, exists), "/logs/240809_1_run.txt");
  EXPECT_EQ(NextLogFileName(SplitLogFileName("run", "/prog"), "240810", false, exists), "/prog/run_240810_1.txt");
}

TEST(LogFileName, RealFilesInAFolder) {
  TTempFolder folder;
  const TLogFileNameParts parts = SplitLogFileName(folder.File("run.txt"), "/nowhere");
  const auto exists = [](const std::string& name) { return std::filesystem::exists(name); };
  const std::string first = NextLogFileName(parts, "240809", false, exists);
  EXPECT_EQ(first, folder.File("run_240809_1.txt"));
  { std::ofstream(first) << "x"; }
  EXPECT_EQ(NextLogFileName(parts, "240809", false, exists), folder.File("run_240809_2.txt"));
}

TEST(LogFileName, NeverChoosesAnExistingFile) {
  int asked = 0;
  const std::string name = NextLogFileName(SplitLogFileName("/logs/run.txt", "/prog"), "240809", false,
                                           [&](const std::string&) { return ++asked, true; });
  EXPECT_EQ(name, "");
  EXPECT_EQ(asked, kMaxLogFileSequence);
}

TEST(LogFileName, Automatic) {
  TLogDefinition definition(Part(0, 1u << 0 | 1u << 1 | 1u << 8));
  definition.AddDefinition(Part(0, 1u << 11 | 1u << 16, false, sscVirtual));  // same source A
  definition.AddDefinition(Part(2, 1u << 4 | 1u << 9));
  definition.AddDefinition(Part(0, 1u << 15, true));  // the copy of A is a source of its own
  const auto timeInterval = [](int sIndex) { return sIndex == 2; };
  EXPECT_EQ(AutomaticLogFileName(definition, 3, timeInterval),
            "PhaseFreqAvgShortFreqAbsVPhaseDiffVQMTQMTAvgLongPhaseRes_ACA_3.txt");
  EXPECT_EQ(AutomaticLogFileName(TLogDefinition(Part(27, 1u << 5)), 1, nullptr), "QMTdiff_B_1.txt");
}

TEST(LogFileName, SizeChoices) {
  const auto& choices = LogSizeChoices();
  ASSERT_EQ(choices.size(), 6u);
  EXPECT_STREQ(choices.front().Text, "unlimited");
  EXPECT_EQ(choices.front().Bytes, 0);
  EXPECT_EQ(choices[1].Bytes, TLogDefinition::k128MB);
  EXPECT_STREQ(choices.back().Text, "2 GB");
  EXPECT_EQ(choices.back().Bytes, 2147483648LL);
}
