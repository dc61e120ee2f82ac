#pragma once

#include <memory>

#include "app/output/App_MultiSampler.h"

class TSessionItem;
class TVQSessionItem;

// A counter session (or its QMT-only copy) as the multi-sampler sees it. It
// holds the session weakly: a removed session answers with empty values
// until the sampler's session list drops it.
class TSessionSamplerSource : public TSamplerSource {
 public:
  explicit TSessionSamplerSource(const std::shared_ptr<TVQSessionItem>& session);

  int Index() const override { return FIndex; }
  bool IsCopy() const override { return FIsCopy; }
  TSamplerSessionKind Kind() const override;
  int IntervalMs() const override;
  int64_t SerialNumber() const override;
  TSamplerHeaderInfo HeaderInfo() const override;
  std::optional<TUtcMs> SessionTime() const override;
  void SetSamplerLogTypes(uint32_t types) override;

  bool Refers(const TVQSessionItem& session) const;

 private:
  std::weak_ptr<TVQSessionItem> FSession;
  const int FIndex;
  const bool FIsCopy;
};

// A session whose keys are only kept (it is never opened) as the
// multi-sampler sees it: its log definitions stay, with no data from it.
class TKeptSamplerSource : public TSamplerSource {
 public:
  TKeptSamplerSource(const TSessionItem& session, bool copy);

  int Index() const override { return FIndex; }
  bool IsCopy() const override { return FIsCopy; }
  TSamplerSessionKind Kind() const override;
  int IntervalMs() const override { return 1000; }
  int64_t SerialNumber() const override { return -1; }
  TSamplerHeaderInfo HeaderInfo() const override { return FInfo; }
  std::optional<TUtcMs> SessionTime() const override { return std::nullopt; }
  void SetSamplerLogTypes(uint32_t) override {}

 private:
  const int FIndex;
  const bool FIsCopy;
  TSamplerHeaderInfo FInfo;
};
