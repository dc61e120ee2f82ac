#include "ui/StabilityWindow.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <charconv>
#include <cmath>
#include <fstream>
#include <qcustomplot.h>

#include "app/analysis/App_LogFileLayout.h"
#include "app/analysis/App_StabilityReport.h"
#include "app/core/App_ChannelData.h"
#include "ui/SizeFit.h"
#include "ui/ViewBase.h"

namespace {

constexpr int kPollMs = 100;
// A log file's header is short; a file whose first lines do not finish it
// is read as the reader finds it when the analysis starts.
constexpr int kMaxHeaderLines = 400;
constexpr qint64 kMaxHeaderLineBytes = 1 << 20;

constexpr TStabilityEstimator kEstimators[kStabilityEstimatorCount] = {
    TStabilityEstimator::Adev, TStabilityEstimator::Oadev, TStabilityEstimator::Mdev,
    TStabilityEstimator::Tdev, TStabilityEstimator::Hdev,  TStabilityEstimator::Ohdev,
    TStabilityEstimator::Totdev, TStabilityEstimator::Mtie};

// One scatter shape per estimator, so that the curves of one channel (one
// colour) stay apart.
QCPScatterStyle::ScatterShape EstimatorShape(TStabilityEstimator estimator) {
  static constexpr QCPScatterStyle::ScatterShape kShapes[kStabilityEstimatorCount] = {
      QCPScatterStyle::ssCircle,   QCPScatterStyle::ssDisc,    QCPScatterStyle::ssSquare,
      QCPScatterStyle::ssTriangle, QCPScatterStyle::ssDiamond, QCPScatterStyle::ssTriangleInverted,
      QCPScatterStyle::ssStar,     QCPScatterStyle::ssCross};
  return kShapes[static_cast<int>(estimator)];
}

enum TTableColumn { tcSeries, tcEstimator, tcTau, tcM, tcN, tcTerms, tcNoise, tcDeviation, tcLow, tcHigh, tcEdf, tcCount };

std::optional<double> ParseNumber(const QString& text) {
  const std::string s = text.trimmed().toStdString();
  double value = 0;
  const auto [end, error] = std::from_chars(s.data(), s.data() + s.size(), value);
  if (s.empty() || error != std::errc() || end != s.data() + s.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

QCPRange DecadeRange(double low, double high) {
  return QCPRange(std::pow(10.0, std::floor(std::log10(low))), std::pow(10.0, std::ceil(std::log10(high))));
}

QIcon Swatch(const QColor& color) {
  QPixmap pixmap(12, 12);
  pixmap.fill(color);
  return QIcon(pixmap);
}

// An entry of the legend only: a graph without data.
void AddLegendEntry(QCustomPlot& plot, const QString& name, const QPen& pen, const QCPScatterStyle& scatter) {
  QCPGraph* entry = plot.addGraph();
  entry->setName(name);
  entry->setPen(pen);
  entry->setScatterStyle(scatter);
}

}  // namespace

std::vector<TStabilityColumnChoice> StabilityFileColumns(const QString& file, QString& error) {
  QFile stream(file);
  if (!stream.open(QIODevice::ReadOnly)) {
    error = QStringLiteral("cannot read %1: %2").arg(file, stream.errorString());
    return {};
  }
  TLogLayout layout;
  std::string typeLine, problem;
  bool header = false;
  for (int k = 0; k < kMaxHeaderLines && !stream.atEnd(); ++k) {
    QByteArray bytes = stream.readLine(kMaxHeaderLineBytes);
    while (bytes.endsWith('\n') || bytes.endsWith('\r')) bytes.chop(1);
    if (bytes.isEmpty()) continue;
    const std::string_view line(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    if (line.front() != '#') break;
    if (line.starts_with("#Filename:")) header = true;
    if (!AddLogHeaderLine(line, layout, typeLine, problem)) {
      if (!problem.empty()) break;
      continue;
    }
    std::vector<TStabilityColumnChoice> choices;
    for (const TLogColumn& column : layout.Columns) {
      const char* type = LogColumnTypeName(column.Bit);
      if (!type || LogValueKind(column.Bit) == TLogValueKind::NotAnalysed) continue;
      TStabilityColumnChoice choice;
      const std::string channel = column.Channel > 0 ? std::to_string(column.Channel) : column.Name;
      choice.Request = QString::fromStdString((column.Letter != '?' ? std::string(1, column.Letter) + ":" : "") + type +
                                           ":" + channel);
      choice.Title = QString::fromStdString(LogColumnTitle(column));
      choice.Letter = column.Letter;
      choice.Channel = column.Channel;
      choice.Virtual = column.Virtual;
      const auto part = static_cast<std::size_t>(column.Part);
      choice.TimeInterval = part < layout.TimeIntervalParts.size() && layout.TimeIntervalParts[part];
      choices.push_back(std::move(choice));
    }
    if (choices.empty()) error = QStringLiteral("%1 has no column that can be analysed").arg(file);
    return choices;
  }
  if (!problem.empty())
    error = QStringLiteral("%1: %2").arg(file, QString::fromStdString(problem));
  else if (header)
    error = QStringLiteral("%1: a log file without type and title lines").arg(file);
  return {};
}

TStabilityWindow::TStabilityWindow(TStabilityColorLookup colors, QWidget* parent)
    : QWidget(parent, Qt::Window), FColorLookup(std::move(colors)) {
  setWindowTitle(tr("Stability analysis"));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(NewOptionsPanel());

  auto* split = new QSplitter(Qt::Vertical, this);
  FPlot = new QCustomPlot(split);
  FPlot->setMinimumSize(240, 160);
  MakeLogLogAxes(FPlot);
  KeepAxesFitting(FPlot);
  SetAxisTitles(FPlot->xAxis, {tr("Averaging time τ [s]"), QStringLiteral("τ [s]")});
  SetAxisTitles(FPlot->yAxis, {QStringLiteral("σ(τ)")});
  FPlot->xAxis->setRange(1, 1e3);
  FPlot->yAxis->setRange(1e-13, 1e-9);
  // The legend sits beside the axes, not over the curves: one entry per
  // series (its colour) and one per estimator (its marker).
  FPlot->legend->setVisible(true);
  QFont legendFont = font();
  legendFont.setPointSizeF(legendFont.pointSizeF() * 0.85);
  FPlot->legend->setFont(legendFont);
  FPlot->axisRect()->insetLayout()->take(FPlot->legend);
  FPlot->plotLayout()->addElement(0, 1, FPlot->legend);
  FPlot->plotLayout()->setColumnStretchFactor(1, 0.001);
  FPlot->legend->setVisible(false);

  FTable = new QTableWidget(0, tcCount, split);
  FTable->setHorizontalHeaderLabels({tr("Series"), tr("Estimator"), tr("τ [s]"), tr("m"), tr("N"), tr("Terms"),
                                     tr("Noise"), tr("σ(τ)"), tr("Low"), tr("High"), tr("EDF")});
  FTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
  FTable->verticalHeader()->setVisible(false);
  FTable->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
  FTable->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  FTable->horizontalHeader()->setStretchLastSection(true);
  split->addWidget(FPlot);
  split->addWidget(FTable);
  split->setStretchFactor(0, 3);
  split->setStretchFactor(1, 2);
  split->setSizes({420, 240});
  layout->addWidget(split, 1);

  auto* bottom = new QHBoxLayout;
  FProgress = new QProgressBar(this);
  FProgress->setRange(0, 1000);
  FProgress->setTextVisible(false);
  FProgress->setMaximumWidth(160);
  FProgress->setVisible(false);
  bottom->addWidget(FProgress);
  FStatus = new QLabel(tr("Open a log file to analyse."), this);
  FStatus->setWordWrap(true);
  FStatus->setTextInteractionFlags(Qt::TextSelectableByMouse);
  bottom->addWidget(FStatus, 1);
  layout->addLayout(bottom);

  FPollTimer = new QTimer(this);
  FPollTimer->setInterval(kPollMs);
  connect(FPollTimer, &QTimer::timeout, this, &TStabilityWindow::Poll);
  SetBusy(false);
  resize(980, 760);
}

TStabilityWindow::~TStabilityWindow() = default;  // the job cancels and joins its worker

QWidget* TStabilityWindow::NewOptionsPanel() {
  auto* panel = new QWidget(this);
  auto* grid = new QGridLayout(panel);
  grid->setContentsMargins(0, 0, 0, 0);

  auto* files = new QHBoxLayout;
  auto* open = new QPushButton(tr("Open..."), panel);
  connect(open, &QPushButton::clicked, this, &TStabilityWindow::ChooseFiles);
  files->addWidget(open);
  FFileLabel = new QLabel(tr("no file"), panel);
  FFileLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
  files->addWidget(FFileLabel, 1);
  grid->addLayout(files, 0, 0, 1, 2);

  FColumns = new QListWidget(panel);
  FColumns->setMinimumWidth(200);
  FColumns->setMaximumHeight(130);
  grid->addWidget(FColumns, 1, 0);

  auto* form = new QFormLayout;
  auto* estimators = new QGridLayout;
  for (int k = 0; k < kStabilityEstimatorCount; ++k) {
    auto* box = new QCheckBox(QString::fromLatin1(StabilityEstimatorTitle(kEstimators[k])), panel);
    box->setChecked(kEstimators[k] == TStabilityEstimator::Oadev);
    estimators->addWidget(box, k / 4, k % 4);
    FEstimators.push_back(box);
  }
  form->addRow(tr("Estimators"), estimators);

  auto* taus = new QHBoxLayout;
  FTauSet = new QComboBox(panel);
  FTauSet->addItem(tr("Octave (1, 2, 4, ...)"), static_cast<int>(TTauSet::Octave));
  FTauSet->addItem(tr("Decade (1, 2, 5, ...)"), static_cast<int>(TTauSet::Decade));
  FTauSet->addItem(tr("Many (about 10 per decade)"), static_cast<int>(TTauSet::Many));
  FTauSet->addItem(tr("List [s]"), static_cast<int>(TTauSet::List));
  FTauList = new QLineEdit(panel);
  FTauList->setPlaceholderText(QStringLiteral("1, 10, 100"));
  FTauList->setEnabled(false);
  connect(FTauSet, &QComboBox::currentIndexChanged, this,
          [this](int) { FTauList->setEnabled(FTauSet->currentData().toInt() == static_cast<int>(TTauSet::List)); });
  taus->addWidget(FTauSet);
  taus->addWidget(FTauList, 1);
  form->addRow(tr("Taus"), taus);

  auto* numbers = new QHBoxLayout;
  FConfidence = new QDoubleSpinBox(panel);
  FConfidence->setRange(1, 99.9);
  FConfidence->setDecimals(1);
  FConfidence->setValue(68.3);
  FConfidence->setSuffix(QStringLiteral(" %"));
  numbers->addWidget(FConfidence);
  numbers->addWidget(new QLabel(tr("Nominal [Hz]"), panel));
  FNominal = new QLineEdit(panel);
  FNominal->setPlaceholderText(tr("mean frequency"));
  numbers->addWidget(FNominal, 1);
  form->addRow(tr("Confidence"), numbers);

  auto* plain = new QHBoxLayout;
  FPlainKind = new QComboBox(panel);
  FPlainKind->addItem(tr("phase [s]"), static_cast<int>(TStabilityDataKind::Phase));
  FPlainKind->addItem(tr("fractional frequency"), static_cast<int>(TStabilityDataKind::Frequency));
  FPlainTau0 = new QDoubleSpinBox(panel);
  FPlainTau0->setRange(1e-6, 1e6);
  FPlainTau0->setDecimals(6);
  FPlainTau0->setValue(1);
  FPlainTau0->setPrefix(QStringLiteral("τ0 "));
  FPlainTau0->setSuffix(QStringLiteral(" s"));
  plain->addWidget(FPlainKind);
  plain->addWidget(FPlainTau0);
  form->addRow(tr("Plain data"), plain);
  grid->addLayout(form, 1, 1);

  auto* buttons = new QHBoxLayout;
  FAnalyse = new QPushButton(tr("Analyse"), panel);
  FCancel = new QPushButton(tr("Cancel"), panel);
  FExportCsv = new QPushButton(tr("Export CSV..."), panel);
  FExportPng = new QPushButton(tr("Export PNG..."), panel);
  connect(FAnalyse, &QPushButton::clicked, this, &TStabilityWindow::Analyse);
  connect(FCancel, &QPushButton::clicked, this, &TStabilityWindow::Cancel);
  connect(FExportCsv, &QPushButton::clicked, this, &TStabilityWindow::ChooseCsv);
  connect(FExportPng, &QPushButton::clicked, this, &TStabilityWindow::ChoosePng);
  buttons->addWidget(FAnalyse);
  buttons->addWidget(FCancel);
  buttons->addStretch(1);
  buttons->addWidget(FExportCsv);
  buttons->addWidget(FExportPng);
  grid->addLayout(buttons, 2, 0, 1, 2);
  grid->setColumnStretch(1, 1);
  return panel;
}

QCheckBox* TStabilityWindow::EstimatorBox(TStabilityEstimator estimator) const {
  return FEstimators[static_cast<std::size_t>(estimator)];
}

void TStabilityWindow::OpenFiles(const QStringList& files) {
  if (Busy() || files.isEmpty()) return;
  QString error;
  std::vector<TStabilityColumnChoice> choices = StabilityFileColumns(files.front(), error);
  FColumns->clear();
  FChoices.clear();
  FFiles.clear();
  FFileLabel->setText(tr("no file"));
  if (!error.isEmpty()) {
    FStatus->setText(error);
    SetBusy(false);
    return;
  }
  FFiles = files;
  FChoices = std::move(choices);
  FPlainFile = FChoices.empty();
  const QString first = QFileInfo(files.front()).fileName();
  FFileLabel->setText(files.size() == 1 ? first : tr("%1 and %2 more").arg(first).arg(files.size() - 1));
  FFileLabel->setToolTip(files.join(QLatin1Char('\n')));
  if (FPlainFile) {
    auto* item = new QListWidgetItem(Swatch(SeriesColor({})), first, FColumns);
    item->setFlags(Qt::ItemIsEnabled);
  }
  for (const TStabilityColumnChoice& choice : FChoices) {
    auto* item = new QListWidgetItem(Swatch(SeriesColor(choice.Title.toStdString())), choice.Title, FColumns);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
    item->setCheckState(FColumns->count() == 1 ? Qt::Checked : Qt::Unchecked);
    item->setData(Qt::UserRole, choice.Request);
  }
  FStatus->setText(FPlainFile ? tr("Plain data: say what the values are and their interval τ0.")
                              : tr("Pick columns and estimators, then Analyse."));
  SetBusy(false);
}

QString TStabilityWindow::BuildRequest(TStabilityRequest& request) const {
  if (FFiles.isEmpty()) return tr("Open a file first.");
  for (const QString& file : FFiles) request.Files.push_back(file.toStdString());
  if (FPlainFile) {
    request.Read.PlainKind = static_cast<TStabilityDataKind>(FPlainKind->currentData().toInt());
    request.Read.Tau0 = FPlainTau0->value();
  } else {
    for (int row = 0; row < FColumns->count(); ++row)
      if (FColumns->item(row)->checkState() == Qt::Checked)
        request.Read.Columns.push_back(FColumns->item(row)->data(Qt::UserRole).toString().toStdString());
    if (request.Read.Columns.empty()) return tr("Pick at least one column.");
  }
  if (!FNominal->text().trimmed().isEmpty()) {
    const std::optional<double> nominal = ParseNumber(FNominal->text());
    if (!nominal || !(*nominal > 0)) return tr("The nominal frequency must be a positive number of Hz.");
    request.Read.Nominal = nominal;
  }
  TStabilityOptions& options = request.Analysis;
  options.Estimators.clear();
  for (int k = 0; k < kStabilityEstimatorCount; ++k)
    if (FEstimators[static_cast<std::size_t>(k)]->isChecked()) options.Estimators.push_back(kEstimators[k]);
  if (options.Estimators.empty()) return tr("Pick at least one estimator.");
  options.Taus = static_cast<TTauSet>(FTauSet->currentData().toInt());
  if (options.Taus == TTauSet::List) {
    for (const QString& item : FTauList->text().split(QLatin1Char(','), Qt::SkipEmptyParts)) {
      const std::optional<double> tau = ParseNumber(item);
      if (!tau || !(*tau > 0)) return tr("\"%1\" is no tau in seconds.").arg(item.trimmed());
      options.TauList.push_back(*tau);
    }
    if (options.TauList.empty()) return tr("Give the taus in seconds, separated by commas.");
  }
  options.Confidence = FConfidence->value() / 100.0;
  return {};
}

void TStabilityWindow::Analyse() {
  if (Busy()) return;
  TStabilityRequest request;
  if (const QString error = BuildRequest(request); !error.isEmpty()) {
    FStatus->setText(error);
    return;
  }
  if (!FJob.Start(std::move(request))) return;
  FStatus->setText(tr("Analysing..."));
  SetBusy(true);
  FPollTimer->start();
}

void TStabilityWindow::Cancel() {
  if (!Busy()) return;
  FJob.Cancel();
  FStatus->setText(tr("Cancelling..."));
}

void TStabilityWindow::closeEvent(QCloseEvent* event) {
  FJob.Cancel();
  QWidget::closeEvent(event);
}

void TStabilityWindow::SetBusy(bool busy) {
  FAnalyse->setEnabled(!busy && !FFiles.isEmpty());
  FCancel->setEnabled(busy);
  FExportCsv->setEnabled(!busy && !FResults.empty());
  FExportPng->setEnabled(!busy && !FResults.empty());
  FProgress->setVisible(busy);
  FColumns->setEnabled(!busy);
  FPlainKind->setEnabled(!busy && FPlainFile);
  FPlainTau0->setEnabled(!busy && FPlainFile);
}

void TStabilityWindow::Poll() {
  FProgress->setValue(static_cast<int>(FJob.Progress() * 1000));
  std::optional<TStabilityOutcome> outcome = FJob.Take();
  if (!outcome) return;
  FPollTimer->stop();
  if (outcome->Cancelled) {
    FStatus->setText(tr("Cancelled."));
  } else if (!outcome->Error.empty()) {
    FStatus->setText(QString::fromStdString(outcome->Error));
  } else {
    FResults = std::move(outcome->Series);
    FNotes = std::move(outcome->Notes);
    ShowResults();
    QStringList lines;
    for (const std::string& note : FNotes) lines << QString::fromStdString(note);
    FStatus->setText(lines.isEmpty() ? tr("%n series analysed.", nullptr, static_cast<int>(FResults.size()))
                                     : lines.join(QLatin1Char('\n')));
  }
  SetBusy(false);
}

QColor TStabilityWindow::SeriesColor(const std::string& name) const {
  const QString title = QString::fromStdString(name);
  for (const TStabilityColumnChoice& choice : FChoices) {
    if (choice.Title != title) continue;
    if (FColorLookup) {
      const QColor color = FColorLookup(choice);
      if (color.isValid()) return color;
    }
    const TChannelPalette palette = choice.TimeInterval ? (choice.Virtual ? TChannelPalette::cpVirtualQMT : TChannelPalette::cpQMT)
                                                        : (choice.Virtual ? TChannelPalette::cpVirtual : TChannelPalette::cpCounter);
    return PlotColor(ChannelColors::PaletteColor(palette, choice.Channel > 0 ? choice.Channel : 1));
  }
  return PlotColor(ChannelColors::PaletteColor(TChannelPalette::cpCounter, 1));
}

void TStabilityWindow::ShowResults() {
  FPlot->clearPlottables();
  FTable->setRowCount(0);
  double lowest = HUGE_VAL, highest = 0, shortest = HUGE_VAL, longest = 0;
  int row = 0;
  std::vector<bool> drawn(kStabilityEstimatorCount, false);
  bool seconds = false, fractions = false;
  for (const TAnalysedSeries& series : FResults) {
    const QColor color = SeriesColor(series.Name);
    const QString name = QString::fromStdString(series.Name);
    AddLegendEntry(*FPlot, name, QPen(color, 3), QCPScatterStyle());
    for (TStabilityEstimator estimator : kEstimators) {
      QVector<double> taus, deviations, below, above;
      for (const TStabilityRow& r : series.Result.Rows) {
        if (r.Estimator != estimator || !(r.Deviation > 0) || !std::isfinite(r.Deviation)) continue;
        taus.push_back(r.Tau);
        deviations.push_back(r.Deviation);
        // A bound that is missing (MTIE) or not positive draws no bar on a log axis.
        below.push_back(std::isfinite(r.Low) && r.Low > 0 ? r.Deviation - r.Low : 0);
        above.push_back(std::isfinite(r.High) ? r.High - r.Deviation : 0);
        lowest = std::min(lowest, r.Deviation - below.back());
        highest = std::max(highest, r.Deviation + above.back());
        shortest = std::min(shortest, r.Tau);
        longest = std::max(longest, r.Tau);
      }
      if (taus.isEmpty()) continue;
      drawn[static_cast<std::size_t>(estimator)] = true;
      (estimator == TStabilityEstimator::Tdev || estimator == TStabilityEstimator::Mtie ? seconds : fractions) = true;
      QCPGraph* graph = FPlot->addGraph();
      graph->removeFromLegend();
      graph->setPen(QPen(color, 1.5));
      graph->setScatterStyle(QCPScatterStyle(EstimatorShape(estimator), color, Qt::white, 7));
      graph->setData(taus, deviations, true);
      auto* bars = new QCPErrorBars(FPlot->xAxis, FPlot->yAxis);
      bars->removeFromLegend();
      bars->setDataPlottable(graph);
      bars->setData(below, above);
      bars->setPen(QPen(color, 1));
    }
    for (const TStabilityRow& r : series.Result.Rows) {
      FTable->insertRow(row);
      const QStringList cells = {name,
                                 QString::fromLatin1(StabilityEstimatorTitle(r.Estimator)),
                                 QString::fromStdString(StabilityNumber(r.Tau)),
                                 QString::number(r.M),
                                 QString::number(r.N),
                                 QString::number(r.Terms),
                                 QString::fromStdString(StabilityNoiseText(r)),
                                 QString::fromStdString(StabilityNumber(r.Deviation)),
                                 QString::fromStdString(StabilityNumber(r.Low)),
                                 QString::fromStdString(StabilityNumber(r.High)),
                                 QString::fromStdString(StabilityNumber(r.Edf, 5))};
      for (int column = 0; column < tcCount; ++column) {
        auto* item = new QTableWidgetItem(cells[column]);
        if (column >= tcTau && column != tcNoise) item->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
        if (column == tcSeries) item->setIcon(Swatch(color));
        FTable->setItem(row, column, item);
      }
      ++row;
    }
  }
  for (TStabilityEstimator estimator : kEstimators)
    if (drawn[static_cast<std::size_t>(estimator)])
      AddLegendEntry(*FPlot, QString::fromLatin1(StabilityEstimatorTitle(estimator)), Qt::NoPen,
                     QCPScatterStyle(EstimatorShape(estimator), Qt::black, Qt::white, 7));
  FPlot->legend->setVisible(!FResults.empty());
  if (seconds && fractions)
    SetAxisTitles(FPlot->yAxis, {tr("σ(τ); TDEV, MTIE [s]"), QStringLiteral("σ(τ)")});
  else
    SetAxisTitles(FPlot->yAxis, {seconds ? tr("σ(τ) [s]") : QStringLiteral("σ(τ)")});
  if (highest > 0 && longest > 0 && lowest > 0) {
    FPlot->xAxis->setRange(DecadeRange(shortest, longest * 1.0001));
    FPlot->yAxis->setRange(DecadeRange(lowest, highest * 1.0001));
  }
  FPlot->replot();
}

bool TStabilityWindow::ExportCsv(const QString& file) {
  std::ofstream out(file.toStdString(), std::ios::binary | std::ios::trunc);
  if (out) {
    WriteStabilityCsvHeader(out);
    for (const TAnalysedSeries& series : FResults) WriteStabilityCsvRows(out, series.Name, series.Kind, series.Result);
    out.close();
  }
  if (!out) {
    FStatus->setText(tr("Cannot write %1.").arg(file));
    return false;
  }
  FStatus->setText(tr("Written %1.").arg(file));
  return true;
}

bool TStabilityWindow::ExportPng(const QString& file) {
  if (!FPlot->savePng(file, 0, 0)) {
    FStatus->setText(tr("Cannot write %1.").arg(file));
    return false;
  }
  FStatus->setText(tr("Written %1.").arg(file));
  return true;
}

void TStabilityWindow::ChooseFiles() {
  const QStringList files = QFileDialog::getOpenFileNames(this, tr("Open log files of one run"), {},
                                                          tr("Log and data files (*.txt *.dat *.log);;All files (*)"));
  OpenFiles(files);
}

void TStabilityWindow::ChooseCsv() {
  const QString file = QFileDialog::getSaveFileName(this, tr("Export CSV"), {}, tr("CSV files (*.csv)"));
  if (!file.isEmpty()) ExportCsv(file);
}

void TStabilityWindow::ChoosePng() {
  const QString file = QFileDialog::getSaveFileName(this, tr("Export PNG"), {}, tr("PNG images (*.png)"));
  if (!file.isEmpty()) ExportPng(file);
}
