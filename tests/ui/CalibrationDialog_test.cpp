// The QMT calibration dialog on a simulated counter.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QToolButton>

#include "app/core/ZEP_Sessions.h"
#include "app/data/QMT_DataManagement.h"
#include "ui/CalibrationDialog.h"
#include "UiTestSupport.h"

namespace {

using namespace std::chrono_literals;

TEST(CalibrationChoice, FollowsTheCheckBoxTheFirmwareAndTheValues) {
  const std::vector<double> device{0.0, 1.5, -2.0};
  const struct {
    bool Enabled;
    int Firmware;
    std::vector<double> Values;
    TCalibrationChoice Choice;
  } cases[] = {
      {false, 100, {0.0, 9.0, -2.0}, TCalibrationChoice::StopUsing},
      {true, 60, {0.0, 9.0, -2.0}, TCalibrationChoice::Keep},
      {true, 61, {0.0, 1.5, -2.0}, TCalibrationChoice::UseDevice},
      {true, 61, {0.0, 1.5, -2.5}, TCalibrationChoice::Transmit},
      {true, 61, {0.0, 1.5, -2.0, 0.0}, TCalibrationChoice::UseDevice},  // a row the counter has no value for: 0
  };
  for (const auto& c : cases)
    EXPECT_EQ(CalibrationChoice(c.Enabled, c.Firmware, device, c.Values), c.Choice)
        << c.Enabled << " " << c.Firmware << " " << c.Values.size();
}

class CalibrationDialogTest : public TRunningWindowTest {
 protected:
  std::shared_ptr<TVQSessionItem> Session() const {
    return std::dynamic_pointer_cast<TVQSessionItem>(FWindow->App().Session(0));
  }
};

// Reached from the Counter menu; one row per QMT channel of the counter,
// the counter's calibration once it came, channel 1 never editable.
TEST_F(CalibrationDialogTest, ShowsTheCounterAndTheCalculatedCalibration) {
  bool found = false;
  for (QAction* menu : FWindow->menuBar()->actions())
    if (menu->menu())
      for (QAction* action : menu->menu()->actions()) found = found || action->text() == "QMT C&alibration...";
  EXPECT_TRUE(found);
  EXPECT_FALSE(FWindow->CalibrationDialog(5));

  const auto session = Session();
  ASSERT_TRUE(TickUntil(*FWindow, 5000ms, [&] {
    return session->QMT().ChannelCount() > 0 && session->QMT().DeviceCalibrationSet();
  }));
  const std::unique_ptr<TCalibrationDialog> dialog = FWindow->CalibrationDialog(0);
  ASSERT_TRUE(dialog);
  EXPECT_EQ(dialog->Rows(), session->QMT().ChannelCount());
  EXPECT_TRUE(dialog->EnableBox()->isChecked());
  EXPECT_EQ(dialog->DeviceLabel(1)->text(), "0.000");
  EXPECT_EQ(dialog->ValueEdit(2)->text(), "0.000");
  EXPECT_TRUE(dialog->ValueEdit(1)->isReadOnly());
  EXPECT_FALSE(dialog->TakeOverButton(1));
  // The simulated counter's firmware takes no calibration: nothing is editable.
  EXPECT_EQ(dialog->Editable(), session->FirmwareVersion() >= TCalibrationDialog::kMinFirmware);
  EXPECT_EQ(dialog->ValueEdit(2)->isReadOnly(), !dialog->Editable());
  dialog->TakeOverButton(2)->setEnabled(true);
  dialog->TakeOverButton(2)->click();
  EXPECT_EQ(dialog->ValueEdit(2)->text(), dialog->CalculatedLabel(2)->text());
}

// OK refuses what it cannot use and stays open; unchecked it stops using
// the counter's calibration, checked again it uses it.
TEST_F(CalibrationDialogTest, OkChecksTheValuesAndSetsTheChoice) {
  const auto session = Session();
  ASSERT_TRUE(TickUntil(*FWindow, 5000ms, [&] { return session->QMT().DeviceCalibrationSet(); }));
  {
    const std::unique_ptr<TCalibrationDialog> dialog = FWindow->CalibrationDialog(0);
    ASSERT_TRUE(dialog);
    dialog->ValueEdit(2)->setText("1.5x");
    dialog->accept();
    EXPECT_NE(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(dialog->Error(), "Invalid floating point input 1.5x");
    dialog->ValueEdit(2)->setText("1E9");
    dialog->accept();
    EXPECT_EQ(dialog->Error(), "Calibration value 1E9 out of range");
    EXPECT_TRUE(session->UseDeviceCalibration());

    dialog->ValueEdit(2)->setText("2,5");  // either separator
    dialog->EnableBox()->click();          // off: the counter's values are shown again
    EXPECT_EQ(dialog->ValueEdit(2)->text(), "0.000");
    dialog->accept();
    EXPECT_EQ(dialog->result(), QDialog::Accepted);
    EXPECT_EQ(dialog->Error(), "");
    EXPECT_FALSE(session->UseDeviceCalibration());
    EXPECT_TRUE(session->QMT().AddLogStrings());
  }
  const std::unique_ptr<TCalibrationDialog> dialog = FWindow->CalibrationDialog(0);
  EXPECT_FALSE(dialog->EnableBox()->isChecked());
  dialog->EnableBox()->click();
  dialog->accept();
  EXPECT_EQ(dialog->result(), QDialog::Accepted);
  // Unchanged values on firmware that takes a calibration: the counter's is used;
  // older firmware keeps the choice as it was.
  EXPECT_EQ(session->UseDeviceCalibration(), session->FirmwareVersion() >= TCalibrationDialog::kMinFirmware);
}

}  // namespace
