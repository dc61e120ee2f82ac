#include "library/core/CircularBuffer.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <utility>

#include "library/core/LogUnit.h"
#include "library/core/VQ_DllCommon.h"

namespace {

// $BD and $BF end a frame of the Coldfire byte stream.
constexpr bool IsFrameEnd(uint8_t b) { return (b | 0x02) == 0xBF; }

std::span<const uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const uint8_t*>(text.data()), text.size()};
}

// One block move, two only where the bytes wrap past the end of the storage.
inline void CopyIntoRing(uint8_t* ring, uint32_t at, const uint8_t* source, uint32_t len) {
  const uint32_t first = TCircularBuffer::kCapacity - at;
  if (len <= first) {
    std::memcpy(ring + at, source, len);
    return;
  }
  std::memcpy(ring + at, source, first);
  std::memcpy(ring, source + first, len - first);
}

inline void CopyOutOfRing(const uint8_t* ring, uint32_t at, uint8_t* dest, uint32_t len) {
  const uint32_t first = TCircularBuffer::kCapacity - at;
  if (len <= first) {
    std::memcpy(dest, ring + at, len);
    return;
  }
  std::memcpy(dest, ring + at, first);
  std::memcpy(dest + first, ring, len - first);
}

}  // namespace

// ---- TCircularBuffer --------------------------------------------------------

TCircularBuffer::TCircularBuffer(int logID, TVQ_Event* aReceiveEvent, bool syncNeeded)
    : FLogId(logID),
      FBuffer(std::make_unique_for_overwrite<uint8_t[]>(kCapacity)),
      FLockObj(syncNeeded ? std::make_unique<std::mutex>() : nullptr),
      FReceiveEvent(aReceiveEvent) {}

TCircularBuffer::TGuard TCircularBuffer::Lock() const {
  return FLockObj ? TGuard(*FLockObj) : TGuard();
}

void TCircularBuffer::Log(const char* text) const {
  if (LogWanted(FLogId)) LogInfo(FLogId, text);
}

void TCircularBuffer::LogFailure(const char* text, const std::exception& e) const {
  if (LogWanted(FLogId)) LogException(FLogId, text, e);
}

bool TCircularBuffer::Write(std::span<const uint8_t> content) {
  return WriteLocked(content, "TCircularBuffer.Write failed");
}

bool TCircularBuffer::WriteAnsiString(std::string_view content) {
  return WriteLocked(AsBytes(content), "TCircularBuffer.WriteAnsiString failed");
}

bool TCircularBuffer::WriteAnsiString(std::string_view content, std::size_t offset, std::size_t len) {
  if (offset == 0 || len == 0 || offset > content.size() || len > content.size() - (offset - 1)) return false;
  return WriteAnsiString(content.substr(offset - 1, len));
}

bool TCircularBuffer::WriteLocked(std::span<const uint8_t> bytes, const char* failText) {
  const TGuard guard = Lock();
  try {
    return WriteReceived(bytes);
  } catch (const std::exception& e) {
    LogFailure(failText, e);
    throw;
  }
}

bool TCircularBuffer::WriteReceived(std::span<const uint8_t> bytes) {
  if (FToBeInsertedData.empty()) return WriteAnsiIntern(bytes);
  return WriteWithWaitingFrames(bytes);
}

// Inserted frames wait for the end of the frame that was arriving when they
// were inserted; they go in right after it.
bool TCircularBuffer::WriteWithWaitingFrames(std::span<const uint8_t> bytes) {
  const std::span<const uint8_t> waiting = AsBytes(FToBeInsertedData);
  if (FAmount == 0) {
    if (!WriteAnsiIntern(waiting)) return false;
    FToBeInsertedData.clear();
    return WriteAnsiIntern(bytes);
  }
  const auto frameEnd = std::find_if(bytes.begin(), bytes.end(), IsFrameEnd);
  if (frameEnd == bytes.end()) return WriteAnsiIntern(bytes);
  if (bytes.size() + waiting.size() > kCapacity - FAmount) return false;
  const auto head = static_cast<std::size_t>(frameEnd - bytes.begin()) + 1;
  WriteAnsiIntern(bytes.first(head));
  WriteAnsiIntern(waiting);
  FToBeInsertedData.clear();
  WriteAnsiIntern(bytes.subspan(head));
  return true;
}

bool TCircularBuffer::WriteAnsiIntern(std::span<const uint8_t> bytes) {
  try {
    if (bytes.size() > kCapacity - FAmount) return false;
    const auto len = static_cast<uint32_t>(bytes.size());
    FReceivedTime = CoarseWallNow();
    CopyIntoRing(FBuffer.get(), FWriteIndex, bytes.data(), len);
    FWriteIndex = (FWriteIndex + len) & kIndexMask;
    FAmount += len;
    FHighAmount = std::max(FHighAmount, FAmount);
    if (FReceiveEvent != nullptr) FReceiveEvent->Set();
    return true;
  } catch (const std::exception& e) {
    LogFailure("TCircularBuffer.WriteAnsiIntern failed", e);
    throw;
  }
}

bool TCircularBuffer::InsertAnsiString(std::string_view content) {
  const TGuard guard = Lock();
  try {
    return InsertIntern(AsBytes(content));
  } catch (const std::exception& e) {
    LogFailure("TCircularBuffer.InsertAnsiString failed", e);
    throw;
  }
}

bool TCircularBuffer::InsertIntern(std::span<const uint8_t> frame) {
  // Waiting frames count against the space too, so they can never pile up
  // beyond what the buffer could take.
  if (frame.size() + FToBeInsertedData.size() > kCapacity - FAmount) return false;
  // Older waiting frames go first, so frames keep the order they were made in.
  if (FAmount == 0) return WriteReceived(frame);
  if (FNoEOL.load(std::memory_order_relaxed)) return WriteAnsiIntern(frame);

  uint32_t partial = 0;  // bytes after the last frame end held
  while (partial < FAmount && !IsFrameEnd(FBuffer[(FWriteIndex - 1 - partial) & kIndexMask])) ++partial;
  if (partial == FAmount) {
    FToBeInsertedData.append(reinterpret_cast<const char*>(frame.data()), frame.size());
    return true;
  }
  if (partial == 0) return WriteAnsiIntern(frame);

  // Take the frame still arriving out, put the inserted one in its place and
  // the taken bytes back behind it.
  const uint32_t partialStart = (FWriteIndex - partial) & kIndexMask;
  std::vector<uint8_t> arriving(partial);
  CopyOut(partialStart, arriving.data(), partial);
  FWriteIndex = partialStart;
  FAmount -= partial;
  WriteAnsiIntern(frame);
  WriteAnsiIntern(arriving);
  return true;
}

void TCircularBuffer::CopyOut(uint32_t from, uint8_t* dest, uint32_t len) const {
  CopyOutOfRing(FBuffer.get(), from, dest, len);
}

bool TCircularBuffer::StartPeek(uint32_t len, const char* clearedText) {
  if (len == 0) return false;
  if (FBufferCleared || FAmount < len) {
    if (FBufferCleared) Log(clearedText);
    if (FReceiveEvent != nullptr) FReceiveEvent->Reset();
    return false;
  }
  FPeekDiscarded = false;
  return true;
}

template <class TBytes>
TBytes TCircularBuffer::PeekAs(uint32_t len, const char* clearedText) {
  TBytes bytes;
  if (!StartPeek(len, clearedText)) return bytes;
  bytes.resize(len);
  CopyOut(FReadIndex, reinterpret_cast<uint8_t*>(bytes.data()), len);
  return bytes;
}

bool TCircularBuffer::PeekChar(char& zeichen) {
  const TGuard guard = Lock();
  if (!StartPeek(1, "CircularBuffer.PeekChar nichts liefern, BufferCleared")) return false;
  zeichen = static_cast<char>(FBuffer[FReadIndex]);
  return true;
}

std::vector<uint8_t> TCircularBuffer::PeekData(uint32_t len) {
  const TGuard guard = Lock();
  return PeekAs<std::vector<uint8_t>>(len, "CircularBuffer.PeekData nichts liefern, BufferCleared");
}

std::string TCircularBuffer::PeekAnsiString(uint32_t len) {
  const TGuard guard = Lock();
  return PeekAs<std::string>(len, "CircularBuffer.PeekAnsiString nichts liefern, BufferCleared");
}

bool TCircularBuffer::PeekInto(std::span<uint8_t> dest) {
  // More than the capacity can never be held; kCapacity + 1 fails the same way.
  const auto len = static_cast<uint32_t>(std::min<std::size_t>(dest.size(), kCapacity + 1));
  const TGuard guard = Lock();
  if (!StartPeek(len, "CircularBuffer.PeekInto nichts liefern, BufferCleared")) return false;
  CopyOut(FReadIndex, dest.data(), len);
  return true;
}

bool TCircularBuffer::ConfirmPeekedData(uint32_t len) {
  const TGuard guard = Lock();
  return ConfirmIntern(len);
}

bool TCircularBuffer::ConfirmIntern(uint32_t len) {
  if (FPeekDiscarded || FAmount < len) return false;
  FReadIndex = (FReadIndex + len) & kIndexMask;
  FAmount -= len;
  if (FAmount == 0) FHighAmount = 0;
  return true;
}

std::vector<uint8_t> TCircularBuffer::Read(uint32_t len) {
  const TGuard guard = Lock();
  auto bytes = PeekAs<std::vector<uint8_t>>(len, "CircularBuffer.PeekData nichts liefern, BufferCleared");
  if (!bytes.empty()) ConfirmIntern(len);
  return bytes;
}

std::string TCircularBuffer::ReadAnsiString(uint32_t len) {
  const TGuard guard = Lock();
  auto bytes = PeekAs<std::string>(len, "CircularBuffer.PeekAnsiString nichts liefern, BufferCleared");
  if (!bytes.empty()) ConfirmIntern(len);
  return bytes;
}

void TCircularBuffer::Clear() {
  const TGuard guard = Lock();
  const bool heldData = FAmount > 0;
  FReadIndex = 0;
  FWriteIndex = 0;
  FAmount = 0;
  FHighAmount = 0;
  if (FReceiveEvent != nullptr) FReceiveEvent->Reset();
  if (heldData) {
    FBufferCleared = true;
    FPeekDiscarded = true;
    Log("CircularBuffer.Clear: set BufferCleared");
  } else if (!FBufferCleared) {
    Log("CircularBuffer.Clear: without set BufferCleared");
  }
}

void TCircularBuffer::SetReceivedDataIgnored() {
  const TGuard guard = Lock();
  if (FBufferCleared) return;
  FBufferCleared = true;
  Log("CircularBuffer.SetReceivedDataIgnored: set BufferCleared");
}

void TCircularBuffer::SetNoEOL() {
  Log("CircularBuffer.SetNoEOL");
  FNoEOL.store(true, std::memory_order_relaxed);
}

uint32_t TCircularBuffer::GetAmount() const {
  const TGuard guard = Lock();
  return FAmount;
}

uint32_t TCircularBuffer::HighAmount() const {
  const TGuard guard = Lock();
  return FHighAmount;
}

void TCircularBuffer::GetAmounts(uint32_t& amount, uint32_t& highAmount) const {
  const TGuard guard = Lock();
  amount = FAmount;
  highAmount = FHighAmount;
}

uint32_t TCircularBuffer::AvailableSpace() const {
  const TGuard guard = Lock();
  return kCapacity - FAmount;
}

bool TCircularBuffer::BufferCleared() {
  const TGuard guard = Lock();
  return std::exchange(FBufferCleared, false);
}

TVQ_Clock::Wall::time_point TCircularBuffer::ReceivedTime() const {
  const TGuard guard = Lock();
  return FReceivedTime;
}

// ---- USB CDC block ----------------------------------------------------------

bool TCDCBlockHeader::IsValid() const {
  if (Magic != kCDCMagic) return false;
  if (Size == 0 || Size > kCDCMaxDataSize || (Size & (Size - 1)) != 0) return false;
  return uint64_t{ByteCount} + PayloadOffset() <= Size;
}

uint32_t TCDCBlockHeader::UserNumber() const {
  const int shift = WritePtr < 0x70000000 ? 17 : 19;
  return ((WritePtr >> shift) & 3) + 1;
}

// The pointers count modulo mask + 1, so a wrapped difference adds mask + 1.
uint32_t TCDCBlockHeader::CounterBufferAmount() const {
  const uint32_t mask = WritePtr > 0x6FFFFFFF ? 0x7FFFF : 0x1FFFF;
  return ((WritePtr & mask) - (ReadPtr & mask)) & mask;
}

bool TCDCBlockHeader::ReconnectConsistent() const {
  return ((RepeatAddress() - PayloadOffset() - ByteCount) & 0xFFFF) == 0;
}

std::string TCDCBlockHeader::WordsText() const {
  const uint32_t words[] = {Magic, Size, ByteCount, Offset, Flags, WritePtr, ReadPtr, Reserved};
  std::string text;
  for (uint32_t word : words) {
    if (!text.empty()) text += ", ";
    text += HexText(word, 8);
  }
  return text;
}

std::string TCDCBlockHeader::InfoText() const {
  std::string text = "CDC ByteCount=" + std::to_string(ByteCount) + ", Offset=" + std::to_string(PayloadOffset()) +
                     ", Flags=" + HexText(Flags >> 8, 6) + "." + HexText(Flags & 0xFF, 2);
  if (HasFlag(kFlagToolsData)) text += " ToolsData";
  return text;
}

TCDCParseResult ParseCDCHeader(std::string_view bytes, TCDCBlockHeader& header) {
  if (bytes.size() < kCDCHeaderSize) return TCDCParseResult::TooShort;
  const auto word = [&bytes](std::size_t index) { return ReadBigEndian32(bytes, index * 4); };
  header = TCDCBlockHeader{word(0), word(1), word(2), word(3), word(4), word(5), word(6), word(7)};
  return header.IsValid() ? TCDCParseResult::Valid : TCDCParseResult::Invalid;
}

bool HasWholeCDCBlock(std::string_view bytes) {
  TCDCBlockHeader header;
  return ParseCDCHeader(bytes, header) == TCDCParseResult::Valid && bytes.size() - kCDCHeaderSize >= header.Size;
}

bool TakeCDCBlock(std::string& bytes, TCDCBlockHeader& header, std::string& payload) {
  TCDCBlockHeader parsed;
  if (ParseCDCHeader(bytes, parsed) != TCDCParseResult::Valid) return false;
  if (bytes.size() - kCDCHeaderSize < parsed.Size) return false;
  payload.assign(bytes, kCDCHeaderSize + parsed.PayloadOffset(), parsed.ByteCount);
  bytes.erase(0, kCDCHeaderSize + parsed.Size);
  header = parsed;
  return true;
}

bool IsToolsDataCommand(std::string_view command) {
  if (command.size() < 2 || static_cast<uint8_t>(command[0]) != 0x85) return false;
  const auto code = static_cast<uint8_t>(command[1]);
  return (code >= 0x38 && code <= 0x3E) || (code >= 0x40 && code <= 0x42) || code == 0x44;
}

// ---- TCircularStringBuffer --------------------------------------------------

namespace {
void Release(std::string& text) { std::string().swap(text); }
}  // namespace

TCircularStringBuffer::TCircularStringBuffer(int countOfStrings, int aLogId)
    : FLogId(aLogId), FSize(std::max(countOfStrings, 1)), FBuffer(static_cast<std::size_t>(FSize)) {}

int TCircularStringBuffer::Add(std::string value) {
  const std::lock_guard guard(FLockObj);
  const int slot = FWriteIndex;
  FBuffer[static_cast<std::size_t>(slot)] = std::move(value);
  FWriteIndex = (FWriteIndex + 1) % FSize;
  if (FAmount == FSize) {
    FFirstIndex = (FFirstIndex + 1) % FSize;
  } else {
    ++FAmount;
  }
  return slot;
}

void TCircularStringBuffer::Clear() {
  const std::lock_guard guard(FLockObj);
  for (std::string& text : FBuffer) Release(text);
  FFirstIndex = 0;
  FWriteIndex = 0;
  FAmount = 0;
}

void TCircularStringBuffer::ClearOldest(int aCount) {
  const std::lock_guard guard(FLockObj);
  const int count = std::clamp(aCount, 0, FAmount);
  for (int i = 0; i < count; ++i) {
    Release(FBuffer[static_cast<std::size_t>(FFirstIndex)]);
    FFirstIndex = (FFirstIndex + 1) % FSize;
  }
  FAmount -= count;
}

std::string TCircularStringBuffer::GetValue(int index) const {
  const std::lock_guard guard(FLockObj);
  if (index < 0 || index >= FAmount) return {};
  return FBuffer[static_cast<std::size_t>((FFirstIndex + index) % FSize)];
}

int TCircularStringBuffer::Count() const {
  const std::lock_guard guard(FLockObj);
  return FAmount;
}

int TCircularStringBuffer::AvailableSpace() const {
  const std::lock_guard guard(FLockObj);
  return FSize - FAmount;
}
