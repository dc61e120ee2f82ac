#include "ui/ChannelSettingsDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <charconv>
#include <cmath>

#include "app/analysis/App_StabilityReport.h"
#include "ui/SizeFit.h"

namespace {

constexpr int kRows = TDataManagement::kMaxChannels;
using TRows = std::array<TDataManagement::TFactorRow, TDataManagement::kMaxChannels>;

bool EmptyRow(const TDataManagement::TFactorRow& row) {
  return std::all_of(row.begin(), row.end(), [](double f) { return f == 0.0; });
}

int UsedRows(const TRows& rows) {
  int used = 0;
  for (int k = 0; k < kRows; ++k)
    if (!EmptyRow(rows[static_cast<std::size_t>(k)])) used = k + 1;
  return used;
}

// A factor as typed: either decimal mark, blanks around it; empty is 0.
std::optional<double> ParseFactor(QString text) {
  text = text.trimmed().replace(QLatin1Char(','), QLatin1Char('.'));
  if (text.isEmpty()) return 0.0;
  const std::string s = text.toStdString();
  double value = 0;
  const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (error != std::errc() || end != s.data() + s.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace

TChannelSettingsDialog::TChannelSettingsDialog(const TChannelSettings& settings, int channels, int qmtChannels,
                                               QWidget* parent)
    : QDialog(parent), FInitial(settings), FResult(settings), FPDINames(settings.PDINames) {
  setWindowTitle(tr("Channel Settings"));
  auto* layout = new QVBoxLayout(this);
  auto* tabs = new QTabWidget(this);
  tabs->addTab(NewFactorPage(false, settings, channels), tr("Virtual channels"));
  tabs->addTab(NewFactorPage(true, settings, qmtChannels), tr("Virtual QMT channels"));

  auto* averages = new QWidget(this);
  auto* form = new QFormLayout(averages);
  FShortScale = new QSpinBox(averages);
  FLongScale = new QSpinBox(averages);
  for (auto [box, value] : {std::pair{FShortScale, settings.ShortScale}, std::pair{FLongScale, settings.LongScale}}) {
    box->setRange(1, kMaxHorizontalScale);
    box->setValue(value);
  }
  form->addRow(tr("Horizontal scale, short averages"), FShortScale);
  form->addRow(tr("Horizontal scale, long averages"), FLongScale);
  tabs->addTab(averages, tr("Averages"));
  tabs->addTab(NewDigitalInputsPage(), tr("Digital inputs"));
  layout->addWidget(tabs, 1);

  FError = new QLabel(this);
  FError->setWordWrap(true);
  layout->addWidget(FError);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &TChannelSettingsDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
  resize(760, 420);
  FitDialogToTitle(this);
}

QWidget* TChannelSettingsDialog::NewFactorPage(bool qmt, const TChannelSettings& settings, int channels) {
  const TRows& rows = qmt ? settings.VirtualQMT : settings.Virtual;
  auto* page = new QWidget(this);
  auto* layout = new QVBoxLayout(page);
  auto* description = new QLineEdit(QString::fromStdString(qmt ? settings.VirtualQMTDescription : settings.VirtualDescription), page);
  description->setPlaceholderText(tr("What the virtual channels stand for"));
  auto* top = new QFormLayout;
  top->addRow(tr("Description"), description);
  layout->addLayout(top);

  // Columns for the real channels the counter has, and at least for every
  // weight already set.
  int columns = std::clamp(channels, 1, kRows);
  for (const auto& row : rows)
    for (int i = kRows; i > columns; --i)
      if (row[static_cast<std::size_t>(i - 1)] != 0.0) columns = i;
  auto* table = new QTableWidget(UsedRows(rows), columns, page);
  QStringList header;
  for (int i = 1; i <= columns; ++i) header << (qmt ? QStringLiteral("Q%1") : QStringLiteral("%1")).arg(i);
  table->setHorizontalHeaderLabels(header);
  table->horizontalHeader()->setDefaultSectionSize(56);
  for (int k = 0; k < table->rowCount(); ++k) {
    table->setVerticalHeaderItem(k, new QTableWidgetItem(QStringLiteral("%1%2").arg(qmt ? "VQ" : "V").arg(k + 1)));
    for (int i = 0; i < columns; ++i) {
      const double factor = rows[static_cast<std::size_t>(k)][static_cast<std::size_t>(i)];
      table->setItem(k, i, new QTableWidgetItem(factor == 0.0 ? QString() : QString::fromStdString(StabilityNumber(factor, 15))));
    }
  }
  layout->addWidget(table, 1);

  auto* buttons = new QHBoxLayout;
  auto* add = new QPushButton(tr("Add channel"), page);
  auto* remove = new QPushButton(tr("Remove last channel"), page);
  connect(add, &QPushButton::clicked, this, [this, qmt] { AddChannel(qmt); });
  connect(remove, &QPushButton::clicked, table, [table] {
    if (table->rowCount() > 0) table->removeRow(table->rowCount() - 1);
  });
  buttons->addWidget(add);
  buttons->addWidget(remove);
  buttons->addStretch(1);
  buttons->addWidget(new QLabel(tr("Weights of the real channels; empty cells are 0"), page));
  layout->addLayout(buttons);
  (qmt ? FQmtTable : FTable) = table;
  (qmt ? FQmtDescription : FDescription) = description;
  return page;
}

bool TChannelSettingsDialog::AddChannel(bool qmt) {
  QTableWidget* table = FactorTable(qmt);
  const int row = table->rowCount();
  if (row >= kRows) return false;
  table->insertRow(row);
  table->setVerticalHeaderItem(row, new QTableWidgetItem(QStringLiteral("%1%2").arg(qmt ? "VQ" : "V").arg(row + 1)));
  for (int i = 0; i < table->columnCount(); ++i) table->setItem(row, i, new QTableWidgetItem);
  return true;
}

QWidget* TChannelSettingsDialog::NewDigitalInputsPage() {
  auto* page = new QWidget(this);
  auto* layout = new QVBoxLayout(page);
  auto* top = new QHBoxLayout;
  FPDICardBox = new QComboBox(page);
  for (int card = 1; card <= kPDICards; ++card) FPDICardBox->addItem(tr("Card %1").arg(card));
  auto* defaults = new QPushButton(tr("Defaults"), page);
  defaults->setToolTip(tr("The default names of this card's inputs"));
  top->addWidget(FPDICardBox);
  top->addStretch(1);
  top->addWidget(defaults);
  layout->addLayout(top);

  FPDITable = new QTableWidget(kPDIBits, 1, page);
  FPDITable->setHorizontalHeaderLabels({tr("Signal name")});
  FPDITable->horizontalHeader()->setStretchLastSection(true);
  FPDITable->verticalHeader()->setDefaultSectionSize(FPDITable->fontMetrics().height() + 6);  // more inputs in sight
  for (int bit = 0; bit < kPDIBits; ++bit) {
    FPDITable->setVerticalHeaderItem(bit, new QTableWidgetItem(QString::number(bit + 1)));
    FPDITable->setItem(bit, 0, new QTableWidgetItem);
  }
  layout->addWidget(FPDITable, 1);
  layout->addWidget(new QLabel(tr("Inputs 1..32 of the card (bits 0..31); an empty name is the default"), page));
  ShowPDICard(1);
  connect(FPDICardBox, &QComboBox::currentIndexChanged, this, [this](int index) {
    TakePDITable();
    ShowPDICard(index + 1);
  });
  connect(defaults, &QPushButton::clicked, this, &TChannelSettingsDialog::SetPDIDefaults);
  return page;
}

void TChannelSettingsDialog::TakePDITable() {
  TPDICardNames& names = FPDINames[static_cast<std::size_t>(FPDICard - 1)];
  for (int bit = 0; bit < kPDIBits; ++bit)
    names[static_cast<std::size_t>(bit)] = FPDITable->item(bit, 0)->text().trimmed().toStdString();
}

void TChannelSettingsDialog::ShowPDICard(int card) {
  FPDICard = std::clamp(card, 1, kPDICards);
  const TPDICardNames& names = FPDINames[static_cast<std::size_t>(FPDICard - 1)];
  for (int bit = 0; bit < kPDIBits; ++bit)
    FPDITable->item(bit, 0)->setText(QString::fromStdString(names[static_cast<std::size_t>(bit)]));
}

void TChannelSettingsDialog::SetPDIDefaults() {
  for (int bit = 0; bit < kPDIBits; ++bit)
    FPDITable->item(bit, 0)->setText(QString::fromStdString(DefaultPDISignalName(FPDICard, bit)));
}

QString TChannelSettingsDialog::ReadRows(const QTableWidget& table, TRows& rows) const {
  rows = {};
  int used = 0;
  for (int k = 0; k < table.rowCount(); ++k) {
    TDataManagement::TFactorRow row{};
    for (int i = 0; i < table.columnCount(); ++i) {
      const QTableWidgetItem* cell = table.item(k, i);
      const std::optional<double> factor = ParseFactor(cell ? cell->text() : QString());
      if (!factor)
        return tr("Row %1, channel %2: \"%3\" is no number").arg(k + 1).arg(i + 1).arg(cell->text().trimmed());
      row[static_cast<std::size_t>(i)] = *factor;
    }
    if (!EmptyRow(row)) rows[static_cast<std::size_t>(used++)] = row;
  }
  return {};
}

QString TChannelSettingsDialog::Error() const { return FError->text(); }

void TChannelSettingsDialog::accept() {
  TChannelSettings result = FInitial;
  QString error = ReadRows(*FTable, result.Virtual);
  if (error.isEmpty()) {
    error = ReadRows(*FQmtTable, result.VirtualQMT);
    if (!error.isEmpty()) error = tr("Virtual QMT channels: ") + error;
  } else {
    error = tr("Virtual channels: ") + error;
  }
  FError->setText(error);
  if (!error.isEmpty()) return;
  result.VirtualDescription = FDescription->text().trimmed().toStdString();
  result.VirtualQMTDescription = FQmtDescription->text().trimmed().toStdString();
  result.ShortScale = FShortScale->value();
  result.LongScale = FLongScale->value();
  TakePDITable();
  result.PDINames = FPDINames;
  FResult = result;
  QDialog::accept();
}
