// What tells the device a port opened from another device that later sits at
// the same path: a port that lost its device reopens the path only when the
// same device is back there.
#pragma once

#include <QString>

#include <cstdint>
#include <optional>

namespace kestrune::serial {

struct DeviceIdentity {
  QString node;  // the device node the path led to, links followed
  // USB adapters: the /dev/serial/by-id name that leads to the node and the
  // adapter's serial number, either empty where the system has none. An
  // adapter keeps both when it comes back under another ttyUSB number.
  QString usbName;
  QString usbSerial;
  std::uint64_t rdev = 0;  // the device number
  // Pseudo-terminals: when the kernel made the /dev/pts node (its ctime). A
  // number is handed out again once its pseudo-terminal is gone, and the new
  // node is made later.
  bool pseudoTerminal = false;
  std::int64_t madeNs = 0;
  friend bool operator==(const DeviceIdentity&, const DeviceIdentity&) = default;
};

// Where the by-id links and the tty class of sysfs are (tests give folders of their own).
struct IdentityFolders {
  QString byId = QStringLiteral("/dev/serial/by-id");
  QString ttyClass = QStringLiteral("/sys/class/tty");
};

// Whether a device number with major `major` is a pseudo-terminal slave
// (Unix98 or legacy).
bool isPseudoTerminalMajor(unsigned int major);

// The identity of the character device at `path` now; nothing when the path
// leads to no character device.
std::optional<DeviceIdentity> identifyDevice(const QString& path, const IdentityFolders& folders = {});

// The by-id name and serial number of the USB adapter behind the tty `node`
// (/dev/ttyUSB0), as far as `folders` tell.
void identifyUsbAdapter(DeviceIdentity& identity, const IdentityFolders& folders);

// Whether `now` is the device `before` was: a USB adapter by its by-id name
// and serial number, a pseudo-terminal by its node, number and making, any
// other device by its node and number.
bool sameDevice(const DeviceIdentity& before, const DeviceIdentity& now);

}  // namespace kestrune::serial
