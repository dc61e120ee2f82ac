#include "ui/ChannelSelector.h"

#include <QHelpEvent>
#include <QMouseEvent>
#include <QResizeEvent>
#include <QToolTip>
#include <QPainter>
#include <algorithm>

#include "app/core/App_Views.h"
#include "ui/ViewBase.h"

namespace {

// Cells and persist sign of a hidden channel.
const QColor kDisabledFill(0xD8, 0xD8, 0xD8);
const QColor kDisabledText(0x80, 0x80, 0x80);

// Black or white, whichever reads better on the cell colour.
QColor TextColorOn(const QColor& fill) { return fill.lightness() > 140 ? Qt::black : Qt::white; }

}  // namespace

TChannelSelector::TChannelSelector(TViewModel& model, int base, QWidget* parent)
    : QWidget(parent), FModel(model), FBase(base == 2 ? 2 : 1) {
  QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Fixed);
  policy.setHeightForWidth(true);
  setSizePolicy(policy);
  FShown = Snapshot();
}

int TChannelSelector::CellCount() const { return FModel.Selection(FBase).FData.MaxChannels(); }

int TChannelSelector::CellWidth() const {
  const TVQ_ChannelData& data = FModel.Selection(FBase).FData;
  int widest = kMinCellWidth;
  for (int k = 1; k <= CellCount(); ++k)
    widest = std::max(widest, fontMetrics().horizontalAdvance(QString::fromStdString(data.Id(k))) + 8);
  return widest;
}

int TChannelSelector::ColumnsFor(int width) const {
  const int count = std::max(CellCount(), 1);
  return std::clamp(width / CellWidth(), 1, count);
}

int TChannelSelector::heightForWidth(int width) const {
  const int count = CellCount();
  if (count == 0) return kCellHeight;
  const int columns = ColumnsFor(width);
  return ((count + columns - 1) / columns) * kCellHeight + 1;
}

QSize TChannelSelector::sizeHint() const {
  return {std::max(CellCount(), 1) * CellWidth() + 1, kCellHeight + 1};
}

QSize TChannelSelector::minimumSizeHint() const { return {CellWidth() + 1, kCellHeight + 1}; }

QRect TChannelSelector::CellRect(int channel) const {
  if (channel < 1 || channel > CellCount()) return {};
  const int columns = ColumnsFor(width());
  const int index = channel - 1;
  const int cell = CellWidth();
  return {(index % columns) * cell, (index / columns) * kCellHeight, cell, kCellHeight};
}

int TChannelSelector::ChannelAt(const QPoint& point) const {
  for (int k = 1; k <= CellCount(); ++k)
    if (CellRect(k).contains(point)) return k;
  return 0;
}

bool TChannelSelector::Apply(TChannelClickAction action, int channel) {
  if (channel < 1 || channel > CellCount()) return false;
  TVQ_ChannelData& data = FModel.Selection(FBase).FData;
  switch (action) {
    case TChannelClickAction::ccaToggleEnabled: data.SetEnabled(channel, !data.Enabled(channel)); break;
    case TChannelClickAction::ccaTogglePersist: data.SetPersist(channel, !data.PersistFlag(channel)); break;
    case TChannelClickAction::ccaNone: return false;
  }
  FShown = Snapshot();
  update();
  emit SelectionChanged(channel);
  return true;
}

std::string TChannelSelector::Snapshot() const {
  const TVQ_ChannelData& data = FModel.Selection(FBase).FData;
  std::string text = data.EnabledText() + data.PersistText() + std::to_string(data.MaxChannels());
  for (int k = 1; k <= data.MaxChannels(); ++k) text += '|' + data.Id(k) + ':' + std::to_string(data.Color(k));
  return text;
}

void TChannelSelector::Sync() {
  std::string now = Snapshot();
  if (now == FShown) return;
  FShown = std::move(now);
  updateGeometry();
  FitHeight();
  update();
}

void TChannelSelector::FitHeight() {
  const int needed = heightForWidth(width());
  if (needed != minimumHeight() || needed != maximumHeight()) setFixedHeight(needed);
}

void TChannelSelector::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  FitHeight();
}

// The cell's id and name, with what the buttons do.
bool TChannelSelector::event(QEvent* event) {
  if (event->type() != QEvent::ToolTip) return QWidget::event(event);
  auto* help = static_cast<QHelpEvent*>(event);
  const int channel = ChannelAt(help->pos());
  if (channel == 0) {
    QToolTip::hideText();
    event->ignore();
    return true;
  }
  const TVQ_ChannelData& data = FModel.Selection(FBase).FData;
  QToolTip::showText(help->globalPos(),
                     tr("%1  %2\nLeft click: show or hide\nRight click: keep or drop the persistence trace")
                         .arg(QString::fromStdString(data.Id(channel)), QString::fromStdString(data.Name(channel))),
                     this, CellRect(channel));
  return true;
}

void TChannelSelector::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const TVQ_ChannelData& data = FModel.Selection(FBase).FData;
  for (int k = 1; k <= CellCount(); ++k) {
    const QRect cell = CellRect(k).adjusted(0, 0, -1, -1);
    const bool enabled = data.Enabled(k);
    const QColor color = ColorFromBgr(data.Color(k));
    painter.fillRect(cell, enabled ? color : kDisabledFill);
    if (!enabled) painter.fillRect(cell, QBrush(kDisabledText, Qt::BDiagPattern));
    painter.setPen(enabled ? TextColorOn(color) : kDisabledText);
    painter.drawText(cell, Qt::AlignCenter, QString::fromStdString(data.Id(k)));
    if (data.PersistFlag(k)) {
      // A filled corner: the channel keeps its persistence trace.
      const QPoint corner = cell.topRight();
      const QPoint triangle[3] = {corner, corner + QPoint(-6, 0), corner + QPoint(0, 6)};
      painter.setBrush(enabled ? TextColorOn(color) : kDisabledText);
      painter.setPen(Qt::NoPen);
      painter.drawPolygon(triangle, 3);
      painter.setBrush(Qt::NoBrush);
    }
    painter.setPen(data.Selected() == k ? Qt::black : QColor(0x90, 0x90, 0x90));
    painter.drawRect(cell);
  }
}

void TChannelSelector::mouseReleaseEvent(QMouseEvent* event) {
  const int channel = ChannelAt(event->position().toPoint());
  if (event->button() == Qt::LeftButton) Apply(FLeftAction, channel);
  else if (event->button() == Qt::RightButton) Apply(FRightAction, channel);
  QWidget::mouseReleaseEvent(event);
}
