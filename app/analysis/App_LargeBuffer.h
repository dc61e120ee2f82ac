#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>

// An allocator for the long arrays of the analysis (tens of millions of
// values): large blocks are aligned to 2 MiB and offered to the kernel for
// transparent huge pages, so that filling them costs a few hundred page faults
// instead of hundreds of thousands. Small blocks come from operator new.
template <class T>
struct TLargeBufferAllocator {
  using value_type = T;
  static constexpr std::size_t kHugePage = std::size_t{1} << 21;
  static constexpr std::size_t kHugeFrom = 4 * kHugePage;

  TLargeBufferAllocator() = default;
  template <class U>
  TLargeBufferAllocator(const TLargeBufferAllocator<U>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kHugeFrom) return static_cast<T*>(::operator new(bytes));
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* block = std::aligned_alloc(kHugePage, rounded);
    if (!block) throw std::bad_alloc();
    ::madvise(block, rounded, MADV_HUGEPAGE);  // a hint: without it the block works the same
    return static_cast<T*>(block);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (n * sizeof(T) < kHugeFrom)
      ::operator delete(p);
    else
      std::free(p);
  }
  template <class U>
  bool operator==(const TLargeBufferAllocator<U>&) const noexcept {
    return true;
  }
};

template <class T>
using TLargeVector = std::vector<T, TLargeBufferAllocator<T>>;
