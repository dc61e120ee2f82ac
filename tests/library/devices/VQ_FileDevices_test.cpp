#include "library/devices/VQ_FileDevices.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "library/core/LogUnit.h"
#include "library/core/VQ_DllCommon.h"
#include "library/core/VQ_Report.h"
#include "support/FileText.h"
#include "support/TempFolder.h"

namespace {

using namespace std::chrono_literals;

constexpr uint32_t kRing = TCircularBuffer::kCapacity;

// A file written into a fresh folder and a device created for it.
struct TReplay {
  TReplay(const std::string& name, const std::string& content, const TVQ_Clock& clock = SystemClock()) {
    path = folder.File(name);
    WriteText(path, content);
    device = std::make_unique<TVQ_FileDeviceItem>(-1, 0, &event, true, path, clock);
  }
  void Open() {
    std::string message;
    ASSERT_TRUE(device->OpenPort(message)) << message;
  }

  TTempFolder folder;
  TVQ_Event event;
  std::string path;
  std::unique_ptr<TVQ_FileDeviceItem> device;
};

// Every report the layer delivers until the replay ends; the end itself is the
// last entry. Text reports as they are, binary ones as hex, errors as
// "! " + result name.
std::vector<std::string> DrainToEnd(TVQ_ReportDevice& layer, bool text) {
  std::vector<std::string> out;
  for (int guard = 0; guard < 1000000; ++guard) {
    std::string report;
    const TVQ_Result result = layer.GetReport(report);
    if (result != TVQ_Result::VQ_No_Err) {
      out.push_back("! " + std::string(VQ_ResultText(result)));
      if (result == TVQ_Result::VQ_Err_EndOfFile) return out;
    } else if (!report.empty()) {
      out.push_back(text ? report : HexDump(report));
    }
  }
  ADD_FAILURE() << "the replay never ended";
  return out;
}

// Every line read until the end (or `most` of them); a line cut shows its
// error message first.
std::vector<std::string> ReadAllLines(TVQ_FileDeviceItem& device, std::size_t most = 100000) {
  std::vector<std::string> lines;
  while (lines.size() < most) {
    const std::string line = device.DeviceRead(255);
    if (line.empty() && device.ErrorCode() == TVQ_Result::VQ_Err_BadFormat) {
      std::string message;
      device.TakeError(message);
      lines.push_back("! " + message);
      continue;
    }
    if (line.empty() && device.ErrorCode() != TVQ_Result::VQ_No_Err) return lines;
    lines.push_back(line);
  }
  if (most == 100000) ADD_FAILURE() << "the replay never ended";
  return lines;
}

const std::string kEnd = "! VQ_Err_EndOfFile";

// ---- text files -------------------------------------------------------------------

TEST(FileDeviceText, LinesComeWholeWithoutTheirLineEnd) {
  const std::string long7902 = "7902;" + std::string(3000, '7');
  const std::string overCap(TVQ_FileDeviceItem::kMaxLineLength + 4464, 'x');
  struct TCase {
    const char* name;
    std::string content;
    std::vector<std::string> lines;
  };
  const TCase cases[] = {
      {"ended", "7016; 50\r\n0600; 1.5\r\n", {"7016; 50", "0600; 1.5", kEnd}},
      {"last line without CR LF", "7016; 50\r\n7000;", {"7016; 50", "7000;", kEnd}},
      {"blank line is no end", "0600; 1\r\n\r\n0600; 2\r\n", {"0600; 1", "0600; 2", kEnd}},
      {"lone CR stays in the line", "0600;\r1\r\n", {"0600;\r1", kEnd}},
      {"longer than 700 bytes", long7902 + "\r\n0600; 1\r\n", {long7902, "0600; 1", kEnd}},
      {"longer than the cap, cut", overCap + "\r\nend\r\n",
       {"! VQ_Err_BadFormat", overCap.substr(0, TVQ_FileDeviceItem::kMaxLineLength), "end", kEnd}},
  };
  for (const TCase& c : cases) {
    TReplay replay("run_VQ_ReportData.txt", c.content);
    ASSERT_EQ(replay.device->DevType(), TVQ_DeviceType::VQ_TxtFile);
    replay.Open();
    TVQ_ReportDevice layer(*replay.device, 0);
    EXPECT_EQ(DrainToEnd(layer, true), c.lines) << c.name;
    EXPECT_FALSE(replay.device->PortIsOpened()) << c.name;
  }
}

// A line of megabytes (no line end where one was due) is cut once, with one
// error that names it, and never held whole; the lines after it are whole.
// Looping, a last line cut ends with the file and the next pass starts whole.
TEST(FileDeviceText, OverlongLineIsCutOnceWithItsLineNumber) {
  const std::size_t cap = TVQ_FileDeviceItem::kMaxLineLength;
  const std::string huge = "0600; " + std::string(10 * 1024 * 1024, '7');
  struct TCase {
    const char* name;
    std::string content;
    bool loop;
    std::vector<std::string> lines;
  };
  const TCase cases[] = {
      {"third line of 10 MB", "7015; 1\r\n0600; 1\r\n" + huge + "\r\n7015; 2\r\n", false,
       {"7015; 1", "0600; 1", "! Line 3 of PATH is longer than 65536 characters: cut after 65536", huge.substr(0, cap),
        "7015; 2"}},
      {"CR LF just beyond the cap", std::string(cap, 'a') + "b\r\n" + std::string(cap, 'c') + "\r\n", false,
       {"! Line 1 of PATH is longer than 65536 characters: cut after 65536", std::string(cap, 'a'),
        std::string(cap, 'c')}},
      {"last line, looping", "7015; 1\r\n" + huge, true,
       {"7015; 1", "! Line 2 of PATH is longer than 65536 characters: cut after 65536", huge.substr(0, cap),
        "7015; 1", "! Line 2 of PATH is longer than 65536 characters: cut after 65536"}},
  };
  for (const TCase& c : cases) {
    TReplay replay("long_VQ_ReportData.txt", c.content);
    replay.device->LoopForEver = c.loop;
    replay.Open();
    std::vector<std::string> lines = c.loop ? ReadAllLines(*replay.device, c.lines.size()) : ReadAllLines(*replay.device);
    for (std::string& line : lines) {
      if (const std::size_t at = line.find(replay.path); at != std::string::npos) line.replace(at, replay.path.size(), "PATH");
    }
    EXPECT_EQ(lines, c.lines) << c.name;
  }
}

// Lines that straddle a refill of the ring, one of them with its CR as the
// last byte of the first portion and its LF as the first of the next.
TEST(FileDeviceText, LinesAcrossRingPortionsStayWhole) {
  std::vector<std::string> lines;
  std::string content;
  auto add = [&](std::string line) {
    content += line + "\r\n";
    lines.push_back(std::move(line));
  };
  while (content.size() + 1002 < kRing - 600) add(std::to_string(lines.size()) + std::string(994, '.'));
  add(std::string(kRing - 1 - content.size(), 'c'));
  ASSERT_EQ(content.substr(kRing - 1, 2), "\r\n");
  for (int i = 0; i < 600; ++i) add(std::to_string(i) + std::string(996, '+'));

  TReplay replay("big_VQ_ReportData.txt", content);
  replay.Open();
  EXPECT_EQ(replay.device->GetBufferAmount(), kRing);
  EXPECT_EQ(ReadAllLines(*replay.device), lines);
  EXPECT_EQ(replay.device->ErrorCode(), TVQ_Result::VQ_Err_EndOfFile);
}

// ---- binary files -----------------------------------------------------------------

TEST(FileDeviceBinary, FileLargerThanTheRingComesInPortionsOfTheFreeSpace) {
  std::string content(kRing * 5 / 2, '\0');
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
  TReplay replay("capture.bin", content);
  ASSERT_EQ(replay.device->DevType(), TVQ_DeviceType::VQ_BinFile);
  replay.Open();
  TVQ_FileDeviceItem& device = *replay.device;
  EXPECT_EQ(device.GetBufferAmount(), kRing);

  // 100 bytes left; a peek for more refills exactly the free space.
  ASSERT_TRUE(device.ConfirmPeekedData(kRing - 100));
  EXPECT_EQ(device.PeekData(200), content.substr(kRing - 100, 200));
  EXPECT_EQ(device.GetBufferAmount(), kRing);

  std::string replayed = content.substr(0, kRing - 100);
  for (;;) {
    const std::string bytes = device.DeviceRead(255);
    ASSERT_LE(device.GetBufferAmount(), kRing);
    if (bytes.empty()) break;
    replayed += bytes;
  }
  // Only a tail shorter than one read is left over; the close drops it.
  EXPECT_LT(content.size() - replayed.size(), 255u);
  EXPECT_EQ(replayed, content.substr(0, replayed.size()));
  EXPECT_EQ(device.ErrorCode(), TVQ_Result::VQ_Err_EndOfFile);
  EXPECT_EQ(device.ErrorMessage(), "File " + replay.path + " EOF reached");
  EXPECT_FALSE(device.PortIsOpened());
  EXPECT_FALSE(device.FileOpened());
}

TEST(FileDeviceLoop, LoopForEverStartsOverAndNeverReportsTheEnd) {
  struct TCase {
    const char* name;
    std::string content;
    std::vector<std::string> reads;
  };
  const TCase cases[] = {
      {"capture.bin", "ABC", {"A", "B", "C", "A", "B", "C", "A", "B"}},
      {"a_VQ_ReportData.txt", "a\r\nb\r\n", {"a", "b", "a", "b", "a"}},
      // The end of the file ends the last line: it is not glued to the first.
      {"b_VQ_ReportData.txt", "a\r\nb", {"a", "b", "a", "b", "a"}},
  };
  for (const TCase& c : cases) {
    TReplay replay(c.name, c.content);
    replay.device->LoopForEver = true;
    replay.Open();
    std::vector<std::string> reads;
    for (std::size_t i = 0; i < c.reads.size(); ++i) reads.push_back(replay.device->DeviceRead(1));
    EXPECT_EQ(reads, c.reads) << c.name;
    EXPECT_EQ(replay.device->ErrorCode(), TVQ_Result::VQ_No_Err) << c.name;
    EXPECT_TRUE(replay.device->PortIsOpened()) << c.name;
  }
}

// ---- pacing -----------------------------------------------------------------------

TEST(FileDevicePacing, NonBlockingDeviceGivesNothingUntilTheWaitIsOver) {
  struct TCase {
    const char* name;
    std::string content;
    std::string first;
    std::string second;
  };
  const TCase cases[] = {
      {"capture.bin", "ABCD", "A", "B"},
      {"run_VQ_ReportData.txt", "l1\r\nl2\r\nl3\r\n", "l1", "l2"},
  };
  for (const TCase& c : cases) {
    TVQ_ManualClock clock;
    TReplay replay(c.name, c.content, clock);
    replay.Open();
    TVQ_FileDeviceItem& device = *replay.device;
    device.SetWaitMs(1000);
    char peeked = 0;
    EXPECT_EQ(device.DeviceRead(1), "") << c.name;
    EXPECT_FALSE(device.PeekChar(peeked)) << c.name;
    EXPECT_EQ(device.PeekData(1), "") << c.name;
    clock.Advance(999ms);
    EXPECT_EQ(device.DeviceRead(1), "") << c.name;
    clock.Advance(1ms);
    EXPECT_EQ(device.DeviceRead(1), c.first) << c.name;
    EXPECT_EQ(device.DeviceRead(1), c.second) << c.name;  // the wait is over
    EXPECT_EQ(device.ErrorCode(), TVQ_Result::VQ_No_Err) << c.name;
  }
}

// A long interval must not hold the reading thread: each read sleeps at most
// the read time-out, and the data come once the whole wait has passed.
TEST(FileDevicePacing, BlockingDeviceSleepsInSlicesOfTheReadTimeout) {
  TReplay replay("capture.bin", "AB");
  TVQ_FileDeviceItem& device = *replay.device;
  device.SetBlockingIO(true);
  device.SetReadTimeoutMs(20);
  replay.Open();

  device.SetWaitMs(2000 * 1000);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(device.DeviceRead(1), "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);

  device.SetWaitMs(100);
  start = std::chrono::steady_clock::now();
  int emptyReads = 0;
  std::string bytes;
  while (bytes.empty() && emptyReads < 1000) {
    bytes = device.DeviceRead(1);
    if (bytes.empty()) ++emptyReads;
  }
  EXPECT_EQ(bytes, "A");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
  EXPECT_GE(emptyReads, 2);

  // A close cancels the sleeps at once.
  device.SetWaitMs(2000 * 1000);
  device.ClosePort();
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(device.DeviceRead(1), "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

// A close from another thread ends a reader's sleep at once, however long
// its slice: the sleep holds no lock the close needs.
TEST(FileDevicePacing, CloseFromAnotherThreadEndsABlockingWait) {
  TReplay replay("capture.bin", "AB");
  TVQ_FileDeviceItem& device = *replay.device;
  device.SetBlockingIO(true);
  device.SetReadTimeoutMs(60 * 1000);
  replay.Open();
  device.SetWaitMs(2000 * 1000);
  const auto start = std::chrono::steady_clock::now();
  std::string bytes = "unset";
  std::thread reader([&] { bytes = device.DeviceRead(1); });
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(device.ClosePort());
  reader.join();
  EXPECT_EQ(bytes, "");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

// ---- identity, commands, failures -------------------------------------------------

TEST(FileDevice, IdentityAndIgnoredCommands) {
  TReplay first("a.bin", "0123");
  TReplay second("b_VQ_ReportData.txt", "0123");
  EXPECT_EQ(second.device->GetSerialNumberValue(), first.device->GetSerialNumberValue() + 1);
  EXPECT_EQ(second.device->DevType(), TVQ_DeviceType::VQ_TxtFile);
  EXPECT_EQ(first.device->ToString(), "VQ_File: Filename=" + first.path);
  EXPECT_TRUE(first.device->FileOpened());
  EXPECT_TRUE(first.device->HasCommandList());
  EXPECT_FALSE(first.device->PortIsOpened());  // created, not yet opened

  first.Open();
  std::string command = "\x85" "Eb\x01";
  EXPECT_TRUE(first.device->DeviceWrite(command));
  EXPECT_EQ(command, "\x85" "Eb\x01");
  EXPECT_EQ(first.device->GetBufferAmount(), 4u);
  EXPECT_EQ(first.device->DeviceRead(4), "0123");
  EXPECT_EQ(ReadFile(first.path), "0123");
}

TEST(FileDevice, FailedCreationIsRecordedAndLeavesADeadDevice) {
  TTempFolder folder;
  WriteText(folder.File("day_VQ_RawData.bin"), "raw");
  // Opening a FIFO for reading would wait for a writer that never comes.
  ASSERT_EQ(::mkfifo(folder.File("pipe.bin").c_str(), 0600), 0);
  struct TCase {
    std::string path;
    TVQ_DeviceType type;
    std::string message;
  };
  const TCase cases[] = {
      {folder.File("missing.bin"), TVQ_DeviceType::VQ_BinFile, std::system_category().message(ENOENT)},
      {folder.Path().string(), TVQ_DeviceType::VQ_BinFile, "Not a recording file: a directory"},
      {folder.File("pipe.bin"), TVQ_DeviceType::VQ_BinFile, "Not a recording file: a FIFO (named pipe)"},
      {folder.File("day_VQ_RawData.bin"), TVQ_DeviceType::VQ_RawFile,
       "Raw data files cannot be replayed yet: " + folder.File("day_VQ_RawData.bin")},
  };
  for (const TCase& c : cases) {
    TVQ_Event event;
    TVQ_FileDeviceItem device(-1, 0, &event, true, c.path);
    EXPECT_FALSE(device.FileOpened()) << c.path;
    EXPECT_EQ(device.DevType(), c.type) << c.path;
    EXPECT_EQ(device.ErrorCode(), TVQ_Result::VQ_DeviceNotFound) << c.path;
    EXPECT_EQ(device.ErrorMessage(), c.message) << c.path;
    EXPECT_EQ(device.GetSerialNumberValue(), TVQ_BaseDevice::kUnknownSerial) << c.path;

    std::string message;
    EXPECT_FALSE(device.OpenPort(message)) << c.path;
    EXPECT_EQ(message, c.message) << c.path;
    char c1 = 0;
    EXPECT_EQ(device.DeviceRead(8), "") << c.path;
    EXPECT_FALSE(device.PeekChar(c1)) << c.path;
    EXPECT_EQ(device.PeekData(4), "") << c.path;
    EXPECT_FALSE(device.ConfirmPeekedData(1)) << c.path;
    device.ResetDevice();
    EXPECT_TRUE(device.ClosePort()) << c.path;
    EXPECT_EQ(device.ErrorCode(), TVQ_Result::VQ_DeviceNotFound) << c.path;
  }
}

TEST(FileDevice, EmptyFileFailsToOpenWithTheEnd) {
  TReplay replay("empty.bin", "");
  std::string message;
  EXPECT_FALSE(replay.device->OpenPort(message));
  EXPECT_EQ(message, "File " + replay.path + " EOF reached");
  EXPECT_FALSE(replay.device->FileOpened());
}

// Whatever is still held or asked for, a closed device gives nothing.
TEST(FileDevice, ClosedDeviceAndBadLengthsGiveNothing) {
  for (const char* name : {"capture.bin", "run_VQ_ReportData.txt"}) {
    TReplay replay(name, "0600; 1\r\n0600; 2\r\n");
    replay.Open();
    TVQ_FileDeviceItem& device = *replay.device;
    EXPECT_EQ(device.DeviceRead(0), "") << name;
    EXPECT_EQ(device.PeekData(0), "") << name;
    EXPECT_EQ(device.PeekData(kRing + 1), "") << name;
    EXPECT_FALSE(device.ConfirmPeekedData(kRing + 1)) << name;
    EXPECT_EQ(device.PeekData(4), "0600") << name;

    EXPECT_TRUE(device.ClosePort()) << name;
    EXPECT_TRUE(device.ClosePort()) << name;
    char c = 0;
    EXPECT_EQ(device.DeviceRead(1), "") << name;
    EXPECT_FALSE(device.PeekChar(c)) << name;
    EXPECT_EQ(device.PeekData(1), "") << name;
    EXPECT_EQ(device.PeekUpTo(100), "") << name;
    EXPECT_FALSE(device.ConfirmPeekedData(1)) << name;
    EXPECT_FALSE(device.PortIsOpened()) << name;
    EXPECT_EQ(device.ErrorCode(), TVQ_Result::VQ_Err_EndOfFile) << name;
    EXPECT_EQ(device.ErrorMessage(), "File " + replay.path + " already closed") << name;
    std::string message;
    EXPECT_FALSE(device.OpenPort(message)) << name;
  }
}

// ---- reset ------------------------------------------------------------------------

// The replay starts again with nothing held twice and without the "buffer
// cleared" mark, which the reader would report as lost data.
TEST(FileDeviceReset, ReplaysFromTheStartWithNothingTwice) {
  struct TCase {
    const char* name;
    std::string content;
    std::size_t fileSize;
  };
  const std::string big(kRing + 5000, 'b');
  const TCase cases[] = {
      {"capture.bin", "0123456789", 10},
      {"big.bin", big, kRing},
      {"run_VQ_ReportData.txt", "0123456789", 10},
  };
  for (const TCase& c : cases) {
    TReplay replay(c.name, c.content);
    replay.Open();
    TVQ_FileDeviceItem& device = *replay.device;
    EXPECT_EQ(device.PeekData(4), c.content.substr(0, 4)) << c.name;
    ASSERT_TRUE(device.ConfirmPeekedData(4)) << c.name;
    device.ResetDevice();
    EXPECT_FALSE(device.ReceiveBufferCleared()) << c.name;
    EXPECT_TRUE(device.PortIsOpened()) << c.name;
    if (device.DevType() == TVQ_DeviceType::VQ_BinFile) {
      EXPECT_EQ(device.GetBufferAmount(), c.fileSize) << c.name;
      EXPECT_EQ(device.PeekData(10), c.content.substr(0, 10)) << c.name;
    } else {
      EXPECT_EQ(ReadAllLines(device), std::vector<std::string>{c.content}) << c.name;
    }
  }
}

TEST(FileDeviceReset, TextLayerStartsOverAtTheFirstLine) {
  TReplay replay("run_VQ_ReportData.txt", "7016; 50\r\n0600; 1\r\n0600; 2\r\n");
  replay.Open();
  TVQ_ReportDevice layer(*replay.device, 0);
  std::string report;
  ASSERT_EQ(layer.GetReport(report), TVQ_Result::VQ_No_Err);
  ASSERT_EQ(report, "7016; 50");
  replay.device->ResetDevice();
  EXPECT_EQ(DrainToEnd(layer, true), (std::vector<std::string>{"7016; 50", "0600; 1", "0600; 2", kEnd}));
}

// With the debug log on, the replay is the same and the log tells its steps.
TEST(FileDevice, DebugLogFollowsTheReplay) {
  TTempFolder logFolder;
  const int logId = NewLog();
  ASSERT_GE(logId, 0);
  SetLogFile(logId, logFolder.File("file.log"), false);
  {
    TTempFolder folder;
    const std::string path = folder.File("run_VQ_ReportData.txt");
    WriteText(path, "0600; 1\r\n" + std::string(TVQ_FileDeviceItem::kMaxLineLength + 1, 'x'));
    TVQ_Event event;
    TVQ_FileDeviceItem device(logId, 0, &event, true, path);
    std::string message;
    ASSERT_TRUE(device.OpenPort(message)) << message;
    std::string command = "A";
    EXPECT_TRUE(device.DeviceWrite(command));
    device.SetWaitMs(0);
    EXPECT_EQ(ReadAllLines(device).size(), 3u);  // the line, the cut's error, the cut line
  }
  SetLogFile(logId, "", false);
  const std::string log = ReadFile(logFolder.File("file.log"));
  for (const char* step : {"TVQ_FileDeviceItem.Create filename=", "### Opened FileDevice ",
                           "FileDeviceItem.ReadRawLine: Line 2 of ", "FileDevice.ReadFileIntoBuffer: EOF",
                           "### Close FileDevice "})
    EXPECT_NE(log.find(step), std::string::npos) << step;
}

// ---- recorded streams through the report layer ------------------------------------

std::string Fixture(const std::string& kind, const char* ext, const std::string& name = "stream") {
  return std::string(ZEP_FIXTURES_DIR) + "/" + kind + "/" + name + "." + ext;
}

// Whole recordings, and recordings that start inside a frame or with a
// damaged one, as the file device replays them.
TEST(FileDeviceReportLayer, RecordedStreamsGiveTheirReports) {
  for (const std::string kind : {"usb", "serial", "esp"}) {
    for (const std::string name : {"stream", "cut", "damaged"}) {
      TVQ_Event event;
      TVQ_FileDeviceItem device(-1, 0, &event, true, Fixture(kind, "bin", name));
      ASSERT_TRUE(device.FileOpened()) << kind << "/" << name;
      std::string message;
      ASSERT_TRUE(device.OpenPort(message)) << message;
      TVQ_ReportDevice layer(device, 0);
      std::vector<std::string> expected = TextLines(ReadFile(Fixture(kind, "reports", name)));
      expected.push_back(kEnd);
      EXPECT_EQ(DrainToEnd(layer, false), expected) << kind << "/" << name;
      EXPECT_EQ(device.PeerType(), kind == "esp" ? TVQ_PeerType::ptESP : TVQ_PeerType::ptColdfire);
    }
  }
}

// A recording larger than the ring: frames cut by a refill still decode.
TEST(FileDeviceReportLayer, StreamLargerThanTheRingGivesEveryReport) {
  const std::string stream = ReadFile(Fixture("usb", "bin"));
  const std::vector<std::string> reports = TextLines(ReadFile(Fixture("usb", "reports")));
  ASSERT_FALSE(stream.empty());
  const std::size_t copies = kRing * 5 / 2 / stream.size() + 1;
  std::string content;
  std::vector<std::string> expected;
  for (std::size_t i = 0; i < copies; ++i) {
    content += stream;
    expected.insert(expected.end(), reports.begin(), reports.end());
  }
  expected.push_back(kEnd);
  TReplay replay("long.bin", content);
  replay.Open();
  TVQ_ReportDevice layer(*replay.device, 0);
  EXPECT_EQ(DrainToEnd(layer, false), expected);
}

}  // namespace
