#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "library/core/CircularBuffer.h"

// One chunk through the receive ring as a transport and the report layer move
// it: write, copying peek, confirm. Beside it a plain memcpy of the same bytes
// (cache-hot, and through a 1 MiB area), and two moves through a 1 MiB area at advancing offsets, which is what the
// ring's copies cost without any bookkeeping.

namespace {

void SetBytes(benchmark::State& state, std::size_t chunk) {
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(chunk));
}

// Arg 0: chunk size; arg 1: 1 for the receive-buffer setup (lock and receive
// event), 0 for a bare ring.
void RingWritePeekConfirm(benchmark::State& state) {
  const auto chunk = static_cast<std::size_t>(state.range(0));
  const bool shared = state.range(1) != 0;
  TVQ_Event event;
  TCircularBuffer ring(-1, shared ? &event : nullptr, shared);
  const std::vector<uint8_t> source(chunk, 0x5A);
  std::vector<uint8_t> dest(chunk);
  for (auto _ : state) {
    ring.Write(source);
    ring.PeekInto(dest);
    ring.ConfirmPeekedData(static_cast<uint32_t>(chunk));
    benchmark::DoNotOptimize(dest.data());
    benchmark::ClobberMemory();
  }
  SetBytes(state, chunk);
}

void Memcpy(benchmark::State& state) {
  const auto chunk = static_cast<std::size_t>(state.range(0));
  const std::vector<uint8_t> source(chunk, 0x5A);
  std::vector<uint8_t> dest(chunk);
  for (auto _ : state) {
    benchmark::DoNotOptimize(source.data());
    std::memcpy(dest.data(), source.data(), chunk);
    benchmark::DoNotOptimize(dest.data());
    benchmark::ClobberMemory();
  }
  SetBytes(state, chunk);
}

// One move of each chunk into a 1 MiB area at advancing offsets: the memory
// traffic of a memcpy that, like the ring, cannot stay in the first-level cache.
void MemcpyThroughOneMiB(benchmark::State& state) {
  const auto chunk = static_cast<std::size_t>(state.range(0));
  const std::vector<uint8_t> source(chunk, 0x5A);
  std::vector<uint8_t> area(TCircularBuffer::kCapacity);
  std::size_t at = 0;
  for (auto _ : state) {
    std::memcpy(area.data() + at, source.data(), chunk);
    at = (at + chunk) % area.size();
    benchmark::DoNotOptimize(area.data());
    benchmark::ClobberMemory();
  }
  SetBytes(state, chunk);
}

void TwoMovesThroughOneMiB(benchmark::State& state) {
  const auto chunk = static_cast<std::size_t>(state.range(0));
  const std::vector<uint8_t> source(chunk, 0x5A);
  std::vector<uint8_t> area(TCircularBuffer::kCapacity);
  std::vector<uint8_t> dest(chunk);
  std::size_t at = 0;
  for (auto _ : state) {
    std::memcpy(area.data() + at, source.data(), chunk);
    std::memcpy(dest.data(), area.data() + at, chunk);
    at = (at + chunk) % area.size();
    benchmark::DoNotOptimize(dest.data());
    benchmark::ClobberMemory();
  }
  SetBytes(state, chunk);
}

}  // namespace

BENCHMARK(RingWritePeekConfirm)->ArgsProduct({{64, 1024, 16384}, {1, 0}});
BENCHMARK(Memcpy)->Arg(64)->Arg(1024)->Arg(16384);
BENCHMARK(MemcpyThroughOneMiB)->Arg(64)->Arg(1024)->Arg(16384);
BENCHMARK(TwoMovesThroughOneMiB)->Arg(64)->Arg(1024)->Arg(16384);
