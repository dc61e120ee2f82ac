#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/core/App_Settings.h"
#include "app/core/ZEP_Sessions.h"

namespace {

const std::string kPrefix = "Session_0_";

// 32 names "<stem>0, <stem>1, ..., " as the settings keep a card's list.
std::string NameList(const std::string& stem, int count = kPDIBits) {
  std::string text;
  for (int j = 0; j < count; ++j) text += stem + std::to_string(j) + ", ";
  return text;
}

TPDICardNames DefaultNames(int card) {
  TPDICardNames names;
  for (int bit = 0; bit < kPDIBits; ++bit) names[static_cast<std::size_t>(bit)] = DefaultPDISignalName(card, bit);
  return names;
}

int KeysStartingWith(const TAppSettings& settings, const std::string& start) {
  const std::vector<std::string> lines = settings.Lines();
  return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.starts_with(start);
  }));
}

// What the user types goes through the session's setter: blanks around a
// name go, control characters become blanks, an empty name is the default,
// a long one is cut at a whole UTF-8 character. The separator ", " and a
// backslash inside a name survive saving and reading; the QMT-only copy
// shows the names of its original.
TEST(PDISignalNames, SetNamesSurviveSavingAndReading) {
  auto session = std::make_shared<TVQSessionItem>(-1, 0, nullptr, nullptr);
  EXPECT_EQ(session->PDISignalName(1, 0), "PDI1_Bit0");
  EXPECT_EQ(session->PDISignalName(8, 31), "PDI8_Bit31");
  EXPECT_EQ(session->PDISignalName(0, 0), "");
  EXPECT_EQ(session->PDISignalName(1, 32), "");

  TPDICardNames names = DefaultNames(3);
  names[0] = "  Door open\t";
  names[1] = "Pump, left";
  names[2] = "C:\\valve\\";
  names[3] = "";
  names[4] = "line\nbreak";
  names[5] = std::string(63, 'x') + "\xC3\xA4" + "tail";  // "ä" across byte 64
  names[31] = "Alarm";
  session->SetPDISignalNames(3, names);
  session->SetPDISignalNames(9, names);  // no such card: nothing happens
  EXPECT_EQ(session->PDISignalName(3, 0), "Door open");
  EXPECT_EQ(session->PDISignalName(3, 3), "PDI3_Bit3");
  EXPECT_EQ(session->PDISignalName(3, 4), "line break");
  EXPECT_EQ(session->PDISignalName(3, 5), std::string(63, 'x'));
  const auto copy = TVQSessionItem::CopyQMTPart(session);
  EXPECT_EQ(copy->PDISignalName(3, 31), "Alarm");

  TAppSettings saved;
  session->SaveSettings(saved, kPrefix);
  ASSERT_TRUE(saved.SaveSettings());  // no file: only "INI_Version" is set
  for (int card = 1; card <= kPDICards; ++card)
    EXPECT_TRUE(saved.HasKey(kPrefix + "PDI" + std::to_string(card) + "_SigNames")) << card;
  EXPECT_EQ(saved.RawValue(kPrefix + "PDI1_SigNames"), NameList("PDI1_Bit"));

  TVQSessionItem reread(-1, 0, nullptr, nullptr);
  reread.ReadSettings(saved, kPrefix);
  EXPECT_EQ(reread.PDISignalNames(), session->PDISignalNames());
  EXPECT_EQ(reread.PDISignalName(3, 1), "Pump, left");
  EXPECT_EQ(reread.PDISignalName(3, 2), "C:\\valve\\");
  EXPECT_TRUE(saved.Problems().empty());
}

// A damaged list never costs the session: a list of fewer than 32 names
// gives the card its defaults, a longer one its first 32, and either is
// named once; the other cards keep their lists.
TEST(PDISignalNames, DamagedListsKeepDefaults) {
  TPDICardNames first32;
  for (int bit = 0; bit < kPDIBits; ++bit) first32[static_cast<std::size_t>(bit)] = "n" + std::to_string(bit);
  TPDICardNames withDefaults = first32;
  withDefaults[1] = "PDI1_Bit1";
  const struct {
    const char* Name;
    std::string Value;
    TPDICardNames Expected;
    const char* Problem;  // part of the message; none when empty
  } cases[] = {
      {"empty", "", DefaultNames(1), "holds 0 of 32 names"},
      {"too few", NameList("n", 31), DefaultNames(1), "holds 31 of 32 names"},
      {"no separators", "Door open", DefaultNames(1), "holds 1 of 32 names"},
      {"too many", NameList("n", 40), first32, "holds more than 32 names"},
      {"last separator missing", NameList("n").substr(0, NameList("n").size() - 2), first32, ""},
      {"blanks around names", " n0 ,  n1, " + NameList("n").substr(8), first32, ""},
      {"empty names", "n0, , " + NameList("n").substr(8), withDefaults, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TAppSettings settings;
    settings.SetValue("INI_Version", 6);
    settings.KeepValue(kPrefix + "PDI1_SigNames", c.Value);
    settings.SetValue(kPrefix + "PDI2_SigNames", NameList("two"));
    TVQSessionItem session(-1, 0, nullptr, nullptr);
    session.ReadSettings(settings, kPrefix);
    EXPECT_EQ(session.PDISignalNames()[0], c.Expected);
    EXPECT_EQ(session.PDISignalName(2, 31), "two31");
    const std::vector<std::string>& problems = settings.Problems();
    const auto named = std::find_if(problems.begin(), problems.end(), [&](const std::string& p) {
      return p.find(kPrefix + "PDI1_SigNames") != std::string::npos;
    });
    if (*c.Problem) {
      ASSERT_NE(named, problems.end());
      EXPECT_NE(named->find(c.Problem), std::string::npos) << *named;
    } else {
      EXPECT_EQ(named, problems.end()) << *named;
    }
  }
}

// Files of format version 1 keep one key per input; they are read, and the
// next save writes the lists alone. Keys the session does not know stay;
// the signal-name keys are written once however the file spelt them.
TEST(PDISignalNames, FormatVersionOneKeysAreReadAndSavedAsLists) {
  TAppSettings settings;
  settings.SetValue("INI_Version", 1);
  settings.SetValue(kPrefix + "PDI2_SigName1", "Door");
  settings.SetValue(kPrefix + "PDI2_SigName32", " Alarm ");
  settings.SetValue(kPrefix + "pdi3_signame7", "Pump");
  settings.SetValue(kPrefix + "PDI4_SigNames", NameList("ignored"));  // not the layout of version 1
  settings.SetValue(kPrefix + "PDI2_SigName33", "no such input");
  settings.SetValue(kPrefix + "PDI9_SigNames", "no such card");
  settings.SetValue(kPrefix + "FutureKey", "kept");
  TVQSessionItem session(-1, 0, nullptr, nullptr);
  session.ReadSettings(settings, kPrefix);
  EXPECT_EQ(session.PDISignalName(2, 0), "Door");
  EXPECT_EQ(session.PDISignalName(2, 1), "PDI2_Bit1");
  EXPECT_EQ(session.PDISignalName(2, 31), "Alarm");
  EXPECT_EQ(session.PDISignalName(3, 6), "Pump");
  EXPECT_EQ(session.PDISignalName(4, 0), "PDI4_Bit0");

  // The front end removes the session's keys before the sessions save theirs.
  settings.RemoveKeys("Session_");
  session.SaveSettings(settings, kPrefix);
  EXPECT_EQ(KeysStartingWith(settings, kPrefix + "PDI2_SigNames="), 1);
  EXPECT_EQ(KeysStartingWith(settings, kPrefix + "PDI2_SigName1="), 0);
  EXPECT_EQ(KeysStartingWith(settings, kPrefix + "pdi3_signame"), 0);
  EXPECT_EQ(KeysStartingWith(settings, kPrefix + "PDI4_SigNames="), 1);
  EXPECT_EQ(settings.RawValue(kPrefix + "PDI4_SigNames"), NameList("PDI4_Bit"));
  EXPECT_EQ(settings.RawValue(kPrefix + "PDI2_SigName33"), "no such input");
  EXPECT_EQ(settings.RawValue(kPrefix + "PDI9_SigNames"), "no such card");
  EXPECT_EQ(settings.RawValue(kPrefix + "FutureKey"), "kept");
  EXPECT_EQ(settings.RawValue(kPrefix + "PDI2_SigNames").value_or("").rfind("Door, PDI2_Bit1, ", 0), 0u);

  // Read back as a file of the current layout.
  ASSERT_TRUE(settings.SaveSettings());
  EXPECT_EQ(StoredFormatVersion(settings), 2);
  TVQSessionItem reread(-1, 0, nullptr, nullptr);
  reread.ReadSettings(settings, kPrefix);
  EXPECT_EQ(reread.PDISignalNames(), session.PDISignalNames());
}

}  // namespace
