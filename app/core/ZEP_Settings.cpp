#include "app/core/ZEP_Settings.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

// ---- mail password cipher ---------------------------------------------------

namespace MailCipher {
namespace {

constexpr std::size_t kBlock = 16;
constexpr char kHexDigits[] = "0123456789ABCDEF";

TBlock Crypt(const TBlock& key, const TBlock& block, bool encrypt) {
  const std::unique_ptr<EVP_CIPHER_CTX, decltype(&EVP_CIPHER_CTX_free)> ctx(EVP_CIPHER_CTX_new(),
                                                                            EVP_CIPHER_CTX_free);
  TBlock out{};
  int written = 0;
  int finalLength = 0;
  // One ECB block without padding is the plain AES block function.
  if (!ctx || EVP_CipherInit_ex(ctx.get(), EVP_aes_128_ecb(), nullptr, key.data(), nullptr, encrypt ? 1 : 0) != 1 ||
      EVP_CIPHER_CTX_set_padding(ctx.get(), 0) != 1 ||
      EVP_CipherUpdate(ctx.get(), out.data(), &written, block.data(), static_cast<int>(kBlock)) != 1 ||
      written != static_cast<int>(kBlock) || EVP_CipherFinal_ex(ctx.get(), out.data() + written, &finalLength) != 1 ||
      finalLength != 0)
    throw std::runtime_error("AES-128 block cipher failed");
  return out;
}

TBlock BlockAt(std::string_view text, std::size_t offset) {
  TBlock block{};
  const std::size_t count = std::min(kBlock, text.size() - offset);
  for (std::size_t i = 0; i < count; ++i) block[i] = static_cast<uint8_t>(text[offset + i]);
  return block;
}

TBlock Xor(const TBlock& a, const TBlock& b) {
  TBlock result{};
  for (std::size_t i = 0; i < kBlock; ++i) result[i] = static_cast<uint8_t>(a[i] ^ b[i]);
  return result;
}

void Append(std::string& out, const TBlock& block, std::size_t count = kBlock) {
  out.append(reinterpret_cast<const char*>(block.data()), count);
}

// A text shorter than a block: XOR with the enciphered vector, both ways.
std::string XorWithKeyStream(const TBlock& key, const TBlock& iv, std::string_view text) {
  const TBlock stream = Crypt(key, iv, true);
  std::string out(text);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<char>(out[i] ^ static_cast<char>(stream[i]));
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

TBlock EncryptBlock(const TBlock& key, const TBlock& block) { return Crypt(key, block, true); }
TBlock DecryptBlock(const TBlock& key, const TBlock& block) { return Crypt(key, block, false); }

std::string EncryptCts(const TBlock& key, const TBlock& iv, std::string_view plain) {
  const std::size_t n = plain.size();
  if (n < kBlock) return XorWithKeyStream(key, iv, plain);
  // Blocks 0..last; the last one holds `tail` bytes (1..16).
  const std::size_t last = (n - 1) / kBlock;
  const std::size_t tail = n - last * kBlock;
  std::string out;
  TBlock previous = iv;
  for (std::size_t k = 0; k < last; ++k) {
    previous = Crypt(key, Xor(BlockAt(plain, k * kBlock), previous), true);
    if (k + 1 < last) Append(out, previous);
  }
  const TBlock lastCipher = Crypt(key, Xor(BlockAt(plain, last * kBlock), previous), true);
  Append(out, lastCipher);
  // Exactly one block is plain CBC; otherwise the second-to-last block follows, cut.
  if (last > 0) Append(out, previous, tail);
  return out;
}

std::string DecryptCts(const TBlock& key, const TBlock& iv, std::string_view cipher) {
  const std::size_t n = cipher.size();
  if (n < kBlock) return XorWithKeyStream(key, iv, cipher);
  if (n == kBlock) {
    std::string out;
    Append(out, Xor(Crypt(key, BlockAt(cipher, 0), false), iv));
    return out;
  }
  const std::size_t last = (n - 1) / kBlock;
  const std::size_t tail = n - last * kBlock;
  // The full block before the tail is the last block enciphered; its
  // decipherment carries the stolen bytes of the second-to-last block.
  const TBlock lastDeciphered = Crypt(key, BlockAt(cipher, (last - 1) * kBlock), false);
  TBlock stolen = BlockAt(cipher, last * kBlock);
  for (std::size_t i = tail; i < kBlock; ++i) stolen[i] = lastDeciphered[i];

  std::string out;
  TBlock previous = iv;
  for (std::size_t k = 0; k < last; ++k) {
    const TBlock c = k + 1 < last ? BlockAt(cipher, k * kBlock) : stolen;
    Append(out, Xor(Crypt(key, c, false), previous));
    previous = c;
  }
  Append(out, Xor(lastDeciphered, stolen), tail);
  return out;
}

TBlock PasswordKey() {
  TBlock key{};
  constexpr std::string_view text = "Zylinder";
  std::copy(text.begin(), text.end(), key.begin());
  return key;
}

TBlock PasswordIv() {
  TBlock iv;
  iv.fill(0xFF);
  return iv;
}

std::string EncipherPassword(std::string_view password) {
  const std::string cipher = EncryptCts(PasswordKey(), PasswordIv(), password);
  std::string hex;
  hex.reserve(cipher.size() * 2);
  for (const char c : cipher) {
    const auto byte = static_cast<uint8_t>(c);
    hex += kHexDigits[byte >> 4];
    hex += kHexDigits[byte & 0x0F];
  }
  return hex;
}

std::optional<std::string> DecipherPassword(std::string_view hexText) {
  if (hexText.size() % 2 != 0 || hexText.size() > 2 * kMaxPasswordLength) return std::nullopt;
  std::string cipher;
  cipher.reserve(hexText.size() / 2);
  for (std::size_t i = 0; i < hexText.size(); i += 2) {
    const int high = HexValue(hexText[i]);
    const int low = HexValue(hexText[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    cipher += static_cast<char>(high << 4 | low);
  }
  return DecryptCts(PasswordKey(), PasswordIv(), cipher);
}

}  // namespace MailCipher

// ---- settings -----------------------------------------------------------------

namespace {

// The password of the built-in mail account (nine bytes).
constexpr std::string_view kDefaultMailPassword = "Kq3!vR8#w";
constexpr std::string_view kListSeparator = "; ";
constexpr int kNomFreqFieldWidth = 22;
constexpr int kNomFreqDecimals = 11;

std::string WithSlash(const std::string& folder) {
  if (folder.empty() || folder.back() == '/') return folder;
  return folder + "/";
}

char OtherSeparator(char decSep) { return decSep == '.' ? ',' : '.'; }

bool IsDecimalSeparator(char c) { return c == '.' || c == ','; }

std::string NomFreqKey(int group) {
  return "NomFreq" + std::to_string(4 * group + 1) + "_" + std::to_string(4 * group + 4);
}

}  // namespace

TZEPSettings::TZEPSettings(const std::string& iniFileName, const std::string& configFolder)
    : FExePath(WithSlash(configFolder)) {
  FFormatSettingsWin = DefaultFormatSettings();
  FFormatSettingsLog = DefaultFormatSettings();
  if (!iniFileName.empty())
    LoadFromFile(iniFileName.find('/') == std::string::npos ? FExePath + iniFileName : iniFileName);
  ReadVersion();
  ReadDecimalSeparators();
  // From here on the settings file's own numbers use the log separator.
  FFormatSettings = FFormatSettingsLog;
  FTempUnit = ReadOwnInteger("TempUnit", 0, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
  FMailIsDefault = GetValue("eMail_isDefault", true);
  WriteDefaultMailAccount();
  FGlobalNomFrequ = GetValue("GlobalNomFrequ", false);
  ReadNomFrequs();
  ReadTestOptions();
}

// ---- start-up reads -------------------------------------------------------

// The application's own keys: a damaged one is written anew with the value in use.
int TZEPSettings::ReadOwnInteger(std::string_view name, int defaultValue, int minValue, int maxValue) {
  const int value = ReadInteger(name, defaultValue, minValue, maxValue);
  if (RawValue(name) != std::to_string(value)) StoreText(name, std::to_string(value));
  return value;
}

void TZEPSettings::ReadVersion() {
  // A version line that is there but damaged was written by a versioned
  // program: the current layout is the likeliest, not the oldest.
  const int defaultVersion = HasKey("INI_Version") ? kCurrentVersion : 0;
  FVersionFormat = ReadOwnInteger("INI_Version", defaultVersion, 0, kMaxVersion);
  if (FVersionFormat == 0) SetVersionFormat(kCurrentVersion);
}

// Another character would be used in every ";"-separated line and number the
// application writes, so anything but "." and "," falls back to ".".
char TZEPSettings::ReadSeparator(std::string_view name) {
  const char decSep = GetValue(name, '.');
  if (IsDecimalSeparator(decSep)) return decSep;
  AddProblem("Settings value " + std::string(name) + "=" + RawValue(name).value_or("") +
             " is no decimal separator (\".\" or \",\"); \".\" is used");
  return '.';
}

void TZEPSettings::ReadDecimalSeparators() {
  const char win = ReadSeparator("DecSepWin");
  FFormatSettingsWin.DecimalSeparator = win;
  SetDecSepWin(win);
  const char log = ReadSeparator("DecSepLog");
  FFormatSettingsLog.DecimalSeparator = log;
  SetDecSepLog(log);
}

void TZEPSettings::WriteDefaultMailAccount() {
  const std::string prefix(kDefaultPrefix);
  try {
    SetValue(prefix + "Host", std::string(kDefaultMailHost));
    SetValue(prefix + "Auth", true);
    SetValue(prefix + "User", std::string(kDefaultMailUser));
    SetValue(prefix + "Pass", MailCipher::EncipherPassword(kDefaultMailPassword));
  } catch (const std::exception& e) {
    AddProblem(std::string("The built-in mail account could not be written: ") + e.what());
  }
}

void TZEPSettings::ReadNomFrequs() {
  const char decSep = FFormatSettings.DecimalSeparator;
  for (int group = 0; group < kChannels / 4; ++group) {
    const std::optional<std::string> text = RawValue(NomFreqKey(group));
    const std::vector<std::string_view> items =
        text ? SplitText(*text, kListSeparator) : std::vector<std::string_view>{};
    for (int j = 0; j < 4; ++j) {
      double value = 0;
      if (static_cast<std::size_t>(j) < items.size()) {
        const std::string_view item = Trim(items[static_cast<std::size_t>(j)]);
        if (!item.empty()) value = TryStrToFloat(ConvertDecimalMark(item, decSep), FFormatSettings).value_or(0.0);
      }
      FNom_Frequ[static_cast<std::size_t>(4 * group + j)] = value;
    }
  }
}

void TZEPSettings::SaveNomFrequs() {
  for (int group = 0; group < kChannels / 4; ++group) {
    std::string text;
    for (int j = 0; j < 4; ++j) {
      const std::string field =
          FloatToStrFixed(FNom_Frequ[static_cast<std::size_t>(4 * group + j)], kNomFreqDecimals, FFormatSettingsWin);
      if (field.size() < kNomFreqFieldWidth) text.append(kNomFreqFieldWidth - field.size(), ' ');
      text += field;
      text += kListSeparator;
    }
    SetValue(NomFreqKey(group), text);
  }
}

void TZEPSettings::ReadTestOptions() {
  const std::string text = GetValue("TestOptions", "00000000");
  FTestOptions = 0;
  for (std::size_t i = 0; i < std::min<std::size_t>(8, text.size()); ++i)
    if (text[i] == '1') FTestOptions = static_cast<uint8_t>(FTestOptions | 1u << i);
}

void TZEPSettings::WriteTestOptions() {
  std::string text;
  for (int bit = 0; bit < 8; ++bit) text += GetTestOption(bit) ? '1' : '0';
  SetValue("TestOptions", text);
}

// ---- decimal separators ---------------------------------------------------

void TZEPSettings::SetDecSepWin(char decSep) {
  if (!IsDecimalSeparator(decSep)) return;
  FFormatSettingsWin.DecimalSeparator = decSep;
  FFormatSettingsWin.ThousandSeparator = OtherSeparator(decSep);
  SetValue("DecSepWin", decSep);
}

bool TZEPSettings::SetDecSepLog(char decSep) {
  if (!IsDecimalSeparator(decSep)) return false;
  const char old = FFormatSettingsLog.DecimalSeparator;
  std::string format;
  std::size_t pos = std::string::npos;
  if (decSep != old) {
    format = LogTimeFormat();
    pos = format.find(old);
  }
  FFormatSettingsLog.DecimalSeparator = decSep;
  FFormatSettingsLog.ThousandSeparator = OtherSeparator(decSep);
  SetValue("DecSepLog", decSep);
  if (pos == std::string::npos) return false;
  format[pos] = decSep;
  SetValue("LogTimeFormat", format);
  return true;
}

// ---- properties -----------------------------------------------------------

std::string TZEPSettings::DebugRootFolder() { return GetValue("DebugRootFolder", FExePath + "Debug/"); }

std::string TZEPSettings::LogRootFolder() { return GetValue("LogRootFolder", FExePath + "Logs/"); }

std::string TZEPSettings::LogTimeFormat() {
  return GetValue("LogTimeFormat", std::string("YYMMDD HHNNSS") + FFormatSettingsLog.DecimalSeparator + "ZZZ");
}

void TZEPSettings::SetTempUnit(int value) {
  FTempUnit = value;
  SetValue("TempUnit", value);
}

void TZEPSettings::SetMailIsDefault(bool value) {
  FMailIsDefault = value;
  SetValue("eMail_isDefault", value);
}

std::string TZEPSettings::MailPassword(std::string_view prefix) const {
  const std::optional<std::string> stored = RawValue(std::string(prefix) + "Pass");
  if (!stored) return {};
  try {
    return MailCipher::DecipherPassword(*stored).value_or(std::string());
  } catch (const std::exception&) {
    return {};
  }
}

bool TZEPSettings::SetMailPassword(std::string_view prefix, std::string_view password) {
  if (password.size() > MailCipher::kMaxPasswordLength) return false;
  SetValue(std::string(prefix) + "Pass", MailCipher::EncipherPassword(password));
  return true;
}

void TZEPSettings::SetGlobalNomFrequ(bool value) {
  FGlobalNomFrequ = value;
  SetValue("GlobalNomFrequ", value);
}

double TZEPSettings::NomFreq(int channel) const {
  if (channel < 1 || channel > kChannels) return 0;
  return FNom_Frequ[static_cast<std::size_t>(channel - 1)];
}

void TZEPSettings::SetNomFreq(int channel, double value) {
  if (channel >= 1 && channel <= kChannels) FNom_Frequ[static_cast<std::size_t>(channel - 1)] = value;
  SaveNomFrequs();
}

bool TZEPSettings::GetTestOption(int bit) const { return bit >= 0 && bit < 8 && (FTestOptions >> bit & 1) != 0; }

void TZEPSettings::SetTestOption(int bit, bool value) {
  if (bit < 0 || bit >= 8) return;
  const auto mask = static_cast<uint8_t>(1u << bit);
  FTestOptions = static_cast<uint8_t>(value ? FTestOptions | mask : FTestOptions & ~mask);
  WriteTestOptions();
}
