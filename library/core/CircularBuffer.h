#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "library/platform/VQ_Clock.h"
#include "library/platform/VQ_Event.h"

// Byte ring buffer between a transport thread (writes) and the report layer
// (peeks a frame, checks it, then confirms the bytes it used).
//
// A "buffer cleared" flag tells the reader that bytes were thrown away: while
// it is set every peek delivers nothing, so no frame is ever built across the
// gap; reading BufferCleared() returns it once and clears it.
//
// Frames a transport generates itself (InsertAnsiString) are placed at a frame
// boundary of the Coldfire stream (after a $BD or $BF byte) so they never tear
// a frame that is still arriving.
class TCircularBuffer {
 public:
  static constexpr uint32_t kCapacity = 1u << 20;  // 1 MiB
  static constexpr uint32_t kIndexMask = kCapacity - 1;

  // aReceiveEvent (may be null) is set by every successful write and reset by
  // a peek that finds nothing. The lock exists only when syncNeeded.
  TCircularBuffer(int logID, TVQ_Event* aReceiveEvent, bool syncNeeded);
  TCircularBuffer(const TCircularBuffer&) = delete;
  TCircularBuffer& operator=(const TCircularBuffer&) = delete;

  // Appends all bytes, or nothing (false) when they do not fit. Inserted
  // frames still waiting for a frame end are placed as described at
  // InsertAnsiString.
  bool Write(std::span<const uint8_t> content);
  bool WriteAnsiString(std::string_view content);
  // `len` bytes of `content` starting at `offset`, counted from 1. False and
  // nothing written for offset 0, len 0 or a range beyond the content.
  bool WriteAnsiString(std::string_view content, std::size_t offset, std::size_t len);

  // Places a complete frame after the last frame end held; the bytes of a
  // frame still arriving move behind it. With no frame end held the frame
  // waits and is written right after the first frame end of a later write.
  bool InsertAnsiString(std::string_view content);

  // Peeks deliver exactly the bytes asked for, or nothing (also while the
  // cleared flag is set, and for a length of 0). Nothing is consumed.
  bool PeekChar(char& zeichen);
  std::vector<uint8_t> PeekData(uint32_t len);
  std::string PeekAnsiString(uint32_t len);
  // Without allocation: fills all of `dest`, or returns false.
  bool PeekInto(std::span<uint8_t> dest);

  // Consumes `len` bytes. False and nothing consumed when fewer are held, or
  // when a Clear threw bytes away since the last peek: the bytes now held are
  // not the ones the caller peeked.
  bool ConfirmPeekedData(uint32_t len);
  // Peek and confirm under one lock.
  std::vector<uint8_t> Read(uint32_t len);
  std::string ReadAnsiString(uint32_t len);

  // Discards everything held (sets the cleared flag when that was anything).
  // Inserted frames waiting for a frame end are kept.
  void Clear();
  // Sets the cleared flag without discarding: the bytes held must not be
  // framed together with what came before.
  void SetReceivedDataIgnored();
  // The stream has no frame-end bytes: insertions are simply appended.
  void SetNoEOL();

  uint32_t GetAmount() const;
  // Largest amount held since the buffer was last empty.
  uint32_t HighAmount() const;
  void GetAmounts(uint32_t& amount, uint32_t& highAmount) const;
  uint32_t AvailableSpace() const;
  // The cleared flag; reading it clears it.
  bool BufferCleared();
  // Wall time of the last successful write (the epoch before the first).
  TVQ_Clock::Wall::time_point ReceivedTime() const;

 private:
  using TGuard = std::unique_lock<std::mutex>;
  TGuard Lock() const;
  bool WriteLocked(std::span<const uint8_t> bytes, const char* failText);

  // All below run with the lock held.
  bool WriteReceived(std::span<const uint8_t> bytes);
  bool WriteWithWaitingFrames(std::span<const uint8_t> bytes);
  bool WriteAnsiIntern(std::span<const uint8_t> bytes);
  bool InsertIntern(std::span<const uint8_t> frame);
  // Checks a peek of `len` bytes; on failure logs `clearedText` when the
  // cleared flag is the reason and resets the receive event.
  bool StartPeek(uint32_t len, const char* clearedText);
  template <class TBytes>
  TBytes PeekAs(uint32_t len, const char* clearedText);
  bool ConfirmIntern(uint32_t len);
  void CopyOut(uint32_t from, uint8_t* dest, uint32_t len) const;
  void Log(const char* text) const;
  void LogFailure(const char* text, const std::exception& e) const;

  const int FLogId;
  const std::unique_ptr<uint8_t[]> FBuffer;
  const std::unique_ptr<std::mutex> FLockObj;  // null without syncNeeded
  TVQ_Event* const FReceiveEvent;
  bool FBufferCleared = false;
  // A Clear discarded bytes after the reader's last peek; its confirm must
  // not consume the bytes written since.
  bool FPeekDiscarded = false;
  uint32_t FReadIndex = 0;
  uint32_t FWriteIndex = 0;
  uint32_t FAmount = 0;
  uint32_t FHighAmount = 0;
  std::atomic<bool> FNoEOL{false};  // set without the lock
  std::string FToBeInsertedData;
  TVQ_Clock::Wall::time_point FReceivedTime{};
};

// ---- USB CDC block ----------------------------------------------------------
// A block is a 32-byte header of eight 32-bit words (most significant byte
// first) followed by `Size` data bytes, of which `ByteCount` bytes starting at
// `Offset` mod `Size` are payload.

inline constexpr std::size_t kCDCHeaderSize = 32;
inline constexpr uint32_t kCDCMagic = 0xBFBFBFBF;
// A block never carries more data than a receive buffer can hold.
inline constexpr uint32_t kCDCMaxDataSize = TCircularBuffer::kCapacity;

enum class TCDCParseResult : int { Valid = 0, TooShort = 1, Invalid = -1 };

struct TCDCBlockHeader {
  static constexpr uint32_t kFlagCleared = 0x01;           // the counter cleared its buffer
  static constexpr uint32_t kFlagToolsData = 0x02;         // the payload is tools data
  static constexpr uint32_t kFlagChannelSelection = 0x04;  // bits 8..31 hold a channel selection
  static constexpr uint32_t kFlagRepeatAddress = 0x08;     // ReadPtr carries a valid repeat address
  static constexpr uint32_t kFlagMultipleUsers = 0x20;     // several USB users are connected

  uint32_t Magic = 0;
  uint32_t Size = 0;
  uint32_t ByteCount = 0;
  uint32_t Offset = 0;
  uint32_t Flags = 0;
  uint32_t WritePtr = 0;
  uint32_t ReadPtr = 0;
  uint32_t Reserved = 0;

  // Magic right, Size a power of two no larger than kCDCMaxDataSize, and the
  // payload inside the data area.
  bool IsValid() const;
  uint32_t PayloadOffset() const { return Offset & (Size - 1); }
  bool HasFlag(uint32_t flag) const { return (Flags & flag) != 0; }
  uint32_t UserNumber() const;  // 1..4
  uint32_t CounterBufferAmount() const;
  uint32_t RepeatAddress() const { return ReadPtr & 0x300FFFFF; }
  bool ReconnectConsistent() const;
  uint32_t ChannelSelection() const { return Flags >> 8; }

  std::string WordsText() const;  // the eight words, 8 hex digits each, joined by ", "
  std::string InfoText() const;   // "CDC ByteCount=..., Offset=..., Flags=xxxxxx.xx[ ToolsData]"
};

// Reads the header from the first 32 bytes; `header` is filled whenever they
// are there, so an invalid one can still be logged.
TCDCParseResult ParseCDCHeader(std::string_view bytes, TCDCBlockHeader& header);
// A valid header and all `Size` data bytes are there.
bool HasWholeCDCBlock(std::string_view bytes);
// Takes the whole block at the front of `bytes` away and gives its header and
// payload; false (nothing changed) when no whole valid block is there.
bool TakeCDCBlock(std::string& bytes, TCDCBlockHeader& header, std::string& payload);

// A command whose answer is tools data (memory read-outs).
bool IsToolsDataCommand(std::string_view command);

// ---- string ring ------------------------------------------------------------

// The last `countOfStrings` strings added; the oldest drops out when full.
class TCircularStringBuffer {
 public:
  // A size below 1 is taken as 1.
  TCircularStringBuffer(int countOfStrings, int aLogId);

  int Add(std::string value);  // returns the slot written
  void Clear();
  void ClearOldest(int aCount);
  // 0 = oldest; empty for an index outside 0..Count()-1.
  std::string GetValue(int index) const;
  int Count() const;
  int AvailableSpace() const;
  int Size() const { return FSize; }
  int LogId() const { return FLogId; }

 private:
  const int FLogId;
  const int FSize;
  mutable std::mutex FLockObj;
  std::vector<std::string> FBuffer;
  int FFirstIndex = 0;
  int FWriteIndex = 0;
  int FAmount = 0;
};
