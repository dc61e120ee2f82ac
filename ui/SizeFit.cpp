#include "ui/SizeFit.h"

#include <QApplication>
#include <QDialog>
#include <QFontMetrics>
#include <algorithm>
#include <qcustomplot.h>

namespace {

const char* const kTitlesProperty = "zepAxisTitles";
constexpr int kTitleMargin = 8;
// Room the title bar needs beside the title: icon and the window buttons.
constexpr int kTitleBarDecoration = 150;

int AxisLength(const QCPAxis* axis) {
  const QCPAxisRect* rect = axis->axisRect();
  return axis->orientation() == Qt::Horizontal ? rect->width() : rect->height();
}

void FitAxis(QCPAxis* axis) {
  const int length = AxisLength(axis);
  if (length <= 0) return;
  if (axis->property(kTitlesProperty).isValid()) {
    const QString title = FittingAxisTitle(axis, length);
    if (title != axis->label()) axis->setLabel(title);
  }
  QSharedPointer<QCPAxisTicker> ticker = axis->ticker();
  if (!ticker) return;
  if (axis->scaleType() == QCPAxis::stLogarithmic)
    ticker->setTickCount(std::max(1, length / kLogLabelPixels));
  else if (axis->orientation() == Qt::Vertical)
    ticker->setTickCount(std::max(2, length / kValueLabelPixels));
}

}  // namespace

void SetAxisTitles(QCPAxis* axis, const QStringList& titles) {
  axis->setProperty(kTitlesProperty, titles);
  axis->setLabel(titles.value(0));
}

QString FittingAxisTitle(const QCPAxis* axis, int length) {
  const QStringList titles = axis->property(kTitlesProperty).toStringList();
  if (titles.isEmpty()) return axis->label();
  const QFontMetrics metrics(axis->labelFont());
  const int room = std::max(0, length - kTitleMargin);
  for (const QString& title : titles)
    if (metrics.horizontalAdvance(title) <= room) return title;
  return metrics.elidedText(titles.back(), Qt::ElideRight, room);
}

void MakeLogLogAxes(QCustomPlot* plot) {
  for (QCPAxis* axis : {plot->xAxis, plot->yAxis}) {
    axis->setScaleType(QCPAxis::stLogarithmic);
    QSharedPointer<QCPAxisTickerLog> ticker(new QCPAxisTickerLog);
    ticker->setLogBase(10);
    ticker->setSubTickCount(8);
    axis->setTicker(ticker);
    axis->setNumberFormat(QStringLiteral("eb"));
    axis->setNumberPrecision(0);
    axis->grid()->setSubGridVisible(true);
  }
}

void KeepAxesFitting(QCustomPlot* plot) {
  QObject::connect(plot, &QCustomPlot::beforeReplot, plot, [plot] {
    // The axis lengths of the present size: a resize has not laid out yet.
    for (auto phase : {QCPLayoutElement::upPreparation, QCPLayoutElement::upMargins, QCPLayoutElement::upLayout})
      plot->plotLayout()->update(phase);
    for (QCPAxisRect* rect : plot->axisRects())
      for (QCPAxis* axis : rect->axes()) FitAxis(axis);
  });
}

namespace {

void FitWidthToTitle(QWidget* dialog) {
  QFont font = QApplication::font();
  font.setBold(true);  // title bars often are
  const QFontMetrics metrics(font);
  dialog->setMinimumWidth(
      std::max(dialog->minimumWidth(), metrics.horizontalAdvance(dialog->windowTitle()) + kTitleBarDecoration));
}

// Fits the dialog again whenever its title changes (callers often set the
// title after building the dialog).
class TTitleWatcher : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::WindowTitleChange) FitWidthToTitle(static_cast<QWidget*>(watched));
    return false;
  }
};

}  // namespace

void FitDialogToTitle(QDialog* dialog) {
  FitWidthToTitle(dialog);
  dialog->installEventFilter(new TTitleWatcher(dialog));
}

void KeepInside(QWidget* window, const QWidget* area) {
  const QRect room = area->rect();
  if (room.isEmpty()) return;
  QRect frame = window->geometry();
  frame.setSize(frame.size().boundedTo(room.size()));
  frame.moveLeft(std::clamp(frame.left(), room.left(), room.right() + 1 - frame.width()));
  frame.moveTop(std::clamp(frame.top(), room.top(), room.bottom() + 1 - frame.height()));
  if (frame != window->geometry()) window->setGeometry(frame);
}
