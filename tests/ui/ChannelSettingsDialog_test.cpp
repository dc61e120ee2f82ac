#include "ui/ChannelSettingsDialog.h"

#include <gtest/gtest.h>

#include <QComboBox>
#include <QLineEdit>
#include <QSpinBox>
#include <QTableWidget>

#include "UiTestSupport.h"

namespace {

void Type(QTableWidget& table, int row, int column, const char* text) {
  table.item(row, column)->setText(QString::fromLatin1(text));
}

// The dialog shows the stored rows over the counter's channels, takes
// either decimal mark, drops rows that are all zero so the channels stay
// numbered without gaps, and refuses a cell that is no number.
TEST(ChannelSettingsDialog, EditsTheVirtualChannelRows) {
  TestApplication();
  TChannelSettings settings;
  settings.Virtual[0][0] = 1;
  settings.Virtual[0][1] = -1;
  settings.Virtual[1][5] = 2;  // beyond the four channels: its column is shown
  settings.VirtualDescription = "Differences";
  settings.ShortScale = 5;
  TChannelSettingsDialog dialog(settings, 4, 2);
  QTableWidget& table = *dialog.FactorTable(false);
  ASSERT_EQ(table.rowCount(), 2);
  ASSERT_EQ(table.columnCount(), 6);
  EXPECT_EQ(table.item(0, 1)->text().toStdString(), "-1");
  EXPECT_EQ(table.item(0, 2)->text().toStdString(), "");
  EXPECT_EQ(dialog.FactorTable(true)->rowCount(), 0);
  EXPECT_EQ(dialog.FactorTable(true)->columnCount(), 2);
  EXPECT_EQ(dialog.DescriptionEdit(false)->text().toStdString(), "Differences");
  EXPECT_EQ(dialog.ScaleBox(false)->value(), 5);

  // Row 2 emptied, row 3 added: row 3 becomes virtual channel 2.
  Type(table, 1, 5, "");
  ASSERT_TRUE(dialog.AddChannel(false));
  Type(table, 2, 0, " 0,5 ");
  Type(table, 2, 3, "1e-1");
  ASSERT_TRUE(dialog.AddChannel(true));
  Type(*dialog.FactorTable(true), 0, 1, "3");
  dialog.ScaleBox(true)->setValue(7);
  dialog.accept();
  ASSERT_EQ(dialog.result(), QDialog::Accepted) << dialog.Error().toStdString();
  const TChannelSettings result = dialog.Settings();
  EXPECT_EQ(result.Virtual[0][1], -1.0);
  EXPECT_EQ(result.Virtual[1][0], 0.5);
  EXPECT_EQ(result.Virtual[1][3], 0.1);
  EXPECT_EQ(result.Virtual[2], TDataManagement::TFactorRow{});
  EXPECT_EQ(result.VirtualQMT[0][1], 3.0);
  EXPECT_EQ(result.LongScale, 7);
  EXPECT_EQ(result.ShortScale, 5);

  TChannelSettingsDialog refusing(settings, 4, 2);
  Type(*refusing.FactorTable(false), 0, 2, "abc");
  refusing.accept();
  EXPECT_NE(refusing.result(), QDialog::Accepted);
  EXPECT_EQ(refusing.Error().toStdString(), "Virtual channels: Row 1, channel 3: \"abc\" is no number");
}

// The names of every card are edited in one table: a changed card keeps
// what was typed, "Defaults" restores the shown card, an emptied name is
// the default, and the accepted names reach the session.
TEST(ChannelSettingsDialog, EditsTheSignalNamesOfEveryCard) {
  TestApplication();
  TVQSessionItem session(-1, 0, nullptr, nullptr);
  TPDICardNames third = session.PDISignalNames()[2];
  third[4] = "Heater";
  session.SetPDISignalNames(3, third);
  TChannelSettingsDialog dialog(session.ChannelSettings(), 4, 0);
  QTableWidget& names = *dialog.PDINameTable();
  ASSERT_EQ(names.rowCount(), kPDIBits);
  EXPECT_EQ(names.item(31, 0)->text().toStdString(), "PDI1_Bit31");

  names.item(0, 0)->setText(" Door ");
  names.item(1, 0)->setText("");
  dialog.PDICardBox()->setCurrentIndex(1);
  EXPECT_EQ(names.item(0, 0)->text().toStdString(), "PDI2_Bit0");
  names.item(31, 0)->setText("Alarm, loud");
  dialog.PDICardBox()->setCurrentIndex(2);
  EXPECT_EQ(names.item(4, 0)->text().toStdString(), "Heater");
  dialog.SetPDIDefaults();
  EXPECT_EQ(names.item(4, 0)->text().toStdString(), "PDI3_Bit4");
  dialog.PDICardBox()->setCurrentIndex(0);
  EXPECT_EQ(names.item(0, 0)->text().toStdString(), "Door");
  dialog.accept();
  ASSERT_EQ(dialog.result(), QDialog::Accepted) << dialog.Error().toStdString();

  session.SetChannelSettings(dialog.Settings());
  EXPECT_EQ(session.PDISignalName(1, 0), "Door");
  EXPECT_EQ(session.PDISignalName(1, 1), "PDI1_Bit1");
  EXPECT_EQ(session.PDISignalName(2, 31), "Alarm, loud");
  EXPECT_EQ(session.PDISignalName(3, 4), "PDI3_Bit4");
  EXPECT_EQ(session.PDISignalName(8, 7), "PDI8_Bit7");
}

}  // namespace
