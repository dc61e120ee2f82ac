#include <gtest/gtest.h>

#include <QComboBox>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <fstream>
#include <sstream>

#include "app/core/App_Settings.h"
#include "app/core/ZEP_Sessions.h"
#include "app/core/ZEP_Settings.h"
#include "ui/ChannelSelector.h"
#include "ui/ViewGraph.h"
#include "ui/ViewText.h"
#include "ui/WindowSettingsDialog.h"
#include "UiTestSupport.h"

namespace {

using namespace std::chrono_literals;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// Two simulated counters at 10 ms: A with four channels, B with two; no
// views until a test makes them.
class SessionWindowsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApplication();
    Multi_SetDemoOptions(false, true);  // the counters carry time-interval channels
    ASSERT_TRUE(FDir.isValid());
    std::ofstream ini(FDir.filePath("ZEP_App.ini").toStdString());
    ini << "SessionCount=2\nChildCount=0\n";
    for (const auto& [index, channels] : {std::pair{0, 4}, std::pair{1, 2}})
      ini << "Session_" << index << "_SessionType=0\n"
          << "Session_" << index << "_OpenString=DemoData\n"
          << "Session_" << index << "_ConnectionType=6\n"
          << "Session_" << index << "_DemoChannels=" << channels << "\n"
          << "Session_" << index << "_DemoRate=3\n";
  }
  void TearDown() override { Multi_SetDemoOptions(false, false); }

  std::unique_ptr<TZepMainWindow> StartWindow() {
    auto window = std::make_unique<TZepMainWindow>(TestOptions(FDir.path()));
    window->resize(1200, 900);
    window->show();
    EXPECT_TRUE(window->Start());
    return window;
  }

  template <typename T = TViewChild>
  static T* Create(TZepMainWindow& window, TViewKind kind, int session, int second = -1) {
    TViewChild* view = window.CreateView(kind, session);
    EXPECT_NE(view, nullptr);
    if (view && second >= 0) window.SetSecondSession(*view, second);
    return static_cast<T*>(view);
  }

  static std::vector<TViewChild*> ViewsOfKind(TZepMainWindow& window, TViewKind kind) {
    std::vector<TViewChild*> views;
    for (TViewChild* view : window.Views())
      if (view->Kind() == kind) views.push_back(view);
    return views;
  }

  std::string Ini() const { return ReadFile(FDir.filePath("ZEP_App.ini").toStdString()); }

  QTemporaryDir FDir;
};

// The user picks B in the window settings of a graph, a counter table and
// a QMT table of A: B's curves and rows appear beside A's, in B's own strip;
// "(none)" takes them away again.
TEST_F(SessionWindowsTest, ViewsShowTheSecondSessionChosenInTheWindowSettings) {
  auto window = StartWindow();
  auto* graph = Create<TViewGraph>(*window, TViewKind::vkGraph, 0);
  auto* text = Create<TViewText>(*window, TViewKind::vkText, 0);
  auto* qmt = Create<TViewText>(*window, TViewKind::vkQMT, 0);
  ASSERT_TRUE(graph && text && qmt);
  for (TViewChild* view : std::initializer_list<TViewChild*>{graph, text, qmt}) {
    TWindowSettingsDialog dialog(view->Model(), window->SecondSessionChoices());
    QComboBox* box = dialog.SecondSessionBox();
    ASSERT_NE(box, nullptr);
    ASSERT_EQ(box->count(), 3);
    EXPECT_EQ(box->itemText(0), "(none)");
    EXPECT_EQ(box->itemText(2), "B: DemoData");
    box->setCurrentIndex(2);
    window->ChangeWindowSettings(*view, dialog.Settings());
    EXPECT_EQ(view->SecondSession(), window->App().Session(1).get());
    EXPECT_EQ(view->windowTitle(), view == graph ? "[A] Graph" : view == text ? "[A] Counter Values" : "[A] QMT Values");
  }
  ASSERT_TRUE(TickUntil(*window, 15s, [&] {
    return graph->PointCount(4, 1) > 5 && graph->PointCount(2, 2) > 5 && text->Text().contains("\nB2 ") &&
           qmt->Text().contains("\nQB1 ");
  })) << graph->PointCount(4, 1) << " " << graph->PointCount(2, 2) << "\n"
      << text->Text().toStdString() << qmt->Text().toStdString();
  EXPECT_TRUE(graph->CurveShown(2, 2));
  EXPECT_FALSE(graph->CurveShown(3, 2));  // B has two channels
  EXPECT_EQ(graph->PointCount(3, 2), 0);
  ASSERT_NE(graph->ChannelSelector(2), nullptr);
  EXPECT_TRUE(graph->ChannelSelector(2)->isVisibleTo(graph));
  EXPECT_EQ(graph->ChannelSelector(2)->CellCount(), 2);
  const std::string table = text->Text().toStdString();
  EXPECT_LT(table.find("\nA4 "), table.find("\nB1 ")) << table;
  EXPECT_EQ(table.find("\nB3 "), std::string::npos) << table;

  // B's strip hides B's channel 1 in the table and on the graph.
  graph->ChannelSelector(2)->Apply(TChannelClickAction::ccaToggleEnabled, 1);
  text->ChannelSelector(2)->Apply(TChannelClickAction::ccaToggleEnabled, 1);
  window->DisplayTick();
  EXPECT_FALSE(graph->CurveShown(1, 2));
  EXPECT_TRUE(graph->CurveShown(1, 1));
  EXPECT_FALSE(text->Text().contains("\nB1 ")) << text->Text().toStdString();
  EXPECT_TRUE(text->Text().contains("\nB2 "));

  // Hand-over items of B reach base 2 only where they concern its data.
  struct TCase {
    int What;
    int Sender;
    bool ClearsFirst;
    bool ClearsSecond;
  };
  const TCase cases[] = {
      {SyncWhat::DataReset, 1, false, true},
      {SyncWhat::RateIndex, 1, false, true},  // the second session's curves restart at its new rate
      {SyncWhat::RateIndex, 0, false, false},
      {SyncWhat::Mode, 1, false, false},
      {SyncWhat::DataReset, 0, true, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(SyncWhatName(c.What) + " from " + std::to_string(c.Sender));
    ASSERT_TRUE(TickUntil(*window, 10s, [&] { return graph->PointCount(2, 1) > 0 && graph->PointCount(2, 2) > 0; }));
    const int first = graph->PointCount(2, 1);
    const int second = graph->PointCount(2, 2);
    window->HandOver(TMainSyncData(c.What, 3, 10, "", window->App().Session(c.Sender)));
    EXPECT_EQ(graph->PointCount(2, 1), c.ClearsFirst ? 0 : first);
    EXPECT_EQ(graph->PointCount(2, 2), c.ClearsSecond ? 0 : second);
  }

  // In QMT differences both bases show time-interval channels; a mode
  // change starts both afresh (no points of the old quantity stay behind).
  ASSERT_TRUE(TickUntil(*window, 10s, [&] { return graph->PointCount(1, 1) > 0; }));
  graph->SetMode(gmQMTdiff);
  EXPECT_EQ(graph->PointCount(1, 1), 0);
  EXPECT_EQ(graph->PointCount(1, 2), 0);
  EXPECT_TRUE(TickUntil(*window, 10s, [&] { return graph->PointCount(1, 1) > 0 && graph->PointCount(1, 2) > 0; }));
  EXPECT_EQ(graph->Model().ChannelDataSecond().Id(1), "QMT_B1");

  TWindowSettings none = WindowSettingsOf(text->Model());
  ASSERT_TRUE(none.HasSecondSession);
  none.SecondSession = -1;
  window->ChangeWindowSettings(*text, none);
  EXPECT_EQ(text->SecondSession(), nullptr);
  EXPECT_FALSE(text->ChannelSelector(2)->isVisibleTo(text));
  EXPECT_FALSE(text->Text().contains("\nB2 ")) << text->Text().toStdString();
}

// A restart brings back each view's second session, the active view, and
// the session info windows where they were (a closed one stays closed but
// opens at its last place).
TEST_F(SessionWindowsTest, RestartKeepsSecondSessionsActiveViewAndInfoWindows) {
  const QRect infoB(30, 40, 500, 320);
  const QRect infoA(300, 200, 420, 260);
  {
    auto window = StartWindow();
    Create(*window, TViewKind::vkGraph, 0, 1);
    TViewChild* text = Create(*window, TViewKind::vkText, 1, 0);
    Create(*window, TViewKind::vkQMT, 1);
    ASSERT_NE(window->ShowSessionInfo(0), nullptr);
    window->InfoWindow(0)->setGeometry(infoA);
    window->InfoWindow(0)->close();
    QApplication::processEvents();
    ASSERT_EQ(window->InfoWindow(0), nullptr);
    ASSERT_NE(window->ShowSessionInfo(1), nullptr);
    window->InfoWindow(1)->setGeometry(infoB);
    window->MdiArea()->setActiveSubWindow(qobject_cast<QMdiSubWindow*>(text->parentWidget()));
    window->DisplayTick();

    // "Save Settings" writes the info windows' keys too, which the core's
    // save removes first.
    window->SaveAllSettings();
    const std::string saved = Ini();
    EXPECT_TRUE(Contains(saved, "Info_1_Visible=True")) << saved;
    EXPECT_TRUE(Contains(saved, "Info_0_Visible=False")) << saved;
    EXPECT_TRUE(Contains(saved, "Main_ActiveView=2")) << saved;
    window->close();
  }
  const std::string ini = Ini();
  EXPECT_TRUE(Contains(ini, "View_1_SecondSession=1")) << ini;
  EXPECT_TRUE(Contains(ini, "View_2_SecondSession=0")) << ini;
  EXPECT_TRUE(Contains(ini, "View_3_SecondSession=-1")) << ini;
  EXPECT_TRUE(Contains(ini, "Info_1_Left=30")) << ini;

  auto window = StartWindow();
  const auto graphs = ViewsOfKind(*window, TViewKind::vkGraph);
  const auto texts = ViewsOfKind(*window, TViewKind::vkText);
  const auto qmts = ViewsOfKind(*window, TViewKind::vkQMT);
  ASSERT_EQ(graphs.size(), 1u);
  ASSERT_EQ(texts.size(), 1u);
  ASSERT_EQ(qmts.size(), 1u);
  EXPECT_EQ(graphs[0]->SecondSession(), window->App().Session(1).get());
  EXPECT_EQ(texts[0]->Session(), window->App().Session(1).get());
  EXPECT_EQ(texts[0]->SecondSession(), window->App().Session(0).get());
  EXPECT_EQ(qmts[0]->SecondSession(), nullptr);
  ASSERT_NE(window->MdiArea()->currentSubWindow(), nullptr);
  EXPECT_EQ(window->MdiArea()->currentSubWindow()->widget(), texts[0]);

  ASSERT_NE(window->InfoWindow(1), nullptr);
  EXPECT_EQ(window->InfoWindow(1)->geometry(), infoB);
  EXPECT_EQ(window->InfoWindow(0), nullptr);
  ASSERT_NE(window->ShowSessionInfo(0), nullptr);
  EXPECT_EQ(window->InfoWindow(0)->geometry(), infoA);
  // B's curves arrive on the restored graph.
  auto* graph = static_cast<TViewGraph*>(graphs[0]);
  EXPECT_TRUE(TickUntil(*window, 10s, [&] { return graph->PointCount(1, 2) > 0; }));
}

// Removing B empties base 2 of A's views, closes B's own views and its info
// window and drops its keys; the views go on with A.
TEST_F(SessionWindowsTest, RemovingTheSecondSessionEmptiesBaseTwo) {
  auto window = StartWindow();
  auto* graph = Create<TViewGraph>(*window, TViewKind::vkGraph, 0, 1);
  auto* text = Create<TViewText>(*window, TViewKind::vkText, 0, 1);
  Create(*window, TViewKind::vkQMT, 1, 0);
  ASSERT_TRUE(graph && text);
  ASSERT_NE(window->ShowSessionInfo(1), nullptr);
  ASSERT_TRUE(TickUntil(*window, 10s, [&] { return graph->PointCount(1, 2) > 0 && text->Text().contains("\nB1 "); }));
  window->App().Settings().SetValue("Info_1_Left", 5);  // as a save would have left it

  window->App().RequestRemoveSession(1);
  window->DisplayTick();
  QApplication::processEvents();
  EXPECT_EQ(window->App().Session(1), nullptr);
  EXPECT_EQ(graph->SecondSession(), nullptr);
  EXPECT_EQ(graph->PointCount(1, 2), 0);
  EXPECT_FALSE(graph->CurveShown(1, 2));
  EXPECT_FALSE(graph->ChannelSelector(2)->isVisibleTo(graph));
  EXPECT_TRUE(ViewsOfKind(*window, TViewKind::vkQMT).empty());
  EXPECT_EQ(window->InfoWindow(1), nullptr);
  EXPECT_FALSE(window->App().Settings().TestKeys("Info_1_"));

  const int before = graph->PointCount(1, 1);
  ASSERT_TRUE(TickUntil(*window, 10s, [&] { return graph->PointCount(1, 1) > before; }));
  EXPECT_FALSE(text->Text().contains("\nB")) << text->Text().toStdString();
  EXPECT_TRUE(text->Text().contains("\nA1 "));
  window->close();
  const std::string ini = Ini();
  EXPECT_TRUE(Contains(ini, "View_1_SecondSession=-1")) << ini;
  EXPECT_FALSE(Contains(ini, "Info_1_")) << ini;
}

// Removing A renumbers B at the shutdown save: B's info window and the
// views' session numbers follow it to number 0.
TEST_F(SessionWindowsTest, RemovingTheFirstSessionRenumbersTheRest) {
  const QRect info(50, 60, 480, 300);
  {
    auto window = StartWindow();
    auto* graph = Create<TViewGraph>(*window, TViewKind::vkGraph, 1, 0);
    ASSERT_NE(graph, nullptr);
    ASSERT_NE(window->ShowSessionInfo(1), nullptr);
    window->InfoWindow(1)->setGeometry(info);
    window->App().RequestRemoveSession(0);
    window->DisplayTick();
    QApplication::processEvents();
    EXPECT_EQ(graph->SecondSession(), nullptr);
    EXPECT_EQ(graph->Session(), window->App().Session(1).get());
    window->close();
  }
  const std::string ini = Ini();
  EXPECT_TRUE(Contains(ini, "SessionCount=1")) << ini;
  EXPECT_TRUE(Contains(ini, "View_1_Session=0")) << ini;
  EXPECT_TRUE(Contains(ini, "View_1_SecondSession=-1")) << ini;
  EXPECT_TRUE(Contains(ini, "Info_0_Visible=True")) << ini;
  EXPECT_FALSE(Contains(ini, "Info_1_")) << ini;

  auto window = StartWindow();
  ASSERT_NE(window->InfoWindow(0), nullptr);
  EXPECT_EQ(window->InfoWindow(0)->geometry(), info);
  EXPECT_EQ(ViewsOfKind(*window, TViewKind::vkGraph).size(), 1u);
}

}  // namespace
