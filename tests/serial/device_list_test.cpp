#include "serial/device_list.h"

#include <gtest/gtest.h>

#include <ostream>

namespace kestrune::serial {
namespace {

struct StableNameCase {
  const char* name;
  std::vector<QString> kernelNames;
  std::vector<std::pair<QString, QString>> links;
  std::vector<QString> expected;  // the paths, in the order shown
};

// Test names in the output instead of the bytes of the case.
void PrintTo(const StableNameCase& c, std::ostream* os) { *os << c.name; }

class StableNameTest : public ::testing::TestWithParam<StableNameCase> {};

TEST_P(StableNameTest, LinksNameTheirDevicesInKernelNameOrder) {
  const StableNameCase& c = GetParam();
  std::vector<SerialDevice> devices;
  for (const QString& kernel : c.kernelNames)
    devices.push_back(SerialDevice{QString(), kernel, QStringLiteral("maker of ") + kernel, {}, {}});
  const std::vector<SerialDevice> named = withStableNames(devices, c.links);
  std::vector<QString> paths;
  for (const SerialDevice& d : named) {
    paths.push_back(d.path);
    EXPECT_EQ(d.manufacturer, QStringLiteral("maker of ") + d.systemLocation) << c.name;  // details travel along
  }
  EXPECT_EQ(paths, c.expected) << c.name;
}

const QString ById = QStringLiteral("/dev/serial/by-id/");

INSTANTIATE_TEST_SUITE_P(Cases, StableNameTest,
                         ::testing::Values(
                             StableNameCase{
                                 "a link where udev made one",
                                 {QStringLiteral("/dev/ttyUSB0"), QStringLiteral("/dev/ttyACM0")},
                                 {{ById + QStringLiteral("usb-FTDI_A1-if00-port0"), QStringLiteral("/dev/ttyUSB0")}},
                                 {QStringLiteral("/dev/ttyACM0"), ById + QStringLiteral("usb-FTDI_A1-if00-port0")}},
                             StableNameCase{"numbers compare as numbers",
                                            {QStringLiteral("/dev/ttyUSB1"), QStringLiteral("/dev/ttyS10"),
                                             QStringLiteral("/dev/ttyUSB0"), QStringLiteral("/dev/ttyS2")},
                                            {},
                                            {QStringLiteral("/dev/ttyS2"), QStringLiteral("/dev/ttyS10"),
                                             QStringLiteral("/dev/ttyUSB0"), QStringLiteral("/dev/ttyUSB1")}},
                             StableNameCase{"of two links the first by name",
                                            {QStringLiteral("/dev/ttyACM0")},
                                            {{ById + QStringLiteral("usb-b-if00"), QStringLiteral("/dev/ttyACM0")},
                                             {ById + QStringLiteral("usb-a-if00"), QStringLiteral("/dev/ttyACM0")}},
                                            {ById + QStringLiteral("usb-a-if00")}},
                             StableNameCase{"a link to a device not listed is no device",
                                            {QStringLiteral("/dev/ttyS0")},
                                            {{ById + QStringLiteral("usb-gone-if00"), QStringLiteral("/dev/ttyUSB3")}},
                                            {QStringLiteral("/dev/ttyS0")}}));

}  // namespace
}  // namespace kestrune::serial
