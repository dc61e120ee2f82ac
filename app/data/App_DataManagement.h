#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "library/sources/MultiSource.h"

// The three series kinds of a store; also the index of their ring cursors.
enum class THorizontalScale : int { hsNone = 0, hsShort = 1, hsLong = 2 };

// "hsNone", "hsShort", "hsLong"; "" for any other value.
std::string_view HorizontalScaleName(THorizontalScale scale);

class TDataManagement;

// Callbacks through which a store tells its session what happened. They run
// on the thread that caused the event, possibly with the store's lock held:
// receivers only enqueue and never call back into a store of another thread.
using TOnDataReset = std::function<void(int code, TDataManagement& sender)>;
using TOnDataChannelCount = std::function<void(int code, int channelCount)>;
using TOnDataMessage = std::function<void(int code, int aInt, const std::string& text)>;
using TOnDataScaleFactor = std::function<void(THorizontalScale scale, int value)>;

// What a reader remembers between two reads of one ring: the running count of
// entries it has seen and the reset generation it saw them in.
struct TRingCursor {
  uint64_t Total = 0;
  uint64_t Generation = 0;
};

// The answer to TDataManagement::ReadSince: read Count entries from FirstX
// onwards (wrapping at the ring size), then remember Next.
struct TRingRead {
  int Count = 0;            // 0 .. TDataManagement::kRingSize
  int FirstX = 0;           // ring position of the first entry to read
  uint64_t Missed = 0;      // entries added since the last read that were already overwritten
  bool Restarted = false;   // the store was reset since the last read: drop what was read before
  TRingCursor Next;         // the cursor to pass to the next ReadSince
};

// The base of every measurement store: the lock, the channel count and
// names, the header of the data held, the cursors of the three rings (raw
// values, short and long averages), the virtual channel factors, the
// horizontal scale factors, the synchronisation markers, the log types the
// multi-sampler needs, and the callbacks to the owning session.
//
// Subclasses own the series. Writing one value set: take the lock (Lock()),
// write each channel at position FlaufX[ring], call AfterAddValues(ring).
// Readers take the same lock around cursor queries and value reads.
class TDataManagement {
 public:
  static constexpr int kRingSize = 2048;
  static constexpr int kRingMask = 0x7FF;
  static constexpr int kRingCount = 3;
  static constexpr int kMaxChannels = 24;
  static constexpr int kResetCode = 3;         // code of FOnReset
  static constexpr int kChannelCountCode = 2;  // code of FOnChannelCount

  using TFactorRow = std::array<double, kMaxChannels>;  // weight of real channel i at index i - 1

  TDataManagement(int aLogID, int aSessId, bool aSessIsCopy);
  virtual ~TDataManagement() = default;
  TDataManagement(const TDataManagement&) = delete;
  TDataManagement& operator=(const TDataManagement&) = delete;

  // The store's lock, for writers and for readers that query cursors and
  // then read values.
  std::unique_lock<std::recursive_mutex> Lock() const { return std::unique_lock(FLockObj); }

  // Empties the three rings, returns the marker to its reset value and the
  // channel count to 0; FOnReset when any ring held entries. Readers using
  // ReadSince start again afterwards.
  virtual void Reset();

  // ---- channels -----------------------------------------------------------------
  int ChannelCount() const;
  // 0..24; true when the count changed (then FOnChannelCount). Other values
  // are refused.
  virtual bool SetChannelCount(int n);
  // Name of channel 1..24, "" outside.
  std::string GetChannelName(int channel) const;
  bool SetChannelName(int channel, const std::string& name);  // false outside 1..24

  // ---- header of the values held ----------------------------------------------------
  TVQHeader ValueHeader() const;
  // Takes the new header; a header different from the previous one resets
  // the store (true), except after "no header yet" (7FFF).
  bool SetValueHeader(uint16_t code);

  // ---- writing --------------------------------------------------------------------
  // Called by a subclass, under the lock, after it wrote one entry at the
  // ring's next position. Invalid rings are ignored.
  virtual void AfterAddValues(THorizontalScale ring);

  // ---- cursors ----------------------------------------------------------------------
  int Count(THorizontalScale ring) const;   // entries held, 0..2048
  int FirstX(THorizontalScale ring) const;  // position of the oldest entry
  int NextX(THorizontalScale ring) const;   // position the next entry goes to

  // Entries ever added to the ring since the last reset.
  uint64_t TotalAdded(THorizontalScale ring) const;
  // Incremented by every reset.
  uint64_t ResetGeneration() const;
  // What a reader that last saw `last` has to read now. A reader that fell
  // more than a ring behind reads the whole ring and learns how many entries
  // it missed; after a reset it starts again from the oldest entry.
  TRingRead ReadSince(THorizontalScale ring, const TRingCursor& last) const;

  // Position-based queries for readers that remember ring positions. They
  // cannot tell a reader a whole ring behind from one that is up to date, nor
  // see a reset; ReadSince can.
  //
  // Entries added since position startX (-1: all entries held). Never
  // negative: a position beyond the entries written since a reset gives 0.
  int GetNewCount(int startX, THorizontalScale hScale) const;
  // Position of the entry anz entries before the next position (anz limited
  // to the count).
  int GetNewX(int anz, THorizontalScale hScale) const;
  // Position anz entries before startX; the oldest entry when anz reaches the
  // count or would reach before the oldest entry of a ring not yet full.
  int GetNewX(int anz, int startX, THorizontalScale hScale) const;
  // (startX + anz) modulo the ring size; (0, -1) gives 2047.
  static int GetNextX(int startX, int anz);

  // ---- horizontal scale ------------------------------------------------------------
  int GetScaleFactor(THorizontalScale hScale) const;  // 0 for an invalid ring
  // hsShort and hsLong only, value >= 1; true when it changed (then
  // FOnScaleFactor). The raw-value ring keeps factor 1.
  bool SetScaleFactor(THorizontalScale hScale, int value);

  // ---- virtual channels ----------------------------------------------------------------
  // Row k (1..24) of the factor matrix; all zero outside.
  TFactorRow GetVirtualFactors(int k) const;
  bool SetVirtualFactors(int k, const TFactorRow& factors);  // false outside 1..24
  // Number of rows with at least one non-zero factor (cached).
  int GetVirtualChannelCount();

  // ---- synchronisation markers --------------------------------------------------------
  std::string Sync() const;
  void SetSync(const std::string& value);
  std::string SyncReset() const;
  // Also moves the current marker when it still holds the old reset value.
  void SetSyncReset(const std::string& value);

  // ---- log types of the multi-sampler ---------------------------------------------------
  bool IsLogTypeNeeded(int bit) const;  // false outside 0..31
  uint32_t SamplerLogTypes() const;
  void SetSamplerLogTypes(uint32_t value);

  // ---- session ------------------------------------------------------------------------
  int LogId() const { return FLogId; }
  int SessId() const;
  // The session's new number after the session list was renumbered.
  void SetSessId(int value);
  bool SessIsCopy() const;
  void SetSessIsCopy(bool value);
  std::string OutputPath() const;
  void SetOutputPath(const std::string& value);
  std::string DbgTag() const;

  // ---- messages ----------------------------------------------------------------------------
  void AddError(int code, const std::string& text);
  void AddWarning(int code, const std::string& text);

  // Assigned by the owning session before the acquisition thread uses the
  // store; empty ones are skipped.
  TOnDataChannelCount FOnChannelCount;
  TOnDataMessage FOnError;
  TOnDataMessage FOnInfo;
  TOnDataMessage FOnWarning;
  TOnDataReset FOnReset;
  TOnDataScaleFactor FOnScaleFactor;

 protected:
  // Index of a valid ring, else -1.
  static int RingIndex(THorizontalScale ring);
  // Rewrites FDbgTag from FDbgClass, FSessId and FSessIsCopy (lock held).
  void UpdateDbgTag();
  // Debug lines prefixed with FDbgTag; formatted only when the log is wanted.
  void LogLine(std::string_view text) const;
  void LogErrorLine(std::string_view text) const;

  mutable std::recursive_mutex FLockObj;
  const int FLogId;
  int FSessId;
  bool FSessIsCopy;
  std::string FDbgClass = "TDataManagement";  // subclasses set their class name, then UpdateDbgTag()
  std::string FDbgTag;
  std::string FOutputPath;

  int FChannelCount = 0;
  std::array<std::string, kMaxChannels + 1> FChannelNames;  // index 1..24
  TVQHeader FValueHeader{TVQHeader::kInvalid};

  // Per ring: entries held, position of the oldest, position of the next.
  std::array<int, kRingCount> FCount{};
  std::array<int, kRingCount> FFirstX{};
  std::array<int, kRingCount> FlaufX{};
  std::array<uint64_t, kRingCount> FTotal{};  // entries added since the last reset
  uint64_t FGeneration = 0;
  std::array<int, kRingCount> FScaleFactor{1, 1, 1};

  int FVirtualChannelCount = -1;  // -1: count again
  std::array<TFactorRow, kMaxChannels + 1> FVirtualFactors{};  // rows 1..24

  std::string FSync;
  std::string FSyncReset = "0";
  uint32_t FSamplerLogTypes = 0;
};
