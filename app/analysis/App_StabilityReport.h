#pragma once

#include <ostream>
#include <string>

#include "app/analysis/App_StabilityAnalysis.h"

// Texts of analysis results shared by the command line and the desktop
// window, so that both write the same numbers and the same CSV files.

// Locale-free, `digits` significant digits; `none` for NaN and infinities.
std::string StabilityNumber(double value, int digits = 7, const char* none = "-");
// "phase" or "freq".
const char* StabilityKindName(TStabilityDataKind kind);
// "WFM/lag1", or "-" for a row without noise identification (MTIE).
std::string StabilityNoiseText(const TStabilityRow& row);

// The CSV layout: one header line, then one line per row of a series.
void WriteStabilityCsvHeader(std::ostream& out);
void WriteStabilityCsvRows(std::ostream& out, const std::string& series, TStabilityDataKind kind,
                           const TStabilityResult& result);
