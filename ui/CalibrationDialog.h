#pragma once

#include <QDialog>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/core/ZEP_Sessions.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QToolButton;

// What OK does with the calibration the user left in the dialog.
enum class TCalibrationChoice {
  StopUsing,  // "Enable Calibration" off: no calibration is used
  Keep,       // firmware too old to take a calibration: nothing changes
  UseDevice,  // the counter's calibration, unchanged, is used
  Transmit,   // changed values go into the counter
};

// Decides from the dialog's state: `values` against the counter's `device`
// calibration (index 0 = channel 1; only the shown channels are compared).
TCalibrationChoice CalibrationChoice(bool enabled, int firmware, const std::vector<double>& device,
                                     const std::vector<double>& values);

// The QMT calibration of one counter session (its QMT-only copy when it has
// one): per channel the counter's calibration, the calculated one (its
// arrow takes it over) and the value to use. Values can be edited only with
// "Enable Calibration" checked, the counter's calibration known and a
// firmware that takes one. OK checks every value; a refusal is shown in the
// dialog, which stays open.
class TCalibrationDialog : public QDialog {
  Q_OBJECT
 public:
  static constexpr int kMinFirmware = 61;  // older counters cannot take a calibration

  explicit TCalibrationDialog(std::shared_ptr<TVQSessionItem> session, QWidget* parent = nullptr);

  int Rows() const { return static_cast<int>(FRows.size()); }
  QCheckBox* EnableBox() const { return FEnable; }
  QLineEdit* ValueEdit(int channel) const;       // 1..Rows()
  QToolButton* TakeOverButton(int channel) const;  // null for channel 1
  QLabel* DeviceLabel(int channel) const;
  QLabel* CalculatedLabel(int channel) const;
  QString Error() const;
  bool Editable() const;

  // The questions and notes of OK; message boxes unless a test sets them.
  std::function<bool(const QString& title, const QString& text)> Ask;
  std::function<void(const QString& text)> Tell;
  std::function<std::optional<std::string>()> AskNetworkPassword;

  void accept() override;

 private:
  struct TRow {
    QLabel* Device = nullptr;
    QLabel* Calculated = nullptr;
    QToolButton* TakeOver = nullptr;
    QLineEdit* Value = nullptr;
  };
  void LoadDeviceCalibration();
  void UpdateEditable();
  // The values typed, or nothing with the refusal shown.
  std::optional<std::vector<double>> ReadValues();
  void Transmit(const std::vector<double>& values);

  std::shared_ptr<TVQSessionItem> FSession;
  QCheckBox* FEnable = nullptr;
  QLabel* FError = nullptr;
  std::vector<TRow> FRows;  // index 0 = channel 1
  std::vector<double> FDevice;
};
