#include "ui/ZepMainWindow.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QStatusBar>
#include <fstream>
#include <sstream>

#include "app/core/ZEP_Sessions.h"
#include "app/data/PAV_DataManagement.h"
#include "ui/SignalPipe.h"
#include "ui/ViewAllan.h"
#include "ui/ViewGraph.h"
#include "ui/ViewMessages.h"
#include "ui/ViewText.h"
#include "UiTestSupport.h"

namespace {

using namespace std::chrono_literals;

std::vector<TViewChild*> ViewsOfKind(TZepMainWindow& window, TViewKind kind) {
  std::vector<TViewChild*> views;
  for (TViewChild* view : window.Views())
    if (view->Kind() == kind) views.push_back(view);
  return views;
}

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApplication();
    // The simulated counter sends digital inputs and time intervals too.
    Multi_SetDemoOptions(true, true);
    ASSERT_TRUE(FDir.isValid());
  }
  void TearDown() override { Multi_SetDemoOptions(false, false); }

  QTemporaryDir FDir;
};

// A first start with --connect skips the dialog, opens the default windows
// of a first start, and the next start brings back the same views.
TEST_F(MainWindowTest, FirstStartOpensDefaultWindowsAndTheNextStartRestoresThem) {
  TMainWindowOptions options = TestOptions(FDir.path());
  options.Connect = "DemoData";
  {
    TZepMainWindow window(options);
    window.show();
    ASSERT_TRUE(window.Start());
    ASSERT_NE(window.App().Session(0), nullptr);
    EXPECT_EQ(window.App().Session(0)->OpenString(), "DemoData");
    ASSERT_NE(window.MessageView(), nullptr);
    const auto graphs = ViewsOfKind(window, TViewKind::vkGraph);
    ASSERT_EQ(graphs.size(), 2u);
    EXPECT_EQ(graphs[0]->windowTitle(), "[A] Graph   (1)");
    EXPECT_EQ(graphs[1]->windowTitle(), "[A] Graph   (2)");
    EXPECT_EQ(ViewsOfKind(window, TViewKind::vkText).size(), 1u);
    EXPECT_EQ(ViewsOfKind(window, TViewKind::vkQMT).size(), 1u);
    EXPECT_TRUE(ViewsOfKind(window, TViewKind::vkDebug).empty());  // professional mode only
    static_cast<TViewGraph*>(graphs[1])->SetMode(gmPhaseTheo);
    window.close();
  }
  const std::string ini = ReadFile(FDir.filePath("ZEP_App.ini").toStdString());
  EXPECT_NE(ini.find("ChildCount=4"), std::string::npos) << ini;
  EXPECT_NE(ini.find("ViewMessage_Session=-1"), std::string::npos);
  EXPECT_NE(ini.find("View_1_Id=1"), std::string::npos);

  options.Connect.clear();  // a second start must not ask for a connection
  TZepMainWindow window(options);
  ASSERT_TRUE(window.Start());
  const auto graphs = ViewsOfKind(window, TViewKind::vkGraph);
  ASSERT_EQ(graphs.size(), 2u);
  EXPECT_EQ(static_cast<TViewGraph*>(graphs[1])->Mode(), gmPhaseTheo);
  EXPECT_EQ(ViewsOfKind(window, TViewKind::vkText).size(), 1u);
  EXPECT_EQ(ViewsOfKind(window, TViewKind::vkQMT).size(), 1u);
  EXPECT_NE(window.MessageView(), nullptr);
}

TEST_F(MainWindowTest, WithoutAConnectionTheProgramDoesNotStartAndSavesNothing) {
  TZepMainWindow window(TestOptions(FDir.path()));
  EXPECT_FALSE(window.Start());
  window.close();
  EXPECT_EQ(ReadFile(FDir.filePath("ZEP_App.ini").toStdString()).find("Session"), std::string::npos);
}

// Every kind bound to a simulated counter at 10 ms shows the store's
// captions and values after a few seconds.
TEST_F(MainWindowTest, EveryViewKindShowsTheSimulatedCounter) {
  WriteSimulatorSettings(FDir.path(), 4, 3);
  TMainWindowOptions options = TestOptions(FDir.path());
  options.Professional = true;
  TZepMainWindow window(options);
  window.resize(1400, 1000);
  window.show();
  ASSERT_TRUE(window.Start());
  for (TViewChild* view : window.Views())
    if (view->Kind() != TViewKind::vkMessage && view->parentWidget()) view->parentWidget()->close();
  QApplication::processEvents();
  std::map<TViewKind, TViewChild*> views;
  for (int kind = kFirstViewKind; kind <= kLastViewKind; ++kind) {
    TViewChild* view = window.CreateView(static_cast<TViewKind>(kind), 0);
    ASSERT_NE(view, nullptr) << kind;
    views[static_cast<TViewKind>(kind)] = view;
  }
  auto* graph = static_cast<TViewGraph*>(views[TViewKind::vkGraph]);
  auto* allan = static_cast<TViewAllan*>(views[TViewKind::vkAllan]);
  const bool filled = TickUntil(window, 15s, [&] { return graph->PointCount(1) > 50 && allan->PointCount(4) >= 2; });
  EXPECT_TRUE(filled) << "graph " << graph->PointCount(1) << ", allan " << allan->PointCount(4);
  EXPECT_GT(graph->PointCount(4), 0);
  EXPECT_EQ(graph->PointCount(5), 0);  // only four channels exist
  EXPECT_TRUE(graph->CurveShown(1));
  EXPECT_TRUE(graph->CurveShown(4));
  EXPECT_FALSE(graph->CurveShown(5));
  EXPECT_TRUE(window.MessageView()->Text().contains("Connected")) << window.MessageView()->Text().toStdString();

  const auto session = window.App().Sessions().front();
  auto* counter = dynamic_cast<TVQSessionItem*>(session.get());
  ASSERT_NE(counter, nullptr);
  const std::string text = static_cast<TViewText*>(views[TViewKind::vkText])->Text().toStdString();
  for (const char* row : {"\nA1 ", "\nA4 "}) EXPECT_NE(text.find(row), std::string::npos) << text;
  EXPECT_EQ(text.find("\nA5 "), std::string::npos) << text;
  // Long captions are wrapped onto header lines: every word is there.
  for (TTextModePAV mode : {tmPhase, tmFreqAbs}) {
    std::istringstream caption(counter->PAV().GetTextModeCaption(mode));
    for (std::string word; caption >> word;) EXPECT_NE(text.find(word), std::string::npos) << word << "\n" << text;
  }
  const std::string qmt = static_cast<TViewText*>(views[TViewKind::vkQMT])->Text().toStdString();
  EXPECT_NE(qmt.find("Channel"), std::string::npos) << qmt;
  const std::string allanText = static_cast<TViewText*>(views[TViewKind::vkAllanText])->Text().toStdString();
  EXPECT_NE(allanText.find("Tau"), std::string::npos) << allanText;
  EXPECT_NE(allanText.find("10 ms"), std::string::npos) << allanText;
  EXPECT_NE(allanText.find("e-"), std::string::npos) << allanText;
  const std::string pdi = static_cast<TViewText*>(views[TViewKind::vkPDI])->Text().toStdString();
  EXPECT_NE(pdi.find("Card"), std::string::npos) << pdi;
  EXPECT_NE(pdi.find(" 1 PDI1_Bit0 "), std::string::npos) << pdi;
  // A name the user changed shows at the next tick.
  TPDICardNames names = counter->PDISignalNames()[0];
  names[0] = "Door";
  counter->SetPDISignalNames(1, names);
  RunTicks(window, 200ms);
  const std::string renamed = static_cast<TViewText*>(views[TViewKind::vkPDI])->Text().toStdString();
  EXPECT_NE(renamed.find(" 1 Door "), std::string::npos) << renamed;
  EXPECT_NE(static_cast<TViewText*>(views[TViewKind::vkRaw])->Text().indexOf("No raw data"), -1);
  EXPECT_NE(static_cast<TViewText*>(views[TViewKind::vkDebug])->Text().indexOf("DemoData"), -1);
  EXPECT_EQ(views[TViewKind::vkAllan]->windowTitle(), "[A] Allan Deviation");

  // The status bar: five fields for the one session.
  const QStringList status = window.StatusTexts();
  ASSERT_EQ(status.size(), 5);
  EXPECT_EQ(status[1], "PAV: 4, PDI: 1, QMT: 4");
  EXPECT_EQ(status[3], "Lost: 0");
  EXPECT_TRUE(status[4].startsWith("Sync: ")) << status[4].toStdString();
  // A field is as wide as its text needs.
  for (QLabel* label : window.statusBar()->findChildren<QLabel*>()) {
    if (!status.contains(label->text())) continue;
    EXPECT_GE(label->minimumWidth(), label->fontMetrics().horizontalAdvance(label->text())) << label->text().toStdString();
  }

  // A data reset of the session empties the curves until new data arrive.
  window.HandOver(TMainSyncData(SyncWhat::DataReset, 3, 0, "", window.App().Sessions().front()));
  EXPECT_EQ(graph->PointCount(1), 0);
  // A reset of another session leaves them alone.
  window.DisplayTick();
  const int before = graph->PointCount(1);
  TMainSyncData other(SyncWhat::DataReset, 3, 0, "");
  window.HandOver(other);
  EXPECT_EQ(graph->PointCount(1), before);
}

TEST_F(MainWindowTest, RemovingTheSessionClosesItsViews) {
  WriteSimulatorSettings(FDir.path(), 2, 9);
  TZepMainWindow window(TestOptions(FDir.path()));
  ASSERT_TRUE(window.Start());
  ASSERT_GT(window.Views().size(), 1u);
  window.App().RequestRemoveSession(0);
  window.DisplayTick();
  QApplication::processEvents();
  ASSERT_EQ(window.Views().size(), 1u);
  EXPECT_EQ(window.Views().front()->Kind(), TViewKind::vkMessage);
  EXPECT_TRUE(window.StatusTexts().isEmpty());
}

// SIGTERM and SIGHUP end the program as an operating-system shutdown: no
// question, settings saved.
TEST_F(MainWindowTest, TerminateSignalClosesInOrderAndSavesTheSettings) {
  for (const int signalNumber : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signalNumber);
    WriteSimulatorSettings(FDir.path(), 2, 9);
    TZepMainWindow window(TestOptions(FDir.path()));
    ASSERT_TRUE(window.Start());
    window.show();
    TSignalPipe pipe;
    ASSERT_TRUE(pipe.Installed());
    std::vector<int> received;
    QObject::connect(&pipe, &TSignalPipe::Terminate, &window, [&](int number) {
      received.push_back(number);
      window.SystemShutdown();
    });
    ::raise(signalNumber);
    const auto end = std::chrono::steady_clock::now() + 2s;
    while (received.empty() && std::chrono::steady_clock::now() < end)
      QApplication::processEvents(QEventLoop::AllEvents, 50);
    ASSERT_EQ(received, std::vector<int>{signalNumber});
    EXPECT_FALSE(window.isVisible());
    const std::string ini = ReadFile(FDir.filePath("ZEP_App.ini").toStdString());
    EXPECT_NE(ini.find("ChildCount="), std::string::npos) << ini;
    EXPECT_NE(ini.find("Session_0_OpenString=DemoData"), std::string::npos);
  }
}

}  // namespace
