#include "library/platform/VQ_SerialPorts.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "support/TempFolder.h"

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

// A copy of /sys/class/tty: entries are links into a devices folder as in
// the real tree, each with or without a `device` of its own.
class FakeTtyClass {
 public:
  FakeTtyClass() {
    fs::create_directories(Root());
    fs::create_directories(Devices());
  }

  std::string Root() const { return (FFolder.Path() / "class" / "tty").string(); }

  // A tty with hardware behind it: `device` links to the parent device.
  fs::path Port(const std::string& name) {
    const fs::path entry = Entry(name);
    fs::create_directories(Devices() / ("parent_" + name));
    fs::create_directory_symlink(Devices() / ("parent_" + name), entry / "device");
    return entry;
  }
  // A legacy UART with the type the kernel found there.
  void Uart(const std::string& name, const std::string& typeFile) {
    std::ofstream(Port(name) / "type") << typeFile;
  }
  // Virtual consoles, pseudo-terminals: no `device`.
  void Virtual(const std::string& name) { std::ofstream(Entry(name) / "dev") << "4:1\n"; }

 private:
  fs::path Devices() const { return FFolder.Path() / "devices"; }
  fs::path Entry(const std::string& name) {
    const fs::path target = Devices() / "tty" / name;
    fs::create_directories(target);
    fs::create_directory_symlink(target, fs::path(Root()) / name);
    return target;
  }

  TTempFolder FFolder;
};

TEST(SerialPorts, ListsTheTtysWithAHardwareDevice) {
  FakeTtyClass tty;
  tty.Port("ttyUSB0");
  tty.Port("ttyUSB10");
  tty.Port("ttyUSB2");
  tty.Port("ttyACM0");
  tty.Port("ttyAMA0");
  tty.Port("ttySAC0");  // another driver's name: no type needed
  tty.Virtual("tty");
  tty.Virtual("tty0");
  tty.Virtual("tty63");
  tty.Virtual("console");
  tty.Virtual("ptmx");

  const TSerialPortList list = EnumerateSerialPorts(tty.Root());
  EXPECT_EQ(list.Error, "");
  EXPECT_THAT(list.Ports,
              ElementsAre("/dev/ttyACM0", "/dev/ttyAMA0", "/dev/ttySAC0", "/dev/ttyUSB0", "/dev/ttyUSB2",
                          "/dev/ttyUSB10"));
}

TEST(SerialPorts, LegacyUartsCountOnlyWithAKnownType) {
  FakeTtyClass tty;
  tty.Uart("ttyS0", "4\n");  // PORT_16550A
  tty.Uart("ttyS1", "0\n");  // PORT_UNKNOWN: nothing answered there
  tty.Uart("ttyS2", "4");
  tty.Uart("ttyS3", "");
  tty.Uart("ttyS4", "none\n");
  tty.Uart("ttyS10", " 14\n");
  tty.Port("ttyS5");  // no type file at all
  tty.Virtual("ttyS6");

  const TSerialPortList list = EnumerateSerialPorts(tty.Root());
  EXPECT_EQ(list.Error, "");
  EXPECT_THAT(list.Ports, ElementsAre("/dev/ttyS0", "/dev/ttyS2", "/dev/ttyS10"));
}

TEST(SerialPorts, DeviceMayBeAFolderInACopiedTree) {
  TTempFolder folder;
  fs::create_directories(folder.Path() / "ttyUSB0" / "device");
  fs::create_directories(folder.Path() / "tty1");
  std::ofstream(folder.Path() / "ttyACM0") << "";  // a stray file, no folder
  const TSerialPortList list = EnumerateSerialPorts(folder.Path().string());
  EXPECT_EQ(list.Error, "");
  EXPECT_THAT(list.Ports, ElementsAre("/dev/ttyUSB0"));
}

TEST(SerialPorts, EmptyFolderHasNoPorts) {
  FakeTtyClass tty;
  const TSerialPortList list = EnumerateSerialPorts(tty.Root());
  EXPECT_EQ(list.Error, "");
  EXPECT_THAT(list.Ports, IsEmpty());
}

TEST(SerialPorts, UnreadableFolderIsAnError) {
  TTempFolder folder;
  std::ofstream(folder.File("plain")) << "not a folder";
  for (const std::string& root : {folder.File("missing"), folder.File("plain")}) {
    SCOPED_TRACE(root);
    const TSerialPortList list = EnumerateSerialPorts(root);
    EXPECT_THAT(list.Error, HasSubstr("Cannot read " + root + ": "));
    EXPECT_THAT(list.Ports, IsEmpty());
  }
}

// Whatever this machine has: device paths, or, where the kernel's list cannot
// be read (no /sys in a container), an error that says so and no ports.
TEST(SerialPorts, ThisMachineCanBeListed) {
  const TSerialPortList list = EnumerateSerialPorts();
  if (!fs::is_directory("/sys/class/tty")) {
    EXPECT_THAT(list.Error, HasSubstr("Cannot read /sys/class/tty: "));
    EXPECT_THAT(list.Ports, IsEmpty());
    return;
  }
  EXPECT_EQ(list.Error, "");
  for (const std::string& port : list.Ports) EXPECT_THAT(port, ::testing::StartsWith("/dev/"));
}

TEST(SerialPorts, NaturalOrderComparesNumbersByValue) {
  struct TPair {
    const char* Smaller;
    const char* Larger;
  };
  for (const TPair& p : {TPair{"ttyS2", "ttyS10"}, TPair{"ttyS9", "ttyS10"}, TPair{"ttyS", "ttyS0"},
                         TPair{"ttyACM0", "ttyS0"}, TPair{"ttyS1", "ttyS1a"}, TPair{"ttyS007", "ttyS8"},
                         TPair{"ttyS01", "ttyS1"},  // same value: still a strict order
                         TPair{"ttyS99999999999999999999", "ttyS100000000000000000000"},
                         TPair{"/dev/ttyUSB2", "/dev/ttyUSB10"}, TPair{"a2b3", "a2b10"}}) {
    SCOPED_TRACE(std::string(p.Smaller) + " < " + p.Larger);
    EXPECT_TRUE(NaturalLess(p.Smaller, p.Larger));
    EXPECT_FALSE(NaturalLess(p.Larger, p.Smaller));
  }
  EXPECT_FALSE(NaturalLess("ttyS10", "ttyS10"));
  EXPECT_FALSE(NaturalLess("", ""));
  EXPECT_TRUE(NaturalLess("", "ttyS0"));
}

}  // namespace
