#pragma once

#include <optional>
#include <string>

// Everything the connection dialog asks for, by kind of connection.
enum class TConnectionKind : int { Demo, Serial, Usb, Network, Can, ServerLive, ServerArchive, File };

struct TConnectionForm {
  TConnectionKind Kind = TConnectionKind::Demo;
  std::string Device;       // serial port or USB device name as enumerated
  int Baud = 115200;        // serial port
  int UserId = 0;           // 1..4 for a shared counter, 0 = none
  std::string Address;      // network module, data server: IPv4 address, or a host name with HostName
  bool HostName = false;    // network module: Address is a name to resolve
  int Port = 0;             // network module (0 = default), data server
  int CanAddress = 0;       // rack address 0..15
  int CanChannel = 0;       // 0..3
  bool CanType21 = false;   // adapter type 0x21 instead of 0x20
  std::string ArchiveStart; // "YYYYMMDD_hhnnss"
  std::string ArchiveEnd;   // same, empty = open-ended
  std::string FilePath;
  bool LoopForEver = false;
  bool WaitInterval = false;
};

struct TConnectionBuild {
  std::string OpenString;  // empty when Error is set
  int ConnectionType = -1; // TConnectionType
  std::string Error;
};

// The connection string of the form, or why the form cannot make one.
TConnectionBuild BuildConnectionString(const TConnectionForm& form);
// The form a connection string was built from, as far as it can tell; a
// string of no known kind gives nothing.
std::optional<TConnectionForm> ParseConnectionString(const std::string& text);
