#pragma once

#include <QColor>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <vector>

#include "app/analysis/App_StabilityAnalysis.h"
#include "ui/StabilityJob.h"

class QCheckBox;
class QComboBox;
class QCustomPlot;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;
class QTableWidget;
class QTimer;

// A column of a log file as the window lists it.
struct TStabilityColumnChoice {
  QString Request;  // what the reader is asked for: "A:phase:1"
  QString Title;  // the series name the reader gives it: "A:phase:1 (REF)"
  char Letter = '?';
  int Channel = 0;  // 0: the title names no number
  bool TimeInterval = false;
  bool Virtual = false;
};

// The colour of a column's channel (the session's own colours when the
// program has that session).
using TStabilityColorLookup = std::function<QColor(const TStabilityColumnChoice&)>;

// The columns the header of a log file lists that can be analysed; none for
// a plain data file; an error text for a file that cannot be read.
std::vector<TStabilityColumnChoice> StabilityFileColumns(const QString& file, QString& error);

// "Stability analysis": deviations of the columns of recorded log files (or
// plain data files), with confidence intervals, as a log-log plot in the
// channel colours and as a table; exports CSV and PNG. The analysis runs on
// a worker thread, so the program goes on measuring meanwhile.
class TStabilityWindow : public QWidget {
  Q_OBJECT
 public:
  explicit TStabilityWindow(TStabilityColorLookup colors = {}, QWidget* parent = nullptr);
  ~TStabilityWindow() override;

  // Several files are the day files of one run, joined in this order.
  void OpenFiles(const QStringList& files);
  void Analyse();
  void Cancel();
  bool Busy() const { return FJob.Running(); }
  bool ExportCsv(const QString& file);
  bool ExportPng(const QString& file);

  // The controls, for tests.
  QListWidget* ColumnList() const { return FColumns; }
  QCheckBox* EstimatorBox(TStabilityEstimator estimator) const;
  QComboBox* TauSetBox() const { return FTauSet; }
  QLineEdit* TauListEdit() const { return FTauList; }
  QDoubleSpinBox* ConfidenceBox() const { return FConfidence; }
  QDoubleSpinBox* PlainTau0Box() const { return FPlainTau0; }
  QTableWidget* Table() const { return FTable; }
  QCustomPlot* Plot() const { return FPlot; }
  QLabel* StatusLabel() const { return FStatus; }
  QPushButton* AnalyseButton() const { return FAnalyse; }
  QPushButton* CancelButton() const { return FCancel; }
  const std::vector<TAnalysedSeries>& Results() const { return FResults; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  QWidget* NewOptionsPanel();
  void ChooseFiles();
  void ChooseCsv();
  void ChoosePng();
  // The request from the controls; an error text when one is unusable.
  QString BuildRequest(TStabilityRequest& request) const;
  void Poll();
  void ShowResults();
  QColor SeriesColor(const std::string& name) const;
  void SetBusy(bool busy);

  TStabilityColorLookup FColorLookup;
  QStringList FFiles;
  std::vector<TStabilityColumnChoice> FChoices;
  bool FPlainFile = false;
  std::vector<TAnalysedSeries> FResults;
  std::vector<std::string> FNotes;
  TStabilityJob FJob;

  QLabel* FFileLabel = nullptr;
  QListWidget* FColumns = nullptr;
  std::vector<QCheckBox*> FEstimators;
  QComboBox* FTauSet = nullptr;
  QLineEdit* FTauList = nullptr;
  QDoubleSpinBox* FConfidence = nullptr;
  QComboBox* FPlainKind = nullptr;
  QDoubleSpinBox* FPlainTau0 = nullptr;
  QLineEdit* FNominal = nullptr;
  QPushButton* FAnalyse = nullptr;
  QPushButton* FCancel = nullptr;
  QPushButton* FExportCsv = nullptr;
  QPushButton* FExportPng = nullptr;
  QProgressBar* FProgress = nullptr;
  QLabel* FStatus = nullptr;
  QCustomPlot* FPlot = nullptr;
  QTableWidget* FTable = nullptr;
  QTimer* FPollTimer = nullptr;
};
