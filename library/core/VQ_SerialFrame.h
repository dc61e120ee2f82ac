#pragma once

#include <cstdint>
#include <string>

// The Coldfire frame on a serial line: L, payload, C (each byte in $BC..$BF
// escaped as $BC, value + 4), then a frame end that alternates between $BF and
// $BD. The host answers every frame end: the frame end itself for a good
// frame, the NAK (the frame end with bit 0 cleared: $BC for $BD, $BE for $BF)
// for a bad one, and its last answer again when the counter repeats a frame
// end because that answer was lost.
//
// TVQ_SerialFramer is the byte-by-byte state of that protocol without any I/O:
// the report layer feeds it the bytes it reads and writes the answers it is
// told to write.
class TVQ_SerialFramer {
 public:
  static constexpr uint32_t kMaxFrame = 260;
  static constexpr uint8_t kEscape = 0xBC;
  static constexpr uint8_t kIllegal = 0xBE;

  enum class TEvent {
    None,          // byte taken into the frame
    IllegalByte,   // $BE: a format error; reading goes on
    TooLong,       // a byte beyond kMaxFrame was dropped
    FrameOk,       // Report() holds the frame; answer with Answer() (or a command byte)
    FrameBad,      // length or checksum wrong; answer with Answer() (the NAK)
    RepeatAnswer,  // the counter repeated its frame end: answer again with Answer()
    StrayEnd,      // a frame end that follows no frame and repeats none: answer with Answer() (NAK)
  };

  TEvent Feed(uint8_t b);

  // The frame of the last FrameOk without length byte and checksum.
  const std::string& Report() const { return FReport; }
  // The byte to write for the last frame-end event.
  uint8_t Answer() const { return FAnswer; }
  // FrameBad: what was found and claimed, for the log.
  uint32_t LenFound() const { return FLenFound; }
  uint32_t LenClaimed() const { return FLenClaimed; }
  uint8_t ChkFound() const { return FChkFound; }
  uint8_t ChkClaimed() const { return FChkClaimed; }
  uint32_t Count() const { return static_cast<uint32_t>(FFrame.size()) + FDropped; }

  // The last frame end of a frame, and the answer given to it.
  uint8_t LastEOL() const { return FLastEOL; }
  uint8_t LastAckn() const { return FLastAckn; }

  bool HasPartialFrame() const { return !FFrame.empty() || FDropped > 0; }
  // Forgets a partial frame (after a second of silence the host polls).
  void DropPartialFrame();

 private:
  void ClearFrame();

  std::string FFrame;    // corrected bytes of the frame being received
  uint32_t FDropped = 0; // bytes beyond kMaxFrame
  uint8_t FCheckSum = 0;
  bool FEscaped = false;
  uint8_t FLastEOL = 0xFF;
  uint8_t FLastAckn = 0xFE;
  uint8_t FAnswer = 0;
  std::string FReport;
  uint32_t FLenFound = 0;
  uint32_t FLenClaimed = 0;
  uint8_t FChkFound = 0;
  uint8_t FChkClaimed = 0;
};

// A payload framed for the serial line with the given frame end; empty for a
// payload outside 2..257 bytes, whose length byte would be ambiguous.
std::string BuildSerialFrame(const std::string& payload, uint8_t frameEnd);
