#include "app/analysis/App_LogFileLayout.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <limits>

#include "app/output/App_LogDefinition.h"

namespace {

struct TColumnType {
  int Bit;
  const char* Name;
  TLogValueKind Kind;
};
constexpr std::array<TColumnType, 13> kColumnTypes{{
    {LogType::Phase, "phase", TLogValueKind::PhaseCycles},
    {LogType::Freq, "freq", TLogValueKind::AbsoluteFrequency},
    {LogType::PhaseDiff, "phasediff", TLogValueKind::CycleDifference},
    {LogType::PhaseDiffPrev, "phasediffprev", TLogValueKind::CycleDifference},
    {LogType::PhaseRes, "phaseres", TLogValueKind::Nanoseconds},
    {LogType::QMT, "qmt", TLogValueKind::Nanoseconds},
    {LogType::QMTdiff, "qmtdiff", TLogValueKind::Nanoseconds},
    {LogType::PhaseResV, "vphaseres", TLogValueKind::Nanoseconds},
    {LogType::FreqAbsV, "vfreq", TLogValueKind::AbsoluteFrequency},
    {LogType::FreqRelV, "vfreqrel", TLogValueKind::RelativeFrequency},
    {LogType::QMTV, "vqmt", TLogValueKind::Nanoseconds},
    {LogType::PhaseDiffV, "vphasediff", TLogValueKind::CycleDifference},
    {LogType::PhaseDiffPrevV, "vphasediffprev", TLogValueKind::CycleDifference},
}};

const TColumnType* ColumnType(int bit) {
  for (const TColumnType& type : kColumnTypes)
    if (type.Bit == bit) return &type;
  return nullptr;
}

bool IsVirtualBit(int bit) {
  return bit == LogType::PhaseResV || bit == LogType::FreqAbsV || bit == LogType::FreqRelV ||
         bit == LogType::QMTV || bit == LogType::PhaseDiffV || bit == LogType::PhaseDiffPrevV;
}

bool IsDifferenceBit(int bit) {
  return bit == LogType::PhaseDiff || bit == LogType::PhaseDiffPrev || bit == LogType::PhaseDiffV ||
         bit == LogType::PhaseDiffPrevV || bit == LogType::QMTdiff;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
  return text;
}

std::optional<int> WholeNumber(std::string_view text) {
  int value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// Labels of the type line: runs of text separated by two or more blanks.
struct TLabel {
  std::string_view Text;
  std::size_t End;  // one past its last character
};
std::vector<TLabel> Labels(std::string_view line) {
  std::vector<TLabel> labels;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    const std::size_t start = i;
    while (i < line.size() && !(line[i] == ' ' && (i + 1 >= line.size() || line[i + 1] == ' '))) ++i;
    if (i > start) labels.push_back({line.substr(start, i - start), i});
  }
  return labels;
}

// The log types whose type-line label is `label`, in ascending order.
std::vector<int> BitsOfLabel(std::string_view label) {
  std::vector<int> bits;
  for (int bit = 0; bit < LogType::Count; ++bit) {
    const TLogTypeInfo* info = LogTypeInfo(bit);
    if (info && info->Label && *info->Label && label == info->Label) bits.push_back(bit);
  }
  return bits;
}

// Text between two column blocks of the title line that only sync and
// digital-input captions fill.
bool IsSeparatorText(std::string_view text) {
  return text.find("Sync Time") != std::string_view::npos || text.find("PDI") != std::string_view::npos;
}

// Channel number and name of a title field: "3:Name", "Name", "3 - 1",
// "Name3 - Name1".
void ReadTitle(std::string_view title, TLogColumn& column) {
  title = Trim(title);
  const std::size_t dash = IsDifferenceBit(column.Bit) ? title.find(" - ") : std::string_view::npos;
  if (dash != std::string_view::npos) {
    const std::string_view left = title.substr(0, dash);
    if (const std::optional<int> number = WholeNumber(left))
      column.Channel = *number;
    else
      column.Name = std::string(left);
    return;
  }
  const std::size_t colon = title.find(':');
  if (colon != std::string_view::npos) {
    if (const std::optional<int> number = WholeNumber(title.substr(0, colon))) {
      column.Channel = *number;
      column.Name = std::string(title.substr(colon + 1));
      return;
    }
  }
  column.Name = std::string(title);
}

// Splits the title line into columns at the blocks the type line's labels mark.
bool ReadColumns(std::string_view typeLine, std::string_view title, TLogLayout& layout, std::string& error) {
  struct TBlock {
    int Bit;
    std::size_t Start, Width;
  };
  std::vector<TBlock> blocks;
  const std::vector<TLabel> labels = Labels(typeLine);
  // The first label is the time zone ("#zone local").
  for (std::size_t k = 1; k < labels.size(); ++k) {
    const std::vector<int> bits = BitsOfLabel(labels[k].Text);
    if (bits.empty()) {
      error = "unknown column type \"" + std::string(labels[k].Text) + "\" in the type line";
      return false;
    }
    const TLogTypeInfo* info = LogTypeInfo(bits.front());
    // Averages are 15 wide on a time-interval source; the header tells the
    // kinds of the parts, and a file of time-interval parts only is the one
    // case where that width is certain.
    std::size_t width = static_cast<std::size_t>(info->Width);
    if (info->QMTWidth != info->Width && !layout.TimeIntervalParts.empty() &&
        std::all_of(layout.TimeIntervalParts.begin(), layout.TimeIntervalParts.end(), [](bool ti) { return ti; }))
      width = static_cast<std::size_t>(info->QMTWidth);
    if (labels[k].End < width) {
      error = "the type line's columns do not fit";
      return false;
    }
    // Two blocks with one label (phase differences to channel 1 and to the
    // channel before) follow each other in a part; a lone one reads as the
    // lower type, the difference to channel 1.
    int bit = bits.front();
    if (bits.size() > 1 && !blocks.empty() && blocks.back().Bit == bits.front()) bit = bits.back();
    blocks.push_back({bit, labels[k].End - width, width});
  }
  int part = 0;
  for (std::size_t b = 0; b < blocks.size(); ++b) {
    const TBlock& block = blocks[b];
    const std::size_t limit = b + 1 < blocks.size() ? blocks[b + 1].Start : title.size();
    if (limit < block.Start) {
      error = "the type line's columns overlap";
      return false;
    }
    std::size_t fields = (limit - block.Start) / block.Width;
    while (fields > 0 && block.Start + fields * block.Width <= title.size() &&
           IsSeparatorText(title.substr(block.Start + (fields - 1) * block.Width, block.Width)))
      --fields;
    if (b > 0) {
      const TBlock& before = blocks[b - 1];
      // A new part starts after a sync column or where the types stop rising.
      const std::string_view gap = title.substr(std::min(title.size(), before.Start), block.Start - before.Start);
      const std::size_t fieldsBefore = (block.Start - before.Start) / before.Width;
      const std::string_view rest = gap.substr(std::min(gap.size(), fieldsBefore * before.Width));
      if (block.Bit <= before.Bit || rest.find('S') != std::string_view::npos) ++part;
    }
    // A lone difference block is to channel 1 when every title ends in the
    // same channel, else to the channel before ("X3 - DUT", "DUT - REF").
    int bit = block.Bit;
    const std::vector<int> sameLabel = BitsOfLabel(labels[b + 1].Text);
    if (sameLabel.size() > 1 && bit == sameLabel.front()) {
      std::vector<std::string_view> rightSides;
      for (std::size_t f = 0; f < fields && block.Start + (f + 1) * block.Width <= title.size(); ++f) {
        const std::string_view field = Trim(title.substr(block.Start + f * block.Width, block.Width));
        const std::size_t dash = field.find(" - ");
        if (dash != std::string_view::npos) rightSides.push_back(field.substr(dash + 3));
      }
      const bool toChannelBefore =
          std::any_of(rightSides.begin(), rightSides.end(), [&](std::string_view r) { return r != rightSides[0]; });
      const bool followed = b + 1 < blocks.size() && blocks[b + 1].Bit == sameLabel.back();
      if (toChannelBefore && !followed) bit = sameLabel.back();
    }
    for (std::size_t f = 0; f < fields; ++f) {
      TLogColumn column;
      column.Part = part;
      column.Letter = part < static_cast<int>(layout.Letters.size()) ? layout.Letters[static_cast<std::size_t>(part)]
                                                                     : static_cast<char>('A' + std::min(part, 25));
      column.Bit = bit;
      column.Virtual = IsVirtualBit(bit);
      column.Offset = block.Start + f * block.Width;
      column.Width = block.Width;
      if (column.Offset + column.Width > title.size()) break;
      ReadTitle(title.substr(column.Offset, column.Width), column);
      layout.Columns.push_back(std::move(column));
    }
  }
  // Difference titles name channels ("DUT - REF"): their numbers come from
  // the numbered titles of the same part.
  for (TLogColumn& column : layout.Columns) {
    if (column.Channel > 0 || column.Name.empty()) continue;
    for (const TLogColumn& other : layout.Columns)
      if (other.Part == column.Part && other.Virtual == column.Virtual && other.Channel > 0 && other.Name == column.Name)
        column.Channel = other.Channel;
  }
  layout.LineLength = title.size();
  return true;
}

bool StartsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

constexpr std::array<double, 23> kPowersOfTen{1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                              1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

}  // namespace

TLogValueKind LogValueKind(int bit) {
  const TColumnType* type = ColumnType(bit);
  return type ? type->Kind : TLogValueKind::NotAnalysed;
}

const char* LogColumnTypeName(int bit) {
  const TColumnType* type = ColumnType(bit);
  return type ? type->Name : nullptr;
}

int LogColumnTypeBit(std::string_view name) {
  for (const TColumnType& type : kColumnTypes)
    if (name.size() == std::char_traits<char>::length(type.Name) &&
        std::equal(name.begin(), name.end(), type.Name,
                   [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; }))
      return type.Bit;
  return -1;
}

std::string LogColumnTypeNames() {
  std::string names;
  for (const TColumnType& type : kColumnTypes) names += (names.empty() ? "" : ", ") + std::string(type.Name);
  return names;
}

std::optional<double> IntervalTextSeconds(std::string_view text) {
  text = Trim(text);
  double scale = 1;
  if (text.ends_with("ms")) {
    scale = 1e-3;
    text.remove_suffix(2);
  } else if (text.ends_with("s")) {
    text.remove_suffix(1);
  } else {
    return std::nullopt;
  }
  const std::optional<int> number = WholeNumber(Trim(text));  // "1s" or "1 s"
  if (!number || *number <= 0) return std::nullopt;
  return *number * scale;
}

bool AddLogHeaderLine(std::string_view line, TLogLayout& layout, std::string& typeLine, std::string& error) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n')) line.remove_suffix(1);
  if (StartsWith(line, "#Source:")) {
    const std::size_t bracket = line.find('[');
    const char letter = bracket != std::string_view::npos && bracket + 1 < line.size() ? line[bracket + 1] : '?';
    layout.Letters.push_back(letter);
    layout.TimeIntervalParts.push_back(false);
  } else if (StartsWith(line, "#Mode:")) {
    if (!layout.TimeIntervalParts.empty()) layout.TimeIntervalParts.back() = Trim(line.substr(6)) == "QMT";
  } else if (StartsWith(line, "#Interval:")) {
    if (layout.Letters.size() <= 1 && !layout.IntervalSeconds) layout.IntervalSeconds = IntervalTextSeconds(line.substr(10));
  } else if (StartsWith(line, "#zone ")) {
    typeLine = std::string(line);
  } else if (StartsWith(line, "#PC time") || StartsWith(line, "#PAV time")) {
    if (typeLine.empty()) {
      error = "the title line has no type line before it";
      return false;
    }
    layout.Columns.clear();
    const bool read = ReadColumns(typeLine, line, layout, error);
    return read;
  }
  return false;
}

TFieldRead ParseLogNumber(std::string_view text, TSplitNumber& number) {
  text = Trim(text);
  if (text.empty() || text.find_first_not_of('-') == std::string_view::npos) return TFieldRead::Gap;
  std::string_view body = text;
  const bool negative = body.front() == '-';
  if (body.front() == '-' || body.front() == '+') body.remove_prefix(1);
  if (body.size() == 3 && (body[0] | 0x20) == 'n' && (body[1] | 0x20) == 'a' && (body[2] | 0x20) == 'n')
    return TFieldRead::Gap;
  std::size_t i = 0;
  uint64_t whole = 0;
  int wholeDigits = 0;
  while (i < body.size() && body[i] >= '0' && body[i] <= '9') {
    whole = whole * 10 + static_cast<uint64_t>(body[i] - '0');
    ++wholeDigits;
    if (wholeDigits > 18) return TFieldRead::Bad;  // beyond what whole + fraction holds exactly
    ++i;
  }
  uint64_t fraction = 0;
  int fractionDigits = 0, allFractionDigits = 0;
  if (i < body.size() && (body[i] == '.' || body[i] == ',')) {
    ++i;
    while (i < body.size() && body[i] >= '0' && body[i] <= '9') {
      if (fractionDigits < 19) {
        fraction = fraction * 10 + static_cast<uint64_t>(body[i] - '0');
        ++fractionDigits;
      }
      ++allFractionDigits;
      ++i;
    }
  }
  if (wholeDigits + allFractionDigits == 0) return TFieldRead::Bad;
  double value = static_cast<double>(fraction) / kPowersOfTen[static_cast<std::size_t>(fractionDigits)];
  int64_t wholePart = static_cast<int64_t>(whole);
  if (i < body.size() && (body[i] == 'e' || body[i] == 'E')) {
    // Exponent form: the digits carry no more than a double's precision.
    int exponent = 0;
    std::string_view digits = body.substr(i + 1);
    if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), exponent);
    if (error != std::errc() || end != digits.data() + digits.size()) return TFieldRead::Bad;
    const double full = (static_cast<double>(whole) + value) * std::pow(10.0, exponent);
    if (!std::isfinite(full) || full >= 1e18) return TFieldRead::Bad;  // as the 18 whole digits above
    wholePart = static_cast<int64_t>(full);
    value = full - static_cast<double>(wholePart);
    i = body.size();
  }
  if (i != body.size()) return TFieldRead::Bad;
  number.Whole = negative ? -wholePart : wholePart;
  number.Fraction = negative ? -value : value;
  return TFieldRead::Number;
}

std::optional<TLogColumnChoice> ParseLogColumnChoice(const std::string& text, std::string& error) {
  TLogColumnChoice choice;
  choice.Text = text;
  std::vector<std::string_view> pieces;
  std::string_view rest = text;
  for (int k = 0; k < 2; ++k) {
    const std::size_t colon = rest.find(':');
    if (colon == std::string_view::npos) break;
    pieces.push_back(rest.substr(0, colon));
    rest.remove_prefix(colon + 1);
  }
  pieces.push_back(rest);
  if (pieces.size() == 3) {
    if (pieces[0].size() != 1 || !std::isalpha(static_cast<unsigned char>(pieces[0][0]))) {
      error = "column " + text + ": the part is a session letter (A, B, ...)";
      return std::nullopt;
    }
    choice.Letter = static_cast<char>(std::toupper(static_cast<unsigned char>(pieces[0][0])));
    pieces.erase(pieces.begin());
  }
  if (pieces.size() != 2 || pieces[1].empty()) {
    error = "column " + text + ": write [PART:]TYPE:CHANNEL, for example phase:1 or B:freq:3";
    return std::nullopt;
  }
  choice.Bit = LogColumnTypeBit(pieces[0]);
  if (choice.Bit < 0) {
    error = "column " + text + ": unknown type \"" + std::string(pieces[0]) + "\" (known: " + LogColumnTypeNames() +
            ")";
    return std::nullopt;
  }
  choice.Channel = std::string(pieces[1]);
  return choice;
}

bool LogColumnMatches(const TLogColumn& column, const TLogColumnChoice& choice) {
  if (column.Bit != choice.Bit) return false;
  if (choice.Letter && column.Letter != choice.Letter) return false;
  if (const std::optional<int> number = WholeNumber(choice.Channel)) return column.Channel == *number;
  return column.Name == choice.Channel;
}

std::string LogColumnTitle(const TLogColumn& column) {
  std::string title = std::string(1, column.Letter) + ":" + (LogColumnTypeName(column.Bit) ? LogColumnTypeName(column.Bit) : "?") + ":";
  title += column.Channel > 0 ? std::to_string(column.Channel) : column.Name;
  if (column.Channel > 0 && !column.Name.empty()) title += " (" + column.Name + ")";
  return title;
}
