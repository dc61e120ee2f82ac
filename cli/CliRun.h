#pragma once

#include <atomic>
#include <optional>
#include <ostream>
#include <string>

struct TRunOptions {
  std::string ConfigFolder;       // empty: $XDG_CONFIG_HOME/zep, else ~/.config/zep
  std::optional<double> Duration; // seconds; none = until stopped
  bool Professional = false;
  // Log types ("phase,freq") every counter session logs; a session that
  // already has a definition of these types keeps it.
  std::string LogTypes;
};

// The configuration folder when none is given.
std::string DefaultConfigFolder();

// The application without windows: sessions from the settings (a simulated
// counter on a first start), acquisition, and about once a second a table of
// the sessions. Ends after the duration or when `stop` becomes true (the
// signal handler sets it), shuts down in order and saves the settings.
// 0, 1 when the application could not start, 2 for unknown log types.
int RunApp(const TRunOptions& options, const std::atomic<bool>& stop, std::ostream& out, std::ostream& err);
