#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "library/core/VQ_Decoder.h"
#include "library/core/VQ_DllCommon.h"

// The source side of the decoder for tests: records what the decoder asks of
// it and answers from its fields.
class TFakeDecoderHost : public TVQ_DecoderHost {
 public:
  uint32_t ReceivedSec() const override { return FReceivedSec; }
  void SetReceivedSec(uint32_t sec) override { FReceivedSec = sec; }
  void ReSync() override { ++FReSyncs; }
  void SetReferenceClockError(bool error) override { FRefClock.push_back(error); }
  void VersionDecoded() override { ++FVersions; }
  uint8_t UserID() const override { return FUserID; }
  std::string CheckDataPerSecondCounter(uint16_t code) override {
    FRateCodes.push_back(code);
    ++FRateChecks;
    return FRateLine;
  }
  std::string Check7902Report(std::string_view payload) override { return "7902; from device " + HexDump(payload); }

  uint32_t FReceivedSec = 0;
  int FReSyncs = 0;
  std::vector<bool> FRefClock;
  int FVersions = 0;
  uint8_t FUserID = 255;
  int FRateChecks = 0;
  std::vector<uint16_t> FRateCodes;  // the timestamp codes checked
  std::string FRateLine;  // what the data-rate check answers
};
