#pragma once

#include <QColor>
#include <QString>
#include <QWidget>
#include <memory>
#include <string>
#include <vector>

#include "app/core/App_ChannelData.h"
#include "app/core/App_Views.h"

class QPlainTextEdit;
class TChannelSelector;
class TAppSettings;
class TVQSessionItem;

inline constexpr int kFirstViewKind = 1;
inline constexpr int kLastViewKind = 10;

// The kind's own caption ("Graph", ...).
QString ViewKindTitle(TViewKind kind);
// A 24-bit settings colour ($00BBGGRR, red in the low byte) as a Qt colour.
QColor ColorFromBgr(TColor bgr);
// The read-only, unwrapped, monospaced text pane of the table views.
QPlainTextEdit* NewTablePane(QWidget* parent);
// A channel colour made readable on a white plot (pure yellow and other
// light tones are darkened).
QColor PlotColor(TColor bgr);

// The base of every MDI child: bound to one counter session (none for the
// message window), refreshed from the session's stores by Tick() at every
// display tick, reacting to the hand-over kinds through the virtuals below.
// Kind, tag, caption, channel selection and settings keys live in the
// toolkit-free view model; the widget draws from it.
class TViewChild : public QWidget {
  Q_OBJECT
 public:
  TViewChild(TViewKind kind, std::shared_ptr<TVQSessionItem> session, QWidget* parent = nullptr);
  ~TViewChild() override;

  // Binds the model to its slot's tag and the main window's callback.
  void AttachToSlot(int tag, TOnViewMain onMain);
  TViewKind Kind() const { return FModel.Kind(); }
  int Tag() const { return FModel.Tag(); }
  TViewModel& Model() { return FModel; }
  const TViewModel& Model() const { return FModel; }
  TVQSessionItem* Session() const { return FSession.get(); }
  const std::shared_ptr<TVQSessionItem>& SessionShared() const { return FSession; }
  // Binds the view to the session that replaced its own in the same slot.
  void Rebind(std::shared_ptr<TVQSessionItem> session);
  // Channel 1..24 is shown (base 1's selection).
  bool ChannelShown(int channel) const;
  // The strip of channel cells; null for kinds without one.
  TChannelSelector* ChannelSelector() const { return FSelector; }

  // Refreshes from the stores; called by the display tick.
  virtual void Tick() = 0;
  // Hand-over reactions.
  virtual void DataReset() {}
  virtual void DataResetQMT() {}
  virtual void ChannelCountChanged();
  virtual void RateChanged(int /*intervalMs*/) {}
  virtual void ModeChanged() { FModel.UpdateCaption(); }
  virtual void PhaseDiffReset() {}
  virtual void ClearQMT() {}

  virtual void ReadSettings(TAppSettings& settings, const std::string& prefix);
  virtual void SaveSettings(TAppSettings& settings, const std::string& prefix);

 protected:
  virtual void SessionRebound() { DataReset(); }
  // The window that holds the view (the MDI frame when there is one).
  QWidget* Frame() const;
  // Creates the strip of channel cells over base 1's selection.
  TChannelSelector* NewChannelSelector();
  // Repaints the strip when the selection changed; called by Tick.
  void SyncChannelSelector();

  std::shared_ptr<TVQSessionItem> FSession;
  TViewModel FModel;
  TChannelSelector* FSelector = nullptr;
};
