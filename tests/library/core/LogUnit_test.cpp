#include "library/core/LogUnit.h"

#include "support/FileText.h"
#include "support/TempFolder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Wall = TVQ_Clock::Wall;

// Names of the files in a folder, sorted.
std::vector<std::string> FileNames(const fs::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// Lines without their CR LF; a stray LF would show up inside a line.
std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

// Everything logged so far (queued lines are written first).
std::vector<std::string> ReadLines(const std::string& path) { return SplitLines(ReadFile(path)); }

// What the file holds now, queued lines not included.
std::vector<std::string> LinesOnDisk(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return SplitLines(text.str());
}

std::string Body(const std::string& line) { return line.size() < 22 ? std::string() : line.substr(22); }

std::vector<std::string> Bodies(const std::vector<std::string>& lines) {
  std::vector<std::string> bodies;
  for (const std::string& line : lines) bodies.push_back(Body(line));
  return bodies;
}

bool ContainsLine(const std::vector<std::string>& lines, const std::string& bodyStart) {
  return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return Body(l).starts_with(bodyStart); });
}

// Local time laid out by strftime, to check the logger's texts against an
// independent formatter.
std::string LocalText(Wall::time_point t, const char* format) {
  const std::time_t seconds = Wall::to_time_t(t);
  std::tm tm{};
  localtime_r(&seconds, &tm);
  char text[64];
  std::strftime(text, sizeof text, format, &tm);
  return text;
}

std::string ThreadColumn() {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(::gettid()));
  return text;
}

// 2024-08-09 12:00:00.250 UTC
const Wall::time_point kStart = Wall::time_point{} + 1723204800s + 250ms;

// Every layout below holds for a logger that writes each line at once and
// for one whose lines a background writer writes.
enum class TWriting { AtOnce, Background };

class LoggerTest : public ::testing::TestWithParam<TWriting> {
 protected:
  static TLogWriter* Writer() { return GetParam() == TWriting::Background ? &DefaultLogWriter() : nullptr; }
  TTempFolder FFolder;
  TVQ_ManualClock FClock{kStart};
};

INSTANTIATE_TEST_SUITE_P(Writing, LoggerTest, ::testing::Values(TWriting::AtOnce, TWriting::Background),
                         [](const ::testing::TestParamInfo<TWriting>& info) {
                           return info.param == TWriting::AtOnce ? "AtOnce" : "Background";
                         });

// ---- functions by number --------------------------------------------------------

TEST(LogByNumberTest, UnknownNumbersDoNothing) {
  TTempFolder folder;
  const std::string path = folder.File("never.txt");
  const int existing = NewLog();
  ASSERT_GE(existing, 0);
  for (const int id : {-1, -1000, existing + 100000, std::numeric_limits<int>::max()}) {
    SCOPED_TRACE(id);
    SetLogFile(id, path, true);
    SetLogLimit(id, TLogLimitType::logOverwrite, 100);
    SetLogHeaderLines(id, {"header"});
    SetLogSaveEnabled(id, true);
    SetLogSavePath(id, folder.File("dumps"));
    LogInfo(id, "info");
    LogWarn(id, "warn");
    LogError(id, "error");
    LogException(id, "exception", std::runtime_error("boom"));
    LogAppend(id, "piece");
    LogNewLine(id);
    EXPECT_FALSE(LogWanted(id));
    EXPECT_FALSE(LogEnabled(id));
    EXPECT_EQ(GetLogFileName(id), "");
    EXPECT_EQ(GetLogError(id), "");
    EXPECT_TRUE(GetLogHeaderLines(id).empty());
    EXPECT_EQ(FindLogger(id), nullptr);
  }
  EXPECT_TRUE(FileNames(folder.Path()).empty());
}

TEST(LogByNumberTest, LinesReachTheFileOfTheirNumber) {
  TTempFolder folder;
  const int id = NewLog();
  const int other = NewLog();
  ASSERT_GE(id, 0);
  EXPECT_EQ(other, id + 1);
  ASSERT_NE(FindLogger(id), nullptr);
  EXPECT_EQ(FindLogger(id)->Id(), id);
  EXPECT_FALSE(LogWanted(id));

  SetLogHeaderLines(id, {"Device: simulated"});
  const std::string path = folder.File("main.txt");
  SetLogFile(id, path, false);
  EXPECT_TRUE(LogEnabled(id));
  EXPECT_TRUE(LogWanted(id));
  EXPECT_FALSE(LogWanted(other));
  EXPECT_EQ(GetLogFileName(id), path);
  LogInfo(id, "info");
  LogWarn(id, "warn");
  LogError(id, "error");
  LogInfo(other, "elsewhere");
  SetLogFile(id, "", false);
  EXPECT_FALSE(LogWanted(id));

  const auto lines = ReadLines(path);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_EQ(Body(lines[2]), "Device: simulated");
  EXPECT_EQ(Body(lines[3]), "info");
  EXPECT_EQ(Body(lines[4]), "WARN:  warn");
  EXPECT_EQ(Body(lines[5]), "ERROR: error");
  EXPECT_THAT(Body(lines[6]), StartsWith("Log file closed, "));
}

TEST(LogByNumberTest, HeaderLinesAreHandedOutAsACopy) {
  const int id = NewLog();
  SetLogHeaderLines(id, {"one"});
  TLogHeaderLines lines = GetLogHeaderLines(id);
  lines.push_back("two");
  EXPECT_EQ(GetLogHeaderLines(id), TLogHeaderLines{"one"});
  SetLogHeaderLines(id, lines);
  EXPECT_EQ(GetLogHeaderLines(id), (TLogHeaderLines{"one", "two"}));
}

// Read right after the call, without any flush: an error line is on disk with
// everything logged before it; FlushLogs puts the rest there.
TEST(LogByNumberTest, ErrorLinesAndFlushLogsPutQueuedLinesOnDisk) {
  TTempFolder folder;
  const int id = NewLog();
  ASSERT_GE(id, 0);
  const std::string path = folder.File("flushed.txt");
  SetLogFile(id, path, false);
  LogInfo(id, "info");
  LogError(id, "error");
  std::vector<std::string> expected{"info", "ERROR: error"};
  auto bodies = Bodies(LinesOnDisk(path));
  ASSERT_EQ(bodies.size(), 2 + expected.size());
  EXPECT_EQ(std::vector(bodies.begin() + 2, bodies.end()), expected);

  for (int i = 0; i < 20; ++i) {
    expected.push_back("after " + std::to_string(i));
    LogInfo(id, expected.back());
  }
  FlushLogs();
  bodies = Bodies(LinesOnDisk(path));
  ASSERT_EQ(bodies.size(), 2 + expected.size());
  EXPECT_EQ(std::vector(bodies.begin() + 2, bodies.end()), expected);
  SetLogFile(id, "", false);
}

// ---- lines ------------------------------------------------------------------------

TEST_P(LoggerTest, PrefixShowsTimeAndThreadOnlyWhenTheyChange) {
  struct TStep {
    const char* text;
    std::chrono::microseconds advance;
    bool otherThread;
    bool timeShown;
    bool threadShown;
  };
  const TStep steps[] = {
      {"next millisecond, same thread", 1000us, false, true, false},
      {"same millisecond, same thread", 0us, false, false, false},
      {"later within the millisecond", 400us, false, false, false},
      {"other thread", 0us, true, false, true},
      {"back on the first thread", 0us, false, false, true},
      {"new millisecond", 700us, false, true, false},
  };
  TLogger log(1, FClock, Writer());
  const std::string path = FFolder.File("prefix.txt");
  log.SetLogFileName(path);
  for (const TStep& step : steps) {
    FClock.Advance(step.advance);
    if (step.otherThread)
      std::thread([&] { log.LogIt(step.text); }).join();
    else
      log.LogIt(step.text);
  }
  log.SetLogFileName("");

  const auto lines = ReadLines(path);
  ASSERT_EQ(lines.size(), 2 + std::size(steps) + 1);
  EXPECT_EQ(lines[0].substr(0, 22), LocalText(kStart, "%H:%M:%S") + ".250 " + ThreadColumn() + " ");
  auto time = kStart;
  for (std::size_t i = 0; i < std::size(steps); ++i) {
    const TStep& step = steps[i];
    SCOPED_TRACE(step.text);
    time += step.advance;
    const std::string& line = lines[2 + i];
    const auto ms = std::chrono::floor<std::chrono::milliseconds>(time.time_since_epoch()).count() % 1000;
    char msText[8];
    std::snprintf(msText, sizeof msText, ".%03d", static_cast<int>(ms));
    EXPECT_EQ(line.substr(0, 12), step.timeShown ? LocalText(time, "%H:%M:%S") + msText : std::string(12, ' '));
    EXPECT_EQ(line[12], ' ');
    if (step.threadShown)
      EXPECT_THAT(line.substr(13, 8), ::testing::MatchesRegex("[0-9A-F]{8}"));
    else
      EXPECT_EQ(line.substr(13, 8), std::string(8, ' '));
    EXPECT_EQ(line[21], ' ');
    EXPECT_EQ(Body(line), step.text);
  }
}

TEST_P(LoggerTest, AppendedPiecesShareOneLine) {
  TLogger log(2, FClock, Writer());
  log.LogAppend("dropped: no file");
  const std::string path = FFolder.File("append.txt");
  log.SetLogFileName(path);
  FClock.Advance(5ms);
  log.LogAppend("A1");
  log.LogAppend(" B2");
  log.LogNewLine();
  log.LogNewLine();  // nothing to end
  log.LogAppend("C3");
  log.LogIt("line");  // ends the open line first
  log.SetLogFileName("");

  const auto lines = ReadLines(path);
  ASSERT_EQ(lines.size(), 6u);
  EXPECT_EQ(Body(lines[2]), "A1 B2");
  EXPECT_NE(lines[2].substr(0, 12), std::string(12, ' '));
  EXPECT_EQ(lines[3], std::string(22, ' ') + "C3");
  EXPECT_EQ(lines[4], std::string(22, ' ') + "line");
}

// A batch reads the clock once: lines that cross a millisecond while they are
// logged still show one time, as lines of the same millisecond do.
TEST_P(LoggerTest, LinesLoggedTogetherAreTheLinesLoggedOneByOne) {
  TLogger log(2, FClock, Writer());
  const std::string path = FFolder.File("batch.txt");
  log.SetLogFileName(path);
  FClock.Advance(5ms);
  log.LogLines("first\n\nthird\n");
  log.LogLines("");
  FClock.Advance(5ms);
  log.LogLines("alone");
  log.SetLogFileName("");

  const auto lines = ReadLines(path);
  ASSERT_EQ(lines.size(), 7u);
  EXPECT_NE(lines[2].substr(0, 12), std::string(12, ' '));
  EXPECT_EQ(Body(lines[2]), "first");
  EXPECT_EQ(lines[3], std::string(22, ' '));
  EXPECT_EQ(lines[4], std::string(22, ' ') + "third");
  EXPECT_NE(lines[5].substr(0, 12), std::string(12, ' '));
  EXPECT_EQ(Body(lines[5]), "alone");
}

// ---- opening and closing -------------------------------------------------------

TEST_P(LoggerTest, OpenedFileStartsWithItsHeader) {
  TLogger log(7, FClock, Writer());
  log.SetHeaderLines({"Connection: DemoData", "Serial: 1234"});
  log.SetErrorLog(true);
  log.SetLimit(TLogLimitType::logOverwrite, 5000);
  const std::string path = FFolder.File("header.txt");
  log.SetLogFileName(path);
  EXPECT_TRUE(log.GetLogEnabled());
  EXPECT_TRUE(log.KeepsLines());
  EXPECT_EQ(log.ErrorMsg(), "");

  const auto lines = ReadLines(path);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(Body(lines[0]), LocalText(kStart, "%Y-%m-%d %H:%M:%S") + " Log file opened: " + path);
  EXPECT_EQ(Body(lines[1]), "ID=7, SizeLimit=5000, Type=logOverwrite, errorLog=True");
  EXPECT_EQ(lines[2], std::string(22, ' ') + "Connection: DemoData");
  EXPECT_EQ(Body(lines[3]), "Serial: 1234");
  log.SetLogFileName("");
}

TEST_P(LoggerTest, FailedOpenLeavesTheLogClosedAndOtherFilesIntact) {
  TLogger holder(1, FClock, Writer());
  const std::string held = FFolder.File("held.txt");
  holder.SetLogFileName(held);
  holder.LogIt("holder's line");

  const std::string missingFolder = FFolder.File("no/such/folder.txt");
  for (const std::string& name : {held, missingFolder}) {
    SCOPED_TRACE(name);
    TLogger log(2, FClock, Writer());
    log.SetLogFileName(name);
    EXPECT_FALSE(log.GetLogEnabled());
    EXPECT_FALSE(log.KeepsLines());
    EXPECT_EQ(log.ErrorMsg(), "Logfile not created: " + name);
    EXPECT_EQ(log.LogFileName(), "");
    EXPECT_EQ(log.InternLogFileName(), "");
  }
  EXPECT_TRUE(ContainsLine(ReadLines(held), "holder's line"));

  // Once the other writer is gone the same name opens.
  holder.SetLogFileName("");
  TLogger log(2, FClock, Writer());
  log.SetLogFileName(held);
  EXPECT_TRUE(log.GetLogEnabled());
  log.SetLogFileName("");
}

TEST_P(LoggerTest, SetLimitFillsInTheSize) {
  struct TCase {
    TLogLimitType type;
    uint32_t size;
    uint32_t stored;
  };
  const TCase cases[] = {
      {TLogLimitType::logCreateNew, 0, 20971520},
      {TLogLimitType::logOverwrite, 0, 20971520},
      {TLogLimitType::logOverwrite, 1000, 1000},
      {TLogLimitType::logUnlimited, 5000, 0},
  };
  for (const TCase& c : cases) {
    TLogger log(1, FClock, Writer());
    log.SetLimit(c.type, c.size);
    EXPECT_EQ(log.LimitType(), c.type);
    EXPECT_EQ(log.SizeLimit(), c.stored) << LogLimitTypeText(c.type) << " " << c.size;
  }
}

TEST_P(LoggerTest, SameNameReopensOnlyAfterALimitChange) {
  TLogger log(1, FClock, Writer());
  const std::string path = FFolder.File("limits.txt");
  log.SetLogFileName(path);
  log.LogIt("kept");
  log.SetLimit(TLogLimitType::logUnlimited, 123);  // no change
  log.SetLogFileName(path);
  EXPECT_TRUE(ContainsLine(ReadLines(path), "kept"));

  log.SetLimit(TLogLimitType::logOverwrite, 4096);
  EXPECT_TRUE(ContainsLine(ReadLines(path), "kept"));  // takes effect at the next open
  log.SetLogFileName(path);
  const auto lines = ReadLines(path);
  EXPECT_FALSE(ContainsLine(lines, "kept"));
  EXPECT_EQ(Body(lines[1]), "ID=1, SizeLimit=4096, Type=logOverwrite, errorLog=False");
  log.SetLogFileName("");
}

TEST_P(LoggerTest, SwitchingOffDeletesFilesNotWorthKeeping) {
  struct TCase {
    const char* name;
    bool errorLog;
    bool infoLine;
    bool errorLine;
    bool kept;
  };
  const TCase cases[] = {
      {"error log without lines", true, false, false, false},
      {"error log with an info line", true, true, false, false},
      {"error log with an error line", true, false, true, true},
      {"plain log with its header only", false, false, false, false},
      {"plain log with a line", false, true, false, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TLogger log(1, FClock, Writer());
    log.SetErrorLog(c.errorLog);
    const std::string path = FFolder.File("off.txt");
    log.SetLogFileName(path);
    if (c.infoLine) log.LogIt("info");
    if (c.errorLine) log.LogError("failure");
    log.SetLogFileName("");
    EXPECT_EQ(fs::exists(path), c.kept);
    fs::remove(path);
  }
}

TEST_P(LoggerTest, WriteErrorClosesTheLogSilently) {
  TLogger log(1, FClock, Writer());
  const std::string path = FFolder.File("full.txt");
  log.SetLogFileName(path);
  log.LogIt("before");

  // Let the file grow by a few bytes only, so the next line fails to write.
  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = static_cast<rlim_t>(fs::file_size(path) + 5);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  log.LogIt("a line longer than the few bytes left");
  log.Flush();  // on disk now, while the limit holds
  ::setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldHandler);

  EXPECT_FALSE(log.GetLogEnabled());
  EXPECT_FALSE(log.KeepsLines());
  log.LogIt("after");
  EXPECT_THAT(ReadFile(path), ::testing::Not(HasSubstr("after")));

  log.SetLogFileName(path);  // the same name opens again
  EXPECT_TRUE(log.GetLogEnabled());
  log.SetLogFileName("");
}

// ---- limits ------------------------------------------------------------------------

TEST_P(LoggerTest, OverwriteWrapsAtTheLimitAndKeepsTheFileSize) {
  constexpr uint32_t kLimit = 1000;
  TLogger log(1, FClock, Writer());
  log.SetLimit(TLogLimitType::logOverwrite, kLimit);
  const std::string path = FFolder.File("ring.txt");
  log.SetLogFileName(path);
  uintmax_t largest = 0;
  for (int i = 0; i < 80; ++i) {
    FClock.Advance(1ms);
    log.LogIt("measurement line " + std::to_string(i));
    log.Flush();
    const uintmax_t size = fs::file_size(path);
    EXPECT_GE(size, largest) << "line " << i;
    largest = std::max(largest, size);
  }
  // At most the limit, the line that crossed it and the limit line.
  EXPECT_GT(largest, kLimit);
  EXPECT_LT(largest, kLimit + 150);
  const auto lines = ReadLines(path);
  EXPECT_THAT(Body(lines[0]), StartsWith("Log file overwritten: " + path + ", "));
  EXPECT_NE(lines[0].substr(0, 12), std::string(12, ' '));
  EXPECT_TRUE(ContainsLine(lines, "LogSizeLimit (1000) reached "));

  log.SetLogFileName("");
  const std::string text = ReadFile(path);
  const std::string stars(57, '*');
  EXPECT_THAT(text, HasSubstr("measurement line 79\r\n\r\n" + stars + "\r\n" + stars + "\r\n"));
  EXPECT_THAT(text, HasSubstr("Log file closed, "));
}

// Error logs (other than overwriting ones) start a new file after half an hour.
TEST_P(LoggerTest, TimeLimitAppliesToErrorLogsThatDoNotOverwrite) {
  struct TCase {
    TLogLimitType type;
    bool errorLog;
    bool rotates;
  };
  const TCase cases[] = {
      {TLogLimitType::logUnlimited, true, true},
      {TLogLimitType::logCreateNew, true, true},
      {TLogLimitType::logOverwrite, true, false},
      {TLogLimitType::logUnlimited, false, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(LogLimitTypeText(c.type) + (c.errorLog ? " error log" : " plain log"));
    TTempFolder folder;
    TLogger log(1, FClock, Writer());
    log.SetLimit(c.type, 0);
    log.SetErrorLog(c.errorLog);
    log.SetLogFileName(folder.File("timed.txt"));
    const std::string first = log.InternLogFileName();
    FClock.Advance(30min);
    log.LogError("at half an hour");
    EXPECT_EQ(log.InternLogFileName(), first);
    FClock.Advance(1ms);
    log.LogIt("past half an hour");
    EXPECT_EQ(log.InternLogFileName() != first, c.rotates);
    EXPECT_EQ(ContainsLine(ReadLines(first), "LogTimeLimit (half an hour) reached "), c.rotates);
    log.SetLogFileName("");
  }
}

// Reopening "the same name" would empty the file just announced as kept.
TEST_P(LoggerTest, RotatedErrorLogContinuesInAFileOfItsOwn) {
  TLogger log(1, FClock, Writer());
  log.SetErrorLog(true);
  const std::string path = FFolder.File("err.txt");
  log.SetLogFileName(path);
  log.LogError("first file's error");
  FClock.Advance(31min);
  log.LogIt("rotates after this line");

  const std::string next = FFolder.File("err_1.txt");
  EXPECT_EQ(log.InternLogFileName(), next);
  EXPECT_EQ(log.LogFileName(), path);
  const auto firstLines = ReadLines(path);
  EXPECT_TRUE(ContainsLine(firstLines, "ERROR: first file's error"));
  EXPECT_TRUE(ContainsLine(firstLines, "Continue in next Log file: " + next));
  const auto nextLines = ReadLines(next);
  ASSERT_FALSE(nextLines.empty());
  EXPECT_THAT(Body(nextLines[0]), HasSubstr(" Log file opened: " + next));
  log.SetLogFileName("");
}

TEST_P(LoggerTest, RotationKeepsThePreviousFileOnlyAroundAnError) {
  struct TCase {
    const char* name;
    bool errorInFirst;
    bool errorInSecond;
    const char* previousLine;  // "%" stands for the previous file's path
    const char* thirdFile;
    std::vector<std::string> leftAfterSwitchOff;
  };
  const TCase cases[] = {
      {"no error", false, false, "Previous logfile deleted: %", "err.txt", {}},
      {"error in the first file", true, false,
       "keep Previous logfile: % ErrorOccurred: actual=False Previous=True", "err_2.txt", {"err.txt"}},
      {"error in the second file", false, true,
       "keep Previous logfile: % ErrorOccurred: actual=True Previous=False", "err_2.txt",
       {"err.txt", "err_1.txt"}},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TTempFolder folder;
    TLogger log(1, FClock, Writer());
    log.SetErrorLog(true);
    const auto lineInFile = [&](bool error) { error ? log.LogError("failure") : log.LogIt("fine"); };
    log.SetLogFileName(folder.File("err.txt"));
    lineInFile(c.errorInFirst);
    FClock.Advance(31min);
    log.LogIt("tick");
    EXPECT_EQ(log.InternLogFileName(), folder.File("err_1.txt"));
    lineInFile(c.errorInSecond);
    FClock.Advance(31min);
    log.LogIt("tick");

    const auto secondLines = ReadLines(folder.File("err_1.txt"));
    std::string previousLine = c.previousLine;
    previousLine.replace(previousLine.find('%'), 1, folder.File("err.txt"));
    EXPECT_TRUE(ContainsLine(secondLines, "Continue in next Log file: " + folder.File(c.thirdFile)));
    EXPECT_TRUE(ContainsLine(secondLines, previousLine));
    EXPECT_EQ(log.InternLogFileName(), folder.File(c.thirdFile));
    log.SetLogFileName("");
    EXPECT_EQ(FileNames(folder.Path()), c.leftAfterSwitchOff);
  }
}

// Two rotations within one second must not reuse the time-stamped name.
TEST_P(LoggerTest, CreateNewContinuesInDistinctTimeStampedFiles) {
  constexpr uint32_t kLimit = 700;
  TLogger log(1, FClock, Writer());
  log.SetLimit(TLogLimitType::logCreateNew, kLimit);
  log.SetLogFileName(FFolder.File("stream.txt"));
  const auto stamped = [&](Wall::time_point t, const std::string& counter) {
    return FFolder.File("stream_" + LocalText(t, "%Y%m%d_%H%M%S") + counter + ".txt");
  };
  const auto rotate = [&] {
    const std::string current = log.InternLogFileName();
    for (int i = 0; i < 100 && log.InternLogFileName() == current; ++i) log.LogIt("value " + std::to_string(i));
    return log.InternLogFileName();
  };

  std::vector<std::string> files{log.InternLogFileName()};
  files.push_back(rotate());
  FClock.Advance(1s);
  files.push_back(rotate());
  log.SetLogFileName("");

  EXPECT_EQ(files, (std::vector<std::string>{stamped(kStart, ""), stamped(kStart, "_1"), stamped(kStart + 1s, "")}));
  for (std::size_t i = 0; i + 1 < files.size(); ++i) {
    SCOPED_TRACE(files[i]);
    const auto lines = ReadLines(files[i]);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_THAT(Body(lines[0]), HasSubstr(" Log file opened: " + files[i]));
    EXPECT_TRUE(ContainsLine(lines, "value 0"));
    EXPECT_TRUE(ContainsLine(lines, "LogSizeLimit (700) reached "));
    EXPECT_EQ(Body(lines[lines.size() - 2]), "Continue in next Log file: " + files[i + 1]);
    EXPECT_THAT(Body(lines.back()), StartsWith("Log file closed, "));
  }
}

// ---- the queue ---------------------------------------------------------------------
//
// Loggers on a writer whose period is an hour: within a test it writes nothing
// on its own, so what is on disk is what the flush points put there.

constexpr std::chrono::hours kNeverWrites{1};

TEST(LogQueueTest, EachFlushPointPutsTheQueuedLinesOnDisk) {
  struct TCase {
    const char* name;
    std::function<void(TLogger&, TLogWriter&)> flushPoint;
    const char* lastLine;
  };
  const TCase cases[] = {
      {"error line", [](TLogger& log, TLogWriter&) { log.LogError("failed"); }, "ERROR: failed"},
      {"exception", [](TLogger& log, TLogWriter&) { log.LogException("failed", std::runtime_error("boom")); },
       "STACK: "},
      {"flush of the log", [](TLogger& log, TLogWriter&) { log.Flush(); }, "WARN:  queued 2"},
      {"flush of every log", [](TLogger&, TLogWriter& writer) { writer.FlushAll(); }, "WARN:  queued 2"},
      {"file closed", [](TLogger& log, TLogWriter&) { log.SetLogFileName(""); }, "Log file closed, "},
      {"writer stopped, then lines are written at once",
       [](TLogger& log, TLogWriter& writer) {
         writer.Stop();
         log.LogIt("at once");
       },
       "at once"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    TTempFolder folder;
    TLogWriter writer(kNeverWrites);
    TVQ_ManualClock clock{kStart};
    TLogger log(1, clock, &writer);
    const std::string path = folder.File("queued.txt");
    log.SetLogFileName(path);
    log.LogIt("queued 1");
    log.LogWarn("queued 2");
    EXPECT_TRUE(LinesOnDisk(path).empty());
    c.flushPoint(log, writer);
    const auto bodies = Bodies(LinesOnDisk(path));
    ASSERT_GE(bodies.size(), 4u);
    EXPECT_EQ(bodies[2], "queued 1");
    EXPECT_EQ(bodies[3], "WARN:  queued 2");
    EXPECT_THAT(bodies.back(), StartsWith(c.lastLine));
  }
}

// A disk that does not keep up: the queue stops at its limit, and the next
// line that gets through says how many were dropped.
TEST(LogQueueTest, LinesBeyondTheQueueLimitAreCountedAndTheFileSaysSo) {
  constexpr std::size_t kLimit = 1000;
  constexpr int kLines = 40;
  TTempFolder folder;
  TLogWriter writer(kNeverWrites);
  TVQ_ManualClock clock{kStart};
  TLogger log(1, clock, &writer);
  log.SetQueueLimit(kLimit);
  const std::string path = folder.File("slow.txt");
  log.SetLogFileName(path);
  for (int i = 0; i < kLines; ++i) log.LogIt("line " + std::to_string(i));
  log.LogAppend("a piece");
  log.LogError("disk back");

  const auto lines = LinesOnDisk(path);
  std::size_t kept = 0;
  while (2 + kept < lines.size() && Body(lines[2 + kept]) == "line " + std::to_string(kept)) ++kept;
  ASSERT_GT(kept, 0u);
  ASSERT_LT(kept, static_cast<std::size_t>(kLines));
  ASSERT_EQ(lines.size(), 2 + kept + 2);
  EXPECT_EQ(Body(lines[2 + kept]),
            "TLogger: " + std::to_string(kLines + 1 - kept) + " lines lost, the disk did not keep up");
  EXPECT_EQ(Body(lines.back()), "ERROR: disk back");
  // The queue was full: what it held fits the limit, one more line would not have.
  std::size_t queued = 0;
  for (std::size_t i = 0; i < 2 + kept; ++i) queued += lines[i].size() + 2;
  EXPECT_LE(queued, kLimit);
  EXPECT_GT(queued + 40, kLimit);
}

// The same calls at the same clock times give byte-identical files whether
// each line is written at once or a writer writes blocks all the while: the
// size and time limits are reached at the same lines, files wrap and continue
// at the same places.
TEST(LogQueueTest, BackgroundWritingGivesTheFilesOfWritingAtOnce) {
  const auto run = [](TLogWriter* writer, const TTempFolder& folder) {
    TVQ_ManualClock clock{kStart};
    TLogger log(1, clock, writer);
    log.SetHeaderLines({"Header: scripted"});
    const auto script = [&](TLogLimitType type, const std::string& name, std::chrono::seconds jump) {
      log.SetLimit(type, 1500);
      log.SetLogFileName(folder.File(name));
      for (int i = 0; i < 400; ++i) {
        if (i % 3 == 0) clock.Advance(1ms);
        if (i % 150 == 0) clock.Advance(jump);
        const std::string text = "step " + std::to_string(i);
        switch (i % 6) {
          case 0: log.LogIt(text); break;
          case 1: log.LogWarn(text); break;
          case 2:
            log.LogAppend(text);
            log.LogAppend(" and more");
            break;
          case 3: log.LogNewLine(); break;
          case 4: i % 60 == 4 ? log.LogError(text) : log.LogIt(text); break;
          default: log.LogAppend(text); break;  // the next line ends it
        }
      }
      log.SetLogFileName("");
    };
    script(TLogLimitType::logCreateNew, "new.txt", 1s);
    script(TLogLimitType::logOverwrite, "wrap.txt", 1s);
    log.SetErrorLog(true);
    script(TLogLimitType::logUnlimited, "timed.txt", 11min);
  };
  TTempFolder atOnceFolder;
  run(nullptr, atOnceFolder);
  TTempFolder backgroundFolder;
  {
    TLogWriter busyWriter(1ms);
    run(&busyWriter, backgroundFolder);
  }

  const auto names = FileNames(atOnceFolder.Path());
  EXPECT_GT(names.size(), 5u);  // rotations happened
  ASSERT_EQ(FileNames(backgroundFolder.Path()), names);
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    std::string expected = ReadFile(atOnceFolder.File(name));
    for (std::size_t at; (at = expected.find(atOnceFolder.Path().string())) != std::string::npos;)
      expected.replace(at, atOnceFolder.Path().string().size(), backgroundFolder.Path().string());
    EXPECT_EQ(ReadFile(backgroundFolder.File(name)), expected);
  }
}

// A process killed at any moment leaves every line logged before its last
// flush point in the file, whole and in order.
TEST(LogQueueTest, KilledProcessKeepsEveryLineBeforeItsLastFlushPoint) {
  TTempFolder folder;
  const std::string path = folder.File("killed.txt");
  const auto numbered = [](const char* text, int i) { return text + std::to_string(i); };
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    TLogWriter writer(kNeverWrites);
    TLogger log(1, SystemClock(), &writer);
    log.SetLogFileName(path);
    for (int i = 0; i < 100; ++i) log.LogIt(numbered("before the error line ", i));
    log.LogError("flush point");
    for (int i = 0; i < 100; ++i) log.LogIt(numbered("before the flush ", i));
    log.Flush();
    for (int i = 0; i < 100; ++i) log.LogIt(numbered("queued when killed ", i));
    const char byte = 1;
    if (::write(ready[1], &byte, 1) != 1) std::_Exit(2);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char byte = 0;
  EXPECT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  ::kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

  std::vector<std::string> expected;
  for (int i = 0; i < 100; ++i) expected.push_back(numbered("before the error line ", i));
  expected.push_back("ERROR: flush point");
  for (int i = 0; i < 100; ++i) expected.push_back(numbered("before the flush ", i));
  const auto bodies = Bodies(LinesOnDisk(path));
  ASSERT_GE(bodies.size(), 2u);
  EXPECT_EQ(std::vector(bodies.begin() + 2, bodies.end()), expected);
}

// ---- exceptions -------------------------------------------------------------------

TEST_P(LoggerTest, ExceptionWithoutFileDumpsTheRingOldestFirst) {
  TLogger log(3, FClock, Writer());
  log.LogIt("not kept: ring off");
  log.SetSaveEnabled(true);
  EXPECT_TRUE(log.KeepsLines());
  const std::string dumps = FFolder.File("dumps/deeper");
  log.SetSavePath(dumps + "/");
  EXPECT_EQ(log.SavePath(), dumps + "/");
  for (int i = 0; i < 1200; ++i) log.LogIt("line " + std::to_string(i));
  FClock.Advance(42ms);
  log.LogException("reading failed", std::out_of_range("index 9"));

  const std::string expectedName = "ExceptionLog_3_" + LocalText(kStart, "%Y%m%d_%H%M%S") + ".292.txt";
  ASSERT_EQ(FileNames(dumps), std::vector<std::string>{expectedName});

  // 1200 lines and the three exception lines leave the newest 1000.
  const auto lines = ReadLines(dumps + "/" + expectedName);
  ASSERT_EQ(lines.size(), 1000u);
  EXPECT_EQ(Body(lines[0]), "line 203");
  EXPECT_EQ(Body(lines[996]), "line 1199");
  EXPECT_EQ(Body(lines[997]), "ERROR: reading failed");
  EXPECT_EQ(Body(lines[998]), "EXCEP: std::out_of_range index 9");
  EXPECT_EQ(Body(lines[999]), "STACK: ");
  EXPECT_NE(lines[997].substr(0, 12), std::string(12, ' '));
}

TEST_P(LoggerTest, ExceptionWithAFileIsWrittenThereOnly) {
  TLogger log(3, FClock, Writer());
  log.SetSaveEnabled(true);
  log.SetSavePath(FFolder.File("dumps"));
  const std::string path = FFolder.File("main.txt");
  log.SetLogFileName(path);
  log.LogException("parse", std::invalid_argument("bad digit"));
  log.SetLogFileName("");

  const auto lines = ReadLines(path);
  ASSERT_GE(lines.size(), 5u);
  EXPECT_EQ(Body(lines[2]), "ERROR: parse");
  EXPECT_EQ(Body(lines[3]), "EXCEP: std::invalid_argument bad digit");
  EXPECT_EQ(Body(lines[4]), "STACK: ");
  EXPECT_TRUE(fs::is_empty(FFolder.File("dumps")));
}

// ---- end of the process ----------------------------------------------------------

// Constructed before all ordinary static objects, so it is destroyed after the
// list of loggers: it checks what a late caller finds.
struct TLateLookupProbe {
  TLateLookupProbe() {}  // dynamic initialisation, so the priority orders it
  TLateLookupProbe(const TLateLookupProbe&) = delete;
  TLateLookupProbe& operator=(const TLateLookupProbe&) = delete;
  ~TLateLookupProbe() {
    if (!armed) return;
    const bool nothingFound = FindLogger(0) == nullptr && !LogWanted(0) && NewLog() == -1;
    LogInfo(0, "too late");
    LogError(0, "too late");
    FlushLogs();
    std::_Exit(nothingFound ? 42 : 3);
  }
  bool armed = false;
} gLateLookupProbe __attribute__((init_priority(101)));

// The end writes what is queued and closes every file, while a thread that
// still logs finds its logger alive (under ASan a freed one would show).
TEST(LogListEndTest, ListEndsWithAFinalLineAndLaterLookupsFindNothing) {
  TTempFolder folder;
  const std::string path = folder.File("final.txt");
  const std::string busyPath = folder.File("busy.txt");
  EXPECT_EXIT(
      {
        if (NewLog() < 0) std::_Exit(2);  // makes sure log 0 exists
        SetLogFile(0, path, false);
        LogInfo(0, "queued at the end");
        const int busy = NewLog();
        SetLogFile(busy, busyPath, false);
        std::thread([busy] {
          for (;;) LogInfo(busy, "busy");
        }).detach();
        while (!LogEnabled(busy) || ReadFile(busyPath).find("busy") == std::string::npos) std::this_thread::yield();
        gLateLookupProbe.armed = true;
        std::exit(0);
      },
      ::testing::ExitedWithCode(42), "");
  const auto lines = LinesOnDisk(path);
  ASSERT_GE(lines.size(), 6u);
  const std::size_t n = lines.size();
  EXPECT_EQ(Body(lines[n - 4]), "queued at the end");
  EXPECT_EQ(Body(lines[n - 3]), "LogUnit.finalization");
  EXPECT_EQ(Body(lines[n - 2]), "TLogger.Destroy(0)");
  EXPECT_THAT(Body(lines[n - 1]), StartsWith("Log file closed, "));
  const auto busyLines = LinesOnDisk(busyPath);
  ASSERT_GE(busyLines.size(), 3u);
  EXPECT_THAT(Body(busyLines[busyLines.size() - 2]), StartsWith("TLogger.Destroy("));
  EXPECT_THAT(Body(busyLines.back()), StartsWith("Log file closed, "));
}

}  // namespace
