// Arbitrary bytes from a serial line through the frame state machine: frames
// stay within their cap and every frame end gets an answer byte.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "library/core/VQ_SerialFrame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TVQ_SerialFramer framer;
  for (size_t i = 0; i < size; ++i) {
    switch (framer.Feed(data[i])) {
      case TVQ_SerialFramer::TEvent::FrameOk:
        if (framer.Report().size() + 2 > TVQ_SerialFramer::kMaxFrame) std::abort();
        if (framer.Answer() != data[i]) std::abort();
        break;
      case TVQ_SerialFramer::TEvent::FrameBad:
      case TVQ_SerialFramer::TEvent::StrayEnd:
        if (framer.Answer() != (data[i] & 0xFE)) std::abort();
        break;
      default:
        break;
    }
    if (data[i] == 0x00 && i % 7 == 0) framer.DropPartialFrame();
  }
  return 0;
}
