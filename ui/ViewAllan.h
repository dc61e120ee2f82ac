#pragma once

#include <array>
#include <cstdint>

#include "app/data/App_VirtAllanData.h"
#include "ui/ViewBase.h"

class QComboBox;
class QCustomPlot;
class QCPGraph;
class QLabel;

// Name of an Allan mode for the mode selectors.
QString AllanModeName(TAllanMode mode);

// Allan deviation of every channel over the averaging time, log-log with
// decade ticks: one marked curve per channel and, behind it, the band
// between the lowest and highest deviation seen (the persist band).
class TViewAllan : public TViewChild {
  Q_OBJECT
 public:
  explicit TViewAllan(std::shared_ptr<TVQSessionItem> session, QWidget* parent = nullptr);

  TAllanMode Mode() const { return FMode; }
  void SetMode(TAllanMode mode);
  // Points of channel 1..24's deviation curve.
  int PointCount(int channel) const;
  QCustomPlot* Plot() const { return FPlot; }

  void Tick() override;
  void DataReset(int) override { FLastSamples = -1; }
  void RateChanged(int, int) override { FLastSamples = -1; }
  void ReadSettings(TAppSettings& settings, const std::string& prefix) override;
  void SaveSettings(TAppSettings& settings, const std::string& prefix) override;

 private:
  struct TChannelCurves {
    QCPGraph* Deviation = nullptr;
    QCPGraph* PersistLow = nullptr;
    QCPGraph* PersistHigh = nullptr;
  };
  void Refresh();

  TAllanMode FMode = amFreq;
  QComboBox* FModeBox = nullptr;
  QLabel* FNote = nullptr;
  QCustomPlot* FPlot = nullptr;
  std::array<TChannelCurves, 24> FCurves{};
  int64_t FLastSamples = -1;
};
