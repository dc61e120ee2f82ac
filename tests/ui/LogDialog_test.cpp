#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMenuBar>
#include <QPushButton>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "UiTestSupport.h"
#include "app/core/ZEP_Settings.h"
#include "app/output/ZEP_MultiSampler.h"
#include "ui/LogDefinitionDialog.h"
#include "ui/LogMenu.h"
#include "ui/LogTimeFormatDialog.h"

namespace {

double FieldValue(const std::string& line, std::size_t begin, std::size_t width) {
  std::string field = line.substr(begin, width);
  field.erase(0, field.find_first_not_of(' '));
  double value = 0;
  std::from_chars(field.data(), field.data() + field.size(), value);
  return value;
}

using LogDialogTest = TRunningWindowTest;

// A definition made in the dialog (phase and frequency of channels 1 and 2)
// writes a log whose lines give the simulated counter's frequencies; the
// status bar says that logging is on until the log is closed again.
TEST_F(LogDialogTest, DialogDefinitionWritesTheCountersFrequencies) {
  TLogMenu& menu = *FWindow->LogMenu();
  const std::string folder = (FDir.path() + "/logs/").toStdString();
  TLogDefinitionDialog dialog(menu.Sources(), nullptr, 1, FWindow->App().Settings().LogRootFolder());
  ASSERT_EQ(dialog.PanelCount(), 1);
  dialog.SourceBox(0)->setCurrentIndex(0);  // A
  dialog.TypeBox(0, LogType::Phase)->setChecked(true);
  dialog.TypeBox(0, LogType::Freq)->setChecked(true);
  EXPECT_FALSE(dialog.TypeBox(0, LogType::QMT)->isEnabled());  // intervals come from the QMT copy
  for (int k = 3; k <= 24; ++k) dialog.ChannelBox(0, k)->setChecked(false);
  dialog.FolderEdit()->setText(QString::fromStdString(folder));
  dialog.NameEdit()->setText(QStringLiteral("run.txt"));
  dialog.accept();
  ASSERT_EQ(dialog.result(), QDialog::Accepted) << dialog.Error().toStdString();
  const int slot = menu.AddDefinition(dialog.Definition());
  ASSERT_GE(slot, 0);
  // The menu names the file relative to the configuration folder.
  QStringList entries;
  for (QAction* top : FWindow->menuBar()->actions())
    if (top->text() == QStringLiteral("&Logging"))
      for (QAction* entry : top->menu()->actions()) entries << entry->text();
  EXPECT_TRUE(entries.contains(QStringLiteral("&1 Log logs/run.txt"))) << entries.join(" | ").toStdString();

  RunTicks(*FWindow, std::chrono::milliseconds(2500));
  FWindow->App().FlushLogs();
  EXPECT_EQ(FWindow->LoggingStatusText().trimmed().toStdString(), "Logging");

  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    if (entry.path().filename().string().starts_with("run_")) files.push_back(entry.path());
  ASSERT_EQ(files.size(), 1u);
  const std::string text = ReadFile(files.front().string());
  constexpr std::size_t kWidth = 17 + 2 + 2 * 26 + 2 * 22;  // time, sync, 2 phases, 2 frequencies
  int lines = 0;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    ASSERT_FALSE(line.empty() || line.back() != '\r') << "lines end in CR LF";
    line.pop_back();
    if (line[0] == '#') continue;
    ASSERT_EQ(line.size(), kWidth) << line;
    ++lines;
    // The first line after a reset has phases but no measured frequency yet.
    if (lines == 1 && line.ends_with(std::string(21, '-'))) continue;
    EXPECT_NEAR(FieldValue(line, 17 + 2 + 2 * 26, 22), 1e7, 1.0) << line;
    EXPECT_NEAR(FieldValue(line, 17 + 2 + 2 * 26 + 22, 22), 1e7, 1.0) << line;
  }
  EXPECT_GT(lines, 50) << text;  // 10 ms lines for about two seconds

  FWindow->App().MultiSampler()->SetEnabled(slot, false);
  menu.Rebuild();
  EXPECT_TRUE(FWindow->LoggingStatusText().trimmed().isEmpty());
}

TEST_F(LogDialogTest, DialogRefusesWithoutTypesOrWithAFolderThatCannotBeMade) {
  const std::string blocker = (FDir.path() + "/file").toStdString();
  std::ofstream(blocker) << "x";
  TLogDefinitionDialog dialog(FWindow->LogMenu()->Sources(), nullptr, 1, FWindow->App().Settings().LogRootFolder());
  dialog.accept();
  EXPECT_NE(dialog.result(), QDialog::Accepted);
  EXPECT_FALSE(dialog.Error().isEmpty());
  dialog.TypeBox(0, LogType::Freq)->setChecked(true);
  dialog.FolderEdit()->setText(QString::fromStdString(blocker + "/logs"));
  dialog.accept();
  EXPECT_NE(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(dialog.Error().toStdString(), "Invalid path " + blocker + "/logs/ (Not a directory)");
}

// The time-format dialog starts from the settings, refuses an empty format,
// and what it returns is what the application stores.
TEST_F(LogDialogTest, TimeFormatDialogEditsTheLogTimeSettings) {
  TZEPSettings& settings = FWindow->App().Settings();
  TLogTimeFormatDialog dialog(settings.LogTimeFormat(), settings.LogTimeSourcePAV(), settings.LogTimeZoneSystem());
  EXPECT_EQ(dialog.FormatEdit()->text().toStdString(), "YYMMDD HHNNSS.ZZZ");
  EXPECT_EQ(dialog.ZoneBox()->currentText().toStdString(), "Local");
  EXPECT_EQ(dialog.SourceBox()->currentText().toStdString(), "PC Time");

  QPushButton* ok = dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
  dialog.FormatEdit()->setText(QStringLiteral("  "));
  EXPECT_FALSE(ok->isEnabled());
  dialog.FormatEdit()->setText(QStringLiteral("HH:NN:SS"));
  EXPECT_TRUE(ok->isEnabled());
  dialog.ZoneBox()->setCurrentIndex(1);
  dialog.SourceBox()->setCurrentIndex(1);
  EXPECT_EQ(FWindow->App().SetLogTimeOptions(dialog.Format(), dialog.SourcePAV(), dialog.ZoneUtc()), 8u | 16u | 32u);
  EXPECT_EQ(settings.LogTimeFormat(), "HH:NN:SS");
  EXPECT_TRUE(settings.LogTimeSourcePAV());
  EXPECT_TRUE(settings.LogTimeZoneSystem());
}

}  // namespace
