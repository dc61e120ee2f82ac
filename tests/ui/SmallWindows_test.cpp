#include <gtest/gtest.h>

#include <QMdiArea>
#include <QMdiSubWindow>
#include <qcustomplot.h>

#include "UiTestSupport.h"
#include "ui/ChannelSelector.h"
#include "ui/LogTimeFormatDialog.h"
#include "ui/SizeFit.h"
#include "ui/ViewAllan.h"
#include "ui/ViewGraph.h"
#include "ui/WindowSettingsDialog.h"

namespace {

using namespace std::chrono_literals;
using SmallWindowsTest = TRunningWindowTest;

QCustomPlot* PlotOf(QWidget* view) { return view->findChild<QCustomPlot*>(); }

int TitleWidth(const QCPAxis* axis) { return QFontMetrics(axis->labelFont()).horizontalAdvance(axis->label()); }

void Show(QWidget* view, QSize size) {
  view->parentWidget()->resize(size);
  QApplication::processEvents();
  PlotOf(view)->replot();
}

// New views stay inside a small main window's work area, wherever the area
// would place them.
TEST_F(SmallWindowsTest, NewViewsOpenInsideTheWorkArea) {
  FWindow->resize(700, 460);
  QApplication::processEvents();
  const QRect area = FWindow->MdiArea()->viewport()->rect();
  for (TViewKind kind : {TViewKind::vkGraph, TViewKind::vkText, TViewKind::vkAllan, TViewKind::vkQMT,
                         TViewKind::vkGraph, TViewKind::vkAllanText}) {
    TViewChild* view = FWindow->CreateView(kind, 0);
    ASSERT_NE(view, nullptr);
    QApplication::processEvents();
    const QRect frame = view->parentWidget()->geometry();
    EXPECT_TRUE(area.contains(frame)) << static_cast<int>(kind) << ": " << frame.x() << "," << frame.y() << " "
                                      << frame.width() << "x" << frame.height() << " in " << area.width() << "x"
                                      << area.height();
  }
}

// In a narrow window the channel cells wrap onto more rows and every cell
// stays inside the strip; the value axis takes a shorter title that fits,
// and a wide window the whole one, which says what the offset is from.
TEST_F(SmallWindowsTest, GraphKeepsItsCellsAndTitlesInSmallWindows) {
  auto* graph = static_cast<TViewGraph*>(FWindow->CreateView(TViewKind::vkGraph, 0));
  ASSERT_NE(graph, nullptr);
  ASSERT_TRUE(TickUntil(*FWindow, 10s, [&] { return graph->ChannelSelector()->CellCount() == 4; }));
  Show(graph, QSize(170, 260));
  const TChannelSelector& selector = *graph->ChannelSelector();
  ASSERT_GT(selector.CellRect(4).top(), selector.CellRect(1).top());  // a second row
  for (int k = 1; k <= 4; ++k) EXPECT_TRUE(selector.rect().contains(selector.CellRect(k))) << k;

  QCPAxis* value = PlotOf(graph)->yAxis;
  Show(graph, QSize(320, 210));
  EXPECT_LE(TitleWidth(value), value->axisRect()->height()) << value->label().toStdString();
  Show(graph, QSize(900, 700));
  EXPECT_EQ(value->label().toStdString(), "Frequency − nominal frequency [Hz]");
  EXPECT_LE(TitleWidth(value), value->axisRect()->height());
}

// Decade labels of the averaging time never overlap, however many decades
// a narrow plot spans.
TEST_F(SmallWindowsTest, AllanDecadeLabelsDoNotOverlap) {
  auto* allan = static_cast<TViewAllan*>(FWindow->CreateView(TViewKind::vkAllan, 0));
  ASSERT_NE(allan, nullptr);
  QCPAxis* tau = PlotOf(allan)->xAxis;
  for (int width : {260, 400, 900}) {
    SCOPED_TRACE(width);
    tau->setRange(1e-3, 1e5);
    Show(allan, QSize(width, 260));
    const QVector<double> ticks = tau->tickVector();
    const QVector<QString> labels = tau->tickVectorLabels();
    ASSERT_GE(ticks.size(), 2);
    const QFontMetrics metrics(tau->tickLabelFont());
    for (int k = 1; k < ticks.size(); ++k) {
      const double gap = tau->coordToPixel(ticks[k]) - tau->coordToPixel(ticks[k - 1]);
      EXPECT_GT(gap, metrics.horizontalAdvance(labels[k - 1] + labels[k]) / 2.0)
          << labels[k - 1].toStdString() << " / " << labels[k].toStdString();
    }
  }
}

// The titles a plot axis chooses from: the longest that fits, the last one
// elided when none does.
TEST(SizeFit, AxisTakesTheLongestTitleThatFits) {
  TestApplication();
  QCustomPlot plot;
  SetAxisTitles(plot.yAxis, {"Phase difference [ps]", "Phase diff. [ps]", "[ps]"});
  const QFontMetrics metrics(plot.yAxis->labelFont());
  const int full = metrics.horizontalAdvance("Phase difference [ps]");
  const int shorter = metrics.horizontalAdvance("Phase diff. [ps]");
  EXPECT_EQ(FittingAxisTitle(plot.yAxis, full + 20).toStdString(), "Phase difference [ps]");
  EXPECT_EQ(FittingAxisTitle(plot.yAxis, full).toStdString(), "Phase diff. [ps]");
  EXPECT_EQ(FittingAxisTitle(plot.yAxis, shorter + 8).toStdString(), "Phase diff. [ps]");
  EXPECT_EQ(FittingAxisTitle(plot.yAxis, metrics.horizontalAdvance("[ps]") + 8).toStdString(), "[ps]");
  const QString elided = FittingAxisTitle(plot.yAxis, 12);
  EXPECT_LE(metrics.horizontalAdvance(elided), 12);
}

// Dialogs are wide enough for their whole title.
TEST_F(SmallWindowsTest, DialogsShowTheirWholeTitle) {
  TViewChild* view = FWindow->CreateView(TViewKind::vkText, 0);
  ASSERT_NE(view, nullptr);
  TWindowSettingsDialog settings(view->Model());
  TLogTimeFormatDialog time("YYMMDD HHNNSS.ZZZ", false, false);
  for (QDialog* dialog : std::initializer_list<QDialog*>{&settings, &time}) {
    QFont bold = dialog->font();
    bold.setBold(true);
    EXPECT_GT(dialog->minimumWidth(), QFontMetrics(bold).horizontalAdvance(dialog->windowTitle()) + 100)
        << dialog->windowTitle().toStdString();
  }
}

}  // namespace
