#pragma once

#include <array>
#include <string>
#include <vector>

#include <functional>

#include "app/core/ZEP_Sessions.h"
#include "app/data/App_VirtAllanData.h"
#include "ui/ViewBase.h"

class QPlainTextEdit;
class QComboBox;
class TPAV_DataManagement;
class TQMT_DataManagement;

// Columns of text aligned under their captions: the first column left, the
// others right-aligned, two blanks between columns. A caption longer than
// its column's values and than kCaptionWrapWidth is wrapped at blanks onto
// lines of that width, so long captions do not widen the table.
inline constexpr std::size_t kCaptionWrapWidth = 14;
std::string FormatTextTable(const std::vector<std::string>& captions, const std::vector<std::vector<std::string>>& rows);

using TTextColumns = TColumnFlags;

// The tables the text views show, built from the store readers alone.
// Channel k is shown (all when empty).
using TChannelFilter = std::function<bool(int k)>;
std::string CounterValuesTable(const TPAV_DataManagement& store, char letter, const TTextColumns& columns,
                               const TChannelFilter& shown = {});
std::string QmtValuesTable(TQMT_DataManagement& store, char letter, const TChannelFilter& shown = {});
std::string AllanValuesTable(const TPAV_DataManagement& store, char letter, TAllanMode mode);
// Per card its word as hexadecimal and bits, then the state of each input
// beside its signal name: inputs 1..16 in a column beside inputs 17..32.
std::string DigitalInputsTable(const TPAV_DataManagement& store, const TPDINames& names);

// A view that shows one monospaced text, rewritten only when it changed.
class TViewText : public TViewChild {
  Q_OBJECT
 public:
  TViewText(TViewKind kind, std::shared_ptr<TVQSessionItem> session, QWidget* parent = nullptr);
  QString Text() const;
  void Tick() override;

 protected:
  virtual std::string BuildText() = 0;
  QPlainTextEdit* FEdit = nullptr;

 private:
  std::string FShown;
};

class TViewCounterText : public TViewText {
  Q_OBJECT
 public:
  explicit TViewCounterText(std::shared_ptr<TVQSessionItem> session, QWidget* parent = nullptr);
  const TTextColumns& Columns() const { return FModel.Columns(); }
  void SetColumns(const TTextColumns& columns);

 protected:
  std::string BuildText() override;
};

class TViewQmtText : public TViewText {
  Q_OBJECT
 public:
  // Its selection holds the session's time-interval channels.
  explicit TViewQmtText(std::shared_ptr<TVQSessionItem> session, QWidget* parent = nullptr)
      : TViewText(TViewKind::vkQMT, std::move(session), parent) {
    FModel.SetQMTView(1, true);
  }

 protected:
  std::string BuildText() override;
};

class TViewAllanText : public TViewText {
  Q_OBJECT
 public:
  explicit TViewAllanText(std::shared_ptr<TVQSessionItem> session, QWidget* parent = nullptr);
  TAllanMode Mode() const { return FMode; }
  void SetMode(TAllanMode mode);
  void ReadSettings(TAppSettings& settings, const std::string& prefix) override;
  void SaveSettings(TAppSettings& settings, const std::string& prefix) override;

 protected:
  std::string BuildText() override;

 private:
  QComboBox* FModeBox = nullptr;
  TAllanMode FMode = amFreq;
};

class TViewDigitalInputs : public TViewText {
  Q_OBJECT
 public:
  explicit TViewDigitalInputs(std::shared_ptr<TVQSessionItem> session, QWidget* parent = nullptr)
      : TViewText(TViewKind::vkPDI, std::move(session), parent) {}

 protected:
  std::string BuildText() override;
};

class TViewRaw : public TViewText {
  Q_OBJECT
 public:
  explicit TViewRaw(std::shared_ptr<TVQSessionItem> session, QWidget* parent = nullptr)
      : TViewText(TViewKind::vkRaw, std::move(session), parent) {}

 protected:
  std::string BuildText() override;
};

class TViewSensor : public TViewText {
  Q_OBJECT
 public:
  explicit TViewSensor(std::shared_ptr<TVQSessionItem> session, QWidget* parent = nullptr)
      : TViewText(TViewKind::vkSensorText, std::move(session), parent) {}

 protected:
  std::string BuildText() override;
};

class TViewDebug : public TViewText {
  Q_OBJECT
 public:
  explicit TViewDebug(std::shared_ptr<TVQSessionItem> session, QWidget* parent = nullptr)
      : TViewText(TViewKind::vkDebug, std::move(session), parent) {}

 protected:
  std::string BuildText() override;
};
