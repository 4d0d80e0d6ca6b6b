#include "serial/device_identity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

// stat(2) and the device number macros; nothing else here needs the platform.
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace kestrune::serial {

namespace {
// The USB device is a few levels above the tty in sysfs (the tty, its
// interface, the device); a bound keeps a strange tree from being walked far.
constexpr int kMaxLevelsUp = 8;
}  // namespace

bool isPseudoTerminalMajor(unsigned int major) { return (major >= 136 && major <= 143) || major == 3; }

void identifyUsbAdapter(DeviceIdentity& identity, const IdentityFolders& folders) {
  const QDir byId(folders.byId);
  for (const QFileInfo& link : byId.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::Name)) {
    if (link.isSymLink() && link.canonicalFilePath() == identity.node) {
      identity.usbName = link.fileName();
      break;
    }
  }
  // /sys/class/tty/NAME/device leads into the adapter's USB device, the
  // folder that has idVendor (and serial, where the adapter has one).
  const QString tty = QFileInfo(identity.node).fileName();
  const QString device =
      QFileInfo(folders.ttyClass + QLatin1Char('/') + tty + QStringLiteral("/device")).canonicalFilePath();
  if (device.isEmpty()) return;
  QDir dir(device);
  for (int level = 0; level < kMaxLevelsUp; ++level) {
    if (dir.exists(QStringLiteral("idVendor"))) {
      QFile serial(dir.filePath(QStringLiteral("serial")));
      if (serial.open(QIODevice::ReadOnly)) identity.usbSerial = QString::fromUtf8(serial.readAll()).trimmed();
      return;
    }
    if (!dir.cdUp()) return;
  }
}

std::optional<DeviceIdentity> identifyDevice(const QString& path, const IdentityFolders& folders) {
  const QString node = QFileInfo(path).canonicalFilePath();
  if (node.isEmpty()) return std::nullopt;
  struct stat st {};
  if (::stat(QFile::encodeName(node).constData(), &st) != 0 || !S_ISCHR(st.st_mode)) return std::nullopt;
  DeviceIdentity identity;
  identity.node = node;
  identity.rdev = st.st_rdev;
  identity.pseudoTerminal = isPseudoTerminalMajor(major(st.st_rdev));
  if (identity.pseudoTerminal)
    identity.madeNs = static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec;
  else
    identifyUsbAdapter(identity, folders);
  return identity;
}

bool sameDevice(const DeviceIdentity& before, const DeviceIdentity& now) {
  // An adapter is known by what it carries, whichever ttyUSB number it gets.
  if (!before.usbName.isEmpty() || !before.usbSerial.isEmpty())
    return now.usbName == before.usbName && now.usbSerial == before.usbSerial;
  return now.node == before.node && now.rdev == before.rdev && now.pseudoTerminal == before.pseudoTerminal &&
         now.madeNs == before.madeNs;
}

}  // namespace kestrune::serial
