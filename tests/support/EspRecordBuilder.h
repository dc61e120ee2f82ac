#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// Builds the bytes of an ESP transmit record for tests: "PAV2", type, value
// count, word, flags and control least significant byte first, then the
// values. The checksum is computed here, independently of the library, so a
// test can rely on it; BreakCheckSum() spoils it on purpose.
class EspRecordBuilder {
 public:
  explicit EspRecordBuilder(uint8_t type) : FType(type) {}

  EspRecordBuilder& Word(uint16_t word) { FWord = word; return *this; }
  EspRecordBuilder& Flags(uint32_t flags) { FFlags = flags; return *this; }
  // UserID 1..16 is sent as UserID - 1.
  EspRecordBuilder& UserID(unsigned userId) { FUserIdField = (userId - 1) & 0x0F; return *this; }
  EspRecordBuilder& Scrambler(unsigned scrambler) { FScrambler = scrambler & 0x03; return *this; }
  EspRecordBuilder& BufferPtr(uint32_t ptr) { FBufferPtr = ptr & 0x3FFFF; return *this; }
  EspRecordBuilder& Value(uint64_t value) {
    for (int i = 0; i < 8; ++i) FValues.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
    return *this;
  }
  // Length byte + bytes, padded with zeros to a multiple of 8.
  EspRecordBuilder& LengthPayload(std::string_view bytes, int lengthByte = -1) {
    FValues.push_back(static_cast<char>(lengthByte < 0 ? bytes.size() : static_cast<size_t>(lengthByte)));
    FValues.append(bytes);
    FValues.resize((FValues.size() + 7) / 8 * 8, '\0');
    return *this;
  }
  // Announces a value count that differs from the values given.
  EspRecordBuilder& ValueCount(uint8_t count) { FValueCount = count; FCountSet = true; return *this; }
  EspRecordBuilder& Magic(std::string_view magic) { FMagic = magic; return *this; }
  EspRecordBuilder& BreakCheckSum() { FBreakCheckSum = true; return *this; }

  std::string Bytes() const {
    std::string out = FMagic;
    out.push_back(static_cast<char>(FType));
    out.push_back(static_cast<char>(FCountSet ? FValueCount : FValues.size() / 8));
    AppendLE(out, FWord, 2);
    AppendLE(out, FFlags, 4);
    AppendLE(out, (FUserIdField << 20) | (FScrambler << 18) | FBufferPtr, 4);
    out += FValues;
    unsigned sum = 0;
    for (const char c : out) sum += static_cast<uint8_t>(c);
    uint8_t checksum = static_cast<uint8_t>(0x100 - (sum & 0xFF));
    if (FBreakCheckSum) checksum = static_cast<uint8_t>(checksum + 1);
    out[15] = static_cast<char>(checksum);
    return out;
  }

 private:
  static void AppendLE(std::string& out, uint32_t value, int size) {
    for (int i = 0; i < size; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
  }

  std::string FMagic = "PAV2";
  uint8_t FType;
  uint16_t FWord = 0;
  uint32_t FFlags = 0;
  uint32_t FUserIdField = 0;
  uint32_t FScrambler = 0;
  uint32_t FBufferPtr = 0;
  std::string FValues;
  uint8_t FValueCount = 0;
  bool FCountSet = false;
  bool FBreakCheckSum = false;
};
