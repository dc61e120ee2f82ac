// One display tick of the desktop program with the default windows of a
// first start (two graphs, counter values, QMT values, messages) and a
// simulated counter with 24 channels at 10 ms: the tick takes the new
// entries of the stores, redraws the views and repaints (offscreen).
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QTemporaryDir>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "ui/ZepMainWindow.h"

namespace {

using Clock = std::chrono::steady_clock;

void WriteSettings(const QString& folder) {
  std::ofstream ini((folder + "/ZEP_App.ini").toStdString());
  ini << "SessionCount=1\nSession_0_SessionType=0\nSession_0_OpenString=DemoData\nSession_0_ConnectionType=6\n"
      << "Session_0_DemoChannels=0\nSession_0_DemoRate=3\n";  // 0: all 24 channels; rate 3: 10 ms
}

void TickAndPaint(TZepMainWindow& window) {
  window.DisplayTick();
  QApplication::processEvents();
}

void BM_DisplayTick(benchmark::State& state) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  int argc = 1;
  char name[] = "zep_bench_display_tick";
  char* argv[] = {name, nullptr};
  QApplication application(argc, argv);
  QTemporaryDir folder;
  WriteSettings(folder.path());
  TMainWindowOptions options;
  options.ConfigFolder = folder.path().toStdString();
  options.Interactive = false;
  options.StartTimers = false;
  TZepMainWindow window(options);
  window.resize(1280, 860);
  window.show();
  if (!window.Start()) {
    state.SkipWithError("the application did not start");
    return;
  }
  // Fill the rings first (2048 entries at 10 ms take 20.5 s): a tick then
  // draws full curves.
  const auto warm = Clock::now() + std::chrono::seconds(22);
  while (Clock::now() < warm) {
    std::this_thread::sleep_for(std::chrono::milliseconds(TZepMainWindow::kDisplayTickMs));
    TickAndPaint(window);
  }
  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::milliseconds(TZepMainWindow::kDisplayTickMs));
    const auto start = Clock::now();
    TickAndPaint(window);
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
  }
  state.counters["channels"] = static_cast<double>(window.StatusTexts().size() >= 2 ? window.StatusTexts()[1].mid(5).toInt() : 0);
  window.close();
}

}  // namespace

BENCHMARK(BM_DisplayTick)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(50);
