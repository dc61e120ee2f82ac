#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "library/core/VQ_CommonTypes.h"

// Reads a counter command the way a counter does and records what it asks
// for, so that a simulated counter can answer it without hardware.
//
// Most settings are one byte: the high nibble selects the kind, the low
// nibble the value. A valid command stores its parameters and raises one
// request flag per kind; reading a flag returns it and clears it, so each
// request is acted on once.
//
// Not thread-safe: the owner serialises CheckCommand, the flag reads and the
// parameter reads (the simulated counter holds its command lock around them).
class TVQ_CommandInterpreter {
 public:
  // Size of the memory-write command: $85 '#', four address bytes, 128 bytes.
  static constexpr std::size_t kFRAMWriteLength = 134;
  static constexpr std::size_t kFRAMBlockSize = 128;
  // Memory-write addresses the counter accepts, both ends included.
  static constexpr uint32_t kFRAMFirstAddress = 0x7E000;
  static constexpr uint32_t kFRAMLastAddress = 0x7E200;

  explicit TVQ_CommandInterpreter(int aLogId);

  // True when the command is valid. On a refusal ErrorCode() is
  // VQ_CmdIgnored and ErrorMessage() says why. `Data` holds one byte per
  // character.
  bool CheckCommand(std::string_view Data);
  bool CheckCommand(std::span<const uint8_t> Cmd);

  TVQ_Result ErrorCode() const { return FErrorCode; }
  const std::string& ErrorMessage() const { return FErrorMessage; }

  // ---- request flags: each read returns the flag and clears it -------------
  bool ChannelCountCmd() { return Take(FChannelCountCmd); }
  bool ClearBuffer() { return Take(FClearBuffer); }
  bool GetCalibCmd() { return Take(FGetCalibCmd); }
  bool GetPVHCmd() { return Take(FGetPVHCmd); }
  bool IntervalCmd() { return Take(FIntervalCmd); }
  bool ModeCmd() { return Take(FModeCmd); }
  bool ResetPhaseDiffCmd() { return Take(FResetPhaseDiffCmd); }
  bool ReSyncCmd() { return Take(FReSyncCmd); }
  bool ScramblerCmd() { return Take(FScramblerCmd); }
  bool SetDACCmd() { return Take(FSetDACCmd); }
  bool VersionCmd() { return Take(FVersionCmd); }
  bool WriteFRAMCmd() { return Take(FWriteFRAMCmd); }
  // Without clearing: lets the owner leave a request for a later pass.
  bool GetPVHCmdPending() const { return FGetPVHCmd; }

  // ---- parameters of the last command of each kind -------------------------
  int ChannelCount() const { return FChannelCount; }
  int DAC() const { return FDAC; }
  uint8_t Mode() const { return FMode; }
  uint8_t Rate() const { return FRate; }            // interval index 0..13
  int Interval() const { return FInterval; }        // ms
  uint8_t Scrambler() const { return FScrambler; }  // 0..2
  uint8_t PVHBlock() const { return FPVHBlock; }    // 1..4
  uint16_t FRAMAdr() const { return FFRAMAdr; }     // offset into the memory image, 0..$200
  const std::string& FRAMContent() const { return FFRAMContent; }

 private:
  static bool Take(bool& flag) {
    const bool value = flag;
    flag = false;
    return value;
  }
  bool CheckOneByte(uint8_t c, std::string_view whole);
  bool CheckLonger(std::string_view cmd);
  bool Refuse(std::string message);

  TVQ_Result FErrorCode = TVQ_Result::VQ_No_Err;
  std::string FErrorMessage;
  const int FLogId;
  int FChannelCount = 0;
  int FDAC = 0;
  uint8_t FMode = 0;
  uint8_t FRate = 0;
  int FInterval = 0;
  uint8_t FScrambler = 0;
  bool FChannelCountCmd = false;
  bool FClearBuffer = false;
  bool FGetCalibCmd = false;
  uint8_t FPVHBlock = 0;
  uint16_t FFRAMAdr = 0;
  std::string FFRAMContent;
  bool FGetPVHCmd = false;
  bool FIntervalCmd = false;
  bool FModeCmd = false;
  bool FResetPhaseDiffCmd = false;
  bool FReSyncCmd = false;
  bool FScramblerCmd = false;
  bool FSetDACCmd = false;
  bool FVersionCmd = false;
  bool FWriteFRAMCmd = false;
};
