#include "ui/ChannelSelector.h"

#include <gtest/gtest.h>

#include <QMdiSubWindow>
#include <QTest>
#include <qcustomplot.h>

#include "app/core/App_Settings.h"
#include "ui/ViewGraph.h"
#include "ui/ViewText.h"
#include "UiTestSupport.h"

namespace {

using namespace std::chrono_literals;

class ChannelSelectorTest : public TRunningWindowTest {
 protected:
  template <typename T>
  T* Create(TViewKind kind) {
    auto* view = static_cast<T*>(FWindow->CreateView(kind, 0));
    if (view && view->parentWidget()) view->parentWidget()->resize(900, 400);
    QApplication::processEvents();
    return view;
  }

  static void Click(TChannelSelector* selector, int channel, Qt::MouseButton button = Qt::LeftButton) {
    QTest::mouseClick(selector, button, Qt::NoModifier, selector->CellRect(channel).center());
  }
};

// A left click hides the channel in the model and the graph drops its
// curve; a second click brings it back. A right click flips the persist flag
// and leaves the channel shown. Clicks beside the cells change nothing.
TEST_F(ChannelSelectorTest, ClicksToggleTheGraphsChannels) {
  auto* graph = Create<TViewGraph>(TViewKind::vkGraph);
  ASSERT_NE(graph, nullptr);
  TChannelSelector* selector = graph->ChannelSelector();
  ASSERT_NE(selector, nullptr);
  ASSERT_TRUE(TickUntil(*FWindow, 10s, [&] { return graph->PointCount(2) > 5 && selector->CellCount() == 4; }));
  EXPECT_TRUE(graph->CurveShown(2));

  Click(selector, 2);
  EXPECT_FALSE(graph->Model().ChannelData().Enabled(2));
  graph->Tick();
  EXPECT_FALSE(graph->CurveShown(2));
  EXPECT_TRUE(graph->CurveShown(1));
  EXPECT_TRUE(graph->CurveShown(3));

  Click(selector, 3, Qt::RightButton);
  EXPECT_TRUE(graph->Model().ChannelData().PersistFlag(3));
  EXPECT_TRUE(graph->Model().ChannelData().Enabled(3));
  EXPECT_EQ(graph->Model().ChannelData().EnabledText().substr(0, 4), "1011");

  // Past the last cell (only four channels exist) nothing is hit.
  const QRect last = selector->CellRect(4);
  EXPECT_EQ(selector->ChannelAt(last.center() + QPoint(last.width(), 0)), 0);
  EXPECT_TRUE(selector->CellRect(5).isEmpty());
  QTest::mouseClick(selector, Qt::LeftButton, Qt::NoModifier, last.center() + QPoint(last.width(), 0));
  EXPECT_EQ(graph->Model().ChannelData().EnabledText(), "101111111111111111111111");

  Click(selector, 2);
  FWindow->DisplayTick();
  EXPECT_TRUE(graph->CurveShown(2));
}

// A hidden curve does not stretch the value axis: hiding outliers brings
// the remaining curve back into view. Channel 1 has no predecessor, so its
// curve is flat while the others scatter.
TEST_F(ChannelSelectorTest, HiddenCurvesDoNotScaleTheValueAxis) {
  auto* graph = Create<TViewGraph>(TViewKind::vkGraph);
  ASSERT_NE(graph, nullptr);
  graph->SetMode(gmPhasePredecessor);
  ASSERT_TRUE(TickUntil(*FWindow, 10s, [&] { return graph->PointCount(4) > 5; }));
  for (int k : {2, 3, 4}) graph->ChannelSelector()->Apply(TChannelClickAction::ccaToggleEnabled, k);
  FWindow->DisplayTick();
  bool found = false;
  const QCPRange shown = graph->Plot()->graph(0)->getValueRange(found);
  ASSERT_TRUE(found);
  const QCPRange axis = graph->Plot()->yAxis->range();
  // Channel 1's values and the margin alone make up the axis.
  const double margin = shown.size() > 0 ? shown.size() * 0.05 : (shown.lower != 0 ? std::abs(shown.lower) * 1e-3 : 1.0);
  EXPECT_NEAR(axis.lower, shown.lower - margin, margin * 1e-6);
  EXPECT_NEAR(axis.upper, shown.upper + margin, margin * 1e-6);
}

// The counter text view drops the rows of hidden channels; the selection is
// kept with the view's keys and comes back on the next start.
TEST_F(ChannelSelectorTest, TextRowsFollowAndTheSelectionIsSaved) {
  auto* text = Create<TViewCounterText>(TViewKind::vkText);
  ASSERT_NE(text, nullptr);
  ASSERT_TRUE(TickUntil(*FWindow, 10s, [&] { return text->Text().contains("\nA4 "); }));
  Click(text->ChannelSelector(), 3);
  FWindow->DisplayTick();
  EXPECT_FALSE(text->Text().contains("\nA3 ")) << text->Text().toStdString();
  EXPECT_TRUE(text->Text().contains("\nA4 "));
  const std::string name = text->Model().Name();
  FWindow->close();
  FWindow.reset();

  FWindow = std::make_unique<TZepMainWindow>(TestOptions(FDir.path()));
  ASSERT_TRUE(FWindow->Start());
  TViewChild* restored = nullptr;
  for (TViewChild* view : FWindow->Views())
    if (view->Kind() == TViewKind::vkText && view->Model().ChannelData().EnabledText().substr(0, 4) == "1101") restored = view;
  ASSERT_NE(restored, nullptr) << "no counter text view came back with channel 3 hidden (was " << name << ")";
}

// The QMT view's cells, and a graph's in QMT mode, are the session's
// time-interval channels.
TEST_F(ChannelSelectorTest, QmtViewsSelectTimeIntervalChannels) {
  Multi_SetDemoOptions(false, true);
  FWindow.reset();
  FWindow = std::make_unique<TZepMainWindow>(TestOptions(FDir.path()));
  FWindow->show();
  ASSERT_TRUE(FWindow->Start());
  auto* qmt = Create<TViewQmtText>(TViewKind::vkQMT);
  auto* graph = Create<TViewGraph>(TViewKind::vkGraph);
  ASSERT_TRUE(qmt && graph);
  graph->SetMode(gmQMTdiff);
  const bool filled = TickUntil(*FWindow, 10s, [&] {
    return qmt->ChannelSelector()->CellCount() > 1 && qmt->Text().contains("\nQA2 ") && graph->PointCount(2) > 0;
  });
  Multi_SetDemoOptions(false, false);
  ASSERT_TRUE(filled) << qmt->Text().toStdString();
  EXPECT_EQ(qmt->Model().ChannelData().Id(1).rfind("QMT_", 0), 0u) << qmt->Model().ChannelData().Id(1);
  Click(qmt->ChannelSelector(), 2);
  FWindow->DisplayTick();
  EXPECT_FALSE(qmt->Text().contains("\nQA2 ")) << qmt->Text().toStdString();

  EXPECT_EQ(graph->Model().ChannelData().Id(1), qmt->Model().ChannelData().Id(1));
  EXPECT_EQ(graph->ChannelSelector()->CellCount(), qmt->ChannelSelector()->CellCount());
  EXPECT_TRUE(graph->CurveShown(2));
  Click(graph->ChannelSelector(), 2);
  EXPECT_FALSE(graph->CurveShown(2));
  EXPECT_TRUE(graph->CurveShown(1));
}

}  // namespace
