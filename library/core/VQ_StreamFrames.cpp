#include "library/core/VQ_StreamFrames.h"

#include <charconv>

namespace {

uint8_t At(std::string_view bytes, std::size_t i) { return static_cast<uint8_t>(bytes[i]); }

TFrameSize NeedMore(uint32_t bytes) { return {TFrameCut::NeedMore, bytes, 0}; }
TFrameSize Invalid() { return {TFrameCut::Invalid, 0, 0}; }
TFrameSize Whole(uint32_t header, uint64_t payload) {
  return {TFrameCut::Size, static_cast<uint32_t>(header + payload), header};
}

}  // namespace

TFrameSize TcpTextFrameSize(std::string_view head) {
  if (head.empty()) return NeedMore(1);
  if (At(head, 0) != kTcpStart) return Invalid();
  head = head.substr(0, kTcpHeaderPeek);
  const std::size_t lengthEnd = head.find(static_cast<char>(kTcpLengthEnd), 1);
  if (lengthEnd == std::string_view::npos)
    return head.size() < kTcpHeaderPeek ? NeedMore(static_cast<uint32_t>(head.size()) + 1) : Invalid();
  const std::string_view digits = head.substr(1, lengthEnd - 1);
  uint32_t length = 0;
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), length);
  if (digits.empty() || ec != std::errc{} || end != digits.data() + digits.size() || length > kTcpMaxPayload)
    return Invalid();
  return Whole(static_cast<uint32_t>(lengthEnd + 1), length);
}

std::size_t TcpTextResyncOffset(std::string_view bytes) { return bytes.find(static_cast<char>(kTcpStart)); }

TFrameSize TcpArchiveFrameSize(std::string_view head) {
  if (head.empty()) return NeedMore(1);
  return Whole(1, At(head, 0));
}

uint32_t DemoFrameMarker(std::string_view head) {
  uint32_t marker = 0;
  for (std::size_t i = 0; i < 4 && i < head.size(); ++i) marker = marker << 8 | At(head, i);
  return marker;
}

TFrameSize DemoFrameSize(std::string_view head) {
  if (head.size() < kDemoHeader) return NeedMore(kDemoHeader);
  const uint8_t count = At(head, 6);
  switch (DemoFrameMarker(head)) {
    case kDemoMarkerData: return Whole(kDemoHeader, 8u * count);
    case kDemoMarkerReport: return Whole(kDemoHeader, count);
    default: return Invalid();
  }
}

std::string DemoFrameReport(std::string_view frame) {
  const TFrameSize size = DemoFrameSize(frame);
  if (size.Cut != TFrameCut::Size || frame.size() < size.Bytes) return {};
  std::string report(frame.substr(4, 2));
  report.append(frame.substr(kDemoHeader, size.Bytes - kDemoHeader));
  return report;
}

namespace {

// `bytes` (at most four) are the start of a data or report marker.
bool IsDemoMarkerStart(std::string_view bytes) {
  for (std::size_t k = 0; k < bytes.size(); ++k) {
    const uint8_t b = At(bytes, k);
    if (b != kDemoMarker && !(k == 3 && b == (kDemoMarkerReport & 0xFF))) return false;
  }
  return true;
}

}  // namespace

std::size_t DemoResyncOffset(std::string_view bytes, std::size_t from) {
  for (std::size_t i = from; i < bytes.size(); ++i) {
    if (IsDemoMarkerStart(bytes.substr(i, 4))) return i;
  }
  return std::string_view::npos;
}
