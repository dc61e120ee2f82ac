#include "app/core/App_MessageList.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "library/core/LogUnit.h"
#include "library/core/VQ_DllCommon.h"
#include "library/platform/VQ_File.h"

namespace {

constexpr std::string_view kDataTransferInterrupted = "Data transfer interrupted";

bool IsKnownKind(TMsgType kind) { return kind == mtError || kind == mtWarning || kind == mtInfo; }

std::string_view KindName(TMsgType kind) {
  switch (kind) {
    case mtError: return "Error";
    case mtWarning: return "Warning";
    default: return "Info";
  }
}

std::string_view KindLabel(TMsgType kind) {
  switch (kind) {
    case mtError: return "ERR  ";
    case mtWarning: return "WARN ";
    default: return "INFO ";
  }
}

// At least two upper-case hex digits; negative codes as their 32-bit pattern.
std::string Hex2(int value) {
  char buffer[16];
  const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, static_cast<uint32_t>(value), 16);
  std::string text(buffer, ec == std::errc{} ? end : buffer);
  for (char& c : text) c = static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
  if (text.size() < 2) text.insert(0, 2 - text.size(), '0');
  return text;
}

// Cuts an over-long text at a character boundary, so a UTF-8 sequence is never split.
std::string BoundedText(const std::string& text) {
  if (text.size() <= TMessageList::kMaxTextLength) return text;
  std::size_t end = TMessageList::kMaxTextLength;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

std::string AddLogLine(int id, int code, TMsgType kind, const std::string& text, bool viaThread) {
  std::string line = "TMainForm.Add";
  line += KindName(kind);
  if (viaThread) line += "Thread";
  line += "[" + std::to_string(id) + "]: (" + std::to_string(code);
  if (kind != mtError) line += "=0x" + Hex2(code);
  return line + ") " + text;
}

int SaturatingAdd(int a, int b) { return b > 0 && a > INT_MAX - b ? INT_MAX : a + b; }

std::string ErrnoText(int error) { return std::generic_category().message(error); }

}  // namespace

// ---- items -----------------------------------------------------------------------------------

bool TMessageItem::IsSameCodes(const TMessageItem& other) const {
  return sIndex == other.sIndex && MsgType == other.MsgType && Code == other.Code && SubCode == other.SubCode;
}

bool TMessageItem::IsSame(const TMessageItem& other) const {
  return IsSameCodes(other) && (Code == MsgCode::FpgaDataFormatError || Text == other.Text);
}

std::string ItemToString(const TMessageItem& item, const TMessageItem* last, const TMsgTextFormat& format) {
  const TDateTimeParts parts = LocalParts(item.Time);
  std::string date = FormatDateTime(format.DateFormat, parts);
  std::string time = FormatDateTime(format.TimeFormat, parts);
  if (last != nullptr) {
    const TDateTimeParts lastParts = LocalParts(last->Time);
    if (FormatDateTime(format.DateFormat, lastParts) == date) date.assign(date.size(), ' ');
    if (FormatDateTime(format.TimeFormat, lastParts) == time) time.assign(time.size(), ' ');
  }
  std::string kind(last != nullptr && last->MsgType == item.MsgType ? "     " : KindLabel(item.MsgType));
  if (item.ViaThread) kind += " via thread";
  const bool sameSource = last != nullptr && last->sIndex == item.sIndex;
  const char source = item.sIndex < 0 || sameSource ? ' ' : static_cast<char>('A' + item.sIndex % 26);

  std::string text = item.Text;
  std::replace_if(text.begin(), text.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
  if (item.Count > 1) text += " (" + std::to_string(item.Count) + ")";
  return date + ' ' + time + ' ' + kind + ' ' + source + ' ' + text;
}

// ---- the list ----------------------------------------------------------------------------------

TMessageList::TMessageList(int logId, const TVQ_Clock& clock) : FLogId(logId), FClock(clock) {}

void TMessageList::SetSessionColor(TSessionColor lookup) {
  std::lock_guard lock(FLock);
  FSessionColor = std::move(lookup);
}

void TMessageList::SetOnMessageAdded(TOnMessage hook) {
  std::lock_guard lock(FLock);
  FOnMessageAdded = std::move(hook);
}

void TMessageList::SetOnViaThreadHandled(TOnMessage hook) {
  std::lock_guard lock(FLock);
  FOnViaThreadHandled = std::move(hook);
}

void TMessageList::SetTextFormat(const TMsgTextFormat& format) {
  std::lock_guard lock(FLock);
  FFormat = format;
}

TOnAddMsg TMessageList::Callback() {
  return [this](int sessionIndex, int code, TMsgType kind, const std::string& text, int subCode) {
    Add(sessionIndex, code, kind, text, subCode, true);
  };
}

TMessageItem TMessageList::MakeItem(int id, int code, TMsgType kind, const std::string& text, int subCode,
                                    bool viaThread) const {
  TMessageItem item;
  item.Text = BoundedText(text);
  item.MsgType = kind;
  item.Code = code;
  item.SubCode = subCode;
  item.ViaThread = viaThread;
  if (id < 0) return item;  // the application
  // A session that is gone keeps its letter; only its colour is unknown.
  item.sIndex = id;
  TSessionColor lookup;
  {
    std::lock_guard lock(FLock);
    lookup = FSessionColor;
  }
  // Asked outside the list's lock: the session list has a lock of its own.
  if (lookup) item.sColor = lookup(id).value_or(TMessageItem::kAppColor) & 0xFFFFFF;
  return item;
}

void TMessageList::Add(int id, int code, TMsgType kind, const std::string& text, int subCode, bool viaThread) {
  if (!IsKnownKind(kind)) {
    WriteLog({"TMainForm.AddMessage dropped a message of unknown type " + std::to_string(static_cast<int>(kind))},
             true);
    return;
  }
  TMessageItem item = MakeItem(id, code, kind, text, subCode, viaThread);
  WriteLog({AddLogLine(id, code, kind, item.Text, viaThread)}, false);

  std::vector<std::string> logLines;
  std::vector<TMessageItem> added;
  TOnMessage hook;
  {
    std::lock_guard lock(FLock);
    // Read under the lock so list order and creation times agree; the walks
    // below stop at the first item outside their window.
    item.Time = ToUtcMs(FClock.WallNow());
    item.Created = FClock.Now();
    if (kind == mtError && code == MsgCode::ReferenceInvalid) RemoveReferenceFollowUps(item, logLines);
    FoldInto(item, logLines);
    if (kind != mtInfo) FShowWindow = true;
    Append(std::move(item), added);
    hook = FOnMessageAdded;
  }
  WriteLog(logLines, false);
  if (hook) Notify(hook, added);
}

// An invalid reference explains the PLL and transfer errors that came just
// before it from the same source; those go.
void TMessageList::RemoveReferenceFollowUps(const TMessageItem& item, std::vector<std::string>& logLines) {
  for (std::size_t i = FItems.size(); i-- > 0;) {
    const TMessageItem& old = FItems[i];
    if (item.Created - old.Created >= kReferenceErrorWindow) break;
    if (old.sIndex != item.sIndex || old.Seq == FStatementSeq) continue;
    if (old.Code == MsgCode::PllUnlocked) {
      logLines.push_back("TMainForm.AddErrorIntern delete PLL error");
    } else if (old.Text.find(kDataTransferInterrupted) != std::string::npos) {
      logLines.push_back("TMainForm.AddErrorIntern delete Data transfer interrupted error");
    } else {
      continue;
    }
    Erase(FItems.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

// Errors, and the informations that announce a recovery, fold into the
// newest equal item of the last minute, which moves to the end carrying its
// count. Warnings never fold.
void TMessageList::FoldInto(TMessageItem& item, std::vector<std::string>& logLines) {
  const bool folds = item.MsgType == mtError ||
                     (item.MsgType == mtInfo &&
                      (item.Code == MsgCode::ConnectionRunningAgain || item.Code == MsgCode::ReferenceClockOk));
  if (!folds) return;
  for (std::size_t i = FItems.size(); i-- > 0;) {
    const TMessageItem& old = FItems[i];
    if (item.Created - old.Created >= kFoldWindow) return;
    if (!old.IsSame(item)) continue;
    item.Count = SaturatingAdd(item.Count, old.Count);
    if (LogWanted(FLogId.load())) {
      logLines.push_back(item.MsgType == mtError ? "TMainForm.AddErrorIntern delete duplicate msg(" + std::to_string(i) +
                                                       ": " + ItemToString(old, nullptr, FFormat)
                                                 : "TMainForm.AddInfoIntern delete duplicate msg " +
                                                       ItemToString(old, nullptr, FFormat));
    }
    Erase(FItems.begin() + static_cast<std::ptrdiff_t>(i));
    return;
  }
}

void TMessageList::Append(TMessageItem item, std::vector<TMessageItem>& added) {
  item.Seq = FNextSeq++;
  ++FTypeCount[item.MsgType];
  FItems.push_back(std::move(item));
  Record(TMsgChange::TKind::Added, FItems.back());
  added.push_back(FItems.back());
  ApplyCap(added);
}

// Keeps the list at kMaxItems: informations go first, then warnings, errors
// last, oldest first within each kind. One information item, created the
// first time and updated afterwards, says how many were removed.
void TMessageList::ApplyCap(std::vector<TMessageItem>& added) {
  std::size_t removed = 0;
  const auto trim = [&] {
    while (FItems.size() > kMaxItems) {
      const TIter victim = OldestCapVictim();
      if (victim == FItems.end()) return;
      Erase(victim);
      ++removed;
    }
  };
  trim();
  if (removed == 0) return;

  bool created = false;
  if (!FStatementSeq || FindSeq(*FStatementSeq) == FItems.end()) {
    TMessageItem statement;
    statement.MsgType = mtInfo;
    statement.Time = ToUtcMs(FClock.WallNow());
    statement.Created = FClock.Now();
    statement.Seq = FNextSeq++;
    FStatementSeq = statement.Seq;
    ++FTypeCount[mtInfo];
    FItems.push_back(std::move(statement));
    created = true;
    trim();
  }
  FCapRemoved += removed;
  const TIter statement = FindSeq(*FStatementSeq);
  statement->Text = StatementText();
  if (created) {
    Record(TMsgChange::TKind::Added, *statement);
    added.push_back(*statement);
  } else {
    Record(TMsgChange::TKind::Updated, *statement);
  }
}

TMessageList::TIter TMessageList::OldestCapVictim() {
  const std::size_t infos = FTypeCount[mtInfo] - (FStatementSeq ? 1 : 0);
  const TMsgType kind = infos > 0 ? mtInfo : FTypeCount[mtWarning] > 0 ? mtWarning : mtError;
  return std::find_if(FItems.begin(), FItems.end(),
                      [&](const TMessageItem& item) { return item.MsgType == kind && item.Seq != FStatementSeq; });
}

std::string TMessageList::StatementText() const {
  return "Message list limit of " + std::to_string(kMaxItems) + " reached: " + std::to_string(FCapRemoved) +
         (FCapRemoved == 1 ? " older message removed" : " older messages removed");
}

void TMessageList::Erase(TIter at) {
  --FTypeCount[at->MsgType];
  if (at->Seq == FStatementSeq) FStatementSeq.reset();
  RecordRemoved(at->Seq);
  FItems.erase(at);
}

TMessageList::TIter TMessageList::FindSeq(uint64_t seq) {
  const TIter at = std::lower_bound(FItems.begin(), FItems.end(), seq,
                                    [](const TMessageItem& item, uint64_t value) { return item.Seq < value; });
  return at != FItems.end() && at->Seq == seq ? at : FItems.end();
}

void TMessageList::Record(TMsgChange::TKind kind, const TMessageItem& item) {
  TMsgChange change;
  change.Kind = kind;
  change.Serial = ++FSerial;
  change.Seq = item.Seq;
  change.Item = item;
  FChanges.push_back(std::move(change));
  if (FChanges.size() > kMaxChanges) FChanges.pop_front();
}

void TMessageList::RecordRemoved(uint64_t seq) {
  TMsgChange change;
  change.Kind = TMsgChange::TKind::Removed;
  change.Serial = ++FSerial;
  change.Seq = seq;
  FChanges.push_back(std::move(change));
  if (FChanges.size() > kMaxChanges) FChanges.pop_front();
}

void TMessageList::Notify(const TOnMessage& hook, const std::vector<TMessageItem>& added) const {
  for (const TMessageItem& item : added) {
    // A failing notification must not reach the producer (often the acquisition thread).
    try {
      hook(item);
    } catch (const std::exception& e) {
      WriteLog({"TMainForm.NotifyMessage failed (" + ExceptionClassName(e) + "): " + e.what()}, true);
    }
  }
}

void TMessageList::WriteLog(const std::vector<std::string>& lines, bool error) const {
  const int logId = FLogId.load();
  if (lines.empty() || !LogWanted(logId)) return;
  for (const std::string& line : lines) {
    if (error)
      LogError(logId, line);
    else
      LogInfo(logId, line);
  }
}

// ---- the window side ----------------------------------------------------------------------------

TMsgTickResult TMessageList::DisplayTick() {
  TMsgTickResult result;
  std::vector<TMessageItem> handled;
  TOnMessage hook;
  {
    std::lock_guard lock(FLock);
    // Items of producer threads all arrived after the last tick, so they sit
    // at the end of the list.
    auto first = FItems.end();
    while (first != FItems.begin() && std::prev(first)->Seq > FTickSeq) --first;
    for (auto it = first; it != FItems.end(); ++it) {
      if (!it->ViaThread) continue;
      handled.push_back(*it);
      it->ViaThread = false;
      Record(TMsgChange::TKind::Updated, *it);
    }
    FTickSeq = FNextSeq - 1;
    result.Changed = FSerial != FTickSerial;
    FTickSerial = FSerial;
    result.ShowWindow = FShowWindow;
    FShowWindow = false;
    hook = FOnViaThreadHandled;
  }
  if (!hook) return result;
  for (const TMessageItem& item : handled) {
    try {
      hook(item);
    } catch (const std::out_of_range& e) {
      WriteLog({"TMainForm.DisplayTimerTimer Messages Update failed: " + std::string(e.what())}, true);
    } catch (const std::exception& e) {
      WriteLog({"TMainForm.DisplayTimerTimer Messages Update failed"}, true);
      AddError(TMessageItem::kAppSource, 0, 0,
               "Internal Exception DisplayTimer Messages Update(" + ExceptionClassName(e) + "): " + e.what());
    }
  }
  return result;
}

TMsgChanges TMessageList::ReadChanges(uint64_t since) const {
  std::lock_guard lock(FLock);
  TMsgChanges result;
  result.Next = FSerial;
  if (since == FSerial) return result;
  const uint64_t oldestKept = FChanges.empty() ? FSerial + 1 : FChanges.front().Serial;
  if (since > FSerial || since + 1 < oldestKept) {
    result.Rebuild = true;
    result.Items.assign(FItems.begin(), FItems.end());
    return result;
  }
  result.Changes.assign(FChanges.begin() + static_cast<std::ptrdiff_t>(since + 1 - oldestKept), FChanges.end());
  return result;
}

std::vector<TMessageItem> TMessageList::Snapshot() const {
  std::lock_guard lock(FLock);
  return {FItems.begin(), FItems.end()};
}

std::size_t TMessageList::Size() const {
  std::lock_guard lock(FLock);
  return FItems.size();
}

uint64_t TMessageList::CapRemoved() const {
  std::lock_guard lock(FLock);
  return FCapRemoved;
}

void TMessageList::Clear() {
  std::lock_guard lock(FLock);
  FItems.clear();
  std::fill(std::begin(FTypeCount), std::end(FTypeCount), 0);
  FCapRemoved = 0;
  FStatementSeq.reset();
  // Nothing before an emptying matters to a reader.
  FChanges.clear();
  TMsgChange change;
  change.Kind = TMsgChange::TKind::Cleared;
  change.Serial = ++FSerial;
  FChanges.push_back(std::move(change));
}

// ---- saving ------------------------------------------------------------------------------------

std::string TMessageList::SaveText() const {
  std::lock_guard lock(FLock);
  std::string text;
  const TMessageItem* last = nullptr;
  for (const TMessageItem& item : FItems) {
    text += ItemToString(item, last, FFormat);
    text += "\r\n";
    last = &item;
  }
  return text;
}

TMsgSaveResult TMessageList::SaveToFile(const std::string& fileName) const {
  const std::string text = SaveText();
  if (text.empty()) return {TMsgSaveResult::TStatus::NothingToSave, "No message to save"};
  const auto fail = [&](const std::string& what, int error) {
    TMsgSaveResult result{TMsgSaveResult::TStatus::Failed,
                          "Messages not saved to " + fileName + ": " + what + ": " + ErrnoText(error)};
    WriteLog({"TMainForm.SaveMessages: " + result.Text}, true);
    return result;
  };
  const int fd = OpenExclusiveEmptied(fileName);
  if (fd < 0) return fail("the file could not be opened", errno);
  int error = 0;
  if (const std::string what = WriteSyncClose(fd, text, error); !what.empty()) return fail(what, error);
  return {TMsgSaveResult::TStatus::Saved, {}};
}
