#include "serial/port_map.h"
#include "serial/termios_port.h"

#include <QDir>

#include <QTemporaryDir>
#include <QFile>

#include <gtest/gtest.h>

#include <sys/stat.h>

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

TEST(PortMapTest, AFolderOrPipeNamedLikeTheMapNamesNoDeviceAndOpeningSaysWhy) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString folder = dir.filePath(QStringLiteral("folder.conf"));
  const QString pipe = dir.filePath(QStringLiteral("pipe.conf"));
  ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("folder.conf")));
  ASSERT_EQ(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
  for (const QString& path : {folder, pipe}) {
    const PortMap map = PortMap::load(path);  // returns at once, even for the pipe
    EXPECT_TRUE(map.error().contains(path)) << map.error().toStdString();
    TermiosPort port(map);
    const Status opened = port.setPortOpen(true);
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.description(), map.error());  // never falls back to /dev/ttyS0
    EXPECT_FALSE(port.portOpen());
  }
}

}  // namespace
}  // namespace kestrune::serial
