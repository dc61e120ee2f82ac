#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "library/core/VQ_CommonTypes.h"

// The check a source runs on every command before it goes to the counter:
// the command must be one the connected counter knows (processor, transport,
// hardware features, firmware version, raw-data option) and must have the
// length and byte values that command needs. Pure code: the source passes in
// what it knows about its counter and turns a refusal into its own message.

// What the source knows about its counter.
struct TCommandCheckContext {
  TVQ_PeerType Peer = TVQ_PeerType::ptUnknown;  // ptESP = ESP counter, anything else Coldfire
  TVQ_DeviceType DevType = TVQ_DeviceType::VQ_Serial;
  uint16_t HardFeature = 0;  // hardware feature word (VQ_Feature* bits); 0 = not known
  int FirmwareVersion = 0;   // 0 or negative = not known (ESP: 100 x major + minor)
  bool OptRawData = false;   // the source's raw-data option
};

// Refusal texts (without the ": " + hex the source appends).
inline constexpr std::string_view kCmdUnknown = "Ignore unknown command";
inline constexpr std::string_view kCmdInvalid = "Ignore invalid command";
inline constexpr std::string_view kCmdEspNotSupported = "PAV2: Command not supported";
inline constexpr std::string_view kCmdSerialNotSupported = "Serial connection: Command not supported";
inline constexpr std::string_view kCmdRawDataNotSupported = "Mode raw data not supported";
inline constexpr std::string_view kCmdFirmwareTooOld = "Command not supported, Firmware < ";  // + minimum

// Empty when `cmd` may be sent, otherwise the refusal text. An ESP counter
// does not know the buffer-clear bit: a first byte above $80 loses its top
// bit, and `cmd` is changed in place (also when the command is then refused).
// Debug lines go to log `logId`, each prefixed by `logTag`.
std::string CheckCommand(std::string& cmd, const TCommandCheckContext& ctx, int logId, std::string_view logTag);
