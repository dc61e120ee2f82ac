#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// Keeps the machine from sleeping while the application runs: a systemd
// inhibitor lock held by a child `systemd-inhibit` for as long as its
// command runs. The command reads a pipe whose other end only this process
// holds, so it ends with the process however that ends (a crash, SIGKILL),
// and the lock with it. Where there is no systemd the request is only logged.
class TKeepAwake {
 public:
  // The inhibitor with its command; the command is given the pipe as its
  // standard input and must end at its end of file.
  static std::vector<std::string> InhibitorCommand();

  explicit TKeepAwake(int logId, std::vector<std::string> command = InhibitorCommand());
  ~TKeepAwake();  // closes the pipe and waits for the child, bounded
  TKeepAwake(const TKeepAwake&) = delete;
  TKeepAwake& operator=(const TKeepAwake&) = delete;

  bool Running() const { return FChild > 0; }

 private:
  const int FLogId;
  pid_t FChild = -1;
  int FPipe = -1;  // write end; closing it ends the child
};
