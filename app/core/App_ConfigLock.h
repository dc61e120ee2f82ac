#pragma once

#include <string>
#include <string_view>

// One program per configuration folder: two of them saving one settings
// file would overwrite each other's changes. The lock is an flock on
// kFileName in the folder, held while the object lives; the file names the
// holder (process id and program), so that a second program can say who
// has the folder. The kernel drops the lock however the holder ends.
class TConfigLock {
 public:
  static constexpr std::string_view kFileName = "ZEP_App.lock";

  TConfigLock() = default;
  ~TConfigLock();
  TConfigLock(const TConfigLock&) = delete;
  TConfigLock& operator=(const TConfigLock&) = delete;

  // True when this process holds the folder now. False, with Problem()
  // naming the holder, when another process holds it. A folder whose file
  // system cannot lock is used without the lock (true, and Problem() says so).
  bool Acquire(const std::string& folder, const std::string& program);
  const std::string& Problem() const { return FProblem; }

 private:
  int FFd = -1;
  std::string FProblem;
};
