// Number texts come from counters, settings files and peers: parsing them must
// never crash, whatever the bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "library/core/VQ_CommonTypes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  for (const char separator : {'.', ','}) {
    const TFormatSettings fmt{separator, separator == '.' ? ',' : '.'};
    if (auto value = TryStrToFloat(ConvertDecimalMark(text, separator), fmt)) {
      (void)FloatToStrGeneral(*value, fmt);
      (void)FloatToStrFixed(*value, 12, fmt);
      Phase p;
      p.FromDouble(*value);
      (void)p.Format(8, fmt);
    }
    TPVHSettings table;
    table.FormatSettings = fmt;
    if (table.FromString(text)) {
      table.Update(-1);
      (void)table.ToString();
    }
  }
  return 0;
}
