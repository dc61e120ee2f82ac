#pragma once

#include <memory>
#include <string>
#include <string_view>

// The connection string of a session without a connection: never opened or polled.
inline constexpr std::string_view kNoConnection = "none";

// The letter that names session `index` in channel ids and logs: "A" for session 0.
inline char SessionLetter(int index) { return static_cast<char>('A' + (index < 0 ? 0 : index) % 26); }

// What the acquisition thread and the hand-over list need of a session.
class TPolledSession {
 public:
  virtual ~TPolledSession() = default;
  virtual std::string OpenString() const = 0;   // connection string; "none" is never polled
  virtual bool DeviceOpened() const = 0;
  // One poll on the acquisition thread: true when a report line or event was
  // handled.
  virtual bool GetReport() = 0;
  // A counter of the older generation on a serial line: its transport
  // signals new bytes less promptly, so idle waits are shorter.
  virtual bool IsSerialColdfire() const = 0;
  virtual int Index() const = 0;    // session number
  virtual bool IsCopy() const = 0;  // the QMT-only copy of a counter session
  virtual std::string ToString() const = 0;
};

// The session list as the acquisition thread sees it: numbered slots, some
// empty. Slot() hands out a shared reference, so a session the main thread
// removes meanwhile lives until the poll that holds it ends.
class TSessionSlots {
 public:
  virtual ~TSessionSlots() = default;
  virtual int SlotCount() const = 0;
  virtual std::shared_ptr<TPolledSession> Slot(int index) const = 0;
};
