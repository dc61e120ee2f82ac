#include "ui/ConnectionString.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <charconv>

#include "app/core/App_Sessions.h"

namespace {

constexpr int kMaxPort = 65535;
constexpr std::string_view kDemo = "DemoData";
constexpr std::string_view kHost = "HOST:/";
constexpr std::string_view kLive = "TCP:";
constexpr std::string_view kArchive = "ARCHIVE:";
constexpr std::string_view kLoop = " LOOP_FOR_EVER";
constexpr std::string_view kWait = " WAIT_INTERVAL";

bool IsIPv4(const std::string& text) {
  in_addr address{};
  return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

// A host name of letters, digits, dots and hyphens.
bool IsHostName(const std::string& text) {
  if (text.empty() || text.size() > 253) return false;
  return std::all_of(text.begin(), text.end(),
                     [](unsigned char c) { return std::isalnum(c) || c == '.' || c == '-'; });
}

// "YYYYMMDD_hhnnss".
bool IsArchiveTime(const std::string& text) {
  if (text.size() != 15 || text[8] != '_') return false;
  for (std::size_t i = 0; i < text.size(); ++i)
    if (i != 8 && !std::isdigit(static_cast<unsigned char>(text[i]))) return false;
  return true;
}

// Texts that the library would split or read as options.
bool HasSeparator(const std::string& text) {
  return text.find(':') != std::string::npos || text.find(';') != std::string::npos;
}

std::string UserIdPrefix(int userId) { return userId >= 1 && userId <= 4 ? "USERID=" + std::to_string(userId) + " " : ""; }

TConnectionBuild Fail(std::string why) { return {{}, ctUnknown, std::move(why)}; }

bool ParseInt(std::string_view text, int& value) {
  if (text.empty()) return false;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc{} && end == text.data() + text.size();
}

bool StartsWith(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
           return std::toupper(static_cast<unsigned char>(a)) == std::toupper(static_cast<unsigned char>(b));
         });
}

// Removes `option` (any case) from `text`; true when it was there.
bool TakeOption(std::string& text, std::string_view option) {
  std::string upper = text;
  std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char c) { return std::toupper(c); });
  const auto at = upper.find(option);
  if (at == std::string::npos) return false;
  text.erase(at, option.size());
  return true;
}

}  // namespace

TConnectionBuild BuildConnectionString(const TConnectionForm& form) {
  switch (form.Kind) {
    case TConnectionKind::Demo: return {std::string(kDemo), ctDemo, {}};
    case TConnectionKind::Serial:
      if (form.Device.empty()) return Fail("Choose a serial port");
      if (HasSeparator(form.Device)) return Fail("Invalid serial port name: " + form.Device);
      if (form.Baud < 300 || form.Baud > 4000000) return Fail("Invalid baud rate: " + std::to_string(form.Baud));
      return {UserIdPrefix(form.UserId) + form.Device + ":" + std::to_string(form.Baud), ctSerial, {}};
    case TConnectionKind::Usb:
      if (form.Device.empty()) return Fail("Choose a USB device");
      if (HasSeparator(form.Device)) return Fail("Invalid USB device name: " + form.Device);
      return {UserIdPrefix(form.UserId) + form.Device, ctUSB, {}};
    case TConnectionKind::Network: {
      if (form.Port < 0 || form.Port > kMaxPort) return Fail("Invalid port: " + std::to_string(form.Port));
      const std::string port = form.Port > 0 ? ":" + std::to_string(form.Port) : "";
      if (form.HostName) {
        if (!IsHostName(form.Address)) return Fail("Invalid host name: " + form.Address);
        return {UserIdPrefix(form.UserId) + std::string(kHost) + form.Address + port, ctNetwork, {}};
      }
      if (!IsIPv4(form.Address)) return Fail("Invalid IP address: " + form.Address);
      return {UserIdPrefix(form.UserId) + form.Address + port, ctNetwork, {}};
    }
    case TConnectionKind::Can: {
      if (form.CanAddress < 0 || form.CanAddress > 15) return Fail("Invalid CAN address: " + std::to_string(form.CanAddress));
      if (form.CanChannel < 0 || form.CanChannel > 3) return Fail("Invalid CAN channel: " + std::to_string(form.CanChannel));
      static constexpr char kHex[] = "0123456789ABCDEF";
      std::string text = "CAN:RACK" + std::string(1, kHex[form.CanAddress]);
      if (form.CanChannel != 0) text += " CHANNEL" + std::to_string(form.CanChannel);
      if (form.CanType21) text += " TYPE=0x21";
      return {text, ctCAN, {}};
    }
    case TConnectionKind::ServerLive:
    case TConnectionKind::ServerArchive: {
      if (!IsIPv4(form.Address)) return Fail("Invalid TCP-Server address: " + form.Address);
      if (form.Port < 1 || form.Port > kMaxPort) return Fail("Invalid TCP-Server port: " + std::to_string(form.Port));
      const std::string target = form.Address + ":" + std::to_string(form.Port);
      if (form.Kind == TConnectionKind::ServerLive) return {std::string(kLive) + target, ctTCPServer, {}};
      if (!IsArchiveTime(form.ArchiveStart)) return Fail("Invalid archive start time (YYYYMMDD_hhnnss): " + form.ArchiveStart);
      if (!form.ArchiveEnd.empty() && !IsArchiveTime(form.ArchiveEnd))
        return Fail("Invalid archive end time (YYYYMMDD_hhnnss): " + form.ArchiveEnd);
      if (!form.ArchiveEnd.empty() && form.ArchiveEnd < form.ArchiveStart)
        return Fail("The archive end time lies before its start time");
      std::string text = std::string(kArchive) + target + " " + form.ArchiveStart;
      if (!form.ArchiveEnd.empty()) text += ";" + form.ArchiveEnd;
      return {text, ctTCPServer, {}};
    }
    case TConnectionKind::File: {
      if (form.FilePath.empty()) return Fail("Choose a file to replay");
      // The library splits a connection string at its last colon: a path
      // holding one would be opened as something else.
      if (form.FilePath.find(':') != std::string::npos) return Fail("A replay file path must not contain ':'");
      if (form.FilePath.front() == ' ' || form.FilePath.back() == ' ') return Fail("A replay file path must not begin or end with a blank");
      std::string text = form.FilePath;
      if (form.LoopForEver) text += kLoop;
      if (form.WaitInterval) text += kWait;
      return {text, ctFile, {}};
    }
  }
  return Fail("Unknown connection kind");
}

std::optional<TConnectionForm> ParseConnectionString(const std::string& input) {
  TConnectionForm form;
  std::string text = input;
  if (text.empty()) return std::nullopt;
  if (text == kDemo) return form;
  if (StartsWith(text, "USERID=")) {
    const auto blank = text.find(' ');
    if (blank == std::string::npos || !ParseInt(std::string_view(text).substr(7, blank - 7), form.UserId)) return std::nullopt;
    text.erase(0, blank + 1);
  }
  if (StartsWith(text, "CAN:RACK") && text.size() >= 9) {
    form.Kind = TConnectionKind::Can;
    const char digit = static_cast<char>(std::toupper(static_cast<unsigned char>(text[8])));
    form.CanAddress = std::isdigit(static_cast<unsigned char>(digit)) ? digit - '0' : digit - 'A' + 10;
    if (const auto at = text.find(" CHANNEL"); at != std::string::npos && at + 8 < text.size()) form.CanChannel = text[at + 8] - '0';
    form.CanType21 = text.find("TYPE=0x21") != std::string::npos;
    return form;
  }
  const auto splitTarget = [&](std::string_view rest) {
    const auto colon = rest.rfind(':');
    if (colon == std::string_view::npos) {
      form.Address = std::string(rest);
      return;
    }
    form.Address = std::string(rest.substr(0, colon));
    ParseInt(rest.substr(colon + 1), form.Port);
  };
  if (StartsWith(text, kLive)) {
    form.Kind = TConnectionKind::ServerLive;
    splitTarget(std::string_view(text).substr(kLive.size()));
    return form;
  }
  if (StartsWith(text, kArchive)) {
    form.Kind = TConnectionKind::ServerArchive;
    std::string_view rest = std::string_view(text).substr(kArchive.size());
    const auto blank = rest.find(' ');
    splitTarget(rest.substr(0, blank));
    if (blank != std::string_view::npos) {
      const std::string_view times = rest.substr(blank + 1);
      const auto semicolon = times.find(';');
      form.ArchiveStart = std::string(times.substr(0, semicolon));
      if (semicolon != std::string_view::npos) form.ArchiveEnd = std::string(times.substr(semicolon + 1));
    }
    return form;
  }
  if (StartsWith(text, kHost)) {
    form.Kind = TConnectionKind::Network;
    form.HostName = true;
    splitTarget(std::string_view(text).substr(kHost.size()));
    return form;
  }
  {
    std::string rest = text;
    const bool loop = TakeOption(rest, kLoop);
    const bool wait = TakeOption(rest, kWait);
    if (loop || wait || (!rest.empty() && rest.front() == '/' && rest.find(':') == std::string::npos)) {
      form.Kind = TConnectionKind::File;
      form.FilePath = rest;
      form.LoopForEver = loop;
      form.WaitInterval = wait;
      return form;
    }
  }
  const auto colon = text.rfind(':');
  const std::string head = colon == std::string::npos ? text : text.substr(0, colon);
  if (IsIPv4(head)) {
    form.Kind = TConnectionKind::Network;
    splitTarget(text);
    return form;
  }
  if (colon != std::string::npos) {
    form.Kind = TConnectionKind::Serial;
    form.Device = head;
    ParseInt(std::string_view(text).substr(colon + 1), form.Baud);
    return form;
  }
  form.Kind = TConnectionKind::Usb;
  form.Device = text;
  return form;
}
