#include "ui/ConnectionDialog.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "library/sources/MultiSource.h"
#include "ui/SizeFit.h"
#include "ui/ViewBase.h"

namespace {

constexpr const char* kKindNames[] = {"Simulated counter", "Serial port",          "USB",
                                      "Network module",    "CAN",                  "Data server (live)",
                                      "Data server (archive)", "File replay"};
constexpr int kBaudRates[] = {9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600};
constexpr const char* kArchiveTimeFormat = "yyyyMMdd_HHmmss";
constexpr int kMaxChannelCountChoice = 23;  // 24 channels is "all"

QStringList SplitDevices(const std::string& devices) {
  QStringList names;
  for (const QString& name : QString::fromStdString(devices).split(',', Qt::SkipEmptyParts)) names << name.trimmed();
  return names;
}

QSpinBox* MakeSpin(QWidget* parent, int low, int high, int value) {
  auto* spin = new QSpinBox(parent);
  spin->setRange(low, high);
  spin->setValue(value);
  return spin;
}

}  // namespace

TConnectionDialog::TConnectionDialog(const TConnectionChoice& proposal, QWidget* parent)
    : QDialog(parent), FColor(proposal.Color) {
  setWindowTitle(tr("Connection"));
  auto* layout = new QVBoxLayout(this);
  auto* top = new QFormLayout;
  FKind = new QComboBox(this);
  for (const char* name : kKindNames) FKind->addItem(tr(name));
  top->addRow(tr("Connection"), FKind);
  layout->addLayout(top);

  FPages = new QStackedWidget(this);
  FPages->addWidget(new QLabel(tr("A simulated counter that produces measurements without hardware."), this));
  FPages->addWidget(BuildDevicePage(true));
  FPages->addWidget(BuildDevicePage(false));
  FPages->addWidget(BuildNetworkPage());
  FPages->addWidget(BuildCanPage());
  FPages->addWidget(BuildServerPage(false));
  FPages->addWidget(BuildServerPage(true));
  FPages->addWidget(BuildFilePage());
  layout->addWidget(FPages);

  auto* common = new QFormLayout;
  FFriendlyName = new QLineEdit(QString::fromStdString(proposal.FriendlyName), this);
  common->addRow(tr("Friendly name"), FFriendlyName);
  FColorButton = new QPushButton(this);
  common->addRow(tr("Session colour"), FColorButton);
  FClearBuffer = new QCheckBox(tr("Clear the counter's buffer on opening"), this);
  FClearBuffer->setChecked(proposal.ClearBuffer);
  common->addRow(QString(), FClearBuffer);
  FUseCalibration = new QCheckBox(tr("Use the QMT calibration stored in the counter"), this);
  FUseCalibration->setChecked(proposal.UseDeviceCalibration);
  common->addRow(QString(), FUseCalibration);
  FRef20MHz = new QCheckBox(tr("The counter runs on a 20 MHz reference"), this);
  FRef20MHz->setChecked(proposal.Ref20MHz);
  common->addRow(QString(), FRef20MHz);
  FChannelCount = new QComboBox(this);
  FChannelCount->addItem(tr("As the counter is set"), -1);
  for (int count = 0; count <= kMaxChannelCountChoice; ++count)
    FChannelCount->addItem(QString::fromStdString(ChannelCountChoiceText(count)), count);
  FChannelCount->setCurrentIndex(std::max(0, FChannelCount->findData(proposal.ChannelCount)));
  FChannelCount->setToolTip(tr("Sent to the counter once the connection is open"));
  common->addRow(tr("Channels"), FChannelCount);
  layout->addLayout(common);

  FEnumerateError = new QLabel(this);
  FEnumerateError->setWordWrap(true);
  layout->addWidget(FEnumerateError);
  FPreview = new QLabel(this);
  FPreview->setTextInteractionFlags(Qt::TextSelectableByMouse);
  FPreview->setWordWrap(true);
  layout->addWidget(FPreview);
  FButtons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  layout->addWidget(FButtons);

  connect(FButtons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(FButtons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  connect(FKind, &QComboBox::currentIndexChanged, this, [this](int index) {
    FPages->setCurrentIndex(index);
    Update();
  });
  connect(FColorButton, &QPushButton::clicked, this, &TConnectionDialog::PickColor);
  for (QLineEdit* edit : findChildren<QLineEdit*>()) connect(edit, &QLineEdit::textChanged, this, &TConnectionDialog::Update);
  for (QSpinBox* spin : findChildren<QSpinBox*>()) connect(spin, &QSpinBox::valueChanged, this, &TConnectionDialog::Update);
  for (QCheckBox* box : findChildren<QCheckBox*>()) connect(box, &QCheckBox::toggled, this, &TConnectionDialog::Update);
  for (QComboBox* box : findChildren<QComboBox*>())
    if (box != FKind) connect(box, &QComboBox::currentTextChanged, this, &TConnectionDialog::Update);
  for (QDateTimeEdit* edit : findChildren<QDateTimeEdit*>())
    connect(edit, &QDateTimeEdit::dateTimeChanged, this, &TConnectionDialog::Update);

  FillDevices();
  if (const auto form = ParseConnectionString(proposal.OpenString))
    SetForm(*form);
  else if (proposal.ConnectionType == ctUnknown)
    FKind->setCurrentIndex(static_cast<int>(TConnectionKind::Usb));  // a new session starts on USB
  Update();
  FitDialogToTitle(this);
}

QWidget* TConnectionDialog::BuildDevicePage(bool serial) {
  auto* page = new QWidget(this);
  auto* form = new QFormLayout(page);
  auto* device = new QComboBox(page);
  device->setEditable(true);
  auto* user = MakeSpin(page, 0, 4, 0);
  user->setSpecialValueText(tr("none"));
  form->addRow(serial ? tr("Serial port") : tr("USB device"), device);
  if (serial) {
    FBaud = new QComboBox(page);
    FBaud->setEditable(true);
    for (int rate : kBaudRates) FBaud->addItem(QString::number(rate));
    FBaud->setCurrentText(QStringLiteral("115200"));
    form->addRow(tr("Baud rate"), FBaud);
    FSerialPort = device;
    FSerialUser = user;
  } else {
    FUsbDevice = device;
    FUsbUser = user;
  }
  form->addRow(tr("User ID (shared counter)"), user);
  return page;
}

QWidget* TConnectionDialog::BuildNetworkPage() {
  auto* page = new QWidget(this);
  auto* form = new QFormLayout(page);
  FNetAddress = new QLineEdit(page);
  FNetAddress->setPlaceholderText(QStringLiteral("192.168.1.50"));
  FNetHostName = new QCheckBox(tr("Address is a host name"), page);
  FNetPort = MakeSpin(page, 0, 65535, 0);
  FNetPort->setSpecialValueText(tr("default"));
  form->addRow(tr("Address"), FNetAddress);
  form->addRow(QString(), FNetHostName);
  form->addRow(tr("Server port"), FNetPort);
  return page;
}

QWidget* TConnectionDialog::BuildCanPage() {
  auto* page = new QWidget(this);
  auto* form = new QFormLayout(page);
  FCanAddress = MakeSpin(page, 0, 15, 0);
  FCanAddress->setDisplayIntegerBase(16);
  FCanChannel = MakeSpin(page, 0, 3, 0);
  FCanType21 = new QCheckBox(tr("Adapter type 0x21"), page);
  form->addRow(tr("Rack address"), FCanAddress);
  form->addRow(tr("Channel"), FCanChannel);
  form->addRow(QString(), FCanType21);
  return page;
}

QWidget* TConnectionDialog::BuildServerPage(bool archive) {
  auto* page = new QWidget(this);
  auto* form = new QFormLayout(page);
  auto* address = new QLineEdit(QStringLiteral("127.0.0.1"), page);
  auto* port = MakeSpin(page, 1, 65535, 5025);
  form->addRow(tr("Server address"), address);
  form->addRow(tr("Server port"), port);
  if (!archive) {
    FLiveAddress = address;
    FLivePort = port;
    return page;
  }
  FArchiveAddress = address;
  FArchivePort = port;
  FArchiveStart = new QDateTimeEdit(QDateTime::currentDateTime().addSecs(-3600), page);
  FArchiveStart->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
  FArchiveHasEnd = new QCheckBox(tr("End at"), page);
  FArchiveEnd = new QDateTimeEdit(QDateTime::currentDateTime(), page);
  FArchiveEnd->setDisplayFormat(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
  form->addRow(tr("Start"), FArchiveStart);
  form->addRow(FArchiveHasEnd, FArchiveEnd);
  return page;
}

QWidget* TConnectionDialog::BuildFilePage() {
  auto* page = new QWidget(this);
  auto* form = new QFormLayout(page);
  auto* row = new QHBoxLayout;
  FFilePath = new QLineEdit(page);
  auto* browse = new QPushButton(tr("Browse..."), page);
  row->addWidget(FFilePath, 1);
  row->addWidget(browse);
  form->addRow(tr("File"), row);
  FLoop = new QCheckBox(tr("Start again at the end (loop for ever)"), page);
  FWait = new QCheckBox(tr("Wait the measurement interval between measurements"), page);
  form->addRow(QString(), FLoop);
  form->addRow(QString(), FWait);
  connect(browse, &QPushButton::clicked, this, [this] {
    const QString name = QFileDialog::getOpenFileName(this, tr("Replay file"));
    if (!name.isEmpty()) FFilePath->setText(name);
  });
  return page;
}

void TConnectionDialog::FillDevices() {
  std::string devices;
  const int failedSerial = Multi_EnumerateDevices(devices, MultiEnumerate::Serial);
  FSerialPort->addItems(SplitDevices(devices));
  devices.clear();
  const int failedUsb = Multi_EnumerateDevices(devices, MultiEnumerate::Usb);
  FUsbDevice->addItems(SplitDevices(devices));
  if (failedSerial != 0 || failedUsb != 0) {
    const auto why = Multi_GetEnumerateError();
    FEnumerateError->setText(tr("Device list incomplete: ") + QString::fromStdString(why.value_or("unknown error")));
  }
}

TConnectionForm TConnectionDialog::Form() const {
  TConnectionForm form;
  form.Kind = static_cast<TConnectionKind>(FKind->currentIndex());
  switch (form.Kind) {
    case TConnectionKind::Serial:
      form.Device = FSerialPort->currentText().trimmed().toStdString();
      form.Baud = FBaud->currentText().toInt();
      form.UserId = FSerialUser->value();
      break;
    case TConnectionKind::Usb:
      form.Device = FUsbDevice->currentText().trimmed().toStdString();
      form.UserId = FUsbUser->value();
      break;
    case TConnectionKind::Network:
      form.Address = FNetAddress->text().trimmed().toStdString();
      form.HostName = FNetHostName->isChecked();
      form.Port = FNetPort->value();
      break;
    case TConnectionKind::Can:
      form.CanAddress = FCanAddress->value();
      form.CanChannel = FCanChannel->value();
      form.CanType21 = FCanType21->isChecked();
      break;
    case TConnectionKind::ServerLive:
      form.Address = FLiveAddress->text().trimmed().toStdString();
      form.Port = FLivePort->value();
      break;
    case TConnectionKind::ServerArchive:
      form.Address = FArchiveAddress->text().trimmed().toStdString();
      form.Port = FArchivePort->value();
      form.ArchiveStart = FArchiveStart->dateTime().toString(QLatin1String(kArchiveTimeFormat)).toStdString();
      if (FArchiveHasEnd->isChecked())
        form.ArchiveEnd = FArchiveEnd->dateTime().toString(QLatin1String(kArchiveTimeFormat)).toStdString();
      break;
    case TConnectionKind::File:
      form.FilePath = FFilePath->text().toStdString();
      form.LoopForEver = FLoop->isChecked();
      form.WaitInterval = FWait->isChecked();
      break;
    case TConnectionKind::Demo: break;
  }
  return form;
}

void TConnectionDialog::SetForm(const TConnectionForm& form) {
  FKind->setCurrentIndex(static_cast<int>(form.Kind));
  FPages->setCurrentIndex(static_cast<int>(form.Kind));
  switch (form.Kind) {
    case TConnectionKind::Serial:
      FSerialPort->setCurrentText(QString::fromStdString(form.Device));
      FBaud->setCurrentText(QString::number(form.Baud));
      FSerialUser->setValue(form.UserId);
      break;
    case TConnectionKind::Usb:
      FUsbDevice->setCurrentText(QString::fromStdString(form.Device));
      FUsbUser->setValue(form.UserId);
      break;
    case TConnectionKind::Network:
      FNetAddress->setText(QString::fromStdString(form.Address));
      FNetHostName->setChecked(form.HostName);
      FNetPort->setValue(form.Port);
      break;
    case TConnectionKind::Can:
      FCanAddress->setValue(form.CanAddress);
      FCanChannel->setValue(form.CanChannel);
      FCanType21->setChecked(form.CanType21);
      break;
    case TConnectionKind::ServerLive:
      FLiveAddress->setText(QString::fromStdString(form.Address));
      FLivePort->setValue(form.Port);
      break;
    case TConnectionKind::ServerArchive: {
      FArchiveAddress->setText(QString::fromStdString(form.Address));
      FArchivePort->setValue(form.Port);
      const QDateTime start = QDateTime::fromString(QString::fromStdString(form.ArchiveStart), QLatin1String(kArchiveTimeFormat));
      if (start.isValid()) FArchiveStart->setDateTime(start);
      const QDateTime end = QDateTime::fromString(QString::fromStdString(form.ArchiveEnd), QLatin1String(kArchiveTimeFormat));
      FArchiveHasEnd->setChecked(end.isValid());
      if (end.isValid()) FArchiveEnd->setDateTime(end);
      break;
    }
    case TConnectionKind::File:
      FFilePath->setText(QString::fromStdString(form.FilePath));
      FLoop->setChecked(form.LoopForEver);
      FWait->setChecked(form.WaitInterval);
      break;
    case TConnectionKind::Demo: break;
  }
  Update();
}

TConnectionChoice TConnectionDialog::Choice() const {
  const TConnectionBuild built = BuildConnectionString(Form());
  TConnectionChoice choice;
  choice.OpenString = built.OpenString;
  choice.ConnectionType = built.ConnectionType;
  choice.Color = FColor;
  choice.FriendlyName = FFriendlyName->text().trimmed().toStdString();
  choice.ClearBuffer = FClearBuffer->isChecked();
  choice.UseDeviceCalibration = FUseCalibration->isChecked();
  choice.Ref20MHz = FRef20MHz->isChecked();
  // A data server or a file cannot take commands.
  choice.ChannelCount = FChannelCount->isEnabled() ? FChannelCount->currentData().toInt() : -1;
  choice.PortDescription = PortDescription().toStdString();
  return choice;
}

QString TConnectionDialog::Preview() const { return FPreview->text(); }

QString TConnectionDialog::PortDescription() const {
  const auto kind = static_cast<TConnectionKind>(FKind->currentIndex());
  QString port;
  if (kind == TConnectionKind::Serial) port = FSerialPort->currentText().trimmed();
  if (kind == TConnectionKind::Usb) port = FUsbDevice->currentText().trimmed();
  const QString name = FKind->currentText();
  return port.isEmpty() ? name + QStringLiteral(" (") + Preview() + QLatin1Char(')') : name + QStringLiteral(" ") + port;
}

void TConnectionDialog::Update() {
  const TConnectionBuild built = BuildConnectionString(Form());
  FPreview->setText(built.Error.empty() ? tr("Connection string: ") + QString::fromStdString(built.OpenString)
                                        : QString::fromStdString(built.Error));
  FButtons->button(QDialogButtonBox::Ok)->setEnabled(built.Error.empty());
  const auto kind = static_cast<TConnectionKind>(FKind->currentIndex());
  FChannelCount->setEnabled(kind != TConnectionKind::ServerLive && kind != TConnectionKind::ServerArchive &&
                            kind != TConnectionKind::File);
  FColorButton->setStyleSheet(QStringLiteral("background-color: %1").arg(ColorFromBgr(FColor).name()));
  FColorButton->setText(ColorFromBgr(FColor).name());
}

void TConnectionDialog::PickColor() {
  const QColor picked = QColorDialog::getColor(ColorFromBgr(FColor), this, tr("Session colour"));
  if (!picked.isValid()) return;
  FColor = static_cast<uint32_t>(picked.red()) | static_cast<uint32_t>(picked.green()) << 8 |
           static_cast<uint32_t>(picked.blue()) << 16;
  Update();
}
