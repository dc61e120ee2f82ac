#pragma once

#include <string>

class TPAV_DataManagement;

// The per-channel table that `zep-cli run` prints about once a second for a
// counter session: channel id and name, absolute frequency, relative
// frequency, phase difference to channel 1 and the Allan deviations reached
// so far. The numbers are the text modes of the store, so they read as the
// windows and logs show them. One line per channel after a caption line;
// empty when the store holds no channel yet. A relative frequency taken
// against the first measured frequency (no nominal frequency set) is marked
// and explained below the rows.
std::string ChannelValueTable(const TPAV_DataManagement& store, char sessionLetter);
