#include "library/core/LogUnit.h"

#include "support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;

constexpr int kWriters = 4;
constexpr int kLinesPerWriter = 1500;
constexpr int kLogsCreated = 300;

std::vector<std::string> ReadLines(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  const std::string text = buffer.str();
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
    lines.push_back(text.substr(start, end - start));
  EXPECT_EQ(start, text.size()) << path << " ends inside a line";
  return lines;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHexDigit(char c) { return IsDigit(c) || (c >= 'A' && c <= 'F'); }

// "hh:nn:ss.zzz TTTTTTTT " with either column possibly blank.
bool WellFormedPrefix(std::string_view line) {
  if (line.size() < 22 || line[12] != ' ' || line[21] != ' ') return false;
  const std::string_view time = line.substr(0, 12);
  const std::string_view thread = line.substr(13, 8);
  const bool timeOk = time == std::string_view("            ") ||
                      (IsDigit(time[0]) && IsDigit(time[1]) && time[2] == ':' && time[5] == ':' && time[8] == '.' &&
                       IsDigit(time[11]));
  const bool threadOk = thread == std::string_view("        ") ||
                        std::all_of(thread.begin(), thread.end(), IsHexDigit);
  return timeOk && threadOk;
}

std::string Payload(int writer, int n) {
  return "W" + std::to_string(writer) + " #" + std::to_string(n) + " " + std::string(40, static_cast<char>('a' + writer));
}

// Several threads write to one shared log (which starts new files at a small
// size limit), to their own logs and to a log that is switched on and off,
// while another thread creates logs and a third looks them up. Meanwhile the
// background writer writes blocks, a thread flushes every log and another
// makes and frees loggers on the same writer.
TEST(LogUnitThreadsTest, ConcurrentLinesStayWholeAndLookupsSeeNewLogs) {
  TTempFolder folder;
  const int shared = NewLog();
  const int toggled = NewLog();
  ASSERT_GE(shared, 0);
  SetLogLimit(shared, TLogLimitType::logCreateNew, 32 * 1024);
  SetLogFile(shared, folder.File("shared.txt"), false);
  std::vector<int> own(kWriters);
  for (int k = 0; k < kWriters; ++k) {
    own[k] = NewLog();
    SetLogFile(own[k], folder.File("own_" + std::to_string(k) + ".txt"), false);
  }

  std::atomic<int> newest{-1};
  std::atomic<bool> stop{false};
  std::atomic<int> lookupFailures{0};
  std::vector<std::thread> threads;
  threads.emplace_back([&] {
    for (int i = 0; i < kLogsCreated; ++i) newest.store(NewLog(), std::memory_order_release);
  });
  threads.emplace_back([&] {
    while (!stop.load()) {
      const int id = newest.load(std::memory_order_acquire);
      if (id >= 0 && (FindLogger(id) == nullptr || FindLogger(id)->Id() != id || LogWanted(id))) ++lookupFailures;
      if (!LogWanted(shared)) ++lookupFailures;
    }
  });
  threads.emplace_back([&] {
    for (int i = 0; i < 50 && !stop.load(); ++i) {
      SetLogFile(toggled, folder.File("toggled.txt"), false);
      std::this_thread::yield();
      SetLogFile(toggled, "", false);
    }
    SetLogFile(toggled, folder.File("toggled.txt"), false);
  });
  threads.emplace_back([&] {
    while (!stop.load()) FlushLogs();
  });
  threads.emplace_back([&] {
    for (int i = 0; !stop.load(); ++i) {
      TLogger passing(-1, SystemClock(), &DefaultLogWriter());
      passing.SetLogFileName(folder.File("passing_" + std::to_string(i % 2) + ".txt"));
      passing.LogIt("short-lived");
    }
  });
  std::vector<std::thread> writers;
  for (int k = 0; k < kWriters; ++k) {
    writers.emplace_back([&, k] {
      for (int n = 0; n < kLinesPerWriter; ++n) {
        const std::string payload = Payload(k, n);
        switch (n % 3) {
          case 0: LogInfo(shared, payload); break;
          case 1: LogWarn(shared, payload); break;
          default: LogError(shared, payload); break;
        }
        LogInfo(own[k], payload);
        LogInfo(toggled, payload);
      }
    });
  }
  for (std::thread& t : writers) t.join();
  stop = true;
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(lookupFailures.load(), 0);
  EXPECT_GE(newest.load(), own.back() + kLogsCreated);

  SetLogFile(shared, "", false);
  SetLogFile(toggled, "", false);
  for (const int id : own) SetLogFile(id, "", false);

  // Every writer line of the shared log appears exactly once, whole, across all its files.
  std::map<std::string, int> seen;
  int sharedFiles = 0;
  for (const auto& entry : fs::directory_iterator(folder.Path())) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with("shared")) continue;
    ++sharedFiles;
    for (const std::string& line : ReadLines(entry.path())) {
      ASSERT_TRUE(WellFormedPrefix(line)) << name << ": " << line;
      std::string body = line.substr(22);
      for (const std::string_view tag : {"WARN:  ", "ERROR: "})
        if (body.starts_with(tag)) body.erase(0, tag.size());
      if (body.starts_with("W")) ++seen[body];
    }
  }
  EXPECT_GT(sharedFiles, 2);
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(kWriters * kLinesPerWriter));
  for (int k = 0; k < kWriters; ++k) {
    for (int n = 0; n < kLinesPerWriter; ++n) EXPECT_EQ(seen[Payload(k, n)], 1) << Payload(k, n);
  }

  // A writer's own log holds its lines in order.
  for (int k = 0; k < kWriters; ++k) {
    const auto lines = ReadLines(folder.File("own_" + std::to_string(k) + ".txt"));
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(kLinesPerWriter + 3));
    for (int n = 0; n < kLinesPerWriter; ++n) ASSERT_EQ(lines[n + 2].substr(22), Payload(k, n));
  }

  for (const std::string& line : ReadLines(folder.File("toggled.txt")))
    ASSERT_TRUE(WellFormedPrefix(line)) << line;
}

}  // namespace
