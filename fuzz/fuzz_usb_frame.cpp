// Arbitrary bytes cut into USB frames the way the report layer does it: every
// size and decode must stay inside the bytes given; a frame that decodes must
// come back unchanged through the builder.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "library/core/VQ_UsbFrame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view rest(reinterpret_cast<const char*>(data), size);
  while (!rest.empty()) {
    const TUsbFrameSize frameSize = UsbFrameSize(rest);
    if (frameSize.Kind != TUsbFrameSize::TKind::Size) {
      rest.remove_prefix(1);
      continue;
    }
    if (frameSize.Bytes > rest.size()) return 0;
    const TUsbFrameDecode decoded = DecodeUsbFrame(rest.substr(0, frameSize.Bytes));
    if (decoded.Consumed == 0 || decoded.Consumed > frameSize.Bytes) std::abort();
    if (decoded.Status == TUsbFrameStatus::Complete && decoded.Report.size() >= kUsbMinPayload &&
        decoded.Report.size() <= kUsbMaxPayload) {
      const std::string rebuilt = BuildUsbFrame(decoded.Report);
      const TUsbFrameDecode again = DecodeUsbFrame(std::string_view(rebuilt).substr(0, rebuilt.size() - 1));
      if (again.Status != TUsbFrameStatus::Complete || again.Report != decoded.Report) std::abort();
    }
    rest.remove_prefix(decoded.Consumed);
  }
  return 0;
}
