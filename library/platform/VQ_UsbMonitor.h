#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// ---- USB identities of the counters ---------------------------------------------------------
//
// Every counter is recognised by its USB vendor and product identifiers; this
// table is the one place they are written down (enumeration, transports and
// the hot-plug monitor all look here).

enum class TVQ_UsbTransport { Cdc, Hid };

struct TVQ_UsbIdentity {
  uint16_t VendorId;
  uint16_t ProductId;
  TVQ_UsbTransport Transport;
  bool Esp;                  // a counter of the newer generation (several users per USB port)
  bool BootLoader;           // this product id is the boot loader
  bool BootLoaderByProduct;  // boot loader when the product string contains "Bootloader"
};

namespace VQ_UsbIds {
inline constexpr uint16_t kVendorA = 0x3F41;
inline constexpr uint16_t kVendorB = 0x3F42;
inline constexpr uint16_t kVendorC = 0x3F43;
}  // namespace VQ_UsbIds

inline constexpr std::array<TVQ_UsbIdentity, 6> VQ_UsbIdentities{{
    {VQ_UsbIds::kVendorA, 0x0001, TVQ_UsbTransport::Cdc, true, false, false},   // ESP counter
    {VQ_UsbIds::kVendorB, 0x0002, TVQ_UsbTransport::Cdc, true, false, false},   // ESP counter
    {VQ_UsbIds::kVendorB, 0x0003, TVQ_UsbTransport::Cdc, false, false, false},  // Coldfire counter
    {VQ_UsbIds::kVendorC, 0x0004, TVQ_UsbTransport::Hid, false, false, false},  // Coldfire counter
    {VQ_UsbIds::kVendorC, 0x0005, TVQ_UsbTransport::Hid, false, true, false},   // its boot loader
    {VQ_UsbIds::kVendorB, 0x0006, TVQ_UsbTransport::Hid, false, false, true},   // Coldfire counter or boot loader
}};

// The counter identity of a vendor/product pair; nullptr for a foreign device.
const TVQ_UsbIdentity* FindUsbIdentity(uint16_t vendorId, uint16_t productId);

// Whether a counter with this identity and product string is a boot loader.
bool IsUsbBootLoader(const TVQ_UsbIdentity& identity, std::string_view product);

// ---- hot-plug events ---------------------------------------------------------------------------

enum class TUsbEventAction { Arrival, Removal };

enum class TUsbEventKind {
  CounterInterface,  // the node a counter transport opens (its tty or hidraw), identity known
  SerialPort,        // any other serial port
  Other,             // any other USB device or HID node: logged, nothing more
};

struct TUsbEvent {
  TUsbEventAction Action = TUsbEventAction::Arrival;
  TUsbEventKind Kind = TUsbEventKind::Other;
  std::string SerialNumber;  // the USB serial number text; empty when the device has none
  std::string DevicePath;    // the device node ("/dev/ttyACM0"), else the sysfs path
  bool BootLoader = false;   // a counter in its boot loader
};

// Longest serial number text kept: a USB string descriptor holds at most
// 126 UTF-16 units, which is at most 378 bytes of UTF-8.
inline constexpr std::size_t VQ_MaxUsbSerialText = 378;

// The properties of one udev event: the device's own udev properties
// ("ACTION", "SUBSYSTEM", "DEVTYPE", "DEVNAME", "DEVPATH", "PRODUCT",
// "ID_VENDOR_ID", "ID_MODEL_ID", "ID_SERIAL_SHORT", "ID_MODEL"), plus the
// sysfs attributes of the USB device it belongs to under "usb:idVendor",
// "usb:idProduct", "usb:serial" and "usb:product" when they could be read.
using TUdevProperties = std::map<std::string, std::string, std::less<>>;

// What an event means to the application: nothing for actions other than
// add and remove, for subsystems other than usb, tty and hidraw, for USB
// interfaces, and for a counter's own USB device (its tty or hidraw node,
// which comes after it and is what the transport opens, reports it).
std::optional<TUsbEvent> ClassifyUsbEvent(const TUdevProperties& properties);

// Watches the kernel's device events through udev: arrivals and removals of
// USB devices, serial ports and HID nodes. Fd() becomes readable when events
// are pending; Read() takes them without blocking. One thread at a time.
//
// Without a running udev (a container) no processed event would ever come,
// so the monitor is then not available and says why.
class TVQ_UsbMonitor {
 public:
  // `udevControl`: the socket whose presence shows that udev runs.
  explicit TVQ_UsbMonitor(const std::string& udevControl = "/run/udev/control");
  ~TVQ_UsbMonitor();
  TVQ_UsbMonitor(const TVQ_UsbMonitor&) = delete;
  TVQ_UsbMonitor& operator=(const TVQ_UsbMonitor&) = delete;

  bool Available() const;
  const std::string& Error() const { return FError; }  // why it is not available
  int Fd() const;                                      // -1 when not available

  // The pending events (at most kMaxEventsPerRead; more stay pending and
  // keep the descriptor readable). Empty when not available.
  std::vector<TUsbEvent> Read();

  static constexpr std::size_t kMaxEventsPerRead = 256;

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
  std::string FError;
};
