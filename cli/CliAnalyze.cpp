#include "cli/CliAnalyze.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "app/analysis/App_StabilityAnalysis.h"
#include "app/analysis/App_StabilityReader.h"
#include "app/analysis/App_StabilityReport.h"

namespace {

constexpr int kBadFile = 1;
constexpr int kBadArguments = 2;

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find(',', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) items.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return items;
}

std::optional<double> ParseSeconds(const std::string& text) {
  double value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || !(value > 0) || !std::isfinite(value))
    return std::nullopt;
  return value;
}

std::string JsonText(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
      quoted += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      quoted += escape;
    } else {
      quoted += c;
    }
  }
  return quoted + "\"";
}

std::string PadLeft(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

struct TAnalysed {
  const TStabilitySeries* Series;
  TStabilityResult Result;
};

void PrintTable(const std::vector<TAnalysed>& analysed, std::ostream& out) {
  for (const TAnalysed& item : analysed) {
    const TStabilitySeries& series = *item.Series;
    out << series.Name << ": " << StabilityKindName(series.Kind) << ", tau0 " << StabilityNumber(series.Tau0) << " s";
    if (series.F0) out << ", f0 " << StabilityNumber(*series.F0, 15) << " Hz";
    out << ", " << item.Result.Values << " values, " << item.Result.Gaps << " gaps\n";
    out << "  estimator        tau/s          N      terms  noise           deviation          low         high       edf\n";
    for (const TStabilityRow& row : item.Result.Rows) {
      out << "  " << PadLeft(StabilityEstimatorTitle(row.Estimator), 9) << PadLeft(StabilityNumber(row.Tau), 13)
          << PadLeft(std::to_string(row.N), 11) << PadLeft(std::to_string(row.Terms), 11) << "  "
          << StabilityNoiseText(row) << std::string(StabilityNoiseText(row).size() < 13 ? 13 - StabilityNoiseText(row).size() : 1, ' ')
          << PadLeft(StabilityNumber(row.Deviation), 12) << PadLeft(StabilityNumber(row.Low), 13) << PadLeft(StabilityNumber(row.High), 13)
          << PadLeft(StabilityNumber(row.Edf, 5), 10) << "\n";
    }
    out << "\n";
  }
}

void PrintCsv(const std::vector<TAnalysed>& analysed, std::ostream& out) {
  WriteStabilityCsvHeader(out);
  for (const TAnalysed& item : analysed)
    WriteStabilityCsvRows(out, item.Series->Name, item.Series->Kind, item.Result);
}

void PrintJson(const std::vector<TAnalysed>& analysed, const std::vector<std::string>& notes, std::ostream& out) {
  out << "{\"series\":[";
  for (std::size_t s = 0; s < analysed.size(); ++s) {
    const TAnalysed& item = analysed[s];
    const TStabilitySeries& series = *item.Series;
    out << (s ? "," : "") << "\n{\"name\":" << JsonText(series.Name) << ",\"kind\":\"" << StabilityKindName(series.Kind)
        << "\",\"tau0\":" << StabilityNumber(series.Tau0, 17, "null")
        << ",\"f0\":" << (series.F0 ? StabilityNumber(*series.F0, 17, "null") : "null") << ",\"values\":" << item.Result.Values
        << ",\"gaps\":" << item.Result.Gaps << ",\"rows\":[";
    for (std::size_t r = 0; r < item.Result.Rows.size(); ++r) {
      const TStabilityRow& row = item.Result.Rows[r];
      const bool noise = row.Noise != TNoiseMethod::None;
      out << (r ? "," : "") << "\n {\"estimator\":\"" << StabilityEstimatorName(row.Estimator)
          << "\",\"tau\":" << StabilityNumber(row.Tau, 17, "null") << ",\"m\":" << row.M << ",\"n\":" << row.N
          << ",\"terms\":" << row.Terms << ",\"noise\":" << (noise ? JsonText(NoiseTypeName(row.Alpha)) : "null")
          << ",\"noise_method\":" << (noise ? JsonText(NoiseMethodName(row.Noise)) : "null")
          << ",\"alpha\":" << (noise ? std::to_string(row.Alpha) : "null")
          << ",\"deviation\":" << StabilityNumber(row.Deviation, 10, "null") << ",\"low\":" << StabilityNumber(row.Low, 10, "null")
          << ",\"high\":" << StabilityNumber(row.High, 10, "null") << ",\"edf\":" << StabilityNumber(row.Edf, 6, "null") << "}";
    }
    out << "]}";
  }
  out << "],\n\"notes\":[";
  for (std::size_t k = 0; k < notes.size(); ++k) out << (k ? "," : "") << JsonText(notes[k]);
  out << "]}\n";
}

// The analysis options from the command line; an error text when one is bad.
std::string StabilityOptions(const TAnalyzeOptions& options, TStabilityOptions& stability) {
  stability.Estimators.clear();
  for (const std::string& name : SplitList(options.Estimators)) {
    const std::optional<TStabilityEstimator> estimator = StabilityEstimatorFromName(name);
    if (!estimator) return "unknown estimator \"" + name + "\" (adev, oadev, mdev, tdev, hdev, ohdev, totdev, mtie)";
    stability.Estimators.push_back(*estimator);
  }
  if (stability.Estimators.empty()) return "no estimator given";
  if (options.Taus == "octave") {
    stability.Taus = TTauSet::Octave;
  } else if (options.Taus == "decade") {
    stability.Taus = TTauSet::Decade;
  } else if (options.Taus == "many") {
    stability.Taus = TTauSet::Many;
  } else {
    stability.Taus = TTauSet::List;
    for (const std::string& item : SplitList(options.Taus)) {
      const std::optional<double> tau = ParseSeconds(item);
      if (!tau) return "--taus: \"" + item + "\" is no tau in seconds (or octave, decade, many)";
      stability.TauList.push_back(*tau);
    }
    if (stability.TauList.empty()) return "--taus: no tau given";
  }
  stability.Confidence = options.Confidence > 1 && options.Confidence < 100 ? options.Confidence / 100
                                                                            : options.Confidence;
  if (!(stability.Confidence > 0 && stability.Confidence < 1))
    return "--confidence must lie between 0 and 1 (or 0 and 100 %)";
  if (options.Format != "table" && options.Format != "csv" && options.Format != "json")
    return "--format is table, csv or json";
  if (!options.Data.empty() && options.Data != "phase" && options.Data != "freq") return "--data is phase or freq";
  if (options.Tau0 && !(*options.Tau0 > 0 && std::isfinite(*options.Tau0))) return "--tau0 must be positive";
  if (options.Nominal && !(*options.Nominal > 0 && std::isfinite(*options.Nominal)))
    return "--nominal must be positive";
  if (options.MaxPoints < 1) return "--max-points must be positive";
  if (options.Files.empty()) return "no file given";
  return {};
}

}  // namespace

int RunAnalyze(const TAnalyzeOptions& options, std::ostream& out, std::ostream& err) {
  TStabilityOptions stability;
  if (const std::string error = StabilityOptions(options, stability); !error.empty()) {
    err << "zep-cli: " << error << "\n";
    return kBadArguments;
  }
  TStabilityReadOptions read;
  read.Columns = options.Columns;
  if (!options.Data.empty())
    read.PlainKind = options.Data == "phase" ? TStabilityDataKind::Phase : TStabilityDataKind::Frequency;
  read.Tau0 = options.Tau0;
  read.Nominal = options.Nominal;
  read.MaxPoints = options.MaxPoints;
  int shownPercent = 0;
  read.Progress = [&](uint64_t done, uint64_t total) {
    if (total < kAnalyzeProgressBytes) return;
    const int percent = static_cast<int>(done * 100 / total);
    if (percent / 10 <= shownPercent / 10) return;
    shownPercent = percent;
    err << "zep-cli: read " << percent << " % of " << total / (1 << 20) << " MiB\n" << std::flush;
  };
  const TStabilityReadResult data = ReadStabilityFiles(options.Files, read);
  std::vector<std::string> notes = data.Notes;
  if (data.Status != TReadStatus::Ok) {
    err << "zep-cli: " << data.Error << "\n";
    return data.Status == TReadStatus::BadArguments ? kBadArguments : kBadFile;
  }
  int status = 0;
  std::vector<TAnalysed> analysed;
  for (const TStabilitySeries& series : data.Series) {
    TStabilityOptions seriesOptions = stability;
    seriesOptions.Tau0 = series.Tau0;
    seriesOptions.Kind = series.Kind;
    for (double tau : seriesOptions.TauList)
      if (!AveragingFactor(tau, series.Tau0)) {
        err << "zep-cli: tau " << StabilityNumber(tau) << " s is not a multiple of tau0 (" << StabilityNumber(series.Tau0)
            << " s)\n";
        return kBadArguments;
      }
    TStabilityResult result = AnalyzeStability(series.Values, seriesOptions);
    for (const std::string& note : result.Notes) notes.push_back(series.Name + ": " + note);
    if (!result.Error.empty()) {
      err << "zep-cli: " << series.Name << ": " << result.Error << "\n";
      status = kBadFile;
      continue;
    }
    analysed.push_back({&series, std::move(result)});
  }
  for (const std::string& note : notes) err << "zep-cli: " << note << "\n";
  if (options.Format == "csv")
    PrintCsv(analysed, out);
  else if (options.Format == "json")
    PrintJson(analysed, notes, out);
  else
    PrintTable(analysed, out);
  out.flush();
  return status;
}
