#include "app/core/App_KeepAwake.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

#include "support/FileText.h"
#include "support/TempFolder.h"

namespace {

using namespace std::chrono_literals;

// Waits (bounded) for the end of `pid`, a child of this process.
bool Ended(pid_t pid, std::chrono::milliseconds wait) {
  const auto end = std::chrono::steady_clock::now() + wait;
  for (;;) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(10ms);
  }
}

// The command that holds the inhibitor lives only as long as the program
// that asked for it: killed with SIGKILL (no destructor runs), the program
// leaves nothing behind that keeps the machine awake.
TEST(KeepAwake, TheInhibitorEndsWhenTheProgramIsKilled) {
  TTempFolder folder;
  const std::string pidFile = folder.File("inhibitor.pid");
  // Orphans come to this process, so it can see their end.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  const pid_t program = ::fork();
  ASSERT_GE(program, 0);
  if (program == 0) {
    TKeepAwake keepAwake(-1, {"sh", "-c", "echo $$ > " + pidFile + ".tmp && mv " + pidFile + ".tmp " + pidFile + "; exec cat"});
    ::pause();
    ::_exit(0);
  }
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while (ReadFile(pidFile).empty() && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(10ms);
  const pid_t inhibitor = std::stoi("0" + ReadFile(pidFile));
  ASSERT_GT(inhibitor, 0);
  EXPECT_FALSE(Ended(inhibitor, 200ms)) << "held while the program runs";

  ASSERT_EQ(::kill(program, SIGKILL), 0);
  EXPECT_TRUE(Ended(program, 5s));
  EXPECT_TRUE(Ended(inhibitor, 5s));
  ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

// An orderly end releases the lock at once; a command that cannot start is
// no inhibitor and no failure.
TEST(KeepAwake, ReleasedAtTheEndAndAbsentWithoutTheCommand) {
  const auto start = std::chrono::steady_clock::now();
  {
    TKeepAwake keepAwake(-1, {"cat"});
    EXPECT_TRUE(keepAwake.Running());
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  TKeepAwake missing(-1, {"/nonexistent/inhibitor"});
  EXPECT_FALSE(missing.Running());
}

}  // namespace
