#include "app/core/App_ConfigLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

constexpr std::size_t kMaxHolderText = 256;  // "pid\nprogram\n"; the rest of a larger file is ignored

// "process 1234 (zep-cli)" from the lock file's text; "another process"
// when the holder has not written it yet.
std::string HolderText(int fd) {
  char buffer[kMaxHolderText] = {};
  const ssize_t n = ::pread(fd, buffer, sizeof buffer - 1, 0);
  if (n <= 0) return "another process";
  const std::string text(buffer, static_cast<std::size_t>(n));
  const std::size_t end = text.find('\n');
  const std::string pid = text.substr(0, end);
  if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos) return "another process";
  std::string program = end == std::string::npos ? std::string() : text.substr(end + 1);
  program = program.substr(0, program.find('\n'));
  return "process " + pid + (program.empty() ? std::string() : " (" + program + ")");
}

}  // namespace

TConfigLock::~TConfigLock() {
  if (FFd < 0) return;
  // An orderly end names no holder any more; the lock goes with the descriptor.
  [[maybe_unused]] const int truncated = ::ftruncate(FFd, 0);
  ::close(FFd);
}

bool TConfigLock::Acquire(const std::string& folder, const std::string& program) {
  FProblem.clear();
  if (FFd >= 0) return true;
  std::string path = folder;
  if (!path.empty() && path.back() != '/') path += '/';
  path += kFileName;
  // Close-on-exec: a child (the keep-awake helper) must not hold the lock on.
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) {
    FProblem = "The configuration folder " + folder + " cannot be locked (" + std::strerror(errno) +
               "); another program on it could overwrite the settings";
    return true;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if (error == EWOULDBLOCK) {
      FProblem = "The configuration folder " + folder + " is in use by " + HolderText(fd) +
                 "; a second program on it would overwrite its settings, so this one stops";
      ::close(fd);
      return false;
    }
    FProblem = "The configuration folder " + folder + " cannot be locked (" + std::strerror(error) +
               "); another program on it could overwrite the settings";
    ::close(fd);
    return true;
  }
  const std::string holder = std::to_string(::getpid()) + "\n" + program + "\n";
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, holder.data(), holder.size(), 0) != static_cast<ssize_t>(holder.size()))
    FProblem = "The configuration folder's lock file " + path + " could not be written: " + std::strerror(errno);
  FFd = fd;
  return true;
}
