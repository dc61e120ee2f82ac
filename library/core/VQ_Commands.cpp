#include "library/core/VQ_Commands.h"

#include <utility>

#include "library/core/LogUnit.h"
#include "library/core/VQ_DllCommon.h"

namespace {

constexpr uint8_t kClearBufferBit = 0x80;
constexpr uint8_t kFRAMWriteCode = 0x85;  // keeps bit 7: it is no buffer-clearing command
constexpr uint8_t kFRAMWriteSub = 0x23;   // '#'
constexpr int kAllChannels = 24;          // what "$30" selects
constexpr int kMaxOneByteChannels = 11;
constexpr int kFirstLongChannels = 12;
constexpr int kLastLongChannels = 23;
constexpr uint8_t kMaxMode = 6;
constexpr uint8_t kFirstPVHBlock = 1;
constexpr uint8_t kLastPVHBlock = 4;
constexpr std::size_t kDACLength = 4;
constexpr std::size_t kFRAMAddressAt = 2;
constexpr std::size_t kFRAMContentAt = 6;

uint8_t ByteAt(std::string_view cmd, std::size_t index) { return static_cast<uint8_t>(cmd[index]); }

}  // namespace

TVQ_CommandInterpreter::TVQ_CommandInterpreter(int aLogId) : FLogId(aLogId) {}

bool TVQ_CommandInterpreter::CheckCommand(std::span<const uint8_t> Cmd) {
  return CheckCommand(std::string_view(reinterpret_cast<const char*>(Cmd.data()), Cmd.size()));
}

bool TVQ_CommandInterpreter::CheckCommand(std::string_view Data) {
  FErrorCode = TVQ_Result::VQ_No_Err;
  FErrorMessage.clear();
  if (Data.empty()) {
    if (LogWanted(FLogId)) LogError(FLogId, "TVQ_CommandInterpreter.CheckCommand: no command");
    return Refuse("command missing");
  }
  if (Data.size() == 1) return CheckOneByte(ByteAt(Data, 0), Data);
  return CheckLonger(Data);
}

bool TVQ_CommandInterpreter::Refuse(std::string message) {
  FErrorCode = TVQ_Result::VQ_CmdIgnored;
  FErrorMessage = std::move(message);
  return false;
}

bool TVQ_CommandInterpreter::CheckOneByte(uint8_t c, std::string_view whole) {
  if ((c & kClearBufferBit) != 0 && c != kFRAMWriteCode) {
    FClearBuffer = true;
    c = static_cast<uint8_t>(c & ~kClearBufferBit);
  }
  const uint8_t v = c & 0x0F;
  const std::string unknown = "Unknown command " + HexDump(whole);
  switch (c >> 4) {
    case 0x0:
      switch (v) {
        case 0x0:
        case 0x5: return true;
        case 0x1: FVersionCmd = true; return true;
        case 0x2: FGetCalibCmd = true; return true;
        case 0xA: FResetPhaseDiffCmd = true; return true;
        case 0xF: FReSyncCmd = true; return true;
        default: return Refuse(unknown);
      }
    case 0x1: return true;
    case 0x2: {
      const auto ms = VQ_IntervalMs(v);
      if (!ms) return Refuse(unknown);
      FRate = v;
      FInterval = static_cast<int>(*ms);
      FIntervalCmd = true;
      return true;
    }
    case 0x3:
      if (v > kMaxOneByteChannels) return Refuse(unknown);
      FChannelCount = v == 0 ? kAllChannels : v;
      FChannelCountCmd = true;
      return true;
    case 0x4:
      if (v > kMaxMode) return Refuse(unknown);
      FMode = v;
      FModeCmd = true;
      return true;
    case 0x5:
      switch (v) {
        case 0x0: FScrambler = 0; break;
        case 0xE: FScrambler = 1; break;
        case 0xF: FScrambler = 2; break;
        default: return Refuse("Unsupported scrambler command " + HexDump(whole));
      }
      FScramblerCmd = true;
      return true;
    case 0x6:
    case 0x7: return true;
    default: return Refuse(unknown);
  }
}

bool TVQ_CommandInterpreter::CheckLonger(std::string_view cmd) {
  const uint8_t c = ByteAt(cmd, 0);
  const uint8_t d = ByteAt(cmd, 1);
  switch (c) {
    case 0x03:
      if (d < kFirstPVHBlock || d > kLastPVHBlock) break;
      FPVHBlock = d;
      FGetPVHCmd = true;
      return true;
    case 0x10:
      if (cmd.size() != kDACLength) break;
      FDAC = (ByteAt(cmd, 1) << 16) | (ByteAt(cmd, 2) << 8) | ByteAt(cmd, 3);
      FSetDACCmd = true;
      return true;
    case 0x3F:
      if (d < kFirstLongChannels || d > kLastLongChannels) break;
      FChannelCount = d;
      FChannelCountCmd = true;
      return true;
    case kFRAMWriteCode: {
      if (d != kFRAMWriteSub || cmd.size() != kFRAMWriteLength) return Refuse("Unsupported command " + HexDump(cmd));
      const uint32_t address = ReadBigEndian32(cmd, kFRAMAddressAt);
      if (address < kFRAMFirstAddress || address > kFRAMLastAddress)
        return Refuse("Unsupported command " + HexDump(cmd));
      // The counter adds $2000 in 16 bits: the address minus $7E000.
      FFRAMAdr = static_cast<uint16_t>(address + 0x2000);
      FFRAMContent.assign(cmd.substr(kFRAMContentAt, kFRAMBlockSize));
      FWriteFRAMCmd = true;
      return true;
    }
    default: break;
  }
  return Refuse("Unknown command " + HexDump(cmd));
}
