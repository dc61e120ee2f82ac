#pragma once

#include <QMainWindow>
#include <QPointer>
#include <map>
#include <optional>
#include <memory>
#include <string>
#include <vector>

#include "app/core/App_MessageList.h"
#include "app/core/Main.h"
#include "ui/ViewBase.h"
#include "ui/WindowSettingsDialog.h"

class QAction;
class QLabel;
class QMdiArea;
class QMdiSubWindow;
class QMenu;
class QPlainTextEdit;
class QTimer;
class TViewMessages;
class TCalibrationDialog;
class TLogMenu;
class TUsbWatcher;

struct TMainWindowOptions {
  std::string ConfigFolder;  // empty: $XDG_CONFIG_HOME/zep or ~/.config/zep
  std::string Connect;       // connection of a first start, instead of the dialog
  bool Professional = false;
  bool Interactive = true;   // dialogs and message boxes; off for tests and screenshots
  bool StartTimers = true;   // off when a test drives the ticks itself
};

// The desktop program's main window: drives the application core with the
// display timer (100 ms) and the check timer (60 s), carries out the
// hand-over items on its views, shows the sessions' status fields, and holds
// every view as an MDI child.
class TZepMainWindow : public QMainWindow, public TZepFrontEnd {
  Q_OBJECT
 public:
  static constexpr int kDisplayTickMs = 100;
  static constexpr int kCheckTickMs = 60000;

  explicit TZepMainWindow(TMainWindowOptions options, QWidget* parent = nullptr);
  ~TZepMainWindow() override;

  // Starts the core, then opens the saved views (or the default windows of a
  // first start). False when the application must not run.
  bool Start();
  TZepApp& App() { return *FApp; }

  // A new view of `kind` for session `sessionIndex` (its QMT-only copy with
  // `copy`); nullptr when the session does not exist.
  TViewChild* CreateView(TViewKind kind, int sessionIndex, bool copy = false);
  // Binds the view's base 2 to session `sessionIndex` (its copy with
  // `copy`); -1 or a session that does not exist empties it.
  void SetSecondSession(TViewChild& view, int sessionIndex, bool copy = false);
  // The sessions a view can take as its second session.
  std::vector<TSessionChoice> SecondSessionChoices() const;
  // Views in slot order (slot 0, the message window, first when present).
  std::vector<TViewChild*> Views() const;
  TViewMessages* MessageView() const;
  TMessageList& Messages() { return FApp->Messages(); }
  QMdiArea* MdiArea() const { return FMdi; }
  // The view of the active MDI frame; null when none (or no view) is active.
  TViewChild* ActiveView() const;
  QAction* WindowSettingsAction() const { return FWindowSettingsAction; }
  QAction* CenterValuesAction() const { return FCenterValuesAction; }
  TLogMenu* LogMenu() const { return FLogMenu; }
  // "Debug Logging ", "Debug         ", "Logging       " or empty.
  QString LoggingStatusText() const;
  // Title, virtual channels, columns and second session of a view, then the
  // captions renumbered.
  void ChangeWindowSettings(TViewChild& view, const TWindowSettings& settings);
  // The session's info window (Session menu "Info"): opened, or brought to
  // the front when open. Null for a session that does not exist.
  QWidget* ShowSessionInfo(int sessionIndex);
  // The MDI frame of the session's info window; null when it is not open.
  QMdiSubWindow* InfoWindow(int sessionIndex) const;
  // The calibration dialog of counter session `sessionIndex` (Counter menu
  // "QMT Calibration..."); null when there is no such session.
  std::unique_ptr<TCalibrationDialog> CalibrationDialog(int sessionIndex);
  // Saves the settings as "Save Settings" does.
  void SaveAllSettings();
  // The texts of the status bar fields, 5 per session.
  QStringList StatusTexts() const;

  void DisplayTick();
  void CheckTick();
  // Ends the program as an operating-system shutdown does (a signal): no
  // question, open dialogs closed, settings saved. During start-up the
  // start ends early and Start() returns false.
  void SystemShutdown();
  bool StopRequested() const { return FStopRequested; }
  // Every view kind for session 0, tiled (screenshots).
  void OpenEveryKind();
  void ArrangeDefault();

  // ---- TZepFrontEnd ----------------------------------------------------------------
  std::optional<TConnectionChoice> ChooseConnection(int index, const TConnectionChoice& proposal) override;
  std::optional<TConnectionChoice> ChooseMissingConnection(int index, const TConnectionChoice& proposal) override;
  void ShowMessage(const std::string& text) override;
  bool AskYesNo(const std::string& question) override;
  void HandOver(const TMainSyncData& item) override;
  void SessionsChanged() override;
  void ShowMessageWindow() override;
  void SaveWindowKeys(TAppSettings& settings) override;
  void SaveSessionKeys(TAppSettings& settings, const std::vector<std::pair<int, int>>& numbers) override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:

  // A saved view that this start does not open (a view of a session that
  // is only kept, the debug view outside professional mode): its keys as
  // read, written back with its sessions' numbers at every save.
  struct TKeptView {
    int Id = 0;
    std::vector<std::pair<std::string, std::string>> Keys;  // names after "View_" + n + "_"
    std::weak_ptr<TSessionItem> First;
    std::weak_ptr<TSessionItem> Second;
  };

  bool StartWindows();
  void BuildMenus();
  void RebuildSessionMenu();
  void CreateStartViews();
  void CreateDefaultViews(int sessionIndex);
  // The saved views `numbers` ("View_" + n + "_"); view `activeNumber` is
  // remembered to be activated once start-up has opened everything.
  void ReadSavedViews(const std::vector<int>& numbers, int activeNumber);
  void KeepView(int number, const TSavedViewKeys& keys);
  std::optional<TConnectionChoice> AskConnection(int index, const TConnectionChoice& proposal);
  // Rejects every open dialog and message box.
  void CloseDialogs();
  // Closes the window once no dialog's event loop runs any more.
  void FinishStop();
  QMdiSubWindow* AddSubWindow(TViewChild* view, bool fromSettings);
  void OnViewAction(TViewAction action, int tag);
  void RenumberCaptions();
  // The Window menu's view commands follow the active view's kind.
  void UpdateViewActions();
  void EditWindowSettings();
  void CenterValues();
  // The core's settings (which ask for the windows' and the info windows'
  // keys); with `shutdown` the core shuts down.
  void SaveSettingsAndInfo(bool shutdown);
  void ActivateRememberedView();
  void RestoreInfoWindows();
  std::shared_ptr<TVQSessionItem> CounterSession(int index, bool copy) const;
  void RebindViews();
  void TickViews();
  void RefreshMessages();
  void UpdateStatusBar();
  void UpdateInfoWindows();
  template <typename F>
  void ForViewsOf(const TMainSyncData& item, F&& action);
  TViewMessages* EnsureMessageView();

  // Session commands.
  int ActiveSessionIndex() const;
  std::shared_ptr<TVQSessionItem> ActiveSession() const;
  void SendToActive(const std::string& command, const QString& what);
  void NewSession();
  void ChangeSession();
  void EditChannelSettings();
  void RemoveSession();
  void OpenSession();
  void CloseSession();
  void ShowActiveSessionInfo();
  void EditCalibration();
  void RunStep(const char* step, const std::function<void()>& body);

  const TMainWindowOptions FOptions;
  std::unique_ptr<TZepApp> FApp;
  QMdiArea* FMdi = nullptr;
  QTimer* FDisplayTimer = nullptr;
  QTimer* FCheckTimer = nullptr;
  TViewSlots FSlots;
  std::map<int, QPointer<TViewChild>> FViewsByTag;
  std::vector<QLabel*> FStatusLabels;
  // Per session index: its info window while open, and where it was last,
  // so it reopens there.
  struct TInfoWindow {
    QPointer<QPlainTextEdit> Edit;
    std::optional<TViewBounds> Bounds;
  };
  std::map<int, TInfoWindow> FInfoWindows;
  QPointer<TViewChild> FRememberedActive;  // the saved active view, until start-up activates it
  bool FRememberedMessages = false;        // ... or the message window
  QMenu* FSessionMenu = nullptr;
  QMenu* FActiveSessionMenu = nullptr;
  QAction* FWindowSettingsAction = nullptr;
  QAction* FCenterValuesAction = nullptr;
  TLogMenu* FLogMenu = nullptr;
  QLabel* FLogStatus = nullptr;
  TUsbWatcher* FUsbWatcher = nullptr;
  bool FConnectUsed = false;
  bool FShutDown = false;   // the operating system (a signal) ends the program
  bool FClosed = false;
  bool FStarted = false;
  bool FCaptionsDirty = false;
  bool FInDisplayTick = false;  // a display tick runs (guards against nested event loops)
  bool FCreatingFromSettings = false;
  bool FStarting = false;
  bool FStopRequested = false;
  // Start-up has opened every saved view: until then (and once the views
  // are torn down) a save keeps the stored window set.
  bool FWindowSetComplete = false;
  std::vector<TKeptView> FKeptViews;
};
