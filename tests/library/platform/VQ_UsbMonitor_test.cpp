#include "library/platform/VQ_UsbMonitor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "support/TempFolder.h"

namespace {

using Action = TUsbEventAction;
using Kind = TUsbEventKind;

// Properties as the monitor gathers them when a counter's CDC port appears:
// udev's own, plus the attributes of the USB device above the tty.
TUdevProperties CounterTty(const std::string& action = "add") {
  return {{"ACTION", action},
          {"SUBSYSTEM", "tty"},
          {"DEVNAME", "/dev/ttyACM0"},
          {"DEVPATH", "/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/tty/ttyACM0"},
          {"usb:idVendor", "3f42"},
          {"usb:idProduct", "0003"},
          {"usb:serial", "1A2B_Lab"},
          {"usb:product", "Counter"}};
}

TUdevProperties With(TUdevProperties properties, const std::string& name, const std::string& value) {
  properties.insert_or_assign(name, value);
  return properties;
}

TUdevProperties Without(TUdevProperties properties, const std::string& name) {
  properties.erase(name);
  return properties;
}

TUdevProperties HidNode(const std::string& vendor, const std::string& product, const std::string& productText) {
  return {{"ACTION", "add"},         {"SUBSYSTEM", "hidraw"},    {"DEVNAME", "/dev/hidraw3"},
          {"DEVPATH", "/x/hidraw3"}, {"usb:idVendor", vendor},   {"usb:idProduct", product},
          {"usb:serial", "00C0FFEE"}, {"usb:product", productText}};
}

struct TClassifyCase {
  const char* Name;
  TUdevProperties Properties;
  std::optional<TUsbEvent> Expected;
};

TUsbEvent Event(Action action, Kind kind, std::string serial, std::string path, bool bootLoader = false) {
  return {action, kind, std::move(serial), std::move(path), bootLoader};
}

TEST(UsbEventClassification, Table) {
  const std::string longSerial(500, 'S');
  const std::vector<TClassifyCase> cases = {
      {"counter CDC port arrives", CounterTty(),
       Event(Action::Arrival, Kind::CounterInterface, "1A2B_Lab", "/dev/ttyACM0")},
      // Removal: sysfs is gone; what udev recorded identifies the counter.
      {"counter CDC port leaves",
       {{"ACTION", "remove"},
        {"SUBSYSTEM", "tty"},
        {"DEVNAME", "/dev/ttyACM0"},
        {"ID_VENDOR_ID", "3f42"},
        {"ID_MODEL_ID", "0003"},
        {"ID_SERIAL_SHORT", "1A2B_Lab"}},
       Event(Action::Removal, Kind::CounterInterface, "1A2B_Lab", "/dev/ttyACM0")},
      {"ESP counter port", With(With(CounterTty(), "usb:idVendor", "3F41"), "usb:idProduct", "1"),
       Event(Action::Arrival, Kind::CounterInterface, "1A2B_Lab", "/dev/ttyACM0")},
      {"HID counter", HidNode("3f43", "0004", "Counter"),
       Event(Action::Arrival, Kind::CounterInterface, "00C0FFEE", "/dev/hidraw3")},
      {"boot loader by product id", HidNode("3f43", "0005", "Counter"),
       Event(Action::Arrival, Kind::CounterInterface, "00C0FFEE", "/dev/hidraw3", true)},
      {"boot loader by product text", HidNode("3f42", "0006", "Counter Bootloader"),
       Event(Action::Arrival, Kind::CounterInterface, "00C0FFEE", "/dev/hidraw3", true)},
      {"same id, running counter", HidNode("3f42", "0006", "Counter"),
       Event(Action::Arrival, Kind::CounterInterface, "00C0FFEE", "/dev/hidraw3")},
      // The raw attribute wins over udev's cleaned copy of the serial number.
      {"attribute serial preferred", With(CounterTty(), "ID_SERIAL_SHORT", "other"),
       Event(Action::Arrival, Kind::CounterInterface, "1A2B_Lab", "/dev/ttyACM0")},
      {"missing serial", Without(CounterTty(), "usb:serial"),
       Event(Action::Arrival, Kind::CounterInterface, "", "/dev/ttyACM0")},
      {"serial cleaned and bounded", With(CounterTty(), "usb:serial", "A\nB\x7f" + longSerial),
       Event(Action::Arrival, Kind::CounterInterface, ("A_B_" + longSerial).substr(0, VQ_MaxUsbSerialText),
             "/dev/ttyACM0")},
      {"foreign USB serial adapter", With(With(CounterTty(), "usb:idVendor", "0403"), "usb:idProduct", "6001"),
       Event(Action::Arrival, Kind::SerialPort, "1A2B_Lab", "/dev/ttyACM0")},
      {"on-board serial port", {{"ACTION", "add"}, {"SUBSYSTEM", "tty"}, {"DEVNAME", "/dev/ttyS0"}},
       Event(Action::Arrival, Kind::SerialPort, "", "/dev/ttyS0")},
      // Malformed ids are no identity: the port is an ordinary serial port.
      {"ids with garbage", With(CounterTty(), "usb:idVendor", "3f42x"),
       Event(Action::Arrival, Kind::SerialPort, "1A2B_Lab", "/dev/ttyACM0")},
      {"ids too long", With(CounterTty(), "usb:idVendor", "13f42"),
       Event(Action::Arrival, Kind::SerialPort, "1A2B_Lab", "/dev/ttyACM0")},
      {"foreign HID node", HidNode("046d", "c52b", "Receiver"),
       Event(Action::Arrival, Kind::Other, "00C0FFEE", "/dev/hidraw3")},
      {"foreign USB device, kernel ids only",
       {{"ACTION", "add"},
        {"SUBSYSTEM", "usb"},
        {"DEVTYPE", "usb_device"},
        {"DEVNAME", "/dev/bus/usb/001/007"},
        {"PRODUCT", "46d/c52b/1211"}},
       Event(Action::Arrival, Kind::Other, "", "/dev/bus/usb/001/007")},
      {"no device node: the sysfs path",
       {{"ACTION", "remove"}, {"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_device"}, {"DEVPATH", "/devices/usb1/1-4"}},
       Event(Action::Removal, Kind::Other, "", "/sys/devices/usb1/1-4")},
      // A counter's USB device itself: its port or HID node reports it.
      {"counter USB device",
       {{"ACTION", "add"}, {"SUBSYSTEM", "usb"}, {"DEVTYPE", "usb_device"}, {"PRODUCT", "3f42/3/100"}},
       std::nullopt},
      {"USB interface", With(With(CounterTty(), "SUBSYSTEM", "usb"), "DEVTYPE", "usb_interface"), std::nullopt},
      {"bind is no arrival", With(CounterTty(), "ACTION", "bind"), std::nullopt},
      {"change is no arrival", With(CounterTty(), "ACTION", "change"), std::nullopt},
      {"no action", Without(CounterTty(), "ACTION"), std::nullopt},
      {"other subsystem", With(CounterTty(), "SUBSYSTEM", "block"), std::nullopt},
  };
  for (const TClassifyCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::optional<TUsbEvent> event = ClassifyUsbEvent(c.Properties);
    ASSERT_EQ(event.has_value(), c.Expected.has_value());
    if (!event) continue;
    EXPECT_EQ(event->Action, c.Expected->Action);
    EXPECT_EQ(event->Kind, c.Expected->Kind);
    EXPECT_EQ(event->SerialNumber, c.Expected->SerialNumber);
    EXPECT_EQ(event->DevicePath, c.Expected->DevicePath);
    EXPECT_EQ(event->BootLoader, c.Expected->BootLoader);
  }
}

// Every identity row is unique, so a device is never two counters at once.
TEST(UsbIdentities, PairsAreUnique) {
  for (std::size_t i = 0; i < VQ_UsbIdentities.size(); ++i)
    for (std::size_t j = i + 1; j < VQ_UsbIdentities.size(); ++j)
      EXPECT_FALSE(VQ_UsbIdentities[i].VendorId == VQ_UsbIdentities[j].VendorId &&
                   VQ_UsbIdentities[i].ProductId == VQ_UsbIdentities[j].ProductId)
          << i << " and " << j;
}

void ExpectNotAvailable(TVQ_UsbMonitor& monitor) {
  EXPECT_FALSE(monitor.Available());
  EXPECT_FALSE(monitor.Error().empty());
  EXPECT_EQ(monitor.Fd(), -1);
  EXPECT_TRUE(monitor.Read().empty());
}

TEST(UsbMonitor, WithoutUdevItIsNotAvailableAndSaysWhy) {
  TTempFolder folder;
  const std::string control = folder.File("no-udev-control");
  TVQ_UsbMonitor monitor(control);
  ExpectNotAvailable(monitor);
  EXPECT_NE(monitor.Error().find(control), std::string::npos) << monitor.Error();
}

// Where udev seems to run (a file stands in for its control socket) the
// monitor opens its netlink socket: a descriptor, and a read that does not
// block when nothing happened. Where even that is refused, it says why.
TEST(UsbMonitor, WhereUdevRuns) {
  TTempFolder folder;
  const std::string control = folder.File("control");
  std::ofstream(control) << "";
  TVQ_UsbMonitor monitor(control);
  if (!monitor.Available()) {
    ExpectNotAvailable(monitor);
    return;
  }
  EXPECT_TRUE(monitor.Error().empty());
  ASSERT_GE(monitor.Fd(), 0);
  const auto start = std::chrono::steady_clock::now();
  monitor.Read();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

}  // namespace
