#pragma once

#include <QDialog>

#include "app/core/ZEP_Sessions.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QSpinBox;
class QTableWidget;

// "Channel Settings" of a counter session: the virtual counter and QMT
// channels as rows of weights of the real channels, with a description
// each, the horizontal scale of the short and long averages, and the signal
// names of the digital inputs. Accepts only numbers in every cell; rows
// that are all zero are dropped, so the virtual channels keep their numbers
// 1..n without gaps. An emptied signal name is the input's default.
class TChannelSettingsDialog : public QDialog {
  Q_OBJECT
 public:
  TChannelSettingsDialog(const TChannelSettings& settings, int channels, int qmtChannels, QWidget* parent = nullptr);

  TChannelSettings Settings() const { return FResult; }
  // Why the dialog was not accepted; empty when it was.
  QString Error() const;
  void accept() override;

  // The controls, for tests.
  QTableWidget* FactorTable(bool qmt) const { return qmt ? FQmtTable : FTable; }
  QLineEdit* DescriptionEdit(bool qmt) const { return qmt ? FQmtDescription : FDescription; }
  QSpinBox* ScaleBox(bool longAverages) const { return longAverages ? FLongScale : FShortScale; }
  // Adds an empty virtual channel (row); false when all 24 exist.
  bool AddChannel(bool qmt);
  // The card chooser (Card 1..8) and the 32 names of the chosen card.
  QComboBox* PDICardBox() const { return FPDICardBox; }
  QTableWidget* PDINameTable() const { return FPDITable; }
  // The chosen card's names become the defaults.
  void SetPDIDefaults();

 private:
  QWidget* NewFactorPage(bool qmt, const TChannelSettings& settings, int channels);
  // The rows of a table; an error text for a cell that is no number.
  QString ReadRows(const QTableWidget& table, std::array<TDataManagement::TFactorRow, TDataManagement::kMaxChannels>& rows) const;
  QWidget* NewDigitalInputsPage();
  // Keeps the table's names as the shown card's, or shows the card's names.
  void TakePDITable();
  void ShowPDICard(int card);

  TChannelSettings FInitial, FResult;
  QTableWidget* FTable = nullptr;
  QTableWidget* FQmtTable = nullptr;
  QLineEdit* FDescription = nullptr;
  QLineEdit* FQmtDescription = nullptr;
  QSpinBox* FShortScale = nullptr;
  QSpinBox* FLongScale = nullptr;
  TPDINames FPDINames;  // as edited so far
  int FPDICard = 1;     // the card the table shows
  QComboBox* FPDICardBox = nullptr;
  QTableWidget* FPDITable = nullptr;
  QLabel* FError = nullptr;
};
