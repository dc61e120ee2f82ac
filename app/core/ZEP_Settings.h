#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/App_Settings.h"

// The cipher of the mail passwords in the settings file: AES-128 with
// ciphertext stealing, so the cipher text is exactly as long as the password.
//
// Key: the ASCII text "Zylinder" padded with zero bytes to 16 bytes. The
// chaining vector is 16 bytes of 0xFF. By length n of the text:
// - n < 16: the text XOR the first n bytes of the encipherment of the vector;
// - n = 16: one block of CBC (the text XOR the vector, enciphered);
// - n > 16: CBC with ciphertext stealing in the CS3 form (the last two cipher
//   blocks swapped, the last one cut to the length of the last text block).
// Stored as upper-case hexadecimal, two digits per byte.
namespace MailCipher {

using TBlock = std::array<uint8_t, 16>;

inline constexpr std::size_t kMaxPasswordLength = 1024;  // longer stored texts are refused

TBlock EncryptBlock(const TBlock& key, const TBlock& block);
TBlock DecryptBlock(const TBlock& key, const TBlock& block);
std::string EncryptCts(const TBlock& key, const TBlock& iv, std::string_view plain);
std::string DecryptCts(const TBlock& key, const TBlock& iv, std::string_view cipher);

TBlock PasswordKey();
TBlock PasswordIv();
// The stored form of a password; the password from its stored form, nothing
// when the text is no even-length hexadecimal text or too long.
std::string EncipherPassword(std::string_view password);
std::optional<std::string> DecipherPassword(std::string_view hexText);

}  // namespace MailCipher

// The application settings ("ZEP_App.ini" in the configuration folder): the
// store plus the application's own keys (folders, decimal separators,
// temperature unit, mail accounts, nominal frequencies, log time options).
// Other parts keep their keys in the same store under their own prefixes.
//
// Construction never throws on a bad file: unusable values are replaced by
// their defaults and each one leaves a text in StartProblems(). Main thread
// only, like the store.
class TZEPSettings : public TAppSettings {
 public:
  static constexpr int kChannels = 24;
  static constexpr int kCurrentVersion = 6;  // "INI_Version" of a new file
  static constexpr int kMaxVersion = 1000000;
  static constexpr std::string_view kDefaultPrefix = "eMail_Default_";
  static constexpr std::string_view kConfigPrefix = "eMail_Config_";
  // The built-in mail account, rewritten at every start.
  static constexpr std::string_view kDefaultMailHost = "mail.zep.invalid";
  static constexpr std::string_view kDefaultMailUser = "zep@zep.invalid";

  // `iniFileName` without a "/" is taken inside `configFolder`; an empty
  // name leaves the store unbound. `configFolder` gets a trailing "/".
  TZEPSettings(const std::string& iniFileName, const std::string& configFolder);

  // Load failures, dropped lines and values replaced by their defaults, for
  // the application to post as messages.
  const std::vector<std::string>& StartProblems() const { return Problems(); }

  const std::string& ExePath() const { return FExePath; }  // the configuration folder
  bool ProfessionalMode() const { return FProfessionalMode; }
  void SetProfessionalMode(bool value) { FProfessionalMode = value; }

  // Decimal separators: only "." and "," are taken.
  const TFormatSettings& FormatSettingsWin() const { return FFormatSettingsWin; }
  const TFormatSettings& FormatSettingsLog() const { return FFormatSettingsLog; }
  void SetDecSepWin(char decSep);
  // True when the log time format was changed with the separator.
  bool SetDecSepLog(char decSep);

  std::string DebugRootFolder();
  void SetDebugRootFolder(const std::string& value) { SetValue("DebugRootFolder", value); }
  std::string LogRootFolder();
  void SetLogRootFolder(const std::string& value) { SetValue("LogRootFolder", value); }
  std::string LogTimeFormat();
  void SetLogTimeFormat(const std::string& value) { SetValue("LogTimeFormat", value); }
  bool LogTimeSourcePAV() { return GetValue("LogTimeSourcePAV", false); }
  void SetLogTimeSourcePAV(bool value) { SetValue("LogTimeSourcePAV", value); }
  bool LogTimeZoneSystem() { return GetValue("LogTimeZoneSystem", false); }
  void SetLogTimeZoneSystem(bool value) { SetValue("LogTimeZoneSystem", value); }
  // "Debug_LogMain": keep the main debug log always (true) or as error log.
  bool AppDebugLog() { return GetValue("Debug_LogMain", FProfessionalMode); }
  void SetAppDebugLog(bool value) { SetValue("Debug_LogMain", value); }

  int TempUnit() const { return FTempUnit; }
  void SetTempUnit(int value);
  std::string TempUnitString() const { return FTempUnit != 0 ? "\u00B0F" : "\u00B0C"; }

  bool MailIsDefault() const { return FMailIsDefault; }
  void SetMailIsDefault(bool value);
  // The password stored under prefix + "Pass" (kDefaultPrefix or
  // kConfigPrefix), deciphered; empty when absent or not decipherable.
  std::string MailPassword(std::string_view prefix) const;
  // Stores it enciphered (empty removes the key); false for a password
  // longer than MailCipher::kMaxPasswordLength.
  bool SetMailPassword(std::string_view prefix, std::string_view password);

  bool GlobalNomFrequ() const { return FGlobalNomFrequ; }
  void SetGlobalNomFrequ(bool value);
  // Channels 1..24; 0 outside. The setter writes all six "NomFreq" keys.
  double NomFreq(int channel) const;
  void SetNomFreq(int channel, double value);

  uint8_t TestOptions() const { return FTestOptions; }
  bool GetTestOption(int bit) const;  // bits 0..7; false outside
  void SetTestOption(int bit, bool value);

  int FormOffsetHeight() const { return FFormOffsetHeight; }
  void SetFormOffsetHeight(int value) { FFormOffsetHeight = value; }

 private:
  void ReadVersion();
  void ReadDecimalSeparators();
  char ReadSeparator(std::string_view name);
  int ReadOwnInteger(std::string_view name, int defaultValue, int minValue, int maxValue);
  void WriteDefaultMailAccount();
  void ReadNomFrequs();
  void SaveNomFrequs();
  void ReadTestOptions();
  void WriteTestOptions();

  std::string FExePath;
  bool FProfessionalMode = false;
  bool FMailIsDefault = true;
  int FFormOffsetHeight = 0;
  TFormatSettings FFormatSettingsWin;
  TFormatSettings FFormatSettingsLog;
  int FTempUnit = 0;
  std::array<double, kChannels> FNom_Frequ{};
  bool FGlobalNomFrequ = false;
  uint8_t FTestOptions = 0;
};
