#include "app/core/ZEP_Settings.h"

#include "support/FileText.h"
#include "support/TempFolder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>

namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using MailCipher::TBlock;

std::string Bytes(std::string_view hex) {
  std::string bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) bytes += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return bytes;
}

TBlock Block(std::string_view hex) {
  const std::string bytes = Bytes(hex);
  TBlock block{};
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(bytes[i]);
  return block;
}

std::string Hex(std::string_view bytes) { return HexDump(bytes); }
std::string Hex(const TBlock& block) { return HexDump(std::span<const uint8_t>(block)); }

// A settings file in a fresh configuration folder.
class ZEPSettingsFile : public ::testing::Test {
 protected:
  std::string Config() const { return FFolder.Path().string() + "/"; }
  std::string Path() const { return FFolder.File("ZEP_App.ini"); }
  void Write(const std::string& content) const { WriteText(Path(), content); }

  TTempFolder FFolder;
};

// ---- start-up -----------------------------------------------------------------

TEST_F(ZEPSettingsFile, NewFileGetsEveryDefault) {
  TZEPSettings settings("ZEP_App.ini", FFolder.Path().string());  // a bare name lies in the folder
  EXPECT_EQ(settings.ExePath(), Config());
  EXPECT_EQ(settings.Filename(), Path());
  EXPECT_THAT(settings.StartProblems(), IsEmpty());
  EXPECT_EQ(settings.DebugRootFolder(), Config() + "Debug/");
  EXPECT_EQ(settings.LogRootFolder(), Config() + "Logs/");
  EXPECT_EQ(settings.LogTimeFormat(), "YYMMDD HHNNSS.ZZZ");
  EXPECT_FALSE(settings.LogTimeSourcePAV());
  EXPECT_FALSE(settings.LogTimeZoneSystem());
  EXPECT_FALSE(settings.AppDebugLog());
  EXPECT_TRUE(settings.MailIsDefault());
  EXPECT_FALSE(settings.GlobalNomFrequ());
  EXPECT_EQ(settings.TempUnitString(), "\u00B0C");
  ASSERT_TRUE(settings.SaveSettings());

  const std::string text = ReadFile(Path());
  for (const char* line : {"INI_Version=6\r\n", "DecSepWin=.\r\n", "DecSepLog=.\r\n", "TempUnit=0\r\n",
                           "eMail_isDefault=True\r\n", "eMail_Default_Host=mail.zep.invalid\r\n",
                           "eMail_Default_Auth=True\r\n", "eMail_Default_User=zep@zep.invalid\r\n",
                           "GlobalNomFrequ=False\r\n", "TestOptions=00000000\r\n", "Debug_LogMain=False\r\n"})
    EXPECT_THAT(text, HasSubstr(line));
  EXPECT_THAT(text, ::testing::Not(HasSubstr("NomFreq1_4")));  // absent until set
}

TEST_F(ZEPSettingsFile, StoredVersionIsKeptAndOnlyZeroBecomesCurrent) {
  Write("INI_Version=4\r\n");
  TZEPSettings old(Path(), Config());
  EXPECT_EQ(old.VersionFormat(), 4);
  old.SetVersionFormat(5);
  ASSERT_TRUE(old.SaveSettings());
  EXPECT_THAT(ReadFile(Path()), HasSubstr("INI_Version=5\r\n"));
}

TEST_F(ZEPSettingsFile, ProfessionalModeDecidesTheMainDebugLogDefault) {
  TZEPSettings settings(Path(), Config());
  settings.SetProfessionalMode(true);
  EXPECT_TRUE(settings.AppDebugLog());
  EXPECT_EQ(settings.RawValue("Debug_LogMain"), "True");
  settings.SetAppDebugLog(false);
  EXPECT_FALSE(settings.AppDebugLog());
}

TEST_F(ZEPSettingsFile, GarbageFileStartsWithDefaultsAndKeepsOtherKeys) {
  Write(std::string("INI_Version=abc\r\nTempUnit=x1\r\nSession_0_OpenString=DemoData\r\n") + '\0' +
        "\x01\xFE\r\nLog_1_Name=Phase\r\nDecSepWin=;\r\n");
  std::unique_ptr<TZEPSettings> settings;
  ASSERT_NO_THROW(settings = std::make_unique<TZEPSettings>(Path(), Config()));
  EXPECT_EQ(settings->TempUnit(), 0);
  EXPECT_EQ(settings->FormatSettingsWin().DecimalSeparator, '.');
  EXPECT_EQ(settings->RawValue("Session_0_OpenString"), "DemoData");
  EXPECT_EQ(settings->RawValue("Log_1_Name"), "Phase");
  const auto& problems = settings->StartProblems();
  ASSERT_THAT(problems, SizeIs(4));  // the dropped line, INI_Version, DecSepWin, TempUnit
  EXPECT_THAT(problems[0], HasSubstr("1 line that is not"));
  EXPECT_THAT(problems[1], HasSubstr("INI_Version"));
  EXPECT_THAT(problems[2], HasSubstr("DecSepWin=;"));
  EXPECT_THAT(problems[3], HasSubstr("TempUnit"));
  ASSERT_TRUE(settings->SaveSettings());
  const std::string text = ReadFile(Path());
  EXPECT_THAT(text, HasSubstr("INI_Version=6\r\n"));
  EXPECT_THAT(text, HasSubstr("TempUnit=0\r\n"));
  EXPECT_THAT(text, HasSubstr("DecSepWin=.\r\n"));
}

TEST_F(ZEPSettingsFile, UnwritableFolderStillGivesDefaults) {
  WriteText(FFolder.File("file"), "x");
  const std::string config = FFolder.File("file") + "/";
  TZEPSettings settings(config + "ZEP_App.ini", config);
  ASSERT_THAT(settings.StartProblems(), SizeIs(1));
  EXPECT_THAT(settings.StartProblems()[0], HasSubstr("could not be created"));
  EXPECT_EQ(settings.LogTimeFormat(), "YYMMDD HHNNSS.ZZZ");
  EXPECT_FALSE(settings.SaveSettings());
  EXPECT_FALSE(settings.SaveError().empty());
}

// ---- decimal separators -------------------------------------------------------

TEST_F(ZEPSettingsFile, StoredSeparatorsOnlyPointOrComma) {
  struct Case {
    const char* stored;
    char expected;
    bool problem;
  };
  const Case cases[] = {{".", '.', false}, {",", ',', false}, {"", '.', false}, {";", '.', true}, {"x", '.', true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored);
    Write(std::string("DecSepWin=") + c.stored + "\r\nDecSepLog=" + c.stored + "\r\n");
    TZEPSettings settings(Path(), Config());
    EXPECT_EQ(settings.FormatSettingsWin().DecimalSeparator, c.expected);
    EXPECT_EQ(settings.FormatSettingsLog().DecimalSeparator, c.expected);
    EXPECT_EQ(settings.FormatSettingsLog().ThousandSeparator, c.expected == '.' ? ',' : '.');
    EXPECT_EQ(settings.FormatSettings().DecimalSeparator, c.expected);  // the file's own numbers
    EXPECT_EQ(settings.RawValue("DecSepLog"), std::string(1, c.expected));
    EXPECT_THAT(settings.StartProblems(), SizeIs(c.problem ? 2 : 0));
  }
}

TEST_F(ZEPSettingsFile, LogSeparatorSwitchRewritesTheLogTimeFormat) {
  TZEPSettings settings(Path(), Config());
  EXPECT_TRUE(settings.SetDecSepLog(','));
  EXPECT_EQ(settings.LogTimeFormat(), "YYMMDD HHNNSS,ZZZ");
  EXPECT_EQ(settings.RawValue("DecSepLog"), ",");
  EXPECT_FALSE(settings.SetDecSepLog(','));  // same separator: nothing changes
  EXPECT_EQ(settings.LogTimeFormat(), "YYMMDD HHNNSS,ZZZ");
  EXPECT_FALSE(settings.SetDecSepLog(';'));
  EXPECT_EQ(settings.FormatSettingsLog().DecimalSeparator, ',');

  settings.SetLogTimeFormat("HHNNSS");  // no separator to follow
  EXPECT_FALSE(settings.SetDecSepLog('.'));
  EXPECT_EQ(settings.FormatSettingsLog().DecimalSeparator, '.');
  EXPECT_EQ(settings.LogTimeFormat(), "HHNNSS");

  settings.SetDecSepWin(';');  // ignored
  EXPECT_EQ(settings.FormatSettingsWin().DecimalSeparator, '.');
  settings.SetDecSepWin(',');
  EXPECT_EQ(settings.FormatSettingsWin().ThousandSeparator, '.');
  EXPECT_EQ(settings.RawValue("DecSepWin"), ",");
}

TEST_F(ZEPSettingsFile, FileNumbersUseTheLogSeparator) {
  Write("DecSepLog=,\r\nA=10000000.5\r\nB=.5\r\n");
  TZEPSettings settings(Path(), Config());
  EXPECT_EQ(settings.GetValue("A", 0.0), 10000000.5);
  EXPECT_THROW(settings.GetValue("B", 0.0), EConvertError);
  settings.SetValue("C", 0.25);
  EXPECT_EQ(settings.RawValue("C"), "0,25");
}

// ---- nominal frequencies and options ------------------------------------------

TEST_F(ZEPSettingsFile, NomFreqListsReadMissingEmptyAndBadItemsAsZero) {
  Write("DecSepLog=,\r\nNomFreq1_4=10000000.5; 5000000,25; ; abc; \r\nNomFreq5_8=      100.00000000000; \r\n");
  TZEPSettings settings(Path(), Config());
  EXPECT_EQ(settings.NomFreq(1), 10000000.5);
  EXPECT_EQ(settings.NomFreq(2), 5000000.25);
  EXPECT_EQ(settings.NomFreq(3), 0);
  EXPECT_EQ(settings.NomFreq(4), 0);
  EXPECT_EQ(settings.NomFreq(5), 100);
  EXPECT_EQ(settings.NomFreq(6), 0);
  EXPECT_EQ(settings.NomFreq(24), 0);
  EXPECT_EQ(settings.NomFreq(0), 0);
  EXPECT_EQ(settings.NomFreq(25), 0);
}

TEST_F(ZEPSettingsFile, SetNomFreqWritesAllSixFixedWidthLists) {
  Write("DecSepWin=,\r\n");
  {
    TZEPSettings settings(Path(), Config());
    settings.SetNomFreq(25, 1.0);  // ignored
    settings.SetNomFreq(2, 10000000.5);
    settings.SetNomFreq(24, 5e6);
    const std::string zero = "         0,00000000000";  // "%22.11f" with the window separator
    const std::string value = "  10000000,50000000000";
    EXPECT_EQ(settings.RawValue("NomFreq1_4"), zero + "; " + value + "; " + zero + "; " + zero + "; ");
    for (const char* key : {"NomFreq5_8", "NomFreq9_12", "NomFreq13_16", "NomFreq17_20", "NomFreq21_24"})
      EXPECT_TRUE(settings.HasKey(key)) << key;
    ASSERT_TRUE(settings.SaveSettings());
  }
  TZEPSettings read(Path(), Config());  // window separator written, log separator read
  EXPECT_EQ(read.NomFreq(2), 10000000.5);
  EXPECT_EQ(read.NomFreq(24), 5e6);
  EXPECT_EQ(read.NomFreq(1), 0);
}

TEST_F(ZEPSettingsFile, TestOptionBits) {
  Write("TestOptions=101\r\n");
  TZEPSettings settings(Path(), Config());
  EXPECT_EQ(settings.TestOptions(), 0b101);
  EXPECT_TRUE(settings.GetTestOption(2));
  EXPECT_FALSE(settings.GetTestOption(8));
  EXPECT_FALSE(settings.GetTestOption(-1));
  settings.SetTestOption(7, true);
  settings.SetTestOption(0, false);
  settings.SetTestOption(9, true);  // ignored
  EXPECT_EQ(settings.RawValue("TestOptions"), "00100001");
}

TEST_F(ZEPSettingsFile, MirroredKeys) {
  TZEPSettings settings(Path(), Config());
  settings.SetTempUnit(1);
  settings.SetMailIsDefault(false);
  settings.SetGlobalNomFrequ(true);
  settings.SetLogTimeSourcePAV(true);
  ASSERT_TRUE(settings.SaveSettings());
  TZEPSettings read(Path(), Config());
  EXPECT_EQ(read.TempUnitString(), "\u00B0F");
  EXPECT_FALSE(read.MailIsDefault());
  EXPECT_TRUE(read.GlobalNomFrequ());
  EXPECT_TRUE(read.LogTimeSourcePAV());
}

// ---- mail accounts ------------------------------------------------------------

TEST_F(ZEPSettingsFile, BuiltInMailAccountIsRewrittenAtEveryStart) {
  Write("eMail_Default_Host=edited.example\r\neMail_Default_Pass=00\r\n");
  TZEPSettings settings(Path(), Config());
  EXPECT_EQ(settings.RawValue("eMail_Default_Host"), "mail.zep.invalid");
  EXPECT_EQ(settings.RawValue("eMail_Default_Pass"), "3DF4337D62F04C67CF");  // 9 bytes, 18 digits
  EXPECT_EQ(settings.MailPassword(TZEPSettings::kDefaultPrefix), "Kq3!vR8#w");
}

TEST_F(ZEPSettingsFile, UserMailPasswordIsStoredEnciphered) {
  TZEPSettings settings(Path(), Config());
  EXPECT_EQ(settings.MailPassword(TZEPSettings::kConfigPrefix), "");
  ASSERT_TRUE(settings.SetMailPassword(TZEPSettings::kConfigPrefix, "correct horse battery"));
  EXPECT_EQ(settings.RawValue("eMail_Config_Pass"), "17345851A28669F680ECE828515685C69C168A7A7F");
  EXPECT_EQ(settings.MailPassword(TZEPSettings::kConfigPrefix), "correct horse battery");
  for (const char* bad : {"ABC", "ZZ", "12 4"}) {
    settings.SetValue("eMail_Config_Pass", bad);
    EXPECT_EQ(settings.MailPassword(TZEPSettings::kConfigPrefix), "") << bad;
  }
  EXPECT_FALSE(settings.SetMailPassword(TZEPSettings::kConfigPrefix,
                                        std::string(MailCipher::kMaxPasswordLength + 1, 'p')));
}

// ---- cipher -------------------------------------------------------------------

TEST(MailCipher, AesBlockKnownAnswers) {
  struct Case {
    const char* key;
    const char* plain;
    const char* cipher;
  };
  const Case cases[] = {
      // FIPS-197 appendix C.1
      {"000102030405060708090A0B0C0D0E0F", "00112233445566778899AABBCCDDEEFF", "69C4E0D86A7B0430D8CDB78070B4C55A"},
      // SP 800-38A F.1.1, first block
      {"2B7E151628AED2A6ABF7158809CF4F3C", "6BC1BEE22E409F96E93D7E117393172A", "3AD77BB40D7A3660A89ECAF32466EF97"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Hex(MailCipher::EncryptBlock(Block(c.key), Block(c.plain))), c.cipher);
    EXPECT_EQ(Hex(MailCipher::DecryptBlock(Block(c.key), Block(c.cipher))), c.plain);
  }
}

// The CS3 stealing above one block is the one of RFC 3962 (key "chicken
// teriyaki", zero vector).
TEST(MailCipher, CiphertextStealingMatchesPublishedVectors) {
  const TBlock key = Block("636869636B656E207465726979616B69");
  const TBlock zero{};
  const std::string text = "I would like the General Gau's Chicken, please, and wonton soup.";
  struct Case {
    std::size_t length;
    const char* cipher;
  };
  const Case cases[] = {
      {17, "C6353568F2BF8CB4D8A580362DA7FF7F97"},
      {31, "FC00783E0EFDB2C1D445D4C8EFF7ED2297687268D6ECCCC0C07B25E25ECFE5"},
      {32, "39312523A78662D5BE7FCBCC98EBF5A897687268D6ECCCC0C07B25E25ECFE584"},
      {47, "97687268D6ECCCC0C07B25E25ECFE584B3FFFD940C16A18C1B5549D2F838029E39312523A78662D5BE7FCBCC98EBF5"},
      {48, "97687268D6ECCCC0C07B25E25ECFE5849DAD8BBB96C4CDC03BC103E1A194BBD839312523A78662D5BE7FCBCC98EBF5A8"},
      {64, "97687268D6ECCCC0C07B25E25ECFE58439312523A78662D5BE7FCBCC98EBF5A84807EFE836EE89A526730DBC2F7BC840"
           "9DAD8BBB96C4CDC03BC103E1A194BBD8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.length);
    const std::string plain = text.substr(0, c.length);
    EXPECT_EQ(Hex(MailCipher::EncryptCts(key, zero, plain)), c.cipher);
    EXPECT_EQ(MailCipher::DecryptCts(key, zero, Bytes(c.cipher)), plain);
  }
}

TEST(MailCipher, PasswordSchemeIsFixed) {
  // Stored values of our own scheme: a change here breaks every saved password.
  EXPECT_EQ(MailCipher::EncipherPassword(""), "");
  EXPECT_EQ(MailCipher::EncipherPassword("Kq3!vR8#w"), "3DF4337D62F04C67CF");
  EXPECT_EQ(MailCipher::EncipherPassword("0123456789ABCDEF"), "776A5AC520E4D802FC967D06B12A288B");
  EXPECT_EQ(MailCipher::EncipherPassword(std::string(40, 'A')),
            "1A14F82F3F34E3877A3E788C89A4C1146311589F8F1F17B2B3B7DD54E14432AB864D0808B200894D");
}

TEST(MailCipher, EveryLengthRoundTripsAndKeepsItsLength) {
  for (std::size_t length = 1; length <= 40; ++length) {
    std::string plain;
    for (std::size_t i = 0; i < length; ++i) plain += static_cast<char>(0x20 + (i * 7 + length) % 0xE0);
    const std::string hex = MailCipher::EncipherPassword(plain);
    EXPECT_EQ(hex.size(), 2 * length);
    EXPECT_NE(Bytes(hex), plain);
    EXPECT_EQ(MailCipher::DecipherPassword(hex), plain) << length;
  }
  EXPECT_EQ(MailCipher::DecipherPassword("3df4337d62f04c67cf"), "Kq3!vR8#w");  // lower-case digits read too
}

}  // namespace
