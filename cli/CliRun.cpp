#include "cli/CliRun.h"

#include <poll.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "app/core/App_LogSetup.h"
#include "app/core/App_UsbAttach.h"
#include "app/core/Main.h"
#include "app/data/PAV_DataManagement.h"
#include "app/output/ZEP_MultiSampler.h"
#include "cli/CliTable.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kDisplayTick = 100ms;
constexpr auto kCheckTick = 60s;
constexpr auto kTableEvery = 1s;

// The terminal as the front end: a first start gets the simulated counter,
// message boxes go to the error stream. Stored sessions that cannot be
// opened (no connection string, a kind this program lacks) are never
// replaced by a simulated counter: with nothing else to run, the run ends
// and their settings stay as they are.
class TConsoleFrontEnd : public TZepFrontEnd {
 public:
  TConsoleFrontEnd(std::ostream& out, std::ostream& err) : FOut(out), FErr(err) {}
  void SetApp(const TZepApp& app) { FApp = &app; }

  std::optional<TConnectionChoice> ChooseConnection(int index, const TConnectionChoice& proposal) override {
    if (FChosen || (FApp && !FApp->Sessions().empty())) return std::nullopt;
    FChosen = true;
    TConnectionChoice choice = proposal;
    choice.OpenString = "DemoData";
    choice.ConnectionType = ctDemo;
    choice.ClearBuffer = false;
    FOut << "zep-cli: session " << index << " connects to a simulated counter (DemoData)\n";
    return choice;
  }
  void ShowMessage(const std::string& text) override { FErr << "zep-cli: " << text << "\n"; }

 private:
  std::ostream& FOut;
  std::ostream& FErr;
  const TZepApp* FApp = nullptr;
  bool FChosen = false;
};

// "0900 (Phase, 1 s)", "-" before the first data.
std::string HeaderText(uint32_t header) {
  if (header >= 0x10000) return "-";
  const TVQHeader decoded(static_cast<uint16_t>(header));
  return HexText(header, 4) + " (" + std::string(decoded.ModeText()) + ", " + std::string(decoded.IntervalText()) + ")";
}

void PrintTable(TZepApp& app, std::ostream& out) {
  for (const auto& base : app.Sessions()) {
    const auto session = std::dynamic_pointer_cast<TVQSessionItem>(base);
    if (!session) continue;
    const TVQSessionState state = session->State();
    out << session->Letter() << " " << session->OpenString() << (session->DeviceOpened() ? "" : " (closed)")
        << "  second " << (state.LastSecond >= 0 ? std::to_string(state.LastSecond) : std::string("-"))
        << "  header " << HeaderText(state.DataHeader)
        << "  channels " << state.ChannelCount << "  measurements " << state.Measurements << " ("
        << state.MeasurementsAtSecond << " at that second)  lines " << state.Lines << "\n";
    out << ChannelValueTable(session->PAV(), session->Letter());
  }
  out.flush();
}

void PrintMessages(TZepApp& app, std::ostream& out) {
  for (const TAppMessage& message : app.TakeMessages()) {
    const char* kind = message.Kind == mtError ? "E" : message.Kind == mtWarning ? "W" : "I";
    out << kind << " " << message.Code;
    if (message.SessionIndex >= 0) out << " " << static_cast<char>('A' + message.SessionIndex % 26);
    out << " " << message.Text << "\n";
  }
}

// Waits one display tick, or less when USB devices arrive or leave (fd -1:
// no monitor), and hands their events to the application.
void WaitTick(TZepApp& app, int usbFd) {
  if (usbFd < 0) {
    std::this_thread::sleep_for(kDisplayTick);
    return;
  }
  pollfd watched{usbFd, POLLIN, 0};
  if (::poll(&watched, 1, static_cast<int>(kDisplayTick.count())) <= 0) return;
  std::vector<TUsbEvent> events;
  if (Multi_UsbMonitorRead(events) == MultiCode::Ok) HandleUsbEvents(app, events);
}

}  // namespace

std::string DefaultConfigFolder() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) return std::string(xdg) + "/zep/";
  if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.config/zep/";
  return "./zep/";
}

int RunApp(const TRunOptions& options, const std::atomic<bool>& stop, std::ostream& out, std::ostream& err) {
  std::optional<uint32_t> logTypes;
  if (!options.LogTypes.empty()) {
    std::string error;
    logTypes = ParseLogTypes(options.LogTypes, error);
    if (!logTypes) {
      err << "zep-cli: " << error << "\n";
      return 2;
    }
  }
  TConsoleFrontEnd frontEnd(out, err);
  TZepAppOptions appOptions;
  appOptions.ConfigFolder = options.ConfigFolder.empty() ? DefaultConfigFolder() : options.ConfigFolder;
  appOptions.Professional = options.Professional;
  appOptions.AppBaseName = "zep-cli";
  TZepApp app(appOptions, frontEnd);
  frontEnd.SetApp(app);
  if (!app.Start()) {
    PrintMessages(app, err);
    err << "zep-cli: the application did not start\n";
    return 1;
  }
  if (logTypes) out << "Log definitions added: " << app.AddLogDefinitions(*logTypes) << "\n";
  const auto start = Clock::now();
  auto nextTable = start + kTableEvery;
  auto nextCheck = start + kCheckTick;
  std::string usbError;  // without udev (a container) counters are not watched
  const int usbFd = Multi_UsbMonitorStart(usbError) == MultiCode::Ok ? Multi_UsbMonitorFd() : -1;
  while (!stop.load()) {
    if (options.Duration && Clock::now() - start >= std::chrono::duration<double>(*options.Duration)) break;
    WaitTick(app, usbFd);
    app.DisplayTick();
    PrintMessages(app, out);
    if (Clock::now() >= nextCheck) {
      app.CheckTick();
      nextCheck += kCheckTick;
    }
    if (Clock::now() >= nextTable) {
      PrintTable(app, out);
      nextTable += kTableEvery;
    }
  }
  Multi_UsbMonitorStop();
  app.Shutdown();
  PrintMessages(app, out);
  // Logs asked for that never reached a file are a failed run.
  if (const TMultiSampler* sampler = app.MultiSampler()) {
    const TLogLineCounts lines = sampler->LineCounts();
    if (lines.Written == 0 && lines.Lost > 0) {
      err << "zep-cli: no log line could be written (" << lines.Lost << " lost)\n";
      return 1;
    }
  }
  return 0;
}
