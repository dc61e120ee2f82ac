#pragma once

#include <optional>
#include <ostream>
#include <string>

// The tools of zep-cli, each writing to the streams it is given.

struct TLinesOptions {
  std::string Connection;
  std::optional<long> Count;      // stop after this many lines
  std::optional<double> Seconds;  // stop after this long
  char DecimalSeparator = '.';
  bool Send7016 = false;
};

// Opens one connection through the library interface and prints every line
// it delivers, one per line; a poll that fails prints "! " + public code +
// " " + message. Ends after the count, the time, or the end of a replayed
// file. 0, or 1 when the connection could not be opened.
int RunLines(const TLinesOptions& options, std::ostream& out, std::ostream& err);

// Prints the serial ports of this machine, one per line. 0, or 1 when they
// could not be listed.
int RunPorts(std::ostream& out, std::ostream& err);
