#pragma once

#include <QWidget>
#include <string>

class TViewModel;

// What a click on a channel cell does.
enum class TChannelClickAction : int {
  ccaToggleEnabled,  // show or hide the channel
  ccaTogglePersist,  // keep or drop the channel's persistence trace
  ccaNone,
};

// A strip of small cells, one per channel of one base's selection of a view: the
// channel id on the channel colour, disabled channels greyed and hatched, a
// persist sign in the corner. The left button toggles the channel, the right
// button its persist flag. The cells write straight into the view model's
// selection, so the view follows at its next tick and the selection is saved
// with the view's keys. Main thread only.
class TChannelSelector : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kMinCellWidth = 22;
  static constexpr int kCellHeight = 18;

  // The strip of base 1 (the view's session) or base 2 (its second session).
  TChannelSelector(TViewModel& model, int base, QWidget* parent = nullptr);
  int Base() const { return FBase; }

  // Channels shown as cells (the selection's channel count).
  int CellCount() const;
  // The cell of channel 1..CellCount(); empty outside.
  QRect CellRect(int channel) const;
  // The channel under a point; 0 for none.
  int ChannelAt(const QPoint& point) const;
  // Carries out a click action on channel 1..CellCount(); false when nothing changed.
  bool Apply(TChannelClickAction action, int channel);
  TChannelClickAction LeftAction() const { return FLeftAction; }
  TChannelClickAction RightAction() const { return FRightAction; }
  void SetLeftAction(TChannelClickAction action) { FLeftAction = action; }
  void SetRightAction(TChannelClickAction action) { FRightAction = action; }

  // Repaints when the selection changed behind the strip's back (channel
  // count, colours, ids, settings read); called by the view's tick.
  void Sync();

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;
  bool hasHeightForWidth() const override { return true; }
  int heightForWidth(int width) const override;

 signals:
  // The user changed the enabled or persist flag of a channel.
  void SelectionChanged(int channel);

 protected:
  bool event(QEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  // Everything the cells draw, to notice a change.
  std::string Snapshot() const;
  // Wide enough for the longest id.
  int CellWidth() const;
  int ColumnsFor(int width) const;
  // Takes the height of as many rows as the cells need at the present
  // width: a layout would otherwise keep one row and hide the later cells.
  void FitHeight();

  TViewModel& FModel;
  const int FBase;
  TChannelClickAction FLeftAction = TChannelClickAction::ccaToggleEnabled;
  TChannelClickAction FRightAction = TChannelClickAction::ccaTogglePersist;
  std::string FShown;
};
