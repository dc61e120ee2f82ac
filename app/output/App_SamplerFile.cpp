#include "app/output/App_SamplerFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace {

std::string ErrorText(int code) { return std::generic_category().message(code); }

}  // namespace

TSamplerLogFile::~TSamplerLogFile() { Close(); }

bool TSamplerLogFile::Open(const std::string& name, std::string& error) {
  Close();
  const int handle = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (handle < 0) {
    error = ErrorText(errno);
    return false;
  }
  FHandle = handle;
  FName = name;
  FBytes = 0;
  FDataLines = 0;
  return true;
}

bool TSamplerLogFile::WriteLine(std::string_view text, bool dataLine, std::string& error) {
  if (FHandle < 0) {
    error = "file not open";
    return false;
  }
  std::string line;
  line.reserve(text.size() + 2);
  line.append(text);
  line.append("\r\n");
  std::size_t done = 0;
  while (done < line.size()) {
    const ssize_t n = ::write(FHandle, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error = ErrorText(n < 0 ? errno : EIO);
      if (done > 0 && ::ftruncate(FHandle, static_cast<off_t>(FBytes)) == 0)
        ::lseek(FHandle, static_cast<off_t>(FBytes), SEEK_SET);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  FBytes += line.size();
  if (dataLine) ++FDataLines;
  return true;
}

void TSamplerLogFile::Close(TCloseMode mode) {
  if (FHandle < 0) return;
  ::close(FHandle);
  FHandle = -1;
  const bool drop = FBytes == 0 || (mode == TCloseMode::DeleteIfNoDataLine && FDataLines == 0);
  if (drop) ::unlink(FName.c_str());
  FName.clear();
  FBytes = 0;
  FDataLines = 0;
}

bool CreateLogFolder(const std::string& folder, std::string& error) {
  if (folder.empty()) return true;
  std::error_code code;
  std::filesystem::create_directories(folder, code);
  if (code) {
    error = code.message();
    return false;
  }
  if (!std::filesystem::is_directory(folder, code)) {
    error = "not a folder";
    return false;
  }
  return true;
}

std::string MountPointOf(const std::string& path) {
  std::error_code code;
  std::filesystem::path current = std::filesystem::absolute(path.empty() ? "." : path, code).lexically_normal();
  if (code) return "/";
  if (!current.has_filename() && current.has_relative_path()) current = current.parent_path();
  struct stat info {};
  while (::stat(current.c_str(), &info) != 0) {
    if (!current.has_relative_path()) return "/";
    current = current.parent_path();
  }
  const dev_t device = info.st_dev;
  while (current.has_relative_path()) {
    const std::filesystem::path parent = current.parent_path();
    struct stat above {};
    if (::stat(parent.c_str(), &above) != 0 || above.st_dev != device) break;
    current = parent;
  }
  std::string result = current.string();
  if (result.empty()) result = "/";
  return result;
}
