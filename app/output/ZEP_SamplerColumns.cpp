#include "app/output/ZEP_SamplerColumns.h"

#include <charconv>
#include <cmath>
#include <string_view>

namespace {

bool IsVirtualCounterBit(int bit) {
  return bit == LogType::PhaseResV || bit == LogType::FreqAbsV || bit == LogType::FreqRelV || bit == LogType::ADEVV ||
         bit == LogType::PhaseDiffV || bit == LogType::PhaseDiffPrevV;
}

// Types that write two spaces before their (empty) columns.
bool IsSpacerBit(int bit) { return bit == LogType::ADEV || bit == LogType::ADEVV; }

const std::array<std::string, kLogChannels>& NamesOf(int bit, const TSamplerHeaderPart& part) {
  if (IsVirtualCounterBit(bit)) return part.Info.VirtualNames;
  if (bit == LogType::QMTV) return part.Info.VirtualQMTNames;
  if (part.Layout.Kind == TSamplerSessionKind::TimeInterval) return part.Info.QMTNames;
  return part.Info.Names;
}

std::string RightAligned(std::string text, int width) {
  const auto w = static_cast<std::size_t>(width);
  if (text.size() < w) text.insert(0, w - text.size(), ' ');
  return text;
}

void PadTo(std::string& text, std::size_t length) {
  if (text.size() < length) text.append(length - text.size(), ' ');
}

std::string Dashes(int width) { return " " + std::string(static_cast<std::size_t>(width > 1 ? width - 1 : 0), '-'); }

// Fixed point with three decimals and the log's separator.
std::string CalibrationText(double value, char decimalSeparator) {
  if (!std::isfinite(value)) return "NaN";
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 3);
  std::string text(buffer, result.ec == std::errc() ? result.ptr : buffer);
  for (char& c : text)
    if (c == '.') c = decimalSeparator;
  return text;
}

}  // namespace

int SamplerColumnWidth(int bit, TSamplerSessionKind kind) {
  return LogTypeWidth(bit, kind == TSamplerSessionKind::TimeInterval);
}

std::string SamplerTypeCaption(int bit, TSamplerSessionKind kind) {
  if (kind == TSamplerSessionKind::Sensor && bit == LogType::Phase) return "Sensor";
  const TLogTypeInfo* info = LogTypeInfo(bit);
  return info && info->Label ? info->Label : "";
}

int SamplerChannelCount(int bit, const TSamplerPartLayout& layout) {
  if (IsVirtualCounterBit(bit)) return layout.VirtualChannels;
  if (bit == LogType::QMTV) return layout.VirtualQMTChannels;
  if (layout.Kind == TSamplerSessionKind::TimeInterval) return layout.QMTChannels;
  return layout.Channels;
}

std::string SamplerChannelTitle(int bit, int channel, const std::array<std::string, kLogChannels>& names, int width) {
  auto name = [&](int k) -> const std::string& { return names[static_cast<std::size_t>(k - 1)]; };
  const auto w = static_cast<std::size_t>(width);
  const std::string number = std::to_string(channel);
  std::string text;
  if (bit == LogType::PhaseDiff || bit == LogType::QMTdiff || bit == LogType::PhaseDiffV) {
    text = name(channel) + " - " + name(1);
    if (text.size() >= w) text = name(channel) + " - 1";
    if (text.size() >= w) text = number + " - 1";
  } else if (bit == LogType::PhaseDiffPrev || bit == LogType::PhaseDiffPrevV) {
    const int previous = channel > 1 ? channel - 1 : 1;
    text = name(channel) + " - " + name(previous);
    if (text.size() > w) text = number + " - " + std::to_string(previous);
  } else {
    text = name(channel).size() + 2 < w ? number + ":" + name(channel) : name(channel);
  }
  return RightAligned(std::move(text), width).substr(0, w);
}

std::vector<std::string> SamplerPartHeaderLines(const TSamplerHeaderPart& part, char decimalSeparator) {
  const TSamplerHeaderInfo& info = part.Info;
  std::vector<std::string> lines;
  const std::string letter(1, part.Letter);
  lines.push_back("#Source:    [" + letter + (info.FriendlyName.empty() ? "" : ": " + info.FriendlyName) + "]");
  lines.push_back("#Device:    " + info.OpenString);
  const TSamplerSessionKind kind = part.Layout.Kind;
  if (!part.Layout.Present) {
    lines.insert(lines.end(), {"#", "#", "#", "#", "#"});
  } else if (kind == TSamplerSessionKind::TimeInterval) {
    lines.insert(lines.end(), {"#Mode:      QMT", "#", "#"});
    std::string calibration = "#";
    if (part.Part->FTypes & LogType::QMTMask) {
      calibration = "#QMT-Calib: ";
      for (double value : info.QMTCalibration) calibration += CalibrationText(value, decimalSeparator) + "  ";
    }
    lines.push_back(calibration);
    lines.push_back("#");
  } else {
    if (kind == TSamplerSessionKind::Counter) {
      lines.push_back("#Mode:      " + (info.RawAvg ? std::string("Raw Data Avg.") : info.ModeText));
      lines.push_back("#Interval:  " + info.IntervalText);
      lines.push_back("#Scrambler: " + info.ScramblerText);
    } else {
      lines.insert(lines.end(), {"#", "#Interval:  " + info.IntervalText, "#"});
    }
    if (part.Part->FStringClass == sscVirtual)
      lines.insert(lines.end(), {"#Virtual channels: " + std::to_string(info.VirtualCount), "#"});
    else
      lines.insert(lines.end(), {"#", "#"});
  }
  lines.push_back("#");
  return lines;
}

void StartTitleLines(const TSamplerOptions& options, std::string& title, std::string& type) {
  title = options.LogTimeSourcePAV ? "#PAV time  " : "#PC time   ";
  type = options.LogTimeZoneSystem ? "#zone UTC  " : "#zone local";
  const std::size_t width = std::max(title.size(), options.LogTimeFormat.size());
  PadTo(title, width);
  PadTo(type, width);
}

void AppendTitleColumns(const TSamplerHeaderPart& part, bool syncTimeOption, std::string& title, std::string& type) {
  const TSamplerPartLayout& layout = part.Layout;
  const TSimpleLogDefinition& definition = *part.Part;
  if (!layout.Present) return;
  if (layout.Kind == TSamplerSessionKind::Counter) {
    if (syncTimeOption) {
      title += "    Sync Time";
      type += std::string(13, ' ');
    } else {
      title += " S";
      type += "  ";
    }
    for (int card = 1; card <= layout.PDICards; ++card) {
      if (!definition.IsEnabled(3, card)) continue;
      std::string caption = "  PDI" + std::to_string(card);
      PadTo(caption, 9);
      title += caption;
      type += std::string(caption.size(), ' ');
    }
  }
  for (int bit = 0; bit < LogType::Count; ++bit) {
    if (!definition.GetHasLogType(bit)) continue;
    if (IsSpacerBit(bit)) title += "  ";
    const int width = SamplerColumnWidth(bit, layout.Kind);
    if (width > 0) {
      type += RightAligned(SamplerTypeCaption(bit, layout.Kind), width);
      const int channels = SamplerChannelCount(bit, layout);
      for (int channel = 1; channel <= channels; ++channel)
        if (definition.IsEnabled(1, channel)) title += SamplerChannelTitle(bit, channel, NamesOf(bit, part), width);
    }
    PadTo(type, title.size());
  }
}

void AppendDataColumns(const TSamplerLinePart& part, bool syncTimeOption, std::string& line) {
  const TSamplerPartLayout& layout = *part.Layout;
  const TSimpleLogDefinition& definition = *part.Part;
  if (!layout.Present) return;
  const TMultiSamplerStrings* record = part.Record;
  const bool counter = layout.Kind == TSamplerSessionKind::Counter;
  if (counter) {
    if (syncTimeOption) {
      line += record ? " " + (part.SyncTime ? *part.SyncTime : std::string(12, ' ')) : " ------------";
    } else {
      line += ' ';
      line += record && !(*record)[0].empty() ? (*record)[0][0] : '-';
    }
    const std::string_view cards = record ? std::string_view((*record)[5]) : std::string_view();
    for (int card = 1; card <= layout.PDICards; ++card) {
      if (!definition.IsEnabled(3, card)) continue;
      const std::size_t offset = static_cast<std::size_t>(card - 1) * 9;
      if (offset + 9 <= cards.size())
        line += cards.substr(offset, 9);
      else
        line += Dashes(9);
    }
  }
  for (int bit = 0; bit < LogType::Count; ++bit) {
    if (!definition.GetHasLogType(bit)) continue;
    if (IsSpacerBit(bit)) line += "  ";
    const int width = SamplerColumnWidth(bit, layout.Kind);
    const TLogTypeInfo* info = LogTypeInfo(bit);
    if (width <= 0 || !info || info->Slot < 1 || info->Slot > kSamplerRecordStrings) continue;
    std::string_view values = record ? std::string_view((*record)[static_cast<std::size_t>(info->Slot - 1)]) : "";
    // Slot 1 of a counter record starts with the sync flag.
    if (counter && info->Slot == 1 && !values.empty()) values.remove_prefix(1);
    const auto w = static_cast<std::size_t>(width);
    const int channels = SamplerChannelCount(bit, layout);
    for (int channel = 1; channel <= channels; ++channel) {
      if (!definition.IsEnabled(1, channel)) continue;
      const std::size_t offset = static_cast<std::size_t>(channel - 1) * w;
      if (offset + w <= values.size())
        line += values.substr(offset, w);
      else
        line += Dashes(width);
    }
  }
}
