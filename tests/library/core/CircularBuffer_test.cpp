#include "library/core/CircularBuffer.h"

#include <gtest/gtest.h>

#include "support/FileText.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <unistd.h>

#include "library/core/LogUnit.h"
#include "library/core/VQ_DllCommon.h"

namespace {

constexpr uint32_t kCap = TCircularBuffer::kCapacity;

// Readable frames: '|' stands for the frame end $BF, '~' for $BD.
std::string Frames(std::string text) {
  for (char& c : text) {
    if (c == '|') c = '\xBF';
    if (c == '~') c = '\xBD';
  }
  return text;
}

std::string Pattern(std::size_t len, int seed = 0) {
  std::string bytes(len, '\0');
  for (std::size_t i = 0; i < len; ++i) bytes[i] = static_cast<char>((i * 7 + static_cast<std::size_t>(seed)) % 251);
  return bytes;
}

std::span<const uint8_t> Bytes(const std::string& text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

class CircularBufferTest : public ::testing::Test {
 protected:
  // Everything held, without consuming it.
  std::string Held() { return buffer.PeekAnsiString(buffer.GetAmount()); }

  // Moves both indices to `position` with nothing held.
  void StartAt(uint32_t position) {
    ASSERT_TRUE(buffer.WriteAnsiString(std::string(position, 'x')));
    ASSERT_TRUE(buffer.ConfirmPeekedData(position));
  }

  TVQ_Event event;
  TCircularBuffer buffer{-1, &event, true};
};

TEST_F(CircularBufferTest, WriteFitsUpToCapacityAndIsRefusedWholeBeyond) {
  struct Case {
    uint32_t held;
    std::size_t len;
    bool fits;
  };
  const Case cases[] = {
      {0, kCap, true}, {0, kCap + 1, false}, {kCap - 10, 10, true}, {kCap - 10, 11, false}, {kCap, 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "held " << c.held << " + " << c.len);
    TCircularBuffer ring(-1, &event, true);
    ASSERT_TRUE(ring.WriteAnsiString(std::string(c.held, 'h')));
    event.Reset();
    const std::string bytes(c.len, 'n');
    EXPECT_EQ(ring.Write(Bytes(bytes)), c.fits);
    const uint32_t expected = c.fits ? c.held + static_cast<uint32_t>(c.len) : c.held;
    uint32_t amount = 0;
    uint32_t high = 0;
    ring.GetAmounts(amount, high);
    EXPECT_EQ(amount, expected);
    EXPECT_EQ(high, expected);
    EXPECT_EQ(ring.AvailableSpace(), kCap - expected);
    EXPECT_EQ(event.IsSet(), c.fits);
  }
}

TEST_F(CircularBufferTest, WriteAndPeekAcrossTheEndComeBackInOrder) {
  struct Case {
    uint32_t start;
    uint32_t len;
  };
  // Wrapping after 1 byte, in the middle, exactly at the end, and not at all.
  const Case cases[] = {{kCap - 1, 300}, {kCap - 150, 300}, {kCap - 300, 300}, {0, 300}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "start " << c.start);
    TCircularBuffer ring(-1, nullptr, true);
    ring.WriteAnsiString(std::string(c.start, 'x'));
    ring.ConfirmPeekedData(c.start);
    const std::string bytes = Pattern(c.len, static_cast<int>(c.start));
    ASSERT_TRUE(ring.Write(Bytes(bytes)));

    EXPECT_EQ(ring.PeekAnsiString(c.len), bytes);
    const std::vector<uint8_t> data = ring.PeekData(c.len);
    EXPECT_EQ(std::string(data.begin(), data.end()), bytes);
    std::string into(c.len, '\0');
    EXPECT_TRUE(ring.PeekInto(std::span(reinterpret_cast<uint8_t*>(into.data()), into.size())));
    EXPECT_EQ(into, bytes);
    // The read index wraps too.
    EXPECT_EQ(ring.ReadAnsiString(100), bytes.substr(0, 100));
    EXPECT_EQ(ring.ReadAnsiString(c.len - 100), bytes.substr(100));
    EXPECT_EQ(ring.GetAmount(), 0u);
  }
}

TEST_F(CircularBufferTest, EveryPeekFormDeliversAllOrNothingAndResetsTheEventOnNothing) {
  // Each form peeks `len` bytes and gives what it delivered, empty for nothing.
  const std::vector<std::pair<const char*, std::function<std::string(uint32_t)>>> forms = {
      {"PeekData",
       [this](uint32_t len) {
         const auto data = buffer.PeekData(len);
         return std::string(data.begin(), data.end());
       }},
      {"PeekAnsiString", [this](uint32_t len) { return buffer.PeekAnsiString(len); }},
      {"PeekInto",
       [this](uint32_t len) {
         std::string into(len, '\0');
         const bool ok = buffer.PeekInto(std::span(reinterpret_cast<uint8_t*>(into.data()), into.size()));
         return ok ? into : std::string();
       }},
  };
  for (const auto& [name, peek] : forms) {
    SCOPED_TRACE(name);
    buffer.Clear();
    buffer.BufferCleared();
    buffer.WriteAnsiString("abcd");
    EXPECT_TRUE(event.IsSet());

    EXPECT_EQ(peek(0), "");
    EXPECT_TRUE(event.IsSet()) << "a zero-length peek is no failed peek";
    EXPECT_EQ(peek(5), "");
    EXPECT_FALSE(event.IsSet());
    buffer.WriteAnsiString("e");
    EXPECT_EQ(peek(5), "abcde");
    EXPECT_EQ(peek(5), "abcde") << "a peek consumes nothing";
    EXPECT_TRUE(event.IsSet());
  }
  char c = 0;
  buffer.Clear();
  buffer.BufferCleared();
  EXPECT_FALSE(buffer.PeekChar(c));
  buffer.WriteAnsiString("q");
  ASSERT_TRUE(buffer.PeekChar(c));
  EXPECT_EQ(c, 'q');
}

TEST_F(CircularBufferTest, ClearOfDataHidesNewBytesUntilTheFlagIsRead) {
  buffer.WriteAnsiString("old");
  buffer.Clear();
  EXPECT_FALSE(event.IsSet());
  EXPECT_EQ(buffer.GetAmount(), 0u);
  EXPECT_EQ(buffer.HighAmount(), 0u);
  buffer.WriteAnsiString("new");

  char c = 0;
  EXPECT_FALSE(buffer.PeekChar(c));
  EXPECT_EQ(buffer.PeekAnsiString(3), "");
  EXPECT_TRUE(buffer.Read(3).empty());
  EXPECT_EQ(buffer.GetAmount(), 3u);
  EXPECT_TRUE(buffer.BufferCleared());
  EXPECT_FALSE(buffer.BufferCleared());
  ASSERT_TRUE(buffer.PeekChar(c));
  EXPECT_EQ(c, 'n');
  EXPECT_EQ(buffer.ReadAnsiString(3), "new");
}

TEST_F(CircularBufferTest, ClearOfEmptyBufferSetsNoFlag) {
  buffer.Clear();
  EXPECT_FALSE(buffer.BufferCleared());
  buffer.WriteAnsiString("a");
  char c = 0;
  EXPECT_TRUE(buffer.PeekChar(c));
}

TEST_F(CircularBufferTest, IgnoredDataIsHiddenOnceButKept) {
  buffer.WriteAnsiString("keep");
  buffer.SetReceivedDataIgnored();
  EXPECT_EQ(buffer.PeekAnsiString(4), "");
  EXPECT_EQ(buffer.GetAmount(), 4u);
  EXPECT_TRUE(buffer.BufferCleared());
  EXPECT_EQ(buffer.PeekAnsiString(4), "keep");
}

// The reader peeked, the transport cleared and wrote again before the reader
// confirmed: the confirm must not eat the new bytes it has never seen.
TEST_F(CircularBufferTest, ConfirmAfterClearDoesNotConsumeNewBytes) {
  buffer.WriteAnsiString("abcdef");
  ASSERT_EQ(buffer.PeekAnsiString(3), "abc");
  buffer.Clear();
  buffer.WriteAnsiString("uvwxyz");
  EXPECT_FALSE(buffer.ConfirmPeekedData(3));
  EXPECT_EQ(buffer.GetAmount(), 6u);
  EXPECT_TRUE(buffer.BufferCleared());
  EXPECT_EQ(buffer.PeekAnsiString(6), "uvwxyz");
  EXPECT_TRUE(buffer.ConfirmPeekedData(6));
}

TEST_F(CircularBufferTest, ConfirmConsumesExactlyOrNothingAndEmptyResetsHighAmount) {
  buffer.WriteAnsiString("0123456789");
  EXPECT_FALSE(buffer.ConfirmPeekedData(11));
  EXPECT_EQ(buffer.GetAmount(), 10u);
  EXPECT_TRUE(buffer.ConfirmPeekedData(4));
  buffer.WriteAnsiString("ab");
  EXPECT_EQ(buffer.GetAmount(), 8u);
  EXPECT_EQ(buffer.HighAmount(), 10u);
  EXPECT_EQ(Held(), "456789ab");
  EXPECT_TRUE(buffer.ConfirmPeekedData(8));
  EXPECT_EQ(buffer.HighAmount(), 0u);
}

// Lengths beyond 16 bits: what Read returns is exactly what it consumes.
TEST_F(CircularBufferTest, LongReadsAndConfirmsUseTheWholeLength) {
  const std::string bytes = Pattern(200000);
  buffer.WriteAnsiString(bytes);
  EXPECT_TRUE(buffer.ConfirmPeekedData(70000));
  EXPECT_EQ(buffer.GetAmount(), 130000u);
  const std::vector<uint8_t> data = buffer.Read(130000);
  EXPECT_EQ(std::string(data.begin(), data.end()), bytes.substr(70000));
  EXPECT_EQ(buffer.GetAmount(), 0u);
}

TEST_F(CircularBufferTest, WriteOfPartCountsFromOneAndRefusesRangesOutside) {
  struct Case {
    std::size_t offset;
    std::size_t len;
    const char* written;  // null: refused
  };
  const Case cases[] = {
      {1, 3, "abc"}, {2, 5, "bcdef"}, {6, 1, "f"}, {1, 6, "abcdef"}, {0, 3, nullptr}, {1, 0, nullptr},
      {6, 2, nullptr}, {7, 1, nullptr}, {2, SIZE_MAX, nullptr}, {SIZE_MAX, 2, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "offset " << c.offset << " len " << c.len);
    TCircularBuffer ring(-1, nullptr, false);
    EXPECT_EQ(ring.WriteAnsiString("abcdef", c.offset, c.len), c.written != nullptr);
    EXPECT_EQ(ring.PeekAnsiString(ring.GetAmount()), c.written ? c.written : "");
  }
}

TEST_F(CircularBufferTest, InsertedFrameLandsAtAFrameBoundary) {
  struct Case {
    const char* name;
    const char* held;
    bool noEOL;
    const char* frame;
    std::vector<const char*> laterWrites;
    const char* expected;
  };
  const Case cases[] = {
      {"empty buffer", "", false, "F|", {}, "F|"},
      {"last byte is a frame end", "a|", false, "F~", {}, "a|F~"},
      {"frame still arriving after $BF", "a|bc", false, "F|", {"d|"}, "a|F|bcd|"},
      {"frame still arriving after $BD", "a|b~cd", false, "F|", {}, "a|b~F|cd"},
      {"no frame end held: waits", "abc", false, "F|", {}, "abc"},
      {"waits for the first frame end", "abc", false, "F|", {"de", "f|g|h"}, "abcdef|F|g|h"},
      {"stream without frame ends", "abc", true, "F", {}, "abcF"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TCircularBuffer ring(-1, nullptr, true);
    if (c.noEOL) ring.SetNoEOL();
    ring.WriteAnsiString(Frames(c.held));
    EXPECT_TRUE(ring.InsertAnsiString(Frames(c.frame)));
    for (const char* bytes : c.laterWrites) EXPECT_TRUE(ring.WriteAnsiString(Frames(bytes)));
    EXPECT_EQ(ring.PeekAnsiString(ring.GetAmount()), Frames(c.expected));
  }
}

TEST_F(CircularBufferTest, InsertSearchesBackAcrossTheEnd) {
  // The frame still arriving straddles the end, and so does the search.
  StartAt(kCap - 4);
  buffer.WriteAnsiString(Frames("a|bcd"));
  EXPECT_TRUE(buffer.InsertAnsiString(Frames("F|")));
  EXPECT_EQ(Held(), Frames("a|F|bcd"));
}

TEST_F(CircularBufferTest, WaitingFramesSurviveClearAndKeepTheirOrder) {
  buffer.WriteAnsiString("partial");
  ASSERT_TRUE(buffer.InsertAnsiString(Frames("1|")));
  buffer.Clear();
  ASSERT_TRUE(buffer.BufferCleared());
  ASSERT_TRUE(buffer.InsertAnsiString(Frames("2|")));
  ASSERT_TRUE(buffer.WriteAnsiString("xy"));
  EXPECT_EQ(Held(), Frames("1|2|xy"));

  // Waiting frames go first when the next write finds the buffer empty.
  buffer.ConfirmPeekedData(buffer.GetAmount());
  buffer.WriteAnsiString("z");
  buffer.InsertAnsiString(Frames("3|"));
  buffer.ReadAnsiString(1);
  ASSERT_TRUE(buffer.Write(Bytes("new")));
  EXPECT_EQ(Held(), Frames("3|new"));
}

TEST_F(CircularBufferTest, WaitingFramesCountAgainstTheSpace) {
  ASSERT_TRUE(buffer.WriteAnsiString(std::string(kCap - 6, 'a')));
  EXPECT_TRUE(buffer.InsertAnsiString(Frames("12|")));
  EXPECT_FALSE(buffer.InsertAnsiString(Frames("3456|")));
  // The frame end would let the waiting frame in: all of it must fit, or nothing is written.
  EXPECT_FALSE(buffer.WriteAnsiString(Frames("b|cd")));
  EXPECT_EQ(buffer.GetAmount(), kCap - 6);
  EXPECT_TRUE(buffer.WriteAnsiString(Frames("b|c")));
  EXPECT_EQ(buffer.GetAmount(), kCap);
  EXPECT_EQ(buffer.PeekAnsiString(kCap).substr(kCap - 6), Frames("b|12|c"));
}

TEST_F(CircularBufferTest, WriteSignalsTheEventAndStampsTheTime) {
  EXPECT_EQ(buffer.ReceivedTime(), TVQ_Clock::Wall::time_point{});
  const auto before = SystemClock().WallNow();
  ASSERT_TRUE(buffer.WriteAnsiString("a"));
  EXPECT_TRUE(event.IsSet());
  // The stamp comes from the coarse wall clock: a few milliseconds behind.
  const auto stamped = buffer.ReceivedTime();
  EXPECT_GE(stamped, before - std::chrono::milliseconds(100));
  EXPECT_LE(stamped, SystemClock().WallNow());

  event.Reset();
  EXPECT_FALSE(buffer.WriteAnsiString(std::string(kCap, 'b')));
  EXPECT_FALSE(event.IsSet());
  EXPECT_EQ(buffer.ReceivedTime(), stamped);
}

TEST(CircularBufferWithoutEventOrLock, WorksTheSame) {
  TCircularBuffer ring(-1, nullptr, false);
  EXPECT_EQ(ring.PeekAnsiString(1), "");
  ASSERT_TRUE(ring.WriteAnsiString("abc"));
  EXPECT_EQ(ring.ReadAnsiString(3), "abc");
  ring.WriteAnsiString("d");
  ring.Clear();
  EXPECT_TRUE(ring.BufferCleared());
}

TEST(CircularBufferLog, WritesItsLinesToItsLog) {
  const int logId = NewLog();
  ASSERT_GE(logId, 0);
  const auto folder = std::filesystem::temp_directory_path() / ("zep_ring_log_" + std::to_string(getpid()));
  std::filesystem::create_directories(folder);
  const auto file = folder / "ring.log";
  SetLogFile(logId, file.string(), false);
  ASSERT_TRUE(LogWanted(logId)) << GetLogError(logId);

  TCircularBuffer ring(logId, nullptr, true);
  ring.Clear();
  ring.SetNoEOL();
  ring.WriteAnsiString("a");
  ring.Clear();
  ring.SetReceivedDataIgnored();
  char c = 0;
  ring.PeekChar(c);
  ring.PeekData(1);
  ring.PeekAnsiString(1);
  const std::string written = FindLogger(logId)->InternLogFileName();
  SetLogFile(logId, "", false);

  const std::string log = ReadFile(written);
  for (const char* line : {
           "CircularBuffer.Clear: without set BufferCleared",
           "CircularBuffer.SetNoEOL",
           "CircularBuffer.Clear: set BufferCleared",
           "CircularBuffer.PeekChar nichts liefern, BufferCleared",
           "CircularBuffer.PeekData nichts liefern, BufferCleared",
           "CircularBuffer.PeekAnsiString nichts liefern, BufferCleared",
       }) {
    EXPECT_NE(log.find(line), std::string::npos) << line;
  }
  // The flag was still set: nothing to log.
  EXPECT_EQ(log.find("SetReceivedDataIgnored"), std::string::npos);
  std::filesystem::remove_all(folder);
}

// ---- CDC block --------------------------------------------------------------

std::string BigEndian(uint32_t word) {
  return {static_cast<char>(word >> 24), static_cast<char>(word >> 16), static_cast<char>(word >> 8),
          static_cast<char>(word)};
}

std::string Block(const TCDCBlockHeader& h, const std::string& data) {
  std::string bytes;
  for (uint32_t word : {h.Magic, h.Size, h.ByteCount, h.Offset, h.Flags, h.WritePtr, h.ReadPtr, h.Reserved}) {
    bytes += BigEndian(word);
  }
  return bytes + data;
}

TCDCBlockHeader Header(uint32_t size, uint32_t offset, uint32_t byteCount) {
  TCDCBlockHeader h;
  h.Magic = kCDCMagic;
  h.Size = size;
  h.Offset = offset;
  h.ByteCount = byteCount;
  return h;
}

TEST(CDCBlockHeader, ValidOnlyWithPowerOfTwoSizeAndPayloadInside) {
  struct Case {
    uint32_t size;
    uint32_t offset;
    uint32_t byteCount;
    bool valid;
  };
  const Case cases[] = {
      {512, 1000, 20, true},  // payload 488 bytes in
      {512, 1000, 100, false},
      {512, 0, 512, true},
      {512, 1, 512, false},
      {1, 0, 1, true},
      {kCDCMaxDataSize, 0, kCDCMaxDataSize, true},
      {kCDCMaxDataSize * 2, 0, 16, false},
      {0x80000000, 0, 16, false},
      {0, 5, 0, false},
      {500, 0, 10, false},
      {768, 0, 10, false},
      {512, 511, 0xFFFFFE01, false},  // 511 + ByteCount wraps to 0 in 32 bits
      {512, 0, 0xFFFFFFFF, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "size " << c.size << " offset " << c.offset << " count " << c.byteCount);
    EXPECT_EQ(Header(c.size, c.offset, c.byteCount).IsValid(), c.valid);
  }
  EXPECT_EQ(Header(512, 1000, 20).PayloadOffset(), 488u);
}

TEST(CDCBlockHeader, ParseTellsShortInvalidAndValid) {
  TCDCBlockHeader parsed;
  const std::string valid = Block(Header(16, 2, 4), "");
  EXPECT_EQ(ParseCDCHeader(valid.substr(0, 31), parsed), TCDCParseResult::TooShort);
  EXPECT_EQ(ParseCDCHeader(valid, parsed), TCDCParseResult::Valid);
  EXPECT_EQ(parsed.Size, 16u);
  EXPECT_EQ(parsed.Offset, 2u);
  EXPECT_EQ(parsed.ByteCount, 4u);

  TCDCBlockHeader badMagic = Header(16, 2, 4);
  badMagic.Magic = 0xBFBFBFBE;
  EXPECT_EQ(ParseCDCHeader(Block(badMagic, ""), parsed), TCDCParseResult::Invalid);
  EXPECT_EQ(parsed.Magic, 0xBFBFBFBEu) << "an invalid header is still filled in for the log";
}

TEST(CDCBlockHeader, TakesTheWholeBlockFromTheFront) {
  TCDCBlockHeader h = Header(16, 16 + 3, 5);
  h.Flags = TCDCBlockHeader::kFlagToolsData;
  const std::string block = Block(h, "0123456789ABCDEF");
  EXPECT_FALSE(HasWholeCDCBlock(block.substr(0, block.size() - 1)));
  EXPECT_TRUE(HasWholeCDCBlock(block));

  std::string stream = block.substr(0, block.size() - 1);
  TCDCBlockHeader taken;
  std::string payload;
  EXPECT_FALSE(TakeCDCBlock(stream, taken, payload));
  EXPECT_EQ(stream.size(), block.size() - 1);

  stream = block + "next";
  ASSERT_TRUE(TakeCDCBlock(stream, taken, payload));
  EXPECT_EQ(payload, "34567");
  EXPECT_EQ(stream, "next");
  EXPECT_TRUE(taken.HasFlag(TCDCBlockHeader::kFlagToolsData));

  std::string invalid = Block(Header(16, 15, 5), "0123456789ABCDEF");
  EXPECT_FALSE(HasWholeCDCBlock(invalid));
  EXPECT_FALSE(TakeCDCBlock(invalid, taken, payload));
}

TEST(CDCBlockHeader, DerivedValues) {
  struct Case {
    uint32_t writePtr;
    uint32_t readPtr;
    uint32_t userNumber;
    uint32_t counterAmount;
  };
  const Case cases[] = {
      {0x00000100, 0x00000080, 1, 0x80},
      {0x00060100, 0x00000080, 4, 0x80},    // user bits 17..18 below $70000000
      {0x00000000, 0x0001FFFF, 1, 1},       // wrapped: the pointers count modulo $20000
      {0x70080010, 0x7007FFF0, 2, 0x20},    // user bits 19..20 and 19-bit pointers from $70000000
      {0x6FFFFFFF, 0x00000000, 4, 0x1FFFF}, // last value of the small layout
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.writePtr << " " << c.readPtr);
    TCDCBlockHeader h;
    h.WritePtr = c.writePtr;
    h.ReadPtr = c.readPtr;
    EXPECT_EQ(h.UserNumber(), c.userNumber);
    EXPECT_EQ(h.CounterBufferAmount(), c.counterAmount);
  }

  TCDCBlockHeader h = Header(512, 5, 20);
  h.ReadPtr = 0xFFF10019;
  h.Flags = 0x123456 << 8;
  EXPECT_EQ(h.RepeatAddress(), 0x30010019u);
  EXPECT_TRUE(h.ReconnectConsistent());  // $0019 - 5 - 20 = 0 in the low 16 bits
  h.ByteCount = 21;
  EXPECT_FALSE(h.ReconnectConsistent());
  EXPECT_EQ(h.ChannelSelection(), 0x123456u);
}

TEST(CDCBlockHeader, DebugTexts) {
  TCDCBlockHeader h = Header(512, 1000, 20);
  h.Flags = 0xABCDEF06;
  h.WritePtr = 0x1;
  h.ReadPtr = 0x00ABCDEF;
  EXPECT_EQ(h.WordsText(), "BFBFBFBF, 00000200, 00000014, 000003E8, ABCDEF06, 00000001, 00ABCDEF, 00000000");
  EXPECT_EQ(h.InfoText(), "CDC ByteCount=20, Offset=488, Flags=ABCDEF.06 ToolsData");
  h.Flags = 0x00000101;
  EXPECT_EQ(h.InfoText(), "CDC ByteCount=20, Offset=488, Flags=000001.01");
}

TEST(ToolsDataCommand, SecondByteRanges) {
  struct Case {
    std::string command;
    bool tools;
  };
  const Case cases[] = {
      {"\x85\x38", true},  {"\x85\x3E", true},  {"\x85\x40", true},  {"\x85\x42", true},
      {"\x85\x44", true},  {"\x85\x41" "abc", true},
      {"\x85\x37", false}, {"\x85\x3F", false}, {"\x85\x43", false}, {"\x85\x45", false},
      {"\x86\x38", false}, {"\x85", false},     {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(IsToolsDataCommand(c.command), c.tools) << HexDump(c.command);
}

// ---- string ring ------------------------------------------------------------

TEST(CircularStringBuffer, KeepsTheNewestAndDropsTheOldest) {
  TCircularStringBuffer ring(3, -1);
  EXPECT_EQ(ring.Size(), 3);
  EXPECT_EQ(ring.Add("a"), 0);
  EXPECT_EQ(ring.Add("b"), 1);
  EXPECT_EQ(ring.Add("c"), 2);
  EXPECT_EQ(ring.AvailableSpace(), 0);
  EXPECT_EQ(ring.Add("d"), 0);
  EXPECT_EQ(ring.Count(), 3);
  const std::vector<std::string> expected = {"b", "c", "d", "", ""};
  const int indices[] = {0, 1, 2, 3, -1};
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(ring.GetValue(indices[i]), expected[i]) << indices[i];

  ring.ClearOldest(2);
  EXPECT_EQ(ring.Count(), 1);
  EXPECT_EQ(ring.GetValue(0), "d");
  ring.ClearOldest(-1);
  EXPECT_EQ(ring.Count(), 1);
  ring.Add("e");
  ring.ClearOldest(10);
  EXPECT_EQ(ring.Count(), 0);
  EXPECT_EQ(ring.AvailableSpace(), 3);

  ring.Add("f");
  ring.Clear();
  EXPECT_EQ(ring.Count(), 0);
  EXPECT_EQ(ring.GetValue(0), "");
  EXPECT_EQ(ring.Add("g"), 0);
}

TEST(CircularStringBuffer, SizeBelowOneHoldsOne) {
  TCircularStringBuffer ring(0, -1);
  EXPECT_EQ(ring.Size(), 1);
  ring.Add("a");
  ring.Add("b");
  EXPECT_EQ(ring.Count(), 1);
  EXPECT_EQ(ring.GetValue(0), "b");
}

}  // namespace
