#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The layout of a measurement log file as its header describes it: the parts
// (sources) with their letters and kinds, the interval of the main part, and
// the fixed-width columns found from the type and title lines. Pure text
// functions, so the reader and its tests share them.

// The value kinds of the analysis and the log types they come from.
enum class TLogValueKind {
  PhaseCycles,      // phase in periods: divided by f0, less the nominal time
  CycleDifference,  // phase difference in periods: divided by f0
  AbsoluteFrequency,  // Hz: f / f0 - 1
  RelativeFrequency,  // already f / f0 - 1
  Nanoseconds,      // residuals and time intervals: seconds = ns * 1e-9
  NotAnalysed,      // raw data, averages
};
TLogValueKind LogValueKind(int bit);

// "phase", "freq", ... of the command line for log type `bit`; null when the
// type is not analysed. And back: -1 for an unknown name.
const char* LogColumnTypeName(int bit);
int LogColumnTypeBit(std::string_view name);
// "phase, freq, ...": every name LogColumnTypeBit knows.
std::string LogColumnTypeNames();

struct TLogColumn {
  int Part = 0;        // 0-based part (source) of the line
  char Letter = '?';   // the part's session letter
  int Bit = 0;         // log type
  int Channel = 0;     // 1..24, 0 when the title does not give the number
  bool Virtual = false;
  std::string Name;    // the channel's name from the title
  std::size_t Offset = 0, Width = 0;  // position in every data line
};

struct TLogLayout {
  std::vector<char> Letters;                 // per part, from "#Source:"
  std::vector<bool> TimeIntervalParts;       // per part, "#Mode:      QMT"
  std::optional<double> IntervalSeconds;     // "#Interval:" of the first part
  std::vector<TLogColumn> Columns;           // every column of the title line
  std::size_t LineLength = 0;                // length of the title line = of a data line
};

// Reads one header line into the layout; true when it was the title line
// (the layout's columns are then complete; the type line must come before).
// An error text for a type or title line that cannot be understood.
bool AddLogHeaderLine(std::string_view line, TLogLayout& layout, std::string& typeLine, std::string& error);

// "1ms", "500ms", "1s", "2000s": seconds; nothing for another text.
std::optional<double> IntervalTextSeconds(std::string_view text);

// A number field of a log or data file: the value as whole + fraction (same
// sign) so that 20-digit phase texts keep their precision; both decimal
// separators, an exponent, surrounding blanks. Blank, dashes and NaN are gaps.
struct TSplitNumber {
  int64_t Whole = 0;
  double Fraction = 0;
  double Value() const { return static_cast<double>(Whole) + Fraction; }
};
enum class TFieldRead { Number, Gap, Bad };
TFieldRead ParseLogNumber(std::string_view text, TSplitNumber& number);

// A column asked for on the command line: [PART:]TYPE:CHANNEL, CHANNEL a
// number or a channel name.
struct TLogColumnChoice {
  char Letter = 0;  // 0: any part
  int Bit = -1;
  std::string Channel;
  std::string Text;  // as given
};
std::optional<TLogColumnChoice> ParseLogColumnChoice(const std::string& text, std::string& error);
bool LogColumnMatches(const TLogColumn& column, const TLogColumnChoice& choice);
// "A:phase:1 (Channel_1)"
std::string LogColumnTitle(const TLogColumn& column);
