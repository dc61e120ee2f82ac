#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "app/output/ZEP_MultiSampler.h"

// A session as the multi-sampler sees it, with values a test sets.
class TFakeSamplerSource : public TSamplerSource {
 public:
  TFakeSamplerSource(int index, bool copy, TSamplerSessionKind kind, int intervalMs, int64_t serial)
      : FIndex(index), FCopy(copy), FKind(kind), FInterval(intervalMs), FSerial(serial) {}

  int Index() const override { return FIndex; }
  bool IsCopy() const override { return FCopy; }
  TSamplerSessionKind Kind() const override { return FKind; }
  int IntervalMs() const override { return FInterval.load(); }
  int64_t SerialNumber() const override { return FSerial.load(); }
  TSamplerHeaderInfo HeaderInfo() const override {
    std::lock_guard lock(FLock);
    return FInfo;
  }
  std::optional<TUtcMs> SessionTime() const override {
    std::lock_guard lock(FLock);
    return FTime;
  }
  void SetSamplerLogTypes(uint32_t types) override { FTypes = types; }

  void SetSerial(int64_t value) { FSerial = value; }
  void SetInterval(int value) { FInterval = value; }
  void SetInfo(TSamplerHeaderInfo info) {
    std::lock_guard lock(FLock);
    FInfo = std::move(info);
  }
  void SetTime(std::optional<TUtcMs> time) {
    std::lock_guard lock(FLock);
    FTime = time;
  }
  uint32_t LogTypes() const { return FTypes.load(); }

 private:
  const int FIndex;
  const bool FCopy;
  const TSamplerSessionKind FKind;
  std::atomic<int> FInterval;
  std::atomic<int64_t> FSerial;
  std::atomic<uint32_t> FTypes{0};
  mutable std::mutex FLock;
  TSamplerHeaderInfo FInfo;
  std::optional<TUtcMs> FTime;
};

struct TSamplerMessage {
  int Session;
  int Code;
  TMsgType Kind;
  std::string Text;
};

// Collects the sampler's messages (any thread).
class TMessageSink {
 public:
  TOnAddMsg Callback() {
    return [this](int session, int code, TMsgType kind, const std::string& text, int) {
      std::lock_guard lock(FLock);
      FMessages.push_back({session, code, kind, text});
    };
  }
  std::vector<TSamplerMessage> Take() {
    std::lock_guard lock(FLock);
    std::vector<TSamplerMessage> taken;
    taken.swap(FMessages);
    return taken;
  }

 private:
  std::mutex FLock;
  std::vector<TSamplerMessage> FMessages;
};

// `text` right-aligned in `width` characters.
inline std::string Field(const std::string& text, std::size_t width) {
  return text.size() >= width ? text : std::string(width - text.size(), ' ') + text;
}

// One part: these types of these channels (1-based).
inline std::unique_ptr<TSimpleLogDefinition> Part(int source, bool copy, std::initializer_list<int> types,
                                                  std::initializer_list<int> channels,
                                                  TSamplerStringClass stringClass = sscStandard) {
  TLogEnabledArray enabled{};
  for (int channel : channels) enabled[0][static_cast<std::size_t>(channel - 1)] = true;
  auto part = std::make_unique<TSimpleLogDefinition>(source, 0u, copy, stringClass, enabled);
  for (int type : types) part->SetHasLogType(type);
  return part;
}

// A definition of one part.
inline std::unique_ptr<TLogDefinition> OnePartDefinition(const std::string& fileName, int source, bool copy,
                                                         std::initializer_list<int> types,
                                                         std::initializer_list<int> channels,
                                                         TSamplerStringClass stringClass = sscStandard) {
  auto definition = std::make_unique<TLogDefinition>(Part(source, copy, types, channels, stringClass));
  definition->SetFileName(fileName);
  return definition;
}
