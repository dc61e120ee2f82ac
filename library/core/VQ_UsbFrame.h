#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The frame of the Coldfire byte stream over USB (and the network device):
//
//   E  L  payload...  C  $BF
//
// E counts the escape pairs in the frame; L is the byte count of L, payload
// and C (0..3 stand for 256..259); C makes (L + payload + C) mod 256 zero.
// Every byte of L, payload and C in $BC..$BF travels as $BC, value + 4.
// These functions are pure: the report layer peeks bytes, asks how long the
// frame is, peeks that many and decodes them.

inline constexpr uint8_t kUsbEscape = 0xBC;
inline constexpr uint8_t kUsbIllegal = 0xBE;
inline constexpr uint8_t kUsbFrameEnd = 0xBF;
inline constexpr uint8_t kUsbFrameEndAlt = 0xBD;
// L, payload and C of the longest frame (L = 3 stands for 259).
inline constexpr uint32_t kUsbMaxLength = 259;
inline constexpr uint32_t kUsbMaxPayload = kUsbMaxLength - 2;
// A report starts with its two code bytes; shorter payloads would give the
// length bytes 2 and 3, which stand for 258 and 259.
inline constexpr uint32_t kUsbMinPayload = 2;

constexpr bool IsUsbFrameEnd(uint8_t b) { return b == kUsbFrameEnd || b == kUsbFrameEndAlt; }

// Payload (report code or data header, then data) framed with its frame end;
// empty for a payload outside kUsbMinPayload..kUsbMaxPayload.
std::string BuildUsbFrame(std::string_view payload);

// The frames a transport inserts itself: the channel selection (7021 with the
// 24-bit selection, high byte first) and the USB read error (7F21 with its text).
std::string BuildUsbChannelSelectionFrame(uint32_t selection);
std::string BuildUsbReadErrorFrame();

struct TUsbFrameSize {
  enum class TKind { NeedMore, Size, Invalid } Kind;
  // Size: bytes before the frame end (1 + L + E); NeedMore: header bytes needed.
  uint32_t Bytes = 0;
};

// The size of the frame whose first bytes are `head`. An escaped length byte
// needs three header bytes; an escape pair that restores no $BC..$BF value is
// invalid.
TUsbFrameSize UsbFrameSize(std::string_view head);

enum class TUsbFrameStatus {
  Complete,       // Report holds the payload without checksum
  UnexpectedEnd,  // a frame end inside the frame
  IllegalByte,    // $BE inside the frame
  ChecksumError,
  Truncated,      // the frame ended inside an escape pair or its length is wrong
};

struct TUsbFrameDecode {
  TUsbFrameStatus Status = TUsbFrameStatus::Truncated;
  // Complete: the report; otherwise the bytes decoded so far (for the log).
  std::string Report;
  // Bytes of the frame examined, to be consumed.
  uint32_t Consumed = 0;
  // ChecksumError: the length, the sum found and the checksum byte claimed.
  uint32_t Length = 0;
  uint8_t SumFound = 0;
  uint8_t ChkClaimed = 0;
};

// Decodes one whole frame (the UsbFrameSize().Bytes bytes, without the frame
// end). Never reads outside `frame`.
TUsbFrameDecode DecodeUsbFrame(std::string_view frame);
