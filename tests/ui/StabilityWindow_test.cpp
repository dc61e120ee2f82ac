#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QTableWidget>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <qcustomplot.h>
#include <sstream>

#include "UiTestSupport.h"
#include "app/analysis/App_StabilityReader.h"
#include "app/core/ZEP_Sessions.h"
#include "app/output/ZEP_MultiSampler.h"
#include "tests/app/output/SamplerTestSupport.h"
#include "ui/LogMenu.h"
#include "ui/StabilityWindow.h"
#include "ui/ViewBase.h"

namespace {

constexpr auto kAnalysisLimit = std::chrono::seconds(30);

bool WaitIdle(TStabilityWindow& window) {
  const auto end = std::chrono::steady_clock::now() + kAnalysisLimit;
  while (window.Busy()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    QApplication::processEvents(QEventLoop::AllEvents, 20);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

double CellNumber(const QTableWidget& table, int row, int column) {
  const std::string text = table.item(row, column)->text().toStdString();
  double value = NAN;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

QListWidgetItem* ColumnItem(const QListWidget& list, const QString& title) {
  for (int row = 0; row < list.count(); ++row)
    if (list.item(row)->text() == title) return list.item(row);
  return nullptr;
}

// The program logs a simulated counter; the window from the Logging menu
// analyses that log: the table holds the library's own deviations and
// bounds, the curves are drawn in the session's channel colours with error
// bars, and the CSV export carries every row.
class StabilityWindowTest : public TRunningWindowTest {
 protected:
  std::string WriteRunLog() {
    const std::string folder = (FDir.path() + "/logs/").toStdString();
    std::filesystem::create_directories(folder);
    TLogMenu& menu = *FWindow->LogMenu();
    const int slot =
        menu.AddDefinition(OnePartDefinition(folder + "run.txt", 0, false, {LogType::Phase, LogType::Freq}, {1, 2}));
    EXPECT_GE(slot, 0);
    RunTicks(*FWindow, std::chrono::milliseconds(2500));
    FWindow->App().MultiSampler()->SetEnabled(slot, false);
    FWindow->App().FlushLogs();
    for (const auto& entry : std::filesystem::directory_iterator(folder))
      if (entry.path().filename().string().starts_with("run_")) return entry.path().string();
    return {};
  }
};

TEST_F(StabilityWindowTest, AnalysesALogOfTheRunningCounterLikeTheLibrary) {
  const auto counter = std::dynamic_pointer_cast<TVQSessionItem>(FWindow->App().Sessions().at(0));
  ASSERT_TRUE(counter);
  TSessionChannelData channels = counter->Channels();
  channels.Counter.SetColor(2, 0x2080C0);  // a colour no palette has
  counter->SetChannels(channels);
  const std::string log = WriteRunLog();
  ASSERT_FALSE(log.empty());

  QAction* open = nullptr;
  for (QAction* top : FWindow->menuBar()->actions())
    if (top->text() == QStringLiteral("&Logging"))
      for (QAction* entry : top->menu()->actions())
        if (entry->text() == QStringLiteral("Stability Analysis...")) open = entry;
  ASSERT_NE(open, nullptr);
  open->trigger();
  auto* window = FWindow->findChild<TStabilityWindow*>();
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->isVisible());
  EXPECT_EQ(window->windowTitle().toStdString(), "Stability analysis");

  window->OpenFiles({QString::fromStdString(log)});
  QListWidget& columns = *window->ColumnList();
  ASSERT_EQ(columns.count(), 4) << window->StatusLabel()->text().toStdString();
  QListWidgetItem* phase2 = ColumnItem(columns, QStringLiteral("A:phase:2 (Channel_2)"));
  QListWidgetItem* freq2 = ColumnItem(columns, QStringLiteral("A:freq:2 (Channel_2)"));
  ASSERT_TRUE(phase2 && freq2);
  for (int row = 0; row < columns.count(); ++row) columns.item(row)->setCheckState(Qt::Unchecked);
  phase2->setCheckState(Qt::Checked);
  freq2->setCheckState(Qt::Checked);
  window->EstimatorBox(TStabilityEstimator::Mdev)->setChecked(true);
  window->EstimatorBox(TStabilityEstimator::Mtie)->setChecked(true);
  window->ConfidenceBox()->setValue(90);
  window->AnalyseButton()->click();
  EXPECT_TRUE(window->Busy() || !window->Results().empty());
  ASSERT_TRUE(WaitIdle(*window));
  ASSERT_EQ(window->Results().size(), 2u) << window->StatusLabel()->text().toStdString();

  // The same files through the library.
  TStabilityReadOptions read;
  read.Columns = {"A:phase:2", "A:freq:2"};
  const TStabilityReadResult data = ReadStabilityFiles({log}, read);
  ASSERT_EQ(data.Status, TReadStatus::Ok) << data.Error;
  const QTableWidget& table = *window->Table();
  int row = 0;
  for (const TStabilitySeries& series : data.Series) {
    TStabilityOptions options;
    options.Tau0 = series.Tau0;
    options.Kind = series.Kind;
    options.Estimators = {TStabilityEstimator::Oadev, TStabilityEstimator::Mdev, TStabilityEstimator::Mtie};
    options.Confidence = 0.9;
    const TStabilityResult expected = AnalyzeStability(series.Values, options);
    ASSERT_FALSE(expected.Rows.empty());
    for (const TStabilityRow& r : expected.Rows) {
      ASSERT_LT(row, table.rowCount());
      SCOPED_TRACE(series.Name + " " + StabilityEstimatorTitle(r.Estimator) + " row " + std::to_string(row));
      EXPECT_EQ(table.item(row, 0)->text().toStdString(), series.Name);
      EXPECT_EQ(table.item(row, 1)->text().toStdString(), StabilityEstimatorTitle(r.Estimator));
      EXPECT_NEAR(CellNumber(table, row, 2), r.Tau, 1e-6 * r.Tau);
      EXPECT_EQ(CellNumber(table, row, 5), static_cast<double>(r.Terms));
      EXPECT_NEAR(CellNumber(table, row, 7), r.Deviation, 1e-6 * r.Deviation);
      if (r.Estimator == TStabilityEstimator::Mtie) {
        EXPECT_EQ(table.item(row, 8)->text().toStdString(), "-");
      } else {
        EXPECT_NEAR(CellNumber(table, row, 8), r.Low, 1e-6 * r.Low);
        EXPECT_NEAR(CellNumber(table, row, 9), r.High, 1e-6 * r.High);
        EXPECT_LT(r.Low, r.Deviation);
      }
      ++row;
    }
  }
  EXPECT_EQ(row, table.rowCount());

  // One curve per series and estimator, in channel 2's colour, each with
  // its error bars; the legend names the series and the estimators.
  QCustomPlot& plot = *window->Plot();
  const QColor colour = PlotColor(0x2080C0);
  int curves = 0;
  for (int k = 0; k < plot.graphCount(); ++k)
    if (!plot.graph(k)->data()->isEmpty()) {
      ++curves;
      EXPECT_EQ(plot.graph(k)->pen().color(), colour);
    }
  EXPECT_EQ(curves, 6);
  QStringList legend;
  for (int k = 0; k < plot.legend->itemCount(); ++k)
    if (auto* item = qobject_cast<QCPPlottableLegendItem*>(plot.legend->item(k))) legend << item->plottable()->name();
  EXPECT_EQ(legend.join(QLatin1Char('|')).toStdString(), "A:phase:2 (Channel_2)|A:freq:2 (Channel_2)|OADEV|MDEV|MTIE");
  int bars = 0;
  for (int k = 0; k < plot.plottableCount(); ++k)
    if (auto* errors = qobject_cast<QCPErrorBars*>(plot.plottable(k))) {
      ++bars;
      EXPECT_EQ(errors->pen().color(), colour);
    }
  EXPECT_EQ(bars, 6);

  const QString csv = FDir.path() + "/out.csv";
  ASSERT_TRUE(window->ExportCsv(csv));
  std::istringstream text(ReadFile(csv.toStdString()));
  std::string line;
  std::getline(text, line);
  EXPECT_EQ(line, "series,kind,estimator,tau,m,n,terms,noise,noise_method,alpha,deviation,low,high,edf");
  int lines = 0;
  while (std::getline(text, line)) {
    EXPECT_TRUE(line.starts_with("\"A:phase:2 (Channel_2)\",phase,") || line.starts_with("\"A:freq:2 (Channel_2)\",freq,"))
        << line;
    ++lines;
  }
  EXPECT_EQ(lines, table.rowCount());
  const QString png = FDir.path() + "/out.png";
  ASSERT_TRUE(window->ExportPng(png));
  EXPECT_FALSE(QImage(png).isNull());
  EXPECT_FALSE(window->ExportCsv(FDir.path() + "/no/such/folder/out.csv"));
  EXPECT_TRUE(window->StatusLabel()->text().startsWith(QStringLiteral("Cannot write")));
  window->close();
}

// What the window refuses says why in its status line and leaves the last
// results in place.
TEST(StabilityWindow, RefusesWhatItCannotAnalyse) {
  TestApplication();
  QTemporaryDir dir;
  const QString data = dir.path() + "/series.dat";
  {
    std::ofstream out(data.toStdString());
    for (int k = 0; k < 200; ++k) out << (k % 7) * 1e-9 << "\n";
  }
  const QString headerOnly = dir.path() + "/cut.txt";
  std::ofstream(headerOnly.toStdString()) << "#Filename: cut.txt\r\n#Source: A\r\n1 2 3\r\n";

  struct TCase {
    const char* What;
    QString File;
    const char* Taus;  // a tau list, or null for octaves
    bool Estimators;
    const char* Status;  // the start of the status line
  } cases[] = {
      {"missing file", dir.path() + "/none.txt", nullptr, true, "cannot read"},
      {"log without a title line", headerOnly, nullptr, true, ""},
      {"tau not a multiple of tau0", data, "0.75", true, "tau 0.75 s is not a multiple of tau0 (0.5 s)"},
      {"text as a tau", data, "1, x", true, "\"x\" is no tau in seconds."},
      {"no estimator", data, nullptr, false, "Pick at least one estimator."},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    TStabilityWindow window;
    window.OpenFiles({c.File});
    if (c.File == data) {
      window.PlainTau0Box()->setValue(0.5);
      ASSERT_TRUE(window.AnalyseButton()->isEnabled());
    } else {
      EXPECT_FALSE(window.AnalyseButton()->isEnabled());
      EXPECT_TRUE(window.StatusLabel()->text().startsWith(QString::fromLatin1(c.Status)));
      EXPECT_TRUE(window.StatusLabel()->text().contains(c.File)) << window.StatusLabel()->text().toStdString();
      continue;
    }
    if (c.Taus) {
      window.TauSetBox()->setCurrentIndex(window.TauSetBox()->findData(static_cast<int>(TTauSet::List)));
      window.TauListEdit()->setText(QString::fromLatin1(c.Taus));
    }
    if (!c.Estimators) window.EstimatorBox(TStabilityEstimator::Oadev)->setChecked(false);
    window.Analyse();
    ASSERT_TRUE(WaitIdle(window));
    EXPECT_TRUE(window.Results().empty());
    EXPECT_TRUE(window.StatusLabel()->text().startsWith(QString::fromLatin1(c.Status)))
        << window.StatusLabel()->text().toStdString();
  }
}

// A long read stops when cancelled or when the window goes away: the
// worker is joined either way, and a later run analyses from the start.
TEST(StabilityWindow, CancelStopsALongReadAndAnotherRunFollows) {
  TestApplication();
  QTemporaryDir dir;
  const QString data = dir.path() + "/long.dat";
  {
    std::ofstream out(data.toStdString());
    const std::string line = "1.234567890123e-09\n";
    for (int k = 0; k < 1'500'000; ++k) out << line;  // 28 MB: many read chunks
  }
  TStabilityWindow window;
  window.OpenFiles({data});
  window.Analyse();
  ASSERT_TRUE(window.Busy());
  EXPECT_TRUE(window.CancelButton()->isEnabled());
  EXPECT_FALSE(window.AnalyseButton()->isEnabled());
  window.CancelButton()->click();
  ASSERT_TRUE(WaitIdle(window));
  EXPECT_EQ(window.StatusLabel()->text().toStdString(), "Cancelled.");
  EXPECT_TRUE(window.Results().empty());

  window.Analyse();
  ASSERT_TRUE(WaitIdle(window));
  ASSERT_EQ(window.Results().size(), 1u) << window.StatusLabel()->text().toStdString();
  EXPECT_EQ(window.Results()[0].Result.Values, 1'500'000);

  auto* closing = new TStabilityWindow;
  closing->OpenFiles({data});
  closing->Analyse();
  ASSERT_TRUE(closing->Busy());
  delete closing;  // joins its worker
}

}  // namespace
