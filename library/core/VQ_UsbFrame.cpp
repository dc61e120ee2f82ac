#include "library/core/VQ_UsbFrame.h"

#include "library/core/VQ_CommonTypes.h"

namespace {

constexpr bool NeedsEscape(uint8_t b) { return b >= kUsbEscape && b <= kUsbFrameEnd; }

void AppendEscaped(std::string& out, uint8_t b, uint8_t& pairs) {
  if (NeedsEscape(b)) {
    out += static_cast<char>(kUsbEscape);
    out += static_cast<char>(b + 4);
    ++pairs;
  } else {
    out += static_cast<char>(b);
  }
}

uint8_t At(std::string_view bytes, std::size_t i) { return static_cast<uint8_t>(bytes[i]); }

// A length byte of 0..3 stands for 256..259.
uint32_t LengthOf(uint8_t l) { return l <= 3 ? l + 256u : l; }

}  // namespace

std::string BuildUsbFrame(std::string_view payload) {
  if (payload.size() < kUsbMinPayload || payload.size() > kUsbMaxPayload) return {};
  const auto length = static_cast<uint8_t>(payload.size() + 2);  // 256..259 wrap to 0..3
  uint8_t sum = length;
  for (char c : payload) sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
  const auto checksum = static_cast<uint8_t>(-sum);

  std::string body;
  body.reserve(2 * payload.size() + 6);
  uint8_t pairs = 0;
  AppendEscaped(body, length, pairs);
  for (char c : payload) AppendEscaped(body, static_cast<uint8_t>(c), pairs);
  AppendEscaped(body, checksum, pairs);

  std::string frame;
  frame.reserve(body.size() + 2);
  frame += static_cast<char>(pairs);
  frame += body;
  frame += static_cast<char>(kUsbFrameEnd);
  return frame;
}

std::string BuildUsbChannelSelectionFrame(uint32_t selection) {
  const char payload[] = {0x70, 0x21, static_cast<char>(selection >> 16 & 0xFF), static_cast<char>(selection >> 8 & 0xFF),
                          static_cast<char>(selection & 0xFF)};
  return BuildUsbFrame(std::string_view(payload, sizeof payload));
}

std::string BuildUsbReadErrorFrame() { return BuildUsbFrame("\x7F\x21" + std::string(VQ_Text::UsbReadError)); }

TUsbFrameSize UsbFrameSize(std::string_view head) {
  using TKind = TUsbFrameSize::TKind;
  if (head.size() < 2) return {TKind::NeedMore, 2};
  const uint8_t escapes = At(head, 0);
  uint8_t l = At(head, 1);
  if (l == kUsbEscape) {
    if (head.size() < 3) return {TKind::NeedMore, 3};
    if (!NeedsEscape(static_cast<uint8_t>(At(head, 2) - 4))) return {TKind::Invalid, 0};
    l = static_cast<uint8_t>(At(head, 2) - 4);
  } else if (NeedsEscape(l)) {
    return {TKind::Invalid, 0};
  }
  return {TKind::Size, 1 + LengthOf(l) + escapes};
}

TUsbFrameDecode DecodeUsbFrame(std::string_view frame) {
  TUsbFrameDecode result;
  const TUsbFrameSize size = UsbFrameSize(frame);
  if (size.Kind != TUsbFrameSize::TKind::Size || size.Bytes != frame.size()) {
    result.Consumed = static_cast<uint32_t>(frame.size());
    return result;
  }
  const bool escapedLength = At(frame, 1) == kUsbEscape;
  const uint8_t l = escapedLength ? static_cast<uint8_t>(At(frame, 2) - 4) : At(frame, 1);
  result.Length = LengthOf(l);
  std::size_t i = escapedLength ? 3 : 2;
  result.Report.reserve(frame.size() - i);
  uint8_t sum = l;
  uint8_t last = 0;
  for (; i < frame.size(); ++i) {
    uint8_t b = At(frame, i);
    if (b == kUsbEscape) {
      if (i + 1 == frame.size()) {
        // The pair's second byte lies outside the frame: its length is wrong.
        result.Consumed = static_cast<uint32_t>(frame.size());
        return result;
      }
      b = static_cast<uint8_t>(At(frame, ++i) - 4);
    } else if (IsUsbFrameEnd(b) || b == kUsbIllegal) {
      result.Status = b == kUsbIllegal ? TUsbFrameStatus::IllegalByte : TUsbFrameStatus::UnexpectedEnd;
      result.Consumed = static_cast<uint32_t>(i + 1);
      return result;
    }
    result.Report += static_cast<char>(b);
    sum = static_cast<uint8_t>(sum + b);
    last = b;
  }
  result.Consumed = static_cast<uint32_t>(frame.size());
  if (result.Report.empty()) return result;

  // Reports whose first byte has bit 7 set (lost-data measurements) only
  // check the low seven bits of the sum.
  const bool sevenBits = (static_cast<uint8_t>(result.Report[0]) & 0x80) != 0;
  const uint8_t checked = sevenBits ? static_cast<uint8_t>(sum & 0x7F) : sum;
  if (checked != 0) {
    result.Status = TUsbFrameStatus::ChecksumError;
    result.SumFound = sum;
    result.ChkClaimed = last;
    return result;
  }
  result.Report.pop_back();  // the checksum byte
  result.Status = TUsbFrameStatus::Complete;
  return result;
}
