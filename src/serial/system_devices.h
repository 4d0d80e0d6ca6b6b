// The serial devices of this machine, from Qt's serial port information and
// udev's /dev/serial/by-id links.
#pragma once

#include "serial/device_list.h"

class QTimer;

namespace kestrune::serial {

class SystemDeviceSource final : public DeviceSource {
  Q_OBJECT
public:
  explicit SystemDeviceSource(QObject* parent = nullptr);

  std::vector<SerialDevice> devices() const override;
  bool present(const QString& path) const override;
  void setWatching(bool watching) override;

private:
  void poll();

  QTimer* timer_ = nullptr;
  std::vector<SerialDevice> last_;
};

}  // namespace kestrune::serial
