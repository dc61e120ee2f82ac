// Arbitrary bytes through the TCP text, TCP archive and simulated framings, cut
// the way the report layer cuts them: sizes must stay consistent and every
// resynchronisation must move on.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "library/core/VQ_StreamFrames.h"

namespace {

template <typename TSize, typename TResync>
void Cut(std::string_view rest, TSize size, TResync resync) {
  while (!rest.empty()) {
    const TFrameSize frame = size(rest);
    if (frame.Cut == TFrameCut::NeedMore) return;
    if (frame.Cut == TFrameCut::Size) {
      if (frame.Header == 0 || frame.Bytes < frame.Header) std::abort();
      if (frame.Bytes > rest.size()) return;
      rest.remove_prefix(frame.Bytes);
      continue;
    }
    const std::size_t skip = resync(rest);
    if (skip == 0) std::abort();  // no progress
    if (skip == std::string_view::npos) return;
    rest.remove_prefix(skip);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Cut(bytes, TcpTextFrameSize, [](std::string_view b) {
    const std::size_t next = TcpTextResyncOffset(b.substr(1));
    return next == std::string_view::npos ? next : next + 1;
  });
  Cut(bytes, TcpArchiveFrameSize, [](std::string_view) { return std::string_view::npos; });
  Cut(bytes, DemoFrameSize, [](std::string_view b) { return DemoResyncOffset(b); });
  for (std::size_t n = 0; n <= bytes.size() && n < 64; ++n) (void)DemoFrameReport(bytes.substr(0, n));
  return 0;
}
