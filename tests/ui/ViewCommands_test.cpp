#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTimer>
#include <qcustomplot.h>

#include "ui/ChannelSelector.h"
#include "ui/ViewGraph.h"
#include "ui/ViewText.h"
#include "ui/WindowSettingsDialog.h"
#include "UiTestSupport.h"

namespace {

using namespace std::chrono_literals;

// The dialog opens on the view's settings and gives back what the user set;
// applying them trims the title and sets columns only where a view has them.
TEST(WindowSettingsDialog, EditsTitleVirtualChannelsAndColumns) {
  TestApplication();
  TViewModel text(TViewKind::vkText);
  text.SetTitle("Lab");
  text.SetColumnEnabled({true, false, true, false, false, false});
  TWindowSettingsDialog dialog(text);
  EXPECT_EQ(dialog.TitleEdit()->text(), "Lab");
  EXPECT_FALSE(dialog.VirtualBox()->isChecked());
  ASSERT_NE(dialog.ColumnBox(5), nullptr);
  EXPECT_TRUE(dialog.ColumnBox(2)->isChecked());
  EXPECT_EQ(dialog.ColumnBox(6), nullptr);
  dialog.TitleEdit()->setText("  Rack 3  ");
  dialog.VirtualBox()->setChecked(true);
  dialog.ColumnBox(0)->setChecked(false);
  dialog.ColumnBox(5)->setChecked(true);
  ApplyWindowSettings(text, dialog.Settings());
  EXPECT_EQ(text.Title(), "Rack 3");
  EXPECT_TRUE(text.VirtualChannels());
  EXPECT_EQ(text.ColumnsText(), "001001");

  // Blanks alone give the default caption back.
  TViewModel graph(TViewKind::vkGraph);
  graph.SetTitle("Old");
  TWindowSettingsDialog graphDialog(graph);
  EXPECT_EQ(graphDialog.ColumnBox(0), nullptr);
  graphDialog.TitleEdit()->setText("   ");
  ApplyWindowSettings(graph, graphDialog.Settings());
  EXPECT_EQ(graph.Title(), "");
  EXPECT_EQ(graph.ColumnsText(), "000000");
}

class ViewCommandsTest : public TRunningWindowTest {
 protected:
  void SetUp() override {
    TRunningWindowTest::SetUp();
    if (HasFatalFailure()) return;
    for (TViewChild* view : FWindow->Views())
      if (view->Kind() != TViewKind::vkMessage && view->parentWidget()) view->parentWidget()->close();
    QApplication::processEvents();
  }

  void Activate(TViewChild* view) {
    FWindow->MdiArea()->setActiveSubWindow(qobject_cast<QMdiSubWindow*>(view->parentWidget()));
    QApplication::processEvents();
  }
};

// The two commands are offered for the kinds that have them only.
TEST_F(ViewCommandsTest, CommandsFollowTheActiveKind) {
  struct TCase {
    TViewKind Kind;
    bool WindowSettings;
    bool CenterValues;
  };
  const TCase cases[] = {
      {TViewKind::vkGraph, true, true},       {TViewKind::vkAllan, true, false},
      {TViewKind::vkText, true, false},       {TViewKind::vkRaw, true, false},
      {TViewKind::vkAllanText, true, false},  {TViewKind::vkQMT, true, false},
      {TViewKind::vkSensorText, true, false}, {TViewKind::vkPDI, false, false},
      {TViewKind::vkMessage, false, false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.Kind));
    TViewChild* view = FWindow->CreateView(c.Kind, 0);
    ASSERT_NE(view, nullptr);
    Activate(view);
    ASSERT_EQ(FWindow->ActiveView(), view);
    EXPECT_EQ(FWindow->WindowSettingsAction()->isEnabled(), c.WindowSettings);
    EXPECT_EQ(FWindow->CenterValuesAction()->isEnabled(), c.CenterValues);
  }
}

// A title set through the menu replaces the caption and the numbering of
// equal captions follows; an empty title brings the default caption back.
TEST_F(ViewCommandsTest, WindowSettingsRenumberTheCaptions) {
  TViewChild* first = FWindow->CreateView(TViewKind::vkGraph, 0);
  TViewChild* second = FWindow->CreateView(TViewKind::vkGraph, 0);
  ASSERT_TRUE(first && second);
  FWindow->DisplayTick();
  ASSERT_EQ(first->windowTitle(), "[A] Graph   (1)");
  ASSERT_EQ(second->windowTitle(), "[A] Graph   (2)");

  Activate(second);
  ASSERT_TRUE(FWindow->WindowSettingsAction()->isEnabled());
  bool answered = false;
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<TWindowSettingsDialog*>(QApplication::activeModalWidget());
    if (!dialog) return;
    answered = true;
    dialog->TitleEdit()->setText("Reference");
    dialog->accept();
  });
  FWindow->WindowSettingsAction()->trigger();
  ASSERT_TRUE(answered);
  EXPECT_EQ(first->windowTitle(), "[A] Graph");
  EXPECT_EQ(second->windowTitle(), "Reference");

  TWindowSettings settings = WindowSettingsOf(second->Model());
  settings.Title.clear();
  FWindow->ChangeWindowSettings(*second, settings);
  EXPECT_EQ(first->windowTitle(), "[A] Graph   (1)");
  EXPECT_EQ(second->windowTitle(), "[A] Graph   (2)");
}

// Columns switched off in the settings leave the counter table.
TEST_F(ViewCommandsTest, WindowSettingsSetTheTextColumns) {
  auto* text = static_cast<TViewCounterText*>(FWindow->CreateView(TViewKind::vkText, 0));
  ASSERT_NE(text, nullptr);
  ASSERT_TRUE(TickUntil(*FWindow, 10s, [&] { return text->Text().contains("\nA4 "); }));
  const QString header = text->Text().section('\n', 0, 0);
  TWindowSettings settings = WindowSettingsOf(text->Model());
  ASSERT_TRUE(settings.HasColumns);
  settings.Columns = {false, false, true, false, false, false};
  FWindow->ChangeWindowSettings(*text, settings);
  FWindow->DisplayTick();
  const QString narrowed = text->Text().section('\n', 0, 0);
  EXPECT_LT(narrowed.size(), header.size()) << narrowed.toStdString();
  EXPECT_EQ(text->Columns(), (TTextColumns{false, false, true, false, false, false}));
}

// "Center values" fits the value axis to the shown curves' points in the
// shown time range; hidden curves do not count, and with nothing shown the
// axis stays as it was.
TEST_F(ViewCommandsTest, CenterValuesFitsTheShownCurves) {
  auto* graph = static_cast<TViewGraph*>(FWindow->CreateView(TViewKind::vkGraph, 0));
  ASSERT_NE(graph, nullptr);
  graph->SetMode(gmPhasePredecessor);
  ASSERT_TRUE(TickUntil(*FWindow, 10s, [&] { return graph->PointCount(4) > 5; }));
  graph->ChannelSelector()->Apply(TChannelClickAction::ccaToggleEnabled, 3);
  QCustomPlot* plot = graph->Plot();
  plot->yAxis->setRange(1e9, 2e9);
  const QCPRange keys = plot->xAxis->range();

  Activate(graph);
  ASSERT_TRUE(FWindow->CenterValuesAction()->isEnabled());
  FWindow->CenterValuesAction()->trigger();
  bool any = false;
  double low = 0, high = 0;
  for (int k : {1, 2, 4}) {
    bool found = false;
    const QCPRange v = plot->graph(k - 1)->getValueRange(found, QCP::sdBoth, keys);
    if (!found) continue;
    low = any ? std::min(low, v.lower) : v.lower;
    high = any ? std::max(high, v.upper) : v.upper;
    any = true;
  }
  ASSERT_TRUE(any);
  const double margin = high > low ? (high - low) * 0.05 : (low != 0 ? std::abs(low) * 1e-3 : 1.0);
  EXPECT_NEAR(plot->yAxis->range().lower, low - margin, margin * 1e-6);
  EXPECT_NEAR(plot->yAxis->range().upper, high + margin, margin * 1e-6);

  for (int k : {1, 2, 4}) graph->ChannelSelector()->Apply(TChannelClickAction::ccaToggleEnabled, k);
  plot->yAxis->setRange(-5, 5);
  EXPECT_FALSE(graph->CenterValues());
  EXPECT_EQ(plot->yAxis->range(), QCPRange(-5, 5));
}

}  // namespace
