#include "ui/LogMenu.h"

#include <QAction>
#include <QMenu>
#include <QMessageBox>
#include <filesystem>

#include "app/core/Main.h"
#include "app/core/ZEP_Sessions.h"
#include "app/core/ZEP_Settings.h"
#include "app/output/ZEP_MultiSampler.h"
#include "ui/LogTimeFormatDialog.h"
#include "ui/StabilityWindow.h"
#include "ui/ViewBase.h"

namespace {

// The file as the menu shows it: relative to the configuration folder when
// it lies below it, else the whole path.
QString MenuFileName(const std::string& fileName, const std::string& base) {
  std::error_code error;
  const std::filesystem::path relative = std::filesystem::relative(fileName, base, error);
  if (!error && !relative.empty() && !relative.string().starts_with(".."))
    return QString::fromStdString(relative.string());
  return QString::fromStdString(fileName);
}

}  // namespace

TLogMenu::TLogMenu(TZepApp& app, QMenu* menu, QWidget* dialogParent, bool interactive)
    : QObject(menu), FApp(app), FMenu(menu), FDialogParent(dialogParent), FInteractive(interactive) {}

std::vector<TLogSourceChoice> TLogMenu::Sources() const {
  std::vector<TLogSourceChoice> sources;
  for (const auto& session : FApp.Sessions()) {
    const auto counter = std::dynamic_pointer_cast<TVQSessionItem>(session);
    if (!counter) continue;
    const std::string letter(1, counter->Letter());
    const std::string name = counter->FriendlyName();
    sources.push_back({counter->Index(), false, name.empty() ? letter : letter + ": " + name});
    sources.push_back({counter->Index(), true, letter + " (QMT)"});
  }
  return sources;
}

void TLogMenu::Rebuild() {
  FMenu->clear();
  TZEP_MultiSampler* sampler = FApp.MultiSampler();
  if (!sampler) return;
  const std::string base = FApp.Settings().ExePath();
  for (int slot = 0; slot < sampler->DefinitionSlotCount(); ++slot) {
    const std::unique_ptr<TLogDefinition> definition = sampler->GetDefinition(slot);
    if (!definition) continue;
    QMenu* entry = FMenu->addMenu(QStringLiteral("&%1 Log %2").arg(slot + 1).arg(MenuFileName(definition->FileName(), base)));
    entry->menuAction()->setCheckable(true);
    entry->menuAction()->setChecked(definition->Enabled());
    const bool enabled = definition->Enabled();
    entry->addAction(enabled ? tr("Close Log File") : tr("Open Log File"), this, [this, slot, enabled] {
      FApp.MultiSampler()->SetEnabled(slot, !enabled);
      Rebuild();
    });
    entry->addAction(tr("Change Log Configuration..."), this, [this, slot] { EditDefinition(slot); });
    entry->addAction(tr("Remove Log Configuration"), this, [this, slot] {
      FApp.MultiSampler()->RemoveDefinition(slot);
      Rebuild();
    });
  }
  if (!FMenu->isEmpty()) FMenu->addSeparator();
  FMenu->addAction(tr("New Log Configuration..."), this, &TLogMenu::NewDefinition);
  FMenu->addAction(tr("Time Format..."), this, &TLogMenu::EditTimeFormat);
  FMenu->addSeparator();
  FMenu->addAction(tr("Stability Analysis..."), this, &TLogMenu::OpenStabilityWindow);
}

TStabilityWindow* TLogMenu::OpenStabilityWindow() {
  // Colours are looked up when the window draws, so a session's colour
  // changed meanwhile is used; a letter without a session keeps the palette.
  auto colors = [this](const TStabilityColumnChoice& column) -> QColor {
    for (const auto& session : FApp.Sessions()) {
      const auto counter = std::dynamic_pointer_cast<TVQSessionItem>(session);
      if (!counter || counter->Letter() != column.Letter || column.Channel < 1) continue;
      const TSessionChannelData& channels = counter->Channels();
      const TVQ_ChannelData& data = column.TimeInterval ? (column.Virtual ? channels.VirtualQMT : channels.QMT)
                                                        : (column.Virtual ? channels.Virtual : channels.Counter);
      return PlotColor(data.Color(column.Channel));
    }
    return {};
  };
  auto* window = new TStabilityWindow(colors, FDialogParent);
  window->setAttribute(Qt::WA_DeleteOnClose);
  window->show();
  return window;
}

void TLogMenu::EditTimeFormat() {
  TZEPSettings& settings = FApp.Settings();
  TLogTimeFormatDialog dialog(settings.LogTimeFormat(), settings.LogTimeSourcePAV(), settings.LogTimeZoneSystem(),
                              FDialogParent);
  if (dialog.exec() != QDialog::Accepted) return;
  FApp.SetLogTimeOptions(dialog.Format(), dialog.SourcePAV(), dialog.ZoneUtc());
}

int TLogMenu::AddDefinition(std::unique_ptr<TLogDefinition> definition) {
  FApp.PrepareNewLogDefinition(*definition);
  const int slot = FApp.MultiSampler()->AddDefinition(std::move(definition));
  Rebuild();
  return slot;
}

// Only what differs is applied: the definition itself, then the header
// choice and the enabled state one by one.
void TLogMenu::ChangeDefinition(int slot, std::unique_ptr<TLogDefinition> definition) {
  TZEP_MultiSampler& sampler = *FApp.MultiSampler();
  const std::unique_ptr<TLogDefinition> old = sampler.GetDefinition(slot);
  if (!old) return;
  FApp.PrepareNewLogDefinition(*definition);
  const bool header = definition->AddHeader();
  const bool enabled = definition->Enabled();
  TLogDefinition compared = *definition;
  compared.SetAddHeader(old->AddHeader());
  compared.SetEnabled(old->Enabled());
  if (!compared.SameAs(*old)) {
    definition->SetAddHeader(old->AddHeader());
    definition->SetEnabled(old->Enabled());
    sampler.ChangeDefinition(slot, std::move(definition));
  }
  if (header != old->AddHeader()) sampler.SetAddHeader(slot, header);
  if (enabled != old->Enabled()) sampler.SetEnabled(slot, enabled);
  Rebuild();
}

void TLogMenu::NewDefinition() {
  if (!FInteractive) return;
  TLogDefinitionDialog dialog(Sources(), nullptr, FApp.MultiSampler()->DefinitionSlotCount() + 1,
                              FApp.Settings().LogRootFolder(), FDialogParent);
  if (dialog.exec() != QDialog::Accepted) return;
  if (auto definition = dialog.Definition()) AddDefinition(std::move(definition));
}

void TLogMenu::EditDefinition(int slot) {
  if (!FInteractive) return;
  const std::unique_ptr<TLogDefinition> old = FApp.MultiSampler()->GetDefinition(slot);
  if (!old) return;
  TLogDefinitionDialog dialog(Sources(), old.get(), slot + 1, FApp.Settings().LogRootFolder(), FDialogParent);
  if (dialog.exec() != QDialog::Accepted) return;
  if (auto definition = dialog.Definition()) ChangeDefinition(slot, std::move(definition));
}
