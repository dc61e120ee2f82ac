#include "ui/CalibrationDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QGridLayout>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QScrollArea>
#include <QToolButton>
#include <QVBoxLayout>
#include <charconv>

#include "app/data/QMT_DataManagement.h"
#include "library/core/VQ_DllCommon.h"

namespace {

constexpr int kRowsWithoutCount = 24;  // no channel count known yet
constexpr int kNetworkPasswordLength = 8;

QString ValueText(double value) { return QString::fromStdString(FloatToStrFixed(value, 3)); }

// A number typed with "." or ",", whatever the locale; nothing for anything else.
std::optional<double> ParseValue(const QString& text) {
  std::string digits = text.trimmed().toStdString();
  for (char& c : digits)
    if (c == ',') c = '.';
  double value = 0;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (digits.empty() || error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

}  // namespace

TCalibrationChoice CalibrationChoice(bool enabled, int firmware, const std::vector<double>& device,
                                     const std::vector<double>& values) {
  if (!enabled) return TCalibrationChoice::StopUsing;
  if (firmware < TCalibrationDialog::kMinFirmware) return TCalibrationChoice::Keep;
  for (std::size_t k = 0; k < values.size(); ++k)
    if (values[k] != (k < device.size() ? device[k] : 0.0)) return TCalibrationChoice::Transmit;
  return TCalibrationChoice::UseDevice;
}

TCalibrationDialog::TCalibrationDialog(std::shared_ptr<TVQSessionItem> session, QWidget* parent)
    : QDialog(parent), FSession(std::move(session)) {
  setWindowTitle(tr("QMT Calibration %1").arg(QChar(FSession->Letter())));
  Ask = [this](const QString& title, const QString& text) {
    return QMessageBox::question(this, title, text) == QMessageBox::Yes;
  };
  Tell = [this](const QString& text) { QMessageBox::information(this, windowTitle(), text); };
  AskNetworkPassword = [this]() -> std::optional<std::string> {
    bool ok = false;
    const QString password =
        QInputDialog::getText(this, tr("Network login"), tr("Password"), QLineEdit::Password, {}, &ok);
    if (!ok) return std::nullopt;
    return password.toStdString();
  };

  auto* layout = new QVBoxLayout(this);
  FEnable = new QCheckBox(tr("Enable Calibration"), this);
  FEnable->setChecked(FSession->UseDeviceCalibration());
  layout->addWidget(FEnable);

  auto* table = new QWidget;
  auto* grid = new QGridLayout(table);
  grid->addWidget(new QLabel(tr("Channel")), 0, 0);
  grid->addWidget(new QLabel(tr("Device [ns]")), 0, 1);
  grid->addWidget(new QLabel(tr("Calculated [ns]")), 0, 2);
  grid->addWidget(new QLabel(tr("Value [ns]")), 0, 4);
  const int count = FSession->QMT().ChannelCount();
  FRows.resize(static_cast<std::size_t>(count > 0 ? std::min(count, TDataManagement::kMaxChannels) : kRowsWithoutCount));
  for (int k = 1; k <= Rows(); ++k) {
    TRow& row = FRows[static_cast<std::size_t>(k - 1)];
    grid->addWidget(new QLabel(QString::number(k)), k, 0);
    row.Device = new QLabel;
    row.Calculated = new QLabel(ValueText(FSession->QMT().GetCalibrateCalculated(k)));
    row.Value = new QLineEdit;
    row.Value->setAlignment(Qt::AlignRight);
    grid->addWidget(row.Device, k, 1);
    grid->addWidget(row.Calculated, k, 2);
    grid->addWidget(row.Value, k, 4);
    if (k == 1) continue;  // the reference: always 0
    row.TakeOver = new QToolButton;
    row.TakeOver->setArrowType(Qt::RightArrow);
    row.TakeOver->setToolTip(tr("Take the calculated calibration"));
    grid->addWidget(row.TakeOver, k, 3);
    connect(row.TakeOver, &QToolButton::clicked, this, [this, k] {
      // The calculated value moves with every line: the one taken is shown beside it.
      TRow& r = FRows[static_cast<std::size_t>(k - 1)];
      r.Calculated->setText(ValueText(FSession->QMT().GetCalibrateCalculated(k)));
      r.Value->setText(r.Calculated->text());
    });
  }
  auto* scroll = new QScrollArea(this);
  scroll->setWidget(table);
  scroll->setWidgetResizable(true);
  layout->addWidget(scroll);

  FError = new QLabel(this);
  FError->setStyleSheet(QStringLiteral("color: red"));
  layout->addWidget(FError);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &TCalibrationDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &TCalibrationDialog::reject);
  layout->addWidget(buttons);

  connect(FEnable, &QCheckBox::clicked, this, [this] {
    LoadDeviceCalibration();
    UpdateEditable();
  });
  LoadDeviceCalibration();
  UpdateEditable();
}

QLineEdit* TCalibrationDialog::ValueEdit(int channel) const {
  return channel >= 1 && channel <= Rows() ? FRows[static_cast<std::size_t>(channel - 1)].Value : nullptr;
}

QToolButton* TCalibrationDialog::TakeOverButton(int channel) const {
  return channel >= 1 && channel <= Rows() ? FRows[static_cast<std::size_t>(channel - 1)].TakeOver : nullptr;
}

QLabel* TCalibrationDialog::DeviceLabel(int channel) const {
  return channel >= 1 && channel <= Rows() ? FRows[static_cast<std::size_t>(channel - 1)].Device : nullptr;
}

QLabel* TCalibrationDialog::CalculatedLabel(int channel) const {
  return channel >= 1 && channel <= Rows() ? FRows[static_cast<std::size_t>(channel - 1)].Calculated : nullptr;
}

QString TCalibrationDialog::Error() const { return FError->text(); }

bool TCalibrationDialog::Editable() const {
  return FEnable->isChecked() && FSession->QMT().DeviceCalibrationSet() &&
         FSession->FirmwareVersion() >= kMinFirmware;
}

// The counter's calibration, read again: it may have come since the dialog opened.
void TCalibrationDialog::LoadDeviceCalibration() {
  const TCalibrationData device = FSession->QMT().DeviceCalibration();
  FDevice.assign(device.Values.begin(), device.Values.begin() + Rows());
  for (int k = 1; k <= Rows(); ++k) {
    TRow& row = FRows[static_cast<std::size_t>(k - 1)];
    row.Device->setText(ValueText(FDevice[static_cast<std::size_t>(k - 1)]));
    row.Value->setText(ValueText(FDevice[static_cast<std::size_t>(k - 1)]));
  }
}

void TCalibrationDialog::UpdateEditable() {
  const bool editable = Editable();
  for (int k = 1; k <= Rows(); ++k) {
    TRow& row = FRows[static_cast<std::size_t>(k - 1)];
    row.Value->setReadOnly(!editable || k == 1);
    if (row.TakeOver) row.TakeOver->setEnabled(editable);
  }
}

std::optional<std::vector<double>> TCalibrationDialog::ReadValues() {
  std::vector<double> values;
  for (int k = 1; k <= Rows(); ++k) {
    const QString text = FRows[static_cast<std::size_t>(k - 1)].Value->text();
    const std::optional<double> value = ParseValue(text);
    if (!value) {
      FError->setText(tr("Invalid floating point input %1").arg(text));
      return std::nullopt;
    }
    if (!FSession->CheckCalibrationRange(*value)) {
      FError->setText(tr("Calibration value %1 out of range").arg(text.trimmed()));
      return std::nullopt;
    }
    values.push_back(*value);
  }
  return values;
}

void TCalibrationDialog::accept() {
  const std::optional<std::vector<double>> values = ReadValues();
  if (!values) return;
  FError->clear();
  switch (CalibrationChoice(FEnable->isChecked(), FSession->FirmwareVersion(), FDevice, *values)) {
    case TCalibrationChoice::StopUsing: FSession->SetUseDeviceCalibration(false); break;
    case TCalibrationChoice::Keep: break;
    case TCalibrationChoice::UseDevice: FSession->SetUseDeviceCalibration(true); break;
    case TCalibrationChoice::Transmit: Transmit(*values); break;
  }
  QDialog::accept();
}

void TCalibrationDialog::Transmit(const std::vector<double>& values) {
  if (!FSession->HasFRam() &&
      !Ask(tr("Changing QMT calibration data"), tr("Next measurement will be corrupted, if calibration is changed!\r\nContinue?"))) {
    FSession->CancelCalibrationChange();
    return;
  }
  if (FSession->ConnectionType() == ctSerial) {
    Tell(tr("Sorry!\r\nChanging calibration data via serial connection is not possible."));
    return;
  }
  if (FSession->ConnectionType() == ctNetwork) {
    const std::optional<std::string> password = AskNetworkPassword ? AskNetworkPassword() : std::nullopt;
    if (!password) {
      Tell(tr("Network connection needs login to change calibration data!"));
      return;
    }
    std::string login = password->substr(0, kNetworkPasswordLength);
    login.resize(kNetworkPasswordLength, '\0');
    FSession->SendCommand(std::string("\x85\x12", 2) + login);
  }
  TCalibrationData data;
  std::copy(values.begin(), values.end(), data.Values.begin());
  FSession->UserChangedDeviceCalibration(data);
}
