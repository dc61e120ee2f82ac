// USB blocks arrive from the counter: any bytes must parse, be refused or be
// taken apart without reading outside them.
#include <cstddef>
#include <cstdint>
#include <string>

#include "library/core/CircularBuffer.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  TCDCBlockHeader header;
  std::string payload;
  while (TakeCDCBlock(bytes, header, payload)) {
    (void)header.InfoText();
    (void)header.CounterBufferAmount();
    (void)header.ReconnectConsistent();
  }
  return 0;
}
