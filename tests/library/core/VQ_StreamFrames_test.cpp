#include "library/core/VQ_StreamFrames.h"

#include <gtest/gtest.h>

#include "library/core/VQ_DllCommon.h"

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

void ExpectSize(const TFrameSize& size, TFrameCut cut, uint32_t bytes, uint32_t header, const std::string& name) {
  EXPECT_EQ(size.Cut, cut) << name;
  EXPECT_EQ(size.Bytes, bytes) << name;
  if (cut == TFrameCut::Size) {
    EXPECT_EQ(size.Header, header) << name;
  }
}

TEST(TcpTextFrame, HeaderCases) {
  struct Case {
    std::string name;
    std::string head;
    TFrameCut cut;
    uint32_t bytes;
    uint32_t header;
  };
  const Case cases[] = {
      {"twelve characters", "\x01" "12\x02" "7015; 123456", TFrameCut::Size, 16, 4},
      // A short message is complete once its $02 is there, even below 8 bytes.
      {"short message", "\x01" "1\x02" "x", TFrameCut::Size, 4, 3},
      {"nothing yet", "", TFrameCut::NeedMore, 1, 0},
      {"length still arriving", "\x01" "12", TFrameCut::NeedMore, 4, 0},
      {"no start byte", "7015; 1\x01", TFrameCut::Invalid, 0, 0},
      {"no $02 within 8 bytes", "\x01" "1234567x", TFrameCut::Invalid, 0, 0},
      {"length no number", "\x01" "1a\x02" "xyz", TFrameCut::Invalid, 0, 0},
      {"empty length", "\x01\x02" "xyz", TFrameCut::Invalid, 0, 0},
      {"negative length", "\x01" "-1\x02" "xyz", TFrameCut::Invalid, 0, 0},
      {"longest length", "\x01" "999999\x02", TFrameCut::Size, 999999 + 8, 8},
      {"seven digits", "\x01" "1000000\x02", TFrameCut::Invalid, 0, 0},
  };
  for (const Case& c : cases) ExpectSize(TcpTextFrameSize(c.head), c.cut, c.bytes, c.header, c.name);
  EXPECT_EQ(TcpTextResyncOffset("xx\x01" "1\x02y"), 2u);
  EXPECT_EQ(TcpTextResyncOffset("xyz"), std::string_view::npos);
}

TEST(TcpArchiveFrame, LengthByteThenReport) {
  ExpectSize(TcpArchiveFrameSize(""), TFrameCut::NeedMore, 1, 0, "empty");
  ExpectSize(TcpArchiveFrameSize(Bytes({6, 0x70})), TFrameCut::Size, 7, 1, "six bytes");
  ExpectSize(TcpArchiveFrameSize(Bytes({255})), TFrameCut::Size, 256, 1, "longest");
}

TEST(DemoFrame, DataAndReportFrames) {
  const std::string data = Bytes({0xFB, 0xFB, 0xFB, 0xFB, 0x16, 0x10, 2}) + std::string(16, '\x11');
  ExpectSize(DemoFrameSize(data), TFrameCut::Size, 23, 7, "data");
  EXPECT_EQ(DemoFrameReport(data), Bytes({0x16, 0x10}) + std::string(16, '\x11'));

  const std::string report = Bytes({0xFB, 0xFB, 0xFB, 0xFC, 0x70, 0x15, 4, 0, 0, 1, 2});
  ExpectSize(DemoFrameSize(report), TFrameCut::Size, 11, 7, "report");
  EXPECT_EQ(HexDump(DemoFrameReport(report)), "701500000102");
  EXPECT_EQ(DemoFrameReport(report.substr(0, 10)), "");  // not whole yet

  ExpectSize(DemoFrameSize(report.substr(0, 6)), TFrameCut::NeedMore, 7, 0, "short header");
  const std::string bad = Bytes({0xFB, 0xFB, 0xFB, 0xFE, 0x70, 0x15, 0});
  ExpectSize(DemoFrameSize(bad), TFrameCut::Invalid, 0, 0, "bad marker");
  EXPECT_EQ(DemoFrameMarker(bad), 0xFBFBFBFEu);
}

TEST(DemoFrame, ResyncMovesToTheNextMarker) {
  struct Case {
    std::string name;
    std::string bytes;
    std::size_t offset;
  };
  const Case cases[] = {
      {"garbage before a data marker", Bytes({0x12, 0x34, 0xFB, 0xFB, 0xFB, 0xFB, 0x16}), 2},
      {"garbage before a report marker", Bytes({0x12, 0xFB, 0xFB, 0xFB, 0xFC}), 1},
      // The bad marker itself is passed over, never offered again.
      {"bad marker then frame", Bytes({0xFB, 0xFB, 0xFB, 0xFE, 0xFB, 0xFB, 0xFB, 0xFB}), 4},
      {"marker still arriving", Bytes({0x12, 0x34, 0xFB, 0xFB}), 2},
      {"no marker", Bytes({0x12, 0xFB, 0x34, 0x56}), std::string_view::npos},
      {"one byte", Bytes({0xFB}), std::string_view::npos},
  };
  for (const Case& c : cases) EXPECT_EQ(DemoResyncOffset(c.bytes), c.offset) << c.name;
}

}  // namespace
