#include "library/sources/VQ_CommandCheck.h"

#include "library/core/LogUnit.h"
#include "library/core/VQ_DllCommon.h"
#include "library/core/VQ_VersionInfo.h"

namespace {

constexpr uint8_t kExtendedCommand = 0x85;  // the second byte selects the command
constexpr uint8_t kBufferClearBit = 0x80;   // top bit of a one-byte command
constexpr std::size_t kMaxVariableLength = 127;

// How far a command got: a refusal text, or accepted on firmware of at least
// MinFirmware (0 = any firmware).
struct TVerdict {
  std::string_view Refusal;
  int MinFirmware = 0;
};

constexpr TVerdict Refuse(std::string_view text) { return {text, 0}; }
// Length and byte values decide between accepted and "Ignore invalid command".
constexpr TVerdict AcceptWhen(bool wellFormed, int minFirmware = 0) {
  return wellFormed ? TVerdict{{}, minFirmware} : Refuse(kCmdInvalid);
}

constexpr bool InRange(unsigned value, unsigned low, unsigned high) { return value >= low && value <= high; }

// Memory the counter lets a command read or write: the first 512 KiB, and
// the two windows at $20000000 (64 KiB) and $30000000 (512 KiB).
constexpr bool InAllowedMemory(uint32_t a) {
  return a < 0x80000u || (a >= 0x20000000u && a - 0x20000000u < 0x10000u) ||
         (a >= 0x30000000u && a - 0x30000000u < 0x80000u);
}

struct TCounter {
  bool Esp;
  bool Paw;      // phase and frequency counter of the PAW model
  bool OptionS;
  bool ReplayWithUnknownFeatures;
  bool RawData;

  explicit TCounter(const TCommandCheckContext& ctx)
      : Esp(ctx.Peer == TVQ_PeerType::ptESP),
        Paw((ctx.HardFeature & (VQ_FeaturePAV | VQ_FeaturePAW)) == (VQ_FeaturePAV | VQ_FeaturePAW)),
        OptionS((ctx.HardFeature & VQ_FeatureOptionS) != 0),
        ReplayWithUnknownFeatures(ctx.HardFeature == 0 && (ctx.DevType == TVQ_DeviceType::VQ_BinFile ||
                                                           ctx.DevType == TVQ_DeviceType::VQ_TxtFile ||
                                                           ctx.DevType == TVQ_DeviceType::VQ_RawFile)),
        RawData(ctx.OptRawData) {}
};

class TCommandChecker {
 public:
  TCommandChecker(std::string_view cmd, int logId, std::string_view logTag)
      : FCmd(cmd), FLen(cmd.size()), FLogId(logId), FLogTag(logTag) {}

  // $85 s ...: the extended commands; the $85 is there, s may be missing.
  TVerdict Extended() const {
    if (FLen < 2) return Refuse(kCmdInvalid);
    switch (Byte(2)) {
      case 0x10: case 0x11:
      case 0x18: case 0x19: case 0x1A: case 0x1B:
      case 0x30: case 0x32: case 0x38:
      case 0x50: case 0x51: case 0x52: case 0x60:
        return AcceptWhen(FLen == 2);
      case 0x12:
      case 0x3A: case 0x3B: case 0x3C: case 0x3D:
        return AcceptWhen(FLen == 10);
      case 0x20:
        return AcceptWhen(InRange(FLen, 7, kMaxVariableLength) && InAllowedMemory(Address()));
      case 0x21:
        return AcceptWhen(FLen == 14, 19);
      case 0x22:
        return AcceptWhen(InRange(FLen, 3, kMaxVariableLength), 19);
      case 0x23:
        return AcceptWhen(InRange(FLen, 7, kMaxVariableLength) && (Address() < 0x800u || Address() == 0x7E000u), 62);
      case 0x25:
        return AcceptWhen(FLen >= 6 && ((Byte(3) == 'b' && FLen == 132) || (Byte(3) == 'i' && FLen == 8) ||
                                        (Byte(3) == 's' && FLen < 45)));
      case 0x39:
        return AcceptWhen(FLen == 6);
      case 0x3E:
        return AcceptWhen(InRange(FLen, 10, kMaxVariableLength));
      case 0x40:
        return AcceptWhen(FLen == 7 && Byte(7) <= 0x80 && InAllowedMemory(Address()));
      case 0x41:
        return AcceptWhen(FLen == 2, 19);
      case 0x42:
        return AcceptWhen(FLen == 3 && Byte(3) == 1, 45);
      case 0x43:
        return AcceptWhen(FLen == 7 && Byte(7) == 0x80 && Address() < 0x800u, 62);
      case 0x44:
        return AcceptWhen(FLen == 3, 73);
      case 0x45:
        return AcceptWhen(FLen == 4);
      case 0x48:
        return AcceptWhen(FLen == 11 && InRange(Byte(3), 1, 10));
      case 0x49:
        return AcceptWhen(FLen == 3 && InRange(Byte(3), 1, 10));
      case 0x72:
      case 0x80:
        return AcceptWhen(FLen == 3);
      case 0x73:
        return AcceptWhen(FLen == 6 && Address() >= 0x30000000u && Address() - 0x30000000u < 0x80000u);
      default:
        return Refuse(kCmdInvalid);
    }
  }

  // Every other command, by its first byte without the buffer-clear bit.
  // A counter that lacks what the command needs gets "Ignore unknown command".
  TVerdict Basic(const TCounter& counter) const {
    const unsigned n = Byte(1) & 0x7Fu;
    if (n == 0 || n == 1 || n == 10 || n == 15 || InRange(n, 32, 45) || InRange(n, 48, 59) || InRange(n, 64, 69) ||
        InRange(n, 80, 95))
      return AcceptWhen(FLen == 1);
    if (n == 2 || n == 5 || n == 3) {
      if (counter.Esp) {
        Log(".SendCommand PAV2: Command not supported");
        return Refuse(kCmdEspNotSupported);
      }
      return n == 3 ? AcceptWhen(FLen == 2 && InRange(Byte(2), 1, 4)) : AcceptWhen(FLen == 1);
    }
    if (n == 8 || n == 9 || InRange(n, 11, 13) || InRange(n, 21, 31) || n == 71)
      return counter.Paw ? AcceptWhen(FLen == 1) : Refuse(kCmdUnknown);
    if (n == 14) return counter.Paw || counter.Esp ? AcceptWhen(FLen == 1) : Refuse(kCmdUnknown);
    if (n == 16) {
      if (counter.OptionS || counter.ReplayWithUnknownFeatures) return AcceptWhen(FLen == 4);
      return counter.Paw ? AcceptWhen(FLen == 1) : Refuse(kCmdUnknown);
    }
    if (InRange(n, 17, 20)) return counter.OptionS || counter.Paw ? AcceptWhen(FLen == 1) : Refuse(kCmdUnknown);
    if (n == 63) return AcceptWhen(FLen == 2 && InRange(Byte(2), 12, 23));
    if (n == 70) return counter.RawData ? AcceptWhen(FLen == 1) : RawDataRefusal();
    if (n == 96) return counter.Esp ? AcceptWhen(FLen == 5, 114) : Refuse(kCmdUnknown);
    return Refuse(kCmdUnknown);
  }

 private:
  // Byte `n` counted from 1; callers check the length first.
  uint8_t Byte(std::size_t n) const { return static_cast<uint8_t>(FCmd[n - 1]); }
  // The 32-bit address in bytes 3 to 6, most significant first (0 when short).
  uint32_t Address() const { return ReadBigEndian32(FCmd, 2); }

  TVerdict RawDataRefusal() const {
    Log(".SendCommand: Mode raw data not supported");
    return Refuse(kCmdRawDataNotSupported);
  }

  void Log(std::string_view text) const {
    if (LogWanted(FLogId)) LogInfo(FLogId, std::string(FLogTag) + std::string(text));
  }

  std::string_view FCmd;
  std::size_t FLen;
  int FLogId;
  std::string_view FLogTag;
};

}  // namespace

std::string CheckCommand(std::string& cmd, const TCommandCheckContext& ctx, int logId, std::string_view logTag) {
  if (cmd.empty()) return std::string(kCmdInvalid);
  const TCounter counter(ctx);
  const auto first = static_cast<uint8_t>(cmd[0]);

  TVerdict verdict;
  if (first == kExtendedCommand) {
    // A Coldfire counter on a serial line does not take the extended commands.
    if (ctx.DevType == TVQ_DeviceType::VQ_Serial && !counter.Esp) return std::string(kCmdSerialNotSupported);
    verdict = TCommandChecker(cmd, logId, logTag).Extended();
  } else {
    // ESP counters do not know the buffer-clear bit: send the plain command.
    if (counter.Esp && first > kBufferClearBit) {
      if (LogWanted(logId)) LogInfo(logId, std::string(logTag) + ".SendCommand PAV2: omit MSB from " + HexDump(cmd));
      cmd[0] = static_cast<char>(first & 0x7F);
    }
    verdict = TCommandChecker(cmd, logId, logTag).Basic(counter);
  }
  if (!verdict.Refusal.empty()) return std::string(verdict.Refusal);

  // A version of 0 (or the report layer's -1) means it is not known yet: no limit then.
  if (verdict.MinFirmware > 0 && ctx.FirmwareVersion > 0 && ctx.FirmwareVersion < verdict.MinFirmware)
    return std::string(kCmdFirmwareTooOld) + std::to_string(verdict.MinFirmware);
  return {};
}
