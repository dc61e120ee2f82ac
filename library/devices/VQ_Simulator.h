#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>

#include "library/core/VQ_Commands.h"
#include "library/core/VQ_CommonTypes.h"
#include "library/devices/VQ_BaseDevice.h"

// ---- process-wide switches and memory of every simulated counter -----------

// PDI simulation adds a PDI frame to every data frame; QMT simulation adds a
// QMT frame after some timestamps and names QMT in the version text. Both are
// off at start. Safe to call while simulators run.
void SetSimulatorOptions(bool pdi, bool qmt);
bool SimulatorPDIEnabled();
bool SimulatorQMTEnabled();

// The memory image all simulated counters share: the calibration block
// (bytes 0..127) and four PVH blocks of 128 bytes.
inline constexpr std::size_t kSimulMemorySize = 640;
inline constexpr std::size_t kSimulMemoryBlock = 128;
// A copy of `len` bytes from `offset` (clipped to the image).
std::string SimulatorMemory(std::size_t offset, std::size_t len);

class TVQ_SimulDevice;

// What the worker of a simulated counter currently runs (for diagnostics and
// tests).
struct TVQ_SimulWorkerState {
  uint8_t Rate = 0;
  uint8_t Mode = 0;
  int IntervalMs = 0;
  int NextWaitMs = 0;
};

// The worker of a simulated counter: paces timestamp and data frames on the
// interval grid and applies interval and mode commands at the next switch
// point, all together.
//
// Passes run on absolute deadlines of the device's clock: the k-th pass of a
// pass period is due at its start + k x period, so the rate holds over hours
// however late a wake-up comes. The loop sleeps at least kBatchMs (never more
// than 100 ms), then runs every pass that is due and hands their frames to
// the receive ring in one write: one wake-up of the reader per batch, not per
// frame. Catching up after a stall is bounded to one second of passes; older
// passes are skipped and reported as a receive buffer overflow.
// Constructed without a thread, it does nothing on its own: the caller steps
// it with ExecutePass or RunDuePasses.
//
// Threads: SetRate and SetMode come from the command caller, the passes from
// the loop; one lock covers the current and the pending settings, so a
// pending change is always taken over as one unit. The schedule belongs to
// whoever runs the passes.
class TVQ_SimulThread {
 public:
  static constexpr uint8_t kNoMode = 255;
  static constexpr uint8_t kNoRate = 255;
  static constexpr int kNoInterval = 0;
  static constexpr int kNoCount = -1;
  static constexpr uint8_t kDefaultRate = 9;  // 1000 ms
  static constexpr int kMaxWaitMs = 100;      // one timestamp step
  static constexpr int kBatchMs = 10;         // shortest sleep between two batches
  static constexpr std::chrono::seconds kMaxCatchUp{1};
  using TimePoint = TVQ_Clock::Monotonic::time_point;

  TVQ_SimulThread(TVQ_SimulDevice& aOwner, bool startThread);
  ~TVQ_SimulThread();  // ends and joins the loop
  TVQ_SimulThread(const TVQ_SimulThread&) = delete;
  TVQ_SimulThread& operator=(const TVQ_SimulThread&) = delete;

  // A rate code 0..13; other codes are ignored (logged).
  void SetRate(uint8_t value);
  // A measurement mode; a different one takes effect at the next switch point.
  void SetMode(uint8_t value);
  // One pass of the loop: what is due after one pause.
  void ExecutePass();
  // Every pass due by now on the device's clock (see above); the time the
  // next one is due.
  TimePoint RunDuePasses();
  // Ends the loop (wakes its pause) and waits for it. Idempotent.
  void Terminate();

  TVQ_SimulWorkerState State() const;

 private:
  void Execute();
  int NextWaitMs() const;
  void SetIntervalLocked(int ms);
  bool SwitchPointDueLocked() const;
  void SwitchLocked();
  void TimestampStepLocked();
  void DataStepLocked();
  std::string CountersText() const;  // FLock held
  void Log(const std::string& text) const;
  bool LogOn() const;

  TVQ_SimulDevice& FOwner;

  mutable std::mutex FLock;
  bool FDo7020 = false;
  bool FnewDo7020 = false;
  uint8_t FMode = 0;
  uint8_t FnewMode = kNoMode;
  uint8_t FRate = 0;
  uint8_t FnewRate = kNoRate;
  int FInterval = kNoInterval;
  int FnewInterval = kNoInterval;
  int FDataPerTimestamp = 0;
  int FnewDataPerTimestamp = kNoCount;
  int FDataCounter = 0;
  int FTimestampPerData = 0;
  int FnewTimestampPerData = kNoCount;
  int FTimestampCounter = 0;
  bool FFirstTimestampNeeded = true;
  int FnextWaitMs = kMaxWaitMs;

  // The pass schedule: pass k of the current period is due at FStart + k x FPeriod.
  struct TSchedule {
    TimePoint Start;
    std::chrono::nanoseconds Period{0};
    uint64_t Passes = 0;  // passes run or skipped since Start
  };
  TSchedule FSchedule;

  std::atomic<bool> FTerminated{false};
  std::thread FThread;  // not started for a stepped worker
};

// A counter without hardware: its worker writes the frames a counter sends
// into the receive ring and answers the commands the command interpreter
// accepts (interval, mode, channel count, scrambler, version, re-sync,
// memory reads and writes).
//
// Threads: OpenPort, ClosePort and DeviceWrite may come from any thread while
// the worker runs. FPortLock serialises them and keeps the worker alive while
// a command uses it; FCommandLock covers the interpreter; FFrameLock covers
// the templates and everything the data pass fills in. Lock order:
// FPortLock, worker lock, FCommandLock, FFrameLock, memory image lock; the
// command path never holds FCommandLock while it calls the worker.
class TVQ_SimulDevice : public TVQ_BaseDevice {
 public:
  struct TChannelConfig {
    double Base = 1.0E7;
    double StdDev = 0.001;
    double QMTBase = 3.3E6;
    double QMTStdDev = 10000.15;
  };

  static constexpr uint16_t kLowestPVHOffset = 128;

  TVQ_SimulDevice(int aLogId, int aMultiId, TVQ_Event* aReceiveEvent, bool aDoResetEvent,
                  const TVQ_Clock& clock = SystemClock());
  ~TVQ_SimulDevice() override;

  std::string ClassName() const override { return "TVQ_SimulDevice"; }

  bool OpenPort(std::string& errorMsg) override;
  bool ClosePort() override;
  bool CheckDeviceClosed() override;
  bool DeviceWrite(std::string& data) override;

  // ---- stepping without a thread (tests) -----------------------------------
  // Opens like OpenPort, but the worker runs only when StepWorker is called.
  bool OpenPortStepped();
  // One pass of the worker; false when the port is closed.
  bool StepWorker();
  // Every pass due by now on the device's clock; false when the port is closed.
  bool StepWorkerDue();
  // Seeds the noise of the channel values (random_device by default).
  void SetRandomSeed(uint64_t seed);

  int ChannelCount() const;
  uint8_t Scrambler() const;
  uint32_t TimeStamp() const { return FTimeStamp.load(); }
  std::optional<TVQ_SimulWorkerState> WorkerState() const;

 private:
  friend class TVQ_SimulThread;
  using TChannelArray = std::array<double, VQ_ChannelCount>;

  bool StartWorker(bool startThread);
  void StopWorker();

  // ---- called by the worker, with the worker's lock held -------------------
  uint32_t GenerateTimeStamp();
  void Generate7020(uint8_t rate, uint8_t mode);
  void DataPass(uint8_t rate, uint8_t mode, int intervalMs);

  // With FFrameLock held.
  void BuildTemplatesLocked();
  void ClearPhasesLocked();
  void GenerateDataLocked(uint8_t rate, uint8_t mode, int intervalMs);
  void GeneratePDILocked();
  void GenerateQMTLocked();
  double NormalLocked(double stdDev);
  double UniformLocked();

  // Frames of the running passes collect in FBatch (FFrameLock held) and go
  // into the receive ring together.
  void Send(const std::string& frame, std::string_view logTag);
  void FlushBatch();
  // Frames that will never be delivered: the reader is told through a cleared
  // ring and an overflow error.
  void ReportOverflow(const std::string& why);
  void LogHexToReportLog(std::string_view text) const;

  TVQ_CommandInterpreter FCommands;
  std::mutex FCommandLock;  // FCommands

  mutable std::mutex FFrameLock;
  std::array<TChannelConfig, VQ_ChannelCount> FConfig{};
  TChannelArray FPhaseValues{};
  std::array<int64_t, VQ_ChannelCount> FPhaseCount{};
  int FChannelCount = 4;
  uint8_t FScrambler = 0;
  std::string FReport;
  std::string FReportQMT;
  std::string FPDIReport;
  uint32_t FPDIValue = 0xFFFFFFFF;
  uint32_t FPDICount = 0;
  std::string FReSyncReport;
  std::string F7020Report;
  std::string F7901Report;
  std::string F7902Report;
  bool F7901ReportNeeded = false;
  uint16_t F7902ReportNeeded = 0;
  std::string F7016Report;
  std::string FBatch;
  std::mt19937_64 FRandom;

  std::atomic<uint32_t> FTimeStamp{0};

  mutable std::mutex FPortLock;
  std::unique_ptr<TVQ_SimulThread> FThread;
};
