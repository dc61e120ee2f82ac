#include "ui/WindowSettingsDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QLineEdit>
#include <QVBoxLayout>
#include <algorithm>

#include "ui/SizeFit.h"

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
  settings.HasSecondSession = model.CanHaveSecondSession();
  if (const auto second = model.Session(2)) {
    settings.SecondSession = second->Index();
    settings.SecondSessionCopy = second->IsCopy();
  }
  return settings;
}

void ApplyWindowSettings(TViewModel& model, const TWindowSettings& settings) {
  model.SetTitle(Trimmed(settings.Title));
  model.SetVirtualChannels(settings.VirtualChannels);
  if (settings.HasColumns) model.SetColumnEnabled(std::vector<bool>(settings.Columns.begin(), settings.Columns.end()));
}

TWindowSettingsDialog::TWindowSettingsDialog(const TViewModel& model, const std::vector<TSessionChoice>& sessions,
                                             QWidget* parent)
    : QDialog(parent) {
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
  if (now.HasSecondSession) {
    FSecond = new QComboBox(this);
    FSecond->addItem(tr("(none)"));
    FChoices = sessions;
    // A second session that is no longer offered stays selectable as it is.
    const bool offered = std::any_of(FChoices.begin(), FChoices.end(), [&](const TSessionChoice& c) {
      return c.Index == now.SecondSession && c.Copy == now.SecondSessionCopy;
    });
    if (now.SecondSession >= 0 && !offered)
      FChoices.push_back({now.SecondSession, now.SecondSessionCopy, "Session " + std::to_string(now.SecondSession)});
    for (std::size_t i = 0; i < FChoices.size(); ++i) {
      FSecond->addItem(QString::fromStdString(FChoices[i].Text));
      if (FChoices[i].Index == now.SecondSession && FChoices[i].Copy == now.SecondSessionCopy)
        FSecond->setCurrentIndex(static_cast<int>(i) + 1);
    }
    FSecond->setToolTip(tr("A second session whose channels the window shows beside its own"));
    form->addRow(tr("&Second session:"), FSecond);
  }
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
  FitDialogToTitle(this);
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
  settings.HasSecondSession = FSecond != nullptr;
  if (FSecond && FSecond->currentIndex() > 0) {
    const TSessionChoice& choice = FChoices[static_cast<std::size_t>(FSecond->currentIndex() - 1)];
    settings.SecondSession = choice.Index;
    settings.SecondSessionCopy = choice.Copy;
  }
  return settings;
}
