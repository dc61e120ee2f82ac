#pragma once

#include <QDialog>
#include <array>
#include <string>

#include "app/core/App_Views.h"

class QCheckBox;
class QLineEdit;

// What "Change Window Settings..." edits of a view.
struct TWindowSettings {
  std::string Title;  // empty: the kind's caption
  bool VirtualChannels = false;
  bool HasColumns = false;  // only the counter text view has columns
  TColumnFlags Columns{};
  bool operator==(const TWindowSettings&) const = default;
};

// The settings a view shows now.
TWindowSettings WindowSettingsOf(const TViewModel& model);
// Writes them into the model: title (blanks around it dropped), virtual
// channels, and the columns when the kind has them. The caller renumbers
// the captions afterwards.
void ApplyWindowSettings(TViewModel& model, const TWindowSettings& settings);

// The small dialog behind "Change Window Settings...".
class TWindowSettingsDialog : public QDialog {
  Q_OBJECT
 public:
  explicit TWindowSettingsDialog(const TViewModel& model, QWidget* parent = nullptr);

  TWindowSettings Settings() const;
  QLineEdit* TitleEdit() const { return FTitle; }
  QCheckBox* VirtualBox() const { return FVirtual; }
  // Column 0..5; null when the view has no columns.
  QCheckBox* ColumnBox(int column) const;

 private:
  QLineEdit* FTitle = nullptr;
  QCheckBox* FVirtual = nullptr;
  std::array<QCheckBox*, kTextColumns> FColumns{};
  bool FHasColumns = false;
};
