#pragma once

#include <string>
#include <string_view>
#include <vector>

// The serial ports of this machine, as the kernel lists them under
// /sys/class/tty: every tty with a hardware device behind it. Virtual
// terminals and pseudo-terminals have no device; the legacy 8250 UARTs
// (ttyS0, ttyS1, ...) always exist and count only when a UART was found.

struct TSerialPortList {
  std::vector<std::string> Ports;  // device paths ("/dev/ttyS0", "/dev/ttyUSB0", ...), natural order
  std::string Error;               // empty when the folder could be read
};

// `sysClassTty` is the folder to read (a parameter so tests can use a fake tree).
TSerialPortList EnumerateSerialPorts(const std::string& sysClassTty = "/sys/class/tty");

// Order in which embedded numbers count by value: "ttyS2" before "ttyS10".
bool NaturalLess(std::string_view a, std::string_view b);
