#include "serial/port_map.h"

#include <QTemporaryDir>
#include <QFile>

#include <gtest/gtest.h>

namespace kestrune::serial {
namespace {

TEST(PortMapTest, DefaultIsTtySOfPortMinusOne) {
  const PortMap map;
  EXPECT_EQ(map.devicePath(1), QStringLiteral("/dev/ttyS0"));
  EXPECT_EQ(map.devicePath(8), QStringLiteral("/dev/ttyS7"));
}

TEST(PortMapTest, ParsesEntriesAndSkipsNoise) {
  const PortMap map = PortMap::parse(QStringLiteral("# adapters\n"
                                                    "COM3=/dev/ttyUSB0\r\n"
                                                    "  com2 = /dev/serial/by-id/usb-FTDI_1 \n"
                                                    "\n"
                                                    "COM4=\n"
                                                    "garbage line\n"
                                                    "COMX=/dev/ttyACM0\n"
                                                    "COM5=/dev/ttyACM0\n"
                                                    "COM5=/dev/ttyACM1\n"));
  EXPECT_EQ(map.devicePath(3), QStringLiteral("/dev/ttyUSB0"));
  EXPECT_EQ(map.devicePath(2), QStringLiteral("/dev/serial/by-id/usb-FTDI_1"));
  EXPECT_EQ(map.devicePath(4), QStringLiteral("/dev/ttyS3"));  // empty entry ignored
  EXPECT_EQ(map.devicePath(5), QStringLiteral("/dev/ttyACM1"));  // the last entry wins
  EXPECT_EQ(map.devicePath(1), QStringLiteral("/dev/ttyS0"));
}

TEST(PortMapTest, LoadsFileAndToleratesMissingFile) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  EXPECT_EQ(PortMap::load(dir.filePath(QStringLiteral("absent.conf"))).devicePath(1), QStringLiteral("/dev/ttyS0"));
  QFile file(dir.filePath(PortMapFileName));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write("COM1=/dev/pts/7\n");
  file.close();
  EXPECT_EQ(PortMap::load(file.fileName()).devicePath(1), QStringLiteral("/dev/pts/7"));
}

}  // namespace
}  // namespace kestrune::serial
