// The serial devices present on the machine, as the serial settings panel
// offers them: the seam that lists them and watches them come and go, and the
// pure step that gives each device its stable name.
#pragma once

#include <QObject>
#include <QString>

#include <utility>
#include <vector>

namespace kestrune::serial {

struct SerialDevice {
  // The name to put into ports.conf: the /dev/serial/by-id link where udev
  // made one (it survives re-plugging), else the kernel's device.
  QString path;
  // The kernel's device, e.g. /dev/ttyUSB0.
  QString systemLocation;
  // Maker, model and serial number as the device reports them; may be empty.
  QString manufacturer;
  QString description;
  QString serialNumber;
  friend bool operator==(const SerialDevice&, const SerialDevice&) = default;
};

// Lists the serial devices present. Real: system_devices.h; tests use a fake.
class DeviceSource : public QObject {
  Q_OBJECT
public:
  using QObject::QObject;
  ~DeviceSource() override = default;

  // The devices present now, in the order to show them.
  virtual std::vector<SerialDevice> devices() const = 0;
  // True when `path` names something that exists now (a device the list
  // leaves out, such as a pseudo-terminal, counts).
  virtual bool present(const QString& path) const = 0;
  // While watching, devicesChanged() is raised when devices come or go.
  virtual void setWatching(bool watching) = 0;

signals:
  void devicesChanged();
};

// Gives each device its stable name: `links` holds (link, device it points
// to) pairs, e.g. ("/dev/serial/by-id/usb-FTDI_...", "/dev/ttyUSB0"). A
// device no link points to keeps its kernel name; of several links to one
// device the first in name order is taken. The result is in the order of the
// kernel names, numbers compared as numbers (ttyS2 before ttyS10).
std::vector<SerialDevice> withStableNames(std::vector<SerialDevice> devices,
                                          const std::vector<std::pair<QString, QString>>& links);

}  // namespace kestrune::serial
