#include "app/core/App_Settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "library/platform/VQ_File.h"

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kLineEnd = "\r\n";

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
}

bool IsControl(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (u < 0x20 && c != '\t') || u == 0x7F;
}

// A line break or NUL inside a value would split or spoil its line in the
// file, so control characters are stored as blanks.
std::string Sanitised(std::string_view text) {
  std::string result(text);
  std::replace_if(result.begin(), result.end(), IsControl, ' ');
  return result;
}

bool IsValidLine(std::string_view line) {
  if (line.size() > TAppSettings::kMaxLineLength) return false;
  const std::size_t eq = line.find('=');
  if (eq == std::string_view::npos || eq == 0) return false;
  return std::none_of(line.begin(), line.end(), IsControl);
}

std::string ErrnoText(int error) { return std::strerror(error); }

std::string ParentFolder(const std::string& fileName) {
  const std::size_t slash = fileName.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return fileName.substr(0, slash);
}

// Creates the missing folders of the path, readable by the owner only,
// because the settings hold mail passwords.
bool EnsureFolder(const std::string& folder, std::string& error) {
  for (std::size_t pos = 1; pos <= folder.size(); ++pos) {
    if (pos < folder.size() && folder[pos] != '/') continue;
    const std::string part = folder.substr(0, pos);
    if (::mkdir(part.c_str(), 0700) == 0) continue;
    const int mkdirError = errno;
    if (mkdirError == EEXIST) continue;
    error = "the folder " + part + " could not be created: " + ErrnoText(mkdirError);
    return false;
  }
  struct stat st {};
  if (::stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    error = folder + " is not a folder";
    return false;
  }
  return true;
}

struct TFileRead {
  bool Ok = false;
  bool Existed = false;  // the file is there, whatever went wrong
  std::string Error;
  std::string Content;
};

TFileRead CreateEmpty(const std::string& fileName) {
  TFileRead result;
  std::string error;
  if (!EnsureFolder(ParentFolder(fileName), error)) {
    result.Error = "Settings file " + fileName + " could not be created: " + error;
    return result;
  }
  const int fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  const int openError = errno;
  if (fd < 0 && openError != EEXIST) {
    result.Error = "Settings file " + fileName + " could not be created: " + ErrnoText(openError);
    return result;
  }
  if (fd >= 0) ::close(fd);
  result.Ok = true;
  return result;
}

TFileRead ReadWholeFile(const std::string& fileName) {
  const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    // No file there (also when a part of the folder is no folder): create it.
    if (error == ENOENT || error == ENOTDIR) return CreateEmpty(fileName);
    TFileRead failed;
    failed.Existed = true;
    failed.Error = "Settings file " + fileName + " could not be read: " + ErrnoText(error);
    return failed;
  }
  TFileRead result;
  result.Existed = true;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    result.Error = "Settings file " + fileName + " is not a regular file";
  } else if (static_cast<uint64_t>(st.st_size) > TAppSettings::kMaxFileSize) {
    result.Error = "Settings file " + fileName + " is larger than " +
                   std::to_string(TAppSettings::kMaxFileSize / (1024 * 1024)) + " MiB and was not read";
  } else {
    // Read one byte more than allowed to notice a file that grew meanwhile.
    result.Content.resize(TAppSettings::kMaxFileSize + 1);
    std::size_t done = 0;
    while (done < result.Content.size()) {
      const ssize_t n = ::read(fd, result.Content.data() + done, result.Content.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        result.Error = "Settings file " + fileName + " could not be read: " + ErrnoText(errno);
        break;
      }
      if (n == 0) break;
      done += static_cast<std::size_t>(n);
    }
    result.Content.resize(done);
    if (result.Error.empty() && done > TAppSettings::kMaxFileSize)
      result.Error = "Settings file " + fileName + " is larger than " +
                     std::to_string(TAppSettings::kMaxFileSize / (1024 * 1024)) + " MiB and was not read";
    result.Ok = result.Error.empty();
  }
  ::close(fd);
  if (!result.Ok) result.Content.clear();
  return result;
}

// A decimal integer; blanks around it and a "+" sign are allowed.
template <typename T>
std::optional<T> ParseInteger(std::string_view text) {
  text = Trim(text);
  if (!text.empty() && text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return std::nullopt;
  }
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return value;
}

[[noreturn]] void ThrowNotInteger(const std::string& text) {
  throw EConvertError("'" + text + "' is not a valid integer value");
}

enum class TNumberText { Ok, Empty, NotNumber, TooLarge };

// A decimal integer as GetValue reads it, telling apart why it fails.
TNumberText ParseInt64(std::string_view text, int64_t& value) {
  text = Trim(text);
  if (text.empty()) return TNumberText::Empty;
  if (text.front() == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text.front() == '-') return TNumberText::NotNumber;
  }
  const char* last = text.data() + text.size();
  const auto [end, ec] = std::from_chars(text.data(), last, value);
  if (text.empty() || end != last) return TNumberText::NotNumber;
  if (ec == std::errc::result_out_of_range) return TNumberText::TooLarge;
  return ec == std::errc{} ? TNumberText::Ok : TNumberText::NotNumber;
}

// A stored text as a message shows it: a damaged file may hold a whole
// screen of garbage in one value.
std::string Shown(std::string_view text) {
  constexpr std::size_t kShown = 40;
  return text.size() <= kShown ? std::string(text) : std::string(text.substr(0, kShown)) + "...";
}

std::string ValueProblem(std::string_view name, std::string_view text, std::string_view why,
                         const std::string& instead) {
  std::string problem = "Settings value " + std::string(name);
  if (!text.empty()) problem += "=" + Shown(text);
  return problem + " " + std::string(why) + "; " + instead;
}

// The stored integer within minValue..maxValue; otherwise nothing and the
// reason in `why`.
std::optional<int64_t> CheckInteger(std::string_view text, int64_t minValue, int64_t maxValue, std::string& why) {
  int64_t value = 0;
  switch (ParseInt64(text, value)) {
    case TNumberText::Empty: why = "is empty"; return std::nullopt;
    case TNumberText::NotNumber: why = "is not a number"; return std::nullopt;
    case TNumberText::TooLarge: why = "is far too large"; return std::nullopt;
    case TNumberText::Ok: break;
  }
  if (value < minValue || value > maxValue) {
    why = "is outside " + std::to_string(minValue) + ".." + std::to_string(maxValue);
    return std::nullopt;
  }
  return value;
}

std::string DefaultUsed(const std::string& defaultText) { return "the default " + defaultText + " is used"; }

}  // namespace

TAppSettings::TAppSettings() : FFormatSettings(DefaultFormatSettings()) {
  FAutoSaveSettings = GetValue("AutoSaveSettings", false);
}

// ---- file ----------------------------------------------------------------

bool TAppSettings::LoadFromFile(const std::string& fileName) {
  FFilename = fileName;
  FLines.clear();
  FValuesLoaded = false;
  FHasBom = false;
  FSaveBlocked = false;
  FLoadError.clear();
  FProblems.clear();
  FReportedKeys.clear();
  FProblemsTaken = 0;

  TFileRead read = ReadWholeFile(fileName);
  FFileContent.clear();
  if (read.Ok) {
    ParseContent(read.Content);
    FValuesLoaded = !FLines.empty();
    FFileContent = read.Content;
  } else {
    FLoadError = read.Error;
    FSaveBlocked = read.Existed;
    if (FSaveBlocked) FLoadError += "; it will not be overwritten";
    AddProblem(FLoadError);
  }
  FAutoSaveSettings = GetValue("AutoSaveSettings", false);
  return read.Ok;
}

void TAppSettings::ParseContent(std::string_view content) {
  FHasBom = content.starts_with(kUtf8Bom);
  if (FHasBom) content.remove_prefix(kUtf8Bom.size());
  std::size_t dropped = 0;
  while (!content.empty()) {
    // CR LF, LF and a lone CR all end a line.
    const std::size_t end = content.find_first_of("\r\n");
    const std::string_view line = content.substr(0, end);
    if (end == std::string_view::npos) {
      content = {};
    } else {
      const bool crlf = content[end] == '\r' && end + 1 < content.size() && content[end + 1] == '\n';
      content.remove_prefix(end + (crlf ? 2 : 1));
    }
    if (line.empty()) continue;
    if (!IsValidLine(line)) {
      ++dropped;
      continue;
    }
    const std::size_t eq = line.find('=');
    FLines.push_back({std::string(line.substr(0, eq)), std::string(line.substr(eq + 1))});
  }
  if (dropped > 0)
    AddProblem("Settings file " + FFilename + ": " + std::to_string(dropped) +
               (dropped == 1 ? " line that is not" : " lines that are not") +
               " \"name=value\" dropped; the other lines were read");
}

bool TAppSettings::SaveSettings() {
  FSaveError.clear();
  StoreText("INI_Version", std::to_string(FVersionFormat));
  if (FFilename.empty()) return true;
  if (FSaveBlocked) {
    FSaveError = "Settings not saved to " + FFilename + ": the file could not be read, saving would replace it";
    return false;
  }
  const std::string content = Content();
  if (!WriteAtomically(FFilename, content)) return false;
  FFileContent = content;
  return true;
}

bool TAppSettings::SaveIfChanged() {
  StoreText("INI_Version", std::to_string(FVersionFormat));
  if (!FFilename.empty() && !FSaveBlocked && Content() == FFileContent) return true;
  return SaveSettings();
}

std::string TAppSettings::Content() const {
  std::string content;
  if (FHasBom) content = kUtf8Bom;
  for (const TLine& line : FLines) {
    content += line.Name;
    content += '=';
    content += line.Value;
    content += kLineEnd;
  }
  return content;
}

bool TAppSettings::SaveSettings(const std::string& fileName) {
  if (fileName != FFilename) FFileContent.clear();
  FFilename = fileName;
  FSaveBlocked = false;
  return SaveSettings();
}

// A crash or a full disk during the write leaves the old file untouched: the
// new content reaches the disk in a temporary file first and then replaces
// the old one by rename.
bool TAppSettings::WriteAtomically(const std::string& fileName, const std::string& content) {
  const auto fail = [&](const std::string& what, int error) {
    FSaveError = "Settings not saved to " + fileName + ": " + what + (error != 0 ? ": " + ErrnoText(error) : "");
    return false;
  };
  const std::string folder = ParentFolder(fileName);
  std::string folderError;
  if (!EnsureFolder(folder, folderError)) return fail(folderError, 0);

  std::string tempName = fileName + ".XXXXXX";
  const int fd = ::mkostemp(tempName.data(), O_CLOEXEC);
  if (fd < 0) {
    const int tempError = errno;
    return fail("the temporary file could not be created", tempError);
  }
  int error = 0;
  std::string what;
  if (::fchmod(fd, 0600) != 0) {
    error = errno;
    what = "the file mode could not be set";
    ::close(fd);
  } else {
    what = WriteSyncClose(fd, content, error);
  }
  if (what.empty() && ::rename(tempName.c_str(), fileName.c_str()) != 0) {
    error = errno;
    what = "the file could not be replaced";
  }
  if (!what.empty()) {
    ::unlink(tempName.c_str());
    return fail(what, error);
  }
  // Make the rename itself durable; a failure here loses nothing already written.
  const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    ::fsync(dirFd);
    ::close(dirFd);
  }
  return true;
}

// ---- lines ----------------------------------------------------------------

std::vector<TAppSettings::TLine>::iterator TAppSettings::Find(std::string_view name) {
  return std::find_if(FLines.begin(), FLines.end(), [&](const TLine& l) { return SameName(l.Name, name); });
}

std::vector<TAppSettings::TLine>::const_iterator TAppSettings::Find(std::string_view name) const {
  return std::find_if(FLines.begin(), FLines.end(), [&](const TLine& l) { return SameName(l.Name, name); });
}

const std::string& TAppSettings::ReadOrAdd(std::string_view name, std::string defaultText) {
  const auto it = Find(name);
  if (it != FLines.end()) return it->Value;
  FLines.push_back({Sanitised(name), Sanitised(defaultText)});
  return FLines.back().Value;
}

void TAppSettings::ChangeText(std::string_view name, const std::string& text) {
  const auto it = Find(name);
  if (text.empty()) {
    if (it != FLines.end()) FLines.erase(it);
  } else if (it == FLines.end()) {
    FLines.push_back({Sanitised(name), text});
  } else {
    it->Value = text;
  }
}

void TAppSettings::StoreText(std::string_view name, const std::string& text) { ChangeText(name, Sanitised(text)); }

void TAppSettings::KeepValue(std::string_view name, const std::string& value) {
  const auto it = Find(name);
  if (it == FLines.end())
    FLines.push_back({Sanitised(name), Sanitised(value)});
  else
    it->Value = Sanitised(value);
}

bool TAppSettings::HasKey(std::string_view name) const { return Find(name) != FLines.end(); }

std::optional<std::string> TAppSettings::RawValue(std::string_view name) const {
  const auto it = Find(name);
  if (it == FLines.end()) return std::nullopt;
  return it->Value;
}

std::vector<std::string> TAppSettings::Lines() const {
  std::vector<std::string> lines;
  lines.reserve(FLines.size());
  for (const TLine& line : FLines) lines.push_back(line.Name + "=" + line.Value);
  return lines;
}

void TAppSettings::Clear() {
  FLines.clear();
  FValuesLoaded = false;
}

void TAppSettings::RemoveKeys(std::string_view prefix) {
  std::erase_if(FLines, [&](const TLine& l) { return l.Name.starts_with(prefix); });
}

bool TAppSettings::TestKeys(std::string_view prefix) const {
  return std::any_of(FLines.begin(), FLines.end(), [&](const TLine& l) { return l.Name.starts_with(prefix); });
}

// ---- typed reads ----------------------------------------------------------

bool TAppSettings::GetValue(std::string_view name, bool defaultValue) {
  if (!HasKey(name)) {
    ReadOrAdd(name, defaultValue ? "True" : "False");
    return defaultValue;
  }
  return ReadOrAdd(name, {}) == "True";
}

char TAppSettings::GetValue(std::string_view name, char defaultValue) {
  const std::string& text = ReadOrAdd(name, defaultValue == '\0' ? std::string() : std::string(1, defaultValue));
  return text.empty() ? defaultValue : text.front();
}

double TAppSettings::GetValue(std::string_view name, double defaultValue) {
  if (!HasKey(name)) {
    ReadOrAdd(name, std::isnan(defaultValue) ? std::string() : FloatToStrGeneral(defaultValue, FFormatSettings));
    return defaultValue;
  }
  const std::string text = ReadOrAdd(name, {});
  if (text.empty()) return std::numeric_limits<double>::quiet_NaN();
  // Infinities are written as "INF" and "-INF" and must read back.
  if (text == "INF") return std::numeric_limits<double>::infinity();
  if (text == "-INF") return -std::numeric_limits<double>::infinity();
  return StrToFloat(ConvertDecimalMark(text, FFormatSettings.DecimalSeparator), FFormatSettings);
}

int TAppSettings::GetValue(std::string_view name, int defaultValue) {
  if (!HasKey(name)) {
    ReadOrAdd(name, std::to_string(defaultValue));
    return defaultValue;
  }
  const std::string text = ReadOrAdd(name, {});
  const auto value = ParseInteger<int>(text);
  if (!value) ThrowNotInteger(text);
  return *value;
}

std::string TAppSettings::GetValue(std::string_view name, const std::string& defaultValue) {
  return ReadOrAdd(name, defaultValue);
}

uint32_t TAppSettings::GetUValue(std::string_view name, uint32_t defaultValue) {
  if (!HasKey(name)) {
    ReadOrAdd(name, std::to_string(defaultValue));
    return defaultValue;
  }
  const std::string text = ReadOrAdd(name, {});
  const auto value = ParseInteger<uint32_t>(text);
  if (!value) ThrowNotInteger(text);
  return *value;
}

// ---- checked reads --------------------------------------------------------

void TAppSettings::ReportValueProblem(std::string_view name, const std::string& text) const {
  std::string key(name);
  std::transform(key.begin(), key.end(), key.begin(), LowerAscii);
  if (!FReportedKeys.insert(std::move(key)).second) return;
  FProblems.push_back(text);
}

std::vector<std::string> TAppSettings::TakeProblems() {
  std::vector<std::string> taken(FProblems.begin() + static_cast<std::ptrdiff_t>(std::min(FProblemsTaken, FProblems.size())),
                                 FProblems.end());
  FProblemsTaken = FProblems.size();
  return taken;
}

int TAppSettings::ReadInteger(std::string_view name, int defaultValue, int minValue, int maxValue) {
  return static_cast<int>(ReadInt64(name, defaultValue, minValue, maxValue));
}

int64_t TAppSettings::ReadInt64(std::string_view name, int64_t defaultValue, int64_t minValue, int64_t maxValue) {
  const auto it = Find(name);
  if (it == FLines.end()) {
    ReadOrAdd(name, std::to_string(defaultValue));
    return defaultValue;
  }
  std::string why;
  if (const auto value = CheckInteger(it->Value, minValue, maxValue, why)) return *value;
  ReportValueProblem(name, ValueProblem(name, it->Value, why, DefaultUsed(std::to_string(defaultValue))));
  return defaultValue;
}

double TAppSettings::ReadDouble(std::string_view name, double defaultValue) {
  if (!HasKey(name)) return GetValue(name, defaultValue);
  const std::string text = *RawValue(name);
  if (text.empty()) return std::numeric_limits<double>::quiet_NaN();
  if (text == "INF") return std::numeric_limits<double>::infinity();
  if (text == "-INF") return -std::numeric_limits<double>::infinity();
  if (const auto value = TryStrToFloat(ConvertDecimalMark(text, FFormatSettings.DecimalSeparator), FFormatSettings))
    return *value;
  const std::string defaultText = std::isnan(defaultValue) ? "none" : FloatToStrGeneral(defaultValue, FFormatSettings);
  ReportValueProblem(name, ValueProblem(name, text, "is not a number", DefaultUsed(defaultText)));
  return defaultValue;
}

std::optional<int64_t> TAppSettings::StoredInteger(std::string_view name, int64_t minValue, int64_t maxValue,
                                                   const std::string& instead) const {
  const auto it = Find(name);
  if (it == FLines.end()) return std::nullopt;
  std::string why;
  const auto value = CheckInteger(it->Value, minValue, maxValue, why);
  if (!value) ReportValueProblem(name, ValueProblem(name, it->Value, why, instead));
  return value;
}

std::vector<int> TAppSettings::StoredNumbers(std::string_view prefix) const {
  std::set<int> numbers;
  for (const TLine& line : FLines) {
    if (!line.Name.starts_with(prefix)) continue;
    const std::string_view rest = std::string_view(line.Name).substr(prefix.size());
    const std::size_t underscore = rest.find('_');
    if (underscore == 0 || underscore == std::string_view::npos) continue;
    int number = 0;
    const char* end = rest.data() + underscore;
    // Digits only: "+1" or "-1" name no record the program writes.
    if (!std::all_of(rest.data(), end, [](char c) { return c >= '0' && c <= '9'; })) continue;
    const auto [stop, ec] = std::from_chars(rest.data(), end, number);
    if (ec == std::errc{} && stop == end) numbers.insert(number);
  }
  return {numbers.begin(), numbers.end()};
}

std::vector<int> TAppSettings::RecordNumbers(std::string_view countKey, std::string_view prefix, int first,
                                            int maxCount) const {
  std::vector<int> numbers = StoredNumbers(prefix);
  std::erase_if(numbers, [&](int n) { return n < first || n - first >= maxCount; });
  const std::string instead = "the " + std::to_string(numbers.size()) + " stored records are read";
  std::optional<int64_t> count;
  if (HasKey(countKey)) {
    count = StoredInteger(countKey, 0, maxCount, instead);
  } else if (!numbers.empty()) {
    ReportValueProblem(countKey, "Settings value " + std::string(countKey) + " is missing; " + instead);
  }
  if (count) std::erase_if(numbers, [&](int n) { return n - first >= *count; });
  return numbers;
}

// ---- typed writes ---------------------------------------------------------

void TAppSettings::SetValue(std::string_view name, const std::string& value) {
  const std::string text = Sanitised(value);
  const auto it = Find(name);
  const std::string& stored = it == FLines.end() ? std::string() : it->Value;
  if (text == stored) return;
  ChangeText(name, text);
  if (FAutoSaveSettings) SaveSettings();
}

void TAppSettings::SetValue(std::string_view name, bool value) { SetValue(name, std::string(value ? "True" : "False")); }

void TAppSettings::SetValue(std::string_view name, char value) {
  SetValue(name, value == '\0' ? std::string() : std::string(1, value));
}

void TAppSettings::SetValue(std::string_view name, double value) {
  SetValue(name, std::isnan(value) ? std::string() : FloatToStrGeneral(value, FFormatSettings));
}

void TAppSettings::SetValue(std::string_view name, int value) { SetValue(name, std::to_string(value)); }

void TAppSettings::SetUValue(std::string_view name, uint32_t value) { SetValue(name, std::to_string(value)); }

// ---- properties -----------------------------------------------------------

int TAppSettings::VersionFormat() {
  FVersionFormat = ReadInteger("INI_Version", 0);
  return FVersionFormat;
}

void TAppSettings::SetVersionFormat(int value) { FVersionFormat = std::max(FVersionFormat, value); }

void TAppSettings::SetAutoSaveSettings(bool value) {
  FAutoSaveSettings = value;
  SetValue("AutoSaveSettings", value);
}
