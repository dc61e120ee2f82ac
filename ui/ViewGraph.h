#pragma once

#include <array>
#include <cstdint>

#include "app/data/App_DataManagement.h"
#include "ui/ViewBase.h"

class QComboBox;
class QCustomPlot;
class QCPGraph;
class QCPRange;
class QLabel;

// What a graph view plots of its session.
enum TGraphMode : int {
  gmPhase = 0,            // phase difference to channel 1, ps
  gmFreqAbs = 1,          // frequency offset from nominal, Hz
  gmFreqRel = 2,          // relative frequency deviation
  gmSensor = 3,           // sensor values (sensor sessions only)
  gmPhaseTrim = 4,        // phase difference, each curve starting at 0
  gmQMTdiff = 5,          // time-interval difference to QMT channel 1, ns
  gmPhaseTheo = 6,        // phase residual against the nominal frequency, ps
  gmPhasePredecessor = 7, // phase difference to the preceding channel, ps
};

// Display name of a graph mode ("Phase difference", ...).
QString GraphModeName(TGraphMode mode);

// Strip chart of the 2048-entry rings of one store, one curve per channel
// in the channel colours. New entries are taken at every tick with a ring
// cursor, so a slow repaint never loses or repeats points.
class TViewGraph : public TViewChild {
  Q_OBJECT
 public:
  TViewGraph(std::shared_ptr<TVQSessionItem> session, TGraphMode mode = gmFreqAbs, QWidget* parent = nullptr);

  TGraphMode Mode() const { return FMode; }
  void SetMode(TGraphMode mode);
  // Points held by the curve of channel 1..24.
  int PointCount(int channel) const;
  bool CurveShown(int channel) const;
  QCustomPlot* Plot() const { return FPlot; }
  // Fits the value axis to the points of the shown curves inside the shown
  // time range, with a small margin; false (axis unchanged) when there are none.
  bool CenterValues();

  void Tick() override;
  void DataReset() override;
  void DataResetQMT() override;
  void RateChanged(int intervalMs) override;
  void PhaseDiffReset() override;
  void ClearQMT() override;
  void ReadSettings(TAppSettings& settings, const std::string& prefix) override;
  void SaveSettings(TAppSettings& settings, const std::string& prefix) override;

 private:
  bool IsQMTMode() const { return FMode == gmQMTdiff; }
  void ClearCurves();
  void ApplyChannels();
  void UpdateAxisTitles();
  // Appends what the store added since the last tick; true when anything was added.
  bool ReadCounterData();
  bool ReadQMTData();
  void Rescale();
  // The value range with the margin the plot keeps around it.
  static QCPRange PaddedValues(QCPRange values);

  TGraphMode FMode;
  QComboBox* FModeBox = nullptr;
  QLabel* FNote = nullptr;
  QCustomPlot* FPlot = nullptr;
  std::array<QCPGraph*, 24> FCurves{};
  TRingCursor FCursor;
  std::array<double, 25> FTrimOffset{};
  std::array<bool, 25> FTrimTaken{};
  int FIntervalMs = 1000;
  bool FDirty = false;
  std::string FAppliedChannels;  // the selection the curves show
};
