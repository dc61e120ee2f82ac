#include "library/core/VQ_Commands.h"

#include <gtest/gtest.h>

#include "support/FileText.h"

#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "library/core/LogUnit.h"
#include "tests/support/TempFolder.h"

namespace {

using Flags = std::vector<std::string>;

// Names of the request flags that are set; reading clears them.
Flags TakeFlags(TVQ_CommandInterpreter& cmds) {
  Flags set;
  const std::pair<const char*, std::function<bool()>> all[] = {
      {"ChannelCount", [&] { return cmds.ChannelCountCmd(); }},
      {"ClearBuffer", [&] { return cmds.ClearBuffer(); }},
      {"GetCalib", [&] { return cmds.GetCalibCmd(); }},
      {"GetPVH", [&] { return cmds.GetPVHCmd(); }},
      {"Interval", [&] { return cmds.IntervalCmd(); }},
      {"Mode", [&] { return cmds.ModeCmd(); }},
      {"ResetPhaseDiff", [&] { return cmds.ResetPhaseDiffCmd(); }},
      {"ReSync", [&] { return cmds.ReSyncCmd(); }},
      {"Scrambler", [&] { return cmds.ScramblerCmd(); }},
      {"SetDAC", [&] { return cmds.SetDACCmd(); }},
      {"Version", [&] { return cmds.VersionCmd(); }},
      {"WriteFRAM", [&] { return cmds.WriteFRAMCmd(); }},
  };
  for (const auto& [name, take] : all)
    if (take()) set.emplace_back(name);
  return set;
}

std::string Bytes(std::initializer_list<int> values) {
  std::string text;
  for (int v : values) text += static_cast<char>(v);
  return text;
}

// Command $85 '#', the address high byte first, then 128 content bytes.
std::string FRAMWrite(uint32_t address, std::size_t contentLength = 128) {
  std::string cmd = Bytes({0x85, 0x23, static_cast<int>(address >> 24), static_cast<int>((address >> 16) & 0xFF),
                           static_cast<int>((address >> 8) & 0xFF), static_cast<int>(address & 0xFF)});
  for (std::size_t k = 0; k < contentLength; ++k) cmd += static_cast<char>(k + 1);
  return cmd;
}

struct CommandCase {
  std::string name;
  std::string command;
  Flags flags;                    // set after the check, in TakeFlags order
  std::string refusal;            // empty: accepted
  std::function<void(const TVQ_CommandInterpreter&)> fields;  // parameters to check, if any
};

// The counter's command set: what is accepted, which request it raises and
// which parameters it stores, and the message of every refusal.
TEST(CommandInterpreter, ChecksEveryCommandKind) {
  const std::vector<CommandCase> cases = {
      {"empty", "", {}, "command missing", nullptr},
      {"no-op 00", Bytes({0x00}), {}, "", nullptr},
      {"no-op 05", Bytes({0x05}), {}, "", nullptr},
      {"version", Bytes({0x01}), {"Version"}, "", nullptr},
      {"version clearing the buffer", Bytes({0x81}), {"ClearBuffer", "Version"}, "", nullptr},
      {"calibration", Bytes({0x02}), {"GetCalib"}, "", nullptr},
      {"reset phase difference", Bytes({0x0A}), {"ResetPhaseDiff"}, "", nullptr},
      {"re-sync", Bytes({0x0F}), {"ReSync"}, "", nullptr},
      {"unknown 0x", Bytes({0x03}), {}, "Unknown command 03", nullptr},
      {"unknown with clearing bit", Bytes({0x8B}), {"ClearBuffer"}, "Unknown command 8B", nullptr},
      {"1x accepted", Bytes({0x17}), {}, "", nullptr},
      {"interval 10 ms", Bytes({0x23}), {"Interval"}, "",
       [](const auto& c) {
         EXPECT_EQ(c.Rate(), 3);
         EXPECT_EQ(c.Interval(), 10);
       }},
      {"interval 5000 ms", Bytes({0x2B}), {"Interval"}, "", [](const auto& c) { EXPECT_EQ(c.Interval(), 5000); }},
      {"interval 20000 ms", Bytes({0x2D}), {"Interval"}, "",
       [](const auto& c) {
         EXPECT_EQ(c.Rate(), 13);
         EXPECT_EQ(c.Interval(), 20000);
       }},
      {"interval code 14", Bytes({0x2E}), {}, "Unknown command 2E", nullptr},
      {"24 channels", "0", {"ChannelCount"}, "", [](const auto& c) { EXPECT_EQ(c.ChannelCount(), 24); }},
      {"2 channels", "2", {"ChannelCount"}, "", [](const auto& c) { EXPECT_EQ(c.ChannelCount(), 2); }},
      {"11 channels", Bytes({0x3B}), {"ChannelCount"}, "", [](const auto& c) { EXPECT_EQ(c.ChannelCount(), 11); }},
      {"12 channels in one byte", Bytes({0x3C}), {}, "Unknown command 3C", nullptr},
      {"12 channels", Bytes({0x3F, 0x0C}), {"ChannelCount"}, "",
       [](const auto& c) { EXPECT_EQ(c.ChannelCount(), 12); }},
      {"23 channels", Bytes({0x3F, 0x17}), {"ChannelCount"}, "",
       [](const auto& c) { EXPECT_EQ(c.ChannelCount(), 23); }},
      {"11 channels in two bytes", Bytes({0x3F, 0x0B}), {}, "Unknown command 3F0B", nullptr},
      {"24 channels in two bytes", Bytes({0x3F, 0x18}), {}, "Unknown command 3F18", nullptr},
      {"mode 6", Bytes({0x46}), {"Mode"}, "", [](const auto& c) { EXPECT_EQ(c.Mode(), 6); }},
      {"mode 7", Bytes({0x47}), {}, "Unknown command 47", nullptr},
      {"scrambler off", Bytes({0x50}), {"Scrambler"}, "", [](const auto& c) { EXPECT_EQ(c.Scrambler(), 0); }},
      {"scrambler 1", Bytes({0x5E}), {"Scrambler"}, "", [](const auto& c) { EXPECT_EQ(c.Scrambler(), 1); }},
      {"scrambler 2", Bytes({0x5F}), {"Scrambler"}, "", [](const auto& c) { EXPECT_EQ(c.Scrambler(), 2); }},
      {"other scrambler", Bytes({0x51}), {}, "Unsupported scrambler command 51", nullptr},
      {"other scrambler clearing", Bytes({0xD1}), {"ClearBuffer"}, "Unsupported scrambler command D1", nullptr},
      {"6x accepted", Bytes({0x6C}), {}, "", nullptr},
      {"7x accepted", Bytes({0x71}), {}, "", nullptr},
      {"85 alone", Bytes({0x85}), {}, "Unknown command 85", nullptr},
      {"PVH block 2", Bytes({0x03, 0x02}), {"GetPVH"}, "", [](const auto& c) { EXPECT_EQ(c.PVHBlock(), 2); }},
      {"PVH block 0", Bytes({0x03, 0x00}), {}, "Unknown command 0300", nullptr},
      {"PVH block 5", Bytes({0x03, 0x05}), {}, "Unknown command 0305", nullptr},
      {"DAC", Bytes({0x10, 0x12, 0x34, 0x56}), {"SetDAC"}, "", [](const auto& c) { EXPECT_EQ(c.DAC(), 0x123456); }},
      {"DAC too short", Bytes({0x10, 0x12, 0x34}), {}, "Unknown command 101234", nullptr},
      {"one-byte command with a tail", Bytes({0x23, 0x00}), {}, "Unknown command 2300", nullptr},
      {"memory write", FRAMWrite(0x7E080), {"WriteFRAM"}, "",
       [](const auto& c) {
         EXPECT_EQ(c.FRAMAdr(), 0x0080);
         EXPECT_EQ(c.FRAMContent(), FRAMWrite(0x7E080).substr(6));
       }},
      {"memory write at the first address", FRAMWrite(0x7E000), {"WriteFRAM"}, "",
       [](const auto& c) { EXPECT_EQ(c.FRAMAdr(), 0x0000); }},
      {"memory write at the last address", FRAMWrite(0x7E200), {"WriteFRAM"}, "",
       [](const auto& c) { EXPECT_EQ(c.FRAMAdr(), 0x0200); }},
      {"memory write past the end", FRAMWrite(0x7E201), {}, "Unsupported command " + HexDump(FRAMWrite(0x7E201)),
       nullptr},
      {"memory write before the start", FRAMWrite(0x7DFFF), {},
       "Unsupported command " + HexDump(FRAMWrite(0x7DFFF)), nullptr},
      {"memory write one byte short", FRAMWrite(0x7E000, 127), {},
       "Unsupported command " + HexDump(FRAMWrite(0x7E000, 127)), nullptr},
      {"85 other kind", Bytes({0x85, 0x24, 0x01}), {}, "Unsupported command 852401", nullptr},
      {"unknown long", Bytes({0x44, 0x01}), {}, "Unknown command 4401", nullptr},
  };
  for (const CommandCase& c : cases) {
    SCOPED_TRACE(c.name);
    TVQ_CommandInterpreter cmds(-1);
    const bool accepted = cmds.CheckCommand(c.command);
    EXPECT_EQ(accepted, c.refusal.empty());
    EXPECT_EQ(cmds.ErrorCode(), accepted ? TVQ_Result::VQ_No_Err : TVQ_Result::VQ_CmdIgnored);
    EXPECT_EQ(cmds.ErrorMessage(), c.refusal);
    EXPECT_EQ(TakeFlags(cmds), c.flags);
    if (c.fields) c.fields(cmds);
  }
}

TEST(CommandInterpreter, ReadingAFlagClearsIt) {
  TVQ_CommandInterpreter cmds(-1);
  ASSERT_TRUE(cmds.CheckCommand(Bytes({0x81})));
  EXPECT_TRUE(cmds.ClearBuffer());
  EXPECT_FALSE(cmds.ClearBuffer());
  EXPECT_TRUE(cmds.VersionCmd());
  EXPECT_FALSE(cmds.VersionCmd());
}

// A flag stays raised until it is read, also across later commands, and each
// check starts from a clean error state.
TEST(CommandInterpreter, FlagsWaitForTheirReaderAndErrorsDoNot) {
  TVQ_CommandInterpreter cmds(-1);
  ASSERT_TRUE(cmds.CheckCommand(Bytes({0x2B})));
  EXPECT_FALSE(cmds.CheckCommand(Bytes({0x2E})));
  EXPECT_EQ(cmds.Interval(), 5000);  // the refused code stored nothing
  ASSERT_TRUE(cmds.CheckCommand(Bytes({0x42})));
  EXPECT_EQ(cmds.ErrorCode(), TVQ_Result::VQ_No_Err);
  EXPECT_EQ(cmds.ErrorMessage(), "");
  EXPECT_EQ(TakeFlags(cmds), (Flags{"Interval", "Mode"}));
}

TEST(CommandInterpreter, TakesByteStringsToo) {
  TVQ_CommandInterpreter cmds(-1);
  const std::vector<uint8_t> cmd = {0x3F, 0x0E};
  ASSERT_TRUE(cmds.CheckCommand(std::span<const uint8_t>(cmd)));
  EXPECT_EQ(cmds.ChannelCount(), 14);
  EXPECT_FALSE(cmds.CheckCommand(std::span<const uint8_t>()));
  EXPECT_EQ(cmds.ErrorMessage(), "command missing");
}

TEST(CommandInterpreter, MissingCommandIsLoggedAsAnError) {
  TTempFolder folder;
  const int logId = NewLog();
  ASSERT_GE(logId, 0);
  SetLogFile(logId, folder.File("commands.log"), false);
  TVQ_CommandInterpreter cmds(logId);
  EXPECT_FALSE(cmds.CheckCommand(""));
  const std::string file = FindLogger(logId)->InternLogFileName();
  SetLogFile(logId, "", false);
  const std::string text = ReadFile(file);
  EXPECT_NE(text.find("TVQ_CommandInterpreter.CheckCommand: no command"), std::string::npos) << text;
}

}  // namespace
