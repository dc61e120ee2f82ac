#pragma once

#include <atomic>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

struct TRunOptions {
  std::string ConfigFolder;       // empty: $XDG_CONFIG_HOME/zep, else ~/.config/zep
  std::optional<double> Duration; // seconds; none = until stopped
  bool Professional = false;
  // Log types ("phase,freq") every counter session logs; a session that
  // already has a definition of these types keeps it.
  std::string LogTypes;
  // Connections of sessions to run: on a first start they are the sessions,
  // otherwise they are added to the stored ones (a connection a stored
  // session already uses is not added twice).
  std::vector<std::string> Connections;
  // Standard output is a terminal: the table is redrawn in place.
  bool Terminal = false;
};

// The configuration folder when none is given.
std::string DefaultConfigFolder();

// The application without windows: sessions from the settings (on a first
// start the given connections, else a simulated counter), acquisition, and
// about once a second a table of the sessions, shown again only when a
// counter reported a new second. Ends after the duration or when `stop`
// becomes true (the signal handler sets it), shuts down in order and saves
// the settings. 0, 1 when the application could not start, 2 for unknown
// log types.
int RunApp(const TRunOptions& options, const std::atomic<bool>& stop, std::ostream& out, std::ostream& err);
