#pragma once

#include <QObject>
#include <string>

class QSocketNotifier;
class TZepApp;

// Watches USB devices arriving and leaving while the desktop program runs:
// starts the library's monitor, waits on its descriptor in the event loop and
// hands every event to the application core (counters plugged in open their
// sessions again). Without udev it does nothing and says why.
//
// One per process (the library has one monitor). Stop it before the
// application shuts down: events after that must not open sessions any more.
class TUsbWatcher : public QObject {
  Q_OBJECT
 public:
  TUsbWatcher(TZepApp& app, QObject* parent = nullptr);
  ~TUsbWatcher() override;

  // True when the monitor runs; otherwise Error() says why.
  bool Start();
  void Stop();
  bool Running() const { return FNotifier != nullptr; }
  const std::string& Error() const { return FError; }

 private:
  void ReadEvents();

  TZepApp& FApp;
  QSocketNotifier* FNotifier = nullptr;
  std::string FError;
};
