// ESP transmit records arrive from the counter and from replayed files: any
// bytes must parse, be refused, or be checked, dumped and converted without
// reading outside them.
#include <cstddef>
#include <cstdint>
#include <string>

#include "library/core/VQ_EspRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string bytes(reinterpret_cast<const char*>(data), size);
  (void)HasEspMagicAt8(bytes);
  TEspRecord record;
  while (!bytes.empty()) {
    if (TakeEspRecord(bytes, record) != TEspParse::Ok) {
      // Resynchronise as a transport does: drop a byte, then skip to a magic.
      const size_t next = FindEspMagic(bytes, 1);
      bytes.erase(0, next == std::string::npos ? bytes.size() : next);
      continue;
    }
    std::string message;
    (void)CheckEspRecord(record, &message);
    (void)record.HeaderDump(false);
    (void)record.HeaderDump(true);
    (void)record.ValueDump();
    (void)record.StreamLine();
    (void)record.NextBufferPos(VQ_Esp::SerialBufferWords);
    (void)FindEspMagicInValues(record);
    (void)ConvertEspRecord(record, {.FlagVersion = false, .ReadingPvhBlock = false});
    (void)ConvertEspRecord(record, {.FlagVersion = true, .ReadingPvhBlock = true});
  }
  return 0;
}
