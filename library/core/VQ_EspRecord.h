#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// The transmit record of counters with an ESP processor: a 16-byte header
// marked "PAV2" followed by up to 24 eight-byte values, every multi-byte field
// least significant byte first. This unit parses, checks, dumps, searches and
// builds records and turns one record into a binary report of the Coldfire
// form. It keeps no state: what the report layer knows about the device comes
// in as parameters.

namespace VQ_Esp {
inline constexpr std::string_view Magic = "PAV2";
inline constexpr size_t HeaderLength = 16;
inline constexpr size_t ValueLength = 8;
inline constexpr size_t MaxValueCount = 24;
inline constexpr size_t MaxValueBytes = MaxValueCount * ValueLength;
inline constexpr size_t MaxRecordLength = HeaderLength + MaxValueBytes;  // 208
// Measurement types are the high byte of the data header: $00..$6F.
inline constexpr uint8_t FirstNonMeasurementType = 0x70;
// Status words below this carry the high byte of a new data header.
inline constexpr uint16_t FirstSpecialStatus = 240;
// The counter's buffer pointer counts 32-bit words; the transports wrap it at
// different sizes.
inline constexpr uint32_t SerialBufferWords = 0x20000;
inline constexpr uint32_t UsbBufferWords = 0x80000;
inline constexpr uint32_t BufferPtrMask = 0x3FFFF;  // bits 17..0 of Control
}  // namespace VQ_Esp

enum class TEspRecordType : uint8_t {
  Message = 0x70,
  ToolsAnswer = 0x71,
  Timestamp = 0x72,
  Status = 0x73,
  List = 0x74,
  RawPayload = 0x76,
  QmtData = 0x77,
  Nvs = 0x78,
  Heartbeat = 0x7D,
};

enum class TEspStatus : uint16_t { Status253 = 253, TooManyUsers = 254, BufferCleared = 255 };

// Why bytes do not make a record (yet).
enum class TEspParse : uint8_t {
  Ok,
  TooShort,       // fewer than 16 bytes: wait for more
  TooManyValues,  // ValueCount above 24: not a record, resynchronise
  Incomplete,     // fewer value bytes than announced: wait for more
};

// The verdict of the full check a record must pass before it is used.
enum class TEspCheck : uint8_t { Ok, BadMagic, TooManyValues, BadCheckSum };

struct TEspRecord {
  std::array<char, 4> Magic{};
  uint8_t Type = 0;
  uint8_t ValueCount = 0;
  uint16_t Word = 0;
  uint32_t Flags = 0;
  uint32_t Control = 0;
  std::array<uint8_t, VQ_Esp::MaxValueBytes> ValueBytes{};

  size_t Length() const { return VQ_Esp::HeaderLength + VQ_Esp::ValueLength * ValueCount; }
  // The value bytes the record announces (never more than the 192 it can hold).
  std::string_view Values() const;
  // Value i read least significant byte first; 0 outside the record.
  uint64_t Value(size_t index) const;
  // The record as it travels: header and announced values.
  std::string Bytes() const;

  bool HasMagic() const { return std::string_view(Magic.data(), Magic.size()) == VQ_Esp::Magic; }
  bool IsMeasurement() const { return Type < VQ_Esp::FirstNonMeasurementType; }
  uint8_t CheckSum() const { return static_cast<uint8_t>(Control >> 24); }
  uint8_t UserIdField() const { return static_cast<uint8_t>((Control >> 20) & 0x0F); }
  unsigned UserID() const { return UserIdField() + 1u; }
  // Counters with `FFlagVersion` send the scrambler in bits 1-0 of Flags.
  uint8_t Scrambler(bool flagVersion) const;
  uint8_t PPI() const { return static_cast<uint8_t>((Flags >> 2) & 0x03); }
  uint32_t BufferPtr() const { return Control & VQ_Esp::BufferPtrMask; }
  // Where the counter's next record starts, in words, wrapped at `bufferWords`.
  uint32_t NextBufferPos(uint32_t bufferWords) const;
  // Interval of a measurement record in ms; nothing for other types and for the
  // interval indices 14 and 15, which name no interval.
  std::optional<uint32_t> IntervalMs() const;
  // Payload of the form length byte + bytes, cut to the value bytes present.
  std::string_view LengthPayload() const;

  // Sum of all record bytes modulo 256; 0 for a record with a correct checksum.
  uint8_t ByteSum() const;
  // Sets the checksum byte so that the record sums to 0.
  void SealCheckSum();
  // Nothing when the checksum is right, else "CheckSum: XX Sum: YY".
  std::optional<std::string> CheckSumError() const;

  std::string HeaderDump(bool flagVersion) const;
  std::string ValueDump() const;
  // One line under the stream debug log's ESP columns
  // "Magic    t  c  FPGA  Flags   Chk U S Ptr   Values".
  std::string StreamLine() const;
};

// Total length of the record whose header starts `bytes` (in a type wide
// enough for 16 + 8 x 255); nothing when the header is incomplete or announces
// more than 24 values.
std::optional<size_t> EspRecordLength(std::string_view bytes);

// Reads one record from the front of `bytes`. Neither magic nor checksum is
// checked here: see CheckEspRecord.
TEspParse ParseEspRecord(std::string_view bytes, TEspRecord& record);
// The same, and on success takes the record's bytes off the front of `bytes`.
TEspParse TakeEspRecord(std::string& bytes, TEspRecord& record);

// Magic, value count and checksum; `message` (when given) gets the reason.
TEspCheck CheckEspRecord(const TEspRecord& record, std::string* message = nullptr);

// Position of the next magic in `bytes` at or after `from`, or npos.
size_t FindEspMagic(std::string_view bytes, size_t from = 0);
// True when a second record starts 8 bytes into `bytes` (a record cut short
// by a lost transfer).
bool HasEspMagicAt8(std::string_view bytes);
// Offset from the start of the record of a magic inside its values, if any.
std::optional<size_t> FindEspMagicInValues(const TEspRecord& record);

// What the conversion needs to know about the device and the report layer.
struct TEspConvertOptions {
  bool FlagVersion = false;      // the device's `FFlagVersion`
  bool ReadingPvhBlock = false;  // a PVH block is being read (`FBlobNumber`)
};

// The binary report (code or data header, most significant byte first, then
// the payload) of one record. Every record gives one; what cannot be
// converted becomes a 7F20 report carrying the record in hexadecimal.
std::string ConvertEspRecord(const TEspRecord& record, const TEspConvertOptions& options = {});

// A message record (type $70) with a correct checksum carrying `text` as a
// length byte + bytes payload padded to a multiple of 8. Text beyond the 191
// bytes a record holds is cut.
TEspRecord BuildEspMessageRecord(uint16_t code, std::string_view text);
// The 7F21 record of a lost USB read.
TEspRecord BuildEsp7F21Record(std::string_view text);

// A 7016 binary report of a 100 ms count.
std::string EspTimestampReport(uint32_t count100ms);
