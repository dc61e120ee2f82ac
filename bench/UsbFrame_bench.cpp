#include <benchmark/benchmark.h>

#include <array>
#include <random>
#include <string>

#include "library/core/CircularBuffer.h"
#include "library/core/VQ_Report.h"
#include "support/TestDevice.h"
#include "library/core/VQ_UsbFrame.h"

// Framing a stream of 24-channel measurement frames (data header plus 24
// seven-byte values) the way the report layer does: peek the header, peek the
// frame, decode, confirm, consume the frame end. Counts reports per second.

namespace {

constexpr int kChannels = 24;

std::string MeasurementFrame(std::mt19937& random) {
  std::string payload = {0x09, 0x00};
  for (int i = 0; i < kChannels * 7; ++i) payload += static_cast<char>(random() % 256);
  return BuildUsbFrame(payload);
}

void UsbFramingOfMeasurements(benchmark::State& state) {
  std::mt19937 random(1);
  std::string stream;
  for (int i = 0; i < 64; ++i) stream += MeasurementFrame(random);
  TVQ_Event event;
  TCircularBuffer ring(-1, &event, true);
  std::array<uint8_t, 1 + 2 * kUsbMaxLength> peeked{};
  int64_t reports = 0;
  for (auto _ : state) {
    ring.WriteAnsiString(stream);
    while (true) {
      const uint32_t amount = ring.GetAmount();
      if (amount < 3) break;
      ring.PeekInto(std::span(peeked.data(), 3));
      const TUsbFrameSize size =
          UsbFrameSize(std::string_view(reinterpret_cast<const char*>(peeked.data()), 3));
      if (size.Kind != TUsbFrameSize::TKind::Size || !ring.PeekInto(std::span(peeked.data(), size.Bytes))) break;
      const TUsbFrameDecode decoded =
          DecodeUsbFrame(std::string_view(reinterpret_cast<const char*>(peeked.data()), size.Bytes));
      ring.ConfirmPeekedData(decoded.Consumed);
      char end = 0;
      if (ring.PeekChar(end) && IsUsbFrameEnd(static_cast<uint8_t>(end))) ring.ConfirmPeekedData(1);
      benchmark::DoNotOptimize(decoded.Report.data());
      ++reports;
    }
  }
  state.counters["reports/s"] = benchmark::Counter(static_cast<double>(reports), benchmark::Counter::kIsRate);
}

// The same stream through the report layer's GetReport, as a source reads it.
void ReportLayerOfMeasurements(benchmark::State& state) {
  std::mt19937 random(1);
  std::string stream;
  for (int i = 0; i < 64; ++i) stream += MeasurementFrame(random);
  TVQ_Event event;
  TTestDevice device(&event, SystemClock(), -1, TVQ_DeviceType::VQ_CAN_Rack);
  TVQ_ReportDevice layer(device, 0);
  int64_t reports = 0;
  std::string report;
  for (auto _ : state) {
    device.Feed(stream);
    while (layer.GetReport(report) == TVQ_Result::VQ_No_Err && !report.empty()) ++reports;
  }
  state.counters["reports/s"] = benchmark::Counter(static_cast<double>(reports), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(UsbFramingOfMeasurements);
BENCHMARK(ReportLayerOfMeasurements);
