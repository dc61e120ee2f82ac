#include "library/sources/VQ_CommandCheck.h"

#include <gtest/gtest.h>

#include <fstream>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "library/core/LogUnit.h"
#include "library/core/VQ_DllCommon.h"
#include "library/core/VQ_VersionInfo.h"
#include "support/FileText.h"
#include "support/TempFolder.h"

namespace {

const std::string kOk;  // no refusal
const std::string kUnknown(kCmdUnknown);
const std::string kInvalid(kCmdInvalid);
const std::string kEsp(kCmdEspNotSupported);
const std::string kSerial(kCmdSerialNotSupported);
const std::string kRawData(kCmdRawDataNotSupported);

// ---- commands ---------------------------------------------------------------

std::string Bytes(std::initializer_list<int> bytes) {
  std::string cmd;
  for (int b : bytes) cmd += static_cast<char>(b);
  return cmd;
}

// $85 s, then `tail` from byte 3 on, padded with zeros to `length` bytes.
std::string Ext(int s, std::size_t length, std::initializer_list<int> tail = {}) {
  std::string cmd = Bytes({0x85, s}) + Bytes(tail);
  cmd.resize(std::max(length, cmd.size()), '\0');
  cmd.resize(length);
  return cmd;
}

// $85 s with the address in bytes 3 to 6 (most significant first), `length` bytes.
std::string ExtAt(int s, std::size_t length, uint32_t address, int byte7 = 0) {
  std::string cmd = Ext(s, std::max<std::size_t>(length, 7),
                        {int(address >> 24), int(address >> 16 & 0xFF), int(address >> 8 & 0xFF), int(address & 0xFF),
                         byte7});
  cmd.resize(length);
  return cmd;
}

// ---- counters ---------------------------------------------------------------

TCommandCheckContext Counter(TVQ_PeerType peer, TVQ_DeviceType type, uint16_t features) {
  TCommandCheckContext ctx;
  ctx.Peer = peer;
  ctx.DevType = type;
  ctx.HardFeature = features;
  return ctx;
}

const TCommandCheckContext kPavUsb = Counter(TVQ_PeerType::ptColdfire, TVQ_DeviceType::VQ_HID, VQ_FeaturePAV);
const TCommandCheckContext kPawUsb =
    Counter(TVQ_PeerType::ptColdfire, TVQ_DeviceType::VQ_HID, VQ_FeaturePAV | VQ_FeaturePAW);
const TCommandCheckContext kOptionS =
    Counter(TVQ_PeerType::ptColdfire, TVQ_DeviceType::VQ_HID, VQ_FeaturePAV | VQ_FeatureOptionS);
const TCommandCheckContext kPawOptionS = Counter(TVQ_PeerType::ptColdfire, TVQ_DeviceType::VQ_HID,
                                                 VQ_FeaturePAV | VQ_FeaturePAW | VQ_FeatureOptionS);
// The PAW bit alone is no PAW counter: both bits are needed.
const TCommandCheckContext kPawBitOnly = Counter(TVQ_PeerType::ptColdfire, TVQ_DeviceType::VQ_HID, VQ_FeaturePAW);
const TCommandCheckContext kEspCdc = Counter(TVQ_PeerType::ptESP, TVQ_DeviceType::VQ_CDC, 0);
const TCommandCheckContext kBinFileUnknown = Counter(TVQ_PeerType::ptUnknown, TVQ_DeviceType::VQ_BinFile, 0);
const TCommandCheckContext kTxtFileUnknown = Counter(TVQ_PeerType::ptUnknown, TVQ_DeviceType::VQ_TxtFile, 0);
const TCommandCheckContext kRawFileUnknown = Counter(TVQ_PeerType::ptUnknown, TVQ_DeviceType::VQ_RawFile, 0);
const TCommandCheckContext kBinFilePav = Counter(TVQ_PeerType::ptColdfire, TVQ_DeviceType::VQ_BinFile, VQ_FeaturePAV);
const TCommandCheckContext kTcpUnknown = Counter(TVQ_PeerType::ptUnknown, TVQ_DeviceType::VQ_TCP_Device, 0);

TCommandCheckContext WithFirmware(TCommandCheckContext ctx, int version) {
  ctx.FirmwareVersion = version;
  return ctx;
}

TCommandCheckContext WithRawData(TCommandCheckContext ctx) {
  ctx.OptRawData = true;
  return ctx;
}

std::string Check(std::string cmd, const TCommandCheckContext& ctx) { return CheckCommand(cmd, ctx, -1, "Test"); }

struct TCase {
  std::string Cmd;
  TCommandCheckContext Ctx;
  std::string Expected;
};

void ExpectAll(const std::vector<TCase>& cases) {
  for (const TCase& c : cases) {
    SCOPED_TRACE("command " + HexDump(c.Cmd));
    EXPECT_EQ(Check(c.Cmd, c.Ctx), c.Expected);
  }
}

// ---- extended commands ($85 s ...) ------------------------------------------

TEST(CommandCheckExtended, LengthsAndValuesOfEveryCommand) {
  const auto& usb = kPavUsb;
  ExpectAll({
      {Bytes({0x85}), usb, kInvalid},  // no second byte to select a command
      {Ext(0x10, 2), usb, kOk},
      {Ext(0x10, 3), usb, kInvalid},
      {Ext(0x11, 2), usb, kOk},
      {Ext(0x11, 3), usb, kInvalid},
      {Ext(0x12, 10), usb, kOk},
      {Ext(0x12, 9), usb, kInvalid},
      {Ext(0x12, 11), usb, kInvalid},
      {Ext(0x18, 2), usb, kOk},
      {Ext(0x1B, 2), usb, kOk},
      {Ext(0x1B, 3), usb, kInvalid},
      {Ext(0x21, 14), usb, kOk},
      {Ext(0x21, 13), usb, kInvalid},
      {Ext(0x21, 15), usb, kInvalid},
      {Ext(0x22, 3), usb, kOk},
      {Ext(0x22, 127), usb, kOk},
      {Ext(0x22, 2), usb, kInvalid},
      {Ext(0x22, 128), usb, kInvalid},
      {Ext(0x30, 2), usb, kOk},
      {Ext(0x32, 2), usb, kOk},
      {Ext(0x32, 3), usb, kInvalid},
      {Ext(0x38, 2), usb, kOk},
      {Ext(0x38, 3), usb, kInvalid},
      {Ext(0x39, 6), usb, kOk},
      {Ext(0x39, 5), usb, kInvalid},
      {Ext(0x3A, 10), usb, kOk},
      {Ext(0x3D, 10), usb, kOk},
      {Ext(0x3D, 9), usb, kInvalid},
      {Ext(0x3E, 10), usb, kOk},
      {Ext(0x3E, 127), usb, kOk},
      {Ext(0x3E, 9), usb, kInvalid},
      {Ext(0x3E, 128), usb, kInvalid},
      {Ext(0x41, 2), usb, kOk},
      {Ext(0x41, 3), usb, kInvalid},
      {Ext(0x42, 3, {1}), usb, kOk},
      {Ext(0x42, 3, {0}), usb, kInvalid},
      {Ext(0x42, 3, {2}), usb, kInvalid},
      {Ext(0x42, 4, {1}), usb, kInvalid},
      {Ext(0x42, 2), usb, kInvalid},
      {Ext(0x44, 3), usb, kOk},
      {Ext(0x44, 2), usb, kInvalid},
      {Ext(0x45, 4), usb, kOk},
      {Ext(0x45, 3), usb, kInvalid},
      {Ext(0x48, 11, {1}), usb, kOk},
      {Ext(0x48, 11, {10}), usb, kOk},
      {Ext(0x48, 11, {0}), usb, kInvalid},
      {Ext(0x48, 11, {11}), usb, kInvalid},
      {Ext(0x48, 10, {1}), usb, kInvalid},
      {Ext(0x48, 2), usb, kInvalid},
      {Ext(0x49, 3, {1}), usb, kOk},
      {Ext(0x49, 3, {10}), usb, kOk},
      {Ext(0x49, 3, {0}), usb, kInvalid},
      {Ext(0x49, 3, {11}), usb, kInvalid},
      {Ext(0x49, 4, {1}), usb, kInvalid},
      {Ext(0x50, 2), usb, kOk},
      {Ext(0x52, 2), usb, kOk},
      {Ext(0x60, 2), usb, kOk},
      {Ext(0x60, 3), usb, kInvalid},
      {Ext(0x72, 3), usb, kOk},
      {Ext(0x72, 2), usb, kInvalid},
      {Ext(0x80, 3), usb, kOk},
      {Ext(0x80, 4), usb, kInvalid},
      // Codes that are no extended command, of any length.
      {Ext(0x00, 2), usb, kInvalid},
      {Ext(0x13, 2), usb, kInvalid},
      {Ext(0x1C, 2), usb, kInvalid},
      {Ext(0x24, 7), usb, kInvalid},
      {Ext(0x31, 2), usb, kInvalid},
      {Ext(0x3F, 10), usb, kInvalid},
      {Ext(0x53, 2), usb, kInvalid},
      {Ext(0x85, 2), usb, kInvalid},
      {Ext(0xFF, 2), usb, kInvalid},
  });
}

TEST(CommandCheckExtended, StatusTextNeedsItsKindAndLength) {
  const auto& usb = kPavUsb;
  ExpectAll({
      {Ext(0x25, 132, {'b'}), usb, kOk},
      {Ext(0x25, 131, {'b'}), usb, kInvalid},
      {Ext(0x25, 8, {'i'}), usb, kOk},
      {Ext(0x25, 9, {'i'}), usb, kInvalid},
      {Ext(0x25, 6, {'s'}), usb, kOk},
      {Ext(0x25, 44, {'s'}), usb, kOk},
      {Ext(0x25, 45, {'s'}), usb, kInvalid},
      {Ext(0x25, 5, {'s'}), usb, kInvalid},  // shorter than the least length
      {Ext(0x25, 8, {'I'}), usb, kInvalid},
      {Ext(0x25, 8, {'x'}), usb, kInvalid},
      {Ext(0x25, 3, {'i'}), usb, kInvalid},
      {Ext(0x25, 2), usb, kInvalid},
  });
}

TEST(CommandCheckExtended, MemoryAccessStaysInTheAllowedWindows) {
  const auto& usb = kPavUsb;
  ExpectAll({
      // $20: any length from 7 to 127 inside the three windows.
      {ExtAt(0x20, 7, 0), usb, kOk},
      {ExtAt(0x20, 127, 0), usb, kOk},
      {ExtAt(0x20, 6, 0), usb, kInvalid},
      {ExtAt(0x20, 128, 0), usb, kInvalid},
      {ExtAt(0x20, 7, 0x7FFFF), usb, kOk},
      {ExtAt(0x20, 7, 0x80000), usb, kInvalid},
      {ExtAt(0x20, 10, 0x20000000 + 0x8000), usb, kOk},
      {ExtAt(0x20, 7, 0x2000FFFF), usb, kOk},
      {ExtAt(0x20, 7, 0x20010000), usb, kInvalid},
      {ExtAt(0x20, 7, 0x1FFFFFFF), usb, kInvalid},
      {ExtAt(0x20, 7, 0x30000000), usb, kOk},
      {ExtAt(0x20, 7, 0x3007FFFF), usb, kOk},
      {ExtAt(0x20, 7, 0x30080000), usb, kInvalid},
      {ExtAt(0x20, 7, 0x2FFFFFFF), usb, kInvalid},
      {ExtAt(0x20, 10, 0x40000000), usb, kInvalid},
      {ExtAt(0x20, 7, 0xFFFFFFFF), usb, kInvalid},
      // $23: the low 2 KiB or exactly $7E000.
      {ExtAt(0x23, 7, 0x7FF), usb, kOk},
      {ExtAt(0x23, 127, 0x7E000), usb, kOk},
      {ExtAt(0x23, 7, 0x800), usb, kInvalid},
      {ExtAt(0x23, 7, 0x7E001), usb, kInvalid},
      {ExtAt(0x23, 7, 0x20000000), usb, kInvalid},
      {ExtAt(0x23, 6, 0), usb, kInvalid},
      {ExtAt(0x23, 128, 0), usb, kInvalid},
      // $40: 7 bytes, byte 7 at most $80, address in the windows.
      {ExtAt(0x40, 7, 0, 0x80), usb, kOk},
      {ExtAt(0x40, 7, 0x3007FFFF, 0), usb, kOk},
      {ExtAt(0x40, 7, 0, 0x81), usb, kInvalid},
      {ExtAt(0x40, 7, 0x80000, 0x10), usb, kInvalid},
      {ExtAt(0x40, 8, 0, 0x10), usb, kInvalid},
      {ExtAt(0x40, 6, 0), usb, kInvalid},
      // $43: 7 bytes, byte 7 exactly $80, the low 2 KiB.
      {ExtAt(0x43, 7, 0x7FF, 0x80), usb, kOk},
      {ExtAt(0x43, 7, 0x7FF, 0x7F), usb, kInvalid},
      {ExtAt(0x43, 7, 0x800, 0x80), usb, kInvalid},
      {ExtAt(0x43, 8, 0, 0x80), usb, kInvalid},
      // $73: 6 bytes in the window at $30000000 only.
      {ExtAt(0x73, 6, 0x30000000), usb, kOk},
      {ExtAt(0x73, 6, 0x3007FFFF), usb, kOk},
      {ExtAt(0x73, 6, 0x30080000), usb, kInvalid},
      {ExtAt(0x73, 6, 0x2FFFFFFF), usb, kInvalid},
      {ExtAt(0x73, 6, 0), usb, kInvalid},
      {ExtAt(0x73, 7, 0x30000000), usb, kInvalid},
      {ExtAt(0x73, 5, 0x30000000), usb, kInvalid},
  });
}

TEST(CommandCheckExtended, ColdfireOnASerialLineRefusesThemAll) {
  const auto serial = Counter(TVQ_PeerType::ptColdfire, TVQ_DeviceType::VQ_Serial, VQ_FeaturePAV | VQ_FeaturePAW);
  const auto unknownSerial = Counter(TVQ_PeerType::ptUnknown, TVQ_DeviceType::VQ_Serial, 0);
  const auto espSerial = Counter(TVQ_PeerType::ptESP, TVQ_DeviceType::VQ_Serial, 0);
  ExpectAll({
      {Ext(0x10, 2), serial, kSerial},
      {Bytes({0x85}), serial, kSerial},
      {Ext(0x13, 2), serial, kSerial},
      {Ext(0x21, 14), WithFirmware(serial, 1), kSerial},
      {Ext(0x10, 2), unknownSerial, kSerial},
      // Other transports and ESP counters on a serial line go on to the table.
      {Ext(0x10, 2), espSerial, kOk},
      {Ext(0x10, 3), espSerial, kInvalid},
      {Ext(0x10, 2), Counter(TVQ_PeerType::ptColdfire, TVQ_DeviceType::VQ_TCP_Device, 0), kOk},
      {Ext(0x10, 2), kBinFileUnknown, kOk},
  });
  // The other commands still reach a serial Coldfire counter.
  EXPECT_EQ(Check(Bytes({0x01}), serial), kOk);
}

// ---- firmware minimum -------------------------------------------------------

TEST(CommandCheckFirmware, OlderFirmwareRefusesOnlyWhenTheVersionIsKnown) {
  struct TNeed {
    std::string Cmd;
    TCommandCheckContext Ctx;
    int Minimum;
  };
  const std::vector<TNeed> needs = {
      {Ext(0x21, 14), kPavUsb, 19},
      {Ext(0x22, 3), kPavUsb, 19},
      {ExtAt(0x23, 7, 0), kPavUsb, 62},
      {Ext(0x41, 2), kPavUsb, 19},
      {Ext(0x42, 3, {1}), kPavUsb, 45},
      {ExtAt(0x43, 7, 0, 0x80), kPavUsb, 62},
      {Ext(0x44, 3), kPavUsb, 73},
      {Bytes({96, 0, 0, 0, 0}), kEspCdc, 114},
  };
  for (const TNeed& need : needs) {
    SCOPED_TRACE("command " + HexDump(need.Cmd));
    EXPECT_EQ(Check(need.Cmd, WithFirmware(need.Ctx, need.Minimum - 1)),
              "Command not supported, Firmware < " + std::to_string(need.Minimum));
    EXPECT_EQ(Check(need.Cmd, WithFirmware(need.Ctx, 1)),
              "Command not supported, Firmware < " + std::to_string(need.Minimum));
    EXPECT_EQ(Check(need.Cmd, WithFirmware(need.Ctx, need.Minimum)), kOk);
    EXPECT_EQ(Check(need.Cmd, WithFirmware(need.Ctx, need.Minimum + 100)), kOk);
    // Not known yet: 0 from the device, -1 from a version report that failed.
    EXPECT_EQ(Check(need.Cmd, WithFirmware(need.Ctx, 0)), kOk);
    EXPECT_EQ(Check(need.Cmd, WithFirmware(need.Ctx, -1)), kOk);
  }
}

TEST(CommandCheckFirmware, MalformedCommandIsInvalidWhateverTheFirmware) {
  ExpectAll({
      {Ext(0x21, 13), WithFirmware(kPavUsb, 18), kInvalid},
      {Ext(0x44, 4), WithFirmware(kPavUsb, 1), kInvalid},
      {Bytes({96, 0, 0, 0}), WithFirmware(kEspCdc, 113), kInvalid},
      // Commands without a minimum pass on any known version.
      {Ext(0x10, 2), WithFirmware(kPavUsb, 1), kOk},
      {Bytes({0x01}), WithFirmware(kEspCdc, 1), kOk},
  });
}

// ---- one-byte command set ---------------------------------------------------

TEST(CommandCheckBasic, PlainCommandsNeedExactlyOneByte) {
  for (int n : {0, 1, 10, 15, 32, 40, 45, 48, 59, 64, 69, 80, 95}) {
    SCOPED_TRACE("command " + std::to_string(n));
    for (const auto& ctx : {kPavUsb, kPawUsb, kEspCdc, kBinFileUnknown}) {
      EXPECT_EQ(Check(Bytes({n}), ctx), kOk);
      EXPECT_EQ(Check(Bytes({n, 0}), ctx), kInvalid);
    }
  }
}

TEST(CommandCheckBasic, CommandsNobodyKnows) {
  for (int n : {4, 6, 7, 46, 47, 60, 61, 62, 72, 79, 97, 126, 127}) {
    SCOPED_TRACE("command " + std::to_string(n));
    for (const auto& ctx : {kPavUsb, kPawOptionS, WithRawData(kEspCdc), kBinFileUnknown}) {
      EXPECT_EQ(Check(Bytes({n}), ctx), kUnknown);
      EXPECT_EQ(Check(Bytes({n, 1, 2, 3, 4}), ctx), kUnknown);
    }
  }
}

TEST(CommandCheckBasic, CountersWithoutTheFeatureDoNotKnowTheCommand) {
  ExpectAll({
      // PAW only.
      {Bytes({8}), kPawUsb, kOk},
      {Bytes({9}), kPawUsb, kOk},
      {Bytes({11}), kPawUsb, kOk},
      {Bytes({13}), kPawUsb, kOk},
      {Bytes({21}), kPawUsb, kOk},
      {Bytes({31}), kPawUsb, kOk},
      {Bytes({71}), kPawUsb, kOk},
      {Bytes({8, 0}), kPawUsb, kInvalid},
      {Bytes({31, 0}), kPawUsb, kInvalid},
      {Bytes({71, 0}), kPawUsb, kInvalid},
      {Bytes({8}), kPavUsb, kUnknown},
      {Bytes({8, 0}), kPavUsb, kUnknown},
      {Bytes({12}), kOptionS, kUnknown},
      {Bytes({25}), kEspCdc, kUnknown},
      {Bytes({71}), kBinFileUnknown, kUnknown},
      {Bytes({8}), kPawBitOnly, kUnknown},
      // 14: PAW or ESP.
      {Bytes({14}), kPawUsb, kOk},
      {Bytes({14}), kEspCdc, kOk},
      {Bytes({14, 0}), kEspCdc, kInvalid},
      {Bytes({14}), kPavUsb, kUnknown},
      {Bytes({14}), kOptionS, kUnknown},
      // 17 to 20: option S or PAW.
      {Bytes({17}), kOptionS, kOk},
      {Bytes({20}), kPawUsb, kOk},
      {Bytes({17, 0}), kOptionS, kInvalid},
      {Bytes({20}), kPavUsb, kUnknown},
      {Bytes({18}), kEspCdc, kUnknown},
      {Bytes({19}), kPawBitOnly, kUnknown},
  });
}

TEST(CommandCheckBasic, CommandSixteenHasTheLengthOfTheCounterKind) {
  ExpectAll({
      // Option S (also on a PAW counter): four bytes.
      {Bytes({16, 1, 2, 3}), kOptionS, kOk},
      {Bytes({16}), kOptionS, kInvalid},
      {Bytes({16, 1, 2, 3}), kPawOptionS, kOk},
      {Bytes({16}), kPawOptionS, kInvalid},
      // PAW without option S: one byte.
      {Bytes({16}), kPawUsb, kOk},
      {Bytes({16, 1, 2, 3}), kPawUsb, kInvalid},
      // A replayed file whose counter is not known: four bytes.
      {Bytes({16, 1, 2, 3}), kBinFileUnknown, kOk},
      {Bytes({16, 1, 2, 3}), kTxtFileUnknown, kOk},
      {Bytes({16, 1, 2, 3}), kRawFileUnknown, kOk},
      {Bytes({16}), kBinFileUnknown, kInvalid},
      // Anything else does not know it.
      {Bytes({16, 1, 2, 3}), kBinFilePav, kUnknown},
      {Bytes({16, 1, 2, 3}), kTcpUnknown, kUnknown},
      {Bytes({16, 1, 2, 3}), kPavUsb, kUnknown},
      {Bytes({16}), kEspCdc, kUnknown},
  });
}

TEST(CommandCheckBasic, ValueRangesOfTheTwoByteCommands) {
  ExpectAll({
      {Bytes({3, 1}), kPavUsb, kOk},
      {Bytes({3, 4}), kPavUsb, kOk},
      {Bytes({3, 0}), kPavUsb, kInvalid},
      {Bytes({3, 5}), kPavUsb, kInvalid},
      {Bytes({3}), kPavUsb, kInvalid},
      {Bytes({3, 1, 0}), kPavUsb, kInvalid},
      {Bytes({63, 12}), kPavUsb, kOk},
      {Bytes({63, 23}), kEspCdc, kOk},
      {Bytes({63, 11}), kPavUsb, kInvalid},
      {Bytes({63, 24}), kPavUsb, kInvalid},
      {Bytes({63}), kPavUsb, kInvalid},
      {Bytes({63, 12, 0}), kPavUsb, kInvalid},
      {Bytes({0x80 | 63, 12}), kPavUsb, kOk},  // with the buffer-clear bit
  });
}

TEST(CommandCheckBasic, EspCountersRefuseTheOldControlCommands) {
  ExpectAll({
      {Bytes({2}), kPavUsb, kOk},
      {Bytes({5}), kPavUsb, kOk},
      {Bytes({2, 0}), kPavUsb, kInvalid},
      {Bytes({5, 0}), kPavUsb, kInvalid},
      {Bytes({2}), kEspCdc, kEsp},
      {Bytes({5}), kEspCdc, kEsp},
      {Bytes({3, 1}), kEspCdc, kEsp},
      // The counter's refusal comes before the length.
      {Bytes({3}), kEspCdc, kEsp},
      {Bytes({2, 0}), kEspCdc, kEsp},
  });
}

TEST(CommandCheckBasic, RawDataModeNeedsTheSourceOption) {
  ExpectAll({
      {Bytes({70}), WithRawData(kPavUsb), kOk},
      {Bytes({70}), WithRawData(kEspCdc), kOk},
      {Bytes({70, 0}), WithRawData(kPavUsb), kInvalid},
      {Bytes({70}), kPavUsb, kRawData},
      {Bytes({70, 0}), kPawUsb, kRawData},
  });
}

TEST(CommandCheckBasic, CommandNinetySixIsForEspCountersOnly) {
  ExpectAll({
      {Bytes({96, 1, 2, 3, 4}), kEspCdc, kOk},
      {Bytes({96, 1, 2, 3}), kEspCdc, kInvalid},
      {Bytes({96, 1, 2, 3, 4, 5}), kEspCdc, kInvalid},
      {Bytes({96, 1, 2, 3, 4}), kPawUsb, kUnknown},
      {Bytes({96, 1, 2, 3, 4}), kBinFileUnknown, kUnknown},
  });
}

TEST(CommandCheckBasic, EmptyCommandIsInvalid) {
  for (const auto& ctx : {kPavUsb, kEspCdc, Counter(TVQ_PeerType::ptColdfire, TVQ_DeviceType::VQ_Serial, 0)}) {
    std::string cmd;
    EXPECT_EQ(CheckCommand(cmd, ctx, -1, "Test"), kInvalid);
    EXPECT_TRUE(cmd.empty());
  }
}

// ---- the buffer-clear bit ---------------------------------------------------

TEST(CommandCheckTopBit, EspCountersGetTheCommandWithoutIt) {
  struct TTopBitCase {
    std::string Cmd;
    TCommandCheckContext Ctx;
    std::string Sent;  // the command after the check
    std::string Expected;
  };
  const std::vector<TTopBitCase> cases = {
      {Bytes({0x81}), kEspCdc, Bytes({0x01}), kOk},
      {Bytes({0x83}), kEspCdc, Bytes({0x03}), kEsp},  // changed, then refused
      {Bytes({0x80 | 96, 1, 2, 3, 0x84}), kEspCdc, Bytes({96, 1, 2, 3, 0x84}), kOk},
      {Bytes({0xC1, 0x81}), kEspCdc, Bytes({0x41, 0x81}), kInvalid},  // only the first byte changes
      {Bytes({0xFF}), kEspCdc, Bytes({0x7F}), kUnknown},
      {Bytes({0x80}), kEspCdc, Bytes({0x80}), kOk},  // not above $80: left as it is
      {Bytes({0x01}), kEspCdc, Bytes({0x01}), kOk},
      {Ext(0x10, 2), kEspCdc, Ext(0x10, 2), kOk},  // $85 is the extended command, not 5
      // Coldfire counters keep the bit and are checked by the command without it.
      {Bytes({0x81}), kPavUsb, Bytes({0x81}), kOk},
      {Bytes({0x81, 0}), kPavUsb, Bytes({0x81, 0}), kInvalid},
      {Bytes({0x83, 2}), kPavUsb, Bytes({0x83, 2}), kOk},
      {Bytes({0x88}), kPawUsb, Bytes({0x88}), kOk},
      {Bytes({0xC6}), kPavUsb, Bytes({0xC6}), kRawData},
  };
  for (const TTopBitCase& c : cases) {
    SCOPED_TRACE("command " + HexDump(c.Cmd));
    std::string cmd = c.Cmd;
    EXPECT_EQ(CheckCommand(cmd, c.Ctx, -1, "Test"), c.Expected);
    EXPECT_EQ(HexDump(cmd), HexDump(c.Sent));
  }
}

// ---- debug lines ------------------------------------------------------------

TEST(CommandCheckLog, RefusalsByTheCounterLeaveADebugLine) {
  TTempFolder folder;
  const int logId = NewLog();
  ASSERT_GE(logId, 0);
  SetLogFile(logId, folder.File("source.log"), false);
  std::string esp = Bytes({0x83});
  EXPECT_EQ(CheckCommand(esp, kEspCdc, logId, "TSourceItem(1)"), kEsp);
  std::string raw = Bytes({70});
  EXPECT_EQ(CheckCommand(raw, kPavUsb, logId, "TSourceItem(1)"), kRawData);
  const std::string file = FindLogger(logId)->InternLogFileName();
  SetLogFile(logId, "", false);

  const std::string text = ReadFile(file);
  for (const char* line : {"TSourceItem(1).SendCommand PAV2: omit MSB from 83\r\n",
                           "TSourceItem(1).SendCommand PAV2: Command not supported\r\n",
                           "TSourceItem(1).SendCommand: Mode raw data not supported\r\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
}

}  // namespace
