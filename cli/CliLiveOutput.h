#pragma once

#include <ostream>
#include <string>
#include <vector>

// What `zep-cli run` writes while it runs: message lines, and a table that
// stands for the present. On a terminal the table stays below the messages
// and is redrawn in place; elsewhere (a file, a pipe) everything is appended
// as plain lines without control sequences.
class TLiveOutput {
 public:
  TLiveOutput(std::ostream& out, bool terminal) : FOut(out), FTerminal(terminal) {}

  // Lines that stay (messages), written above the table.
  void AddLines(const std::vector<std::string>& lines);
  // The table, replacing the one shown before on a terminal.
  void ShowTable(const std::string& table);
  // The table shown stays as it is; later lines go below it.
  void KeepTable();

 private:
  void EraseTable();

  std::ostream& FOut;
  const bool FTerminal;
  std::string FTable;     // shown now (terminal)
  int FTableLines = 0;    // its lines on the screen
};
