#include "app/core/App_Settings.h"

#include "support/FileText.h"
#include "support/TempFolder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;

unsigned FileMode(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

// Files in the folder besides the settings file: leftovers of a save.
std::vector<std::string> OtherFiles(const TTempFolder& folder, const std::string& keep) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder.Path()))
    if (entry.path().filename() != keep) names.push_back(entry.path().filename().string());
  return names;
}

// ---- typed values -------------------------------------------------------------

TEST(AppSettings, NewStoreHoldsTheAutoSaveKey) {
  TAppSettings settings;
  EXPECT_THAT(settings.Lines(), ElementsAre("AutoSaveSettings=False"));
  EXPECT_FALSE(settings.AutoSaveSettings());
}

TEST(AppSettings, ReadingAMissingKeyAddsItsDefaultInStoredForm) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* what;
    std::function<void(TAppSettings&)> read;
    const char* line;
  };
  const std::vector<Case> cases = {
      {"bool true", [](TAppSettings& s) { EXPECT_TRUE(s.GetValue("K", true)); }, "K=True"},
      {"bool false", [](TAppSettings& s) { EXPECT_FALSE(s.IsEnabled("K", false)); }, "K=False"},
      {"int", [](TAppSettings& s) { EXPECT_EQ(s.GetValue("K", -1), -1); }, "K=-1"},
      {"unsigned", [](TAppSettings& s) { EXPECT_EQ(s.GetUValue("K", 4294967295u), 4294967295u); }, "K=4294967295"},
      {"double", [](TAppSettings& s) { EXPECT_EQ(s.GetValue("K", 0.5), 0.5); }, "K=0.5"},
      {"small double", [](TAppSettings& s) { EXPECT_EQ(s.GetValue("K", 1E-10), 1E-10); }, "K=1E-10"},
      {"NaN double", [&](TAppSettings& s) { EXPECT_TRUE(std::isnan(s.GetValue("K", nan))); }, "K="},
      {"char", [](TAppSettings& s) { EXPECT_EQ(s.GetValue("K", ','), ','); }, "K=,"},
      {"string", [](TAppSettings& s) { EXPECT_EQ(s.GetValue("K", "abc"), "abc"); }, "K=abc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TAppSettings settings;
    c.read(settings);
    EXPECT_THAT(settings.Lines(), ElementsAre("AutoSaveSettings=False", c.line));
  }
}

TEST(AppSettings, NamesMatchWithoutCaseAndKeepTheirLine) {
  TAppSettings settings;
  settings.SetValue("LogRootFolder", "/a/");
  settings.SetValue("Other", 1);
  EXPECT_EQ(settings.GetValue("LOGROOTFOLDER", "x"), "/a/");
  settings.SetValue("logrootfolder", "/b/");
  EXPECT_THAT(settings.Lines(), ElementsAre("AutoSaveSettings=False", "LogRootFolder=/b/", "Other=1"));
  EXPECT_TRUE(settings.HasKey("OTHER"));
}

TEST(AppSettings, EmptyValueRemovesTheLine) {
  TAppSettings settings;
  settings.SetValue("A", "1");
  settings.SetValue("B", "2");
  settings.SetValue("a", "");
  settings.SetValue("Absent", "");
  EXPECT_THAT(settings.Lines(), ElementsAre("AutoSaveSettings=False", "B=2"));
  settings.SetValue("B", std::numeric_limits<double>::quiet_NaN());
  EXPECT_FALSE(settings.HasKey("B"));
}

TEST(AppSettings, OnlyTheExactTextTrueIsTrue) {
  for (const char* text : {"true", "TRUE", "1", "yes", " True", "True "}) {
    TAppSettings settings;
    settings.SetValue("Flag", text);
    EXPECT_FALSE(settings.GetValue("Flag", true)) << text;
  }
  TAppSettings settings;
  settings.SetValue("Flag", true);
  EXPECT_EQ(settings.RawValue("Flag"), "True");
  EXPECT_TRUE(settings.GetValue("Flag", false));
}

TEST(AppSettings, DoublesNaNAndInfinity) {
  TAppSettings settings;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  settings.SetValue("Empty", "");
  settings.GetValue("Empty", nan);  // adds "Empty="
  EXPECT_TRUE(std::isnan(settings.GetValue("Empty", 5.0)));  // a present empty value is NaN
  settings.SetValue("Inf", -std::numeric_limits<double>::infinity());
  EXPECT_EQ(settings.RawValue("Inf"), "-INF");
  EXPECT_EQ(settings.GetValue("Inf", 0.0), -std::numeric_limits<double>::infinity());
  settings.SetValue("Big", 1.5E20);
  EXPECT_EQ(settings.RawValue("Big"), "1.5E20");
  EXPECT_EQ(settings.GetValue("Big", 0.0), 1.5E20);
}

TEST(AppSettings, StoredDecimalMarkIsNormalisedToTheFormatSeparator) {
  struct Case {
    char separator;
    const char* stored;
    double expected;  // NaN: raises EConvertError
  };
  const double bad = std::numeric_limits<double>::quiet_NaN();
  const Case cases[] = {
      {',', "10000000.5", 10000000.5}, {',', "10000000,5", 10000000.5}, {'.', "3,25", 3.25},
      {',', "1E-10", 1E-10},           {',', "-2.5E-7", -2.5E-7},      {',', ".5", bad},
      {'.', ",5", bad},                {'.', "abc", bad},              {'.', "1.2.3", bad},
      {'.', " 7.5 ", 7.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(1, c.separator) + " " + c.stored);
    TAppSettings settings;
    settings.SetFormatSettings({c.separator, c.separator == ',' ? '.' : ','});
    settings.SetValue("F", c.stored);
    if (std::isnan(c.expected))
      EXPECT_THROW(settings.GetValue("F", 0.0), EConvertError);
    else
      EXPECT_EQ(settings.GetValue("F", 0.0), c.expected);
  }
}

TEST(AppSettings, DoublesAreWrittenWithTheFormatSeparator) {
  TAppSettings settings;
  settings.SetFormatSettings({',', '.'});
  settings.SetValue("F", 10000000.5);
  EXPECT_EQ(settings.RawValue("F"), "10000000,5");
  EXPECT_EQ(settings.GetValue("F", 0.0), 10000000.5);
}

TEST(AppSettings, MalformedIntegersRaise) {
  for (const char* text : {"12a", "1.5", "+-3", "99999999999", "0x10"}) {
    TAppSettings settings;
    settings.SetValue("I", text);
    EXPECT_THROW(settings.GetValue("I", 0), EConvertError) << text;
  }
  TAppSettings settings;
  settings.SetValue("I", " +42 ");
  EXPECT_EQ(settings.GetValue("I", 0), 42);
  settings.SetValue("U", "-1");
  EXPECT_THROW(settings.GetUValue("U", 0), EConvertError);
  settings.SetUValue("U", 4294967295u);
  EXPECT_EQ(settings.GetUValue("U", 0), 4294967295u);
}

// Checked reads never throw: a stored text that fails gives the default,
// stays as it is, and is named in one problem text per key.
TEST(AppSettings, CheckedReadsGiveTheDefaultAndNameTheKeyOnce) {
  struct Case {
    const char* stored;
    int expected;
    const char* problem;  // empty: none
  };
  const Case cases[] = {
      {" +42 ", 42, ""},
      {"-7", -7, ""},
      {"12a", 5, "Settings value I=12a is not a number; the default 5 is used"},
      {"", 5, "Settings value I is empty; the default 5 is used"},
      {"99999999999999999999", 5, "Settings value I=99999999999999999999 is far too large; the default 5 is used"},
      {"101", 5, "Settings value I=101 is outside -100..100; the default 5 is used"},
      {"+-3", 5, "is not a number"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    TAppSettings settings;
    settings.KeepValue("I", c.stored);
    EXPECT_EQ(settings.ReadInteger("I", 5, -100, 100), c.expected);
    EXPECT_EQ(settings.ReadInteger("i", 5, -100, 100), c.expected);  // names match without case: said once
    EXPECT_EQ(settings.StoredInteger("I", -100, 100), c.expected == 5 ? std::nullopt : std::optional<int64_t>(c.expected));
    EXPECT_EQ(settings.RawValue("I"), c.stored);
    const std::vector<std::string> problems = settings.TakeProblems();
    if (*c.problem == '\0') {
      EXPECT_THAT(problems, IsEmpty());
    } else {
      ASSERT_THAT(problems, SizeIs(1));
      EXPECT_THAT(problems[0], HasSubstr(c.problem));
    }
    EXPECT_THAT(settings.TakeProblems(), IsEmpty());
  }
  TAppSettings settings;
  EXPECT_EQ(settings.ReadInt64("Missing", 4294967295, 0, 4294967295), 4294967295);
  EXPECT_EQ(settings.RawValue("Missing"), "4294967295");  // added like GetValue
  EXPECT_EQ(settings.StoredInteger("Absent", 0, 1), std::nullopt);
  EXPECT_FALSE(settings.HasKey("Absent"));
  settings.SetValue("D", "1,5x");
  EXPECT_EQ(settings.ReadDouble("D", 2.5), 2.5);
  settings.KeepValue("E", "");
  EXPECT_TRUE(std::isnan(settings.ReadDouble("E", 2.5)));
  EXPECT_THAT(settings.TakeProblems(), ElementsAre("Settings value D=1,5x is not a number; the default 2.5 is used"));
  // A screen of garbage is shown cut.
  settings.SetValue("G", std::string(500, 'g'));
  settings.ReadInteger("G", 0);
  EXPECT_LT(settings.TakeProblems().at(0).size(), 120u);
}

// The stored records of a counted kind: those the count names, or every
// stored one when the count is missing or damaged.
TEST(AppSettings, RecordNumbersFollowTheCountUnlessItIsDamaged) {
  TAppSettings settings;
  for (const char* name : {"R_1_A", "R_1_B", "R_3_A", "R_12_A", "R_x_A", "R_-1_A", "R__A", "Rest", "R_4"})
    settings.SetValue(name, "v");
  EXPECT_THAT(settings.StoredNumbers("R_"), ElementsAre(1, 3, 12));
  EXPECT_THAT(settings.RecordNumbers("Count", "R_", 1, 100), ElementsAre(1, 3, 12));  // missing count: said
  EXPECT_THAT(settings.TakeProblems(), ElementsAre("Settings value Count is missing; the 3 stored records are read"));
  settings.SetValue("Count", 3);
  EXPECT_THAT(settings.RecordNumbers("Count", "R_", 1, 100), ElementsAre(1, 3));
  EXPECT_THAT(settings.RecordNumbers("Count", "R_", 0, 100), ElementsAre(1));  // numbers 0..2
  settings.SetValue("Count", 0);
  EXPECT_THAT(settings.RecordNumbers("Count", "R_", 1, 100), IsEmpty());
  settings.SetValue("Count2", "abc");
  EXPECT_THAT(settings.RecordNumbers("Count2", "R_", 1, 10), ElementsAre(1, 3));  // above the bound: not read
  EXPECT_THAT(settings.TakeProblems(), ElementsAre("Settings value Count2=abc is not a number; the 2 stored records are read"));
  TAppSettings empty;
  EXPECT_THAT(empty.RecordNumbers("Count", "R_", 1, 100), IsEmpty());
  EXPECT_THAT(empty.TakeProblems(), IsEmpty());
}

TEST(AppSettings, CharKeysTakeTheFirstCharacterAndDefaultWhenEmpty) {
  TAppSettings settings;
  settings.SetValue("C", ',');
  EXPECT_EQ(settings.RawValue("C"), ",");
  EXPECT_EQ(settings.GetValue("C", '.'), ',');
  settings.GetValue("Empty", std::numeric_limits<double>::quiet_NaN());  // "Empty="
  EXPECT_EQ(settings.GetValue("Empty", '.'), '.');
}

TEST(AppSettings, RemoveKeysIsACaseSensitivePrefixTest) {
  TAppSettings settings;
  for (const char* name : {"View_1_Id", "ViewMessage_Top", "View_12_Id", "view_2_Id", "ChildCount"})
    settings.SetValue(name, "1");
  EXPECT_TRUE(settings.TestKeys("View_"));
  settings.RemoveKeys("View_");
  EXPECT_THAT(settings.Lines(),
              ElementsAre("AutoSaveSettings=False", "ViewMessage_Top=1", "view_2_Id=1", "ChildCount=1"));
  EXPECT_FALSE(settings.TestKeys("View_"));
  EXPECT_TRUE(settings.TestKeys("ViewMessage_"));
}

TEST(AppSettings, VersionIsOnlyRaisedAndReadingReReadsTheKey) {
  TTempFolder folder;
  TAppSettings settings;
  settings.SetVersionFormat(3);
  settings.SetVersionFormat(2);
  ASSERT_TRUE(settings.SaveSettings(folder.File("a.ini")));
  EXPECT_EQ(settings.RawValue("INI_Version"), "3");
  settings.SetValue("INI_Version", 1);
  EXPECT_EQ(settings.VersionFormat(), 1);
}

TEST(AppSettings, ControlCharactersCannotSplitALine) {
  TTempFolder folder;
  TAppSettings settings;
  settings.SetValue("Folder", std::string("a\r\nInjected=1") + '\0' + "b");
  ASSERT_TRUE(settings.SaveSettings(folder.File("a.ini")));
  TAppSettings read;
  ASSERT_TRUE(read.LoadFromFile(folder.File("a.ini")));
  EXPECT_FALSE(read.HasKey("Injected"));
  EXPECT_EQ(read.RawValue("Folder"), "a  Injected=1 b");
  EXPECT_THAT(read.Problems(), IsEmpty());
}

// ---- files --------------------------------------------------------------------

TEST(AppSettingsFile, RoundTripKeepsLinesAndWritesCrLf) {
  TTempFolder folder;
  const std::string path = folder.File("a.ini");
  WriteText(path, "A=1\r\nB=x=y\nC=\rD=4");  // CR LF, LF and a lone CR all end a line
  TAppSettings settings;
  ASSERT_TRUE(settings.LoadFromFile(path));
  EXPECT_TRUE(settings.ValuesLoaded());
  EXPECT_EQ(settings.RawValue("B"), "x=y");
  EXPECT_EQ(settings.RawValue("C"), "");
  ASSERT_TRUE(settings.SaveSettings());
  EXPECT_EQ(ReadFile(path), "A=1\r\nB=x=y\r\nC=\r\nD=4\r\nAutoSaveSettings=False\r\nINI_Version=0\r\n");
}

TEST(AppSettingsFile, ByteOrderMarkIsKeptOnlyWhenRead) {
  TTempFolder folder;
  const std::string bom = "\xEF\xBB\xBF";
  for (const bool withBom : {true, false}) {
    const std::string path = folder.File(withBom ? "bom.ini" : "plain.ini");
    WriteText(path, (withBom ? bom : "") + "Name=Gr\xC3\xBC\xC3\x9F" + "e\r\n");
    TAppSettings settings;
    ASSERT_TRUE(settings.LoadFromFile(path));
    EXPECT_EQ(settings.RawValue("Name"), "Gr\xC3\xBC\xC3\x9F" "e");  // the mark is no part of the first name
    ASSERT_TRUE(settings.SaveSettings());
    EXPECT_EQ(ReadFile(path).starts_with(bom), withBom);
  }
}

TEST(AppSettingsFile, MissingOrEmptyFileStartsEmptyWithoutProblem) {
  TTempFolder folder;
  const std::string missing = folder.File("sub/dir/new.ini");
  TAppSettings settings;
  ASSERT_TRUE(settings.LoadFromFile(missing));
  EXPECT_TRUE(fs::exists(missing));  // created empty, with its folders
  EXPECT_EQ(FileMode(missing), 0600u);
  EXPECT_FALSE(settings.ValuesLoaded());
  EXPECT_THAT(settings.Problems(), IsEmpty());
  EXPECT_THAT(settings.Lines(), ElementsAre("AutoSaveSettings=False"));

  const std::string empty = folder.File("empty.ini");
  WriteText(empty, "");
  ASSERT_TRUE(settings.LoadFromFile(empty));
  EXPECT_FALSE(settings.ValuesLoaded());
  EXPECT_THAT(settings.Problems(), IsEmpty());
}

TEST(AppSettingsFile, BadLinesAreDroppedAndCountedTheRestStays) {
  struct Case {
    const char* what;
    std::string content;
    std::size_t dropped;
  };
  const std::vector<Case> cases = {
      {"no equals sign", "Keep=1\r\njust text\r\nOther=2\r\n", 1},
      {"empty name", "Keep=1\r\n=value\r\nOther=2\r\n", 1},
      {"NUL bytes", std::string("Keep=1\r\nBad=a") + '\0' + "b\r\nOther=2\r\n", 1},
      {"binary bytes", "Keep=1\r\n\x01\x02\xFF=\x7F\x1B\r\nOther=2\r\n", 1},
      {"enormous line", "Keep=1\r\nHuge=" + std::string(TAppSettings::kMaxLineLength, 'x') + "\r\nOther=2", 1},
      {"truncated last line", "Keep=1\r\nOther=2\r\nLogRootFol", 1},
      {"several", "Keep=1\r\nx\r\ny\r\n\r\n\r\nOther=2\r\nz", 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TTempFolder folder;
    const std::string path = folder.File("a.ini");
    WriteText(path, c.content);
    TAppSettings settings;
    ASSERT_TRUE(settings.LoadFromFile(path));
    EXPECT_EQ(settings.RawValue("Keep"), "1");
    EXPECT_EQ(settings.RawValue("Other"), "2");
    ASSERT_THAT(settings.Problems(), SizeIs(1));
    EXPECT_THAT(settings.Problems()[0], HasSubstr(std::to_string(c.dropped) + " line"));
    EXPECT_THAT(settings.Problems()[0], HasSubstr(path));
  }
}

TEST(AppSettingsFile, FolderThatCannotBeWrittenGivesOneError) {
  TTempFolder folder;
  WriteText(folder.File("plainfile"), "x");
  const std::string path = folder.File("plainfile/ZEP_App.ini");  // a file where a folder should be
  TAppSettings settings;
  EXPECT_FALSE(settings.LoadFromFile(path));
  EXPECT_THAT(settings.LoadError(), HasSubstr(path));
  EXPECT_THAT(settings.Problems(), ElementsAre(settings.LoadError()));
  EXPECT_THAT(settings.Lines(), ElementsAre("AutoSaveSettings=False"));
  EXPECT_FALSE(settings.SaveSettings());
  EXPECT_THAT(settings.SaveError(), HasSubstr("Settings not saved to " + path));
}

TEST(AppSettingsFile, FileThatCannotBeReadIsNeverOverwritten) {
  TTempFolder folder;
  const std::string path = folder.File("a.ini");
  fs::create_directory(path);  // exists, but is no file
  TAppSettings settings;
  EXPECT_FALSE(settings.LoadFromFile(path));
  EXPECT_THAT(settings.LoadError(), HasSubstr("not a regular file"));
  EXPECT_FALSE(settings.SaveSettings());
  EXPECT_TRUE(fs::is_directory(path));
  EXPECT_TRUE(settings.SaveSettings(folder.File("b.ini")));  // an explicit new name is written
}

TEST(AppSettingsFile, OversizedFileIsNotReadNorOverwritten) {
  TTempFolder folder;
  const std::string path = folder.File("a.ini");
  WriteText(path, "Keep=1\r\n");
  fs::resize_file(path, TAppSettings::kMaxFileSize + 1);
  TAppSettings settings;
  EXPECT_FALSE(settings.LoadFromFile(path));
  EXPECT_THAT(settings.LoadError(), HasSubstr("larger than"));
  EXPECT_FALSE(settings.SaveSettings());
  EXPECT_EQ(fs::file_size(path), TAppSettings::kMaxFileSize + 1);
}

TEST(AppSettingsFile, SaveWritesOwnerOnlyAndLeavesNoTemporaryFile) {
  TTempFolder folder;
  const std::string path = folder.File("a.ini");
  WriteText(path, "Pass=secret\r\n");
  ::chmod(path.c_str(), 0644);
  TAppSettings settings;
  ASSERT_TRUE(settings.LoadFromFile(path));
  ASSERT_TRUE(settings.SaveSettings());
  EXPECT_EQ(FileMode(path), 0600u);
  EXPECT_THAT(OtherFiles(folder, "a.ini"), IsEmpty());
}

TEST(AppSettingsFile, FailedWriteLeavesTheOldFile) {
  TTempFolder folder;
  const std::string path = folder.File("a.ini");
  const std::string old = "Keep=1\r\n";
  WriteText(path, old);
  TAppSettings settings;
  ASSERT_TRUE(settings.LoadFromFile(path));
  settings.SetValue("Long", std::string(4096, 'v'));

  // Files may grow to a few bytes only, so writing the new content fails.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 100;
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool saveResult = settings.SaveSettings();
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_FALSE(saveResult);
  EXPECT_THAT(settings.SaveError(), HasSubstr("could not be written"));
  EXPECT_EQ(ReadFile(path), old);
  EXPECT_THAT(OtherFiles(folder, "a.ini"), IsEmpty());
}

TEST(AppSettingsFile, AutoSaveWritesEveryChangeButNotAnUnchangedValue) {
  TTempFolder folder;
  const std::string path = folder.File("a.ini");
  TAppSettings settings;
  ASSERT_TRUE(settings.LoadFromFile(path));
  settings.SetAutoSaveSettings(true);
  EXPECT_THAT(ReadFile(path), HasSubstr("AutoSaveSettings=True\r\n"));
  settings.SetValue("A", 1);
  EXPECT_THAT(ReadFile(path), HasSubstr("A=1\r\n"));

  WriteText(path, "marker");
  settings.SetValue("a", 1);  // same text: nothing happens
  EXPECT_EQ(ReadFile(path), "marker");
}

// A kept line keeps an empty value, which a set value would remove.
TEST(AppSettingsFile, KeptEmptyValueIsWrittenBack) {
  TTempFolder folder;
  const std::string path = folder.File("a.ini");
  TAppSettings settings;
  ASSERT_TRUE(settings.LoadFromFile(path));
  settings.KeepValue("Session_1_OpenString", "");
  ASSERT_TRUE(settings.SaveSettings());
  EXPECT_THAT(ReadFile(path), HasSubstr("Session_1_OpenString=\r\n"));
}

// Saving changes only writes a file whose content differs from what was
// read or written last.
TEST(AppSettingsFile, SaveIfChangedWritesOnlyChanges) {
  TTempFolder folder;
  const std::string path = folder.File("a.ini");
  WriteText(path, "INI_Version=0\r\nA=1\r\n");
  TAppSettings settings;
  ASSERT_TRUE(settings.LoadFromFile(path));  // adds "AutoSaveSettings": a change
  ASSERT_TRUE(settings.SaveIfChanged());
  EXPECT_EQ(ReadFile(path), "INI_Version=0\r\nA=1\r\nAutoSaveSettings=False\r\n");
  WriteText(path, "marker");  // the file as this store knows it is unchanged
  settings.SetValue("A", 1);
  ASSERT_TRUE(settings.SaveIfChanged());
  EXPECT_EQ(ReadFile(path), "marker");
  settings.SetValue("A", 2);
  ASSERT_TRUE(settings.SaveIfChanged());
  EXPECT_EQ(ReadFile(path), "INI_Version=0\r\nA=2\r\nAutoSaveSettings=False\r\n");
  WriteText(path, "marker");
  ASSERT_TRUE(settings.SaveIfChanged());
  EXPECT_EQ(ReadFile(path), "marker");
}

TEST(AppSettingsFile, LoadingReadsTheAutoSaveFlag) {
  TTempFolder folder;
  const std::string path = folder.File("a.ini");
  WriteText(path, "AutoSaveSettings=True\r\n");
  TAppSettings settings;
  ASSERT_TRUE(settings.LoadFromFile(path));
  EXPECT_TRUE(settings.AutoSaveSettings());
  settings.SetValue("B", "2");
  EXPECT_THAT(ReadFile(path), HasSubstr("B=2\r\n"));
}

}  // namespace
