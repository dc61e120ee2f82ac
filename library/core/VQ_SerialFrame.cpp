#include "library/core/VQ_SerialFrame.h"

#include "library/core/VQ_UsbFrame.h"

namespace {

constexpr bool IsFrameEnd(uint8_t b) { return b == 0xBD || b == 0xBF; }
constexpr uint8_t NakFor(uint8_t frameEnd) { return static_cast<uint8_t>(frameEnd & ~1u); }

}  // namespace

TVQ_SerialFramer::TEvent TVQ_SerialFramer::Feed(uint8_t b) {
  if (b == kEscape) {
    FEscaped = true;
    return TEvent::None;
  }
  if (b == kIllegal) return TEvent::IllegalByte;
  if (!IsFrameEnd(b)) {
    const auto value = static_cast<uint8_t>(FEscaped ? b - 4 : b);
    FEscaped = false;
    if (FFrame.size() >= kMaxFrame) {
      ++FDropped;
      return TEvent::TooLong;
    }
    FFrame += static_cast<char>(value);
    FCheckSum = static_cast<uint8_t>(FCheckSum + value);
    return TEvent::None;
  }

  // A frame end.
  if (!HasPartialFrame()) {
    FAnswer = b == FLastEOL ? FLastAckn : NakFor(b);
    return b == FLastEOL ? TEvent::RepeatAnswer : TEvent::StrayEnd;
  }
  FLastEOL = b;
  const auto first = static_cast<uint8_t>(FFrame.empty() ? 0 : FFrame[0]);
  FLenClaimed = first < 4 ? first + 256u : first;
  FLenFound = Count();
  FChkFound = FCheckSum;
  FChkClaimed = static_cast<uint8_t>(FFrame.empty() ? 0 : FFrame.back());
  const bool good = FLenFound == FLenClaimed && FCheckSum == 0 && FFrame.size() >= 2;
  if (good) {
    FReport.assign(FFrame, 1, FFrame.size() - 2);
    FLastAckn = b;
  } else {
    FLastAckn = NakFor(b);
  }
  FAnswer = FLastAckn;
  ClearFrame();
  return good ? TEvent::FrameOk : TEvent::FrameBad;
}

void TVQ_SerialFramer::DropPartialFrame() { ClearFrame(); }

void TVQ_SerialFramer::ClearFrame() {
  FFrame.clear();
  FDropped = 0;
  FCheckSum = 0;
  FEscaped = false;
}

// The serial frame is the USB frame without its escape count, with the
// frame end the line's alternation asks for.
std::string BuildSerialFrame(const std::string& payload, uint8_t frameEnd) {
  std::string frame = BuildUsbFrame(payload);
  if (frame.empty()) return frame;
  frame.erase(0, 1);
  frame.back() = static_cast<char>(frameEnd);
  return frame;
}
