// Log and data files with any content: the stability reader must give
// series or one error, never read outside its input or grow without bound.
// The first input byte picks the options (columns, plain data kind, f0, a
// small value limit); the rest is split into files at every $00 byte and
// whatever is read is analysed.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "app/analysis/App_StabilityAnalysis.h"
#include "app/analysis/App_StabilityReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t selector = data[0];
  const std::string input(reinterpret_cast<const char*>(data + 1), size - 1);
  std::vector<std::string> files;
  std::size_t start = 0;
  for (std::size_t end; (end = input.find('\0', start)) != std::string::npos; start = end + 1)
    files.push_back(input.substr(start, end - start));
  files.push_back(input.substr(start));

  TStabilityReadOptions options;
  if (selector & 0x01) options.Columns = {"phase:1", "B:freq:2"};
  if (selector & 0x02) options.PlainKind = selector & 0x04 ? TStabilityDataKind::Frequency : TStabilityDataKind::Phase;
  if (selector & 0x08) options.Tau0 = 0.001;
  if (selector & 0x10) options.Nominal = 1e7;
  options.MaxPoints = selector & 0x20 ? 16 : 100000;
  const TStabilityReadResult result = ReadStabilityTexts(files, options);
  TStabilityOptions analysis;
  analysis.Estimators = {TStabilityEstimator::Oadev, TStabilityEstimator::Mdev, TStabilityEstimator::Totdev,
                         TStabilityEstimator::Mtie};
  for (const TStabilitySeries& series : result.Series) {
    analysis.Tau0 = series.Tau0;
    analysis.Kind = series.Kind;
    (void)AnalyzeStability(series.Values, analysis);
  }
  return 0;
}
