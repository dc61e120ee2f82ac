#pragma once

#include <QDialog>
#include <memory>
#include <string>
#include <vector>

#include "app/output/App_LogDefinition.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QVBoxLayout;

// A session the dialog offers as a source: its letter, and whether it is the
// QMT-only copy (which logs time-interval types).
struct TLogSourceChoice {
  int Index = 0;
  bool Copy = false;
  std::string Caption;  // "A: friendly name", "A (QMT)"
};

// "New/Change Log Configuration...": sources with their value types and
// channels, the file's folder and name, size limit, naming and header
// options. Its result is a new definition built from the panels in order
// (the first panel is the main part).
class TLogDefinitionDialog : public QDialog {
  Q_OBJECT
 public:
  // `definition` null: a new one. `number`: the definition's number (1-based)
  // for the automatic file name.
  TLogDefinitionDialog(std::vector<TLogSourceChoice> sources, const TLogDefinition* definition, int number,
                       const std::string& logRootFolder, QWidget* parent = nullptr);

  // The definition of the panels; null when no panel logs anything.
  std::unique_ptr<TLogDefinition> Definition() const;

  // ---- for tests --------------------------------------------------------------------
  int PanelCount() const { return static_cast<int>(FPanels.size()); }
  void AddPanel();
  QComboBox* SourceBox(int panel) const;
  // The type check box of log-type bit `bit` in a panel; null when the panel has none.
  QCheckBox* TypeBox(int panel, int bit) const;
  QCheckBox* ChannelBox(int panel, int channel) const;
  QLineEdit* FolderEdit() const { return FFolder; }
  QLineEdit* NameEdit() const { return FName; }
  QComboBox* SizeBox() const { return FSize; }
  QCheckBox* OpenBox() const { return FOpen; }
  // Why "Ok" was refused; empty when it was not.
  QString Error() const;

  void accept() override;

 private:
  struct TPanel {
    QComboBox* Source = nullptr;
    std::vector<std::pair<int, QCheckBox*>> Types;  // bit, box
    std::vector<QCheckBox*> Channels;               // channels 1..24
  };

  void AddPanel(const TSimpleLogDefinition* part);
  // The folder typed, with a trailing "/"; the log root folder when empty.
  std::string Folder() const;
  // Parts of one panel: its real and its virtual types become separate parts.
  void AddParts(const TPanel& panel, TLogDefinition& definition) const;

  const std::vector<TLogSourceChoice> FSources;
  const int FNumber;
  const std::string FLogRootFolder;
  std::vector<TPanel> FPanels;
  QVBoxLayout* FPanelLayout = nullptr;
  QLineEdit* FFolder = nullptr;
  QLineEdit* FName = nullptr;
  QComboBox* FSize = nullptr;
  QCheckBox* FPrependDate = nullptr;
  QCheckBox* FHeader = nullptr;
  QCheckBox* FOpen = nullptr;
  QCheckBox* FSyncTime = nullptr;
  QLabel* FError = nullptr;
};
