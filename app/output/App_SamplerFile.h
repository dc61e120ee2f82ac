#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// One measurement log file being written: created (or truncated) on open,
// every line written whole with CR LF, bytes and data lines counted. The
// descriptor is unbuffered, so a line is in the file when WriteLine returns.
class TSamplerLogFile {
 public:
  enum class TCloseMode {
    DeleteIfEmpty,       // a 0-byte file is removed
    DeleteIfNoDataLine,  // also a file that holds only header or comment lines
  };

  TSamplerLogFile() = default;
  ~TSamplerLogFile();
  TSamplerLogFile(const TSamplerLogFile&) = delete;
  TSamplerLogFile& operator=(const TSamplerLogFile&) = delete;

  // False with a reason (the system's error text) when the file cannot be created.
  bool Open(const std::string& name, std::string& error);
  // Appends text + CR LF. On failure the file is cut back to where the line
  // began, so no partial line stays, and the reason is returned.
  bool WriteLine(std::string_view text, bool dataLine, std::string& error);
  void Close(TCloseMode mode = TCloseMode::DeleteIfEmpty);

  bool IsOpen() const { return FHandle >= 0; }
  const std::string& Name() const { return FName; }
  uint64_t Bytes() const { return FBytes; }
  uint64_t DataLines() const { return FDataLines; }

 private:
  int FHandle = -1;
  std::string FName;
  uint64_t FBytes = 0;
  uint64_t FDataLines = 0;
};

// Creates the folder and its missing parents; false with the reason when that fails.
bool CreateLogFolder(const std::string& folder, std::string& error);
// The mount point of the file system that holds `path` (or would hold it,
// judged by its nearest existing parent); "/" when nothing can be found.
std::string MountPointOf(const std::string& path);
