// Arbitrary bytes through the report layer of one device kind (chosen when the
// target is built), fed in pieces and read until nothing is left: no framing
// may read outside its bytes, stall, or grow without bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "library/core/VQ_Report.h"
#include "support/TestDevice.h"

#ifndef ZEP_FUZZ_DEVICE
#define ZEP_FUZZ_DEVICE VQ_CDC
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  TVQ_Event event;
  TVQ_ManualClock clock;
  TTestDevice device(&event, clock, -1, TVQ_DeviceType::ZEP_FUZZ_DEVICE);
  if (size > 0 && (data[0] & 1) != 0) device.SetPeer(TVQ_PeerType::ptESP);
  TVQ_ReportDevice layer(device, 0, clock);
  if (size > 0 && (data[0] & 2) != 0) layer.SendCommand("\x81");
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  // The first byte also sets where the stream is cut in two.
  const std::size_t cut = size > 0 ? data[0] % (size + 1) : 0;
  for (const std::string& piece : {bytes.substr(0, cut), bytes.substr(cut)}) {
    device.Feed(piece);
    // Reports made without consuming bytes (saved ahead, made by the
    // library) are few; an endless run of them is a stall.
    int idle = 0;
    int deliveredWithoutBytes = 0;
    while (idle < 4) {
      const uint32_t before = device.GetBufferAmount();
      std::string report;
      const bool delivered = layer.GetReport(report) == TVQ_Result::VQ_No_Err && !report.empty();
      const bool consumed = device.GetBufferAmount() != before;
      idle = consumed || delivered ? 0 : idle + 1;
      deliveredWithoutBytes = consumed ? 0 : deliveredWithoutBytes + (delivered ? 1 : 0);
      if (deliveredWithoutBytes > 1000) std::abort();
      clock.Advance(std::chrono::milliseconds(400));
    }
  }
  return 0;
}
