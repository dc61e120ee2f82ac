#include "library/devices/VQ_Simulator.h"

#include <pthread.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <exception>
#include <utility>

#include "library/core/LogUnit.h"
#include "library/core/VQ_DllCommon.h"

namespace {

// ---- process-wide state -------------------------------------------------------

std::atomic<bool> gPDISimulation{false};
std::atomic<bool> gQMTSimulation{false};
std::atomic<uint32_t> gSimulatorsCreated{0};

std::mutex gMemoryLock;
std::array<uint8_t, kSimulMemorySize> gMemory{};  // all zero at program start

// ---- frames -------------------------------------------------------------------

constexpr std::string_view kReportMarker = "\xFB\xFB\xFB\xFC";
constexpr std::string_view kDataMarker = "\xFB\xFB\xFB\xFB";
constexpr std::size_t kFrameHeader = 7;  // marker, two code bytes, length or channel count
constexpr std::size_t kBytesPerValue = 8;
constexpr uint8_t kQMTHeaderHigh = 0x79;
constexpr int kTimestampMs = 100;  // one step of FTimeStamp
constexpr uint32_t kQMTTimestampPhase = 5;
constexpr std::string_view kVersionText = "VERSION Simulator: 5.0 240729";
constexpr std::string_view kVersionTextQMT = "VERSION Simulator QMT: 5.0 240729";
constexpr std::string_view kReSyncText = "Measurement re-synchronized";

char Byte(unsigned value) { return static_cast<char>(value & 0xFF); }

// A report frame: marker, code (high first), payload length, payload.
std::string ReportFrame(uint16_t code, std::string_view payload) {
  std::string frame(kReportMarker);
  frame += Byte(code >> 8);
  frame += Byte(code);
  frame += Byte(static_cast<unsigned>(payload.size()));
  frame.append(payload);
  return frame;
}

// A data frame of `channels` zero values behind the two header bytes.
std::string DataFrame(uint8_t header4, uint8_t header5, int channels) {
  std::string frame(kDataMarker);
  frame += Byte(header4);
  frame += Byte(header5);
  frame += Byte(static_cast<unsigned>(channels));
  frame.append(static_cast<std::size_t>(channels) * kBytesPerValue, '\0');
  return frame;
}

// Little-endian IEEE 754, whatever the host's byte order.
void PutDouble(std::string& frame, std::size_t at, double value) {
  uint64_t bits = std::bit_cast<uint64_t>(value);
  for (std::size_t k = 0; k < kBytesPerValue; ++k, bits >>= 8) frame[at + k] = Byte(static_cast<unsigned>(bits));
}

uint8_t RateModeByte(uint8_t rate, uint8_t mode) { return static_cast<uint8_t>(rate + 16 * mode); }
uint8_t ScramblerByte(uint8_t scrambler) { return static_cast<uint8_t>(16 * scrambler); }

void CopyMemory(std::string& frame, std::size_t offset) {
  std::lock_guard lock(gMemoryLock);
  for (std::size_t k = 0; k < kSimulMemoryBlock; ++k) frame[kFrameHeader + k] = static_cast<char>(gMemory[offset + k]);
}

std::string BoolText(bool value) { return value ? "true" : "false"; }

}  // namespace

void SetSimulatorOptions(bool pdi, bool qmt) {
  gPDISimulation = pdi;
  gQMTSimulation = qmt;
}

bool SimulatorPDIEnabled() { return gPDISimulation.load(); }
bool SimulatorQMTEnabled() { return gQMTSimulation.load(); }

std::string SimulatorMemory(std::size_t offset, std::size_t len) {
  if (offset >= kSimulMemorySize) return {};
  len = std::min(len, kSimulMemorySize - offset);
  std::lock_guard lock(gMemoryLock);
  return {reinterpret_cast<const char*>(gMemory.data() + offset), len};
}

// ==== worker ======================================================================

TVQ_SimulThread::TVQ_SimulThread(TVQ_SimulDevice& aOwner, bool startThread) : FOwner(aOwner) {
  SetRate(kDefaultRate);
  if (startThread) FThread = std::thread(&TVQ_SimulThread::Execute, this);
}

TVQ_SimulThread::~TVQ_SimulThread() { Terminate(); }

bool TVQ_SimulThread::LogOn() const { return LogWanted(FOwner.LogId()); }

void TVQ_SimulThread::Log(const std::string& text) const { LogInfo(FOwner.LogId(), text); }

std::string TVQ_SimulThread::CountersText() const {
  return "Interval/Rate=" + std::to_string(FInterval) + "/" + std::to_string(FRate) + " Mode=" +
         std::to_string(FMode) + " DataPerTimestamp=" + std::to_string(FDataPerTimestamp) +
         " TimestampPerData=" + std::to_string(FTimestampPerData) + " DataCounter=" + std::to_string(FDataCounter) +
         " TimestampCounter=" + std::to_string(FTimestampCounter) + " nextWaitMs=" + std::to_string(FnextWaitMs) +
         " new Interval/Rate=" + std::to_string(FnewInterval) + "/" + std::to_string(FnewRate) +
         " new Mode=" + std::to_string(FnewMode) + " new DataPerTimestamp=" + std::to_string(FnewDataPerTimestamp) +
         " new TimestampPerData=" + std::to_string(FnewTimestampPerData) + " newDo7020=" + BoolText(FnewDo7020);
}

void TVQ_SimulThread::SetRate(uint8_t value) {
  if (LogOn()) Log("TVQ_SimulThread.SetRate: " + std::to_string(value));
  const auto ms = VQ_IntervalMs(value);
  if (!ms) {
    if (LogOn()) Log("TVQ_SimulThread.SetRate: no interval for " + std::to_string(value) + ", ignored");
    return;
  }
  std::lock_guard lock(FLock);
  FnewRate = value;
  SetIntervalLocked(static_cast<int>(*ms));
}

// While an interval runs, a different one waits for the next switch point so
// that the change stays on the interval grid; the first one, or the one
// already running, takes effect at once.
void TVQ_SimulThread::SetIntervalLocked(int ms) {
  if (LogOn()) Log("TVQ_SimulThread.SetInterval: " + std::to_string(ms));
  const bool running = FInterval > 0;
  const bool deferred = running && ms != FInterval;
  if (running) FnewDo7020 = true;  // only ever set here: a pending mode change keeps its frame
  FnewInterval = ms;
  if (ms < kTimestampMs) {
    FnewDataPerTimestamp = kTimestampMs / ms;
    FnewTimestampPerData = 0;
  } else {
    FnewTimestampPerData = ms / kTimestampMs;
    FnewDataPerTimestamp = 0;
  }
  if (!deferred) {
    FDataPerTimestamp = FnewDataPerTimestamp;
    FTimestampPerData = FnewTimestampPerData;
    FInterval = FnewInterval;
    FRate = FnewRate;
    FnewDataPerTimestamp = kNoCount;
    FnewTimestampPerData = kNoCount;
    FnewInterval = kNoInterval;
    FnewRate = kNoRate;
    FnextWaitMs = std::min(FInterval, kMaxWaitMs);
  }
  if (LogOn()) Log("TVQ_SimulThread.SetInterval: " + CountersText());
}

// Any mode other than the one the counter will be running after the pending
// changes is scheduled (with its 7020 frame); the pacing values of a pending
// interval change are left alone, so both go over together.
void TVQ_SimulThread::SetMode(uint8_t value) {
  std::lock_guard lock(FLock);
  const uint8_t old = FMode;
  const uint8_t target = FnewMode != kNoMode ? FnewMode : FMode;
  if (value != target) {
    FnewMode = value;
    FnewDo7020 = true;
  }
  if (LogOn())
    Log("TVQ_SimulThread.SetMode: old=" + std::to_string(old) + " new=" + std::to_string(FnewMode) +
        " Do7020=" + BoolText(FDo7020) + " newDo7020=" + BoolText(FnewDo7020));
}

TVQ_SimulWorkerState TVQ_SimulThread::State() const {
  std::lock_guard lock(FLock);
  return {FRate, FMode, FInterval, FnextWaitMs};
}

int TVQ_SimulThread::NextWaitMs() const {
  std::lock_guard lock(FLock);
  return FnextWaitMs;
}

void TVQ_SimulThread::Terminate() {
  FTerminated = true;
  FOwner.CancelWaits();
  if (FThread.joinable()) FThread.join();
}

void TVQ_SimulThread::Execute() {
  pthread_setname_np(pthread_self(), "zep-simulator");
  try {
    while (!FTerminated.load()) {
      const auto untilNext = RunDuePasses() - FOwner.Clock().Now();
      const auto ms = std::chrono::ceil<std::chrono::milliseconds>(untilNext).count();
      const auto wait = std::clamp<std::chrono::milliseconds::rep>(ms, kBatchMs, kMaxWaitMs);
      if (!FOwner.WaitSleep(static_cast<uint32_t>(wait))) break;
    }
  } catch (const std::exception& e) {
    if (LogOn()) LogException(FOwner.LogId(), "TVQ_SimulThread.Execute failed", e);
  }
}

TVQ_SimulThread::TimePoint TVQ_SimulThread::RunDuePasses() {
  using std::chrono::milliseconds;
  const TimePoint now = FOwner.Clock().Now();
  TSchedule& s = FSchedule;
  if (s.Period.count() == 0) s = {now, milliseconds(NextWaitMs()), 0};
  const auto dueBy = [&] { return now < s.Start ? 0 : static_cast<uint64_t>((now - s.Start) / s.Period) + 1; };
  const uint64_t catchUp = std::max<uint64_t>(1, static_cast<uint64_t>(kMaxCatchUp / s.Period));
  if (const uint64_t due = dueBy(); due > s.Passes + catchUp) {
    const uint64_t skipped = due - catchUp - s.Passes;
    s.Passes += skipped;
    FOwner.ReportOverflow("TVQ_SimulThread: " + std::to_string(skipped) + " passes skipped after a stall");
  }
  while (!FTerminated.load() && s.Passes < dueBy()) {
    ExecutePass();
    ++s.Passes;
    // A switch point changed the pass period: the new period counts from the
    // pass just run.
    if (const milliseconds period(NextWaitMs()); period != s.Period) s = {s.Start + (s.Passes - 1) * s.Period, period, 1};
  }
  FOwner.FlushBatch();
  return s.Start + s.Passes * s.Period;
}

void TVQ_SimulThread::ExecutePass() {
  std::lock_guard lock(FLock);
  if (FFirstTimestampNeeded) {
    FFirstTimestampNeeded = false;
    if (LogOn()) Log("TVQ_SimulThread.Execute: first timestamp");
    const uint32_t timestamp = FOwner.GenerateTimeStamp();
    // Counted from the grid, not from this timestamp: after a reopen the
    // sequence goes on from anywhere, and data frames (the only switch points
    // of the slow intervals) must still fall on multiples of the interval.
    if (FTimestampPerData > 0) FTimestampCounter = static_cast<int>(timestamp % static_cast<uint32_t>(FTimestampPerData));
    return;
  }
  if (FTimestampPerData > 0)
    TimestampStepLocked();
  else
    DataStepLocked();
}

// Intervals of 100 ms and more: a timestamp every pass, data every n-th.
void TVQ_SimulThread::TimestampStepLocked() {
  FOwner.GenerateTimeStamp();
  if (++FTimestampCounter < FTimestampPerData) return;
  FOwner.DataPass(FRate, FMode, FInterval);
  FTimestampCounter = 0;
  if (SwitchPointDueLocked()) SwitchLocked();
}

// Intervals below 100 ms: data every pass, a timestamp after every n-th.
void TVQ_SimulThread::DataStepLocked() {
  if (FDataCounter >= FDataPerTimestamp) {
    FOwner.GenerateTimeStamp();
    FDataCounter = 0;
    if (SwitchPointDueLocked()) {
      SwitchLocked();
      return;
    }
  }
  FOwner.DataPass(FRate, FMode, FInterval);
  ++FDataCounter;
}

bool TVQ_SimulThread::SwitchPointDueLocked() const {
  if (!FnewDo7020) return false;
  const int grid = FnewInterval != kNoInterval ? FnewInterval : FInterval;
  if (grid <= 0) return false;
  return (static_cast<uint64_t>(FOwner.TimeStamp()) * kTimestampMs) % static_cast<uint64_t>(grid) == 0;
}

// Takes over the whole pending set at once.
void TVQ_SimulThread::SwitchLocked() {
  if (LogOn()) Log("TVQ_SimulThread.Execute: switchInterval");
  if (FnewDataPerTimestamp != kNoCount) FDataPerTimestamp = std::exchange(FnewDataPerTimestamp, kNoCount);
  if (FnewTimestampPerData != kNoCount) FTimestampPerData = std::exchange(FnewTimestampPerData, kNoCount);
  if (FnewInterval != kNoInterval) FInterval = std::exchange(FnewInterval, kNoInterval);
  if (FnewMode != kNoMode) FMode = std::exchange(FnewMode, kNoMode);
  if (FnewRate != kNoRate) FRate = std::exchange(FnewRate, kNoRate);
  FDataCounter = 0;
  FTimestampCounter = 0;
  FnextWaitMs = std::min(FInterval, kMaxWaitMs);
  FDo7020 = std::exchange(FnewDo7020, false);
  if (FDo7020) {
    FOwner.Generate7020(FRate, FMode);
    FDo7020 = false;
  }
  if (LogOn()) Log("TVQ_SimulThread.Execute: " + CountersText());
}

// ==== device ======================================================================

TVQ_SimulDevice::TVQ_SimulDevice(int aLogId, int aMultiId, TVQ_Event* aReceiveEvent, bool aDoResetEvent,
                                 const TVQ_Clock& clock)
    : TVQ_BaseDevice(aLogId, aMultiId, aReceiveEvent, aDoResetEvent, clock), FCommands(aLogId) {
  std::random_device seedSource;
  FRandom.seed((static_cast<uint64_t>(seedSource()) << 32) | seedSource());
  SetDevType(TVQ_DeviceType::VQ_Simul);
  SetDemoData(true);
  SetHasCommandList(false);  // commands are handled at once in DeviceWrite
  SetSerialNumberValue(gSimulatorsCreated.fetch_add(1) + 1);

  std::lock_guard lock(FFrameLock);
  FPDIReport = ReportFrame(VQ_Code::WordList, " " + HexText(FPDIValue, 8));
  FReSyncReport = ReportFrame(VQ_Code::Resynchronised, kReSyncText);
  F7020Report = ReportFrame(VQ_Code::HeaderChanged, std::string{Byte(TVQ_SimulThread::kDefaultRate), '\0'});
  F7901Report = ReportFrame(VQ_Code::PvhCalibration, std::string(kSimulMemoryBlock, '\0'));
  F7902Report = ReportFrame(VQ_Code::PvhSettings, std::string(kSimulMemoryBlock, '\0'));
  F7016Report = ReportFrame(VQ_Code::Timestamp100ms, std::string(4, '\0'));
  BuildTemplatesLocked();
}

TVQ_SimulDevice::~TVQ_SimulDevice() { ClosePort(); }

// ---- port ---------------------------------------------------------------------

bool TVQ_SimulDevice::OpenPort(std::string& errorMsg) {
  errorMsg.clear();
  return StartWorker(true);
}

bool TVQ_SimulDevice::OpenPortStepped() { return StartWorker(false); }

bool TVQ_SimulDevice::StartWorker(bool startThread) {
  std::lock_guard lock(FPortLock);
  if (FThread) return true;
  {
    std::lock_guard frameLock(FFrameLock);
    ClearPhasesLocked();
  }
  Log("TVQ_SimulDevice.OpenPort");
  ResumeWaits();  // a close cancelled them
  FThread = std::make_unique<TVQ_SimulThread>(*this, startThread);
  SetPortOpened(true);
  return true;
}

bool TVQ_SimulDevice::ClosePort() {
  std::lock_guard lock(FPortLock);
  if (PortOpenedFlag()) Log("TVQ_SimulDevice.ClosePort");
  StopWorker();
  SetPortOpened(false);
  return true;
}

void TVQ_SimulDevice::StopWorker() {
  if (!FThread) return;
  FThread->Terminate();
  FThread.reset();
}

bool TVQ_SimulDevice::CheckDeviceClosed() {
  if (PortOpenedFlag()) return false;
  SetError(TVQ_Result::VQ_DeviceNotConnected, "SimulDevice closed");
  Log("TVQ_SimulDevice.CheckDeviceClosed: SimulDevice closed");
  return true;
}

bool TVQ_SimulDevice::StepWorker() {
  std::lock_guard lock(FPortLock);
  if (!FThread) return false;
  FThread->ExecutePass();
  FlushBatch();
  return true;
}

bool TVQ_SimulDevice::StepWorkerDue() {
  std::lock_guard lock(FPortLock);
  if (!FThread) return false;
  FThread->RunDuePasses();
  return true;
}

std::optional<TVQ_SimulWorkerState> TVQ_SimulDevice::WorkerState() const {
  std::lock_guard lock(FPortLock);
  if (!FThread) return std::nullopt;
  return FThread->State();
}

void TVQ_SimulDevice::SetRandomSeed(uint64_t seed) {
  std::lock_guard lock(FFrameLock);
  FRandom.seed(seed);
}

int TVQ_SimulDevice::ChannelCount() const {
  std::lock_guard lock(FFrameLock);
  return FChannelCount;
}

uint8_t TVQ_SimulDevice::Scrambler() const {
  std::lock_guard lock(FFrameLock);
  return FScrambler;
}

// ---- commands -------------------------------------------------------------------

namespace {

// What one accepted command asks the device to do, taken from the
// interpreter under its lock and carried out after it.
struct TSimulCommand {
  bool ResetPhaseDiff = false;
  bool WriteFRAM = false;
  uint16_t FRAMAdr = 0;
  std::string FRAMContent;
  std::optional<uint8_t> Rate;
  std::optional<int> ChannelCount;
  std::optional<uint8_t> Mode;
  std::optional<uint8_t> Scrambler;
};

constexpr uint8_t kRawDataMode = 6;

}  // namespace

bool TVQ_SimulDevice::DeviceWrite(std::string& data) {
  std::lock_guard portLock(FPortLock);  // keeps the worker while the command uses it
  if (!FThread) {
    SetError(TVQ_Result::VQ_DeviceNotConnected, "SimulDevice closed");
    Log("TVQ_SimulDevice.DeviceWrite: no thread");
    return false;
  }
  const bool logOn = LogWanted(LogId());
  if (logOn) Log("TVQ_SimulDevice.DeviceWrite " + HexDump(data));

  TSimulCommand cmd;
  {
    std::unique_lock lock(FCommandLock);
    if (!FCommands.CheckCommand(data)) {
      const TVQ_Result code = FCommands.ErrorCode();
      const std::string message = FCommands.ErrorMessage();
      lock.unlock();
      SetError(code, message);
      if (logOn) Log("TVQ_SimulDevice.DeviceWrite: " + message);
      return false;
    }
    cmd.WriteFRAM = FCommands.WriteFRAMCmd();
    if (cmd.WriteFRAM) {
      cmd.FRAMAdr = FCommands.FRAMAdr();
      cmd.FRAMContent = FCommands.FRAMContent();
    } else if (FCommands.ResetPhaseDiffCmd()) {
      cmd.ResetPhaseDiff = true;
    } else if (FCommands.IntervalCmd()) {
      cmd.Rate = FCommands.Rate();
    } else if (FCommands.ChannelCountCmd()) {
      cmd.ChannelCount = FCommands.ChannelCount();
    } else if (FCommands.ModeCmd()) {
      cmd.Mode = FCommands.Mode();
    } else if (FCommands.ScramblerCmd()) {
      cmd.Scrambler = FCommands.Scrambler();
    }
  }
  if (logOn) Log("{" + HexDump(data) + "}");
  LogHexToReportLog("{" + HexDump(data) + "}");

  if (cmd.WriteFRAM) {
    const std::size_t offset = cmd.FRAMAdr;
    if (offset + cmd.FRAMContent.size() > kSimulMemorySize) return true;  // the interpreter keeps it inside
    std::lock_guard frameLock(FFrameLock);
    {
      std::lock_guard memoryLock(gMemoryLock);
      std::copy(cmd.FRAMContent.begin(), cmd.FRAMContent.end(), gMemory.begin() + static_cast<std::ptrdiff_t>(offset));
    }
    // Whole blocks are answered with their frame; other offsets only change the image.
    if (offset == 0) {
      F7901ReportNeeded = true;
    } else if (offset % kSimulMemoryBlock == 0) {
      F7902ReportNeeded = static_cast<uint16_t>(F7902ReportNeeded | (1u << (offset / kSimulMemoryBlock - 1)));
    }
    return true;
  }
  if (cmd.ResetPhaseDiff) {
    SetError(TVQ_Result::VQ_CmdIgnored, "Unsupported command " + HexDump(data));
    if (logOn) Log("TVQ_SimulDevice.DeviceWrite: Unsupported command " + HexDump(data));
    return false;
  }
  if (cmd.Rate) {
    FThread->SetRate(*cmd.Rate);
  } else if (cmd.ChannelCount) {
    if (*cmd.ChannelCount >= 1 && *cmd.ChannelCount <= VQ_ChannelCount) {
      std::lock_guard frameLock(FFrameLock);
      FChannelCount = *cmd.ChannelCount;
      BuildTemplatesLocked();
    }
  } else if (cmd.Mode) {
    if (*cmd.Mode >= kRawDataMode) {
      SetError(TVQ_Result::VQ_CmdIgnored, "Unsupported command mode raw data");
      Log("TVQ_SimulDevice.DeviceWrite: Unsupported command mode raw data");
      return false;
    }
    FThread->SetMode(*cmd.Mode);
  } else if (cmd.Scrambler) {
    std::lock_guard frameLock(FFrameLock);
    FScrambler = *cmd.Scrambler;
  }
  return true;
}

// ---- frames -----------------------------------------------------------------------

void TVQ_SimulDevice::BuildTemplatesLocked() {
  FReport = DataFrame(RateModeByte(TVQ_SimulThread::kDefaultRate, 0), ScramblerByte(FScrambler), FChannelCount);
  FReportQMT = DataFrame(kQMTHeaderHigh, 0, FChannelCount);
}

void TVQ_SimulDevice::ClearPhasesLocked() {
  FPhaseValues.fill(0.0);
  FPhaseCount.fill(0);
}

void TVQ_SimulDevice::LogHexToReportLog(std::string_view text) const {
  if (!LogWanted(ReportLogId())) return;
  LogInfo(ReportLogId(), text);
}

void TVQ_SimulDevice::Send(const std::string& frame, std::string_view logTag) {
  FBatch += frame;
  const bool reportLog = LogWanted(ReportLogId());
  const bool lowLevel = !logTag.empty() && LowLevelLog() && LogWanted(LogId());
  if (!reportLog && !lowLevel) return;
  const std::string hex = HexDump(frame);
  if (reportLog) LogInfo(ReportLogId(), hex);
  if (lowLevel) Log(std::string(logTag) + hex);
}

// One write per batch: the ring takes it whole or not at all. A full ring is
// an overflow like on a real transport: cleared, reported, written again.
void TVQ_SimulDevice::FlushBatch() {
  std::string batch;
  {
    std::lock_guard lock(FFrameLock);
    batch.swap(FBatch);
  }
  if (batch.empty() || ReceiveBuffer().WriteAnsiString(batch)) return;
  ReportOverflow("TVQ_SimulDevice.FlushBatch: receive buffer full");
  if (!ReceiveBuffer().WriteAnsiString(batch)) LogErr("TVQ_SimulDevice.FlushBatch: batch larger than the receive buffer");
}

void TVQ_SimulDevice::ReportOverflow(const std::string& why) {
  ReceiveBuffer().Clear();
  ReceiveBuffer().SetReceivedDataIgnored();  // the gap is marked even when nothing was held
  SetError(TVQ_Result::VQ_Err_ReceiveBufferOverflow, "SimulDevice: Receive buffer overflow, buffer cleared");
  LogErr(why + " -> buffer cleared");
}

uint32_t TVQ_SimulDevice::GenerateTimeStamp() {
  const uint32_t timestamp = FTimeStamp.fetch_add(1) + 1;
  std::lock_guard lock(FFrameLock);
  for (std::size_t k = 0; k < 4; ++k) F7016Report[kFrameHeader + k] = Byte(timestamp >> (24 - 8 * k));
  Send(F7016Report, "TVQ_SimulDevice.GenerateTimeStamp ");
  if (SimulatorQMTEnabled() && timestamp % 10 == kQMTTimestampPhase) GenerateQMTLocked();
  return timestamp;
}

void TVQ_SimulDevice::Generate7020(uint8_t rate, uint8_t mode) {
  std::lock_guard lock(FFrameLock);
  F7020Report[kFrameHeader] = Byte(RateModeByte(rate, mode));
  F7020Report[kFrameHeader + 1] = Byte(ScramblerByte(FScrambler));
  Send(F7020Report, "TVQ_SimulDevice.Generate7020 ");
  // The new settings start from zero phase.
  ClearPhasesLocked();
}

// Answers the requests that wait for a data pass, then the PDI and data frames.
void TVQ_SimulDevice::DataPass(uint8_t rate, uint8_t mode, int intervalMs) {
  std::unique_lock commandLock(FCommandLock);
  std::lock_guard frameLock(FFrameLock);
  const bool version = FCommands.VersionCmd();
  const bool reSync = FCommands.ReSyncCmd();
  const bool calib = FCommands.GetCalibCmd();
  // A block marked by a memory write goes first; a read request then stays
  // flagged for a later pass, so it still gets the block it asked for.
  std::optional<uint8_t> requestedBlock;
  if (F7902ReportNeeded == 0 && FCommands.GetPVHCmd()) requestedBlock = FCommands.PVHBlock();
  commandLock.unlock();

  if (version) Send(ReportFrame(VQ_Code::Version, SimulatorQMTEnabled() ? kVersionTextQMT : kVersionText), {});
  if (reSync) Send(FReSyncReport, {});
  if (calib || F7901ReportNeeded) {
    CopyMemory(F7901Report, 0);
    Send(F7901Report, {});
    F7901ReportNeeded = false;
  }
  std::optional<std::size_t> pvhOffset;
  if (F7902ReportNeeded != 0) {
    const int bit = std::countr_zero(F7902ReportNeeded);
    F7902ReportNeeded = static_cast<uint16_t>(F7902ReportNeeded & ~(1u << bit));
    pvhOffset = kSimulMemoryBlock * static_cast<std::size_t>(bit + 1);
  } else if (requestedBlock) {
    const uint8_t block = (*requestedBlock >= 2 && *requestedBlock <= 4) ? *requestedBlock : 1;
    pvhOffset = kSimulMemoryBlock * block;
  }
  if (pvhOffset && *pvhOffset + kSimulMemoryBlock <= kSimulMemorySize) {
    CopyMemory(F7902Report, *pvhOffset);
    Send(F7902Report, {});
  }
  if (SimulatorPDIEnabled()) GeneratePDILocked();
  GenerateDataLocked(rate, mode, intervalMs);
}

void TVQ_SimulDevice::GeneratePDILocked() {
  ++FPDICount;
  FPDIValue ^= 0x01;
  if (FPDICount % 2 == 0) FPDIValue ^= 0x04;
  if (FPDICount % 5 == 0) FPDIValue ^= 0x20;
  const std::string word = " " + HexText(FPDIValue, 8);
  std::copy(word.begin(), word.end(), FPDIReport.begin() + kFrameHeader);
  Send(FPDIReport, "TVQ_SimulDevice.GeneratePDI ");
}

void TVQ_SimulDevice::GenerateDataLocked(uint8_t rate, uint8_t mode, int intervalMs) {
  FReport[4] = Byte(RateModeByte(rate, mode));
  FReport[5] = Byte(ScramblerByte(FScrambler));
  FReport[6] = Byte(static_cast<unsigned>(FChannelCount));
  for (std::size_t k = 0; k < static_cast<std::size_t>(FChannelCount); ++k) {
    const TChannelConfig& config = FConfig[k];
    const double noise = NormalLocked(config.StdDev);
    double value = 0.0;
    switch (mode) {
      case 0:
      case 1:  // phase: accumulates one interval per frame
        FPhaseValues[k] += (config.Base + noise) / 1000.0 * intervalMs;
        ++FPhaseCount[k];
        value = FPhaseValues[k];
        break;
      case 2:
      case 3:  // frequency
        value = (config.Base + noise) / 1000.0;
        break;
      case 4:
      case 5:  // differences to channel 1
        value = k == 0 ? 0.0 : noise;
        break;
      default: break;
    }
    PutDouble(FReport, kFrameHeader + kBytesPerValue * k, value);
  }
  Send(FReport, "TVQ_SimulDevice.GenerateData ");
}

void TVQ_SimulDevice::GenerateQMTLocked() {
  FReportQMT[6] = Byte(static_cast<unsigned>(FChannelCount));
  for (std::size_t k = 0; k < static_cast<std::size_t>(FChannelCount); ++k) {
    const TChannelConfig& config = FConfig[k];
    PutDouble(FReportQMT, kFrameHeader + kBytesPerValue * k, config.QMTBase + NormalLocked(config.QMTStdDev));
  }
  Send(FReportQMT, "TVQ_SimulDevice.GenerateQMT ");
}

// 53 random bits: a uniform number in [0, 1) that is the same on every platform.
double TVQ_SimulDevice::UniformLocked() { return static_cast<double>(FRandom() >> 11) * 0x1.0p-53; }

// Marsaglia's polar method; the second number of each pair is not kept.
double TVQ_SimulDevice::NormalLocked(double stdDev) {
  double u = 0.0;
  double s = 0.0;
  do {
    u = 2.0 * UniformLocked() - 1.0;
    const double v = 2.0 * UniformLocked() - 1.0;
    s = u * u + v * v;
  } while (s >= 1.0 || s == 0.0);
  return stdDev * u * std::sqrt(-2.0 * std::log(s) / s);
}
