#include "library/core/VQ_SerialFrame.h"

#include <gtest/gtest.h>

#include <vector>

#include "library/core/VQ_DllCommon.h"

namespace {

using TEvent = TVQ_SerialFramer::TEvent;

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

// Feeds all bytes and returns the events other than None.
std::vector<TEvent> FeedAll(TVQ_SerialFramer& framer, const std::string& bytes) {
  std::vector<TEvent> events;
  for (char c : bytes) {
    const TEvent e = framer.Feed(static_cast<uint8_t>(c));
    if (e != TEvent::None) events.push_back(e);
  }
  return events;
}

TEST(SerialFrame, BuilderEscapesAndChecksums) {
  EXPECT_EQ(HexDump(BuildSerialFrame(Bytes({0x70, 0x00}), 0xBD)), "0470008CBD");
  EXPECT_EQ(HexDump(BuildSerialFrame(Bytes({0x70, 0xBE}), 0xBF)), "0470BCC2CEBF");
  EXPECT_EQ(BuildSerialFrame("x", 0xBF), "");
}

TEST(SerialFrame, AnswersFollowTheProtocol) {
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<TEvent> events;
    uint8_t answer;
  };
  const std::string good = BuildSerialFrame(Bytes({0x70, 0x15, 0, 0, 0, 7}), 0xBD);
  std::string badChecksum = BuildSerialFrame(Bytes({0x70, 0x00}), 0xBF);
  badChecksum[3] = 0x01;
  const Case cases[] = {
      {"good frame is answered with its frame end", good, {TEvent::FrameOk}, 0xBD},
      {"bad checksum is answered with the NAK", badChecksum, {TEvent::FrameBad}, 0xBE},
      {"repeated frame end gets the last answer again", good + "\xBD", {TEvent::FrameOk, TEvent::RepeatAnswer}, 0xBD},
      {"repeat after a bad frame repeats the NAK", badChecksum + "\xBF", {TEvent::FrameBad, TEvent::RepeatAnswer}, 0xBE},
      {"stray frame end gets the NAK", good + "\xBF", {TEvent::FrameOk, TEvent::StrayEnd}, 0xBE},
      {"illegal byte is reported and reading goes on", Bytes({0x04, 0xBE, 0x70, 0x00, 0x8C, 0xBD}),
       {TEvent::IllegalByte, TEvent::FrameOk}, 0xBD},
  };
  for (const Case& c : cases) {
    TVQ_SerialFramer framer;
    EXPECT_EQ(FeedAll(framer, c.bytes), c.events) << c.name;
    EXPECT_EQ(framer.Answer(), c.answer) << c.name;
  }
}

TEST(SerialFrame, ReportsOfConsecutiveFramesWithAlternatingEnds) {
  TVQ_SerialFramer framer;
  const std::vector<std::string> payloads = {Bytes({0x70, 0x15, 0, 0, 0, 1}), Bytes({0x09, 0x00, 0xBC, 0xBF, 0x11}),
                                             std::string(257, '\x42')};
  uint8_t end = 0xBF;
  for (const std::string& payload : payloads) {
    const std::string frame = BuildSerialFrame(payload, end);
    ASSERT_EQ(FeedAll(framer, frame), std::vector<TEvent>{TEvent::FrameOk});
    EXPECT_EQ(framer.Report(), payload);
    EXPECT_EQ(framer.Answer(), end);
    end = end == 0xBF ? 0xBD : 0xBF;
  }
}

TEST(SerialFrame, OverlongFrameDropsBytesAndFailsItsLength) {
  TVQ_SerialFramer framer;
  std::string frame(261, '\x10');
  frame += '\xBF';
  const std::vector<TEvent> events = FeedAll(framer, frame);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0], TEvent::TooLong);
  EXPECT_EQ(events[1], TEvent::FrameBad);
  EXPECT_EQ(framer.LenFound(), 261u);
  EXPECT_EQ(framer.LenClaimed(), 16u);
}

TEST(SerialFrame, DroppedPartialFrameLeavesNoTrace) {
  TVQ_SerialFramer framer;
  FeedAll(framer, Bytes({0x04, 0x70}));
  EXPECT_TRUE(framer.HasPartialFrame());
  framer.DropPartialFrame();  // a second of silence: the host polls
  EXPECT_FALSE(framer.HasPartialFrame());
  EXPECT_EQ(FeedAll(framer, BuildSerialFrame(Bytes({0x70, 0x00}), 0xBD)), std::vector<TEvent>{TEvent::FrameOk});
  EXPECT_EQ(framer.Report(), Bytes({0x70, 0x00}));
}

TEST(SerialFrame, FrameEndWithoutFrameBeforeAnyFrameIsAStray) {
  TVQ_SerialFramer framer;
  EXPECT_EQ(framer.Feed(0xBD), TEvent::StrayEnd);
  EXPECT_EQ(framer.Answer(), 0xBC);
}

}  // namespace
