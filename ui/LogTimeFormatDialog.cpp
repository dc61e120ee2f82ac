#include "ui/LogTimeFormatDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/SizeFit.h"

TLogTimeFormatDialog::TLogTimeFormatDialog(const std::string& format, bool sourcePAV, bool zoneUtc, QWidget* parent)
    : QDialog(parent),
      FFormat(new QLineEdit(QString::fromStdString(format), this)),
      FZone(new QComboBox(this)),
      FSource(new QComboBox(this)) {
  setWindowTitle(tr("Log Files: Time Format"));
  FZone->addItems({QStringLiteral("Local"), QStringLiteral("UTC+0")});
  FZone->setCurrentIndex(zoneUtc ? 1 : 0);
  FSource->addItems({QStringLiteral("PC Time"), QStringLiteral("PAV Time")});
  FSource->setCurrentIndex(sourcePAV ? 1 : 0);

  auto* form = new QFormLayout;
  form->addRow(tr("Format string"), FFormat);
  form->addRow(QString(), new QLabel(QStringLiteral("NN=minutes, ZZZ=milliseconds"), this));
  form->addRow(tr("Time zone"), FZone);
  form->addRow(tr("Time source"), FSource);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("Ok"));
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  // A line without a time stamp cannot be paired or read back.
  connect(FFormat, &QLineEdit::textChanged, this, [this, buttons](const QString& text) {
    buttons->button(QDialogButtonBox::Ok)->setEnabled(!text.trimmed().isEmpty());
  });
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(buttons);
  FitDialogToTitle(this);
}

std::string TLogTimeFormatDialog::Format() const { return FFormat->text().trimmed().toStdString(); }
bool TLogTimeFormatDialog::SourcePAV() const { return FSource->currentIndex() == 1; }
bool TLogTimeFormatDialog::ZoneUtc() const { return FZone->currentIndex() == 1; }
