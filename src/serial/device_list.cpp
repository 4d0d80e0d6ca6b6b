#include "serial/device_list.h"

#include <algorithm>
#include <tuple>

namespace kestrune::serial {

namespace {

// "/dev/ttyUSB10" -> ("/dev/ttyUSB", 10): names compare by their text, then
// by their trailing number as a number.
std::tuple<QString, qulonglong, QString> nameKey(const QString& name) {
  qsizetype digits = name.size();
  while (digits > 0 && name.at(digits - 1).isDigit()) --digits;
  return {name.left(digits), name.mid(digits).toULongLong(), name};
}

}  // namespace

std::vector<SerialDevice> withStableNames(std::vector<SerialDevice> devices,
                                          const std::vector<std::pair<QString, QString>>& links) {
  for (SerialDevice& device : devices) {
    device.path = device.systemLocation;
    QString best;
    for (const auto& [link, target] : links) {
      if (target == device.systemLocation && (best.isEmpty() || link < best)) best = link;
    }
    if (!best.isEmpty()) device.path = best;
  }
  std::stable_sort(devices.begin(), devices.end(), [](const SerialDevice& a, const SerialDevice& b) {
    return nameKey(a.systemLocation) < nameKey(b.systemLocation);
  });
  return devices;
}

}  // namespace kestrune::serial
