// Arbitrary bytes as the start of a recording: the decision stays inside the
// bytes (what it skips lies before where it starts), and the run it found
// really starts there with a whole record or frame of its framing.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "library/core/VQ_EspRecord.h"
#include "library/core/VQ_RecordingFraming.h"
#include "library/core/VQ_UsbFrame.h"

namespace {

bool StartsWithWholeRecord(std::string_view bytes) {
  TEspRecord record;
  return ParseEspRecord(bytes, record) == TEspParse::Ok && CheckEspRecord(record) == TEspCheck::Ok;
}

bool StartsWithWholeFrame(std::string_view bytes) {
  const TUsbFrameSize size = UsbFrameSize(bytes);
  return size.Kind == TUsbFrameSize::TKind::Size && size.Bytes < bytes.size() &&
         IsUsbFrameEnd(static_cast<uint8_t>(bytes[size.Bytes])) &&
         DecodeUsbFrame(bytes.substr(0, size.Bytes)).Status == TUsbFrameStatus::Complete;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte says whether the bytes are the whole recording.
  const bool complete = (data[0] & 1) != 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  const TRecordingDetection found = DetectRecordingFraming(bytes, complete);
  if (found.Skip > found.Start || found.Start > bytes.size() || found.Start > kRecordingLookAhead) std::abort();
  const std::string_view run = bytes.substr(found.Start, kRecordingLookAhead - found.Start);
  switch (found.Framing) {
    case TRecordingFraming::Esp:
      if (!StartsWithWholeRecord(run)) std::abort();
      break;
    case TRecordingFraming::Usb:
      if (!StartsWithWholeFrame(run)) std::abort();
      break;
    case TRecordingFraming::Serial:
      if (found.Start != 0 || found.Skip != 0) std::abort();
      break;
  }
  return 0;
}
