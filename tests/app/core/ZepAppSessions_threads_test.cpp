#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <stdexcept>
#include <thread>

#include "app/core/Main.h"
#include "app/data/QMT_DataManagement.h"
#include "app/output/App_SamplerEvents.h"
#include "library/core/LogUnit.h"
#include "support/FileText.h"
#include "support/TempFolder.h"

namespace {

using namespace std::chrono_literals;

// A front end whose message box runs the display tick inside it, as a modal
// box's event loop does, and whose first box may fail.
class TModalFrontEnd : public TZepFrontEnd {
 public:
  std::optional<TConnectionChoice> ChooseConnection(int, const TConnectionChoice&) override { return std::nullopt; }
  void ShowMessage(const std::string& text) override {
    Shown.push_back(text);
    if (App) {
      InBox = true;
      App->DisplayTick();
      InBox = false;
    }
    if (FailNextBox) {
      FailNextBox = false;
      throw std::runtime_error("message box failed");
    }
  }
  void SessionsChanged() override {
    ++Changes;
    if (InBox) ChangedInsideBox = true;
  }

  TZepApp* App = nullptr;
  bool FailNextBox = false;
  bool InBox = false;
  bool ChangedInsideBox = false;
  int Changes = 0;
  std::vector<std::string> Shown;
};

std::string DemoSession(int n, int rateIndex) {
  const std::string p = "Session_" + std::to_string(n) + "_";
  return p + "SessionType=0\r\n" + p + "OpenString=DemoData\r\n" + p + "ConnectionType=6\r\n" + p +
         "DemoChannels=2\r\n" + p + "DemoRate=" + std::to_string(rateIndex) + "\r\n";
}

TZepAppOptions Options(const TTempFolder& folder, bool professional = false) {
  TZepAppOptions options;
  options.ConfigFolder = folder.Path().string() + "/";
  options.Professional = professional;
  return options;
}

bool TickUntil(TZepApp& app, const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(10ms);
    app.DisplayTick();
  }
  return done();
}

int CountMessages(TZepApp& app, int code, const std::string& text) {
  const auto items = app.Messages().Snapshot();
  return static_cast<int>(std::count_if(items.begin(), items.end(), [&](const TMessageItem& item) {
    return item.Code == code && item.Text.find(text) != std::string::npos;
  }));
}

// ---- poll results ----------------------------------------------------------------------------

TEST(PollResult, EachResultHasItsMessageAndConnectionAction) {
  using C = TPollAction::TConnection;
  struct Case {
    const char* name;
    int result;
    std::string text;
    bool file, network, refClock;
    bool evaluate, logOnly;
    std::optional<TMsgType> kind;
    int code;
    C connection;
    bool reconnected;
  } cases[] = {
      {"line", MultiCode::Ok, "0900; 1", false, false, false, true, false, {}, 0, C::Keep, false},
      {"nothing", MultiCode::Ok, "", false, false, false, false, false, {}, 0, C::Keep, false},
      {"error", MultiCode::Other, "bad frame", false, false, false, false, false, mtError, 21, C::Keep, false},
      {"interrupted during reference error", MultiCode::Other, "Data transfer interrupted", false, false, true,
       false, true, {}, 0, C::Keep, false},
      {"interrupted otherwise", MultiCode::Other, "Data transfer interrupted", false, false, false, false, false,
       mtError, 21, C::Keep, false},
      {"write error", MultiCode::WriteError, "w", false, false, false, false, false, {}, 0, C::Reopen, false},
      {"server down", MultiCode::ServerDown, "s", false, true, false, false, false, {}, 0, C::Reopen, false},
      {"end of file", MultiCode::NotConnected, "EOF", true, false, false, false, false, mtInfo, 71, C::Close, false},
      {"network lost", MultiCode::NotConnected, "lost", false, true, false, false, false, mtError, 22,
       C::CloseStopServer, false},
      {"not connected", MultiCode::NotConnected, "n", false, false, false, false, false, mtError, 21, C::Keep, false},
      {"hardware fault", MultiCode::HardwareFault, "h", false, false, false, false, false, mtError, 22,
       C::CloseStopServer, false},
      {"command ignored", MultiCode::CmdIgnored, "c", false, false, false, false, false, mtError, 76, C::Keep, false},
      {"reconnected", MultiCode::Reconnected, "r", false, false, false, false, false, mtError, 31, C::Keep, true},
      {"recovered", MultiCode::Recovered, "ok", false, false, false, false, false, mtInfo, 23, C::Keep, false},
      {"exception", MultiCode::Exception, "x", false, false, false, false, false, mtError, 21, C::Keep, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TPollAction a = PollResultAction(c.result, c.text, c.file, c.network, c.refClock);
    EXPECT_EQ(a.Evaluate, c.evaluate);
    EXPECT_EQ(a.LogOnly, c.logOnly);
    EXPECT_EQ(a.Kind, c.kind);
    if (c.kind) {
      EXPECT_EQ(a.Code, c.code);
    }
    EXPECT_EQ(a.Connection, c.connection);
    EXPECT_EQ(a.Reconnected, c.reconnected);
  }
}

// ---- reopening a lost connection --------------------------------------------------------------

// The acquisition thread only closes; the main thread's tick opens again.
// When that fails the session is closed as a close closes it: "Disconnect",
// sampler event 12 (its log files close) and the front end told.
TEST(ZepAppSessions, ALostConnectionIsOpenedAgainOrClosedWithItsLogFiles) {
  TTempFolder folder;
  std::ofstream(folder.File("ZEP_App.ini")) << "SessionCount=1\r\n" << DemoSession(0, 6);
  TModalFrontEnd frontEnd;
  TZepApp app(Options(folder), frontEnd);
  ASSERT_TRUE(app.Start());
  const auto session = std::dynamic_pointer_cast<TVQSessionItem>(app.Session(0));
  ASSERT_TRUE(session);
  ASSERT_TRUE(TickUntil(app, [&] { return session->State().Measurements >= 2; }));

  session->ConnectionLost("server went away (test)");
  EXPECT_FALSE(session->DeviceOpened());
  ASSERT_TRUE(TickUntil(app, [&] { return session->DeviceOpened(); }));
  EXPECT_EQ(CountMessages(app, 21, "server went away (test)"), 1);
  EXPECT_EQ(CountMessages(app, 22, ""), 0);

  std::vector<int> events;
  std::mutex eventsLock;
  TSessionSamplerHooks hooks;
  hooks.OnEvent = [&](int, bool, int event, const std::string&) {
    std::lock_guard lock(eventsLock);
    events.push_back(event);
  };
  session->SetSamplerHooks(hooks);
  const int changes = frontEnd.Changes;
  const int disconnects = CountMessages(app, 71, "Disconnect");
  session->SetOpenParams(folder.File("gone_VQ_ReportData.txt"), ctFile, session->Color(), "");
  session->ConnectionLost("write failed (test)");
  ASSERT_TRUE(TickUntil(app, [&] { return CountMessages(app, 22, "write failed (test)") == 1; }));
  app.DisplayTick();
  EXPECT_FALSE(session->DeviceOpened());
  EXPECT_EQ(CountMessages(app, 71, "Disconnect"), disconnects + 1);
  EXPECT_GT(frontEnd.Changes, changes);
  {
    std::lock_guard lock(eventsLock);
    EXPECT_NE(std::find(events.begin(), events.end(), SamplerEvent::Closed), events.end());
  }
  for (int i = 0; i < 3; ++i) app.DisplayTick();
  EXPECT_FALSE(session->DeviceOpened()) << "one attempt only";
  app.Shutdown();
}

// ---- debug switches -----------------------------------------------------------------------------

bool DebugFileExists(const TTempFolder& folder, const std::string& name) {
  FlushLogs();
  return std::filesystem::exists(folder.File("Debug/" + name));
}

// The session's switches reach the library's logs; without keys the debug
// and stream logs follow the professional mode. (The simulated counter
// writes nothing into a stream log, so only the switch is seen of it.)
TEST(ZepAppSessions, DebugSwitchesReachTheLibraryLogs) {
  struct Case {
    const char* name;
    bool professional;
    std::string keys;
    bool debugLog, streamLog;
  } cases[] = {
      {"defaults", false, "", false, false},
      {"professional defaults", true, "", true, true},
      {"switched on", false, "Session_0_Debug_Log=True\r\nSession_0_Debug_Stream=True\r\n", true, true},
      {"professional, switched off", true, "Session_0_Debug_Log=False\r\nSession_0_Debug_Stream=False\r\n", false,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TTempFolder folder;
    std::ofstream(folder.File("ZEP_App.ini")) << "SessionCount=1\r\n" << DemoSession(0, 6) << c.keys
                                              << "Session_0_Debug_Report=False\r\n";
    TModalFrontEnd frontEnd;
    TZepApp app(Options(folder, c.professional), frontEnd);
    ASSERT_TRUE(app.Start());
    const auto session = std::dynamic_pointer_cast<TVQSessionItem>(app.Session(0));
    ASSERT_TRUE(TickUntil(app, [&] { return session->State().Measurements >= 2; }));
    EXPECT_EQ(DebugFileExists(folder, "VQ_DLL_LOG_A.txt"), c.debugLog);
    if (c.debugLog) {
      EXPECT_NE(ReadFile(folder.File("Debug/VQ_DLL_LOG_A.txt")).find("ReportLog=False, LowLevelLog=True"),
                std::string::npos);
    }
    app.Shutdown();
    const std::string ini = ReadFile(folder.File("ZEP_App.ini"));
    EXPECT_NE(ini.find(std::string("Session_0_Debug_Log=") + (c.debugLog ? "True" : "False")), std::string::npos);
    EXPECT_NE(ini.find(std::string("Session_0_Debug_Stream=") + (c.streamLog ? "True" : "False")), std::string::npos);
  }
}

// ---- the display tick ---------------------------------------------------------------------------

// A message box opened by a session change runs its own event loop: the
// tick it runs does nothing. A change that fails leaves the next one to run.
TEST(ZepAppSessions, ATickInsideAMessageBoxDoesNothingAndAFailedChangeKeepsTheNext) {
  TTempFolder folder;
  std::ofstream(folder.File("ZEP_App.ini")) << "SessionCount=2\r\n" << DemoSession(0, 6) << DemoSession(1, 6);
  TModalFrontEnd frontEnd;
  TZepApp app(Options(folder), frontEnd);
  frontEnd.App = &app;
  ASSERT_TRUE(app.Start());
  app.DisplayTick();

  TConnectionChoice missing;
  missing.ConnectionType = ctFile;
  missing.OpenString = folder.File("a_VQ_ReportData.txt");
  app.RequestChangeSession(0, missing);
  missing.OpenString = folder.File("b_VQ_ReportData.txt");
  app.RequestChangeSession(1, missing);
  frontEnd.FailNextBox = true;
  app.DisplayTick();

  EXPECT_EQ(frontEnd.Shown.size(), 2u) << "both changes tried to open";
  EXPECT_FALSE(frontEnd.ChangedInsideBox);
  EXPECT_EQ(app.Session(1)->OpenString(), missing.OpenString);
  EXPECT_EQ(CountMessages(app, 0, "Internal Exception DisplayTimer SourceChange("), 1);
  EXPECT_EQ(CountMessages(app, 0, "message box failed"), 1);
  app.Shutdown();
}

// ---- the session itself -------------------------------------------------------------------------

// Whether a serial counter is of the older generation is known from its
// version report: the acquisition thread (which polls such counters faster)
// is told when it changes, not only when the session list does.
TEST(VQSessionItem, LearningTheCounterGenerationIsAnUpdate) {
  TTempFolder folder;
  const std::string replay = folder.File("20261210_101500_A_VQ_ReportData.txt");
  std::ofstream(replay) << "7001VERSION PAV2 1.20 240101 S/N 00001234 / 20.2.5 24-08-09\r\n7020; $0900\r\n7015; 1\r\n";
  std::atomic<int> updates{0};
  TVQSessionItem session(-1, 0, [&](TSessionItem&) { ++updates; }, nullptr);
  session.SetOpenParams(replay, ctSerial, 0xFFFF00, "");
  ASSERT_EQ(session.OpenDevice(), "");
  EXPECT_TRUE(session.IsSerialColdfire());
  const int afterOpen = updates;
  for (int i = 0; i < 50 && session.State().VersionString.empty(); ++i) session.GetReport();
  EXPECT_FALSE(session.IsSerialColdfire());
  EXPECT_GT(updates.load(), afterOpen);
  session.CloseDevice(true);
}

// A QMT-only copy may keep the stores of a session that is gone: their
// records must no longer reach it.
TEST(VQSessionItem, AFreedSessionLeavesNoRecordHookInTheStoresItsCopyKeeps) {
  auto session = std::make_shared<TVQSessionItem>(-1, 0, nullptr, nullptr);
  const auto copy = TVQSessionItem::CopyQMTPart(session);
  ASSERT_TRUE(copy);
  std::atomic<int> records{0};
  TSessionSamplerHooks hooks;
  hooks.OnRecord = [&](int, bool, bool, const std::array<std::string, 10>&, std::optional<int64_t>) { ++records; };
  session->SetSamplerHooks(hooks);
  TQMT_DataManagement& qmt = copy->QMT();
  qmt.SetLogDecimalSeparator('.');
  qmt.SetSamplerLogTypes(1u << 4);
  qmt.SetAddLogStrings(true);
  ASSERT_TRUE(qmt.AddQMT("7900;       123.45;        67.89;"));
  EXPECT_EQ(records.load(), 1) << "the copy's records reach the log";

  session.reset();
  ASSERT_TRUE(qmt.AddQMT("7900;       123.46;        67.90;"));
  EXPECT_EQ(records.load(), 1);
}

}  // namespace
