#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM, SIGINT and SIGHUP into a Qt signal on the main thread: the
// handler only writes one byte into a pipe; a socket notifier reads it in the
// event loop, emits Terminate and then writes the queued debug lines. One
// instance per process.
class TSignalPipe : public QObject {
  Q_OBJECT
 public:
  explicit TSignalPipe(QObject* parent = nullptr);
  ~TSignalPipe() override;
  bool Installed() const { return FInstalled; }

 signals:
  void Terminate(int signalNumber);

 private:
  void Drain();
  QSocketNotifier* FNotifier = nullptr;
  bool FInstalled = false;
};
