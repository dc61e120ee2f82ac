#include "library/core/VQ_RecordingFraming.h"

#include <gtest/gtest.h>

#include <string>

#include "library/core/VQ_SerialFrame.h"
#include "library/core/VQ_UsbFrame.h"
#include "support/EspRecordBuilder.h"

namespace {

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s += static_cast<char>(v);
  return s;
}

const std::string kTick = Bytes({0x70, 0x00});
const std::string kStamp = Bytes({0x70, 0x15, 0, 0, 1, 0x2C});
// 252 payload bytes 00..FB, some of them escaped: a long frame to cut.
std::string LongPayload() {
  std::string p = Bytes({0x09, 0x00});
  for (int i = 0; i < 252; ++i) p += static_cast<char>(i);
  return p;
}

std::string Usb(const std::string& payload) { return BuildUsbFrame(payload); }
std::string UsbBadChecksum(const std::string& payload) {
  std::string frame = BuildUsbFrame(payload);
  frame[frame.size() - 2] = static_cast<char>(frame[frame.size() - 2] ^ 0x01);
  return frame;
}

std::string Esp(uint16_t fpgaTime) { return EspRecordBuilder(0x06).Word(fpgaTime).Value(fpgaTime).Bytes(); }
std::string EspBadChecksum(uint16_t fpgaTime) {
  return EspRecordBuilder(0x06).Word(fpgaTime).Value(fpgaTime).BreakCheckSum().Bytes();
}

std::string Tail(const std::string& s, std::size_t n) { return s.substr(s.size() - n); }

struct TCase {
  const char* name;
  std::string bytes;
  bool complete;
  TRecordingFraming framing;
  std::size_t start;
  std::size_t skip;
};

TEST(RecordingFraming, ChoosesTheFramingOfTwoWholeFramesAfterTheDamage) {
  using F = TRecordingFraming;
  const std::string usbRun = Usb(kStamp) + Usb(kTick) + Usb(kStamp);
  const std::string usbCut = Tail(Usb(LongPayload()), 40);
  const std::string usbBad = UsbBadChecksum(kStamp);
  const std::string espRun = Esp(0) + Esp(100) + Esp(200);
  const std::string espCut = Esp(900).substr(9);
  const std::string espBad = EspBadChecksum(300);
  const std::string serialRun = BuildSerialFrame(kStamp, 0xBF) + BuildSerialFrame(kTick, 0xBD) +
                                BuildSerialFrame(LongPayload(), 0xBF) + BuildSerialFrame(kStamp, 0xBD);
  const TCase cases[] = {
      {"usb from the start", usbRun, true, F::Usb, 0, 0},
      {"usb cut by the start", usbCut + usbRun, true, F::Usb, 40, 40},
      {"usb first frame damaged", usbBad + usbRun, true, F::Usb, usbBad.size(), 0},
      {"usb second frame damaged", Usb(kTick) + usbBad + usbRun, true, F::Usb, 6 + usbBad.size(), 0},
      {"usb cut, then damaged", usbCut + usbBad + usbRun, true, F::Usb, 40 + usbBad.size(), 40},
      {"usb frame end first", "\xBF" + usbRun, true, F::Usb, 1, 1},
      {"usb one frame, then the end", Usb(kTick), true, F::Usb, 0, 0},
      {"usb one frame, then a frame without its end", Usb(kTick) + Usb(kStamp).substr(0, 6), true, F::Usb, 0, 0},
      {"usb one frame of a longer recording", Usb(kTick), false, F::Serial, 0, 0},
      {"usb damaged frames only", usbBad + usbBad + usbBad, true, F::Serial, 0, 0},
      {"esp from the start", espRun, true, F::Esp, 0, 0},
      {"esp cut by the start", espCut + espRun, true, F::Esp, espCut.size(), espCut.size()},
      {"esp first record damaged", espBad + espRun, true, F::Esp, espBad.size(), 0},
      {"esp cut, then damaged", espCut + espBad + espRun, true, F::Esp, espCut.size() + espBad.size(),
       espCut.size()},
      // The magic at the front announces more than lies before the whole
      // records: reading it would reach into them, so it is dropped.
      {"esp magic of a cut record", Esp(900).substr(0, 20) + espRun, true, F::Esp, 20, 20},
      {"esp too many values", EspRecordBuilder(0x06).ValueCount(25).Bytes() + espRun, true, F::Esp, 16, 0},
      {"esp one record, then a cut one", Esp(0) + Esp(100).substr(0, 10), true, F::Esp, 0, 0},
      {"esp one record of a longer recording", Esp(0), false, F::Serial, 0, 0},
      {"serial line", serialRun, true, F::Serial, 0, 0},
      {"serial line cut by the start", serialRun.substr(5), true, F::Serial, 0, 0},
      {"nothing that decodes", std::string(300, '\x55'), true, F::Serial, 0, 0},
      {"whole frames beyond the look-ahead", std::string(kRecordingLookAhead, '\x55') + usbRun, true, F::Serial, 0, 0},
  };
  for (const TCase& c : cases) {
    const TRecordingDetection found = DetectRecordingFraming(c.bytes, c.complete);
    EXPECT_EQ(found.Framing, c.framing) << c.name;
    EXPECT_EQ(found.Start, c.start) << c.name;
    EXPECT_EQ(found.Skip, c.skip) << c.name;
  }
}

// Every prefix of a recording: a decision is always made, and whatever it
// skips lies before where it starts, inside the bytes.
TEST(RecordingFraming, EveryPrefixGivesADecisionInsideTheBytes) {
  const std::string stream = Tail(Usb(LongPayload()), 40) + UsbBadChecksum(kStamp) + Usb(kStamp) + Usb(kTick) +
                             EspBadChecksum(1) + Esp(0) + Esp(100);
  for (std::size_t n = 0; n <= stream.size(); ++n) {
    for (const bool complete : {false, true}) {
      const TRecordingDetection found = DetectRecordingFraming(std::string_view(stream).substr(0, n), complete);
      EXPECT_LE(found.Skip, found.Start) << n;
      EXPECT_LE(found.Start, n) << n;
    }
  }
}

}  // namespace
