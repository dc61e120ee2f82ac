#include "library/core/CircularBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Byte p of the test stream. A mixed hash rather than a plain counter, so a
// skip or repeat of any length shows, and 16 bytes identify their position.
uint8_t StreamByte(uint64_t p) {
  p ^= p >> 33;
  p *= 0xFF51AFD7ED558CCDull;
  p ^= p >> 33;
  p *= 0xC4CEB9FE1A85EC53ull;
  p ^= p >> 33;
  return static_cast<uint8_t>(p);
}

bool MatchesStream(uint64_t start, std::span<const uint8_t> bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] != StreamByte(start + i)) return false;
  }
  return true;
}

// Stream positions at which the writer cleared the buffer (the first byte
// written after each Clear).
class TClearLog {
 public:
  void Add(uint64_t position) {
    const std::lock_guard lock(FMutex);
    FPositions.push_back(position);
  }
  // The clear, not before `from`, whose data `bytes` are.
  std::optional<uint64_t> FindStart(uint64_t from, std::span<const uint8_t> bytes) const {
    const std::lock_guard lock(FMutex);
    for (uint64_t position : FPositions) {
      if (position >= from && MatchesStream(position, bytes)) return position;
    }
    return std::nullopt;
  }
  std::size_t Count() const {
    const std::lock_guard lock(FMutex);
    return FPositions.size();
  }

 private:
  mutable std::mutex FMutex;
  std::vector<uint64_t> FPositions;
};

constexpr uint64_t kStreamLength = 12u << 20;  // twelve trips round the ring
constexpr uint32_t kResyncBytes = 16;           // every write after a clear is at least this long
constexpr uint32_t kMaxChunk = 8192;

// A transport writes random chunks and now and then clears; the report layer
// peeks random lengths, checks them and confirms. Every byte delivered must be
// the next one of the stream, except right after the reader was told of a
// clear, when it must be the first byte written after a clear.
TEST(CircularBufferThreads, ReaderGetsEveryByteInOrderAcrossWrapsAndClears) {
  TVQ_Event event;
  TCircularBuffer ring(-1, &event, true);
  TClearLog clears;
  std::atomic<bool> stop{false};

  std::thread writer([&] {
    std::mt19937 rng(7);
    std::uniform_int_distribution<uint32_t> chunkSize(kResyncBytes, kMaxChunk);
    std::string chunk;
    uint64_t position = 0;
    for (unsigned n = 0; position < kStreamLength && !stop; ++n) {
      const auto len = static_cast<uint32_t>(std::min<uint64_t>(chunkSize(rng), kStreamLength - position));
      if (len >= kResyncBytes && rng() % 64 == 0) {
        ring.Clear();
        clears.Add(position);
      }
      chunk.resize(len);
      for (uint32_t i = 0; i < len; ++i) chunk[i] = static_cast<char>(StreamByte(position + i));
      const auto bytes = std::span(reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size());
      while (!(n % 2 == 0 ? ring.Write(bytes) : ring.WriteAnsiString(chunk))) {
        if (stop) return;
        std::this_thread::yield();  // full: wait for the reader
      }
      position += len;
    }
  });

  std::mt19937 rng(11);
  std::uniform_int_distribution<uint32_t> peekSize(1, kMaxChunk);
  std::vector<uint8_t> peeked(kMaxChunk);
  uint64_t expected = 0;  // stream position of the next byte to deliver
  bool resync = false;
  unsigned resyncs = 0;
  const auto deadline = std::chrono::steady_clock::now() + 60s;
  while (expected < kStreamLength) {
    if (std::chrono::steady_clock::now() > deadline) {
      ADD_FAILURE() << "stuck at " << expected;
      break;
    }
    const uint32_t want = resync ? kResyncBytes : std::min(peekSize(rng), ring.GetAmount());
    const auto view = std::span(peeked).first(want);
    if (want == 0 || !ring.PeekInto(view)) {
      if (ring.BufferCleared()) {
        resync = true;
      } else {
        event.WaitFor(1ms);
      }
      continue;
    }
    if (resync) {
      const std::optional<uint64_t> start = clears.FindStart(expected, view);
      if (!start) {
        ADD_FAILURE() << "after a clear the data do not start where a clear left the stream (delivered up to "
                      << expected << ")";
        break;
      }
      expected = *start;
      resync = false;
      ++resyncs;
      continue;
    }
    if (!MatchesStream(expected, view)) {
      ADD_FAILURE() << "bytes from " << expected << " are not the next ones of the stream";
      break;
    }
    // A clear between peek and confirm: the peeked bytes are gone, not delivered.
    if (ring.ConfirmPeekedData(want)) expected += want;
  }
  stop = true;
  writer.join();
  EXPECT_GT(clears.Count(), 0u);
  EXPECT_GT(resyncs, 0u);
}

// The owner adds and drops entries while other threads read them.
TEST(CircularStringBufferThreads, ReadersSeeWholeEntriesWhileTheOwnerChangesThem) {
  TCircularStringBuffer ring(64, -1);
  std::atomic<bool> done{false};
  std::thread owner([&] {
    for (int i = 0; i < 20000; ++i) {
      ring.Add("a value long enough for the heap " + std::to_string(i));
      if (i % 100 == 99) ring.ClearOldest(50);
      if (i % 5000 == 4999) ring.Clear();
    }
    done = true;
  });
  while (!done) {
    const int count = ring.Count();
    EXPECT_LE(count, ring.Size());
    for (int i = 0; i < count; ++i) {
      const std::string value = ring.GetValue(i);
      EXPECT_TRUE(value.empty() || value.starts_with("a value long enough for the heap ")) << value;
    }
  }
  owner.join();
}

}  // namespace
