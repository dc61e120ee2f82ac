#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "app/core/App_DateTime.h"

// One value record of a session: ten preformatted strings (slot 1 = index 0).
inline constexpr int kSamplerRecordStrings = 10;
using TMultiSamplerStrings = std::array<std::string, kSamplerRecordStrings>;

// When a record was made: the wall clock at its evaluation, and the
// session's own clock (the counter time) when it had one. A writer that
// falls behind stamps and dates the record by these, not by its own clock.
// Records fed without a time take the writer's clock.
struct TSamplerRecordTime {
  std::optional<TUtcMs> Evaluated;
  std::optional<TUtcMs> Session;
};

// The records of one session and string class, oldest first. Every record
// keeps the number it got when it was added (0, 1, 2, ... for the life of
// the buffer), so readers hold absolute positions that dropping the oldest
// records never shifts. The buffer is bounded by a record count and by the
// bytes of its strings; adding beyond either drops the oldest records.
class TSamplerRecordBuffer {
 public:
  static constexpr std::size_t kMaxRecords = 50000;
  static constexpr std::size_t kMaxBytes = 16u * 1024 * 1024;

  explicit TSamplerRecordBuffer(std::size_t maxRecords = kMaxRecords, std::size_t maxBytes = kMaxBytes);

  // Appends the record; returns how many of the oldest were dropped to make
  // room. The newest record always stays, even when it alone exceeds a cap.
  uint64_t Add(TMultiSamplerStrings record, const TSamplerRecordTime& time = {});
  // The record with this number; null when it was dropped or not yet added.
  const TMultiSamplerStrings* Get(int64_t number) const;
  // Its time; null as for Get.
  const TSamplerRecordTime* GetTime(int64_t number) const;
  // Number of the oldest record held, and one past the newest (equal when empty).
  int64_t First() const { return FFirst; }
  int64_t End() const { return FFirst + static_cast<int64_t>(FRecords.size()); }
  std::size_t Count() const { return FRecords.size(); }
  bool Empty() const { return FRecords.empty(); }
  std::size_t Bytes() const { return FBytes; }
  // Drops every record numbered below `number` (all of them when it lies beyond End()).
  void DropBefore(int64_t number);
  // Drops everything; the numbering goes on.
  void Clear();
  // New caps; records beyond them are dropped at once (oldest first).
  void SetCaps(std::size_t maxRecords, std::size_t maxBytes);

 private:
  static std::size_t RecordBytes(const TMultiSamplerStrings& record);
  uint64_t Trim();
  void DropOldest();

  struct TEntry {
    TMultiSamplerStrings Strings;
    TSamplerRecordTime Time;
  };
  std::deque<TEntry> FRecords;
  int64_t FFirst = 0;
  std::size_t FBytes = 0;
  std::size_t FMaxRecords;
  std::size_t FMaxBytes;
};
