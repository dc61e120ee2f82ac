#pragma once

#include <string>
#include <vector>

#include "app/output/App_MultiSampler.h"

// The text of the log files' column parts: widths and labels of the log
// types, the header lines of a part, the title and type lines and the data
// columns. Pure functions of their arguments.

// Column width of a log type on a session of this kind; 0 for types never written.
int SamplerColumnWidth(int bit, TSamplerSessionKind kind);
// The label of the header's type line ("Sensor" for a sensor's values).
std::string SamplerTypeCaption(int bit, TSamplerSessionKind kind);
// How many channels a log type has on a part with this layout.
int SamplerChannelCount(int bit, const TSamplerPartLayout& layout);
// The title of channel `channel` (1-based) of a log type, right-aligned and cut to `width`.
std::string SamplerChannelTitle(int bit, int channel, const std::array<std::string, kLogChannels>& names, int width);

// The eight header lines that describe one part.
std::vector<std::string> SamplerPartHeaderLines(const TSamplerHeaderPart& part, char decimalSeparator);
// The leading fields of the title and type lines, as wide as the time string.
void StartTitleLines(const TSamplerOptions& options, std::string& title, std::string& type);
// Appends one part's column titles and type labels.
void AppendTitleColumns(const TSamplerHeaderPart& part, bool syncTimeOption, std::string& title, std::string& type);
// Appends one part's columns of a data line; a part without record gets dashes.
void AppendDataColumns(const TSamplerLinePart& part, bool syncTimeOption, std::string& line);
