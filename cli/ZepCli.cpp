// zep-cli: the headless program and its tools.
#include <CLI/CLI.hpp>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <iostream>
#include <optional>
#include <string_view>

#include "app/core/App_LogSetup.h"
#include "app/core/Main.h"
#include "cli/CliAnalyze.h"
#include "cli/CliRun.h"
#include "cli/CliTools.h"
#include "library/core/LogUnit.h"
#include "library/sources/MultiSource.h"

namespace {

std::atomic<bool> gStop{false};

void OnStopSignal(int) { gStop = true; }

// Ctrl-C, SIGTERM and SIGHUP (the terminal went away) end the run in order:
// settings saved, debug logs written. The handler only sets the flag.
void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  for (const int signalNumber : {SIGINT, SIGTERM, SIGHUP}) sigaction(signalNumber, &action, nullptr);
}

// The first word that is no option (nor an option's value) must name a
// subcommand; CLI11 would only say that one is required.
std::optional<std::string> UnknownSubcommand(const CLI::App& app, int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--config") {
      ++i;
      continue;
    }
    if (arg.starts_with("-")) continue;
    for (const CLI::App* sub : app.get_subcommands({}))
      if (sub->check_name(std::string(arg))) return std::nullopt;
    return std::string(arg);
  }
  return std::nullopt;
}

std::string SubcommandNames(const CLI::App& app) {
  std::string names;
  for (const CLI::App* sub : app.get_subcommands({})) names += (names.empty() ? "" : ", ") + sub->get_name();
  return names;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"ZEP without windows: the application and tools for counters and recordings"};
  app.require_subcommand(1);
  app.set_version_flag("--version", [] {
    return "zep-cli " + std::string(ZEP_AppVersion) + ", device library " + Multi_GetLibraryVersion();
  });
  TRunOptions run;
  app.add_option("--config", run.ConfigFolder, "Configuration folder (default $XDG_CONFIG_HOME/zep)");

  CLI::App* runCommand = app.add_subcommand("run", "Run the application: sessions, acquisition, a live table");
  runCommand->add_option("--duration", run.Duration, "Stop after this many seconds")->check(CLI::PositiveNumber);
  runCommand->add_flag("--professional", run.Professional, "Professional mode");
  runCommand->add_option("--connect", run.Connections,
                         "Run a session on this connection (first start), or add it to the stored sessions")
      ->expected(1, -1);
  runCommand->add_option("--log", run.LogTypes,
                         "Log these types of every counter session: TYPE[,TYPE...] of " + KnownLogTypeNames());

  TLinesOptions lines;
  std::string separator = ".";
  CLI::App* linesCommand = app.add_subcommand("lines", "Print every report line of one connection");
  linesCommand->add_option("CONNECTION", lines.Connection,
                           "Connection string: DemoData, a recorded file (+ \" LOOP_FOR_EVER\", \" WAIT_INTERVAL\"), ...")
      ->required();
  linesCommand->add_option("--count", lines.Count, "Stop after this many lines")->check(CLI::PositiveNumber);
  linesCommand->add_option("--seconds", lines.Seconds, "Stop after this many seconds")->check(CLI::PositiveNumber);
  linesCommand->add_option("--decimal-separator", separator, "Decimal separator of the lines: . or ,")
      ->check(CLI::IsMember({".", ","}));
  linesCommand->add_flag("--send7016", lines.Send7016, "Deliver 100 ms timestamps as 7016 lines");

  CLI::App* portsCommand = app.add_subcommand("ports", "List the serial ports of this machine");

  TAnalyzeOptions analyze;
  CLI::App* analyzeCommand = app.add_subcommand("analyze", "Frequency-stability analysis of log or data files");
  analyzeCommand->add_option("FILE", analyze.Files, "Log files of one run in order, or one plain data file")
      ->required();
  analyzeCommand->add_option("--column", analyze.Columns, "[PART:]TYPE:CHANNEL, e.g. phase:1, B:freq:3, phase:Name")
      ->delimiter(',');
  analyzeCommand->add_option("--data", analyze.Data, "What a plain data file holds: phase (s) or freq (fractional)");
  analyzeCommand->add_option("--tau0", analyze.Tau0, "Seconds between values (plain files; overrides a log's)");
  analyzeCommand->add_option("--nominal", analyze.Nominal, "f0 in Hz (default: each channel's mean frequency)");
  analyzeCommand->add_option("--taus", analyze.Taus, "octave, decade, many or seconds: 1,10,100");
  analyzeCommand->add_option("--estimators", analyze.Estimators, "adev,oadev,mdev,tdev,hdev,ohdev,totdev,mtie");
  analyzeCommand->add_option("--confidence", analyze.Confidence, "Confidence of the intervals (0.683)");
  analyzeCommand->add_option("--format", analyze.Format, "table, csv or json");
  analyzeCommand->add_option("--max-points", analyze.MaxPoints, "Most values kept per column (8 bytes each)");

  if (const std::optional<std::string> unknown = UnknownSubcommand(app, argc, argv)) {
    std::cerr << "zep-cli: unknown subcommand \"" << *unknown << "\"; the subcommands are " << SubcommandNames(app)
              << " (zep-cli --help)\n";
    return static_cast<int>(CLI::ExitCodes::ExtrasError);
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    // Bad arguments of analyze end with 2, as its other argument checks do.
    const bool analyzing = std::any_of(argv + 1, argv + argc, [](const char* a) { return !std::strcmp(a, "analyze"); });
    return code != 0 && analyzing ? 2 : code;
  }
  int status = 0;
  if (*runCommand) {
    run.Terminal = ::isatty(STDOUT_FILENO) == 1;
    CatchStopSignals();
    status = RunApp(run, gStop, std::cout, std::cerr);
  } else if (*linesCommand) {
    lines.DecimalSeparator = separator.front();
    status = RunLines(lines, std::cout, std::cerr);
  } else if (*portsCommand) {
    status = RunPorts(std::cout, std::cerr);
  } else if (*analyzeCommand) {
    status = RunAnalyze(analyze, std::cout, std::cerr);
  }
  Multi_CloseAll();
  FlushLogs();  // the orderly stop ends with every debug line on disk
  return status;
}
