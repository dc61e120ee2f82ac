#include "library/core/VQ_RecordingFraming.h"

#include <algorithm>
#include <optional>

#include "library/core/VQ_EspRecord.h"
#include "library/core/VQ_UsbFrame.h"

namespace {

// ---- ESP transmit records -------------------------------------------------------

// Length of the whole record at the front of `bytes` that passes its check.
std::optional<std::size_t> WholeEspRecord(std::string_view bytes) {
  TEspRecord record;
  if (ParseEspRecord(bytes, record) != TEspParse::Ok || CheckEspRecord(record) != TEspCheck::Ok) return std::nullopt;
  return record.Length();
}

// Nothing, or the start of a record that the end of the recording cut.
bool IsEspRecordCutByTheEnd(std::string_view rest) {
  const std::size_t n = std::min(rest.size(), VQ_Esp::Magic.size());
  if (rest.substr(0, n) != VQ_Esp::Magic.substr(0, n)) return false;
  const std::optional<std::size_t> length = EspRecordLength(rest);
  return rest.size() < VQ_Esp::HeaderLength || (length && *length > rest.size());
}

// The bytes before the first whole record: a record whose header they hold is
// read by the framing, which refuses it for its value count or, when they
// hold its length as well, for its checksum; anything else is the tail of a
// record cut by the start, dropped up to the next magic.
std::size_t EspCutLead(std::string_view lead) {
  if (lead.empty()) return 0;
  if (lead.starts_with(VQ_Esp::Magic) && lead.size() >= VQ_Esp::HeaderLength) {
    const std::optional<std::size_t> length = EspRecordLength(lead);
    if (!length || *length <= lead.size()) return 0;
  }
  return std::min(FindEspMagic(lead, 1), lead.size());
}

std::optional<TRecordingDetection> DetectEsp(std::string_view bytes, bool complete) {
  for (std::size_t s = FindEspMagic(bytes); s != std::string_view::npos; s = FindEspMagic(bytes, s + 1)) {
    const std::optional<std::size_t> first = WholeEspRecord(bytes.substr(s));
    if (!first) continue;
    const std::string_view rest = bytes.substr(s + *first);
    if (!WholeEspRecord(rest) && !(complete && IsEspRecordCutByTheEnd(rest))) continue;
    return TRecordingDetection{TRecordingFraming::Esp, s, EspCutLead(bytes.substr(0, s))};
  }
  return std::nullopt;
}

// ---- USB frames -----------------------------------------------------------------

bool IsFrameEndAt(std::string_view bytes, std::size_t i) {
  return i < bytes.size() && IsUsbFrameEnd(static_cast<uint8_t>(bytes[i]));
}

// Bytes of the frame before its frame end, when the front of `bytes` has the
// shape of a frame: its length reaches a frame end.
std::optional<std::size_t> UsbFrameShape(std::string_view bytes) {
  const TUsbFrameSize size = UsbFrameSize(bytes);
  if (size.Kind != TUsbFrameSize::TKind::Size || !IsFrameEndAt(bytes, size.Bytes)) return std::nullopt;
  return size.Bytes;
}

// Length, frame end included, of the whole frame at the front of `bytes`
// that decodes with a good checksum.
std::optional<std::size_t> WholeUsbFrame(std::string_view bytes) {
  const std::optional<std::size_t> shape = UsbFrameShape(bytes);
  if (!shape || DecodeUsbFrame(bytes.substr(0, *shape)).Status != TUsbFrameStatus::Complete) return std::nullopt;
  return *shape + 1;
}

// A frame cut by the end of the recording holds no frame end (a last frame
// whose frame end never came is one of them).
bool IsUsbFrameCutByTheEnd(std::string_view rest) {
  return std::none_of(rest.begin(), rest.end(), [](char c) { return IsUsbFrameEnd(static_cast<uint8_t>(c)); });
}

// The bytes before the first whole frame: a frame whose length reaches a
// frame end is read (and refused) by the framing; anything else is the tail
// of a frame cut by the start, dropped up to and including its frame end.
std::size_t UsbCutLead(std::string_view lead) {
  if (lead.empty() || UsbFrameShape(lead)) return 0;
  const auto end = std::find_if(lead.begin(), lead.end(), [](char c) { return IsUsbFrameEnd(static_cast<uint8_t>(c)); });
  return end == lead.end() ? lead.size() : static_cast<std::size_t>(end - lead.begin()) + 1;
}

// Frames start at the front and after every frame end: no frame end can
// occur inside a frame, where it would be escaped.
std::optional<TRecordingDetection> DetectUsb(std::string_view bytes, bool complete) {
  for (std::size_t s = 0; s < bytes.size(); ++s) {
    if (s > 0 && !IsFrameEndAt(bytes, s - 1)) continue;
    const std::optional<std::size_t> first = WholeUsbFrame(bytes.substr(s));
    if (!first) continue;
    const std::string_view rest = bytes.substr(s + *first);
    if (!WholeUsbFrame(rest) && !(complete && IsUsbFrameCutByTheEnd(rest))) continue;
    return TRecordingDetection{TRecordingFraming::Usb, s, UsbCutLead(bytes.substr(0, s))};
  }
  return std::nullopt;
}

}  // namespace

TRecordingDetection DetectRecordingFraming(std::string_view bytes, bool complete) {
  if (bytes.size() > kRecordingLookAhead) {
    bytes = bytes.substr(0, kRecordingLookAhead);
    complete = false;
  }
  if (auto esp = DetectEsp(bytes, complete)) return *esp;
  if (auto usb = DetectUsb(bytes, complete)) return *usb;
  return TRecordingDetection{};
}
