#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "library/core/VQ_CommonTypes.h"
#include "library/core/VQ_DllCommon.h"

// The fields of measurement lines and of the 7900 (time-interval) and 7901
// (calibration) lines, decoded from the channel values of a binary report.
//
// Byte-stream counters send every channel as a 7-byte float with a 4-bit
// exponent, ESP counters as an 8-byte IEEE double whose exponent bits carry
// extra information, the simulated counter as plain doubles. A counter's phase
// grows without bound while the transmitted value wraps, so each channel keeps
// the whole cycles lost in wraps and adds them back.

// Phase continuation of one channel; all zero after a reset of the phase data.
struct TVQ_ChannelTrack {
  int64_t High = 0;           // accumulated whole cycles
  double Low = 0.0;           // previous byte-stream phase value
  int ExpoAlt = 0;            // previous exponent
  int NumAlt = 0;             // previous top 4 mantissa bits
  double PhaseDoubleOld = 0;  // previous ESP phase value
};
using TVQ_ChannelTracks = std::array<TVQ_ChannelTrack, VQ_ChannelCount>;

inline constexpr std::size_t VQ_BinValueBytes = 7;   // byte-stream counters
inline constexpr std::size_t VQ_EspValueBytes = 8;   // ESP counters
inline constexpr std::size_t VQ_DemoValueBytes = 8;  // simulated counter

// How the fields are written and where their debug lines go.
struct TVQ_FieldOptions {
  TFormatSettings Format;  // decimal separator of the source
  bool OptRawData = false; // decode mode 6 instead of refusing it
  int LogId = -1;          // the source's debug log
  std::string LogTag;      // "TSourceItem[n]", starts every debug line
  std::string Caller;      // ".ProcessBinData", ".ProcessESPBinData" or ".ProcessDemoReport"
};

// Position of a header in the average tables (A, D): the interval index plus
// 14 with the extension bit; nothing when the tables have no entry for it.
std::optional<int> AveragePosition(uint16_t header);

// The fields of a byte-stream measurement ("; ..." per channel, 27 characters
// each) for the data header `header` (bit 15 removed). `values` holds whole
// 7-byte values, at most 24 (the caller cuts longer reports; bytes beyond the
// last whole value are ignored). Nothing for raw data (mode 6) while raw data
// are not wanted: the line is then "7FF0; unsupported mode".
std::optional<std::string> BinMeasurementFields(uint16_t header, std::string_view values,
                                                TVQ_ChannelTracks& tracks, const TVQ_FieldOptions& opt);

// The same for ESP counters: whole 8-byte values, least significant byte first.
std::optional<std::string> EspMeasurementFields(uint16_t header, std::string_view values,
                                                TVQ_ChannelTracks& tracks, const TVQ_FieldOptions& opt);

// The fields of a simulated counter's report: one double per 8 bytes, least
// significant byte first. `code` is the data header of a measurement or 7900.
// A 7900 report's fields are 13 wide and the text ends with an extra ";".
std::string DemoFields(uint16_t code, std::string_view values, const TVQ_FieldOptions& opt);

// A decoded 7900 report.
struct TVQ_QmtDecode {
  std::string Line;        // the whole line: "7900; ...", "7900;...", "7F90: Sync Error with QMT data", or empty (dropped)
  bool SyncError = false;  // the payload had a synchronisation error
};
// `esp` selects 8-byte groups; `qmtReceived`: a QMT line has been delivered
// before, so a synchronisation error becomes a 7F90 line instead of a log line.
TVQ_QmtDecode QmtLine(std::string_view payload, bool esp, bool qmtReceived, const TVQ_FieldOptions& opt);

// The 7901 line: consecutive signed 32-bit values, most significant byte
// first, divided by `calibFactor`; all zero when every payload byte is $FF.
// Values beyond the 24th are logged as ignored, not written.
std::string CalibrationLine(std::string_view payload, int calibFactor, const TVQ_FieldOptions& opt);
