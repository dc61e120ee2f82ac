#include <gtest/gtest.h>
#include <sys/wait.h>

#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "support/FileText.h"
#include "support/TempFolder.h"

namespace {

struct TRun {
  int Status;
  std::string Out, Err;
};

TRun RunCli(const TTempFolder& folder, const std::string& arguments) {
  const std::string out = folder.File("out.txt"), err = folder.File("err.txt");
  const std::string command = std::string(ZEP_CLI_PROGRAM) + " " + arguments + " > " + out + " 2> " + err;
  const int status = std::system(command.c_str());
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadFile(out), ReadFile(err)};
}

// A log of phase and frequency written by a headless run of the application.
class CliAnalyze : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    FRunFolder = new TTempFolder;
    const TRun run = RunCli(*FRunFolder, "--config " + FRunFolder->Path().string() + " run --duration 14 --log phase,freq");
    ASSERT_EQ(run.Status, 0) << run.Err;
    for (const auto& entry : std::filesystem::directory_iterator(FRunFolder->File("Logs")))
      FLog = entry.path().string();
  }
  static void TearDownTestSuite() {
    delete FRunFolder;
    FRunFolder = nullptr;
  }

  static inline TTempFolder* FRunFolder = nullptr;
  static inline std::string FLog;
  TTempFolder FFolder;
};

// "series,kind,estimator,tau,...,deviation,...": deviation by series, estimator and tau.
std::map<std::string, double> Deviations(const std::string& csv) {
  std::map<std::string, double> deviations;
  for (const std::string& line : TextLines(csv)) {
    if (line.starts_with("series,")) continue;
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t comma; (comma = line.find(',', start)) != std::string::npos; start = comma + 1)
      fields.push_back(line.substr(start, comma - start));
    fields.push_back(line.substr(start));
    if (fields.size() < 11) continue;
    double value = 0;
    std::from_chars(fields[10].data(), fields[10].data() + fields[10].size(), value);
    deviations[fields[1] + " " + fields[2] + " " + fields[3]] = value;
  }
  return deviations;
}

// The phase and the frequency column of one channel, converted with the same
// f0, give the same deviations. The simulated counter's frequency is a double
// near 1e7 Hz (steps of 1.9e-9 Hz, 1.9e-16 relative) while these deviations are
// about 5e-11, so a deviation of one or two terms may differ by a few 1e-6.
TEST_F(CliAnalyze, PhaseAndFrequencyOfAChannelAgree) {
  ASSERT_FALSE(FLog.empty());
  const TRun run = RunCli(FFolder, "analyze " + FLog + " --column phase:1,freq:1 --estimators oadev,mdev,hdev --format csv");
  ASSERT_EQ(run.Status, 0) << run.Err;
  const std::map<std::string, double> deviations = Deviations(run.Out);
  int compared = 0;
  for (const auto& [key, value] : deviations) {
    if (!key.starts_with("phase ")) continue;
    const auto frequency = deviations.find("freq " + key.substr(6));
    ASSERT_NE(frequency, deviations.end()) << key << "\n" << run.Out;
    EXPECT_NEAR(frequency->second / value, 1.0, 5e-5) << key;
    EXPECT_GT(value, 0) << key;
    ++compared;
  }
  EXPECT_GE(compared, 4) << run.Out;

  const TRun json = RunCli(FFolder, "analyze " + FLog + " --column phase:1 --taus 1,2 --format json");
  ASSERT_EQ(json.Status, 0) << json.Err;
  EXPECT_NE(json.Out.find("\"name\":\"A:phase:1 (Channel_1)\""), std::string::npos) << json.Out;
  EXPECT_NE(json.Out.find("\"estimator\":\"oadev\",\"tau\":2,"), std::string::npos) << json.Out;
}

struct TExitCase {
  const char* Name;
  std::string Arguments;
  int Status;
  const char* Message;
};

TEST_F(CliAnalyze, BadFilesEndWithOneAndBadArgumentsWithTwo) {
  const std::string data = FFolder.File("y.dat"), single = FFolder.File("one.dat"), text = FFolder.File("text.dat");
  std::ofstream(data) << "1e-12\n-2e-12\n3e-12\n0.5e-12\n-1e-12\n2e-12\n";
  std::ofstream(single) << "1e-12\n";
  std::ofstream(text) << "1e-12\nabc\n";
  const TExitCase cases[] = {
      {"plain data", data + " --data freq --tau0 1 --estimators adev,mtie", 0, ""},
      {"no such file", FFolder.File("none.txt") + " --data freq --tau0 1", 1, "cannot read"},
      {"a single value", single + " --data freq --tau0 1", 1, "too few values"},
      {"text in a number field", text + " --data freq --tau0 1", 1, "is not a number"},
      {"plain data without --data", data, 2, "--data and --tau0"},
      {"unknown estimator", data + " --data freq --tau0 1 --estimators adev,foo", 2, "unknown estimator"},
      {"tau not a multiple of tau0", data + " --data freq --tau0 1 --taus 1,1.5", 2, "not a multiple of tau0"},
      {"unknown option", data + " --bogus", 2, ""},
      {"missing column", FLog + " --column phase:9", 2, "is not in"},
      {"bad format", data + " --data freq --tau0 1 --format xml", 2, "--format"},
  };
  for (const TExitCase& c : cases) {
    const TRun run = RunCli(FFolder, "analyze " + c.Arguments);
    EXPECT_EQ(run.Status, c.Status) << c.Name << ": " << run.Err;
    EXPECT_NE(run.Err.find(c.Message), std::string::npos) << c.Name << ": " << run.Err;
  }
}

}  // namespace
