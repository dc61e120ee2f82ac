#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What the status bar shows of one counter session.
struct TSessionStatus {
  char Letter = 'A';
  int Channels = 0;     // phase channels
  int PDICards = 0;     // digital input cards
  int QMTChannels = 0;  // time-interval channels
  int UserId = 255;     // 255: none
  bool QMTonly = false; // a counter of time-interval channels only: no losses, no seconds
  uint64_t Lost = 0;    // transmit-buffer overflows the counter reported
  int64_t LastSecond = -1;
};

// The five status-bar fields of a session: letter; channels ("PAV: 4, PDI:
// 1, QMT: 4", each part only when present, "-" without any); user; lost
// lines; last second. A QMT-only counter shows "-" for the last two.
std::vector<std::string> SessionStatusFields(const TSessionStatus& status);
