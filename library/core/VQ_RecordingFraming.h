#pragma once

#include <cstddef>
#include <string_view>

// Which stream a recorded binary capture holds: ESP transmit records, USB
// frames or the serial line. A capture of a running counter usually starts
// inside a frame, and its first frame may be damaged, so the decision does
// not hang on the first bytes: a framing is chosen when, after skipping to the
// first valid record or frame, two consecutive whole ones decode (or one that
// the end of the recording follows). ESP records are tried first (magic
// "PAV2", value count at most 24, checksum), then USB frames; the serial line
// is what remains, and its framing finds its frames itself.
//
// Pure code: the first bytes of the recording in, the decision out.

enum class TRecordingFraming { Esp, Usb, Serial };

// No more than this many bytes from the start are looked at: room for a cut
// or damaged frame and the two whole ones after it several times over.
inline constexpr std::size_t kRecordingLookAhead = 8192;

struct TRecordingDetection {
  TRecordingFraming Framing = TRecordingFraming::Serial;
  // Where the first whole record or frame of the deciding run starts.
  std::size_t Start = 0;
  // Bytes of a record or frame cut by the start of the recording: the
  // framing must drop them before it reads. What lies between them and Start
  // starts like a record or frame of its own (a damaged one), which the
  // framing reads and refuses with its own error.
  std::size_t Skip = 0;
};

// `bytes` are the first bytes of the recording (beyond kRecordingLookAhead
// they are not looked at); `complete` says they are all of it, so a record
// or frame cut by their end is the end of the recording.
TRecordingDetection DetectRecordingFraming(std::string_view bytes, bool complete);
