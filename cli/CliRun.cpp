#include "cli/CliRun.h"

#include <arpa/inet.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <sstream>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "app/core/App_LogSetup.h"
#include "app/core/App_UsbAttach.h"
#include "app/core/Main.h"
#include "app/data/PAV_DataManagement.h"
#include "app/output/ZEP_MultiSampler.h"
#include "cli/CliLiveOutput.h"
#include "cli/CliTable.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto kDisplayTick = 100ms;
constexpr auto kCheckTick = 60s;
constexpr auto kTableEvery = 1s;

// The kind of connection a connection string names, as the connection
// dialog would have set it; serial and USB names are not told apart.
int ConnectionTypeOf(const std::string& connection) {
  const auto starts = [&](std::string_view prefix) { return connection.rfind(prefix, 0) == 0; };
  if (connection == "DemoData") return ctDemo;
  if (connection == "none") return ctUnknown;
  if (starts("TCP:") || starts("ARCHIVE:")) return ctTCPServer;
  if (starts("CAN:")) return ctCAN;
  if (starts("HOST:/")) return ctNetwork;
  const std::string head = connection.substr(0, connection.find_first_of(": "));
  in_addr address{};
  if (::inet_pton(AF_INET, head.c_str(), &address) == 1) return ctNetwork;
  std::error_code ignored;
  if (std::filesystem::is_regular_file(connection.substr(0, connection.find(" LOOP_FOR_EVER")), ignored) ||
      connection.find(" WAIT_INTERVAL") != std::string::npos || connection.find(" LOOP_FOR_EVER") != std::string::npos)
    return ctFile;
  return ctUnknown;
}

// The terminal as the front end: the connections of the command line, or
// on a first start without them the simulated counter; message boxes go to
// the error stream. Stored sessions that cannot be opened (no connection
// string, a kind this program lacks) are never replaced by a simulated
// counter: with nothing else to run, the run ends and their settings stay
// as they are. Nobody is asked for a connection.
class TConsoleFrontEnd : public TZepFrontEnd {
 public:
  TConsoleFrontEnd(std::ostream& out, std::ostream& err, std::vector<std::string> connections)
      : FOut(out), FErr(err), FConnections(std::move(connections)) {}
  void SetApp(const TZepApp& app) { FApp = &app; }

  std::optional<TConnectionChoice> ChooseConnection(int index, const TConnectionChoice& proposal) override {
    TConnectionChoice choice = proposal;
    if (FNext < FConnections.size()) {
      choice.OpenString = FConnections[FNext++];
      choice.ConnectionType = ConnectionTypeOf(choice.OpenString);
    } else {
      if (!FConnections.empty() || FChosen || (FApp && !FApp->Sessions().empty())) return std::nullopt;
      FChosen = true;
      choice.OpenString = "DemoData";
      choice.ConnectionType = ctDemo;
      choice.ClearBuffer = false;
    }
    FOut << "zep-cli: session " << SessionLetter(index) << " connects to " << choice.OpenString << "\n";
    return choice;
  }
  bool AsksForConnection() const override { return false; }
  void ShowMessage(const std::string& text) override { FErr << "zep-cli: " << text << "\n"; }

  // The connections not used yet.
  bool HasMoreConnections() const { return FNext < FConnections.size(); }
  const std::string& NextConnection() const { return FConnections[FNext]; }
  void SkipConnection() { ++FNext; }

 private:
  std::ostream& FOut;
  std::ostream& FErr;
  const std::vector<std::string> FConnections;
  std::size_t FNext = 0;
  const TZepApp* FApp = nullptr;
  bool FChosen = false;
};

// The connections of the command line that the start did not use become
// new sessions, unless a session already connects there.
void AddConnections(TZepApp& app, TConsoleFrontEnd& frontEnd, std::ostream& out) {
  while (frontEnd.HasMoreConnections()) {
    const std::string& connection = frontEnd.NextConnection();
    const auto sessions = app.Sessions();
    const auto same = std::find_if(sessions.begin(), sessions.end(),
                                   [&](const auto& session) { return session->OpenString() == connection; });
    if (same != sessions.end()) {
      out << "zep-cli: session " << (*same)->Letter() << " connects to " << connection << " already\n";
      frontEnd.SkipConnection();
      continue;
    }
    app.NewSession();  // takes the next connection; a failure is shown and posted
  }
}

// "0900 (Phase, 1 s)", "-" before the first data.
std::string HeaderText(uint32_t header) {
  if (header >= 0x10000) return "-";
  const TVQHeader decoded(static_cast<uint16_t>(header));
  return HexText(header, 4) + " (" + std::string(decoded.ModeText()) + ", " + std::string(decoded.IntervalText()) + ")";
}

// What the table shows of the sessions' progress: it is shown again only
// when this changed, so no second is shown twice.
std::string TableKey(TZepApp& app) {
  std::string key;
  for (const auto& base : app.Sessions())
    if (const auto session = std::dynamic_pointer_cast<TVQSessionItem>(base))
      key += std::to_string(session->State().LastSecond) + (session->DeviceOpened() ? "o" : "c") + " ";
  return key;
}

std::string Table(TZepApp& app) {
  std::ostringstream out;
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
  return out.str();
}

// "12:00:01 INFO  A Connected to: DemoData": the kind in words, the session
// letter, the text; "-" names the application.
std::vector<std::string> MessageLines(TZepApp& app) {
  std::vector<std::string> lines;
  for (const TAppMessage& message : app.TakeMessages()) {
    const std::time_t time = std::chrono::system_clock::to_time_t(message.Time);
    std::tm local{};
    ::localtime_r(&time, &local);
    char clock[16];
    std::strftime(clock, sizeof clock, "%H:%M:%S", &local);
    const char* kind = message.Kind == mtError ? "ERROR  " : message.Kind == mtWarning ? "WARNING" : "INFO   ";
    const char letter = message.SessionIndex >= 0 ? SessionLetter(message.SessionIndex) : '-';
    lines.push_back(std::string(clock) + " " + kind + " " + letter + " " + message.Text);
  }
  return lines;
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
  TConsoleFrontEnd frontEnd(out, err, options.Connections);
  TZepAppOptions appOptions;
  appOptions.ConfigFolder = options.ConfigFolder.empty() ? DefaultConfigFolder() : options.ConfigFolder;
  appOptions.Professional = options.Professional;
  appOptions.AppBaseName = "zep-cli";
  TZepApp app(appOptions, frontEnd);
  frontEnd.SetApp(app);
  if (!app.Start()) {
    for (const std::string& line : MessageLines(app)) err << line << "\n";
    err << "zep-cli: the application did not start\n";
    return 1;
  }
  AddConnections(app, frontEnd, out);
  if (logTypes) out << "Log definitions added: " << app.AddLogDefinitions(*logTypes) << "\n";
  TLiveOutput live(out, options.Terminal);
  const auto start = Clock::now();
  auto nextTable = start + kTableEvery;
  auto nextCheck = start + kCheckTick;
  std::string shownKey;
  std::string usbError;  // without udev (a container) counters are not watched
  const int usbFd = Multi_UsbMonitorStart(usbError) == MultiCode::Ok ? Multi_UsbMonitorFd() : -1;
  while (!stop.load()) {
    if (options.Duration && Clock::now() - start >= std::chrono::duration<double>(*options.Duration)) break;
    WaitTick(app, usbFd);
    app.DisplayTick();
    live.AddLines(MessageLines(app));
    if (Clock::now() >= nextCheck) {
      app.CheckTick();
      nextCheck += kCheckTick;
    }
    if (Clock::now() >= nextTable) {
      nextTable += kTableEvery;
      if (std::string key = TableKey(app); key != shownKey) {
        shownKey = std::move(key);
        live.ShowTable(Table(app));
      }
    }
  }
  Multi_UsbMonitorStop();
  live.KeepTable();
  app.Shutdown();
  live.AddLines(MessageLines(app));
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
