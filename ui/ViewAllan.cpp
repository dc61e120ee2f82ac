#include "ui/ViewAllan.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>
#include <cmath>
#include <qcustomplot.h>

#include "app/core/App_Settings.h"
#include "app/core/ZEP_Sessions.h"
#include "app/data/PAV_DataManagement.h"
#include "ui/ChannelSelector.h"
#include "ui/SizeFit.h"

namespace {

constexpr int kChannels = TDataManagement::kMaxChannels;

QCPRange DecadeRange(double low, double high) {
  return QCPRange(std::pow(10.0, std::floor(std::log10(low))), std::pow(10.0, std::ceil(std::log10(high))));
}

}  // namespace

QString AllanModeName(TAllanMode mode) {
  switch (mode) {
    case amFreq: return QStringLiteral("ADEV of frequency");
    case amPhaseRes: return QStringLiteral("ADEV of phase residual");
    case amPhaseDiff: return QStringLiteral("ADEV of phase difference");
  }
  return {};
}

TViewAllan::TViewAllan(std::shared_ptr<TVQSessionItem> session, QWidget* parent)
    : TViewChild(TViewKind::vkAllan, std::move(session), parent) {
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(2, 2, 2, 2);
  auto* bar = new QHBoxLayout;
  FModeBox = new QComboBox(this);
  for (TAllanMode mode : {amFreq, amPhaseRes, amPhaseDiff}) FModeBox->addItem(AllanModeName(mode), static_cast<int>(mode));
  bar->addWidget(FModeBox);
  FNote = new QLabel(this);
  bar->addWidget(FNote, 1);
  layout->addLayout(bar);
  layout->addWidget(NewChannelSelector());
  // A toggled channel is redrawn at once, not only when new deviations arrive.
  connect(FSelector, &TChannelSelector::SelectionChanged, this, [this](int) { FLastSamples = -1; });

  FPlot = new QCustomPlot(this);
  FPlot->setMinimumSize(160, 90);
  KeepAxesFitting(FPlot);
  MakeLogLogAxes(FPlot);
  SetAxisTitles(FPlot->xAxis, {QStringLiteral("Averaging time τ [s]"), QStringLiteral("τ [s]")});
  SetAxisTitles(FPlot->yAxis, {QStringLiteral("Allan deviation σ(τ)"), QStringLiteral("σ(τ)")});
  FPlot->xAxis->setRange(1e-3, 1e3);
  FPlot->yAxis->setRange(1e-13, 1e-8);
  for (int k = 1; k <= kChannels; ++k) {
    const QColor color = PlotColor(FModel.ChannelData().Color(k));
    QColor band = color;
    band.setAlpha(28);
    TChannelCurves& curves = FCurves[static_cast<std::size_t>(k - 1)];
    curves.PersistLow = FPlot->addGraph();
    curves.PersistHigh = FPlot->addGraph();
    for (QCPGraph* edge : {curves.PersistLow, curves.PersistHigh}) edge->setPen(QPen(band, 1));
    curves.PersistHigh->setBrush(QBrush(band));
    curves.PersistHigh->setChannelFillGraph(curves.PersistLow);
    curves.Deviation = FPlot->addGraph();
    curves.Deviation->setPen(QPen(color, 1.5));
    curves.Deviation->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssCircle, color, Qt::white, 6));
  }
  layout->addWidget(FPlot, 1);
  connect(FModeBox, &QComboBox::currentIndexChanged, this,
          [this](int index) { SetMode(static_cast<TAllanMode>(FModeBox->itemData(index).toInt())); });
}

void TViewAllan::SetMode(TAllanMode mode) {
  if (mode == FMode) return;
  FMode = mode;
  const int index = FModeBox->findData(static_cast<int>(mode));
  if (index >= 0 && FModeBox->currentIndex() != index) FModeBox->setCurrentIndex(index);
  FLastSamples = -1;
}

int TViewAllan::PointCount(int channel) const {
  if (channel < 1 || channel > kChannels) return 0;
  return FCurves[static_cast<std::size_t>(channel - 1)].Deviation->dataCount();
}

void TViewAllan::Tick() {
  SyncChannelSelector();
  if (!FSession) return;
  const int64_t samples = FSession->PAV().Allan(FMode).GetSampleCount();
  if (samples == FLastSamples) return;
  FLastSamples = samples;
  Refresh();
}

void TViewAllan::Refresh() {
  TPAV_DataManagement& store = FSession->PAV();
  const TVirtAllanData& allan = store.Allan(FMode);
  const std::string why = store.CheckAllanMode(FMode);
  const int intervalMs = allan.GetIntervalMs() > 0 ? allan.GetIntervalMs() : store.IntervalMs();
  const int channels = std::min(store.ChannelCount(), kChannels);
  double lowest = HUGE_VAL, highest = 0, shortest = HUGE_VAL, longest = 0;
  const auto take = [&](double tau, double deviation) {
    lowest = std::min(lowest, deviation);
    highest = std::max(highest, deviation);
    shortest = std::min(shortest, tau);
    longest = std::max(longest, tau);
  };
  for (int k = 1; k <= kChannels; ++k) {
    TChannelCurves& curves = FCurves[static_cast<std::size_t>(k - 1)];
    QVector<double> keys, values, lowKeys, lows, highs;
    if (k <= channels && ChannelShown(k) && why.empty() && intervalMs > 0) {
      const std::vector<double> logs = store.GetAllanGraphicValues(FMode, k);
      for (std::size_t t = 0; t < logs.size(); ++t) {
        // 0 stands for "no deviation yet" (or an exact zero, which a log plot cannot show).
        if (logs[t] == 0.0 || !std::isfinite(logs[t])) continue;
        const double tau = static_cast<double>(allan.GetTau(static_cast<int>(t))) * intervalMs / 1000.0;
        keys.push_back(tau);
        values.push_back(std::pow(10.0, logs[t]));
        take(tau, values.back());
      }
      for (const TAllanPersistEntry& entry : store.GetAllanPersistValues(FMode, k)) {
        if (!entry.HasValues()) continue;
        const double tau = static_cast<double>(allan.GetTau(entry.FTau)) * intervalMs / 1000.0;
        if (tau <= 0) continue;
        lowKeys.push_back(tau);
        lows.push_back(std::pow(10.0, entry.FMin));
        highs.push_back(std::pow(10.0, entry.FMax));
        take(tau, lows.back());
        take(tau, highs.back());
      }
    }
    curves.Deviation->setData(keys, values, true);
    curves.PersistLow->setData(lowKeys, lows, true);
    curves.PersistHigh->setData(lowKeys, highs, true);
  }
  FNote->setText(QString::fromStdString(why));
  if (highest > 0 && longest > 0) {
    FPlot->yAxis->setRange(DecadeRange(lowest, highest * 1.0001));
    FPlot->xAxis->setRange(DecadeRange(shortest, longest * 1.0001));
  }
  if (isVisible()) FPlot->replot();
}

void TViewAllan::ReadSettings(TAppSettings& settings, const std::string& prefix) {
  TViewChild::ReadSettings(settings, prefix);
  const int mode = settings.ReadInteger(prefix + "AllanMode", static_cast<int>(FMode), amFreq, amPhaseDiff);
  if (mode >= amFreq && mode <= amPhaseDiff) SetMode(static_cast<TAllanMode>(mode));
}

void TViewAllan::SaveSettings(TAppSettings& settings, const std::string& prefix) {
  TViewChild::SaveSettings(settings, prefix);
  settings.SetValue(prefix + "AllanMode", static_cast<int>(FMode));
}
