// Binary reports pass their frame checks and reach the decoder with any
// length and any content: every decoder must turn them into a line, or drop
// them, without reading outside them. The first input byte picks the decoder
// and its options; the rest is split into reports at every $0A byte.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "library/core/VQ_Decoder.h"
#include "support/FakeDecoderHost.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t selector = data[0];
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  TFakeDecoderHost host;
  host.FUserID = selector & 0x10 ? 2 : 255;
  TVQ_ReportDecoder decoder(host, -1, "TSourceItem[0]");
  decoder.Options.OptRawData = selector & 0x04;
  decoder.Options.Send7016 = selector & 0x08;
  decoder.Options.CalibFactorFloatToInt = selector & 0x20 ? 0 : 1000;
  decoder.Options.Format.DecimalSeparator = selector & 0x40 ? ',' : '.';
  std::size_t start = 0;
  while (start <= input.size()) {
    std::size_t end = input.find('\n', start);
    if (end == std::string_view::npos) end = input.size();
    const std::string_view report = input.substr(start, end - start);
    switch (selector & 0x03) {
      case 0: (void)decoder.ProcessBinReport(report, false); break;
      case 1: (void)decoder.ProcessBinReport(report, true); break;
      case 2: (void)decoder.ProcessDemoReport(report); break;
      default: decoder.ProcessTxtReport(report); break;
    }
    while (decoder.PackedPending()) (void)decoder.ProcessPackedReport();
    start = end + 1;
  }
  return 0;
}
