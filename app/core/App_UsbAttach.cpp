#include "app/core/App_UsbAttach.h"

#include <algorithm>
#include <cctype>
#include <memory>
#include <string_view>

#include "app/core/Main.h"
#include "library/core/LogUnit.h"

namespace {

constexpr std::string_view kUserOption = "USERID=";
constexpr std::string_view kUsbPrefix = "USB: ";

bool IsBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string Trimmed(const std::string& text) {
  const auto first = std::find_if_not(text.begin(), text.end(), IsBlank);
  const auto last = std::find_if_not(text.rbegin(), text.rend(), IsBlank).base();
  return first < last ? std::string(first, last) : std::string();
}

// Position of `option` in `text`, any letter case.
std::size_t FindNoCase(const std::string& text, std::string_view option) {
  const auto it = std::search(text.begin(), text.end(), option.begin(), option.end(), [](char a, char b) {
    return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
  });
  return it == text.end() ? std::string::npos : static_cast<std::size_t>(it - text.begin());
}

// The session's log tag: ToString starts with it.
std::string SessionTag(const TVQSessionItem& session) {
  const std::string text = session.ToString();
  return text.substr(0, text.find(", "));
}

void MainLog(const TZepApp& app, const std::string& text) {
  if (LogWanted(app.MainLogId())) LogInfo(app.MainLogId(), text);
}

std::string ActionText(TUsbEventAction action) { return action == TUsbEventAction::Arrival ? "added" : "removed"; }

}  // namespace

std::string UsbDeviceName(const std::string& openString) {
  std::string name = openString;
  if (const std::size_t at = FindNoCase(name, kUserOption); at != std::string::npos) {
    std::size_t end = at + kUserOption.size();
    while (end < name.size() && IsDigit(name[end])) ++end;
    name.erase(at, end - at);
  }
  name = Trimmed(name);
  if (name.starts_with(kUsbPrefix)) name = Trimmed(name.substr(kUsbPrefix.size()));
  return name;
}

bool CheckUsbAttached(TVQSessionItem& session, const std::string& serialNumberText, const TUsbSessionOpener& open) {
  if (session.IsCopy() || session.DeviceOpened()) return false;
  const std::string openString = session.OpenString();
  if (openString.empty() || openString == kNoConnection) return false;
  // An empty name would occur in every text.
  const std::string name = UsbDeviceName(openString);
  if (name.empty() || serialNumberText.find(name) == std::string::npos) return false;
  const bool opened = open(session) && session.DeviceOpened();
  if (LogWanted(session.LogId())) {
    const std::string tag = SessionTag(session);
    if (opened)
      LogInfo(session.LogId(), tag + ".CheckUsbAttached: auto open ok");
    else
      LogError(session.LogId(), tag + ".CheckUsbAttached: auto open failed");
  }
  return opened;
}

void UsbAttached(TZepApp& app, const std::string& serial) {
  MainLog(app, "TMainForm.UsbAttached: V+Q USB device " + serial);
  for (const auto& base : app.Sessions()) {
    const auto session = std::dynamic_pointer_cast<TVQSessionItem>(base);
    if (!session) continue;
    CheckUsbAttached(*session, serial, [&app](TVQSessionItem& item) { return app.OpenSession(item.Index()); });
  }
}

void UsbDetached(TZepApp& app, const std::string& serial) {
  MainLog(app, "TMainForm.UsbDetached: V+Q USB device " + serial);
}

void HandleUsbEvents(TZepApp& app, const std::vector<TUsbEvent>& events) {
  for (const TUsbEvent& event : events) {
    switch (event.Kind) {
      case TUsbEventKind::CounterInterface:
        if (event.Action == TUsbEventAction::Arrival)
          UsbAttached(app, event.SerialNumber);
        else
          UsbDetached(app, event.SerialNumber);
        break;
      case TUsbEventKind::SerialPort:
        MainLog(app, "TMainForm.DeviceChange: serial port " + ActionText(event.Action) + " " + event.DevicePath);
        break;
      case TUsbEventKind::Other:
        MainLog(app, "TMainForm.DeviceChange: other device " + ActionText(event.Action) + " " + event.DevicePath +
                         " ignored");
        break;
    }
  }
}
