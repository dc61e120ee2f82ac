#include "library/core/VQ_EspRecord.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include "library/core/VQ_CommonTypes.h"
#include "library/core/VQ_DllCommon.h"

namespace {

// Fields are read byte by byte: the bytes come from a string at any
// alignment, and the record is little-endian whatever the host is.
uint32_t ReadLE(std::string_view bytes, size_t offset, size_t size) {
  uint32_t value = 0;
  for (size_t i = size; i > 0; --i) value = (value << 8) | static_cast<uint8_t>(bytes[offset + i - 1]);
  return value;
}

void AppendLE(std::string& out, uint32_t value, size_t size) {
  for (size_t i = 0; i < size; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

// The values a record really holds, even when its count was set too high.
size_t ValueSlots(const TEspRecord& record) { return record.Values().size() / VQ_Esp::ValueLength; }

std::string UnknownRecordReport(const TEspRecord& record) {
  const std::string bytes = record.Bytes();
  return BinaryReport(VQ_Code::UnknownEspRecord, HexDump(std::string_view(bytes).substr(VQ_Esp::Magic.size())));
}

uint8_t ScramblerByte(const TEspRecord& record, bool flagVersion) {
  uint8_t byte = static_cast<uint8_t>(record.Scrambler(flagVersion) * 16);
  if (flagVersion) byte = static_cast<uint8_t>(byte + record.PPI() * 64);
  return byte;
}

std::string ConvertMeasurement(const TEspRecord& record, const TEspConvertOptions& options) {
  // A data header with interval index 14 or 15 names no interval; the report
  // layer and the decoder would have nothing to time it by.
  if (!record.IntervalMs()) return UnknownRecordReport(record);
  std::string out;
  out.push_back(static_cast<char>(record.Type));
  out.push_back(static_cast<char>(ScramblerByte(record, options.FlagVersion)));
  out.append(record.Values());
  return out;
}

std::string ConvertMessage(const TEspRecord& record) {
  // A code below 7000 would be decoded as a measurement made of text bytes.
  if (VQ_Code::IsMeasurement(record.Word)) return UnknownRecordReport(record);
  return BinaryReport(record.Word, record.LengthPayload());
}

std::string ConvertToolsAnswer(const TEspRecord& record, const TEspConvertOptions& options) {
  const std::string_view payload = record.LengthPayload();
  if (payload.size() == 4) return BinaryReport(VQ_Code::HardFeature, payload);
  return BinaryReport(options.ReadingPvhBlock ? VQ_Code::PvhSettings : VQ_Code::PvhCalibration, payload);
}

std::string ConvertStatus(const TEspRecord& record, const TEspConvertOptions& options) {
  if (record.Word < VQ_Esp::FirstSpecialStatus) {
    const char payload[2] = {static_cast<char>(record.Word),
                             static_cast<char>(ScramblerByte(record, options.FlagVersion))};
    return BinaryReport(VQ_Code::HeaderChanged, std::string_view(payload, 2));
  }
  switch (static_cast<TEspStatus>(record.Word)) {
    case TEspStatus::Status253: return BinaryReport(VQ_Code::Status253);
    case TEspStatus::TooManyUsers: return BinaryReport(VQ_Code::UserIdInUse, "Too many users");
    case TEspStatus::BufferCleared: return BinaryReport(VQ_Code::BufferCleared);
  }
  return UnknownRecordReport(record);
}

std::string ConvertList(const TEspRecord& record) {
  std::string text;
  for (size_t i = 0; i < ValueSlots(record); ++i) {
    text += ' ';
    text += HexText(record.Value(i) & 0xFFFFFFFFu, 8);
  }
  return BinaryReport(VQ_Code::WordList, text);
}

std::string ConvertNvs(const TEspRecord& record) {
  const char kind = static_cast<char>(record.Word & 0xFF);
  const unsigned index = record.Word >> 8;
  if (kind == 'b' && index == 0) return BinaryReport(VQ_Code::PvhCalibration, record.LengthPayload());
  if (kind == 'b' && index >= 1 && index <= 4) return BinaryReport(VQ_Code::PvhSettings, record.LengthPayload());
  if (kind == 'i' && index == 5) return BinaryReport(VQ_Code::HardFeature, record.LengthPayload());
  return UnknownRecordReport(record);
}

std::string ConvertHeartbeat(const TEspRecord& record) {
  std::string text;
  for (size_t i = 0; i < ValueSlots(record); ++i) {
    const uint64_t value = record.Value(i);
    text += ';';
    text += HexText(value & 0xFFFFFFFFu, 8);
    text += ';';
    text += HexText(value >> 32, 8);
  }
  return BinaryReport(VQ_Code::Heartbeat, text);
}

}  // namespace

// ---- fields -----------------------------------------------------------------

std::string_view TEspRecord::Values() const {
  const size_t count = std::min<size_t>(ValueCount, VQ_Esp::MaxValueCount);
  return std::string_view(reinterpret_cast<const char*>(ValueBytes.data()), count * VQ_Esp::ValueLength);
}

uint64_t TEspRecord::Value(size_t index) const {
  const std::string_view values = Values();
  if (index >= ValueSlots(*this)) return 0;
  const size_t offset = index * VQ_Esp::ValueLength;
  return ReadLE(values, offset, 4) | (static_cast<uint64_t>(ReadLE(values, offset + 4, 4)) << 32);
}

std::string TEspRecord::Bytes() const {
  std::string out(Magic.data(), Magic.size());
  out.push_back(static_cast<char>(Type));
  out.push_back(static_cast<char>(ValueCount));
  AppendLE(out, Word, 2);
  AppendLE(out, Flags, 4);
  AppendLE(out, Control, 4);
  out.append(Values());
  return out;
}

uint8_t TEspRecord::Scrambler(bool flagVersion) const {
  return static_cast<uint8_t>(flagVersion ? (Flags & 0x03) : ((Control >> 18) & 0x03));
}

uint32_t TEspRecord::NextBufferPos(uint32_t bufferWords) const {
  if (bufferWords == 0) return 0;
  return (BufferPtr() + 2u * ValueCount + 4u) % bufferWords;
}

std::optional<uint32_t> TEspRecord::IntervalMs() const {
  if (!IsMeasurement()) return std::nullopt;
  return VQ_IntervalMs(Type & 0x0F);
}

std::string_view TEspRecord::LengthPayload() const {
  const std::string_view values = Values();
  if (values.empty()) return {};
  const size_t length = static_cast<uint8_t>(values[0]);
  return values.substr(1, length);  // substr cuts a length beyond the payload
}

// ---- checksum ---------------------------------------------------------------

// Summed from the fields, without building the record's bytes: every record
// every transport receives is checked.
uint8_t TEspRecord::ByteSum() const {
  unsigned sum = Type + ValueCount;
  for (const char c : Magic) sum += static_cast<uint8_t>(c);
  for (const uint32_t field : {uint32_t{Word}, Flags, Control})
    sum += (field & 0xFF) + (field >> 8 & 0xFF) + (field >> 16 & 0xFF) + (field >> 24 & 0xFF);
  for (const char c : Values()) sum += static_cast<uint8_t>(c);
  return static_cast<uint8_t>(sum);
}

void TEspRecord::SealCheckSum() {
  Control &= 0x00FFFFFFu;
  const uint8_t rest = ByteSum();
  Control |= static_cast<uint32_t>(static_cast<uint8_t>(0x100 - rest)) << 24;
}

std::optional<std::string> TEspRecord::CheckSumError() const {
  const uint8_t sum = ByteSum();
  if (sum == 0) return std::nullopt;
  return "CheckSum: " + HexText(CheckSum(), 2) + " Sum: " + HexText(sum, 2);
}

// ---- dumps ------------------------------------------------------------------

std::string TEspRecord::HeaderDump(bool flagVersion) const {
  std::string out = "Magic: " + std::string(Magic.data(), Magic.size()) + " Type: 0x" + HexText(Type, 2) +
                    " ValueCount: " + std::to_string(ValueCount);
  switch (Type) {
    case static_cast<uint8_t>(TEspRecordType::Message): out += " Message: 0x" + HexText(Word, 4); break;
    case static_cast<uint8_t>(TEspRecordType::Status): out += " Status: 0x" + HexText(Word, 4); break;
    case static_cast<uint8_t>(TEspRecordType::Nvs):
      out += " NVS ";
      out += static_cast<char>(Word & 0xFF);
      out += " " + std::to_string(Word >> 8);
      break;
    case static_cast<uint8_t>(TEspRecordType::Timestamp): out += " FPGAtime: " + std::to_string(Word); break;
    default: out += IsMeasurement() ? " FPGAtime: " + std::to_string(Word) : " Header: 0x" + HexText(Word, 4); break;
  }
  const bool counterInFlags =
      Type == static_cast<uint8_t>(TEspRecordType::Timestamp) || (IsMeasurement() && !flagVersion);
  out += counterInFlags ? " 100msCounter: " + std::to_string(Flags) : " Flags: 0x" + HexText(Flags, 8);
  out += " CheckSum: 0x" + HexText(CheckSum(), 2) + " UserID: 0x" + HexText(UserIdField(), 1) + " Scrambler: 0x" +
         HexText(Scrambler(flagVersion), 1) + " BufferPtr: 0x" + HexText(BufferPtr(), 5);
  return out;
}

std::string TEspRecord::ValueDump() const {
  std::string out = " Values: ";
  for (size_t i = 0; i < ValueSlots(*this); ++i) {
    if (i > 0) out += "; ";
    out += "0x" + HexText(Value(i), 16);
  }
  return out;
}

std::string TEspRecord::StreamLine() const {
  // Each field starts under its column; the flags end under theirs.
  std::string count = std::to_string(ValueCount);
  if (count.size() < 2) count.insert(0, 1, '0');
  std::string out(Magic.data(), Magic.size());
  out += "     " + HexText(Type, 2) + " " + count + " " + HexText(Word, 4) + " " + HexText(Flags, 8) + " " +
         HexText(CheckSum(), 2) + "  " + HexText(UserIdField(), 1) + " " + HexText(Scrambler(false), 1) + " " +
         HexText(BufferPtr(), 5);
  for (size_t i = 0; i < ValueSlots(*this); ++i) out += " " + HexText(Value(i), 16);
  return out;
}

// ---- parse and check --------------------------------------------------------

std::optional<size_t> EspRecordLength(std::string_view bytes) {
  if (bytes.size() < VQ_Esp::HeaderLength) return std::nullopt;
  const size_t count = static_cast<uint8_t>(bytes[5]);
  if (count > VQ_Esp::MaxValueCount) return std::nullopt;
  return VQ_Esp::HeaderLength + VQ_Esp::ValueLength * count;
}

TEspParse ParseEspRecord(std::string_view bytes, TEspRecord& record) {
  if (bytes.size() < VQ_Esp::HeaderLength) return TEspParse::TooShort;
  const auto length = EspRecordLength(bytes);
  if (!length) return TEspParse::TooManyValues;
  if (bytes.size() < *length) return TEspParse::Incomplete;

  std::copy_n(bytes.begin(), record.Magic.size(), record.Magic.begin());
  record.Type = static_cast<uint8_t>(bytes[4]);
  record.ValueCount = static_cast<uint8_t>(bytes[5]);
  record.Word = static_cast<uint16_t>(ReadLE(bytes, 6, 2));
  record.Flags = ReadLE(bytes, 8, 4);
  record.Control = ReadLE(bytes, 12, 4);
  record.ValueBytes.fill(0);
  const std::string_view values = bytes.substr(VQ_Esp::HeaderLength, *length - VQ_Esp::HeaderLength);
  std::copy(values.begin(), values.end(), record.ValueBytes.begin());
  return TEspParse::Ok;
}

TEspParse TakeEspRecord(std::string& bytes, TEspRecord& record) {
  const TEspParse result = ParseEspRecord(bytes, record);
  if (result == TEspParse::Ok) bytes.erase(0, record.Length());
  return result;
}

TEspCheck CheckEspRecord(const TEspRecord& record, std::string* message) {
  auto fail = [message](TEspCheck check, std::string text) {
    if (message) *message = std::move(text);
    return check;
  };
  if (!record.HasMagic())
    return fail(TEspCheck::BadMagic, "Magic: " + HexDump(std::string_view(record.Magic.data(), record.Magic.size())));
  if (record.ValueCount > VQ_Esp::MaxValueCount)
    return fail(TEspCheck::TooManyValues, "ValueCount: " + std::to_string(record.ValueCount));
  if (auto error = record.CheckSumError()) return fail(TEspCheck::BadCheckSum, std::move(*error));
  if (message) message->clear();
  return TEspCheck::Ok;
}

// ---- searches ---------------------------------------------------------------

size_t FindEspMagic(std::string_view bytes, size_t from) { return bytes.find(VQ_Esp::Magic, from); }

bool HasEspMagicAt8(std::string_view bytes) {
  return bytes.substr(std::min<size_t>(8, bytes.size())).starts_with(VQ_Esp::Magic);
}

std::optional<size_t> FindEspMagicInValues(const TEspRecord& record) {
  const size_t pos = FindEspMagic(record.Values());
  if (pos == std::string_view::npos) return std::nullopt;
  return VQ_Esp::HeaderLength + pos;
}

// ---- conversion -------------------------------------------------------------

std::string ConvertEspRecord(const TEspRecord& record, const TEspConvertOptions& options) {
  if (record.IsMeasurement()) return ConvertMeasurement(record, options);
  switch (static_cast<TEspRecordType>(record.Type)) {
    case TEspRecordType::Message: return ConvertMessage(record);
    case TEspRecordType::ToolsAnswer: return ConvertToolsAnswer(record, options);
    case TEspRecordType::Timestamp: return EspTimestampReport(record.Flags);
    case TEspRecordType::Status: return ConvertStatus(record, options);
    case TEspRecordType::List: return ConvertList(record);
    case TEspRecordType::QmtData: return BinaryReport(VQ_Code::QmtValues, record.Values());
    case TEspRecordType::Nvs: return ConvertNvs(record);
    case TEspRecordType::Heartbeat: return ConvertHeartbeat(record);
    case TEspRecordType::RawPayload: break;  // belongs to the tools buffer
  }
  return UnknownRecordReport(record);
}

// ---- builders ---------------------------------------------------------------

TEspRecord BuildEspMessageRecord(uint16_t code, std::string_view text) {
  TEspRecord record;
  std::copy(VQ_Esp::Magic.begin(), VQ_Esp::Magic.end(), record.Magic.begin());
  record.Type = static_cast<uint8_t>(TEspRecordType::Message);
  record.Word = code;
  text = text.substr(0, VQ_Esp::MaxValueBytes - 1);
  record.ValueBytes[0] = static_cast<uint8_t>(text.size());
  std::copy(text.begin(), text.end(), record.ValueBytes.begin() + 1);
  record.ValueCount = static_cast<uint8_t>((1 + text.size() + VQ_Esp::ValueLength - 1) / VQ_Esp::ValueLength);
  record.SealCheckSum();
  return record;
}

TEspRecord BuildEsp7F21Record(std::string_view text) { return BuildEspMessageRecord(VQ_Code::UsbReadError, text); }

std::string EspTimestampReport(uint32_t count100ms) {
  const char count[4] = {static_cast<char>(count100ms >> 24), static_cast<char>(count100ms >> 16 & 0xFF),
                         static_cast<char>(count100ms >> 8 & 0xFF), static_cast<char>(count100ms & 0xFF)};
  return BinaryReport(VQ_Code::Timestamp100ms, std::string_view(count, 4));
}
