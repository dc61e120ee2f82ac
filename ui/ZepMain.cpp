// The desktop program: zep [--config DIR] [--connect CONNECTION] [--screenshot DIR]
#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QTimer>
#include <cstdio>

#include "ui/SignalPipe.h"
#include "ui/ViewBase.h"
#include "ui/ZepMainWindow.h"

namespace {

constexpr int kScreenshotWaitMs = 6000;

// Saves the main window and every view as PNG files, then closes the program.
void TakeScreenshots(TZepMainWindow& window, const QString& folder) {
  QDir().mkpath(folder);
  int failures = 0;
  if (!window.grab().save(folder + "/zep-main.png")) ++failures;
  int n = 0;
  for (QMdiSubWindow* frame : window.MdiArea()->subWindowList()) {
    auto* view = qobject_cast<TViewChild*>(frame->widget());
    const QString kind = view ? QString::number(static_cast<int>(view->Kind())) : QStringLiteral("info");
    if (!frame->grab().save(QStringLiteral("%1/zep-view-%2-kind%3.png").arg(folder).arg(++n, 2, 10, QChar('0')).arg(kind)))
      ++failures;
  }
  std::fprintf(stderr, "zep: screenshots written to %s (%d failed)\n", folder.toLocal8Bit().constData(), failures);
  window.close();
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
  parser.addOptions({config, connect, screenshot, professional});
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
  if (parser.isSet(screenshot)) {
    const QString folder = parser.value(screenshot);
    window.OpenEveryKind();
    QTimer::singleShot(kScreenshotWaitMs, &window, [&window, folder] { TakeScreenshots(window, folder); });
  }
  return QApplication::exec();
}
