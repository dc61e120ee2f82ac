#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "library/core/VQ_DllCommon.h"

// A settings file of name=value lines (no sections) with typed access.
// Names match without regard to letter case; lines keep the order of their
// first insertion; a value set to the empty text removes its line. Reading a
// missing key adds it with the default, so a saved file lists every key that
// was read.
//
// Not thread-safe: one thread (the main thread) uses a store. Code on other
// threads works on copies of the values it needs.
//
// Files: lines end in CR LF and are written as UTF-8; a UTF-8 byte-order mark
// read with the file is written back. Lines that are not "name=value" (no "=",
// an empty name, control characters or NUL bytes, longer than kMaxLineLength)
// are dropped on load and counted in one text of Problems(); the valid lines
// stay. Blank lines are skipped silently.
class TAppSettings {
 public:
  static constexpr std::size_t kMaxFileSize = 16u * 1024 * 1024;  // a larger file is not read
  static constexpr std::size_t kMaxLineLength = 64u * 1024;       // a longer line is dropped

  TAppSettings();
  virtual ~TAppSettings() = default;

  // Binds the file and replaces the lines with its content; a missing file is
  // created empty (and missing folders with mode 0700). False (with
  // LoadError(), also the first text of Problems()) when the file cannot be
  // read or created; the store then starts empty. A file that exists but
  // cannot be read is never overwritten by SaveSettings() without a name.
  // Re-reads "AutoSaveSettings" from the loaded lines.
  bool LoadFromFile(const std::string& fileName);
  // Writes "INI_Version" and then the whole file, atomically (a temporary
  // file in the same folder, synced, renamed over it) and readable by the
  // owner only (0600). False with SaveError() when that fails; the old file
  // then stays as it was. True without writing when no file is bound.
  bool SaveSettings();
  bool SaveSettings(const std::string& fileName);
  // As SaveSettings(), but the file is written only when its content would
  // differ from what was last read from it or written to it.
  bool SaveIfChanged();

  // Typed reads; a missing key is added with the default.
  bool GetValue(std::string_view name, bool defaultValue);
  char GetValue(std::string_view name, char defaultValue);
  // A stored "." or "," is taken as the format's separator; an empty value
  // reads as NaN; "INF" and "-INF" as infinities.
  double GetValue(std::string_view name, double defaultValue);  // throws EConvertError on a malformed number
  int GetValue(std::string_view name, int defaultValue);        // throws EConvertError on a malformed number
  std::string GetValue(std::string_view name, const std::string& defaultValue);
  std::string GetValue(std::string_view name, const char* defaultValue) {
    return GetValue(name, std::string(defaultValue));
  }
  uint32_t GetUValue(std::string_view name, uint32_t defaultValue);
  bool IsEnabled(std::string_view name, bool defaultValue) { return GetValue(name, defaultValue); }

  // Checked reads for values that come from the file: they never throw. A
  // missing key gives the default and is added, as GetValue does. A stored
  // text that is no number, is empty or lies outside minValue..maxValue
  // gives the default as well, stays in the file as it is, and leaves one
  // text naming the key in Problems() (once per key and load).
  int ReadInteger(std::string_view name, int defaultValue, int minValue = std::numeric_limits<int>::min(),
                  int maxValue = std::numeric_limits<int>::max());
  int64_t ReadInt64(std::string_view name, int64_t defaultValue, int64_t minValue, int64_t maxValue);
  // An empty value reads as NaN, as GetValue does.
  double ReadDouble(std::string_view name, double defaultValue);
  // The integer stored under `name` without adding a missing key: nothing
  // when it is missing or fails as above (then reported the same way, with
  // `instead` saying what is done instead).
  std::optional<int64_t> StoredInteger(std::string_view name, int64_t minValue, int64_t maxValue,
                                       const std::string& instead = "the default is used") const;
  // The numbers n of the stored names that begin with prefix + n + "_", in
  // ascending order: which records ("Session_0_", "View_3_") the file holds.
  std::vector<int> StoredNumbers(std::string_view prefix) const;
  // The records "prefix + n + _" that the count under `countKey` names:
  // the stored ones among n = first .. first + count - 1. When the count is
  // missing while records are stored, damaged or above maxCount, every
  // stored record up to that bound is taken, and the problem says so: a
  // damaged count must not cost the records themselves.
  std::vector<int> RecordNumbers(std::string_view countKey, std::string_view prefix, int first, int maxCount) const;
  // A problem about the value of `name` that the user should hear of; only
  // the first one per key and load is kept.
  void ReportValueProblem(std::string_view name, const std::string& text) const;

  // Typed writes; an unchanged text does nothing; with AutoSaveSettings the
  // file is saved at once. Control characters (line breaks, NUL) are stored
  // as blanks, so a value can never split its line.
  void SetValue(std::string_view name, const std::string& value);
  void SetValue(std::string_view name, const char* value) { SetValue(name, std::string(value)); }
  void SetValue(std::string_view name, bool value);
  void SetValue(std::string_view name, char value);  // the one character itself
  void SetValue(std::string_view name, double value);  // NaN removes the line
  void SetValue(std::string_view name, int value);
  void SetUValue(std::string_view name, uint32_t value);

  // Writes a line of a record this program keeps but does not own exactly
  // as it was read, an empty value included (no auto-save).
  void KeepValue(std::string_view name, const std::string& value);

  // Removes every line whose name begins with `prefix` (case-sensitive).
  void RemoveKeys(std::string_view prefix);
  bool TestKeys(std::string_view prefix) const;
  bool HasKey(std::string_view name) const;
  // The raw text of a key, without adding it (nothing when absent).
  std::optional<std::string> RawValue(std::string_view name) const;

  // "INI_Version": reading re-reads the key; writing only ever raises it.
  int VersionFormat();
  void SetVersionFormat(int value);

  bool AutoSaveSettings() const { return FAutoSaveSettings; }
  void SetAutoSaveSettings(bool value);
  const std::string& Filename() const { return FFilename; }
  bool ValuesLoaded() const { return FValuesLoaded; }
  const TFormatSettings& FormatSettings() const { return FFormatSettings; }
  void SetFormatSettings(const TFormatSettings& value) { FFormatSettings = value; }
  // Why the last load or save failed; empty when it did not.
  const std::string& LoadError() const { return FLoadError; }
  const std::string& SaveError() const { return FSaveError; }
  // Texts for the user about the loaded file: why it could not be read, how
  // many lines were dropped, and (from the subclasses) values that were
  // replaced by their defaults. The application posts each one as an
  // "E - Error INI File" message. Reset by LoadFromFile.
  const std::vector<std::string>& Problems() const { return FProblems; }
  // The problems added since the last call.
  std::vector<std::string> TakeProblems();
  // The lines as they would be written (without line ends).
  std::vector<std::string> Lines() const;
  void Clear();

 protected:
  void AddProblem(std::string text) { FProblems.push_back(std::move(text)); }
  // Sets the text of a line without the auto-save (empty removes it).
  void StoreText(std::string_view name, const std::string& text);

  bool FAutoSaveSettings = false;
  std::string FFilename;
  bool FValuesLoaded = false;
  int FVersionFormat = 0;
  TFormatSettings FFormatSettings;
  std::string FLoadError;
  std::string FSaveError;
  // Problems are no state of the settings: const readers report them too.
  mutable std::vector<std::string> FProblems;
  mutable std::set<std::string> FReportedKeys;  // lower-case names already reported
  std::size_t FProblemsTaken = 0;

 private:
  struct TLine {
    std::string Name;
    std::string Value;
  };

  std::vector<TLine>::iterator Find(std::string_view name);
  std::vector<TLine>::const_iterator Find(std::string_view name) const;
  // Adds a missing key with the stored form of its default; the stored text otherwise.
  const std::string& ReadOrAdd(std::string_view name, std::string defaultText);
  void ChangeText(std::string_view name, const std::string& text);
  void ParseContent(std::string_view content);
  std::string Content() const;  // the file's text as SaveSettings writes it
  bool WriteAtomically(const std::string& fileName, const std::string& content);

  std::vector<TLine> FLines;
  bool FHasBom = false;
  // The bound file exists but could not be read: saving would destroy it.
  bool FSaveBlocked = false;
  std::string FFileContent;  // the file's text as last read or written
};
