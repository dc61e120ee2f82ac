#include "app/analysis/App_StabilityReader.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <memory>

#include "app/analysis/App_LogFileLayout.h"
#include "app/output/App_LogDefinition.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr std::size_t kChunkBytes = std::size_t{1} << 20;
constexpr std::size_t kMaxLineBytes = std::size_t{1} << 20;  // a log line of 24 channels is a few kB
constexpr double kInvalidTimeInterval = -9.99;               // what the time-interval store writes for none

using TChunkReader = std::function<std::size_t(char* buffer, std::size_t size)>;

std::string NumberText(double value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, 6);
  return std::string(buffer, result.ptr);
}

// One column read from the files: what it keeps and what the conversion of
// its own and of its channel's other columns needs.
struct TColumnState {
  TLogColumn Column;
  TLogValueKind Kind = TLogValueKind::NotAnalysed;
  bool Keep = false;  // asked for; else read only for its channel's f0
  int64_t FirstLine = -1, LastLine = -1;
  TSplitNumber Reference;  // the first value: kept values are relative to it
  int64_t Ramp = 0;        // whole periods per line taken out of phase values
  bool RampSet = false;
  double Sum = 0, LastKept = 0;
  int64_t Count = 0;
  TLargeVector<double> Values;
};

// Channel identity for the f0 that its phase and frequency columns share.
std::string ChannelKey(const TLogColumn& column) {
  return std::string(1, column.Letter) + (column.Virtual ? "V" : "") +
         (column.Channel > 0 ? std::to_string(column.Channel) : "~" + column.Name);
}

bool SameColumn(const TLogColumn& a, const TLogColumn& b) {
  return a.Letter == b.Letter && a.Bit == b.Bit && a.Channel == b.Channel && a.Name == b.Name;
}

class TReader {
 public:
  TReader(const TStabilityReadOptions& options, uint64_t totalBytes) : FOptions(options), FTotalBytes(totalBytes) {}

  // Reads one file; false after an error.
  bool Read(const std::string& name, const TChunkReader& read);
  TStabilityReadResult Finish();

 private:
  enum class TFileKind { Unknown, Log, Plain };

  bool Fail(TReadStatus status, std::string text) {
    if (FResult.Error.empty()) {
      FResult.Status = status;
      FResult.Error = std::move(text);
    }
    return false;
  }
  std::string Where() const { return FName + ":" + std::to_string(FFileLine); }
  bool Line(std::string_view line, bool complete);
  bool HeaderLine(std::string_view line);
  bool LogDataLine(std::string_view line, bool complete);
  bool PlainDataLine(std::string_view line);
  bool StartLogColumns();
  bool Take(TColumnState& state, int64_t line, std::string_view field);
  bool ConvertColumn(TColumnState& state, TStabilitySeries& series);
  const TColumnState* F0Source(const TColumnState& state, int bit) const;

  const TStabilityReadOptions& FOptions;
  // Read buffer of every file, left uninitialised and no larger than the
  // files: zero-filling 1 MiB for a short text cost more than reading it.
  std::unique_ptr<char[]> FChunk;
  std::size_t FChunkBytes = 0;
  uint64_t FTotalBytes = 0, FDoneBytes = 0;
  TStabilityReadResult FResult;
  std::string FName, FFirstName;
  int64_t FFileLine = 0;
  TFileKind FKind = TFileKind::Unknown;
  bool FFileHasHeader = false;
  // Log files.
  TLogLayout FLayout;
  std::string FTypeLine;
  bool FLayoutReady = false, FColumnsStarted = false;
  std::optional<double> FInterval;
  std::vector<std::unique_ptr<TColumnState>> FColumns;
  int64_t FDataLine = 0;  // across all files
};

bool TReader::Read(const std::string& name, const TChunkReader& read) {
  FName = name;
  if (FFirstName.empty()) FFirstName = name;
  FFileLine = 0;
  FFileHasHeader = false;
  FLayoutReady = false;
  FLayout = {};
  FTypeLine.clear();
  std::string pending;  // the start of a line whose end is in the next chunk
  if (!FChunk) {
    // A file that grows while it is read is read in more chunks.
    FChunkBytes = FTotalBytes > 0 && FTotalBytes < kChunkBytes ? std::max<std::size_t>(FTotalBytes, 4096) : kChunkBytes;
    FChunk.reset(new char[FChunkBytes]);
  }
  for (;;) {
    const std::size_t got = read(FChunk.get(), FChunkBytes);
    if (got == 0) break;
    FDoneBytes += got;
    std::string_view text(FChunk.get(), got);
    while (!text.empty()) {
      const std::size_t end = text.find('\n');
      if (end == std::string_view::npos) {
        if (pending.size() + text.size() > kMaxLineBytes)
          return Fail(TReadStatus::BadFile, Where() + ": a line longer than 1 MiB");
        pending.append(text);
        break;
      }
      ++FFileLine;
      bool ok;
      if (pending.empty()) {
        ok = Line(text.substr(0, end), true);
      } else {
        pending.append(text.substr(0, end));
        ok = Line(pending, true);
        pending.clear();
      }
      if (!ok) return false;
      text.remove_prefix(end + 1);
    }
    if (FOptions.Progress) FOptions.Progress(FDoneBytes, FTotalBytes);
    if (FOptions.Cancelled && FOptions.Cancelled()) return Fail(TReadStatus::Cancelled, "cancelled");
  }
  if (!pending.empty()) {
    ++FFileLine;
    if (!Line(pending, false)) return false;
  }
  if (FKind == TFileKind::Unknown) return Fail(TReadStatus::BadFile, FName + ": no values");
  return true;
}

bool TReader::Line(std::string_view line, bool complete) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  if (line.empty()) return true;
  if (line.front() == '#') return HeaderLine(line);
  if (FKind == TFileKind::Unknown) {
    if (FFileHasHeader && !FLayoutReady)
      return Fail(TReadStatus::BadFile, Where() + ": a log file without type and title lines");
    if (!FLayoutReady) {
      if (!FOptions.PlainKind || !FOptions.Tau0)
        return Fail(TReadStatus::BadArguments, FName + " is no log file: plain data need --data and --tau0");
      FKind = TFileKind::Plain;
      auto state = std::make_unique<TColumnState>();
      state->Keep = true;
      FColumns.push_back(std::move(state));
    } else {
      FKind = TFileKind::Log;
    }
  }
  if (FKind == TFileKind::Plain) return PlainDataLine(line);
  return LogDataLine(line, complete);
}

bool TReader::HeaderLine(std::string_view line) {
  if (FKind == TFileKind::Plain) {
    if (line.starts_with("#PC time") || line.starts_with("#PAV time"))
      return Fail(TReadStatus::BadFile, FName + " is a log file, " + FFirstName + " plain data");
    return true;  // a comment of a plain data file
  }
  if (line.starts_with("#Filename:")) {
    // A header block starts: a file written on after a restart repeats it.
    FFileHasHeader = true;
    FLayout = {};
    FTypeLine.clear();
  }
  std::string error;
  const bool title = AddLogHeaderLine(line, FLayout, FTypeLine, error);
  if (!error.empty()) return Fail(TReadStatus::BadFile, Where() + ": " + error);
  if (!title) return true;
  FFileHasHeader = true;
  FLayoutReady = true;
  return StartLogColumns();
}

// Finds the tracked columns in a new title line: on the first one the
// columns asked for (and the columns their f0 comes from) are chosen.
bool TReader::StartLogColumns() {
  const std::optional<double> interval = FOptions.Tau0 ? FOptions.Tau0 : FLayout.IntervalSeconds;
  if (!FColumnsStarted) {
    FInterval = interval;
    if (!FInterval)
      return Fail(TReadStatus::BadArguments, FName + " names no interval (its first source has none): give --tau0");
    std::vector<const TLogColumn*> chosen;
    if (FOptions.Columns.empty()) {
      for (const TLogColumn& column : FLayout.Columns)
        if (LogValueKind(column.Bit) != TLogValueKind::NotAnalysed) chosen.push_back(&column);
      if (chosen.empty()) return Fail(TReadStatus::BadFile, FName + ": no column that can be analysed");
    }
    for (const std::string& text : FOptions.Columns) {
      std::string error;
      const std::optional<TLogColumnChoice> choice = ParseLogColumnChoice(text, error);
      if (!choice) return Fail(TReadStatus::BadArguments, error);
      const auto found = std::find_if(FLayout.Columns.begin(), FLayout.Columns.end(),
                                      [&](const TLogColumn& column) { return LogColumnMatches(column, *choice); });
      if (found == FLayout.Columns.end()) {
        std::string known;
        for (const TLogColumn& column : FLayout.Columns)
          if (LogValueKind(column.Bit) != TLogValueKind::NotAnalysed)
            known += (known.empty() ? "" : ", ") + LogColumnTitle(column);
        return Fail(TReadStatus::BadArguments, "column " + text + " is not in " + FName + " (it has " +
                                                   (known.empty() ? std::string("none") : known) + ")");
      }
      if (std::find(chosen.begin(), chosen.end(), &*found) == chosen.end()) chosen.push_back(&*found);
    }
    for (const TLogColumn* column : chosen) {
      auto state = std::make_unique<TColumnState>();
      state->Column = *column;
      state->Kind = LogValueKind(column->Bit);
      state->Keep = true;
      FColumns.push_back(std::move(state));
    }
    // A channel's f0 is the mean of its frequency column, else the slope of
    // its phase: read those too, without keeping their values.
    if (!FOptions.Nominal) {
      for (const TLogColumn& column : FLayout.Columns) {
        if (column.Bit != LogType::Freq && column.Bit != LogType::FreqAbsV && column.Bit != LogType::Phase) continue;
        const bool needed = std::any_of(FColumns.begin(), FColumns.end(), [&](const auto& state) {
          return state->Keep && ChannelKey(state->Column) == ChannelKey(column);
        });
        const bool tracked = std::any_of(FColumns.begin(), FColumns.end(),
                                         [&](const auto& state) { return SameColumn(state->Column, column); });
        if (!needed || tracked) continue;
        auto state = std::make_unique<TColumnState>();
        state->Column = column;
        state->Kind = LogValueKind(column.Bit);
        FColumns.push_back(std::move(state));
      }
    }
    FColumnsStarted = true;
    return true;
  }
  if (interval && FInterval && std::fabs(*interval - *FInterval) > 1e-12 * *FInterval)
    return Fail(TReadStatus::BadFile, FName + ": interval " + NumberText(*interval) + " s differs from " +
                                          NumberText(*FInterval) + " s of " + FFirstName);
  for (auto& state : FColumns) {
    const auto found = std::find_if(FLayout.Columns.begin(), FLayout.Columns.end(),
                                    [&](const TLogColumn& column) { return SameColumn(column, state->Column); });
    if (found == FLayout.Columns.end())
      return Fail(TReadStatus::BadFile, FName + " has no column " + LogColumnTitle(state->Column) + " (unlike " +
                                            FFirstName + ")");
    state->Column.Offset = found->Offset;
    state->Column.Width = found->Width;
  }
  return true;
}

bool TReader::LogDataLine(std::string_view line, bool complete) {
  if (line.find("# #") != std::string_view::npos) return true;  // a comment line after the time string
  if (!complete && line.size() < FLayout.LineLength) {
    FResult.Notes.push_back(FName + ": the last line is cut short and was not read");
    return true;
  }
  for (auto& state : FColumns) {
    const TLogColumn& column = state->Column;
    if (column.Offset + column.Width > line.size())
      return Fail(TReadStatus::BadFile, Where() + ": the line is shorter than its title line");
    if (!Take(*state, FDataLine, line.substr(column.Offset, column.Width))) return false;
  }
  ++FDataLine;
  return true;
}

bool TReader::PlainDataLine(std::string_view line) {
  if (line.front() == '%' || line.front() == ';') return true;
  std::vector<std::string_view> fields;
  std::size_t i = 0;
  const auto separator = [](char c) { return c == ' ' || c == '\t' || c == ';'; };
  while (i < line.size()) {
    while (i < line.size() && separator(line[i])) ++i;
    const std::size_t start = i;
    while (i < line.size() && !separator(line[i])) ++i;
    if (i > start) fields.push_back(line.substr(start, i - start));
  }
  if (fields.empty()) return true;
  if (fields.size() > 2)
    return Fail(TReadStatus::BadFile, Where() + ": " + std::to_string(fields.size()) +
                                          " fields; a data file has one column (values) or two (time, value)");
  return Take(*FColumns.front(), FDataLine++, fields.back());
}

bool TReader::Take(TColumnState& state, int64_t line, std::string_view field) {
  TSplitNumber number;
  switch (ParseLogNumber(field, number)) {
    case TFieldRead::Gap: return true;
    case TFieldRead::Bad: {
      std::string shown(field.substr(0, 40));
      shown.erase(0, shown.find_first_not_of(' '));
      const std::string what = FKind == TFileKind::Log ? " column " + LogColumnTitle(state.Column) + ":" : "";
      return Fail(TReadStatus::BadFile, Where() + ":" + what + " \"" + shown + "\" is not a number");
    }
    case TFieldRead::Number: break;
  }
  if ((state.Column.Bit == LogType::QMT || state.Column.Bit == LogType::QMTdiff) && FKind == TFileKind::Log &&
      number.Value() <= kInvalidTimeInterval + 1e-9)
    return true;
  if (state.FirstLine < 0) {
    state.FirstLine = line;
    state.Reference = number;
  }
  const int64_t k = line - state.FirstLine;
  double value = number.Value();
  int64_t whole = 0;
  switch (state.Kind) {
    case TLogValueKind::PhaseCycles:
    case TLogValueKind::CycleDifference: {
      // Whole periods per line are taken out, so that the double keeps the
      // fraction of a phase that grows by f0 * tau0 every line.
      if (!state.RampSet && k > 0) {
        const double step = (static_cast<double>(number.Whole - state.Reference.Whole) +
                             (number.Fraction - state.Reference.Fraction)) /
                            static_cast<double>(k);
        if (!(std::fabs(step) < 1e15)) return Fail(TReadStatus::BadFile, Where() + ": phase out of range");
        state.Ramp = std::llround(step);
        state.RampSet = true;
      }
      int64_t ramp = 0;
      if (__builtin_sub_overflow(number.Whole, state.Reference.Whole, &whole) ||
          __builtin_mul_overflow(state.Ramp, k, &ramp) || __builtin_sub_overflow(whole, ramp, &whole))
        return Fail(TReadStatus::BadFile, Where() + ": phase out of range");
      value = static_cast<double>(whole) + (number.Fraction - state.Reference.Fraction);
      break;
    }
    case TLogValueKind::AbsoluteFrequency:
      if (__builtin_sub_overflow(number.Whole, state.Reference.Whole, &whole))
        return Fail(TReadStatus::BadFile, Where() + ": frequency out of range");
      value = static_cast<double>(whole) + number.Fraction;
      break;
    default: break;
  }
  if (state.Keep) {
    if (k >= FOptions.MaxPoints)
      return Fail(TReadStatus::BadFile, "more than " + std::to_string(FOptions.MaxPoints) + " values in " +
                                            (FKind == TFileKind::Log ? LogColumnTitle(state.Column) : FFirstName) +
                                            " (--max-points)");
    state.Values.resize(static_cast<std::size_t>(k), kNaN);  // the gaps since the last value
    state.Values.push_back(value);
  }
  state.Sum += value;
  ++state.Count;
  state.LastLine = line;
  state.LastKept = value;
  return true;
}

const TColumnState* TReader::F0Source(const TColumnState& state, int bit) const {
  for (const auto& other : FColumns)
    if (other->Column.Bit == bit && other->Count > 0 && ChannelKey(other->Column) == ChannelKey(state.Column))
      return other.get();
  return nullptr;
}

bool TReader::ConvertColumn(TColumnState& state, TStabilitySeries& series) {
  const double tau0 = *FInterval;
  series.Name = LogColumnTitle(state.Column);
  series.Tau0 = tau0;
  series.Values = std::move(state.Values);
  const std::size_t n = series.Values.size();
  switch (state.Kind) {
    case TLogValueKind::Nanoseconds:
      series.Kind = TStabilityDataKind::Phase;
      for (double& v : series.Values) v *= 1e-9;
      return true;
    case TLogValueKind::RelativeFrequency: series.Kind = TStabilityDataKind::Frequency; return true;
    default: break;
  }
  // f0 as whole Hz + fraction, so that f - f0 of a frequency column is exact.
  int64_t f0Whole = 0;
  double f0Fraction = 0;
  if (FOptions.Nominal) {
    f0Whole = static_cast<int64_t>(std::floor(*FOptions.Nominal));
    f0Fraction = *FOptions.Nominal - static_cast<double>(f0Whole);
  } else if (const TColumnState* frequency =
                 F0Source(state, state.Column.Virtual ? LogType::FreqAbsV : LogType::Freq)) {
    f0Whole = frequency->Reference.Whole;
    f0Fraction = frequency->Sum / static_cast<double>(frequency->Count);  // kept values hold their fraction
  } else if (const TColumnState* phase = state.Column.Virtual ? nullptr : F0Source(state, LogType::Phase);
             phase && phase->LastLine > phase->FirstLine) {
    const double lines = static_cast<double>(phase->LastLine - phase->FirstLine);
    const double slope = (static_cast<double>(phase->Ramp) + phase->LastKept / lines) / tau0;
    f0Whole = static_cast<int64_t>(std::floor(slope));
    f0Fraction = slope - static_cast<double>(f0Whole);
  } else {
    return Fail(TReadStatus::BadArguments, "no frequency to convert " + series.Name + " with: give --nominal");
  }
  const double f0 = static_cast<double>(f0Whole) + f0Fraction;
  if (!(f0 > 0) || !std::isfinite(f0))
    return Fail(TReadStatus::BadArguments, "the frequency of " + series.Name + " is " + NumberText(f0) +
                                               ": give --nominal");
  series.F0 = f0;
  if (state.Kind == TLogValueKind::AbsoluteFrequency) {
    series.Kind = TStabilityDataKind::Frequency;
    const double offset = static_cast<double>(f0Whole - state.Reference.Whole) + f0Fraction;
    for (double& v : series.Values) v = (v - offset) / f0;
    return true;
  }
  series.Kind = TStabilityDataKind::Phase;
  const auto ramp = static_cast<double>(state.Ramp);
  // Phase: time error against the nominal time k * tau0 of line k.
  const double drift = state.Kind == TLogValueKind::PhaseCycles ? std::fma(-f0, tau0, ramp) / f0 : ramp / f0;
  for (std::size_t k = 0; k < n; ++k) series.Values[k] = series.Values[k] / f0 + static_cast<double>(k) * drift;
  return true;
}

TStabilityReadResult TReader::Finish() {
  if (!FResult.Error.empty()) return std::move(FResult);
  if (FKind == TFileKind::Plain) {
    TColumnState& state = *FColumns.front();
    TStabilitySeries series;
    series.Name = std::filesystem::path(FFirstName).filename().string();
    series.Kind = *FOptions.PlainKind;
    series.Tau0 = *FOptions.Tau0;
    series.Values = std::move(state.Values);
    FResult.Series.push_back(std::move(series));
    return std::move(FResult);
  }
  for (auto& state : FColumns) {
    if (!state->Keep) continue;
    if (state->Count == 0) {
      FResult.Notes.push_back(LogColumnTitle(state->Column) + ": no values");
      continue;
    }
    TStabilitySeries series;
    if (!ConvertColumn(*state, series)) return std::move(FResult);
    FResult.Series.push_back(std::move(series));
  }
  if (FResult.Series.empty()) Fail(TReadStatus::BadFile, "no values in the columns asked for");
  return std::move(FResult);
}

}  // namespace

TStabilityReadResult ReadStabilityFiles(const std::vector<std::string>& files, const TStabilityReadOptions& options) {
  uint64_t total = 0;
  for (const std::string& file : files) {
    std::error_code error;
    const auto size = std::filesystem::file_size(file, error);
    if (!error) total += size;
  }
  TReader reader(options, total);
  for (const std::string& file : files) {
    std::FILE* stream = std::fopen(file.c_str(), "rb");
    if (!stream) {
      TStabilityReadResult result;
      result.Status = TReadStatus::BadFile;
      result.Error = "cannot read " + file + ": " + std::strerror(errno);
      return result;
    }
    bool readError = false;
    const bool ok = reader.Read(file, [&](char* buffer, std::size_t size) {
      const std::size_t got = std::fread(buffer, 1, size, stream);
      if (got == 0 && std::ferror(stream)) readError = true;
      return got;
    });
    std::fclose(stream);
    if (readError) {
      TStabilityReadResult result;
      result.Status = TReadStatus::BadFile;
      result.Error = "cannot read " + file;
      return result;
    }
    if (!ok) break;
  }
  return reader.Finish();
}

TStabilityReadResult ReadStabilityTexts(const std::vector<std::string>& texts, const TStabilityReadOptions& options) {
  uint64_t total = 0;
  for (const std::string& text : texts) total += text.size();
  TReader reader(options, total);
  for (std::size_t k = 0; k < texts.size(); ++k) {
    std::size_t position = 0;
    const std::string& text = texts[k];
    const bool ok = reader.Read("text " + std::to_string(k + 1), [&](char* buffer, std::size_t size) {
      const std::size_t got = std::min(size, text.size() - position);
      std::memcpy(buffer, text.data() + position, got);
      position += got;
      return got;
    });
    if (!ok) break;
  }
  return reader.Finish();
}
