#pragma once

#include <string>
#include <vector>

#include "app/core/App_Sessions.h"
#include "app/output/App_MultiSampler.h"

// The program's multi-sampler: the text of header, title and data lines, the
// source events of counters and time-interval channels, option changes, and
// the messages 91 (file opened) and 92 (file closed, file not written).
class TZEP_MultiSampler : public TMultiSampler {
 public:
  TZEP_MultiSampler(int aLogId, TOnAddMsg onMsg);

 protected:
  std::vector<std::string> GetHeaderLines(const TMultiSamplerDefinition& def,
                                          const std::vector<TSamplerHeaderPart>& parts) override;
  std::string GetSampleData(const TMultiSamplerDefinition& def, const std::vector<TSamplerLinePart>& parts) override;
  std::string GetTimeString(const TMultiSamplerDefinition& def, const TMultiSamplerStrings* mainRecord) override;
  void AddInfoOpen(const std::string& fileName) override;
  void AddInfoClose(const std::string& text) override;
  void AddErrorClose(const std::string& text) override;
  void AddWarningWaiting(const std::string& text) override;
  std::string GetUpdateText(int what, char letter) const override;
  void UpdateSessionEvent(TMultiSamplerSession& session, int what, const std::string& reason) override;
  void UpdateOptionsEvent(uint32_t what) override;

 private:
  void PostMessage(int code, TMsgType kind, const std::string& text);
  bool HasSensorPart(const TLogDefinition& logDef) const;

  TOnAddMsg FOnMsg;
};
