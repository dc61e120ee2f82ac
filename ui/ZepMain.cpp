// The desktop program: zep [--config DIR] [--connect CONNECTION] [--analyze FILE]... [--screenshot DIR]
#include <QApplication>
#include <QCheckBox>
#include <QListWidget>
#include <QCommandLineParser>
#include <QDir>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTimer>
#include <cstdio>

#include "ui/LogMenu.h"
#include "ui/SignalPipe.h"
#include "ui/StabilityWindow.h"
#include "ui/ViewBase.h"
#include "ui/ZepMainWindow.h"

namespace {

constexpr int kScreenshotWaitMs = 6000;

// The size a view opens at, and a small one where labels and buttons must
// still fit.
constexpr QSize kDefaultViewSize(560, 360);
constexpr QSize kSmallViewSize(320, 210);

bool GrabAt(QWidget& widget, QSize size, const QString& file) {
  widget.resize(size);
  QApplication::processEvents();
  return widget.grab().save(file);
}

// Saves the main window, every view at its default and at a small size, and
// the stability windows, as PNG files, then closes the program.
void TakeScreenshots(TZepMainWindow& window, const QString& folder) {
  QDir().mkpath(folder);
  int failures = 0;
  if (!window.grab().save(folder + "/zep-main.png")) ++failures;
  int n = 0;
  for (QMdiSubWindow* frame : window.MdiArea()->subWindowList()) {
    auto* view = qobject_cast<TViewChild*>(frame->widget());
    const QString kind = view ? QString::number(static_cast<int>(view->Kind())) : QStringLiteral("info");
    const QString base = QStringLiteral("%1/zep-view-%2-kind%3").arg(folder).arg(++n, 2, 10, QChar('0')).arg(kind);
    const QSize tiled = frame->size();
    if (!frame->grab().save(base + ".png")) ++failures;
    if (!GrabAt(*frame, kDefaultViewSize, base + "-default.png")) ++failures;
    if (!GrabAt(*frame, kSmallViewSize, base + "-small.png")) ++failures;
    frame->resize(tiled);
  }
  n = 0;
  for (auto* stability : window.findChildren<TStabilityWindow*>()) {
    const QString base = QStringLiteral("%1/zep-stability-%2").arg(folder).arg(++n);
    if (!stability->grab().save(base + ".png")) ++failures;
    if (!GrabAt(*stability, QSize(640, 520), base + "-small.png")) ++failures;
  }
  std::fprintf(stderr, "zep: screenshots written to %s (%d failed)\n", folder.toLocal8Bit().constData(), failures);
  window.close();
}

// The stability window over `files`, every phase column and two estimators
// chosen, analysing.
void AnalyzeFiles(TZepMainWindow& window, const QStringList& files) {
  TStabilityWindow* stability = window.LogMenu()->OpenStabilityWindow();
  stability->OpenFiles(files);
  QListWidget& columns = *stability->ColumnList();
  for (int row = 0; row < columns.count(); ++row)
    if (columns.item(row)->flags() & Qt::ItemIsUserCheckable)
      columns.item(row)->setCheckState(columns.item(row)->text().contains(QStringLiteral(":phase:")) ? Qt::Checked
                                                                                                       : Qt::Unchecked);
  stability->EstimatorBox(TStabilityEstimator::Mdev)->setChecked(true);
  stability->Analyse();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("zep"));
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral("ZEP measurement program"));
  parser.addHelpOption();
  const QCommandLineOption config(QStringList{"c", "config"}, QStringLiteral("Configuration folder."), QStringLiteral("DIR"));
  const QCommandLineOption connect(QStringLiteral("connect"),
                                   QStringLiteral("Connection of a first start (skips the connection dialog)."),
                                   QStringLiteral("CONNECTION"));
  const QCommandLineOption screenshot(QStringLiteral("screenshot"),
                                      QStringLiteral("Open every view kind, save PNGs of the windows into DIR and quit."),
                                      QStringLiteral("DIR"));
  const QCommandLineOption professional(QStringLiteral("professional"), QStringLiteral("Professional mode."));
  const QCommandLineOption analyze(QStringLiteral("analyze"),
                                   QStringLiteral("Open the stability analysis of a log file (repeat for the day files of a run)."),
                                   QStringLiteral("FILE"));
  parser.addOptions({config, connect, screenshot, professional, analyze});
  parser.process(application);

  TMainWindowOptions options;
  options.ConfigFolder = parser.value(config).toStdString();
  options.Connect = parser.value(connect).toStdString();
  options.Professional = parser.isSet(professional);
  options.Interactive = !parser.isSet(screenshot);

  TZepMainWindow window(options);
  TSignalPipe signalPipe;
  QObject::connect(&signalPipe, &TSignalPipe::Terminate, &window, [&window](int) { window.SystemShutdown(); });
  window.show();
  if (!window.Start()) {
    if (window.StopRequested()) return 0;  // a signal during start-up: stopped in order
    std::fprintf(stderr, "zep: the application did not start\n");
    return 1;
  }
  if (parser.isSet(analyze)) AnalyzeFiles(window, parser.values(analyze));
  if (parser.isSet(screenshot)) {
    const QString folder = parser.value(screenshot);
    window.OpenEveryKind();
    QTimer::singleShot(kScreenshotWaitMs, &window, [&window, folder] { TakeScreenshots(window, folder); });
  }
  return QApplication::exec();
}
