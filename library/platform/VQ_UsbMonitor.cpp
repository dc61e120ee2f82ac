#include "library/platform/VQ_UsbMonitor.h"

#include <libudev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>

// ---- identities ------------------------------------------------------------------------------------

const TVQ_UsbIdentity* FindUsbIdentity(uint16_t vendorId, uint16_t productId) {
  const auto it = std::find_if(VQ_UsbIdentities.begin(), VQ_UsbIdentities.end(), [&](const TVQ_UsbIdentity& row) {
    return row.VendorId == vendorId && row.ProductId == productId;
  });
  return it == VQ_UsbIdentities.end() ? nullptr : &*it;
}

bool IsUsbBootLoader(const TVQ_UsbIdentity& identity, std::string_view product) {
  return identity.BootLoader || (identity.BootLoaderByProduct && product.find("Bootloader") != std::string_view::npos);
}

// ---- classification ---------------------------------------------------------------------------------

namespace {

std::string_view Property(const TUdevProperties& properties, std::string_view name) {
  const auto it = properties.find(name);
  return it == properties.end() ? std::string_view() : std::string_view(it->second);
}

// The first property of the list that is set.
std::string_view FirstProperty(const TUdevProperties& properties, std::initializer_list<std::string_view> names) {
  for (const std::string_view name : names)
    if (const std::string_view value = Property(properties, name); !value.empty()) return value;
  return {};
}

// One to four hexadecimal digits, nothing else.
std::optional<uint16_t> ParseUsbId(std::string_view text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (ec != std::errc{} || end != text.data() + text.size()) return std::nullopt;
  return static_cast<uint16_t>(value);
}

struct TUsbIds {
  uint16_t Vendor = 0;
  uint16_t Product = 0;
};

// The kernel's own form on a USB device: "vid/pid/bcdDevice" in hex without
// leading zeros ("3f42/3/100").
std::optional<TUsbIds> ParseKernelProduct(std::string_view text) {
  const std::size_t first = text.find('/');
  if (first == std::string_view::npos) return std::nullopt;
  const std::size_t second = text.find('/', first + 1);
  const auto vendor = ParseUsbId(text.substr(0, first));
  const auto product = ParseUsbId(text.substr(first + 1, second == std::string_view::npos ? std::string_view::npos
                                                                                            : second - first - 1));
  if (!vendor || !product) return std::nullopt;
  return TUsbIds{*vendor, *product};
}

// The identifiers of the USB device behind the event: its sysfs attributes
// when they were read, else what udev recorded, else (for a USB device) the
// kernel's product text.
std::optional<TUsbIds> UsbIds(const TUdevProperties& properties, bool isUsbDevice) {
  const auto vendor = ParseUsbId(FirstProperty(properties, {"usb:idVendor", "ID_VENDOR_ID"}));
  const auto product = ParseUsbId(FirstProperty(properties, {"usb:idProduct", "ID_MODEL_ID"}));
  if (vendor && product) return TUsbIds{*vendor, *product};
  if (isUsbDevice) return ParseKernelProduct(Property(properties, "PRODUCT"));
  return std::nullopt;
}

// The serial number as text that fits into a log line: bounded, control
// characters replaced.
std::string SerialText(std::string_view raw) {
  std::string text(raw.substr(0, VQ_MaxUsbSerialText));
  for (char& c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) c = '_';
  }
  return text;
}

}  // namespace

std::optional<TUsbEvent> ClassifyUsbEvent(const TUdevProperties& properties) {
  TUsbEvent event;
  const std::string_view action = Property(properties, "ACTION");
  if (action == "add")
    event.Action = TUsbEventAction::Arrival;
  else if (action == "remove")
    event.Action = TUsbEventAction::Removal;
  else
    return std::nullopt;

  const std::string_view subsystem = Property(properties, "SUBSYSTEM");
  const bool isUsbDevice = subsystem == "usb";
  if (isUsbDevice && Property(properties, "DEVTYPE") != "usb_device") return std::nullopt;
  if (!isUsbDevice && subsystem != "tty" && subsystem != "hidraw") return std::nullopt;

  const std::string_view node = Property(properties, "DEVNAME");
  event.DevicePath = !node.empty() ? std::string(node) : "/sys" + std::string(Property(properties, "DEVPATH"));
  event.SerialNumber = SerialText(FirstProperty(properties, {"usb:serial", "ID_SERIAL_SHORT"}));

  const std::optional<TUsbIds> ids = UsbIds(properties, isUsbDevice);
  const TVQ_UsbIdentity* identity = ids ? FindUsbIdentity(ids->Vendor, ids->Product) : nullptr;
  if (identity) {
    if (isUsbDevice) return std::nullopt;  // its interface node reports it
    event.Kind = TUsbEventKind::CounterInterface;
    event.BootLoader = IsUsbBootLoader(*identity, FirstProperty(properties, {"usb:product", "ID_MODEL"}));
    return event;
  }
  event.Kind = subsystem == "tty" ? TUsbEventKind::SerialPort : TUsbEventKind::Other;
  return event;
}

// ---- the monitor -----------------------------------------------------------------------------------------

namespace {

// Arrivals remembered for their removal, whose USB device is gone from sysfs
// by then; a bound keeps a machine with many short-lived devices in check.
constexpr std::size_t kMaxRemembered = 1024;

constexpr const char* kUsbAttributes[] = {"idVendor", "idProduct", "serial", "product"};

void Put(TUdevProperties& properties, std::string_view name, const char* value) {
  if (value != nullptr) properties.insert_or_assign(std::string(name), std::string(value));
}

}  // namespace

struct TVQ_UsbMonitor::TImpl {
  udev* Udev = nullptr;
  udev_monitor* Monitor = nullptr;
  // The USB attributes of nodes seen arriving, by sysfs path.
  std::map<std::string, TUdevProperties> Remembered;

  ~TImpl() {
    if (Monitor != nullptr) udev_monitor_unref(Monitor);
    if (Udev != nullptr) udev_unref(Udev);
  }

  TUdevProperties Properties(udev_device* device);
  void AddUsbAttributes(udev_device* device, TUdevProperties& properties);
};

// The event's properties, with the attributes of the USB device it belongs to.
TUdevProperties TVQ_UsbMonitor::TImpl::Properties(udev_device* device) {
  TUdevProperties properties;
  udev_list_entry* entry = nullptr;
  udev_list_entry_foreach(entry, udev_device_get_properties_list_entry(device)) {
    if (const char* name = udev_list_entry_get_name(entry)) Put(properties, name, udev_list_entry_get_value(entry));
  }
  Put(properties, "ACTION", udev_device_get_action(device));
  Put(properties, "SUBSYSTEM", udev_device_get_subsystem(device));
  Put(properties, "DEVTYPE", udev_device_get_devtype(device));
  Put(properties, "DEVNAME", udev_device_get_devnode(device));
  Put(properties, "DEVPATH", udev_device_get_devpath(device));

  const std::string devpath(Property(properties, "DEVPATH"));
  const std::string_view action = Property(properties, "ACTION");
  if (action == "add") {
    AddUsbAttributes(device, properties);
    TUdevProperties usb;
    for (const char* name : kUsbAttributes)
      if (const auto it = properties.find("usb:" + std::string(name)); it != properties.end()) usb.insert(*it);
    if (!usb.empty() && (Remembered.size() < kMaxRemembered || Remembered.count(devpath) != 0))
      Remembered.insert_or_assign(devpath, std::move(usb));
  } else if (action == "remove") {
    if (const auto it = Remembered.find(devpath); it != Remembered.end()) {
      properties.merge(it->second);  // keeps what the event itself says
      Remembered.erase(it);
    }
  }
  return properties;
}

void TVQ_UsbMonitor::TImpl::AddUsbAttributes(udev_device* device, TUdevProperties& properties) {
  const char* subsystem = udev_device_get_subsystem(device);
  const char* devtype = udev_device_get_devtype(device);
  const bool isUsbDevice = subsystem != nullptr && devtype != nullptr && std::strcmp(subsystem, "usb") == 0 &&
                           std::strcmp(devtype, "usb_device") == 0;
  // Owned by `device`, not to be released here.
  udev_device* usb = isUsbDevice ? device : udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
  if (usb == nullptr) return;
  for (const char* name : kUsbAttributes)
    Put(properties, "usb:" + std::string(name), udev_device_get_sysattr_value(usb, name));
}

TVQ_UsbMonitor::TVQ_UsbMonitor(const std::string& udevControl) {
  if (::access(udevControl.c_str(), F_OK) != 0) {
    FError = "udev is not running (" + udevControl + ": " + std::strerror(errno) + ")";
    return;
  }
  auto impl = std::make_unique<TImpl>();
  impl->Udev = udev_new();
  if (impl->Udev == nullptr) {
    FError = "udev_new failed";
    return;
  }
  impl->Monitor = udev_monitor_new_from_netlink(impl->Udev, "udev");
  if (impl->Monitor == nullptr) {
    FError = std::string("udev monitor cannot be created: ") + std::strerror(errno);
    return;
  }
  const int failed = udev_monitor_filter_add_match_subsystem_devtype(impl->Monitor, "usb", "usb_device") |
                     udev_monitor_filter_add_match_subsystem_devtype(impl->Monitor, "tty", nullptr) |
                     udev_monitor_filter_add_match_subsystem_devtype(impl->Monitor, "hidraw", nullptr);
  if (failed != 0) {
    FError = "udev monitor filter cannot be set";
    return;
  }
  if (const int error = udev_monitor_enable_receiving(impl->Monitor); error < 0) {
    FError = std::string("udev monitor cannot receive: ") + std::strerror(-error);
    return;
  }
  if (udev_monitor_get_fd(impl->Monitor) < 0) {
    FError = "udev monitor has no descriptor";
    return;
  }
  FImpl = std::move(impl);
}

TVQ_UsbMonitor::~TVQ_UsbMonitor() = default;

bool TVQ_UsbMonitor::Available() const { return FImpl != nullptr; }

int TVQ_UsbMonitor::Fd() const { return FImpl ? udev_monitor_get_fd(FImpl->Monitor) : -1; }

std::vector<TUsbEvent> TVQ_UsbMonitor::Read() {
  std::vector<TUsbEvent> events;
  if (!FImpl) return events;
  // The monitor's socket does not block: no device means nothing pending.
  for (std::size_t received = 0; received < kMaxEventsPerRead; ++received) {
    udev_device* device = udev_monitor_receive_device(FImpl->Monitor);
    if (device == nullptr) break;
    const TUdevProperties properties = FImpl->Properties(device);
    udev_device_unref(device);
    if (std::optional<TUsbEvent> event = ClassifyUsbEvent(properties)) events.push_back(std::move(*event));
  }
  return events;
}
