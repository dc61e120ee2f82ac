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
// message window) and, for the kinds that can show one, to a second
// session (base 2); refreshed from the sessions' stores by Tick() at every
// display tick, reacting to the hand-over kinds through the virtuals below.
// Kind, tag, caption, channel selections and settings keys live in the
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
  // The second session (base 2); null when none.
  TVQSessionItem* SecondSession() const { return FSecondSession.get(); }
  const std::shared_ptr<TVQSessionItem>& SecondSessionShared() const { return FSecondSession; }
  // Binds base 2 to the session, or empties it (null). Kinds without a
  // second session ignore it.
  void SetSecondSession(std::shared_ptr<TVQSessionItem> session);
  // The session of base 1 or 2; null when the base is empty.
  TVQSessionItem* SessionOf(int base) const;
  // Channel 1..24 of that base is shown.
  bool ChannelShown(int channel, int base = 1) const;
  // The strip of channel cells of base 1 or 2; null for kinds without one.
  TChannelSelector* ChannelSelector(int base = 1) const { return base == 2 ? FSelector2 : FSelector; }

  // Refreshes from the stores; called by the display tick.
  virtual void Tick() = 0;
  // Hand-over reactions, for the base (1, 2) whose session sent the item.
  virtual void DataReset(int /*base*/) {}
  virtual void DataResetQMT(int /*base*/) {}
  virtual void ChannelCountChanged(int base);
  virtual void RateChanged(int /*base*/, int /*intervalMs*/) {}
  virtual void ModeChanged() { FModel.UpdateCaption(); }
  virtual void PhaseDiffReset(int /*base*/) {}
  virtual void ClearQMT(int /*base*/) {}

  virtual void ReadSettings(TAppSettings& settings, const std::string& prefix);
  virtual void SaveSettings(TAppSettings& settings, const std::string& prefix);

 protected:
  virtual void SessionRebound() { DataReset(1); }
  // Base 2 was bound to another session or emptied.
  virtual void SecondSessionChanged() { DataReset(2); }
  // The window that holds the view (the MDI frame when there is one).
  QWidget* Frame() const;
  // Creates the strip of channel cells over that base's selection; the
  // strip of base 2 shows only while a second session is bound.
  TChannelSelector* NewChannelSelector(int base = 1);
  // Repaints the strips when a selection changed; called by Tick.
  void SyncChannelSelector();

  std::shared_ptr<TVQSessionItem> FSession;
  std::shared_ptr<TVQSessionItem> FSecondSession;
  TViewModel FModel;
  TChannelSelector* FSelector = nullptr;
  TChannelSelector* FSelector2 = nullptr;
};
