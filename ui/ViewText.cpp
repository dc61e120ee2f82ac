#include "ui/ViewText.h"

#include <QComboBox>
#include <QPlainTextEdit>
#include <QVBoxLayout>
#include <algorithm>
#include <charconv>
#include <cmath>

#include "app/core/App_Settings.h"
#include "app/core/ZEP_Sessions.h"
#include "app/data/PAV_DataManagement.h"
#include "app/data/QMT_DataManagement.h"
#include "library/core/VQ_DllCommon.h"
#include "ui/ChannelSelector.h"
#include "ui/ViewAllan.h"

namespace {

constexpr int kColumnCount = 6;
constexpr TTextModePAV kColumnModes[kColumnCount] = {tmPhase,           tmPhaseDiff,       tmFreqAbs,
                                                     tmFreqRel,         tmPhasePredecessor, tmPhaseResiduum};
constexpr TTextModeQMT kQmtModes[] = {tmQMT, tmQMTDiff, tmQMTShortAvg, tmQMTLongAvg};
constexpr std::size_t kMaxCellWidth = 64;  // a store text longer than this is cut, not the table

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return {};
  const auto last = text.find_last_not_of(' ');
  return text.substr(first, last - first + 1).substr(0, kMaxCellWidth);
}

std::string ChannelId(char letter, int k) { return std::string(1, letter) + std::to_string(k); }

// Deviation as "1.234e-11" with the window's decimal separator.
std::string DeviationText(double value, char separator) {
  if (!std::isfinite(value) || value <= 0) return "-";
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific, 3);
  std::string text(buffer, result.ptr);
  std::replace(text.begin(), text.end(), '.', separator);
  return text;
}

// The caption's words on lines of at most `width` characters (a longer word
// on a line of its own).
std::vector<std::string> WrapCaption(const std::string& caption, std::size_t width) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < caption.size()) {
    const std::size_t next = caption.find(' ', start);
    const std::string word = caption.substr(start, next == std::string::npos ? std::string::npos : next - start);
    if (!word.empty()) {
      if (!lines.empty() && lines.back().size() + 1 + word.size() <= width)
        lines.back() += ' ' + word;
      else
        lines.push_back(word);
    }
    if (next == std::string::npos) break;
    start = next + 1;
  }
  if (lines.empty()) lines.emplace_back();
  return lines;
}

// Characters on screen: UTF-8 continuation bytes take no place of their own.
std::size_t TextWidth(const std::string& text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// "input name = state" for the 32 inputs of one card, inputs 1..16 beside
// 17..32, the names padded to the longest so the states line up.
std::string CardInputsText(uint32_t value, const TPDICardNames& names) {
  constexpr int kHalf = kPDIBits / 2;
  std::size_t width = 0;
  for (const std::string& name : names) width = std::max(width, TextWidth(name));
  const auto cell = [&](int bit) {
    std::string input = std::to_string(bit + 1);
    if (input.size() < 2) input.insert(0, 1, ' ');
    const std::string& name = names[static_cast<std::size_t>(bit)];
    return input + " " + name + std::string(width - TextWidth(name), ' ') + " = " + ((value >> bit) & 1U ? "1" : "0");
  };
  std::string text;
  for (int bit = 0; bit < kHalf; ++bit) text += cell(bit) + "    " + cell(bit + kHalf) + "\n";
  return text;
}

}  // namespace

std::string FormatTextTable(const std::vector<std::string>& captions,
                            const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths(captions.size(), 0);
  for (const auto& row : rows)
    for (std::size_t c = 0; c < row.size() && c < widths.size(); ++c) widths[c] = std::max(widths[c], row[c].size());
  std::vector<std::vector<std::string>> captionLines(captions.size());
  std::size_t headerLines = 1;
  for (std::size_t c = 0; c < captions.size(); ++c) {
    captionLines[c] = WrapCaption(captions[c], std::max(widths[c], kCaptionWrapWidth));
    for (const std::string& line : captionLines[c]) widths[c] = std::max(widths[c], line.size());
    headerLines = std::max(headerLines, captionLines[c].size());
  }
  const auto line = [&](const std::vector<std::string>& cells) {
    std::string text;
    for (std::size_t c = 0; c < widths.size(); ++c) {
      const std::string& cell = c < cells.size() ? cells[c] : std::string();
      const std::string pad(widths[c] - std::min(widths[c], cell.size()), ' ');
      if (c > 0) text += "  ";
      text += c == 0 ? cell + pad : pad + cell;
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text + "\n";
  };
  // Captions of fewer lines sit on the last header line, next to the values.
  std::string text;
  for (std::size_t k = 0; k < headerLines; ++k) {
    std::vector<std::string> cells(captions.size());
    for (std::size_t c = 0; c < captions.size(); ++c) {
      const std::size_t skip = headerLines - captionLines[c].size();
      if (k >= skip) cells[c] = captionLines[c][k - skip];
    }
    text += line(cells);
  }
  for (const auto& row : rows) text += line(row);
  return text;
}

std::string CounterValuesTable(const TPAV_DataManagement& store, char letter, const TTextColumns& columns,
                               const TChannelFilter& shown) {
  std::vector<std::string> captions{"Channel"};
  std::vector<TTextModePAV> modes;
  for (int c = 0; c < kColumnCount; ++c) {
    if (!columns[static_cast<std::size_t>(c)]) continue;
    modes.push_back(kColumnModes[c]);
    captions.push_back(Trimmed(store.GetTextModeCaption(kColumnModes[c])));
  }
  std::vector<std::vector<std::string>> rows;
  const int channels = std::min(store.ChannelCount(), TDataManagement::kMaxChannels);
  for (int k = 1; k <= channels; ++k) {
    if (shown && !shown(k)) continue;
    std::vector<std::string> row{ChannelId(letter, k)};
    for (TTextModePAV mode : modes) {
      const std::string value = store.IsTextModeEnabled(mode) ? Trimmed(store.GetTextModeString(mode, k)) : "";
      row.push_back(value.empty() ? "-" : value);
    }
    rows.push_back(std::move(row));
  }
  if (rows.empty()) return FormatTextTable(captions, rows) + "(no data yet)\n";
  return FormatTextTable(captions, rows);
}

std::string QmtValuesTable(TQMT_DataManagement& store, char letter, const TChannelFilter& shown) {
  std::vector<std::string> captions{"Channel"};
  for (TTextModeQMT mode : kQmtModes) captions.push_back(Trimmed(store.GetTextModeCaption(mode)));
  std::vector<std::vector<std::string>> rows;
  const int channels = std::min(store.ChannelCount(), TDataManagement::kMaxChannels);
  for (int k = 1; k <= channels; ++k) {
    if (shown && !shown(k)) continue;
    std::vector<std::string> row{"Q" + ChannelId(letter, k)};
    for (TTextModeQMT mode : kQmtModes) {
      const std::string value = store.IsTextModeEnabled(mode) ? Trimmed(store.GetTextModeString(mode, k)) : "";
      row.push_back(value.empty() ? "-" : value);
    }
    rows.push_back(std::move(row));
  }
  if (rows.empty()) return FormatTextTable(captions, rows) + "(no QMT data yet)\n";
  return FormatTextTable(captions, rows);
}

std::string AllanValuesTable(const TPAV_DataManagement& store, char letter, TAllanMode mode) {
  const std::string why = store.CheckAllanMode(mode);
  if (!why.empty()) return why + "\n";
  const TVirtAllanData& allan = store.Allan(mode);
  const int lastTau = store.GetAllanLastTau(mode);
  const int intervalMs = allan.GetIntervalMs() > 0 ? allan.GetIntervalMs() : store.IntervalMs();
  std::vector<std::string> captions{"Tau"};
  const int channels = std::min(store.ChannelCount(), TDataManagement::kMaxChannels);
  for (int k = 1; k <= channels; ++k) captions.push_back(ChannelId(letter, k));
  std::vector<std::vector<std::string>> rows;
  std::vector<std::vector<double>> values;
  for (int k = 1; k <= channels; ++k) values.push_back(store.GetAllanTextValues(mode, k));
  const char separator = store.WindowFormat().DecimalSeparator;
  for (int t = 0; t <= lastTau && intervalMs > 0; ++t) {
    std::vector<std::string> row{Trimmed(TVirtAllanData::TauCaptionText(0, intervalMs, allan.GetTau(t)))};
    for (const auto& channel : values)
      row.push_back(static_cast<std::size_t>(t) < channel.size() ? DeviationText(channel[static_cast<std::size_t>(t)], separator)
                                                                 : "-");
    rows.push_back(std::move(row));
  }
  if (rows.empty()) return FormatTextTable(captions, rows) + "(no deviation yet)\n";
  return FormatTextTable(captions, rows);
}

std::string DigitalInputsTable(const TPAV_DataManagement& store, const TPDINames& names) {
  const int cards = std::clamp(store.PDICount(), 0, kPDICards);
  if (cards == 0) return "No digital-input cards\nreported by the counter.\n";
  std::vector<std::vector<std::string>> rows;
  std::string inputs;
  for (int card = 0; card < cards; ++card) {
    const uint32_t value = store.GetPDI(card);
    std::string bits;
    for (int bit = 31; bit >= 0; --bit) {
      bits += (value >> bit) & 1U ? '1' : '0';
      if (bit % 8 == 0 && bit > 0) bits += ' ';
    }
    rows.push_back({std::to_string(card + 1), HexText(value, 8), bits});
    inputs += "\nCard " + std::to_string(card + 1) + "\n" + CardInputsText(value, names[static_cast<std::size_t>(card)]);
  }
  return FormatTextTable({"Card", "Hex", "Inputs 32..1"}, rows) + inputs;
}

// ---- views ---------------------------------------------------------------------------------

TViewText::TViewText(TViewKind kind, std::shared_ptr<TVQSessionItem> session, QWidget* parent)
    : TViewChild(kind, std::move(session), parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(2, 2, 2, 2);
  // The per-channel tables can show a chosen part of the channels, of the
  // second session's too.
  if (kind == TViewKind::vkText || kind == TViewKind::vkQMT) {
    layout->addWidget(NewChannelSelector(1));
    layout->addWidget(NewChannelSelector(2));
  }
  FEdit = NewTablePane(this);
  layout->addWidget(FEdit, 1);
}

QString TViewText::Text() const { return FEdit->toPlainText(); }

void TViewText::Tick() {
  SyncChannelSelector();
  std::string text = BuildText();
  if (text == FShown) return;
  FShown = std::move(text);
  FEdit->setPlainText(QString::fromStdString(FShown));
}

TViewCounterText::TViewCounterText(std::shared_ptr<TVQSessionItem> session, QWidget* parent)
    : TViewText(TViewKind::vkText, std::move(session), parent) {
  // Phase and absolute frequency are the columns of a new window.
  SetColumns({true, false, true, false, false, false});
}

void TViewCounterText::SetColumns(const TTextColumns& columns) {
  FModel.SetColumnEnabled(std::vector<bool>(columns.begin(), columns.end()));
}

// The second session's channels follow the first's, below a blank line.
std::string TViewCounterText::BuildText() {
  std::string text;
  for (int base = 1; base <= 2; ++base) {
    const TVQSessionItem* session = SessionOf(base);
    if (!session) continue;
    if (!text.empty()) text += "\n";
    text += CounterValuesTable(session->PAV(), session->Letter(), FModel.Columns(),
                               [this, base](int k) { return ChannelShown(k, base); });
  }
  return text;
}

std::string TViewQmtText::BuildText() {
  std::string text;
  for (int base = 1; base <= 2; ++base) {
    const TVQSessionItem* session = SessionOf(base);
    if (!session) continue;
    if (!text.empty()) text += "\n";
    text += QmtValuesTable(session->QMT(), session->Letter(), [this, base](int k) { return ChannelShown(k, base); });
  }
  return text;
}

TViewAllanText::TViewAllanText(std::shared_ptr<TVQSessionItem> session, QWidget* parent)
    : TViewText(TViewKind::vkAllanText, std::move(session), parent) {
  FModeBox = new QComboBox(this);
  for (TAllanMode mode : {amFreq, amPhaseRes, amPhaseDiff}) FModeBox->addItem(AllanModeName(mode), static_cast<int>(mode));
  static_cast<QVBoxLayout*>(layout())->insertWidget(0, FModeBox);
  connect(FModeBox, &QComboBox::currentIndexChanged, this,
          [this](int index) { SetMode(static_cast<TAllanMode>(FModeBox->itemData(index).toInt())); });
}

void TViewAllanText::SetMode(TAllanMode mode) {
  FMode = mode;
  const int index = FModeBox->findData(static_cast<int>(mode));
  if (index >= 0 && FModeBox->currentIndex() != index) FModeBox->setCurrentIndex(index);
}

std::string TViewAllanText::BuildText() {
  if (!FSession) return {};
  return AllanValuesTable(FSession->PAV(), FSession->Letter(), FMode);
}

void TViewAllanText::ReadSettings(TAppSettings& settings, const std::string& prefix) {
  TViewText::ReadSettings(settings, prefix);
  const int mode = settings.ReadInteger(prefix + "AllanMode", static_cast<int>(FMode), amFreq, amPhaseDiff);
  if (mode >= amFreq && mode <= amPhaseDiff) SetMode(static_cast<TAllanMode>(mode));
}

void TViewAllanText::SaveSettings(TAppSettings& settings, const std::string& prefix) {
  TViewText::SaveSettings(settings, prefix);
  settings.SetValue(prefix + "AllanMode", static_cast<int>(FMode));
}

std::string TViewDigitalInputs::BuildText() {
  if (!FSession) return {};
  return DigitalInputsTable(FSession->PAV(), FSession->PDISignalNames());
}

std::string TViewRaw::BuildText() {
  if (!FSession) return {};
  if (!FSession->PAV().IsTextRawDataEnabled())
    return "No raw data:\nthe counter is not\nin a raw-data mode.\n";
  return "The counter sends raw data;\nraw values are not\nevaluated yet.\n";
}

std::string TViewSensor::BuildText() {
  return "No sensor values:\nthis session has\nno sensors.\n";
}

std::string TViewDebug::BuildText() {
  if (!FSession) return {};
  const TVQSessionState state = FSession->State();
  std::string text = "Connection:   " + FSession->OpenString() + (FSession->DeviceOpened() ? "" : " (closed)") + "\n";
  text += "Version:      " + state.VersionString + "\n";
  text += "Mode:         " + (state.Mode == 255 ? std::string("-") : std::to_string(state.Mode)) + "\n";
  text += "Interval:     " + (state.IntervalIndex < 0 ? std::string("-") : std::to_string(state.IntervalIndex)) + "\n";
  text += "Channels:     " + std::to_string(state.ChannelCount) + "\n";
  text += "Lines:        " + std::to_string(state.Lines) + "\n";
  text += "Measurements: " + std::to_string(state.Measurements) + "\n";
  text += "Lost:         " + std::to_string(FSession->PAV().Lost()) + "\n";
  text += "Last line:    " + state.LastLine.substr(0, 200) + "\n";
  text += "\n" + FSession->PAV().DebugText() + "\n";
  return text;
}
