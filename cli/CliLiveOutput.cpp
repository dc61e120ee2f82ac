#include "cli/CliLiveOutput.h"

#include <algorithm>
#include <string_view>

namespace {

// Cursor to the start of the line `n` lines up, then clear to the end of
// the screen.
std::string UpAndClear(int n) { return "\x1b[" + std::to_string(n) + "F\x1b[J"; }

constexpr std::string_view kNoWrap = "\x1b[?7l";
constexpr std::string_view kWrap = "\x1b[?7h";

int LineCount(const std::string& text) { return static_cast<int>(std::count(text.begin(), text.end(), '\n')); }

}  // namespace

void TLiveOutput::EraseTable() {
  if (FTerminal && FTableLines > 0) FOut << UpAndClear(FTableLines);
  FTableLines = 0;
}

void TLiveOutput::AddLines(const std::vector<std::string>& lines) {
  if (lines.empty()) return;
  EraseTable();
  for (const std::string& line : lines) FOut << line << "\n";
  if (FTerminal) {
    FOut << FTable;
    FTableLines = LineCount(FTable);
  }
  FOut.flush();
}

void TLiveOutput::ShowTable(const std::string& table) {
  EraseTable();
  if (!FTerminal) {
    FOut << table;
    FOut.flush();
    return;
  }
  // Lines wider than the terminal are cut, not wrapped: the table keeps as
  // many screen lines as it has text lines, so it can be redrawn in place.
  FTable = std::string(kNoWrap) + table + std::string(kWrap);
  FOut << FTable;
  FTableLines = LineCount(table);
  FOut.flush();
}

void TLiveOutput::KeepTable() {
  FTable.clear();
  FTableLines = 0;
}
