// Arbitrary bytes through the report layer of one device kind (chosen when the
// target is built), fed in pieces and read until nothing is left: no framing
// may read outside its bytes, stall, or grow without bound.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "library/core/VQ_CommonTypes.h"
#include "library/core/VQ_Report.h"
#include "library/devices/VQ_BaseDevice.h"

#ifndef ZEP_FUZZ_DEVICE
#define ZEP_FUZZ_DEVICE VQ_CDC
#endif

namespace {

// The counter's side of the device: bytes are fed in, commands and answers
// written to it are dropped.
//
// One device serves every input. A new one per input costs its two rings of
// 1 MiB, which under the sanitizers come from fresh mappings each time and
// took far longer than the input itself; Reset gives every input a device as
// the report layer finds a new one.
class TFuzzDevice : public TVQ_BaseDevice {
 public:
  TFuzzDevice(TVQ_Event* event, const TVQ_Clock& clock) : TVQ_BaseDevice(-1, 0, event, true, clock) {}

  std::string ClassName() const override { return "TFuzzDevice"; }
  bool CheckDeviceClosed() override { return false; }
  bool OpenPort(std::string& errorMsg) override {
    errorMsg.clear();
    SetPortOpened(true);
    return true;
  }
  bool ClosePort() override {
    SetPortOpened(false);
    return true;
  }
  bool DeviceWrite(std::string&) override { return true; }

  bool Feed(std::string_view bytes) { return ReceiveBuffer().WriteAnsiString(bytes); }

  // Everything the report layer reads or writes back to a new device's values.
  void Reset(TVQ_DeviceType type, TVQ_PeerType peer) {
    Drain(ReceiveBuffer());
    Drain(ToolsBuffer());
    std::string ignored;
    TakeError(ignored);
    SetDevType(type);
    StorePeerType(peer);
    SetDelayNextCmdMs(0);
    SetCmdResponse(TCmdResponseType::crt_none);
    SetHardFeature(0);
    SetFirmwareVersionNumber(0);
    SetESPFirmwareVersion(-1, -1);
    SetFFPGAVersion("");
    SetSerialNumberValue(kUnknownSerial);
    SetCFUserID(kNoUserID);
    ResetReportCounter();
    // Identities learnt from version reports would pile up over a long run.
    DeviceInfoList().Clear();
  }

 private:
  // A ring refuses reads while its cleared mark is up: take the mark first.
  static void Drain(TCircularBuffer& ring) {
    ring.BufferCleared();
    ring.ReadAnsiString(ring.GetAmount());
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static TVQ_Event event;
  static TVQ_ManualClock clock;
  static TFuzzDevice device(&event, clock);
  const bool esp = size > 0 && (data[0] & 1) != 0;
  device.Reset(TVQ_DeviceType::ZEP_FUZZ_DEVICE, esp ? TVQ_PeerType::ptESP : TVQ_PeerType::ptUnknown);
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
