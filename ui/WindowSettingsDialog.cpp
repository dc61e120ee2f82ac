#include "ui/WindowSettingsDialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QVBoxLayout>

namespace {

// One caption per text mode, in column order.
const char* const kColumnNames[kTextColumns] = {"Phase",
                                                "Phase difference",
                                                "Frequency (absolute)",
                                                "Frequency (relative)",
                                                "Phase to previous channel",
                                                "Phase residual"};

std::string Trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

TWindowSettings WindowSettingsOf(const TViewModel& model) {
  TWindowSettings settings;
  settings.Title = model.Title();
  settings.VirtualChannels = model.VirtualChannels();
  settings.HasColumns = model.Kind() == TViewKind::vkText;
  if (settings.HasColumns) settings.Columns = model.Columns();
  return settings;
}

void ApplyWindowSettings(TViewModel& model, const TWindowSettings& settings) {
  model.SetTitle(Trimmed(settings.Title));
  model.SetVirtualChannels(settings.VirtualChannels);
  if (settings.HasColumns) model.SetColumnEnabled(std::vector<bool>(settings.Columns.begin(), settings.Columns.end()));
}

TWindowSettingsDialog::TWindowSettingsDialog(const TViewModel& model, QWidget* parent) : QDialog(parent) {
  setWindowTitle(tr("Window Settings"));
  const TWindowSettings now = WindowSettingsOf(model);
  auto* layout = new QVBoxLayout(this);
  auto* form = new QFormLayout;
  FTitle = new QLineEdit(QString::fromStdString(now.Title), this);
  FTitle->setPlaceholderText(QString::fromStdString(model.DefaultTitle()));
  FTitle->setToolTip(tr("Empty: the window's own caption"));
  form->addRow(tr("&Title:"), FTitle);
  FVirtual = new QCheckBox(tr("Show &virtual channels"), this);
  FVirtual->setChecked(now.VirtualChannels);
  form->addRow(QString(), FVirtual);
  layout->addLayout(form);
  FHasColumns = now.HasColumns;
  if (FHasColumns) {
    auto* group = new QGroupBox(tr("Columns"), this);
    auto* columns = new QVBoxLayout(group);
    for (int k = 0; k < kTextColumns; ++k) {
      FColumns[static_cast<std::size_t>(k)] = new QCheckBox(tr(kColumnNames[k]), group);
      FColumns[static_cast<std::size_t>(k)]->setChecked(now.Columns[static_cast<std::size_t>(k)]);
      columns->addWidget(FColumns[static_cast<std::size_t>(k)]);
    }
    layout->addWidget(group);
  }
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
}

QCheckBox* TWindowSettingsDialog::ColumnBox(int column) const {
  if (!FHasColumns || column < 0 || column >= kTextColumns) return nullptr;
  return FColumns[static_cast<std::size_t>(column)];
}

TWindowSettings TWindowSettingsDialog::Settings() const {
  TWindowSettings settings;
  settings.Title = FTitle->text().toStdString();
  settings.VirtualChannels = FVirtual->isChecked();
  settings.HasColumns = FHasColumns;
  if (FHasColumns)
    for (int k = 0; k < kTextColumns; ++k) settings.Columns[static_cast<std::size_t>(k)] = FColumns[static_cast<std::size_t>(k)]->isChecked();
  return settings;
}
