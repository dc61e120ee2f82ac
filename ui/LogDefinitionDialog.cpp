#include "ui/LogDefinitionDialog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>
#include <filesystem>

#include "library/platform/VQ_File.h"

namespace {

// The types a panel offers, in check-box order: real and virtual counter
// types for a counter session, interval types for its QMT-only copy.
constexpr int kOfferedTypes[] = {LogType::Phase,      LogType::Freq,        LogType::PhaseDiff,
                                 LogType::PhaseDiffPrev, LogType::PhaseRes, LogType::PhaseResV,
                                 LogType::FreqAbsV,   LogType::FreqRelV,    LogType::PhaseDiffV,
                                 LogType::PhaseDiffPrevV, LogType::QMT,     LogType::QMTdiff,
                                 LogType::QMTV};

bool IsIntervalType(int bit) { return bit == LogType::QMT || bit == LogType::QMTdiff || bit == LogType::QMTV; }
bool IsVirtualType(int bit) { return bit == LogType::QMTV || ((LogType::VirtualMask >> bit) & 1u) != 0; }

QString TypeCaption(int bit) {
  const TLogTypeInfo* info = LogTypeInfo(bit);
  const QString caption = QString::fromUtf8(info->Caption);
  return IsVirtualType(bit) ? QObject::tr("Virtual: %1").arg(caption) : caption;
}

std::string WithSlash(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder;
}

}  // namespace

TLogDefinitionDialog::TLogDefinitionDialog(std::vector<TLogSourceChoice> sources, const TLogDefinition* definition,
                                           int number, const std::string& logRootFolder, QWidget* parent)
    : QDialog(parent), FSources(std::move(sources)), FNumber(number), FLogRootFolder(WithSlash(logRootFolder)) {
  setWindowTitle(definition ? tr("Change Log Configuration") : tr("New Log Configuration"));
  auto* layout = new QVBoxLayout(this);

  auto* panels = new QWidget;
  FPanelLayout = new QVBoxLayout(panels);
  auto* scroll = new QScrollArea(this);
  scroll->setWidgetResizable(true);
  scroll->setWidget(panels);
  layout->addWidget(scroll, 1);
  auto* addSource = new QPushButton(tr("&Add source"), this);
  connect(addSource, &QPushButton::clicked, this, [this] { AddPanel(); });
  layout->addWidget(addSource);

  auto* form = new QFormLayout;
  FFolder = new QLineEdit(this);
  FFolder->setPlaceholderText(QString::fromStdString(FLogRootFolder));
  form->addRow(tr("&Folder:"), FFolder);
  FName = new QLineEdit(this);
  FName->setPlaceholderText(tr("automatic"));
  form->addRow(tr("File &name:"), FName);
  FSize = new QComboBox(this);
  for (const TLogSizeChoice& choice : LogSizeChoices()) FSize->addItem(tr(choice.Text), QVariant::fromValue<qint64>(choice.Bytes));
  form->addRow(tr("New file at &size:"), FSize);
  layout->addLayout(form);
  FPrependDate = new QCheckBox(tr("&Date before the name"), this);
  FHeader = new QCheckBox(tr("&Header"), this);
  FOpen = new QCheckBox(tr("&Open immediatly"), this);
  FSyncTime = new QCheckBox(tr("S&ync Time"), this);
  for (QCheckBox* box : {FPrependDate, FHeader, FOpen, FSyncTime}) layout->addWidget(box);
  FHeader->setChecked(true);
  FOpen->setChecked(true);

  if (definition) {
    for (int p = 0; p < definition->Count(); ++p) AddPanel(definition->GetDefinition(p));
    const std::string folder = WithSlash(std::filesystem::path(definition->FileName()).parent_path().string());
    FFolder->setText(QString::fromStdString(folder));
    FName->setText(QString::fromStdString(std::filesystem::path(definition->FileName()).filename().string()));
    FSize->setCurrentIndex(std::max(0, FSize->findData(QVariant::fromValue<qint64>(definition->FileSize()))));
    FPrependDate->setChecked(definition->PrependDate());
    FHeader->setChecked(definition->AddHeader());
    FOpen->setChecked(definition->Enabled());
    FSyncTime->setChecked(definition->Option());
  } else {
    AddPanel();
  }

  FError = new QLabel(this);
  FError->setStyleSheet(QStringLiteral("color: #c00000;"));
  layout->addWidget(FError);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
  layout->addWidget(buttons);
  resize(620, 640);
}

void TLogDefinitionDialog::AddPanel() { AddPanel(nullptr); }

void TLogDefinitionDialog::AddPanel(const TSimpleLogDefinition* part) {
  auto* group = new QGroupBox(tr("Source %1").arg(FPanels.size() + 1));
  auto* grid = new QGridLayout(group);
  TPanel panel;
  panel.Source = new QComboBox(group);
  for (const TLogSourceChoice& source : FSources) panel.Source->addItem(QString::fromStdString(source.Caption));
  grid->addWidget(panel.Source, 0, 0, 1, 4);
  int row = 1;
  int column = 0;
  for (const int bit : kOfferedTypes) {
    auto* box = new QCheckBox(TypeCaption(bit), group);
    box->setChecked(part && part->GetHasLogType(bit));
    grid->addWidget(box, row, column);
    panel.Types.emplace_back(bit, box);
    if (++column == 2) column = 0, ++row;
  }
  ++row;
  auto* channels = new QGridLayout;
  for (int k = 1; k <= kLogChannels; ++k) {
    auto* box = new QCheckBox(QString::number(k), group);
    box->setChecked(part ? part->IsEnabled(1, k) : true);
    channels->addWidget(box, (k - 1) / 12, (k - 1) % 12);
    panel.Channels.push_back(box);
  }
  grid->addLayout(channels, row, 0, 1, 4);

  // The types that the chosen session can deliver.
  const auto follow = [types = panel.Types, this](int choice) {
    const bool copy = choice >= 0 && choice < static_cast<int>(FSources.size()) && FSources[choice].Copy;
    for (const auto& [bit, box] : types) box->setEnabled(IsIntervalType(bit) == copy);
  };
  connect(panel.Source, &QComboBox::currentIndexChanged, group, follow);
  if (part) {
    for (std::size_t s = 0; s < FSources.size(); ++s)
      if (FSources[s].Index == part->FSource && FSources[s].Copy == part->FSourceCopy)
        panel.Source->setCurrentIndex(static_cast<int>(s));
  }
  follow(panel.Source->currentIndex());
  FPanelLayout->addWidget(group);
  FPanels.push_back(std::move(panel));
}

QComboBox* TLogDefinitionDialog::SourceBox(int panel) const {
  return panel >= 0 && panel < PanelCount() ? FPanels[static_cast<std::size_t>(panel)].Source : nullptr;
}

QCheckBox* TLogDefinitionDialog::TypeBox(int panel, int bit) const {
  if (panel < 0 || panel >= PanelCount()) return nullptr;
  for (const auto& [b, box] : FPanels[static_cast<std::size_t>(panel)].Types)
    if (b == bit) return box;
  return nullptr;
}

QCheckBox* TLogDefinitionDialog::ChannelBox(int panel, int channel) const {
  if (panel < 0 || panel >= PanelCount() || channel < 1 || channel > kLogChannels) return nullptr;
  return FPanels[static_cast<std::size_t>(panel)].Channels[static_cast<std::size_t>(channel - 1)];
}

std::string TLogDefinitionDialog::Folder() const {
  const std::string typed = FFolder->text().trimmed().toStdString();
  return typed.empty() ? FLogRootFolder : WithSlash(typed);
}

void TLogDefinitionDialog::AddParts(const TPanel& panel, TLogDefinition& definition) const {
  const int choice = panel.Source->currentIndex();
  if (choice < 0 || choice >= static_cast<int>(FSources.size())) return;
  const TLogSourceChoice& source = FSources[static_cast<std::size_t>(choice)];
  uint32_t realTypes = 0;
  uint32_t virtualTypes = 0;
  for (const auto& [bit, box] : panel.Types) {
    if (!box->isEnabled() || !box->isChecked()) continue;
    (IsVirtualType(bit) ? virtualTypes : realTypes) |= 1u << bit;
  }
  TLogEnabledArray enabled{};
  for (int k = 0; k < kLogChannels; ++k) enabled[0][static_cast<std::size_t>(k)] = panel.Channels[static_cast<std::size_t>(k)]->isChecked();
  if (realTypes != 0)
    definition.AddDefinition(std::make_unique<TSimpleLogDefinition>(source.Index, realTypes, source.Copy, sscStandard, enabled));
  if (virtualTypes != 0)
    definition.AddDefinition(std::make_unique<TSimpleLogDefinition>(source.Index, virtualTypes, source.Copy, sscVirtual, enabled));
}

std::unique_ptr<TLogDefinition> TLogDefinitionDialog::Definition() const {
  auto definition = std::make_unique<TLogDefinition>();
  for (const TPanel& panel : FPanels) AddParts(panel, *definition);
  if (definition->Count() == 0) return nullptr;
  std::string name = FName->text().trimmed().toStdString();
  if (name.empty()) {
    name = AutomaticLogFileName(*definition, FNumber, [this](int sIndex) {
      for (const TLogSourceChoice& source : FSources)
        if (source.Index == sIndex && source.Copy) return true;
      return false;
    });
  }
  definition->SetFileName(Folder() + name);
  definition->SetFileSize(FSize->currentData().value<qint64>());
  definition->SetPrependDate(FPrependDate->isChecked());
  definition->SetAddHeader(FHeader->isChecked());
  definition->SetEnabled(FOpen->isChecked());
  definition->SetOption(FSyncTime->isChecked());
  return definition;
}

QString TLogDefinitionDialog::Error() const { return FError->text(); }

// A refusal is shown in the dialog, which stays open.
void TLogDefinitionDialog::accept() {
  if (!Definition()) {
    FError->setText(tr("Choose at least one value type of a source"));
    return;
  }
  // Made when missing and proven writable; the refusal names the cause.
  const std::string folder = Folder();
  if (const std::string problem = FolderWriteProblem(folder); !problem.empty()) {
    FError->setText(QString::fromStdString("Invalid path " + folder + " (" + problem + ")"));
    return;
  }
  FError->clear();
  QDialog::accept();
}
