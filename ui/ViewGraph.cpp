#include "ui/ViewGraph.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <cmath>
#include <qcustomplot.h>

#include "app/core/App_Settings.h"
#include "app/core/ZEP_Sessions.h"
#include "app/data/PAV_DataManagement.h"
#include "app/data/QMT_DataManagement.h"
#include "ui/ChannelSelector.h"
#include "ui/SizeFit.h"

namespace {

constexpr int kChannels = TDataManagement::kMaxChannels;
constexpr TGraphMode kOfferedModes[] = {gmPhase,     gmFreqAbs, gmFreqRel,         gmPhaseTrim,
                                        gmPhaseTheo, gmPhasePredecessor, gmQMTdiff};

// The value axis' titles, longest first: a short plot takes a shorter one.
QStringList ValueAxisTitles(TGraphMode mode) {
  switch (mode) {
    case gmPhase: return {QStringLiteral("Phase difference [ps]"), QStringLiteral("Phase diff. [ps]"), QStringLiteral("[ps]")};
    case gmPhaseTrim:
      return {QStringLiteral("Phase difference, trimmed [ps]"), QStringLiteral("Phase diff., trimmed [ps]"),
              QStringLiteral("Trimmed [ps]"), QStringLiteral("[ps]")};
    case gmPhaseTheo: return {QStringLiteral("Phase residual [ps]"), QStringLiteral("Residual [ps]"), QStringLiteral("[ps]")};
    case gmPhasePredecessor:
      return {QStringLiteral("Phase difference to previous channel [ps]"), QStringLiteral("Phase diff. to prev. ch. [ps]"),
              QStringLiteral("To prev. ch. [ps]"), QStringLiteral("[ps]")};
    case gmFreqAbs:
      return {QStringLiteral("Frequency − nominal frequency [Hz]"), QStringLiteral("Frequency − nominal [Hz]"),
              QStringLiteral("f − f nom [Hz]"), QStringLiteral("[Hz]")};
    case gmFreqRel:
      return {QStringLiteral("(f − f nominal) / f nominal"), QStringLiteral("(f − f nom) / f nom"), QStringLiteral("Δf / f")};
    case gmQMTdiff: return {QStringLiteral("QMT difference [ns]"), QStringLiteral("QMT diff. [ns]"), QStringLiteral("[ns]")};
    case gmSensor: return {QStringLiteral("Sensor value")};
  }
  return {};
}

}  // namespace

QString GraphModeName(TGraphMode mode) {
  switch (mode) {
    case gmPhase: return QStringLiteral("Phase difference");
    case gmFreqAbs: return QStringLiteral("Frequency (absolute)");
    case gmFreqRel: return QStringLiteral("Frequency (relative)");
    case gmSensor: return QStringLiteral("Sensor");
    case gmPhaseTrim: return QStringLiteral("Phase difference (trimmed)");
    case gmQMTdiff: return QStringLiteral("QMT difference");
    case gmPhaseTheo: return QStringLiteral("Phase residual");
    case gmPhasePredecessor: return QStringLiteral("Phase to previous channel");
  }
  return {};
}

TViewGraph::TViewGraph(std::shared_ptr<TVQSessionItem> session, TGraphMode mode, QWidget* parent)
    : TViewChild(TViewKind::vkGraph, std::move(session), parent), FMode(mode) {
  // In QMT mode the selections hold the time-interval channels.
  FModel.SetQMTView(1, IsQMTMode());
  FModel.SetQMTView(2, IsQMTMode());
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(2, 2, 2, 2);
  auto* bar = new QHBoxLayout;
  FModeBox = new QComboBox(this);
  for (TGraphMode offered : kOfferedModes) FModeBox->addItem(GraphModeName(offered), static_cast<int>(offered));
  FModeBox->setCurrentIndex(FModeBox->findData(static_cast<int>(FMode)));
  bar->addWidget(FModeBox);
  FNote = new QLabel(this);
  bar->addWidget(FNote, 1);
  layout->addLayout(bar);
  layout->addWidget(NewChannelSelector(1));
  layout->addWidget(NewChannelSelector(2));
  FPlot = new QCustomPlot(this);
  FPlot->setMinimumSize(160, 90);
  KeepAxesFitting(FPlot);
  FPlot->setNoAntialiasingOnDrag(true);
  FPlot->setNotAntialiasedElements(QCP::aeAll);
  QSharedPointer<QCPAxisTickerTime> timeTicker(new QCPAxisTickerTime);
  timeTicker->setTimeFormat(QStringLiteral("%h:%m:%s"));
  timeTicker->setTickCount(4);
  FPlot->xAxis->setTicker(timeTicker);
  FPlot->yAxis->setNumberFormat(QStringLiteral("gb"));
  for (int base = 1; base <= 2; ++base) {
    for (int k = 1; k <= kChannels; ++k) {
      QCPGraph* curve = FPlot->addGraph();
      curve->setName(base == 1 ? QStringLiteral("%1").arg(k) : QStringLiteral("2:%1").arg(k));
      curve->setAdaptiveSampling(true);
      Set(base).Curves[static_cast<std::size_t>(k - 1)] = curve;
    }
  }
  layout->addWidget(FPlot, 1);
  ApplyChannels(1);
  ApplyChannels(2);
  UpdateAxisTitles();
  FModel.OnChannelsChanged = [this](int base) { ApplyChannels(base); };
  connect(FSelector, &TChannelSelector::SelectionChanged, this, [this](int) { ApplyChannels(1); });
  connect(FSelector2, &TChannelSelector::SelectionChanged, this, [this](int) { ApplyChannels(2); });
  connect(FModeBox, &QComboBox::currentIndexChanged, this,
          [this](int index) { SetMode(static_cast<TGraphMode>(FModeBox->itemData(index).toInt())); });
  if (FSession) Set(1).IntervalMs = FSession->PAV().IntervalMs() > 0 ? FSession->PAV().IntervalMs() : 1000;
}

void TViewGraph::SetMode(TGraphMode mode) {
  if (mode == FMode) return;
  FMode = mode;
  FModel.SetQMTView(1, IsQMTMode());
  FModel.SetQMTView(2, IsQMTMode());
  const int index = FModeBox->findData(static_cast<int>(mode));
  if (index >= 0 && FModeBox->currentIndex() != index) FModeBox->setCurrentIndex(index);
  ApplyChannels(1);
  ApplyChannels(2);
  UpdateAxisTitles();
  // The curves and cursors of the old mode belong to another store or
  // another quantity: both bases start afresh.
  ClearCurves(1);
  ClearCurves(2);
}

bool TViewGraph::CurveShown(int channel, int base) const {
  return ValidBase(base) && channel >= 1 && channel <= kChannels &&
         Set(base).Curves[static_cast<std::size_t>(channel - 1)]->visible();
}

int TViewGraph::PointCount(int channel, int base) const {
  if (!ValidBase(base) || channel < 1 || channel > kChannels) return 0;
  return Set(base).Curves[static_cast<std::size_t>(channel - 1)]->dataCount();
}

std::string TViewGraph::SelectionSnapshot(int base) const {
  const TVQ_ChannelData& data = FModel.Selection(base).FData;
  return data.EnabledText() + std::to_string(data.MaxChannels()) + (SessionOf(base) ? "+" : "-");
}

// Colours and visibility of a base's curves from its channel selection (the
// time-interval channels' selection in QMT mode). The second session's
// curves are dashed, so two sessions in the same colours stay apart.
void TViewGraph::ApplyChannels(int base) {
  if (!ValidBase(base)) return;
  const TVQ_ChannelData& data = FModel.Selection(base).FData;
  TCurveSet& set = Set(base);
  set.Applied = SelectionSnapshot(base);
  const bool bound = SessionOf(base) != nullptr;
  for (int k = 1; k <= kChannels; ++k) {
    QCPGraph* curve = set.Curves[static_cast<std::size_t>(k - 1)];
    // A one-pixel cosmetic pen keeps the raster engine on its fast line path:
    // wider pens go through the stroker, which takes far longer than a tick.
    QPen pen(PlotColor(data.Color(k)), 1, base == 2 ? Qt::DashLine : Qt::SolidLine);
    pen.setCosmetic(true);
    curve->setPen(pen);
    curve->setVisible(bound && data.Enabled(k));
  }
  FDirty = true;
}

void TViewGraph::UpdateAxisTitles() {
  SetAxisTitles(FPlot->yAxis, ValueAxisTitles(FMode));
  SetAxisTitles(FPlot->xAxis, {IsQMTMode() ? QStringLiteral("Time since start [h:m:s]") : QStringLiteral("Counter time [h:m:s]"),
                               QStringLiteral("Time [h:m:s]"), QStringLiteral("[h:m:s]")});
}

void TViewGraph::ClearCurves(int base) {
  if (!ValidBase(base)) return;
  TCurveSet& set = Set(base);
  for (QCPGraph* curve : set.Curves) curve->data()->clear();
  set.TrimTaken.fill(false);
  set.Cursor = {};
  FDirty = true;
}

void TViewGraph::DataReset(int base) {
  if (!IsQMTMode()) ClearCurves(base);
}

void TViewGraph::DataResetQMT(int base) {
  if (IsQMTMode()) ClearCurves(base);
}

void TViewGraph::ClearQMT(int base) { DataResetQMT(base); }

void TViewGraph::RateChanged(int base, int intervalMs) {
  if (!ValidBase(base)) return;
  if (intervalMs > 0) Set(base).IntervalMs = intervalMs;
  // The second session's curves start again at its new interval.
  if (base == 2) ClearCurves(2);
}

void TViewGraph::PhaseDiffReset(int base) {
  if (FMode == gmPhase || FMode == gmPhaseTrim || FMode == gmPhasePredecessor) ClearCurves(base);
}

void TViewGraph::SecondSessionChanged() {
  ClearCurves(2);
  const TVQSessionItem* second = SecondSession();
  Set(2).IntervalMs = second && second->PAV().IntervalMs() > 0 ? second->PAV().IntervalMs() : 1000;
  ApplyChannels(2);
}

bool TViewGraph::ReadCounterData(int base) {
  TVQSessionItem* session = SessionOf(base);
  if (!session) return false;
  TCurveSet& set = Set(base);
  TPAV_DataManagement& store = session->PAV();
  auto lock = store.Lock();
  const TRingRead read = store.ReadSince(THorizontalScale::hsNone, set.Cursor);
  if (read.Restarted) ClearCurves(base);
  set.Cursor = read.Next;
  if (read.Count <= 0) return false;
  const int channels = std::min(store.ChannelCount(), kChannels);
  std::vector<double> keys(static_cast<std::size_t>(read.Count));
  const uint64_t firstTotal = read.Next.Total - static_cast<uint64_t>(read.Count);
  for (int i = 0; i < read.Count; ++i) {
    const int64_t ms = store.GetPAVTimeGraphic(TDataManagement::GetNextX(read.FirstX, i));
    // Without a counter time the entry number and the interval give the time.
    keys[static_cast<std::size_t>(i)] =
        ms >= 0 ? ms / 1000.0 : static_cast<double>(firstTotal + static_cast<uint64_t>(i)) * set.IntervalMs / 1000.0;
  }
  std::string why;
  for (int k = 1; k <= channels; ++k) {
    TPAV_DataManagement::TSeries values;
    switch (FMode) {
      case gmPhase:
      case gmPhaseTrim: values = store.GetPhaDiffPs(false, k, read.FirstX, read.Count); break;
      case gmPhaseTheo: values = store.GetTheoPhaseDiffPs(false, k, read.FirstX, read.Count); break;
      case gmPhasePredecessor: values = store.GetPhaPredecessorPs(false, k, read.FirstX, read.Count); break;
      case gmFreqAbs: values = store.GetFrequDiff(false, k, read.FirstX, read.Count); break;
      case gmFreqRel: values = store.GetFrequDiffRelative(false, k, read.FirstX, read.Count); break;
      default: break;
    }
    if (values.empty() && why.empty()) {
      why = FMode == gmPhaseTheo ? store.GetTheoPhaseDiffPsNoData(k)
            : (FMode == gmFreqAbs || FMode == gmFreqRel) ? store.GetFrequDiffNoData()
                                                         : store.GetPhaDiffPsNoData(k);
    }
    QCPGraph* curve = set.Curves[static_cast<std::size_t>(k - 1)];
    for (std::size_t i = 0; i < values.size() && i < keys.size(); ++i) {
      double value = values[i];
      if (!std::isfinite(value)) continue;
      if (FMode == gmPhaseTrim) {
        if (!set.TrimTaken[static_cast<std::size_t>(k)]) {
          set.TrimOffset[static_cast<std::size_t>(k)] = value;
          set.TrimTaken[static_cast<std::size_t>(k)] = true;
        }
        value -= set.TrimOffset[static_cast<std::size_t>(k)];
      }
      curve->addData(keys[i], value);
    }
  }
  // The note speaks of the view's own session.
  if (base == 1) FNote->setText(QString::fromStdString(why));
  return true;
}

bool TViewGraph::ReadQMTData(int base) {
  TVQSessionItem* session = SessionOf(base);
  if (!session) return false;
  TCurveSet& set = Set(base);
  TQMT_DataManagement& store = session->QMT();
  auto lock = store.Lock();
  const TRingRead read = store.ReadSince(THorizontalScale::hsNone, set.Cursor);
  if (read.Restarted) ClearCurves(base);
  set.Cursor = read.Next;
  if (read.Count <= 0) return false;
  const int channels = std::min(store.ChannelCount(), kChannels);
  const uint64_t firstTotal = read.Next.Total - static_cast<uint64_t>(read.Count);
  // The time-interval lines carry no counter time: one entry per interval.
  const double step = set.IntervalMs / 1000.0;
  for (int k = 1; k <= channels; ++k) {
    const auto values = store.GetQMTDiff(false, k, read.FirstX, read.Count);
    QCPGraph* curve = set.Curves[static_cast<std::size_t>(k - 1)];
    for (std::size_t i = 0; i < values.size(); ++i)
      if (std::isfinite(values[i])) curve->addData(static_cast<double>(firstTotal + i) * step, values[i]);
  }
  if (base == 1) FNote->setText(channels == 0 ? QStringLiteral("No QMT channels") : QString());
  return true;
}

void TViewGraph::Rescale() {
  bool any = false;
  QCPRange keys;
  QCPRange values;
  for (TCurveSet& set : FSets) {
    for (QCPGraph* curve : set.Curves) {
      // A strip chart keeps the ring's length of points per curve.
      const int excess = curve->dataCount() - TDataManagement::kRingSize;
      if (excess > 0) curve->data()->removeBefore((curve->data()->constBegin() + excess)->key);
      // A hidden curve must not stretch the axes: hiding an outlier channel
      // is how the user brings the others back into view.
      if (curve->dataCount() == 0 || !curve->visible()) continue;
      bool found = false;
      const QCPRange k = curve->getKeyRange(found);
      if (!found) continue;
      const QCPRange v = curve->getValueRange(found);
      if (!found) continue;
      keys = any ? QCPRange(std::min(keys.lower, k.lower), std::max(keys.upper, k.upper)) : k;
      values = any ? QCPRange(std::min(values.lower, v.lower), std::max(values.upper, v.upper)) : v;
      any = true;
    }
  }
  if (!any) return;
  if (keys.size() <= 0) keys = QCPRange(keys.lower - 1, keys.upper + 1);
  FPlot->xAxis->setRange(keys);
  FPlot->yAxis->setRange(PaddedValues(values));
  // About one time label per 110 pixels, so "hh:mm:ss" labels never overlap.
  FPlot->xAxis->ticker()->setTickCount(std::max(2, FPlot->width() / 110));
}

QCPRange TViewGraph::PaddedValues(QCPRange values) {
  // A flat curve still gets a usable axis around its value.
  const double pad = values.size() > 0 ? values.size() * 0.05
                                       : (std::abs(values.lower) > 0 ? std::abs(values.lower) * 1e-3 : 1.0);
  return QCPRange(values.lower - pad, values.upper + pad);
}

bool TViewGraph::CenterValues() {
  const QCPRange shownKeys = FPlot->xAxis->range();
  bool any = false;
  QCPRange values;
  for (const TCurveSet& set : FSets) {
    for (QCPGraph* curve : set.Curves) {
      if (!curve->visible() || curve->dataCount() == 0) continue;
      bool found = false;
      const QCPRange v = curve->getValueRange(found, QCP::sdBoth, shownKeys);
      if (!found) continue;
      values = any ? QCPRange(std::min(values.lower, v.lower), std::max(values.upper, v.upper)) : v;
      any = true;
    }
  }
  if (!any) return false;
  FPlot->yAxis->setRange(PaddedValues(values));
  if (isVisible()) FPlot->replot();
  return true;
}

void TViewGraph::Tick() {
  SyncChannelSelector();
  bool added = false;
  for (int base = 1; base <= 2; ++base) {
    if (!SessionOf(base)) continue;
    // The selection changes with the channel count the session learns.
    if (SelectionSnapshot(base) != Set(base).Applied) ApplyChannels(base);
    const bool read = IsQMTMode() ? ReadQMTData(base) : ReadCounterData(base);
    added = added || read;
  }
  if (!added && !FDirty) return;
  FDirty = false;
  Rescale();
  if (isVisible()) FPlot->replot();
}

void TViewGraph::ReadSettings(TAppSettings& settings, const std::string& prefix) {
  TViewChild::ReadSettings(settings, prefix);
  const int mode = settings.ReadInteger(prefix + "GraphMode", static_cast<int>(FMode));
  for (TGraphMode offered : kOfferedModes)
    if (offered == mode) SetMode(offered);
}

void TViewGraph::SaveSettings(TAppSettings& settings, const std::string& prefix) {
  TViewChild::SaveSettings(settings, prefix);
  settings.SetValue(prefix + "GraphMode", static_cast<int>(FMode));
}
