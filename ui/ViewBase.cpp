#include "ui/ViewBase.h"

#include <QFontDatabase>
#include <QMdiSubWindow>
#include <QPlainTextEdit>

#include "app/core/App_Settings.h"
#include "app/core/ZEP_Sessions.h"
#include "ui/ChannelSelector.h"

QString ViewKindTitle(TViewKind kind) {
  const TViewKindInfo* info = ViewKindInfo(kind);
  if (!info) return QStringLiteral("View");
  return QString::fromUtf8(info->DefaultTitle.data(), static_cast<qsizetype>(info->DefaultTitle.size()));
}

QColor ColorFromBgr(TColor bgr) {
  return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF), static_cast<int>((bgr >> 16) & 0xFF));
}

QColor PlotColor(TColor bgr) {
  QColor color = ColorFromBgr(bgr);
  if (color.lightness() > 170) color = color.darker(140);
  return color;
}

TViewChild::TViewChild(TViewKind kind, std::shared_ptr<TVQSessionItem> session, QWidget* parent)
    : QWidget(parent), FSession(std::move(session)), FModel(kind) {
  setAttribute(Qt::WA_DeleteOnClose);
  FModel.OnCaptionChanged = [this] { setWindowTitle(QString::fromStdString(FModel.Caption())); };
}

TViewChild::~TViewChild() {
  FModel.OnCaptionChanged = nullptr;
  FModel.OnChannelsChanged = nullptr;
  if (!FModel.Closed()) FModel.Close();  // tells the main window that the slot is free
}

void TViewChild::AttachToSlot(int tag, TOnViewMain onMain) {
  FModel.CreateChild(tag, MakeViewSession(FSession), std::move(onMain));
  FModel.UpdateSession(1);
  FModel.UpdateCaption();
  setWindowTitle(QString::fromStdString(FModel.Caption()));
}

void TViewChild::Rebind(std::shared_ptr<TVQSessionItem> session) {
  if (session == FSession) return;
  FSession = std::move(session);
  FModel.SessionChanged(MakeViewSession(FSession));
  FModel.UpdateSession(1);
  SessionRebound();
}

void TViewChild::SetSecondSession(std::shared_ptr<TVQSessionItem> session) {
  if (!FModel.CanHaveSecondSession() || session == FSecondSession) return;
  FSecondSession = std::move(session);
  FModel.SetSecondSession(MakeViewSession(FSecondSession));
  if (FSelector2) FSelector2->setVisible(FSecondSession != nullptr);
  SecondSessionChanged();
}

TVQSessionItem* TViewChild::SessionOf(int base) const {
  if (base == 1) return FSession.get();
  if (base == 2) return FSecondSession.get();
  return nullptr;
}

bool TViewChild::ChannelShown(int channel, int base) const {
  if (base == 2) return FSecondSession && FModel.ChannelDataSecond().Enabled(channel);
  return FModel.ChannelData().Enabled(channel);
}

void TViewChild::ChannelCountChanged(int base) { FModel.RecountChannels(base); }

TChannelSelector* TViewChild::NewChannelSelector(int base) {
  TChannelSelector*& selector = base == 2 ? FSelector2 : FSelector;
  if (!selector) selector = new TChannelSelector(FModel, base == 2 ? 2 : 1, this);
  if (base == 2) selector->setVisible(FSecondSession != nullptr);
  return selector;
}

void TViewChild::SyncChannelSelector() {
  if (FSelector) FSelector->Sync();
  if (FSelector2) FSelector2->Sync();
}

QWidget* TViewChild::Frame() const {
  QWidget* parent = parentWidget();
  return qobject_cast<QMdiSubWindow*>(parent) ? parent : const_cast<TViewChild*>(this);
}

void TViewChild::ReadSettings(TAppSettings& settings, const std::string& prefix) {
  const QRect now = Frame()->geometry();
  FModel.SetBounds({now.left(), now.top(), now.width(), now.height()});
  FModel.ReadSettings(settings, prefix);
  const TViewBounds& bounds = FModel.Bounds();
  // The model keeps the bounds in range; a frame still needs a usable size.
  Frame()->setGeometry(bounds.Left, bounds.Top, std::max(bounds.Width, 120), std::max(bounds.Height, 80));
}

void TViewChild::SaveSettings(TAppSettings& settings, const std::string& prefix) {
  const QRect now = Frame()->geometry();
  FModel.SetBounds({now.left(), now.top(), now.width(), now.height()});
  FModel.SaveSettings(settings, prefix);
}

QPlainTextEdit* NewTablePane(QWidget* parent) {
  auto* pane = new QPlainTextEdit(parent);
  pane->setReadOnly(true);
  pane->setLineWrapMode(QPlainTextEdit::NoWrap);
  pane->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  return pane;
}
