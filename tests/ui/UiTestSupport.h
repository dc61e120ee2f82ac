#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QTemporaryDir>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "library/sources/MultiSource.h"
#include "tests/support/FileText.h"
#include "ui/ZepMainWindow.h"

// One QApplication for the whole test program, on the offscreen platform.
inline QApplication& TestApplication() {
  static int argc = 1;
  static char name[] = "zep_ui_tests";
  static char* argv[] = {name, nullptr};
  static QApplication* app = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    return new QApplication(argc, argv);
  }();
  return *app;
}

// A configuration folder whose settings hold one simulated counter.
inline void WriteSimulatorSettings(const QString& folder, int channels, int rate) {
  std::ofstream ini((folder + "/ZEP_App.ini").toStdString());
  ini << "SessionCount=1\n"
      << "Session_0_SessionType=0\n"
      << "Session_0_OpenString=DemoData\n"
      << "Session_0_ConnectionType=6\n"
      << "Session_0_DemoChannels=" << channels << "\n"
      << "Session_0_DemoRate=" << rate << "\n";
}

inline TMainWindowOptions TestOptions(const QString& folder) {
  TMainWindowOptions options;
  options.ConfigFolder = folder.toStdString();
  options.Interactive = false;
  options.StartTimers = false;
  return options;
}

// Runs display ticks for `duration`, as the display timer would.
inline void RunTicks(TZepMainWindow& window, std::chrono::milliseconds duration) {
  const auto end = std::chrono::steady_clock::now() + duration;
  while (std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(TZepMainWindow::kDisplayTickMs));
    window.DisplayTick();
    QApplication::processEvents();
  }
}

// Ticks until `done` holds or `limit` passes; the last value of `done`.
template <typename F>
bool TickUntil(TZepMainWindow& window, std::chrono::milliseconds limit, F&& done) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(TZepMainWindow::kDisplayTickMs));
    window.DisplayTick();
    QApplication::processEvents();
  }
  return true;
}

// A started main window on a simulated counter of four channels at 10 ms.
class TRunningWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TestApplication();
    ASSERT_TRUE(FDir.isValid());
    WriteSimulatorSettings(FDir.path(), 4, 3);
    FWindow = std::make_unique<TZepMainWindow>(TestOptions(FDir.path()));
    FWindow->resize(1200, 900);
    FWindow->show();
    ASSERT_TRUE(FWindow->Start());
  }

  QTemporaryDir FDir;
  std::unique_ptr<TZepMainWindow> FWindow;
};
