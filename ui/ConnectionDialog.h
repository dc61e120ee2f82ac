#pragma once

#include <QDialog>

#include "app/core/Main.h"
#include "ui/ConnectionString.h"

class QCheckBox;
class QComboBox;
class QDateTimeEdit;
class QLabel;
class QLineEdit;
class QSpinBox;
class QStackedWidget;
class QDialogButtonBox;
class QPushButton;

// Asks for the connection of a session: the kind of connection and its
// parameters, a friendly name, the session colour, whether the counter's
// buffer is cleared on opening, whether its stored QMT calibration is used,
// whether it runs on a 20 MHz reference and how many channels it is to
// transmit. Shows the connection string it builds and accepts only a valid
// one.
class TConnectionDialog : public QDialog {
  Q_OBJECT
 public:
  TConnectionDialog(const TConnectionChoice& proposal, QWidget* parent = nullptr);

  TConnectionForm Form() const;
  TConnectionChoice Choice() const;
  // The string being built, or why there is none.
  QString Preview() const;
  // The kind of connection and its port as the dialog shows them.
  QString PortDescription() const;
  void SetForm(const TConnectionForm& form);
  // The controls of the counter options, for tests.
  QCheckBox* DeviceCalibrationBox() const { return FUseCalibration; }
  QCheckBox* Ref20MHzBox() const { return FRef20MHz; }
  QComboBox* ChannelCountBox() const { return FChannelCount; }

 private:
  QWidget* BuildDevicePage(bool serial);
  QWidget* BuildNetworkPage();
  QWidget* BuildCanPage();
  QWidget* BuildServerPage(bool archive);
  QWidget* BuildFilePage();
  void FillDevices();
  void Update();
  void PickColor();

  QComboBox* FKind = nullptr;
  QStackedWidget* FPages = nullptr;
  QComboBox* FSerialPort = nullptr;
  QComboBox* FBaud = nullptr;
  QSpinBox* FSerialUser = nullptr;
  QComboBox* FUsbDevice = nullptr;
  QSpinBox* FUsbUser = nullptr;
  QLineEdit* FNetAddress = nullptr;
  QCheckBox* FNetHostName = nullptr;
  QSpinBox* FNetPort = nullptr;
  QSpinBox* FCanAddress = nullptr;
  QSpinBox* FCanChannel = nullptr;
  QCheckBox* FCanType21 = nullptr;
  QLineEdit* FLiveAddress = nullptr;
  QSpinBox* FLivePort = nullptr;
  QLineEdit* FArchiveAddress = nullptr;
  QSpinBox* FArchivePort = nullptr;
  QDateTimeEdit* FArchiveStart = nullptr;
  QCheckBox* FArchiveHasEnd = nullptr;
  QDateTimeEdit* FArchiveEnd = nullptr;
  QLineEdit* FFilePath = nullptr;
  QCheckBox* FLoop = nullptr;
  QCheckBox* FWait = nullptr;
  QLineEdit* FFriendlyName = nullptr;
  QPushButton* FColorButton = nullptr;
  QCheckBox* FClearBuffer = nullptr;
  QCheckBox* FUseCalibration = nullptr;
  QCheckBox* FRef20MHz = nullptr;
  QComboBox* FChannelCount = nullptr;
  QLabel* FPreview = nullptr;
  QLabel* FEnumerateError = nullptr;
  QDialogButtonBox* FButtons = nullptr;
  uint32_t FColor = 0;
};
