#pragma once

#include <QDialog>
#include <string>

class QComboBox;
class QLineEdit;

// "Log Files: Time Format": how log lines are stamped. The format string
// uses the date letters of the time format (NN = minutes, ZZZ = milliseconds).
class TLogTimeFormatDialog : public QDialog {
  Q_OBJECT
 public:
  TLogTimeFormatDialog(const std::string& format, bool sourcePAV, bool zoneUtc, QWidget* parent = nullptr);

  std::string Format() const;
  bool SourcePAV() const;
  bool ZoneUtc() const;

  QLineEdit* FormatEdit() const { return FFormat; }
  QComboBox* ZoneBox() const { return FZone; }
  QComboBox* SourceBox() const { return FSource; }

 private:
  QLineEdit* FFormat;
  QComboBox* FZone;
  QComboBox* FSource;
};
