#pragma once

// The device library's whole public surface. The application reaches every
// counter through these operations: each takes a source number (from
// Multi_NewSource) and returns a public result code, a value or a text.
// Nothing here throws.
//
// Threads: every operation may be called from any thread. The library lock
// guards only the list of sources and the orders of the polls; an operation
// runs under its source's own locks, so operations on different sources never
// wait for each other. While a source is being opened or closed (which can
// take seconds), a poll of it gives code 1 without a line, a command is
// refused as without connection, and device queries answer at once; a close
// waits for a poll in progress. A source is never polled by two threads at
// once: the second poller gets code 1 without a line.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "library/core/VQ_CommonTypes.h"
#include "library/core/VQ_Header.h"
#include "library/platform/VQ_Event.h"
#include "library/platform/VQ_UsbMonitor.h"

// ---- public result codes ------------------------------------------------------

namespace MultiCode {
inline constexpr int Other = 0;           // any failure without its own code
inline constexpr int Ok = 1;              // success (a line, or nothing)
inline constexpr int WriteError = 3;
inline constexpr int ServerDown = 4;
inline constexpr int NotConnected = 7;    // not connected, end of a replayed file, connection lost
inline constexpr int Overflow = 8;        // receive buffer overflow
inline constexpr int HardwareFault = 9;
inline constexpr int UnknownSource = 10;  // the source number does not exist
inline constexpr int CmdIgnored = 11;     // command refused, not sent
inline constexpr int NotSupported = 12;   // the counter does not support the request
inline constexpr int Reconnected = 13;    // connection re-established; data checks restart
inline constexpr int Recovered = 14;
inline constexpr int Exception = 15;
}  // namespace MultiCode

// The public code of a library result (its low seven bits).
int Multi_PublicCode(TVQ_Result result);

// Option codes of Multi_SetOption.
namespace MultiOption {
inline constexpr int RawData = 4711;    // raw-data mode allowed
inline constexpr int Report7019 = 0x7019;  // 7019 reports on
}  // namespace MultiOption

// Kinds of Multi_EnumerateDevices (bit set; the result names the kinds that failed).
namespace MultiEnumerate {
inline constexpr int Serial = 1;
inline constexpr int Usb = 2;
inline constexpr int Can = 4;
}  // namespace MultiEnumerate

// Limits of texts that cross the interface.
inline constexpr std::size_t Multi_MaxMessage = 1024;     // open messages, device lists
inline constexpr std::size_t Multi_MaxLine = 65536;       // a report line (no real line comes near)
inline constexpr std::size_t Multi_MaxCommand = 127;      // command bytes

// ---- lifecycle and options ------------------------------------------------------

// A new source (the next number); it gets the current report event and options.
int Multi_NewSource();
// Number of sources (numbers 0 .. count - 1). Source 0 exists from the start.
int Multi_SourceCount();
// The event (not owned; none = the process-wide one) that sources created
// afterwards signal when data arrive, and whether their devices reset it.
void Multi_SetReportEvent(TVQ_Event* event, bool resetEvent);
// MultiOption::RawData or MultiOption::Report7019, for every existing and later source.
void Multi_SetOption(int code);
// PDI and QMT simulation of every simulated counter.
void Multi_SetDemoOptions(bool pdi, bool qmt);
std::string Multi_GetLibraryVersion();
// Closes every source's connection and joins its workers (application shutdown).
void Multi_CloseAll();

// ---- connections and polling ----------------------------------------------------

// Opens the connection string on the source: 1, or 0 with the reason in
// `message` (at most Multi_MaxMessage bytes), or 10.
int Multi_OpenConnectionEx(int source, const std::string& connection, std::string& message, bool blockingIO);
// The same with the device's tool mode on.
int Multi_OpenConnectionContext(int source, const std::string& connection, std::string& message, bool blockingIO);
int Multi_CloseConnection(int source);
// A connection string as a message may show it: control characters escaped,
// the length capped (the library's own messages already show it so).
std::string Multi_ShownConnection(const std::string& connection);
// One poll: the next report line (empty when none; never cut below
// Multi_MaxLine), or the message of a failure, and the counter time in ms.
int Multi_GetReportEx(int source, std::string& line, int64_t& deviceMs);
// Checks and sends the command bytes (1 to 127). When the result is not 1,
// `command` holds the reason.
int Multi_SendCommand(int source, std::string& command);
int Multi_GetPendingCmdsCount(int source);

// ---- device queries (neutral values for unknown sources) ----------------------------

uint32_t Multi_GetBufferAmount(int source);
int Multi_GetBufferAmounts(int source, uint32_t& amount, uint32_t& highAmount);
uint32_t Multi_GetTransmitBufferAmount(int source);
int Multi_GetUserID(int source);                 // 255 unknown
int Multi_IsFileDevice(int source);              // 1 for replayed files
uint16_t Multi_GetHardFeature(int source);
int Multi_GetFirmwareVersion(int source);        // -1 unknown
int64_t Multi_GetSerialNumber(int source);       // -1 unknown
int Multi_GetDeviceStartState(int source);       // TVQ_DeviceStartState ordinal
int Multi_GetDevType(int source);                // TVQ_DeviceType ordinal, 255 without a device
// The record of a known counter (a copy), by serial number.
std::optional<TVQ_DeviceInfo> Multi_GetDeviceInfo(uint32_t serialNumber);
// Carries nominal frequencies set by the user to every session of that counter.
int Multi_SetDeviceNominalFreq(uint32_t serialNumber, const std::array<double, VQ_ChannelCount>& values);
int Multi_GetTcpServerDataPort(int source);
std::string Multi_GetTcpServerIPAndPort(int source);
std::optional<std::string> Multi_GetTcpServerClientsRemainingDataCounts(int source);

// ---- settings and logs ----------------------------------------------------------------

int Multi_SetDecimalSeparator(int source, char separator);
int Multi_SetSend7016(int source, bool on);
int Multi_SetCalibFactorFloatToInt(int source, int value);  // 0 for a value <= 0
int Multi_GetCalibFactorFloatToInt(int source);
// Empty on success, else why the folder cannot be used.
std::string Multi_SetOutputPath(int source, const std::string& folder);
// Debug log on or off (name defaults to the source number); the open error, empty on success.
std::string Multi_Debug(int source, bool on, const std::string& name = {});
std::string Multi_DebugError(int source, bool on, const std::string& name = {});
std::string Multi_DebugStream(int source, bool on, const std::string& name, bool errorOnly);
int Multi_DebugFlags(int source, bool reportLog, bool lowLevelLog);
int Multi_SetDebugLimit(int source, TLogLimitType type, uint32_t size);
std::string Multi_GetDebugFilename(int source);

// ---- counter memory -----------------------------------------------------------------------

int Multi_SetCalibrationData(int source, const std::string& data);
int Multi_ReadPVHData(int source);
int Multi_SetPVHData(int source, const std::string& data);
// Answers to tool commands: all bytes held (public code), or up to `count` (their number, or -code).
int Multi_GetToolsDataString(int source, std::string& data);
int Multi_GetToolsData(int source, int count, std::string& data);

// ---- data server and recording --------------------------------------------------------------

int Multi_StartTcpServer(int source, int& port);
int Multi_StopTcpServer(int source);
std::string Multi_GetTcpServerError(int source);
void Multi_TcpReportLog(int source, const std::string& text, int logType);
int Multi_StartSaveBinaryData(int source, const std::string& name);
int Multi_StopSaveBinaryData(int source);
int Multi_StartSaveReportData(int source, const std::string& name);
int Multi_StopSaveReportData(int source);

// ---- local devices --------------------------------------------------------------------------

// The display names of the attached devices of the asked kinds, joined by ","
// (at most Multi_MaxMessage characters); the result is the bit set of the kinds
// that failed (Multi_GetEnumerateError says why).
int Multi_EnumerateDevices(std::string& devices, int kinds);
std::optional<std::string> Multi_GetEnumerateError();

// ---- USB hot-plug ---------------------------------------------------------------------------
//
// Counters, serial ports and other USB devices arriving or leaving while the
// program runs. The list of attached devices needs no refresh after an
// arrival: Multi_EnumerateDevices and opening a connection look at the
// devices present at that moment.

// Starts watching (nothing when already watching): 1, or 0 with the reason in
// `message` (no udev, as in a container; everything else works without it).
int Multi_UsbMonitorStart(std::string& message);
// The descriptor that becomes readable when events are pending; -1 when not watching.
int Multi_UsbMonitorFd();
// Takes the pending events (without blocking): 1, or 7 when not watching.
int Multi_UsbMonitorRead(std::vector<TUsbEvent>& events);
void Multi_UsbMonitorStop();
