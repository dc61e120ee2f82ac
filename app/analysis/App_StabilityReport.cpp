#include "app/analysis/App_StabilityReport.h"

#include <charconv>
#include <cmath>

std::string StabilityNumber(double value, int digits, const char* none) {
  if (!std::isfinite(value)) return none;
  char buffer[40];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, digits);
  return std::string(buffer, result.ptr);
}

const char* StabilityKindName(TStabilityDataKind kind) {
  return kind == TStabilityDataKind::Phase ? "phase" : "freq";
}

std::string StabilityNoiseText(const TStabilityRow& row) {
  if (row.Noise == TNoiseMethod::None) return "-";
  return std::string(NoiseTypeName(row.Alpha)) + "/" + NoiseMethodName(row.Noise);
}

void WriteStabilityCsvHeader(std::ostream& out) {
  out << "series,kind,estimator,tau,m,n,terms,noise,noise_method,alpha,deviation,low,high,edf\n";
}

void WriteStabilityCsvRows(std::ostream& out, const std::string& series, TStabilityDataKind kind,
                           const TStabilityResult& result) {
  for (const TStabilityRow& row : result.Rows) {
    const bool noise = row.Noise != TNoiseMethod::None;
    out << '"' << series << "\"," << StabilityKindName(kind) << ',' << StabilityEstimatorName(row.Estimator) << ','
        << StabilityNumber(row.Tau, 17) << ',' << row.M << ',' << row.N << ',' << row.Terms << ','
        << (noise ? NoiseTypeName(row.Alpha) : "") << ',' << NoiseMethodName(row.Noise) << ','
        << (noise ? std::to_string(row.Alpha) : "") << ',' << StabilityNumber(row.Deviation, 10, "") << ','
        << StabilityNumber(row.Low, 10, "") << ',' << StabilityNumber(row.High, 10, "") << ','
        << StabilityNumber(row.Edf, 6, "") << "\n";
  }
}
