#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Pure cutting of three small framings into reports: the TCP text stream of
// another instance's data server, its archive stream, and the simulated
// counter's frames. Each takes the bytes the report layer has peeked and says
// how long the frame is, whether more bytes are needed, or that the bytes are
// no frame.

enum class TFrameCut { NeedMore, Size, Invalid };

struct TFrameSize {
  TFrameCut Cut = TFrameCut::NeedMore;
  uint32_t Bytes = 0;    // Size: the whole frame; NeedMore: bytes to peek at least
  uint32_t Header = 0;   // Size: bytes before the payload
};

// ---- TCP text stream: $01, payload length in decimal digits, $02, payload ----

inline constexpr uint8_t kTcpStart = 0x01;
inline constexpr uint8_t kTcpLengthEnd = 0x02;
// $01, at most five digits and $02 fit in the header bytes looked at.
inline constexpr uint32_t kTcpHeaderPeek = 8;
// Six digits at most; checked anyway, since a message must fit whole into a
// receive buffer of 1 MiB to be peeked at all.
inline constexpr uint32_t kTcpMaxPayload = 999999;

// Looks at the first kTcpHeaderPeek bytes (fewer when fewer are there). A
// message is complete once Bytes are present; Invalid for a missing $01 or
// $02, digits that are no length, or a length beyond kTcpMaxPayload.
TFrameSize TcpTextFrameSize(std::string_view head);
// Where the next message may start (the next $01), or npos.
std::size_t TcpTextResyncOffset(std::string_view bytes);

// ---- TCP archive stream: length byte N, then N bytes of binary report ----

TFrameSize TcpArchiveFrameSize(std::string_view head);

// ---- simulated counter frames ----
//   data:   $FB $FB $FB $FB, interval + 16 x mode, 16 x scrambler, n, n doubles (LE)
//   report: $FB $FB $FB $FC, code high, code low, N, N payload bytes

inline constexpr uint8_t kDemoMarker = 0xFB;
inline constexpr uint32_t kDemoMarkerData = 0xFBFBFBFB;
inline constexpr uint32_t kDemoMarkerReport = 0xFBFBFBFC;
inline constexpr uint32_t kDemoHeader = 7;
// The resynchronisation looks this far for the next marker.
inline constexpr uint32_t kDemoResyncPeek = 260;

// Invalid for an unknown marker (see DemoFrameMarker for the log).
TFrameSize DemoFrameSize(std::string_view head);
uint32_t DemoFrameMarker(std::string_view head);  // the first four bytes, high first
// The binary report of a whole frame: the data header (bytes 4 and 5) and the
// doubles, or the code and the payload.
std::string DemoFrameReport(std::string_view frame);
// Bytes to drop before the first place from `from` on where a marker starts
// (or a marker's first bytes end the bytes); npos when there is none. After a
// bad marker at the start of `bytes`, `from` is 1, so resynchronisation always
// moves on; after everything held was dropped, the next bytes start at 0.
std::size_t DemoResyncOffset(std::string_view bytes, std::size_t from = 1);
