#pragma once

#include <QObject>
#include <memory>
#include <vector>

#include "app/output/App_LogDefinition.h"
#include "ui/LogDefinitionDialog.h"

class QMenu;
class QWidget;
class TStabilityWindow;
class TZepApp;

// The "Logging" menu: one entry per log definition ("&1 Log file", checked
// while enabled) with "Close/Open Log File", "Change Log Configuration..."
// and "Remove Log Configuration", "New Log Configuration...", "Time
// Format..." and "Stability Analysis..." (a window over recorded files).
class TLogMenu : public QObject {
  Q_OBJECT
 public:
  TLogMenu(TZepApp& app, QMenu* menu, QWidget* dialogParent, bool interactive);

  // Rebuilds the entries from the multi-sampler's definitions.
  void Rebuild();
  // The sessions a log definition can use.
  std::vector<TLogSourceChoice> Sources() const;
  // What "New Log Configuration..." and "Change Log Configuration..." do
  // with the dialog's result (tests call these directly).
  int AddDefinition(std::unique_ptr<TLogDefinition> definition);
  void ChangeDefinition(int slot, std::unique_ptr<TLogDefinition> definition);
  // A new stability-analysis window, shown, in the sessions' channel
  // colours; it deletes itself when closed.
  TStabilityWindow* OpenStabilityWindow();

 private:
  void NewDefinition();
  void EditTimeFormat();
  void EditDefinition(int slot);

  TZepApp& FApp;
  QMenu* FMenu;
  QWidget* FDialogParent;
  const bool FInteractive;
};
