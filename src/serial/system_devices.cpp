// The only place that asks the system which serial devices exist.
//
// QSerialPortInfo lists the devices with their maker, model and serial number
// (through libudev where present) and leaves out the ttyS* placeholders the
// kernel creates without hardware. It has no signal for devices coming and
// going, so the list is polled once a second, and only while the serial panel
// is shown: one enumeration a second costs little, a person plugging in a
// cable does not notice the delay, and it spares a second library (libudev's
// monitor) with its own event loop integration.
#include "serial/system_devices.h"

#include <QDir>
#include <QFileInfo>
#include <QSerialPortInfo>
#include <QTimer>

namespace kestrune::serial {

namespace {

constexpr int PollIntervalMs = 1000;
const QString ByIdFolder = QStringLiteral("/dev/serial/by-id");

// udev's stable names: each link in /dev/serial/by-id and the device it points to.
std::vector<std::pair<QString, QString>> byIdLinks() {
  std::vector<std::pair<QString, QString>> links;
  const QDir folder(ByIdFolder);
  for (const QFileInfo& link : folder.entryInfoList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
    const QString target = link.canonicalFilePath();
    if (!target.isEmpty()) links.emplace_back(link.absoluteFilePath(), target);
  }
  return links;
}

}  // namespace

SystemDeviceSource::SystemDeviceSource(QObject* parent) : DeviceSource(parent), timer_(new QTimer(this)) {
  timer_->setInterval(PollIntervalMs);
  connect(timer_, &QTimer::timeout, this, &SystemDeviceSource::poll);
}

std::vector<SerialDevice> SystemDeviceSource::devices() const {
  std::vector<SerialDevice> found;
  for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
    found.push_back(SerialDevice{info.systemLocation(), info.systemLocation(), info.manufacturer(), info.description(),
                                 info.serialNumber()});
  }
  return withStableNames(std::move(found), byIdLinks());
}

bool SystemDeviceSource::present(const QString& path) const { return QFileInfo::exists(path); }

void SystemDeviceSource::setWatching(bool watching) {
  if (!watching) {
    timer_->stop();
    return;
  }
  last_ = devices();
  timer_->start();
}

void SystemDeviceSource::poll() {
  std::vector<SerialDevice> now = devices();
  if (now == last_) return;
  last_ = std::move(now);
  emit devicesChanged();
}

}  // namespace kestrune::serial
