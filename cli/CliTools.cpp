#include "cli/CliTools.h"

#include <chrono>

#include "library/platform/VQ_Event.h"
#include "library/sources/MultiSource.h"

namespace {

using namespace std::chrono_literals;

// How long a poll that found nothing waits for the next data.
constexpr auto kIdleWait = 100ms;

}  // namespace

int RunLines(const TLinesOptions& options, std::ostream& out, std::ostream& err) {
  static TVQ_Event event;  // outlives the library's sources, which keep it
  Multi_SetReportEvent(&event, true);
  const int source = Multi_NewSource();
  Multi_SetDecimalSeparator(source, options.DecimalSeparator);
  Multi_SetSend7016(source, options.Send7016);
  std::string message;
  if (Multi_OpenConnectionEx(source, options.Connection, message, false) != MultiCode::Ok) {
    err << "zep-cli: cannot open " << Multi_ShownConnection(options.Connection) << ": " << message << "\n";
    return 1;
  }
  const bool replay = Multi_IsFileDevice(source) == 1;
  const auto start = std::chrono::steady_clock::now();
  const auto timeUp = [&] {
    return options.Seconds &&
           std::chrono::steady_clock::now() - start >= std::chrono::duration<double>(*options.Seconds);
  };
  long printed = 0;
  while (!(options.Count && printed >= *options.Count) && !timeUp()) {
    std::string line;
    int64_t deviceMs = 0;
    const int code = Multi_GetReportEx(source, line, deviceMs);
    if (code != MultiCode::Ok) {
      out << "! " << code << " " << line << "\n";
      if (replay && code == MultiCode::NotConnected) break;  // the file has ended
      continue;
    }
    if (line.empty()) {
      event.WaitFor(kIdleWait);
      continue;
    }
    out << line << "\n";
    ++printed;
  }
  out.flush();
  Multi_CloseConnection(source);
  return 0;
}

int RunPorts(std::ostream& out, std::ostream& err) {
  std::string devices;
  const int failed = Multi_EnumerateDevices(devices, MultiEnumerate::Serial);
  if (failed != 0) {
    err << "zep-cli: " << Multi_GetEnumerateError().value_or("enumeration failed") << "\n";
    return 1;
  }
  std::size_t start = 0;
  while (start < devices.size()) {
    std::size_t end = devices.find(',', start);
    if (end == std::string::npos) end = devices.size();
    out << devices.substr(start, end - start) << "\n";
    start = end + 1;
  }
  return 0;
}
