#include "library/core/VQ_EspRecord.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "library/core/VQ_DllCommon.h"
#include "support/EspRecordBuilder.h"

namespace {

using namespace std::string_literals;

TEspRecord Parsed(const std::string& bytes) {
  TEspRecord record;
  EXPECT_EQ(ParseEspRecord(bytes, record), TEspParse::Ok);
  return record;
}

// What a record that cannot be converted becomes: 7F20 and the record after
// its magic in hexadecimal.
std::string UnknownReport(std::string_view recordBytes) { return "\x7F\x20"s + HexDump(recordBytes.substr(4)); }

// ---- parse ------------------------------------------------------------------

TEST(EspRecordParse, RefusesShortOverlongAndIncompleteRecords) {
  struct Case {
    const char* name;
    std::string bytes;
    TEspParse expected;
  };
  const std::string oneValue = EspRecordBuilder(0x06).Value(1).Bytes();
  const Case cases[] = {
      {"empty", "", TEspParse::TooShort},
      {"15 header bytes", oneValue.substr(0, 15), TEspParse::TooShort},
      {"header only, no values", EspRecordBuilder(0x72).Bytes(), TEspParse::Ok},
      {"one value", oneValue, TEspParse::Ok},
      {"value cut short", oneValue.substr(0, 23), TEspParse::Incomplete},
      {"two values announced, one sent", EspRecordBuilder(0x06).Value(1).ValueCount(2).Bytes(), TEspParse::Incomplete},
      {"25 values announced", EspRecordBuilder(0x06).ValueCount(25).Bytes() + std::string(200, '\0'),
       TEspParse::TooManyValues},
      // 16 + 8 x 30 is 256, which a one-byte length would read as 0.
      {"30 values announced", EspRecordBuilder(0x06).ValueCount(30).Bytes() + std::string(240, '\0'),
       TEspParse::TooManyValues},
  };
  for (const Case& c : cases) {
    TEspRecord record;
    EXPECT_EQ(ParseEspRecord(c.bytes, record), c.expected) << c.name;
  }
}

TEST(EspRecordParse, LengthOfTheLargestRecord) {
  EspRecordBuilder builder(0x06);
  for (int i = 0; i < 24; ++i) builder.Value(i);
  EXPECT_EQ(EspRecordLength(builder.Bytes()), 208u);
  EXPECT_EQ(EspRecordLength(EspRecordBuilder(0x06).ValueCount(25).Bytes()), std::nullopt);
  EXPECT_EQ(EspRecordLength("PAV2"), std::nullopt);
}

TEST(EspRecordParse, FieldsAreLittleEndianAtAnyAlignment) {
  const std::string bytes = EspRecordBuilder(0x73)
                                .Word(0x1234)
                                .Flags(0x89ABCDEF)
                                .UserID(3)
                                .Scrambler(2)
                                .BufferPtr(0x2ABCD)
                                .Value(0x0102030405060708)
                                .Bytes();
  // One byte in front puts every field at an odd address.
  const std::string shifted = "x" + bytes;
  TEspRecord record;
  ASSERT_EQ(ParseEspRecord(std::string_view(shifted).substr(1), record), TEspParse::Ok);
  EXPECT_TRUE(record.HasMagic());
  EXPECT_EQ(record.Type, 0x73);
  EXPECT_EQ(record.ValueCount, 1);
  EXPECT_EQ(record.Word, 0x1234);
  EXPECT_EQ(record.Flags, 0x89ABCDEFu);
  EXPECT_EQ(record.UserID(), 3u);
  EXPECT_EQ(record.UserIdField(), 2);
  EXPECT_EQ(record.Scrambler(false), 2);
  EXPECT_EQ(record.Scrambler(true), 0x03);  // bits 1-0 of the flags
  EXPECT_EQ(record.PPI(), 0x03);            // bits 3-2 of the flags
  EXPECT_EQ(record.BufferPtr(), 0x2ABCDu);
  EXPECT_EQ(record.Value(0), 0x0102030405060708u);
  EXPECT_EQ(record.Value(1), 0u);
  EXPECT_EQ(record.Bytes(), bytes);
}

TEST(EspRecordParse, TakeRemovesOneRecordAndLeavesIncompleteBytes) {
  const std::string first = EspRecordBuilder(0x72).Flags(1).Bytes();
  const std::string second = EspRecordBuilder(0x06).Value(7).Bytes();
  std::string stream = first + second.substr(0, 20);
  TEspRecord record;
  ASSERT_EQ(TakeEspRecord(stream, record), TEspParse::Ok);
  EXPECT_EQ(record.Flags, 1u);
  EXPECT_EQ(stream, second.substr(0, 20));
  EXPECT_EQ(TakeEspRecord(stream, record), TEspParse::Incomplete);
  EXPECT_EQ(stream, second.substr(0, 20));
}

// ---- checks -----------------------------------------------------------------

TEST(EspRecordCheck, MagicValueCountAndCheckSum) {
  struct Case {
    const char* name;
    std::string bytes;
    TEspCheck expected;
    std::string message;
  };
  const Case cases[] = {
      {"sound record", EspRecordBuilder(0x06).Value(0x55).Bytes(), TEspCheck::Ok, ""},
      {"wrong magic", EspRecordBuilder(0x06).Magic("PAV1").Bytes(), TEspCheck::BadMagic, "Magic: 50415631"},
      // The builder's checksum is 1 too high, so the bytes sum to 1.
      {"checksum off by one", EspRecordBuilder(0x72).Flags(0x10).BreakCheckSum().Bytes(), TEspCheck::BadCheckSum,
       "CheckSum: 66 Sum: 01"},
  };
  for (const Case& c : cases) {
    std::string message = "stale";
    EXPECT_EQ(CheckEspRecord(Parsed(c.bytes), &message), c.expected) << c.name;
    EXPECT_EQ(message, c.message) << c.name;
  }
}

TEST(EspRecordCheck, RecordAnnouncingTooManyValuesIsRefusedWithoutReadingPastItsValues) {
  TEspRecord record = Parsed(EspRecordBuilder(0x06).Bytes());
  record.ValueCount = 200;
  EXPECT_EQ(CheckEspRecord(record), TEspCheck::TooManyValues);
  EXPECT_EQ(record.Values().size(), 192u);
  EXPECT_EQ(record.Value(100), 0u);
}

// ---- searches ---------------------------------------------------------------

TEST(EspRecordSearch, ResynchronisesOnTheNextMagic) {
  const std::string record = EspRecordBuilder(0x72).Flags(5).Bytes();
  const std::string stream = "\x01PAV" + record + record;
  EXPECT_EQ(FindEspMagic(stream), 4u);
  EXPECT_EQ(FindEspMagic(stream, 5), 4u + record.size());
  EXPECT_EQ(FindEspMagic(stream, 5 + record.size()), std::string_view::npos);
  EXPECT_EQ(FindEspMagic("PAV"), std::string_view::npos);
}

TEST(EspRecordSearch, SecondMagicEightBytesIn) {
  const std::string record = EspRecordBuilder(0x72).Bytes();
  EXPECT_TRUE(HasEspMagicAt8(record.substr(0, 8) + record));
  EXPECT_FALSE(HasEspMagicAt8(record));
  EXPECT_FALSE(HasEspMagicAt8(record.substr(0, 10)));
}

TEST(EspRecordSearch, MagicInsideTheValues) {
  const TEspRecord plain = Parsed(EspRecordBuilder(0x77).Value(0x1234).Bytes());
  EXPECT_EQ(FindEspMagicInValues(plain), std::nullopt);
  // "PAV2" starting at the third byte of the second value.
  const TEspRecord hiding = Parsed(EspRecordBuilder(0x77).Value(0).Value(0x32564150ull << 16).Bytes());
  EXPECT_EQ(FindEspMagicInValues(hiding), 16u + 8u + 2u);
}

// ---- derived fields ---------------------------------------------------------

TEST(EspRecordFields, NextBufferPositionWrapsPerTransport) {
  struct Case {
    uint32_t bufferPtr;
    int values;
    uint32_t bufferWords;
    uint32_t expected;
  };
  const Case cases[] = {
      {0, 0, VQ_Esp::SerialBufferWords, 4},
      {0x100, 24, VQ_Esp::SerialBufferWords, 0x100 + 52},
      {0x1FFFE, 1, VQ_Esp::SerialBufferWords, 4},
      {0x1FFFE, 1, VQ_Esp::UsbBufferWords, 0x20004},
      {0x3FFFF, 24, VQ_Esp::UsbBufferWords, 0x3FFFF + 52},
  };
  for (const Case& c : cases) {
    EspRecordBuilder builder(0x06);
    builder.BufferPtr(c.bufferPtr);
    for (int i = 0; i < c.values; ++i) builder.Value(0);
    EXPECT_EQ(Parsed(builder.Bytes()).NextBufferPos(c.bufferWords), c.expected) << std::hex << c.bufferPtr;
  }
}

TEST(EspRecordFields, IntervalOnlyForMeasurementsWithAKnownIndex) {
  EXPECT_EQ(Parsed(EspRecordBuilder(0x00).Bytes()).IntervalMs(), 1u);
  EXPECT_EQ(Parsed(EspRecordBuilder(0x36).Bytes()).IntervalMs(), 100u);
  EXPECT_EQ(Parsed(EspRecordBuilder(0x6D).Bytes()).IntervalMs(), 20000u);
  EXPECT_EQ(Parsed(EspRecordBuilder(0x0E).Bytes()).IntervalMs(), std::nullopt);
  EXPECT_EQ(Parsed(EspRecordBuilder(0x6F).Bytes()).IntervalMs(), std::nullopt);
  EXPECT_EQ(Parsed(EspRecordBuilder(0x72).Bytes()).IntervalMs(), std::nullopt);
}

// ---- conversion -------------------------------------------------------------

TEST(EspRecordConvert, EveryRecordType) {
  struct Case {
    const char* name;
    std::string bytes;
    TEspConvertOptions options;
    std::string report;
  };
  const std::string value = "\x08\x07\x06\x05\x04\x03\x02\x01"s;
  const std::string unknown = EspRecordBuilder(0x7A).Word(0xBEEF).Value(1).Bytes();
  const std::string nvsOther = EspRecordBuilder(0x78).Word('b' | (5 << 8)).LengthPayload("xy").Bytes();
  const std::string status241 = EspRecordBuilder(0x73).Word(241).Bytes();
  const std::string noInterval = EspRecordBuilder(0x0E).Value(1).Bytes();
  const std::string lowCode = EspRecordBuilder(0x70).Word(0x1234).LengthPayload("ab").Bytes();
  const std::string raw = EspRecordBuilder(0x76).Value(2).Bytes();
  const Case cases[] = {
      {"timestamp, counter 250", EspRecordBuilder(0x72).Flags(250).Bytes(), {}, "\x70\x16\x00\x00\x00\xFA"s},
      {"timestamp, large counter", EspRecordBuilder(0x72).Word(300).Flags(0x01020304).Value(9).Bytes(), {},
       "\x70\x16\x01\x02\x03\x04"s},
      {"measurement, scrambler from control",
       EspRecordBuilder(0x36).Scrambler(2).Flags(0x0D).Value(0x0102030405060708).Bytes(), {}, "\x36\x20"s + value},
      {"measurement, scrambler and PPI from flags",
       EspRecordBuilder(0x36).Scrambler(2).Flags(0x09).Value(0x0102030405060708).Bytes(), {.FlagVersion = true},
       "\x36\x90"s + value},
      {"message", EspRecordBuilder(0x70).Word(0x7F51).LengthPayload("Resync done").Bytes(), {}, "\x7F\x51Resync done"s},
      {"message, length beyond the payload",
       EspRecordBuilder(0x70).Word(0x7FF2).LengthPayload("abcdefg", 200).Bytes(), {}, "\x7F\xF2" "abcdefg"s},
      {"message, length 255 in a full record",
       EspRecordBuilder(0x70).Word(0x7F51).LengthPayload(std::string(191, 'z'), 255).Bytes(), {},
       "\x7F\x51"s + std::string(191, 'z')},
      {"message, no values", EspRecordBuilder(0x70).Word(0x7FF8).Bytes(), {}, "\x7F\xF8"s},
      {"tools answer of 4 bytes", EspRecordBuilder(0x71).LengthPayload("\x01\x02\x03\x04"s).Bytes(), {},
       "\x70\x19\x01\x02\x03\x04"s},
      {"tools answer, calibration", EspRecordBuilder(0x71).LengthPayload("abcdef").Bytes(), {}, "\x79\x01" "abcdef"s},
      {"tools answer, PVH block", EspRecordBuilder(0x71).LengthPayload("abcdef").Bytes(), {.ReadingPvhBlock = true},
       "\x79\x02" "abcdef"s},
      {"status, new header", EspRecordBuilder(0x73).Word(0x36).Scrambler(1).Bytes(), {}, "\x70\x20\x36\x10"s},
      {"status, new header with PPI", EspRecordBuilder(0x73).Word(0x36).Flags(0x06).Bytes(), {.FlagVersion = true},
       "\x70\x20\x36\x60"s},
      {"status 253", EspRecordBuilder(0x73).Word(253).Bytes(), {}, "\x7E\xFE"s},
      {"status 254", EspRecordBuilder(0x73).Word(254).Bytes(), {}, "\x7F\xFA" "Too many users"s},
      {"status 255", EspRecordBuilder(0x73).Word(255).Bytes(), {}, "\x70\x22"s},
      {"list", EspRecordBuilder(0x74).Value(0xFFFFFFFF12345678).Value(1).Bytes(), {}, "\x71\x00 12345678 00000001"s},
      {"empty list", EspRecordBuilder(0x74).Bytes(), {}, "\x71\x00"s},
      {"QMT data", EspRecordBuilder(0x77).Value(0x0102030405060708).Bytes(), {}, "\x79\x00"s + value},
      {"NVS b 0", EspRecordBuilder(0x78).Word('b').LengthPayload("cal").Bytes(), {}, "\x79\x01" "cal"s},
      {"NVS b 1", EspRecordBuilder(0x78).Word('b' | (1 << 8)).LengthPayload("pvh").Bytes(), {}, "\x79\x02pvh"s},
      {"NVS b 4", EspRecordBuilder(0x78).Word('b' | (4 << 8)).LengthPayload("pvh").Bytes(), {}, "\x79\x02pvh"s},
      {"NVS i 5", EspRecordBuilder(0x78).Word('i' | (5 << 8)).LengthPayload("\x01\x02\x03\x04"s).Bytes(), {},
       "\x70\x19\x01\x02\x03\x04"s},
      {"NVS b 5", nvsOther, {}, UnknownReport(nvsOther)},
      {"heartbeat", EspRecordBuilder(0x7D).Value(0x1122334455667788).Value(0xA).Bytes(), {},
       "\x7E\xFF;55667788;11223344;0000000A;00000000"s},
      {"unknown type", unknown, {}, UnknownReport(unknown)},
      {"raw payload", raw, {}, UnknownReport(raw)},
      {"status 241", status241, {}, UnknownReport(status241)},
      {"measurement, interval index 14", noInterval, {}, UnknownReport(noInterval)},
      {"message with a measurement code", lowCode, {}, UnknownReport(lowCode)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(HexDump(ConvertEspRecord(Parsed(c.bytes), c.options)), HexDump(c.report)) << c.name;
  }
}

TEST(EspRecordConvert, TimestampReportFromA100msCount) {
  EXPECT_EQ(EspTimestampReport(250), "\x70\x16\x00\x00\x00\xFA"s);
  EXPECT_EQ(EspTimestampReport(0xFFFFFFFF), "\x70\x16\xFF\xFF\xFF\xFF"s);
}

// ---- dumps ------------------------------------------------------------------

TEST(EspRecordDump, HeaderByType) {
  struct Case {
    const char* name;
    std::string bytes;
    bool flagVersion;
    const char* dump;
  };
  const Case cases[] = {
      {"timestamp", EspRecordBuilder(0x72).Flags(250).UserID(3).BufferPtr(0x1F).Bytes(), false,
       "Magic: PAV2 Type: 0x72 ValueCount: 0 FPGAtime: 0 100msCounter: 250 CheckSum: 0x3C UserID: 0x2 Scrambler: 0x0 "
       "BufferPtr: 0x0001F"},
      {"measurement", EspRecordBuilder(0x36).Word(19999).Flags(7).Scrambler(1).Value(0).Bytes(), false,
       "Magic: PAV2 Type: 0x36 ValueCount: 1 FPGAtime: 19999 100msCounter: 7 CheckSum: 0x38 UserID: 0x0 Scrambler: 0x1 "
       "BufferPtr: 0x00000"},
      {"measurement, flags version", EspRecordBuilder(0x36).Word(99).Flags(0x0E).Scrambler(1).Bytes(), true,
       "Magic: PAV2 Type: 0x36 ValueCount: 0 FPGAtime: 99 Flags: 0x0000000E CheckSum: 0x3C UserID: 0x0 Scrambler: 0x2 "
       "BufferPtr: 0x00000"},
      {"message", EspRecordBuilder(0x70).Word(0x7F21).Bytes(), false,
       "Magic: PAV2 Type: 0x70 ValueCount: 0 Message: 0x7F21 Flags: 0x00000000 CheckSum: 0xD7 UserID: 0x0 "
       "Scrambler: 0x0 BufferPtr: 0x00000"},
      {"status", EspRecordBuilder(0x73).Word(254).Bytes(), false,
       "Magic: PAV2 Type: 0x73 ValueCount: 0 Status: 0x00FE Flags: 0x00000000 CheckSum: 0x76 UserID: 0x0 "
       "Scrambler: 0x0 BufferPtr: 0x00000"},
      {"NVS", EspRecordBuilder(0x78).Word('b' | (2 << 8)).Bytes(), false,
       "Magic: PAV2 Type: 0x78 ValueCount: 0 NVS b 2 Flags: 0x00000000 CheckSum: 0x0B UserID: 0x0 Scrambler: 0x0 "
       "BufferPtr: 0x00000"},
      {"other", EspRecordBuilder(0x74).Word(0x1234).Bytes(), false,
       "Magic: PAV2 Type: 0x74 ValueCount: 0 Header: 0x1234 Flags: 0x00000000 CheckSum: 0x2D UserID: 0x0 "
       "Scrambler: 0x0 BufferPtr: 0x00000"},
  };
  for (const Case& c : cases) {
    const TEspRecord record = Parsed(c.bytes);
    EXPECT_EQ(record.HeaderDump(c.flagVersion), c.dump) << c.name;
    EXPECT_EQ(record.ByteSum(), 0) << c.name;
  }
}

TEST(EspRecordDump, StreamLineSitsUnderTheColumns) {
  const std::string columns = "Magic    t  c  FPGA  Flags   Chk U S Ptr   Values";
  const std::string line =
      Parsed(EspRecordBuilder(0x36).Word(0x4E1F).Flags(0xFA).UserID(3).Scrambler(1).BufferPtr(0x1F).Value(5).Bytes())
          .StreamLine();
  EXPECT_EQ(line, "PAV2     36 01 4E1F 000000FA 01  2 1 0001F 0000000000000005");
  for (const char* column : {" t ", " c ", " FPGA", " Chk", " U ", " S ", " Ptr", " Values"}) {
    const size_t at = columns.find(column) + 1;
    EXPECT_NE(line[at], ' ') << column;
    EXPECT_EQ(line[at - 1], ' ') << column;
  }
}

TEST(EspRecordDump, Values) {
  EXPECT_EQ(Parsed(EspRecordBuilder(0x06).Value(0x0102030405060708).Value(0xFF).Bytes()).ValueDump(),
            " Values: 0x0102030405060708; 0x00000000000000FF");
  EXPECT_EQ(Parsed(EspRecordBuilder(0x72).Bytes()).ValueDump(), " Values: ");
}

// ---- builders ---------------------------------------------------------------

TEST(EspRecordBuild, MessageRecordRoundTrip) {
  struct Case {
    std::string text;
    uint8_t valueCount;
    std::string carried;
  };
  const std::string usbError = "Read error on USB. USB frames lost";
  const Case cases[] = {
      {"", 1, ""},
      {"1234567", 1, "1234567"},
      {"12345678", 2, "12345678"},
      {usbError, 5, usbError},
      {std::string(191, 'a'), 24, std::string(191, 'a')},
      {std::string(300, 'b'), 24, std::string(191, 'b')},  // cut to what a record holds
  };
  for (const Case& c : cases) {
    const TEspRecord built = BuildEsp7F21Record(c.text);
    const std::string bytes = built.Bytes();
    TEspRecord parsed;
    ASSERT_EQ(ParseEspRecord(bytes, parsed), TEspParse::Ok) << c.text.size();
    std::string message;
    EXPECT_EQ(CheckEspRecord(parsed, &message), TEspCheck::Ok) << message;
    EXPECT_EQ(parsed.ValueCount, c.valueCount) << c.text.size();
    EXPECT_EQ(ConvertEspRecord(parsed), "\x7F\x21"s + c.carried) << c.text.size();
  }
}

TEST(EspRecordBuild, SealedChecksumMatchesTheTestBuilder) {
  const std::string bytes = EspRecordBuilder(0x06).Flags(0xDEADBEEF).UserID(16).Scrambler(3).Value(0x123).Bytes();
  TEspRecord record = Parsed(bytes);
  record.Control &= 0x00FFFFFF;
  ASSERT_NE(record.CheckSumError(), std::nullopt);
  record.SealCheckSum();
  EXPECT_EQ(record.Bytes(), bytes);
}

}  // namespace
