#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

// zep-cli started as a separate process, as a user or a script starts it.
// ZEP_CLI_PROGRAM is the path of the program under test.

// Starts zep-cli with `args`; its standard output and error go to `fd`.
// -1 when it cannot be started.
inline pid_t SpawnCli(const std::vector<std::string>& args, int fd) {
  std::vector<std::string> words = {ZEP_CLI_PROGRAM};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, fd, STDERR_FILENO);
  pid_t pid = -1;
  const int failed = posix_spawn(&pid, ZEP_CLI_PROGRAM, &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return failed == 0 ? pid : -1;
}

// Same, with the output in the file `out` (created or emptied).
inline pid_t SpawnCliToFile(const std::vector<std::string>& args, const std::string& out) {
  const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  const pid_t pid = SpawnCli(args, fd);
  ::close(fd);
  return pid;
}

// The exit code of `pid` once it ended; -1 when it did not end normally.
inline int WaitExitCode(pid_t pid) {
  int status = 0;
  if (pid <= 0 || ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}
