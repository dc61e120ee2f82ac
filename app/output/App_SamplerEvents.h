#pragma once

#include <cstdint>

// What sessions and stores tell the multi-sampler, and which application
// options it follows.

// Source events (UpdateSession `what`).
namespace SamplerEvent {
inline constexpr int ChannelCount = 1;
inline constexpr int HeaderChanged = 2;
inline constexpr int MeasurementSettings = 3;
inline constexpr int DataCleared = 4;
inline constexpr int Text = 5;
inline constexpr int VirtualChanged = 6;
inline constexpr int TransmitOverflow = 7;
inline constexpr int DeviceError = 9;
inline constexpr int QMTChannels = 10;
inline constexpr int QMTCleared = 11;
inline constexpr int Closed = 12;
inline constexpr int ReferenceClock = 13;
inline constexpr int QMTCalibration = 14;
inline constexpr int FirstCreate = 15;
inline constexpr int LossOfData = 16;
inline constexpr int PVHChanged = 17;
}  // namespace SamplerEvent

// Option changes (UpdateOptions `what`).
namespace SamplerOption {
inline constexpr uint32_t TemperatureUnit = 4;
inline constexpr uint32_t DecimalSeparator = 10;
inline constexpr uint32_t TimeFormat = 8;
inline constexpr uint32_t TimeSource = 16;
inline constexpr uint32_t TimeZone = 32;
}  // namespace SamplerOption
