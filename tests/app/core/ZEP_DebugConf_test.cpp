#include "app/core/ZEP_DebugConf.h"

#include "library/core/LogUnit.h"
#include "support/FileText.h"
#include "support/TempFolder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

namespace {

using ::testing::HasSubstr;
using ::testing::Not;

TEST(DebugConf, MissingKeysGetTheirDefaults) {
  TTempFolder folder;
  const std::string path = folder.File("ZEP_DebugConf.ini");
  TDebugConf conf(path);
  conf.GetConfig();
  const bool expected[TDebugConf::kFlagCount + 1] = {false, true, true, true, true, true, false, true, false,
                                                      true,  true, true, true, true, true, true};
  for (int index = 1; index <= TDebugConf::kFlagCount; ++index) {
    EXPECT_EQ(conf.DebugFlag(index), expected[index]) << conf.FlagName(index);
    EXPECT_EQ(conf.RawValue(conf.FlagName(index)), expected[index] ? "True" : "False");
  }
  EXPECT_EQ(conf.FlagName(TDebugConf::dfSampler), "Sampler");
  EXPECT_FALSE(conf.DebugFlag(0));
  EXPECT_FALSE(conf.DebugFlag(16));
  EXPECT_EQ(conf.FlagName(16), "");
}

TEST(DebugConf, StoredFlagsAndReloadAfterTheFileChanged) {
  TTempFolder folder;
  const std::string path = folder.File("ZEP_DebugConf.ini");
  WriteText(path, "main=False\r\nMenu=True\r\nSync=true\r\n");  // names without case, values "True" only
  TDebugConf conf(path);
  conf.GetConfig();
  EXPECT_FALSE(conf.DebugFlag(TDebugConf::dfMain));
  EXPECT_TRUE(conf.DebugFlag(TDebugConf::dfMenu));
  EXPECT_FALSE(conf.DebugFlag(TDebugConf::dfSync));

  WriteText(path, "Main=True\r\nMenu=False\r\n");  // the debug settings dialog saved
  conf.UpdateConfig();
  EXPECT_TRUE(conf.DebugFlag(TDebugConf::dfMain));
  EXPECT_FALSE(conf.DebugFlag(TDebugConf::dfMenu));
  EXPECT_TRUE(conf.DebugFlag(TDebugConf::dfSync));  // missing again: default
  ASSERT_TRUE(conf.SaveSettings());
  EXPECT_THAT(ReadFile(path), HasSubstr("AllanData=True\r\n"));
}

TEST(DebugConf, LinesAreGatedByTheirFlag) {
  TTempFolder folder;
  const std::string logPath = folder.File("main.txt");
  const int id = NewLog();
  ASSERT_GE(id, 0);
  SetLogFile(id, logPath, false);
  {
    TDebugConf conf("");  // an unbound store with defaults: Menu off, Main on
    conf.GetConfig();
    conf.SetLogId(id);
    conf.Info(TDebugConf::dfMenu, "menu info");
    conf.Error(TDebugConf::dfMenu, "menu error");
    conf.Info(TDebugConf::dfMain, "main info");
    conf.Warning(0, "ungated warning");
    conf.Error(TDebugConf::dfSteering, "steering error");
    conf.SetValue("Main", false);
    conf.GetConfig();
    conf.Error("while reading", std::runtime_error("boom"));  // regardless of flags
  }
  SetLogFile(id, "", false);
  const std::string text = ReadFile(logPath);
  EXPECT_THAT(text, Not(HasSubstr("menu")));
  EXPECT_THAT(text, HasSubstr("main info"));
  EXPECT_THAT(text, HasSubstr("WARN:  ungated warning"));
  EXPECT_THAT(text, HasSubstr("steering error"));
  EXPECT_THAT(text, HasSubstr("while reading EXCEP(std::runtime_error) boom"));
  EXPECT_THAT(text, Not(HasSubstr("finalization")));  // "Main" was switched off
}

TEST(DebugConf, FinalizationLineAndNoLogAtAll) {
  TTempFolder folder;
  const std::string logPath = folder.File("main.txt");
  const int id = NewLog();
  ASSERT_GE(id, 0);
  SetLogFile(id, logPath, false);
  {
    auto conf = std::make_unique<TDebugConf>("");
    conf->GetConfig();
    conf->Info(0, "before the log id");  // no log yet: nothing, no failure
    conf->SetLogId(id);
  }
  SetLogFile(id, "", false);
  const std::string text = ReadFile(logPath);
  EXPECT_THAT(text, HasSubstr("ZEP_DebugConf.pas finalization"));
  EXPECT_THAT(text, Not(HasSubstr("before the log id")));
}

}  // namespace
