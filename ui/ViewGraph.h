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
// in the channel colours; with a second session, its curves beside the
// first's in its own channel colours, with a second channel strip. New
// entries are taken at every tick with a ring cursor per base, so a slow
// repaint never loses or repeats points.
class TViewGraph : public TViewChild {
  Q_OBJECT
 public:
  TViewGraph(std::shared_ptr<TVQSessionItem> session, TGraphMode mode = gmFreqAbs, QWidget* parent = nullptr);

  TGraphMode Mode() const { return FMode; }
  void SetMode(TGraphMode mode);
  // Points held by the curve of channel 1..24 of base 1 or 2.
  int PointCount(int channel, int base = 1) const;
  bool CurveShown(int channel, int base = 1) const;
  QCustomPlot* Plot() const { return FPlot; }
  // Fits the value axis to the points of the shown curves inside the shown
  // time range, with a small margin; false (axis unchanged) when there are none.
  bool CenterValues();

  void Tick() override;
  void DataReset(int base) override;
  void DataResetQMT(int base) override;
  void RateChanged(int base, int intervalMs) override;
  void PhaseDiffReset(int base) override;
  void ClearQMT(int base) override;
  void ReadSettings(TAppSettings& settings, const std::string& prefix) override;
  void SaveSettings(TAppSettings& settings, const std::string& prefix) override;

 protected:
  void SecondSessionChanged() override;

 private:
  // The curves of one base and where its reading stands.
  struct TCurveSet {
    std::array<QCPGraph*, 24> Curves{};
    TRingCursor Cursor;
    std::array<double, 25> TrimOffset{};
    std::array<bool, 25> TrimTaken{};
    int IntervalMs = 1000;
    std::string Applied;  // the selection the curves show
  };

  bool IsQMTMode() const { return FMode == gmQMTdiff; }
  static bool ValidBase(int base) { return base == 1 || base == 2; }
  TCurveSet& Set(int base) { return FSets[base == 2 ? 1 : 0]; }
  const TCurveSet& Set(int base) const { return FSets[base == 2 ? 1 : 0]; }
  // What the selection of a base looks like, to notice a change.
  std::string SelectionSnapshot(int base) const;
  void ClearCurves(int base);
  void ApplyChannels(int base);
  void UpdateAxisTitles();
  // Appends what the base's store added since the last tick; true when anything was added.
  bool ReadCounterData(int base);
  bool ReadQMTData(int base);
  void Rescale();
  // The value range with the margin the plot keeps around it.
  static QCPRange PaddedValues(QCPRange values);

  TGraphMode FMode;
  QComboBox* FModeBox = nullptr;
  QLabel* FNote = nullptr;
  QCustomPlot* FPlot = nullptr;
  std::array<TCurveSet, 2> FSets;
  bool FDirty = false;
};
