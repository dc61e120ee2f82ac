#include "ui/ZepMainWindow.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QDialog>
#include <QFontDatabase>
#include <QLabel>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QScopedValueRollback>
#include <QStatusBar>
#include <QThread>
#include <QTimer>
#include <cstdlib>

#include "app/core/App_Settings.h"
#include "app/core/ZEP_Sessions.h"
#include "app/core/ZEP_Settings.h"
#include "app/data/PAV_DataManagement.h"
#include "app/data/QMT_DataManagement.h"
#include "library/core/VQ_CommonTypes.h"
#include "library/core/VQ_DllCommon.h"
#include "library/core/LogUnit.h"
#include "library/core/VQ_Header.h"
#include "ui/CalibrationDialog.h"
#include "ui/ChannelSettingsDialog.h"
#include "ui/ConnectionDialog.h"
#include "ui/LogMenu.h"
#include "ui/SizeFit.h"
#include "ui/UsbWatcher.h"
#include "ui/ViewAllan.h"
#include "ui/ViewGraph.h"
#include "ui/ViewMessages.h"
#include "ui/ViewText.h"
#include "ui/WindowSettingsDialog.h"

namespace {

constexpr int kStatusFieldsPerSession = 5;
constexpr int kMaxModes = 7;
// Counter command bytes.
constexpr char kReSyncCommand = 0x0F;
constexpr char kResetPhaseDiffCommand = 0x0A;
constexpr char kClearBufferCommand = static_cast<char>(0x80);  // bit 7: clear the buffer, nothing else

std::string DefaultConfigFolder() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg) return std::string(xdg) + "/zep/";
  if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.config/zep/";
  return "./zep/";
}

std::string WithSlash(std::string folder) {
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder;
}

QString ModeName(int mode) {
  const TVQHeader header(static_cast<uint16_t>(mode << 12));
  const std::string_view text = header.ModeText();
  return text.empty() ? QString::number(mode) : QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QString IntervalName(int index) {
  const uint32_t ms = VQ_IntervalTableMs[static_cast<std::size_t>(index)];
  return ms < 1000 ? QStringLiteral("%1 ms").arg(ms) : QStringLiteral("%1 s").arg(ms / 1000);
}

}  // namespace

TZepMainWindow::TZepMainWindow(TMainWindowOptions options, QWidget* parent)
    : QMainWindow(parent), FOptions(std::move(options)), FSlots([this](const std::string& line) {
        if (FApp && LogWanted(FApp->MainLogId())) LogInfo(FApp->MainLogId(), line);
      }) {
  setWindowTitle(QStringLiteral("ZEP  Version 3.3.2 - 2024-08-09"));
  resize(1280, 860);
  FMdi = new QMdiArea(this);
  FMdi->setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  FMdi->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setCentralWidget(FMdi);
  statusBar()->setSizeGripEnabled(true);

  TZepAppOptions appOptions;
  appOptions.ConfigFolder = WithSlash(FOptions.ConfigFolder.empty() ? DefaultConfigFolder() : FOptions.ConfigFolder);
  appOptions.Professional = FOptions.Professional;
  appOptions.AppBaseName = "zep";
  FApp = std::make_unique<TZepApp>(appOptions, *this);

  FDisplayTimer = new QTimer(this);
  FDisplayTimer->setInterval(kDisplayTickMs);
  connect(FDisplayTimer, &QTimer::timeout, this, &TZepMainWindow::DisplayTick);
  FCheckTimer = new QTimer(this);
  FCheckTimer->setInterval(kCheckTickMs);
  connect(FCheckTimer, &QTimer::timeout, this, &TZepMainWindow::CheckTick);
  BuildMenus();
  connect(FMdi, &QMdiArea::subWindowActivated, this, [this](QMdiSubWindow* frame) {
    // The slot array tells the view that was active before.
    if (auto* view = frame ? qobject_cast<TViewChild*>(frame->widget()) : nullptr) view->Model().Activate();
    RebuildSessionMenu();
    UpdateViewActions();
  });
}

TZepMainWindow::~TZepMainWindow() {
  if (!FClosed && FStarted) {
    FUsbWatcher->Stop();
    SaveSettingsAndInfo(true);
  }
  FWindowSetComplete = false;
  FDisplayTimer->stop();
  FCheckTimer->stop();
  // The views hold the sessions' stores: they go before the application.
  for (QMdiSubWindow* frame : FMdi->subWindowList()) delete frame;
  FApp.reset();
}

// ---- start-up ---------------------------------------------------------------------------------

bool TZepMainWindow::Start() {
  FStarting = true;
  const bool started = StartWindows();
  FStarting = false;
  if (started && FStopRequested) {
    // A signal during start-up (a message box was open): stop in order now.
    close();
    return false;
  }
  if (started && FOptions.StartTimers) {
    FDisplayTimer->start();
    FCheckTimer->start();
  }
  return started;
}

// Each step may have shown a box in which a signal asked to stop: the rest
// of the start is left out then.
bool TZepMainWindow::StartWindows() {
  if (!FApp->Start()) return false;
  FStarted = true;
  FLogMenu->Rebuild();
  // Counters plugged in later open their sessions again.
  FUsbWatcher = new TUsbWatcher(*FApp, this);
  FUsbWatcher->Start();
  if (FStopRequested) return true;
  TAppSettings& settings = FApp->Settings();
  constexpr int kMaxBound = 20000;
  const int left = settings.ReadInteger("Main_Left", -1, -kMaxBound, kMaxBound);
  const int top = settings.ReadInteger("Main_Top", -1, -kMaxBound, kMaxBound);
  const int width = settings.ReadInteger("Main_Width", -1, -1, kMaxBound);
  const int height = settings.ReadInteger("Main_Height", -1, -1, kMaxBound);
  if (width >= 400 && height >= 300) resize(width, height);
  if (left != -1) move(left, top);
  CreateStartViews();
  if (FStopRequested) return true;
  FWindowSetComplete = true;
  RestoreInfoWindows();
  ActivateRememberedView();
  RebuildSessionMenu();
  UpdateStatusBar();
  return true;
}

void TZepMainWindow::CreateStartViews() {
  TAppSettings& settings = FApp->Settings();
  // "ChildCount" -1 (or none, with no view stored): nothing saved yet, a
  // first start. A damaged count reads every stored view.
  const std::optional<std::string> countText = settings.RawValue("ChildCount");
  const bool firstStart = countText ? Trim(*countText) == "-1" : settings.StoredNumbers("View_").empty();
  constexpr int kMaxSavedViews = 1000;
  const std::vector<int> numbers =
      firstStart ? std::vector<int>{} : settings.RecordNumbers("ChildCount", "View_", 1, kMaxSavedViews);
  if (firstStart || settings.TestKeys("ViewMessage_")) {
    TViewMessages* messages = EnsureMessageView();
    if (settings.TestKeys("ViewMessage_")) {
      try {
        messages->ReadSettings(settings, "ViewMessage_");
      } catch (const std::exception&) {
      }
    }
  }
  const int active = ReadActiveView(settings, numbers.empty() ? -1 : numbers.back());
  FRememberedMessages = active == 0;
  if (firstStart) {
    if (FApp->Session(0)) CreateDefaultViews(0);
  } else {
    ReadSavedViews(numbers, active);
  }
  RenumberCaptions();
}

void TZepMainWindow::CreateDefaultViews(int sessionIndex) {
  if (auto* graph = static_cast<TViewGraph*>(CreateView(TViewKind::vkGraph, sessionIndex))) graph->SetMode(gmPhase);
  if (auto* graph = static_cast<TViewGraph*>(CreateView(TViewKind::vkGraph, sessionIndex))) graph->SetMode(gmFreqRel);
  CreateView(TViewKind::vkText, sessionIndex);
  CreateView(TViewKind::vkQMT, sessionIndex);
  if (FOptions.Professional) CreateView(TViewKind::vkDebug, sessionIndex);
  ArrangeDefault();
}

// Graphs on the left, one above the other; the tables on the right; the
// message window (and the debug view) along the bottom.
void TZepMainWindow::ArrangeDefault() {
  const QSize area = FMdi->viewport()->size().isEmpty() ? QSize(1260, 760) : FMdi->viewport()->size();
  const int bottom = area.height() * 22 / 100;
  const int upper = area.height() - bottom;
  const int left = area.width() * 58 / 100;
  int graphs = 0, tables = 0, bottoms = 0;
  std::vector<QMdiSubWindow*> graphFrames, tableFrames, bottomFrames;
  for (TViewChild* view : Views()) {
    auto* frame = qobject_cast<QMdiSubWindow*>(view->parentWidget());
    if (!frame) continue;
    switch (view->Kind()) {
      case TViewKind::vkGraph:
      case TViewKind::vkAllan: graphFrames.push_back(frame); break;
      case TViewKind::vkMessage:
      case TViewKind::vkDebug: bottomFrames.push_back(frame); break;
      default: tableFrames.push_back(frame); break;
    }
  }
  graphs = static_cast<int>(graphFrames.size());
  tables = static_cast<int>(tableFrames.size());
  bottoms = static_cast<int>(bottomFrames.size());
  for (int i = 0; i < graphs; ++i)
    graphFrames[static_cast<std::size_t>(i)]->setGeometry(0, upper * i / graphs, left, upper / graphs);
  for (int i = 0; i < tables; ++i)
    tableFrames[static_cast<std::size_t>(i)]->setGeometry(left, upper * i / tables, area.width() - left, upper / tables);
  for (int i = 0; i < bottoms; ++i)
    bottomFrames[static_cast<std::size_t>(i)]->setGeometry(area.width() * i / bottoms, upper, area.width() / bottoms, bottom);
}

void TZepMainWindow::ReadSavedViews(const std::vector<int>& numbers, int activeNumber) {
  TAppSettings& settings = FApp->Settings();
  const int version = StoredFormatVersion(settings);
  for (const int n : numbers) {
    // A signal in a box: the views not yet read stay as stored.
    if (FStopRequested) return;
    const std::string prefix = "View_" + std::to_string(n) + "_";
    try {
      const TSavedViewKeys keys = ReadSavedViewKeys(settings, prefix, version);
      const int id = keys.Id;
      if (id < kFirstViewKind || id > kLastViewKind || id == static_cast<int>(TViewKind::vkMessage)) continue;
      // A view whose session is gone goes with it.
      if (keys.Session < 0 || !FApp->Session(keys.Session)) continue;
      const bool hiddenDebug = id == static_cast<int>(TViewKind::vkDebug) && !FOptions.Professional;
      if (hiddenDebug || !CounterSession(keys.Session, false)) {
        KeepView(n, keys);
        continue;
      }
      FCreatingFromSettings = true;
      TViewChild* view = CreateView(static_cast<TViewKind>(id), keys.Session, keys.SessionCopy);
      FCreatingFromSettings = false;
      if (!view) continue;
      // Base 2 is bound before the keys are read: its channel selection is among them.
      if (keys.SecondSession >= 0) SetSecondSession(*view, keys.SecondSession, keys.SecondSessionCopy);
      view->ReadSettings(settings, prefix);
      if (n == activeNumber) FRememberedActive = view;
    } catch (const std::exception& e) {
      FCreatingFromSettings = false;
      ShowMessage("Settings of view " + std::to_string(n) + " unreadable: " + e.what());
    }
  }
}

void TZepMainWindow::KeepView(int number, const TSavedViewKeys& keys) {
  TKeptView kept;
  kept.Id = keys.Id;  // translated from older files: the save writes the current numbering
  const std::string prefix = "View_" + std::to_string(number) + "_";
  for (const std::string& line : FApp->Settings().Lines()) {
    const std::size_t equals = line.find('=');
    if (line.starts_with(prefix) && equals != std::string::npos)
      kept.Keys.emplace_back(line.substr(prefix.size(), equals - prefix.size()), line.substr(equals + 1));
  }
  kept.First = FApp->Session(keys.Session);
  if (keys.SecondSession >= 0) kept.Second = FApp->Session(keys.SecondSession);
  FKeptViews.push_back(std::move(kept));
}

// The view that was active at the last save becomes active again, after
// every saved view (and info window) is open.
void TZepMainWindow::ActivateRememberedView() {
  QWidget* view = FRememberedActive ? static_cast<QWidget*>(FRememberedActive.data())
                  : FRememberedMessages ? static_cast<QWidget*>(MessageView())
                                        : nullptr;
  FRememberedActive = nullptr;
  FRememberedMessages = false;
  if (auto* frame = view ? qobject_cast<QMdiSubWindow*>(view->parentWidget()) : nullptr) FMdi->setActiveSubWindow(frame);
}

// ---- views ----------------------------------------------------------------------------------------

std::shared_ptr<TVQSessionItem> TZepMainWindow::CounterSession(int index, bool copy) const {
  if (index < 0) return nullptr;
  std::shared_ptr<TVQSessionItem> session = std::dynamic_pointer_cast<TVQSessionItem>(FApp->Session(index));
  if (session && copy) session = FApp->CreateQMTCopy(index);
  return session;
}

TViewChild* TZepMainWindow::CreateView(TViewKind kind, int sessionIndex, bool copy) {
  if (kind == TViewKind::vkMessage) return EnsureMessageView();
  const std::shared_ptr<TVQSessionItem> session = CounterSession(sessionIndex, copy);
  if (!session) return nullptr;
  TViewChild* view = nullptr;
  switch (kind) {
    case TViewKind::vkGraph: view = new TViewGraph(session, session->QMTonly() ? gmQMTdiff : gmFreqAbs); break;
    case TViewKind::vkAllan: view = new TViewAllan(session); break;
    case TViewKind::vkText: view = new TViewCounterText(session); break;
    case TViewKind::vkRaw: view = new TViewRaw(session); break;
    case TViewKind::vkAllanText: view = new TViewAllanText(session); break;
    case TViewKind::vkQMT: view = new TViewQmtText(session); break;
    case TViewKind::vkSensorText: view = new TViewSensor(session); break;
    case TViewKind::vkPDI: view = new TViewDigitalInputs(session); break;
    case TViewKind::vkDebug: view = new TViewDebug(session); break;
    case TViewKind::vkMessage:
    case TViewKind::vkNone: break;
  }
  if (!view) return nullptr;
  if (!AddSubWindow(view, FCreatingFromSettings)) return nullptr;
  view->Tick();
  return view;
}

void TZepMainWindow::SetSecondSession(TViewChild& view, int sessionIndex, bool copy) {
  view.SetSecondSession(CounterSession(sessionIndex, copy));
  view.Tick();
}

std::vector<TSessionChoice> TZepMainWindow::SecondSessionChoices() const {
  std::vector<TSessionChoice> choices;
  for (const auto& session : FApp->Sessions()) {
    if (!std::dynamic_pointer_cast<TVQSessionItem>(session)) continue;
    std::string text = std::string(1, session->Letter()) + ": ";
    text += session->FriendlyName().empty() ? session->OpenString() : session->FriendlyName();
    choices.push_back({session->Index(), false, text});
  }
  return choices;
}

TViewMessages* TZepMainWindow::EnsureMessageView() {
  if (auto* existing = MessageView()) return existing;
  auto* view = new TViewMessages(FApp->Messages());
  return AddSubWindow(view, false) ? view : nullptr;
}

// Puts the view into a slot of the slot array and an MDI frame; false (and
// the view freed) when no slot can be had.
QMdiSubWindow* TZepMainWindow::AddSubWindow(TViewChild* view, bool fromSettings) {
  const int slot = FSlots.Reserve(view->Kind(), fromSettings, FApp->Settings());
  if (slot < 0) {
    delete view;
    return nullptr;
  }
  const int tag = slot + 1;
  view->AttachToSlot(tag, [this](TViewAction action, int actionTag) { OnViewAction(action, actionTag); });
  FSlots.Attach(slot, &view->Model());
  FViewsByTag[tag] = view;
  QMdiSubWindow* frame = FMdi->addSubWindow(view);
  frame->setAttribute(Qt::WA_DeleteOnClose);
  frame->resize(560, 360);
  frame->show();
  // The area places a new window by its size before the resize: keep it in view.
  if (!fromSettings) KeepInside(frame, FMdi->viewport());
  FCaptionsDirty = true;
  return frame;
}

void TZepMainWindow::OnViewAction(TViewAction action, int tag) {
  if (action == TViewAction::vaDestroyed) {
    FSlots.ChildDestroyed(tag);
    FViewsByTag.erase(tag);
    FCaptionsDirty = true;
  } else {
    FSlots.ChildActivated(tag);
  }
}

std::vector<TViewChild*> TZepMainWindow::Views() const {
  std::vector<TViewChild*> views;
  for (const auto& [tag, view] : FViewsByTag)
    if (view) views.push_back(view);
  return views;
}

TViewMessages* TZepMainWindow::MessageView() const {
  const auto found = FViewsByTag.find(1);
  return found == FViewsByTag.end() ? nullptr : qobject_cast<TViewMessages*>(found->second.data());
}

void TZepMainWindow::RenumberCaptions() {
  FCaptionsDirty = false;
  FSlots.RenumberCaptions();
}

TViewChild* TZepMainWindow::ActiveView() const {
  QMdiSubWindow* frame = FMdi ? FMdi->activeSubWindow() : nullptr;
  return frame ? qobject_cast<TViewChild*>(frame->widget()) : nullptr;
}

void TZepMainWindow::UpdateViewActions() {
  if (!FWindowSettingsAction || !FCenterValuesAction) return;
  const TViewChild* view = ActiveView();
  const TViewKindInfo* info = view ? ViewKindInfo(view->Kind()) : nullptr;
  FWindowSettingsAction->setEnabled(info && info->WindowSettings);
  FCenterValuesAction->setEnabled(info && info->CenterValues);
}

void TZepMainWindow::ChangeWindowSettings(TViewChild& view, const TWindowSettings& settings) {
  ApplyWindowSettings(view.Model(), settings);
  if (settings.HasSecondSession) SetSecondSession(view, settings.SecondSession, settings.SecondSessionCopy);
  // A new title can make captions equal or different: number them afresh.
  RenumberCaptions();
  view.Tick();
}

void TZepMainWindow::EditWindowSettings() {
  TViewChild* view = ActiveView();
  const TViewKindInfo* info = view ? ViewKindInfo(view->Kind()) : nullptr;
  if (!info || !info->WindowSettings) return;
  QPointer<TViewChild> guard(view);
  TWindowSettingsDialog dialog(view->Model(), SecondSessionChoices(), this);
  dialog.setWindowTitle(tr("Window Settings - %1").arg(view->windowTitle()));
  // The view may close (its session removed) while the dialog is open.
  if (dialog.exec() != QDialog::Accepted || !guard) return;
  ChangeWindowSettings(*guard, dialog.Settings());
}

void TZepMainWindow::CenterValues() {
  if (auto* graph = qobject_cast<TViewGraph*>(ActiveView())) graph->CenterValues();
}

void TZepMainWindow::OpenEveryKind() {
  for (int kind = kFirstViewKind; kind <= kLastViewKind; ++kind) CreateView(static_cast<TViewKind>(kind), 0);
  FMdi->tileSubWindows();
  RenumberCaptions();
}

// ---- timers -----------------------------------------------------------------------------------------

void TZepMainWindow::RunStep(const char* step, const std::function<void()>& body) {
  try {
    body();
  } catch (const std::exception& e) {
    FApp->Messages().AddError(TMessageItem::kAppSource, 0, 0,
                       std::string("Internal Exception DisplayTimer ") + step + "(" + ExceptionClassName(e) + "): " + e.what());
  }
}

void TZepMainWindow::DisplayTick() {
  // A message box of a step runs its own event loop, in which the timer
  // fires again: that tick waits for the box.
  if (!FStarted || FClosed || FInDisplayTick) return;
  const QScopedValueRollback<bool> busy(FInDisplayTick, true);
  RunStep("Core", [this] { FApp->DisplayTick(); });
  RunStep("Sessions", [this] { RebindViews(); });
  RunStep("Views", [this] { TickViews(); });
  RunStep("Messages", [this] { RefreshMessages(); });
  RunStep("StatusBar", [this] { UpdateStatusBar(); });
  RunStep("Info", [this] { UpdateInfoWindows(); });
  if (FCaptionsDirty) RenumberCaptions();
}

void TZepMainWindow::CheckTick() {
  if (!FStarted || FClosed) return;
  FApp->CheckTick();
}

// A view follows the session in its slot: a replaced session is rebound,
// the views of a removed one close.
void TZepMainWindow::RebindViews() {
  for (TViewChild* view : Views()) {
    if (!view->Session()) continue;
    const int index = view->Session()->Index();
    auto current = std::dynamic_pointer_cast<TVQSessionItem>(FApp->Session(index));
    if (current && view->Session()->IsCopy()) current = FApp->CreateQMTCopy(index);
    if (current == view->SessionShared()) continue;
    if (!current) {
      if (view->parentWidget()) view->parentWidget()->close();
      continue;
    }
    view->Rebind(current);
    FCaptionsDirty = true;
  }
  // A replaced second session is rebound; a removed one empties base 2.
  for (TViewChild* view : Views()) {
    const TVQSessionItem* second = view->SecondSession();
    if (!second) continue;
    const auto current = CounterSession(second->Index(), second->IsCopy());
    if (current != view->SecondSessionShared()) view->SetSecondSession(current);
  }
}

void TZepMainWindow::TickViews() {
  for (TViewChild* view : Views()) {
    if (view->Kind() == TViewKind::vkMessage) continue;
    // The channel count may change between two hand-over items (a reset and
    // the next measurement): the selection follows the store itself.
    view->ChannelCountChanged(1);
    view->ChannelCountChanged(2);
    view->Tick();
  }
}

// The core's display tick hands the messages of producer threads on and asks
// for the window when an error or warning arrived; the window shows the rest.
void TZepMainWindow::RefreshMessages() {
  if (TViewMessages* view = MessageView()) view->Tick();
}

void TZepMainWindow::ShowMessageWindow() { EnsureMessageView(); }

void TZepMainWindow::UpdateStatusBar() {
  const auto sessions = FApp->Sessions();
  int slotCount = 0;
  for (const auto& session : sessions) slotCount = std::max(slotCount, session->Index() + 1);
  const std::size_t wanted = static_cast<std::size_t>(slotCount * kStatusFieldsPerSession);
  while (FStatusLabels.size() < wanted) {
    auto* label = new QLabel(QStringLiteral("-"), this);
    label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    label->setMinimumWidth(40);
    // The session fields come before the logging field, which stays last.
    statusBar()->insertPermanentWidget(static_cast<int>(FStatusLabels.size()), label);
    FStatusLabels.push_back(label);
  }
  while (FStatusLabels.size() > wanted) {
    delete FStatusLabels.back();
    FStatusLabels.pop_back();
  }
  if (!FLogStatus) {
    FLogStatus = new QLabel(this);
    FLogStatus->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    statusBar()->addPermanentWidget(FLogStatus);
  }
  if (const QString text = LoggingStatusText(); FLogStatus->text() != text) FLogStatus->setText(text);
  for (int index = 0; index < slotCount; ++index) {
    const std::vector<std::string> fields = FApp->StatusFields(index);
    const auto session = FApp->Session(index);
    for (int f = 0; f < kStatusFieldsPerSession; ++f) {
      QLabel* label = FStatusLabels[static_cast<std::size_t>(index * kStatusFieldsPerSession + f)];
      const QString text = static_cast<std::size_t>(f) < fields.size() ? QString::fromStdString(fields[static_cast<std::size_t>(f)])
                                                                       : QStringLiteral("-");
      if (label->text() != text) {
        label->setText(text);
        // Widened when the text needs it, never narrowed: the bar does not jump.
        const int width = label->fontMetrics().horizontalAdvance(text) + 8;
        if (label->minimumWidth() < width) label->setMinimumWidth(width);
      }
      if (f == 0 && session) {
        const QString style = QStringLiteral("background-color: %1; padding: 0 4px;").arg(ColorFromBgr(session->Color()).name());
        if (label->styleSheet() != style) label->setStyleSheet(style);
      }
    }
  }
}

QString TZepMainWindow::LoggingStatusText() const {
  const bool logs = FApp->LogFileActive();
  const bool debug = FApp->Settings().AppDebugLog();
  if (debug && logs) return QStringLiteral("Debug Logging ");
  if (debug) return QStringLiteral("Debug         ");
  if (logs) return QStringLiteral("Logging       ");
  return {};
}

QStringList TZepMainWindow::StatusTexts() const {
  QStringList texts;
  for (const QLabel* label : FStatusLabels) texts << label->text();
  return texts;
}

// ---- hand-over ----------------------------------------------------------------------------------

// Runs `action`(view, base) for every base of every view that the item
// reaches (see TViewModel::HandOverBases).
template <typename F>
void TZepMainWindow::ForViewsOf(const TMainSyncData& item, F&& action) {
  if (!item.HasSender()) return;
  const auto sender = item.Sender();
  if (!sender) return;
  // A QMT-only copy shares its original's stores: its views follow both.
  for (TViewChild* view : Views())
    for (const int base : view->Model().HandOverBases(item.What, sender->Index())) action(*view, base);
}

void TZepMainWindow::HandOver(const TMainSyncData& item) {
  switch (item.What) {
    case SyncWhat::DataReset: ForViewsOf(item, [](TViewChild& v, int base) { v.DataReset(base); }); break;
    case SyncWhat::DataResetQMT: ForViewsOf(item, [](TViewChild& v, int base) { v.DataResetQMT(base); }); break;
    case SyncWhat::ChannelCount:
    case SyncWhat::QMTChannels:
    case SyncWhat::PDICards: ForViewsOf(item, [](TViewChild& v, int base) { v.ChannelCountChanged(base); }); break;
    case SyncWhat::RateIndex: ForViewsOf(item, [&](TViewChild& v, int base) { v.RateChanged(base, item.aInt); }); break;
    case SyncWhat::Mode:
      ForViewsOf(item, [](TViewChild& v, int) { v.ModeChanged(); });
      RebuildSessionMenu();
      break;
    case SyncWhat::PhaseDiffReset: ForViewsOf(item, [](TViewChild& v, int base) { v.PhaseDiffReset(base); }); break;
    case SyncWhat::QMTCalibration: ForViewsOf(item, [](TViewChild& v, int base) { v.ClearQMT(base); }); break;
    case SyncWhat::PAVOnly:
    case SyncWhat::QMTOnly:
      RebuildSessionMenu();
      FCaptionsDirty = true;
      break;
    case SyncWhat::Peer:
      // An older counter generation has no debug output.
      // (The simulated counter has debug output whatever generation it reports.)
      if (item.Code == 0)
        ForViewsOf(item, [](TViewChild& v, int) {
          if (v.Kind() == TViewKind::vkDebug && v.Session() && !v.Session()->State().Demo && v.parentWidget())
            v.parentWidget()->close();
        });
      break;
    case SyncWhat::PVHData:
      ForViewsOf(item, [](TViewChild& v, int base) {
        if (auto* graph = qobject_cast<TViewGraph*>(&v); graph && graph->Mode() != gmQMTdiff && graph->Mode() != gmSensor)
          graph->DataReset(base);
      });
      break;
    default: break;  // the info window reads scrambler, rate, PPI and re-sync state itself
  }
}

void TZepMainWindow::SessionsChanged() {
  RebindViews();
  RebuildSessionMenu();
  FCaptionsDirty = true;
}

// ---- front end ------------------------------------------------------------------------------------

std::optional<TConnectionChoice> TZepMainWindow::ChooseConnection(int index, const TConnectionChoice& proposal) {
  if (!FOptions.Connect.empty() && !FConnectUsed) {
    FConnectUsed = true;
    TConnectionChoice choice = proposal;
    choice.OpenString = FOptions.Connect;
    choice.ConnectionType = ctUnknown;
    if (const auto form = ParseConnectionString(FOptions.Connect))
      choice.ConnectionType = BuildConnectionString(*form).ConnectionType;
    choice.ClearBuffer = choice.ConnectionType != ctDemo && choice.ConnectionType != ctFile;
    return choice;
  }
  return AskConnection(index, proposal);
}

// A stored session without a connection string: the dialog asks for one;
// Cancel leaves the session closed with its keys kept.
std::optional<TConnectionChoice> TZepMainWindow::ChooseMissingConnection(int index, const TConnectionChoice& proposal) {
  return AskConnection(index, proposal);
}

std::optional<TConnectionChoice> TZepMainWindow::AskConnection(int index, const TConnectionChoice& proposal) {
  if (!FOptions.Interactive || FStopRequested) return std::nullopt;
  TConnectionDialog dialog(proposal, isVisible() ? this : nullptr);
  dialog.setWindowTitle(tr("Connection of session %1").arg(QChar(SessionLetter(index))));
  if (dialog.exec() != QDialog::Accepted || FStopRequested) return std::nullopt;
  return dialog.Choice();
}

bool TZepMainWindow::AskYesNo(const std::string& question) {
  if (!FOptions.Interactive || FStopRequested) return false;
  return QMessageBox::question(isVisible() ? this : nullptr, QStringLiteral("ZEP"), QString::fromStdString(question)) ==
         QMessageBox::Yes;
}

void TZepMainWindow::ShowMessage(const std::string& text) {
  // No box once a signal asked to stop: it would keep the program from ending.
  if (FOptions.Interactive && !FStopRequested) {
    QMessageBox::warning(isVisible() ? this : nullptr, QStringLiteral("ZEP"), QString::fromStdString(text));
    return;
  }
  FApp->Messages().AddWarning(TMessageItem::kAppSource, 0, 0, text);
}

// ---- shutdown -------------------------------------------------------------------------------------------

void TZepMainWindow::SystemShutdown() {
  FShutDown = true;
  FStopRequested = true;
  CloseDialogs();
  // During start-up, Start() ends the start and closes.
  if (!FStarting) FinishStop();
}

void TZepMainWindow::CloseDialogs() {
  for (QWidget* widget : QApplication::topLevelWidgets())
    if (auto* dialog = qobject_cast<QDialog*>(widget); dialog && dialog->isVisible()) dialog->reject();
}

// A dialog's caller is still on the stack until its event loop has
// returned: it must not find the application shut down under it.
void TZepMainWindow::FinishStop() {
  if (FClosed) return;
  if (thread()->loopLevel() > 1) {
    CloseDialogs();
    constexpr int kRetryMs = 20;
    QTimer::singleShot(kRetryMs, this, &TZepMainWindow::FinishStop);
    return;
  }
  close();
}

void TZepMainWindow::closeEvent(QCloseEvent* event) {
  if (FClosed) {
    event->accept();
    return;
  }
  // An operating-system shutdown (FShutDown) never asks.
  if (FStarted && !FShutDown && FOptions.Interactive && FApp->LogFileActive() &&
      QMessageBox::question(this, windowTitle(), QStringLiteral("Logging is active\r\nClose application?")) !=
          QMessageBox::Yes) {
    event->ignore();
    return;
  }
  FClosed = true;
  FDisplayTimer->stop();
  FCheckTimer->stop();
  if (FStarted) {
    FUsbWatcher->Stop();
    SaveSettingsAndInfo(true);
  }
  event->accept();
}

// The views in slot order, then the kept ones; "ChildCount" is their
// number. Until start-up has opened the saved window set the stored one
// stays: a half-built set must never replace it.
void TZepMainWindow::SaveWindowKeys(TAppSettings& settings) {
  if (!FWindowSetComplete) return;
  settings.RemoveKeys("ViewMessage_");
  TViewMessages* messages = MessageView();
  if (messages) {
    messages->SaveSettings(settings, "ViewMessage_");
    settings.SetValue("ViewMessage_Session", -1);
    settings.SetValue("ViewMessage_SessionCopy", false);
  }
  // The current frame, also while another program has the focus.
  QMdiSubWindow* current = FMdi->currentSubWindow();
  const QWidget* currentView = current ? current->widget() : nullptr;
  int active = currentView && currentView == messages ? 0 : -1;
  settings.RemoveKeys("View_");
  int n = 0;
  for (TViewChild* view : Views()) {
    if (view->Kind() == TViewKind::vkMessage || !view->Session()) continue;
    const std::string prefix = "View_" + std::to_string(++n) + "_";
    view->SaveSettings(settings, prefix);
    view->Model().SaveSessionKeys(settings, prefix);
    if (view == currentView) active = n;
  }
  // A kept view goes with its session when that is removed.
  const auto present = [this](const std::weak_ptr<TSessionItem>& weak) {
    const auto session = weak.lock();
    return session && FApp->Session(session->Index()) == session ? session : nullptr;
  };
  for (const TKeptView& kept : FKeptViews) {
    const auto first = present(kept.First);
    if (!first) continue;
    const std::string prefix = "View_" + std::to_string(++n) + "_";
    for (const auto& [name, value] : kept.Keys) settings.KeepValue(prefix + name, value);
    settings.SetValue(prefix + "Id", kept.Id);
    settings.SetValue(prefix + "Session", first->Index());
    const auto second = present(kept.Second);
    settings.SetValue(prefix + "SecondSession", second ? second->Index() : -1);
  }
  settings.SetValue("ChildCount", n);
  SaveActiveView(settings, active);
  const QRect bounds = geometry();
  settings.SetValue("Main_Left", bounds.left());
  settings.SetValue("Main_Top", bounds.top());
  settings.SetValue("Main_Width", bounds.width());
  settings.SetValue("Main_Height", bounds.height());
}

void TZepMainWindow::SaveAllSettings() {
  if (FStarted && !FClosed) SaveSettingsAndInfo(false);
}

void TZepMainWindow::SaveSettingsAndInfo(bool shutdown) {
  if (shutdown)
    FApp->Shutdown();
  else
    FApp->SaveSettings(false);
}

// The core removes every "Info_" key and may renumber the sessions before
// it asks for them: each open or once opened info window is written under
// its session's saved number.
void TZepMainWindow::SaveSessionKeys(TAppSettings& settings, const std::vector<std::pair<int, int>>& numbers) {
  for (const auto& [before, saved] : numbers) {
    const auto found = FInfoWindows.find(before);
    if (found == FInfoWindows.end()) continue;
    TInfoWindowState state;
    if (auto* frame = InfoWindow(before)) {
      const QRect bounds = frame->geometry();
      state.Bounds = {bounds.left(), bounds.top(), bounds.width(), bounds.height()};
      state.Visible = true;
    } else if (found->second.Bounds) {
      state.Bounds = *found->second.Bounds;
    } else {
      continue;
    }
    SaveInfoWindow(settings, saved, state);
  }
}

// ---- menus ------------------------------------------------------------------------------------------

void TZepMainWindow::BuildMenus() {
  FSessionMenu = menuBar()->addMenu(tr("&Session"));
  FSessionMenu->addAction(tr("&New..."), this, &TZepMainWindow::NewSession);
  FSessionMenu->addAction(tr("&Change..."), this, &TZepMainWindow::ChangeSession);
  FSessionMenu->addAction(tr("&Remove"), this, &TZepMainWindow::RemoveSession);
  FSessionMenu->addSeparator();
  FSessionMenu->addAction(tr("&Open"), this, &TZepMainWindow::OpenSession);
  FSessionMenu->addAction(tr("C&lose"), this, &TZepMainWindow::CloseSession);
  FSessionMenu->addAction(tr("&Info"), this, &TZepMainWindow::ShowActiveSessionInfo);
  FSessionMenu->addAction(tr("Channel Se&ttings..."), this, &TZepMainWindow::EditChannelSettings);
  FSessionMenu->addSeparator();
  FSessionMenu->addAction(tr("&Save Settings"), this, &TZepMainWindow::SaveAllSettings);
  FSessionMenu->addAction(tr("E&xit"), this, &QWidget::close);

  QMenu* counter = menuBar()->addMenu(tr("&Counter"));
  QMenu* interval = counter->addMenu(tr("&Interval"));
  for (int index = 0; index < static_cast<int>(VQ_IntervalTableMs.size()); ++index)
    interval->addAction(IntervalName(index), this, [this, index] {
      SendToActive(std::string(1, static_cast<char>(32 + index)), tr("Interval %1").arg(IntervalName(index)));
    });
  QMenu* mode = counter->addMenu(tr("&Mode"));
  for (int m = 0; m < kMaxModes; ++m)
    mode->addAction(ModeName(m), this,
                    [this, m] { SendToActive(std::string(1, static_cast<char>(64 + m)), tr("Mode %1").arg(ModeName(m))); });
  QMenu* channels = counter->addMenu(tr("&Channels"));
  channels->addAction(tr("All 24 channels"), this, [this] { SendToActive(TVQSessionItem::DemoChannelCommand(0), tr("channel count")); });
  for (int n = 1; n <= 23; ++n)
    channels->addAction(n == 1 ? tr("Channel 1") : tr("Channels 1..%1").arg(n), this,
                        [this, n] { SendToActive(TVQSessionItem::DemoChannelCommand(n), tr("channel count")); });
  QMenu* scrambler = counter->addMenu(tr("&Scrambler"));
  scrambler->addAction(tr("Off"), this, [this] { SendToActive("P", tr("Scrambler off")); });
  scrambler->addAction(tr("Auto"), this, [this] { SendToActive("^", tr("Scrambler Auto")); });
  scrambler->addAction(tr("Trim"), this, [this] { SendToActive("_", tr("Scrambler Trim")); });
  counter->addSeparator();
  counter->addAction(tr("&Re-synchronise"), this, [this] { SendToActive(std::string(1, kReSyncCommand), tr("Re-synchronise")); });
  counter->addAction(tr("Reset &phase difference"), this,
                     [this] { SendToActive(std::string(1, kResetPhaseDiffCommand), tr("Reset phase difference")); });
  counter->addAction(tr("Clear &buffer"), this, [this] { SendToActive(std::string(1, kClearBufferCommand), tr("Clear buffer")); });
  counter->addSeparator();
  counter->addAction(tr("QMT C&alibration..."), this, &TZepMainWindow::EditCalibration);

  QMenu* views = menuBar()->addMenu(tr("&View"));
  for (int kind = kFirstViewKind; kind <= kLastViewKind; ++kind) {
    if (kind == static_cast<int>(TViewKind::vkDebug) && !FOptions.Professional) continue;
    views->addAction(ViewKindTitle(static_cast<TViewKind>(kind)), this, [this, kind] {
      const int index = ActiveSessionIndex();
      if (kind != static_cast<int>(TViewKind::vkMessage) && index < 0) return;
      CreateView(static_cast<TViewKind>(kind), index);
      RenumberCaptions();
    });
  }
  QMenu* window = menuBar()->addMenu(tr("&Window"));
  window->addAction(tr("&Tile"), FMdi, &QMdiArea::tileSubWindows);
  window->addAction(tr("&Cascade"), FMdi, &QMdiArea::cascadeSubWindows);
  window->addAction(tr("&Default arrangement"), this, &TZepMainWindow::ArrangeDefault);
  window->addSeparator();
  FWindowSettingsAction = window->addAction(tr("Change &Window Settings..."), this, &TZepMainWindow::EditWindowSettings);
  FCenterValuesAction = window->addAction(tr("C&enter values..."), this, &TZepMainWindow::CenterValues);
  UpdateViewActions();
  FLogMenu = new TLogMenu(*FApp, menuBar()->addMenu(tr("&Logging")), this, FOptions.Interactive);
  FActiveSessionMenu = menuBar()->addMenu(tr("Active: -"));
}

// The menu that names the session the commands go to and lets the user pick it.
void TZepMainWindow::RebuildSessionMenu() {
  if (!FActiveSessionMenu) return;
  const auto active = ActiveSession();
  FActiveSessionMenu->setTitle(active ? tr("Active: %1").arg(QChar(active->Letter())) : tr("Active: -"));
  FActiveSessionMenu->clear();
  for (const auto& session : FApp->Sessions()) {
    const QString text = QStringLiteral("%1: %2%3")
                             .arg(QChar(session->Letter()))
                             .arg(QString::fromStdString(session->OpenString()))
                             .arg(session->DeviceOpened() ? QString() : tr(" (closed)"));
    QAction* action = FActiveSessionMenu->addAction(text);
    action->setEnabled(false);
  }
}

int TZepMainWindow::ActiveSessionIndex() const {
  if (QMdiSubWindow* frame = FMdi->activeSubWindow())
    if (auto* view = qobject_cast<TViewChild*>(frame->widget()); view && view->Session()) return view->Session()->Index();
  const auto sessions = FApp->Sessions();
  return sessions.empty() ? -1 : sessions.front()->Index();
}

std::unique_ptr<TCalibrationDialog> TZepMainWindow::CalibrationDialog(int sessionIndex) {
  const auto session = std::dynamic_pointer_cast<TVQSessionItem>(FApp->Session(sessionIndex));
  if (!session) return nullptr;
  // The QMT-only copy shows the time-interval part when there is one.
  const auto copy = session->LinkedSession();
  return std::make_unique<TCalibrationDialog>(copy ? copy : session, this);
}

void TZepMainWindow::EditCalibration() {
  std::unique_ptr<TCalibrationDialog> dialog = CalibrationDialog(ActiveSessionIndex());
  if (!dialog) {
    ShowMessage(tr("No counter session for the QMT calibration").toStdString());
    return;
  }
  if (FOptions.Interactive) dialog->exec();
}

std::shared_ptr<TVQSessionItem> TZepMainWindow::ActiveSession() const {
  const int index = ActiveSessionIndex();
  return index < 0 ? nullptr : std::dynamic_pointer_cast<TVQSessionItem>(FApp->Session(index));
}

void TZepMainWindow::SendToActive(const std::string& command, const QString& what) {
  const auto session = ActiveSession();
  if (!session || !session->DeviceOpened()) {
    ShowMessage(tr("No open counter session for the command \"%1\"").arg(what).toStdString());
    return;
  }
  session->SetCommand(command, what.toStdString());  // a refusal is posted as a message by the session
}

void TZepMainWindow::NewSession() {
  const int index = FApp->NewSession();
  if (index < 0) return;
  const auto session = std::dynamic_pointer_cast<TVQSessionItem>(FApp->Session(index));
  if (session && session->OpenString() != "none") {
    CreateView(TViewKind::vkText, index);
    CreateView(TViewKind::vkQMT, index);
    CreateView(TViewKind::vkGraph, index);
  }
  SessionsChanged();
}

void TZepMainWindow::ChangeSession() {
  const auto session = ActiveSession();
  if (!session) return;
  TConnectionChoice proposal;
  proposal.OpenString = session->OpenString();
  proposal.ConnectionType = session->ConnectionType();
  proposal.Color = session->Color();
  proposal.FriendlyName = session->FriendlyName();
  proposal.ClearBuffer = session->ClearBufferOnStart();
  proposal.UseDeviceCalibration = session->UseDeviceCalibration();
  proposal.Ref20MHz = session->Ref20MHz();
  TConnectionDialog dialog(proposal, this);
  dialog.setWindowTitle(tr("Change session %1").arg(QChar(session->Letter())));
  if (dialog.exec() != QDialog::Accepted) return;
  FApp->RequestChangeSession(session->Index(), dialog.Choice());
}

void TZepMainWindow::EditChannelSettings() {
  const auto session = ActiveSession();
  if (!session || !FOptions.Interactive) return;
  TChannelSettingsDialog dialog(session->ChannelSettings(), session->PAV().ChannelCount(), session->QMT().ChannelCount(),
                                this);
  dialog.setWindowTitle(tr("Channel Settings of session %1").arg(QChar(session->Letter())));
  if (dialog.exec() != QDialog::Accepted) return;
  session->SetChannelSettings(dialog.Settings());
}

void TZepMainWindow::RemoveSession() {
  const auto session = ActiveSession();
  if (!session) return;
  const auto answer = QMessageBox::question(this, tr("Remove session"),
                                            tr("Remove session %1 (%2) and close its windows?")
                                                .arg(QChar(session->Letter()))
                                                .arg(QString::fromStdString(session->OpenString())));
  if (answer == QMessageBox::Yes) FApp->RequestRemoveSession(session->Index());
}

void TZepMainWindow::OpenSession() {
  const auto session = ActiveSession();
  if (!session || session->DeviceOpened()) return;
  FApp->OpenSession(session->Index());
  RebuildSessionMenu();
}

void TZepMainWindow::CloseSession() {
  const auto session = ActiveSession();
  if (!session) return;
  session->CloseDevice(false);
  RebuildSessionMenu();
}

// ---- session info windows ----------------------------------------------------------------------------

void TZepMainWindow::ShowActiveSessionInfo() { ShowSessionInfo(ActiveSessionIndex()); }

QMdiSubWindow* TZepMainWindow::InfoWindow(int sessionIndex) const {
  const auto found = FInfoWindows.find(sessionIndex);
  if (found == FInfoWindows.end() || !found->second.Edit) return nullptr;
  return qobject_cast<QMdiSubWindow*>(found->second.Edit->parentWidget());
}

QWidget* TZepMainWindow::ShowSessionInfo(int sessionIndex) {
  if (sessionIndex < 0 || !FApp->Session(sessionIndex)) return nullptr;
  if (QMdiSubWindow* frame = InfoWindow(sessionIndex)) {
    FMdi->setActiveSubWindow(frame);
    return frame->widget();
  }
  TInfoWindow& info = FInfoWindows[sessionIndex];
  auto* edit = new QPlainTextEdit;
  edit->setReadOnly(true);
  edit->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  edit->setAttribute(Qt::WA_DeleteOnClose);
  edit->setWindowTitle(tr("[%1] Session Info").arg(QChar(SessionLetter(sessionIndex))));
  QMdiSubWindow* frame = FMdi->addSubWindow(edit);
  frame->setAttribute(Qt::WA_DeleteOnClose);
  // Where it was when the user closed it last (or when the settings were saved).
  if (info.Bounds)
    frame->setGeometry(info.Bounds->Left, info.Bounds->Top, std::max(info.Bounds->Width, 120),
                       std::max(info.Bounds->Height, 80));
  else
    frame->resize(460, 300);
  frame->installEventFilter(this);
  frame->show();
  info.Edit = edit;
  UpdateInfoWindows();
  return edit;
}

// An info window that closes remembers where it was.
bool TZepMainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::Close)
    for (auto& [index, info] : FInfoWindows)
      if (info.Edit && info.Edit->parentWidget() == watched) {
        const QRect bounds = static_cast<QWidget*>(watched)->geometry();
        info.Bounds = TViewBounds{bounds.left(), bounds.top(), bounds.width(), bounds.height()};
      }
  return QMainWindow::eventFilter(watched, event);
}

void TZepMainWindow::RestoreInfoWindows() {
  TAppSettings& settings = FApp->Settings();
  for (const auto& session : FApp->Sessions()) {
    const auto state = ReadInfoWindow(settings, session->Index());
    if (!state) continue;
    FInfoWindows[session->Index()].Bounds = state->Bounds;
    if (state->Visible) ShowSessionInfo(session->Index());
  }
}

void TZepMainWindow::UpdateInfoWindows() {
  for (auto it = FInfoWindows.begin(); it != FInfoWindows.end();) {
    const auto session = std::dynamic_pointer_cast<TVQSessionItem>(FApp->Session(it->first));
    QPlainTextEdit* edit = it->second.Edit;
    if (!session) {
      // The session was removed: its info window and its keys go with it.
      if (edit && edit->parentWidget()) edit->parentWidget()->close();
      RemoveInfoWindow(FApp->Settings(), it->first);
      it = FInfoWindows.erase(it);
      continue;
    }
    if (!edit) {
      ++it;
      continue;
    }
    const TVQSessionState state = session->State();
    std::string text = "Session:      " + std::string(1, session->Letter()) + "\n";
    text += "Connection:   " + session->OpenString() + (session->DeviceOpened() ? " (open)" : " (closed)") + "\n";
    text += "Name:         " + session->FriendlyName() + "\n";
    text += "Counter:      " + state.VersionString + (state.Demo ? " (simulated)" : "") + "\n";
    if (state.DataHeader < 0x10000) {
      const TVQHeader header(static_cast<uint16_t>(state.DataHeader));
      text += "Mode:         " + std::string(header.ModeText()) + "\n";
      text += "Interval:     " + std::string(header.IntervalText()) + "\n";
      text += "Scrambler:    " + std::string(header.ScramblerText()) + "\n";
      text += "PPI:          " + std::string(header.PPIText()) + "\n";
    }
    text += "Channels:     " + std::to_string(state.ChannelCount) + "\n";
    text += "QMT channels: " + std::to_string(session->QMT().ChannelCount()) + "\n";
    text += "Measurements: " + std::to_string(state.Measurements) + "\n";
    if (session->ErrorMessage().size()) text += "Last error:   " + session->ErrorMessage() + "\n";
    const QString shown = QString::fromStdString(text);
    if (edit->toPlainText() != shown) edit->setPlainText(shown);
    ++it;
  }
}
