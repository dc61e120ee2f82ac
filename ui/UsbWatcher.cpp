#include "ui/UsbWatcher.h"

#include <QSocketNotifier>
#include <exception>
#include <vector>

#include "app/core/App_UsbAttach.h"
#include "app/core/Main.h"
#include "library/core/LogUnit.h"
#include "library/core/VQ_DllCommon.h"
#include "library/sources/MultiSource.h"

TUsbWatcher::TUsbWatcher(TZepApp& app, QObject* parent) : QObject(parent), FApp(app) {}

TUsbWatcher::~TUsbWatcher() { Stop(); }

bool TUsbWatcher::Start() {
  if (FNotifier) return true;
  FError.clear();
  if (Multi_UsbMonitorStart(FError) != MultiCode::Ok) {
    if (LogWanted(FApp.MainLogId())) LogInfo(FApp.MainLogId(), "TMainForm.UsbWatcher: " + FError);
    return false;
  }
  const int fd = Multi_UsbMonitorFd();
  if (fd < 0) {
    FError = "USB monitor has no descriptor";
    Multi_UsbMonitorStop();
    return false;
  }
  FNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  connect(FNotifier, &QSocketNotifier::activated, this, &TUsbWatcher::ReadEvents);
  return true;
}

void TUsbWatcher::Stop() {
  if (!FNotifier) return;
  // The notifier goes before the descriptor it watches is closed.
  delete FNotifier;
  FNotifier = nullptr;
  Multi_UsbMonitorStop();
}

void TUsbWatcher::ReadEvents() {
  std::vector<TUsbEvent> events;
  if (Multi_UsbMonitorRead(events) != MultiCode::Ok || !FApp.Started()) return;
  try {
    HandleUsbEvents(FApp, events);
  } catch (const std::exception& e) {
    FApp.Messages().AddError(TMessageItem::kAppSource, 0, 0,
                             "Internal Exception UsbAttached(" + ExceptionClassName(e) + "): " + e.what());
  }
}
