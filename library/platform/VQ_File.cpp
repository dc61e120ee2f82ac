#include "library/platform/VQ_File.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

int OpenExclusiveEmptied(const std::string& path) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return -1;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::ftruncate(fd, 0) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

std::string WriteSyncClose(int fd, std::string_view bytes, int& error) {
  std::string what;
  error = 0;
  errno = 0;
  if (!WriteAll(fd, bytes)) {
    error = errno != 0 ? errno : EIO;  // a zero-length write sets no errno
    what = "the file could not be written";
  } else if (::fsync(fd) != 0) {
    error = errno;
    what = "the file could not be synced";
  }
  if (::close(fd) != 0 && what.empty()) {
    error = errno;
    what = "the file could not be closed";
  }
  return what;
}

std::string FolderWriteProblem(const std::string& folder) {
  const std::string dir = folder.empty() ? std::string(".") : folder;
  std::error_code error;
  std::filesystem::create_directories(dir, error);
  if (error) return error.message();
  std::string probe = dir + (dir.back() == '/' ? "" : "/") + ".zep_probe_XXXXXX";
  const int fd = ::mkostemp(probe.data(), O_CLOEXEC);
  if (fd < 0) return std::generic_category().message(errno);
  ::close(fd);
  ::unlink(probe.c_str());
  return {};
}
