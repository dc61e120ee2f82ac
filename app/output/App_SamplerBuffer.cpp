#include "app/output/App_SamplerBuffer.h"

#include <algorithm>

TSamplerRecordBuffer::TSamplerRecordBuffer(std::size_t maxRecords, std::size_t maxBytes)
    : FMaxRecords(std::max<std::size_t>(maxRecords, 1)), FMaxBytes(maxBytes) {}

std::size_t TSamplerRecordBuffer::RecordBytes(const TMultiSamplerStrings& record) {
  std::size_t bytes = 0;
  for (const std::string& text : record) bytes += text.size();
  return bytes;
}

uint64_t TSamplerRecordBuffer::Add(TMultiSamplerStrings record, const TSamplerRecordTime& time) {
  FBytes += RecordBytes(record);
  FRecords.push_back({std::move(record), time});
  return Trim();
}

const TMultiSamplerStrings* TSamplerRecordBuffer::Get(int64_t number) const {
  if (number < FFirst || number >= End()) return nullptr;
  return &FRecords[static_cast<std::size_t>(number - FFirst)].Strings;
}

const TSamplerRecordTime* TSamplerRecordBuffer::GetTime(int64_t number) const {
  if (number < FFirst || number >= End()) return nullptr;
  return &FRecords[static_cast<std::size_t>(number - FFirst)].Time;
}

void TSamplerRecordBuffer::DropOldest() {
  FBytes -= RecordBytes(FRecords.front().Strings);
  FRecords.pop_front();
  ++FFirst;
}

void TSamplerRecordBuffer::DropBefore(int64_t number) {
  while (!FRecords.empty() && FFirst < number) DropOldest();
}

void TSamplerRecordBuffer::Clear() {
  FFirst = End();
  FRecords.clear();
  FBytes = 0;
}

uint64_t TSamplerRecordBuffer::Trim() {
  uint64_t dropped = 0;
  while (FRecords.size() > 1 && (FRecords.size() > FMaxRecords || FBytes > FMaxBytes)) {
    DropOldest();
    ++dropped;
  }
  return dropped;
}

void TSamplerRecordBuffer::SetCaps(std::size_t maxRecords, std::size_t maxBytes) {
  FMaxRecords = std::max<std::size_t>(maxRecords, 1);
  FMaxBytes = maxBytes;
  Trim();
}
