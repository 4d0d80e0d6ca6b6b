// Device identities: the comparison table by table, USB adapters on a made-up
// by-id folder and sysfs tree, and pseudo-terminals on real openpty pairs.
#include "serial/device_identity.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <array>
#include <ctime>
#include <memory>
#include <vector>

#include <pty.h>
#include <unistd.h>

namespace kestrune::serial {
namespace {

DeviceIdentity usb(const char* node, std::uint64_t rdev, const char* name, const char* serial) {
  return {QString::fromLatin1(node), QString::fromLatin1(name), QString::fromLatin1(serial), rdev, false, 0};
}
DeviceIdentity pts(const char* node, std::uint64_t rdev, std::int64_t made) {
  return {QString::fromLatin1(node), {}, {}, rdev, true, made};
}
DeviceIdentity plain(const char* node, std::uint64_t rdev) {
  return {QString::fromLatin1(node), {}, {}, rdev, false, 0};
}

struct SameCase {
  const char* name;
  DeviceIdentity before;
  DeviceIdentity now;
  bool same;
};

TEST(SameDevice, ComparesWhatTellsEachKindOfDeviceApart) {
  const char* ftdi = "usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0";
  const SameCase cases[] = {
      {"an adapter back under another number", usb("/dev/ttyUSB0", 0xbc00, ftdi, "A1B2C3"),
       usb("/dev/ttyUSB1", 0xbc01, ftdi, "A1B2C3"), true},
      {"another adapter of the same model", usb("/dev/ttyUSB0", 0xbc00, ftdi, "A1B2C3"),
       usb("/dev/ttyUSB0", 0xbc00, ftdi, "Z9Y8X7"), false},
      {"another adapter without a serial number", usb("/dev/ttyUSB0", 0xbc00, ftdi, "A1B2C3"),
       usb("/dev/ttyUSB0", 0xbc00, "usb-Prolific_PL2303-if00-port0", ""), false},
      {"an adapter whose by-id link is not there yet", usb("/dev/ttyUSB0", 0xbc00, ftdi, "A1B2C3"),
       usb("/dev/ttyUSB0", 0xbc00, "", "A1B2C3"), false},
      {"an adapter known by its by-id name alone", usb("/dev/ttyUSB0", 0xbc00, ftdi, ""),
       usb("/dev/ttyUSB3", 0xbc03, ftdi, ""), true},
      {"a pseudo-terminal hung up and opened again", pts("/dev/pts/4", 0x8804, 1000), pts("/dev/pts/4", 0x8804, 1000),
       true},
      {"its number given to a new pseudo-terminal", pts("/dev/pts/4", 0x8804, 1000), pts("/dev/pts/4", 0x8804, 1001),
       false},
      {"a link pointed at another pseudo-terminal", pts("/dev/pts/4", 0x8804, 1000), pts("/dev/pts/5", 0x8805, 1000),
       false},
      {"a serial line", plain("/dev/ttyS0", 0x440), plain("/dev/ttyS0", 0x440), true},
  };
  for (const SameCase& c : cases) EXPECT_EQ(sameDevice(c.before, c.now), c.same) << c.name;
}

bool writeFile(const QString& path, const QByteArray& content) {
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

TEST(IdentifyUsbAdapter, FindsTheByIdNameAndTheSerialNumberAboveTheTty) {
  // /dev/serial/by-id and /sys/class/tty as a machine with two adapters (one
  // without a serial number and without a by-id link) and a built-in line has them.
  QTemporaryDir root;
  ASSERT_TRUE(root.isValid());
  const QDir dir(root.path());
  const IdentityFolders folders{dir.filePath(QStringLiteral("by-id")), dir.filePath(QStringLiteral("class"))};
  for (const char* folder : {"by-id", "dev", "devices/usb1/1-1/1-1:1.0/ttyUSB0", "devices/usb1/1-2/1-2:1.0/ttyUSB1",
                             "devices/platform/serial8250/tty/ttyS0", "class/ttyUSB0", "class/ttyUSB1", "class/ttyS0"})
    ASSERT_TRUE(dir.mkpath(QString::fromLatin1(folder)));
  for (const char* node : {"dev/ttyUSB0", "dev/ttyUSB1", "dev/ttyS0"})
    ASSERT_TRUE(writeFile(dir.filePath(QString::fromLatin1(node)), {}));
  ASSERT_TRUE(writeFile(dir.filePath(QStringLiteral("devices/usb1/1-1/idVendor")), "0403\n"));
  ASSERT_TRUE(writeFile(dir.filePath(QStringLiteral("devices/usb1/1-1/serial")), "A1B2C3\n"));
  ASSERT_TRUE(writeFile(dir.filePath(QStringLiteral("devices/usb1/1-2/idVendor")), "067b\n"));
  const std::array<std::pair<const char*, const char*>, 4> links{{
      {"by-id/usb-FTDI_FT232R_A1B2C3-if00-port0", "../dev/ttyUSB0"},
      {"class/ttyUSB0/device", "../../devices/usb1/1-1/1-1:1.0/ttyUSB0"},
      {"class/ttyUSB1/device", "../../devices/usb1/1-2/1-2:1.0/ttyUSB1"},
      {"class/ttyS0/device", "../../devices/platform/serial8250/tty/ttyS0"},
  }};
  for (const auto& [link, target] : links)
    ASSERT_TRUE(QFile::link(QString::fromLatin1(target), dir.filePath(QString::fromLatin1(link)))) << link;

  struct Case {
    const char* node;
    const char* name;
    const char* serial;
  };
  for (const Case& c : {Case{"dev/ttyUSB0", "usb-FTDI_FT232R_A1B2C3-if00-port0", "A1B2C3"}, Case{"dev/ttyUSB1", "", ""},
                        Case{"dev/ttyS0", "", ""}}) {
    DeviceIdentity identity;
    identity.node = QDir(dir.canonicalPath()).filePath(QString::fromLatin1(c.node));
    identifyUsbAdapter(identity, folders);
    EXPECT_EQ(identity.usbName, QString::fromLatin1(c.name)) << c.node;
    EXPECT_EQ(identity.usbSerial, QString::fromLatin1(c.serial)) << c.node;
  }
}

TEST(IdentifyDevice, OnlyCharacterDevicesHaveOne) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString file = dir.filePath(QStringLiteral("not-a-device"));
  ASSERT_TRUE(writeFile(file, "x"));
  for (const QString& path : {file, dir.path(), dir.filePath(QStringLiteral("missing")), QString()})
    EXPECT_FALSE(identifyDevice(path)) << path.toStdString();
  const std::optional<DeviceIdentity> null = identifyDevice(QStringLiteral("/dev/null"));
  ASSERT_TRUE(null);
  EXPECT_FALSE(null->pseudoTerminal);
}

struct Pty {
  int master = -1;
  int slave = -1;
  QString path;
  Pty() {
    std::array<char, 256> name{};
    if (::openpty(&master, &slave, name.data(), nullptr, nullptr) == 0) path = QString::fromLocal8Bit(name.data());
  }
  ~Pty() { close(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;
  void close() {
    for (int* fd : {&master, &slave}) {
      if (*fd >= 0) ::close(*fd);
      *fd = -1;
    }
  }
};

std::int64_t coarseNowNs() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME_COARSE, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

TEST(IdentifyDevice, APseudoTerminalNumberHandedOutAgainIsAnotherDevice) {
  Pty first;
  ASSERT_FALSE(first.path.isEmpty());
  const std::optional<DeviceIdentity> before = identifyDevice(first.path);
  ASSERT_TRUE(before);
  EXPECT_TRUE(before->pseudoTerminal);
  EXPECT_EQ(identifyDevice(first.path), before);  // stable while it lives

  // The kernel stamps a new node with its coarse clock; a pseudo-terminal
  // that loses its device and has its number taken by another program spans
  // more than one tick of it. Wait for the next tick, then free the number.
  QDeadlineTimer deadline(2000);
  while (coarseNowNs() <= before->madeNs && !deadline.hasExpired()) {
  }
  ASSERT_GT(coarseNowNs(), before->madeNs);
  first.close();
  EXPECT_FALSE(identifyDevice(first.path)) << "the node goes with its pseudo-terminal";

  // The lowest free number comes next; others may free lower ones meanwhile.
  std::vector<std::unique_ptr<Pty>> made;
  while (made.size() < 64) {
    made.push_back(std::make_unique<Pty>());
    ASSERT_FALSE(made.back()->path.isEmpty());
    if (made.back()->path == first.path) break;
    if (made.back()->path.mid(9).toInt() > first.path.mid(9).toInt())
      GTEST_SKIP() << "another program took " << first.path.toStdString();
  }
  ASSERT_EQ(made.back()->path, first.path);
  const std::optional<DeviceIdentity> after = identifyDevice(first.path);
  ASSERT_TRUE(after);
  EXPECT_EQ(after->node, before->node);
  EXPECT_EQ(after->rdev, before->rdev);  // the same number: only the making tells them apart
  EXPECT_FALSE(sameDevice(*before, *after));
}

}  // namespace
}  // namespace kestrune::serial
