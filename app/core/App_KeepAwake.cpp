#include "app/core/App_KeepAwake.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "library/core/LogUnit.h"

extern char** environ;

namespace {

constexpr auto kEndWait = std::chrono::seconds(2);

// Waits for the child's end for at most `wait`; true when it ended.
bool Reaped(pid_t child, std::chrono::milliseconds wait) {
  const auto end = std::chrono::steady_clock::now() + wait;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(child, &status, WNOHANG);
    if (done == child || done < 0) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

std::vector<std::string> TKeepAwake::InhibitorCommand() {
  return {"systemd-inhibit", "--what=sleep:idle", "--who=ZEP", "--why=Measurements running", "--mode=block", "cat"};
}

TKeepAwake::TKeepAwake(int logId, std::vector<std::string> command) : FLogId(logId) {
  int fds[2];
  if (command.empty() || ::pipe2(fds, O_CLOEXEC) != 0) {
    if (LogWanted(FLogId)) LogError(FLogId, "TMainForm keep awake: no pipe for the inhibitor");
    return;
  }
  std::vector<char*> argv;
  for (std::string& word : command) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[0], STDIN_FILENO);  // the child's copy is not close-on-exec
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  const int failed = posix_spawnp(&FChild, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[0]);
  if (failed != 0) {
    FChild = -1;
    ::close(fds[1]);
  } else {
    FPipe = fds[1];
  }
  if (LogWanted(FLogId))
    LogInfo(FLogId, FChild > 0 ? "TMainForm keep awake: systemd inhibitor requested"
                               : "TMainForm keep awake: no systemd inhibitor available");
}

TKeepAwake::~TKeepAwake() {
  if (FChild <= 0) return;
  ::close(FPipe);
  if (!Reaped(FChild, kEndWait)) {
    ::kill(FChild, SIGTERM);
    Reaped(FChild, kEndWait);
  }
  if (LogWanted(FLogId)) LogInfo(FLogId, "TMainForm keep awake released");
}
