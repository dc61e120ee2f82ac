#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "library/core/VQ_DllCommon.h"

// The library's shared vocabulary: result codes, device enumerations, the
// device identity list, the split phase value, calibration and high-resolution
// channel tables, and the codes of the report lines handed to the application.

inline constexpr std::string_view VQ_LibraryVersion = "20.2.5 24-08-09";
inline constexpr int VQ_ChannelCount = 24;

// ---- result codes -----------------------------------------------------------

enum class TVQ_Result : uint8_t {
  VQ_No_Err = 0,
  VQ_No_Err_ASCII,
  VQ_No_Err_Recovered,
  VQ_System_Err,
  VQ_Err_BadFormat,
  VQ_Err_BadFormatIgnore,
  VQ_Err_ReceiveBufferCleared,
  VQ_Err_ReceiveBufferOverflow,
  VQ_Err_DataTransferInterrupted,
  VQ_DLL_internalError,
  VQ_CmdIgnored,
  VQ_WriteError,
  VQ_DeviceNotConnected,
  VQ_DeviceNotFound,
  VQ_TooManyUser,
  VQ_HardwareFault,
  VQ_Err_Exception,
  VQ_CAN_Err,
  VQ_Err_EndOfFile,
  VQ_FTDI_ConfigError,
  VQ_FTDI_LoadError,
  VQ_FTDI_ReadError,
  VQ_FTDI_VCPError,
  VQ_Err_ServerDown,
  VQ_RpcCallFailed,
  VQ_RpcCallDenied,
  VQ_RpcResponseBadFormat,
  VQ_ServerNotConnected,
  VQ_NetworkNotConnected,
  VQ_SocketError,
  VQ_Err_CreateServerFailed,
  VQ_Err_StartServerFailed,
  VQ_Err_StopServerFailed,
  VQ_Err_ConnectFailed,
  VQ_Err_RequestTimeout,
  VQ_Err_RequestDenied,
  VQ_Err_RequestFailed,
  VQ_Err_ReceiveServerFailed,
  VQ_Err_RepeatRequest,
  VQ_Err_PingFailed,
  VQ_Err_Reconnected,
  VQ_Err_Disconnected,
  VQ_Err_AlreadyConnected,
  VQ_Err_NoWatch,
  VQ_Err_WatchErrorMsg,
};
inline constexpr int VQ_ResultCount = 45;

// Text of a result code, taken from its low seven bits; codes without a
// member give "kein VQ_Result".
std::string_view VQ_ResultText(unsigned code);
inline std::string_view VQ_ResultText(TVQ_Result r) { return VQ_ResultText(static_cast<unsigned>(r)); }

// ---- enumerations -----------------------------------------------------------

enum class TVQ_DeviceType : uint8_t {
  VQ_Serial,
  VQ_HID,
  VQ_CDC,
  VQ_Remote,
  VQ_BinFile,
  VQ_TxtFile,
  VQ_RawFile,
  VQ_CAN_Rack,
  VQ_TCP_Device,
  VQ_TCP_Archive,
  VQ_Simul,
  VQ_FPGAUSB,
  VQ_FPGANet,
};

enum class TVQ_PeerType : uint8_t { ptUnknown, ptColdfire, ptESP };
enum class TVQ_FPGAType : uint8_t { ft_unknown, ft_Altera, ft_MicroSemi };
enum class TCmdResponseType : uint8_t {
  crt_none,
  crt_interval,
  crt_mode,
  crt_scrambler,
  crt_channel,
  crt_phaseReset,
  crt_login,
  crt_ReadNVS,
};
enum class TVQ_DeviceStartState : uint8_t { ds_unknown, ds_ColdStart, ds_WarmStart };
enum class TReadModes : uint8_t { rxCommand, rxData };
enum class TLogLimitType : uint8_t { logUnlimited, logOverwrite, logCreateNew };

// Texts of the enumerations. The argument is the ordinal, so values outside
// the enumeration (read from a device or a file) have a defined text.
std::string_view PeerTypeText(int ordinal);          // "" outside
std::string_view FPGATypeText(int ordinal);          // "" outside
std::string CmdResponseTypeText(int ordinal);        // "unknown <n>" outside
std::string LogLimitTypeText(int ordinal);           // the number outside
inline std::string_view PeerTypeText(TVQ_PeerType t) { return PeerTypeText(static_cast<int>(t)); }
inline std::string_view FPGATypeText(TVQ_FPGAType t) { return FPGATypeText(static_cast<int>(t)); }
inline std::string CmdResponseTypeText(TCmdResponseType t) { return CmdResponseTypeText(static_cast<int>(t)); }
inline std::string LogLimitTypeText(TLogLimitType t) { return LogLimitTypeText(static_cast<int>(t)); }

// ---- measurement intervals --------------------------------------------------

// Interval index 0..13 of the data header: 1 ms to 20 s in the 1-2-5 sequence.
inline constexpr std::array<uint32_t, 14> VQ_IntervalTableMs = {
    1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000};
// The interval in ms, or nothing for the indices that are no interval (14, 15, ...).
std::optional<uint32_t> VQ_IntervalMs(int index);

// ---- device identity --------------------------------------------------------

class TVQ_DeviceInfo {
 public:
  static constexpr uint32_t kUnknownSerial = 0xFFFFFFFF;

  uint32_t FHardFeature = 0;
  int32_t FIndex = -1;
  std::string FIPAddress;
  std::array<double, VQ_ChannelCount> FNominalFreq{};
  TVQ_PeerType FPeerType = TVQ_PeerType::ptUnknown;
  uint32_t FSerialNumber = kUnknownSerial;

  double GetNominalFreq(int kanal) const;         // 0 outside 1..24
  void SetNominalFreq(int kanal, double value);   // ignored outside 1..24
  // 24 fields, each value followed by ";".
  std::string GetNominalFreqString(const TFormatSettings& fmt = DefaultFormatSettings()) const;
};

// Identity records of every counter the process has seen, keyed by serial
// number. Both the acquisition thread and the main thread use it, so it hands
// out copies under its lock.
class TVQ_DeviceInfoList {
 public:
  // A copy of the entry with FIndex set to its position, or nothing.
  std::optional<TVQ_DeviceInfo> GetInfo(uint32_t aSerialNumber) const;
  // Appends the record, or fills the gaps of the entry with the same serial
  // number (feature 0, empty IP address, frequencies 0, unknown peer type).
  // Returns the entry's index; -1 for an unknown serial number.
  int AddInfo(const TVQ_DeviceInfo& aDevInfo);
  // Replaces the nominal frequencies of a known counter; false when unknown.
  bool SetNominalFreq(uint32_t aSerialNumber, const std::array<double, VQ_ChannelCount>& values);
  int Count() const;
  std::optional<TVQ_DeviceInfo> At(int index) const;
  void Clear();

 private:
  mutable std::mutex FLock;
  std::vector<TVQ_DeviceInfo> FItems;
};

TVQ_DeviceInfoList& DeviceInfoList();

// ---- exceptions -------------------------------------------------------------

class EVQ_Exception : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// ---- phase ------------------------------------------------------------------

// A phase in cycles, split into whole cycles and a fraction so that long runs
// keep the fraction's precision. Normalised: Low has the sign of the whole
// value (0 <= Low < 1 for values >= 0, -1 < Low <= 0 below). A value that does
// not fit into 64-bit whole cycles (NaN, infinities, beyond 2^63) is kept whole
// in Low with High 0, so it survives as a double.
struct Phase {
  int64_t High = 0;
  double Low = 0.0;

  void Clear() { High = 0; Low = 0.0; }
  bool IsCleared() const { return High == 0 && Low == 0.0; }
  void FromDouble(double aDouble);
  double ToDouble() const { return static_cast<double>(High) + Low; }
  std::string ToString(const TFormatSettings& fmt = DefaultFormatSettings()) const;
  std::string ToHexString() const;

  void Normalise();
  void Add(const Phase& other);       // normalised afterwards
  void Subtract(const Phase& other);  // not normalised
  void Divide(double x);
  void Multiply(double x);

  // The fixed-width field of the measurement stores: High right-aligned in
  // 25 - digits characters, then the separator and `digits` fraction digits.
  std::string Format(int digits, const TFormatSettings& fmt) const;
  // The same appended to `out`, without a text of its own.
  void AppendFormat(std::string& out, int digits, const TFormatSettings& fmt) const;
};

// ---- calibration and high-resolution channels -------------------------------

struct TCalibrationData {
  std::array<double, VQ_ChannelCount> Values{};
  void Clear() { Values.fill(0.0); }
  // Every value followed by one blank.
  std::string ToString(const TFormatSettings& fmt = DefaultFormatSettings()) const;
};

struct TPVHSetting {
  double NomFreq = 0.0;
  double LOFreq = 0.0;
  long double Factor = 1.0L;
  bool enabled = false;

  void Clear();
  static std::string DoubleToStr(double aDouble, const TFormatSettings& fmt);
  std::string ToString(const TFormatSettings& fmt) const;
  // Throws EConvertError for a frequency that is no number.
  bool FromString(std::string_view value, const TFormatSettings& fmt);
  bool IsEqual(const TPVHSetting& value) const;
  // Equal frequencies would divide by zero: the factor stays 1 and a line goes
  // to the debug log `logId`.
  void Update(int logId = 0);
};

struct TPVHSettings {
  std::string ErrorStr;
  std::array<TPVHSetting, VQ_ChannelCount> PVHChannels{};
  int PVHChannelCount = 0;
  TFormatSettings FormatSettings = DefaultFormatSettings();
  bool WriteNeeded = false;

  void Clear();
  std::string ToString() const;
  bool FromString(std::string_view value);
  bool IsEqual(const TPVHSettings& value) const;
  void Update(int logId = 0);
};

// ---- report vocabulary ------------------------------------------------------

// Codes of report lines. Codes below 7000 are measurement lines whose code is
// the data header without its lost-data bit.
namespace VQ_Code {
inline constexpr uint16_t FirstReport = 0x7000;
inline constexpr uint16_t Tick = 0x7000;
inline constexpr uint16_t Version = 0x7001;
inline constexpr uint16_t StatusWord = 0x7002;
inline constexpr uint16_t BlockDone = 0x7003;
inline constexpr uint16_t TwoStatusWords = 0x7004;
inline constexpr uint16_t Value24Bit = 0x7005;
inline constexpr uint16_t Timestamp = 0x7015;
inline constexpr uint16_t Timestamp100ms = 0x7016;
inline constexpr uint16_t HardFeature = 0x7019;
inline constexpr uint16_t HeaderChanged = 0x7020;
inline constexpr uint16_t ChannelSelection = 0x7021;
inline constexpr uint16_t BufferCleared = 0x7022;
inline constexpr uint16_t RawBlock = 0x7040;
inline constexpr uint16_t ExtendedStatus = 0x7055;
inline constexpr uint16_t WordList = 0x7100;
inline constexpr uint16_t RepeatedSecond = 0x7114;
inline constexpr uint16_t RepeatedSecond2 = 0x7115;
inline constexpr uint16_t QmtValues = 0x7900;
inline constexpr uint16_t PvhCalibration = 0x7901;
inline constexpr uint16_t PvhSettings = 0x7902;
inline constexpr uint16_t ExtendedStatus2 = 0x79A0;
inline constexpr uint16_t ByteDump = 0x7ADC;
inline constexpr uint16_t StructuredDump = 0x7ADD;
inline constexpr uint16_t StatusWord2 = 0x7D1A;
inline constexpr uint16_t MemoryWord = 0x7E1A;
inline constexpr uint16_t Memory = 0x7E1B;
inline constexpr uint16_t Status253 = 0x7EFE;
inline constexpr uint16_t Heartbeat = 0x7EFF;
inline constexpr uint16_t UnknownEspRecord = 0x7F20;
inline constexpr uint16_t UsbReadError = 0x7F21;
inline constexpr uint16_t DataRateError = 0x7F22;
inline constexpr uint16_t BufferOverflow = 0x7F23;
inline constexpr uint16_t ApplicationData = 0x7F40;
inline constexpr uint16_t Resynchronised = 0x7F51;
inline constexpr uint16_t QmtSyncError = 0x7F90;
inline constexpr uint16_t UnsupportedMode = 0x7FF0;
inline constexpr uint16_t InputOverrun = 0x7FF2;
inline constexpr uint16_t FpgaTimeError = 0x7FF4;
inline constexpr uint16_t NoMeasurementData = 0x7FF7;
inline constexpr uint16_t ReferenceOk = 0x7FF8;
inline constexpr uint16_t ReferenceError = 0x7FF9;
inline constexpr uint16_t UserIdInUse = 0x7FFA;

inline constexpr bool IsMeasurement(uint16_t code) { return code < FirstReport; }
}  // namespace VQ_Code

// Fixed texts of report lines.
namespace VQ_Text {
inline constexpr std::string_view BufferCleared = "Buffer cleared";
inline constexpr std::string_view BufferClearedAfterOverflow = "Buffer cleared after buffer overflow";
inline constexpr std::string_view UsbReadError = "Read error on USB. USB frames lost";
inline constexpr std::string_view QmtSyncError = "Sync Error with QMT data";
inline constexpr std::string_view UnsupportedMode = "unsupported mode";
inline constexpr std::string_view ScramblerNotice = "Scrambler in use!";
inline constexpr std::string_view FpgaTimeError = "FPGA time Error, expected=";
inline constexpr std::string_view NoDataRepower =
    "Device does not send measurement data: Please check reference clock and re-power!";
inline constexpr std::string_view NoDataCheckReference =
    "Device does not send measurement data: Please check reference!";
}  // namespace VQ_Text

// The code of a binary report: its first two bytes, high first; $FFFF when
// it has fewer.
uint16_t BinaryReportCode(std::string_view report);
// A binary report: the code, high byte first, then the payload.
std::string BinaryReport(uint16_t code, std::string_view payload = {});
// The version command, without ($01) and with ($81) buffer clearing.
bool IsVersionCommand(std::string_view command);

// The four upper-case hexadecimal digits that start a report line.
std::string ReportCodeText(uint16_t code);
// The code of a report line (its first four characters read as hexadecimal),
// or nothing when they are not four hexadecimal digits.
std::optional<uint16_t> ReportLineCode(std::string_view line);
