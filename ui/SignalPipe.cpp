#include "ui/SignalPipe.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <iterator>

#include "library/core/LogUnit.h"

namespace {

int gPipe[2] = {-1, -1};
constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

extern "C" void OnTerminateSignal(int signalNumber) {
  const int saved = errno;
  const unsigned char byte = static_cast<unsigned char>(signalNumber);
  [[maybe_unused]] const ssize_t written = ::write(gPipe[1], &byte, 1);  // a full pipe already holds a request
  errno = saved;
}

}  // namespace

TSignalPipe::TSignalPipe(QObject* parent) : QObject(parent) {
  if (gPipe[0] >= 0) return;  // one per process
  if (::pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  FNotifier = new QSocketNotifier(gPipe[0], QSocketNotifier::Read, this);
  connect(FNotifier, &QSocketNotifier::activated, this, &TSignalPipe::Drain);
  struct sigaction action {};
  action.sa_handler = OnTerminateSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  FInstalled = std::all_of(std::begin(kStopSignals), std::end(kStopSignals),
                           [&action](int signalNumber) { return ::sigaction(signalNumber, &action, nullptr) == 0; });
}

TSignalPipe::~TSignalPipe() {
  if (!FNotifier) return;
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  for (const int signalNumber : kStopSignals) ::sigaction(signalNumber, &action, nullptr);
  delete FNotifier;
  ::close(gPipe[0]);
  ::close(gPipe[1]);
  gPipe[0] = gPipe[1] = -1;
}

void TSignalPipe::Drain() {
  unsigned char byte = 0;
  int last = 0;
  while (::read(gPipe[0], &byte, 1) == 1) last = byte;
  if (last == 0) return;
  emit Terminate(last);
  FlushLogs();  // what the orderly stop logged is on disk even if the exit never completes
}
