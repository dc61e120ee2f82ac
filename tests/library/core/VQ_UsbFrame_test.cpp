#include "library/core/VQ_UsbFrame.h"

#include <gtest/gtest.h>

#include <random>

#include "library/core/VQ_DllCommon.h"

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

// The frame without its frame end, as the report layer hands it over.
std::string_view Body(const std::string& frame) { return std::string_view(frame).substr(0, frame.size() - 1); }

TEST(UsbFrameBuilder, EscapesLengthPayloadAndChecksum) {
  struct Case {
    const char* name;
    std::string payload;
    std::string frame;
  };
  const Case cases[] = {
      {"tick", Bytes({0x70, 0x00}), Bytes({0x00, 0x04, 0x70, 0x00, 0x8C, 0xBF})},
      {"illegal byte in payload", Bytes({0x70, 0xBE}),
       Bytes({0x01, 0x04, 0x70, 0xBC, 0xC2, 0xCE, 0xBF})},
      {"escape in checksum", Bytes({0x70, 0xD0}), Bytes({0x01, 0x04, 0x70, 0xD0, 0xBC, 0xC0, 0xBF})},
  };
  for (const Case& c : cases) EXPECT_EQ(HexDump(BuildUsbFrame(c.payload)), HexDump(c.frame)) << c.name;
  EXPECT_EQ(BuildUsbFrame(std::string(kUsbMaxPayload + 1, 'x')), "");
  EXPECT_EQ(BuildUsbFrame("p"), "");  // a length byte of 3 would mean 259
}

TEST(UsbFrameBuilder, FramesTheTransportInserts) {
  EXPECT_EQ(DecodeUsbFrame(Body(BuildUsbChannelSelectionFrame(0x00BF0102))).Report, Bytes({0x70, 0x21, 0xBF, 0x01, 0x02}));
  EXPECT_EQ(DecodeUsbFrame(Body(BuildUsbReadErrorFrame())).Report, "\x7F\x21Read error on USB. USB frames lost");
}

TEST(UsbFrameDecoder, RestoresEveryPayloadTheBuilderFrames) {
  // Every payload length, including those whose length byte is escaped
  // (186..189 bytes) and those whose length wraps (254..257 bytes).
  std::mt19937 random(7);
  for (std::size_t len = 2; len <= kUsbMaxPayload; ++len) {
    std::string payload(len, '\0');
    for (char& c : payload) c = static_cast<char>(random() % 256);
    payload[0] &= 0x7F;
    const std::string frame = BuildUsbFrame(payload);
    const TUsbFrameSize size = UsbFrameSize(frame);
    ASSERT_EQ(size.Kind, TUsbFrameSize::TKind::Size) << len;
    ASSERT_EQ(size.Bytes, frame.size() - 1) << len;
    const TUsbFrameDecode decoded = DecodeUsbFrame(Body(frame));
    ASSERT_EQ(decoded.Status, TUsbFrameStatus::Complete) << len;
    EXPECT_EQ(decoded.Report, payload) << len;
    EXPECT_EQ(decoded.Consumed, size.Bytes) << len;
  }
}

TEST(UsbFrameSize, HeaderCases) {
  using TKind = TUsbFrameSize::TKind;
  struct Case {
    const char* name;
    std::string head;
    TKind kind;
    uint32_t bytes;
  };
  const Case cases[] = {
      {"empty", "", TKind::NeedMore, 2},
      {"escape count only", Bytes({0x00}), TKind::NeedMore, 2},
      {"plain length", Bytes({0x00, 0x04}), TKind::Size, 5},
      {"length 2 is 258", Bytes({0x03, 0x02}), TKind::Size, 1 + 258 + 3},
      {"escaped length waits for its pair", Bytes({0x01, 0xBC}), TKind::NeedMore, 3},
      {"escaped length", Bytes({0x01, 0xBC, 0xC0}), TKind::Size, 1 + 0xBC + 1},
      {"bad escape pair", Bytes({0x01, 0xBC, 0x41}), TKind::Invalid, 0},
      {"raw frame end as length", Bytes({0x00, 0xBF}), TKind::Invalid, 0},
  };
  for (const Case& c : cases) {
    const TUsbFrameSize size = UsbFrameSize(c.head);
    EXPECT_EQ(size.Kind, c.kind) << c.name;
    EXPECT_EQ(size.Bytes, c.bytes) << c.name;
  }
}

TEST(UsbFrameDecoder, Errors) {
  struct Case {
    const char* name;
    std::string frame;  // without frame end
    TUsbFrameStatus status;
    uint32_t consumed;
  };
  const Case cases[] = {
      {"checksum", Bytes({0x00, 0x04, 0x70, 0x00, 0x8D}), TUsbFrameStatus::ChecksumError, 5},
      {"frame end inside", Bytes({0x00, 0x04, 0x70, 0xBF, 0x8C}), TUsbFrameStatus::UnexpectedEnd, 4},
      {"illegal byte", Bytes({0x00, 0x04, 0xBE, 0x00, 0x8C}), TUsbFrameStatus::IllegalByte, 3},
      // An escape as the last byte: its pair would lie outside the frame.
      {"escape at the end", Bytes({0x00, 0x04, 0x70, 0x00, 0xBC}), TUsbFrameStatus::Truncated, 5},
      {"size disagrees", Bytes({0x00, 0x04, 0x70}), TUsbFrameStatus::Truncated, 3},
  };
  for (const Case& c : cases) {
    const TUsbFrameDecode decoded = DecodeUsbFrame(c.frame);
    EXPECT_EQ(decoded.Status, c.status) << c.name;
    EXPECT_EQ(decoded.Consumed, c.consumed) << c.name;
  }
  const TUsbFrameDecode bad = DecodeUsbFrame(Bytes({0x00, 0x04, 0x70, 0x00, 0x8D}));
  EXPECT_EQ(bad.Length, 4u);
  EXPECT_EQ(bad.SumFound, 0x01);
  EXPECT_EQ(bad.ChkClaimed, 0x8D);
}

TEST(UsbFrameDecoder, LostDataReportsCheckSevenBitsOfTheSum) {
  // Header $8A $00 with a checksum that is right in the low seven bits only.
  std::string payload = Bytes({0x8A, 0x00, 0x01});
  std::string frame = BuildUsbFrame(payload);
  const std::size_t checksumAt = frame.size() - 2;
  frame[checksumAt] = static_cast<char>(static_cast<uint8_t>(frame[checksumAt]) ^ 0x80);
  const TUsbFrameDecode decoded = DecodeUsbFrame(Body(frame));
  EXPECT_EQ(decoded.Status, TUsbFrameStatus::Complete);
  EXPECT_EQ(decoded.Report, payload);

  // Without bit 7 in the first byte the same flip is a checksum error.
  payload[0] = 0x0A;
  frame = BuildUsbFrame(payload);
  frame[checksumAt] = static_cast<char>(static_cast<uint8_t>(frame[checksumAt]) ^ 0x80);
  EXPECT_EQ(DecodeUsbFrame(Body(frame)).Status, TUsbFrameStatus::ChecksumError);
}

}  // namespace
