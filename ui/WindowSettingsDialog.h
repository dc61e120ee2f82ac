#pragma once

#include <QDialog>
#include <array>
#include <string>
#include <vector>

#include "app/core/App_Views.h"

class QCheckBox;
class QComboBox;
class QLineEdit;

// A session the user can choose as a view's second session.
struct TSessionChoice {
  int Index = -1;
  bool Copy = false;  // its QMT-only copy
  std::string Text;   // "B: DemoData"
  bool operator==(const TSessionChoice&) const = default;
};

// What "Change Window Settings..." edits of a view.
struct TWindowSettings {
  std::string Title;  // empty: the kind's caption
  bool VirtualChannels = false;
  bool HasColumns = false;  // only the counter text view has columns
  TColumnFlags Columns{};
  bool HasSecondSession = false;  // graph, counter text and QMT views
  int SecondSession = -1;         // -1: none
  bool SecondSessionCopy = false;
  bool operator==(const TWindowSettings&) const = default;
};

// The settings a view shows now.
TWindowSettings WindowSettingsOf(const TViewModel& model);
// Writes them into the model: title (blanks around it dropped), virtual
// channels, and the columns when the kind has them. The second session is
// bound by the window (it holds the sessions); the caller then renumbers
// the captions.
void ApplyWindowSettings(TViewModel& model, const TWindowSettings& settings);

// The small dialog behind "Change Window Settings...".
class TWindowSettingsDialog : public QDialog {
  Q_OBJECT
 public:
  // `sessions`: what the second session can be, besides none.
  explicit TWindowSettingsDialog(const TViewModel& model, const std::vector<TSessionChoice>& sessions = {},
                                 QWidget* parent = nullptr);

  TWindowSettings Settings() const;
  QLineEdit* TitleEdit() const { return FTitle; }
  QCheckBox* VirtualBox() const { return FVirtual; }
  // Column 0..5; null when the view has no columns.
  QCheckBox* ColumnBox(int column) const;
  // The second-session list ("(none)" first); null when the view has none.
  QComboBox* SecondSessionBox() const { return FSecond; }

 private:
  QLineEdit* FTitle = nullptr;
  QCheckBox* FVirtual = nullptr;
  std::array<QCheckBox*, kTextColumns> FColumns{};
  bool FHasColumns = false;
  QComboBox* FSecond = nullptr;
  std::vector<TSessionChoice> FChoices;  // item i + 1 of FSecond
};
