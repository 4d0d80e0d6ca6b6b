#include "serial/port_map.h"
#include "serial/port.h"
#include "serial/termios_port.h"

#include <QDir>

#include <QTemporaryDir>
#include <QFile>

#include <gtest/gtest.h>

#include <ostream>

#include <sys/stat.h>

#include <functional>

namespace kestrune::serial {
namespace {

TEST(PortMapTest, DefaultIsTtySOfPortMinusOne) {
  const PortMap map;
  EXPECT_EQ(map.devicePath(1), QStringLiteral("/dev/ttyS0"));
  EXPECT_EQ(map.devicePath(8), QStringLiteral("/dev/ttyS7"));
}

TEST(PortMapTest, ParsesEntriesAndSkipsNoise) {
  const PortMap map =
      PortMap::parse(QStringLiteral("# adapters\n"
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
  EXPECT_EQ(map.devicePath(4), QStringLiteral("/dev/ttyS3"));    // empty entry ignored
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

struct EntriesCase {
  const char* name;
  QByteArray text;
  std::map<int, QString> entries;
  QByteArray expected;
};

// Test names in the output instead of the bytes of the case.
void PrintTo(const EntriesCase& c, std::ostream* os) { *os << c.name; }

class WithEntriesTest : public ::testing::TestWithParam<EntriesCase> {};

TEST_P(WithEntriesTest, ReplacesOrAddsOnlyTheLinesOfTheNumbersGiven) {
  const EntriesCase& c = GetParam();
  EXPECT_EQ(PortMap::withEntries(c.text, c.entries), c.expected) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WithEntriesTest,
    ::testing::Values(
        EntriesCase{"in place",
                    "# adapters\nCOM1=/dev/ttyS0\nCOM3=/dev/ttyUSB0\n# end\n",
                    {{3, "/dev/ttyACM0"}},
                    "# adapters\nCOM1=/dev/ttyS0\nCOM3=/dev/ttyACM0\n# end\n"},
        EntriesCase{"added at the end", "# c\nCOM1=/dev/a\n", {{2, "/dev/b"}}, "# c\nCOM1=/dev/a\nCOM2=/dev/b\n"},
        EntriesCase{"no final newline", "COM1=/dev/a", {{2, "/dev/b"}}, "COM1=/dev/a\nCOM2=/dev/b\n"},
        EntriesCase{"empty file", "", {{5, "/dev/x"}}, "COM5=/dev/x\n"},
        EntriesCase{"CR LF kept",
                    "# c\r\nCOM1=/dev/a\r\n",
                    {{1, "/dev/b"}, {2, "/dev/c"}},
                    "# c\r\nCOM1=/dev/b\r\nCOM2=/dev/c\r\n"},
        EntriesCase{"loose spelling replaced, later duplicates dropped",
                    " com3 = /dev/old \nCOM4=/dev/k\nCOM03=/dev/older\n",
                    {{3, "/dev/new"}},
                    "COM3=/dev/new\nCOM4=/dev/k\n"},
        EntriesCase{"default removes every line of the number", "COM3=/dev/a\n# keep\nCOM3=\n", {{3, ""}}, "# keep\n"},
        EntriesCase{"removing an absent number changes nothing", "COM1=/dev/a", {{2, ""}}, "COM1=/dev/a"},
        EntriesCase{"a commented entry is a comment", "#COM3=/dev/a\n", {{3, "/dev/b"}}, "#COM3=/dev/a\nCOM3=/dev/b\n"},
        EntriesCase{"bytes that are not UTF-8 stay",
                    "# \x91\xaa\x92\xe8\nCOM1=/dev/a\ngarbage\n",
                    {{1, "/dev/b"}},
                    "# \x91\xaa\x92\xe8\nCOM1=/dev/b\ngarbage\n"}));

QByteArray readAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void writeAll(const QString& path, const QByteArray& bytes) {
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path.toStdString();
  file.write(bytes);
}

TEST(PortMapSaveTest, StartsFromTheFileReadThenFromItsOwnCopy) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  // As for an install in a read-only folder: read beside the program, write the user's copy.
  const PortMapFile file{dir.filePath(QStringLiteral("program/ports.conf")),
                         dir.filePath(QStringLiteral("user/kestrune/ports.conf"))};
  ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("program")));
  writeAll(file.readPath, "# shipped\nCOM1=/dev/ttyUSB9\n");

  const Result<PortMap> first = PortMap::save(file, {{2, QStringLiteral("/dev/ttyACM0")}});
  ASSERT_TRUE(first.ok()) << first.description().toStdString();
  EXPECT_EQ(readAll(file.writePath), "# shipped\nCOM1=/dev/ttyUSB9\nCOM2=/dev/ttyACM0\n");
  EXPECT_EQ(first->devicePath(1), QStringLiteral("/dev/ttyUSB9"));
  EXPECT_EQ(first->devicePath(2), QStringLiteral("/dev/ttyACM0"));
  EXPECT_EQ(readAll(file.readPath), "# shipped\nCOM1=/dev/ttyUSB9\n");

  // A second save keeps the first one's line: it edits the copy it wrote.
  const Result<PortMap> second = PortMap::save(file, {{1, QString()}});
  ASSERT_TRUE(second.ok()) << second.description().toStdString();
  EXPECT_EQ(readAll(file.writePath), "# shipped\nCOM2=/dev/ttyACM0\n");
  EXPECT_EQ(second->devicePath(1), QStringLiteral("/dev/ttyS0"));
  EXPECT_EQ(second->entry(2), QStringLiteral("/dev/ttyACM0"));
}

struct SaveFailureCase {
  const char* name;
  // Makes the obstacle in `dir` and returns the file to name.
  std::function<PortMapFile(const QString& dir)> make;
  // The path the reason must name.
  const char* named;
  PortError code;
};

void PrintTo(const SaveFailureCase& c, std::ostream* os) { *os << c.name; }

class SaveFailureTest : public ::testing::TestWithParam<SaveFailureCase> {};

TEST_P(SaveFailureTest, RefusesWithTheReasonAndLeavesTheOldFile) {
  const SaveFailureCase& c = GetParam();
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString old = dir.filePath(QStringLiteral("ports.conf"));
  writeAll(old, "# lab\nCOM1=/dev/ttyUSB0\n");
  const PortMapFile file = c.make(dir.path());

  const Result<PortMap> saved = PortMap::save(file, {{1, QStringLiteral("/dev/ttyACM0")}});
  ASSERT_FALSE(saved.ok()) << c.name;
  EXPECT_TRUE(saved.description().contains(dir.filePath(QLatin1String(c.named))))
      << c.name << ": " << saved.description().toStdString();
  EXPECT_TRUE(saved.error().is(c.code)) << c.name;
  EXPECT_EQ(readAll(old), "# lab\nCOM1=/dev/ttyUSB0\n") << c.name;
  // Nothing was left behind: no temporary file, the obstacle unchanged.
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size(), 2) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SaveFailureTest,
    ::testing::Values(
        SaveFailureCase{"a folder where the copy goes",
                        [](const QString& d) {
                          QDir(d).mkdir(QStringLiteral("copy.conf"));
                          return PortMapFile{d + QStringLiteral("/ports.conf"), d + QStringLiteral("/copy.conf")};
                        },
                        "copy.conf", PortError::MapUnreadable},
        SaveFailureCase{"a named pipe where the copy goes",
                        [](const QString& d) {
                          ::mkfifo(QFile::encodeName(d + QStringLiteral("/pipe.conf")).constData(), 0600);
                          return PortMapFile{d + QStringLiteral("/ports.conf"), d + QStringLiteral("/pipe.conf")};
                        },
                        "pipe.conf", PortError::MapUnreadable},
        SaveFailureCase{
            "a file where the copy's folder goes",
            [](const QString& d) {
              writeAll(d + QStringLiteral("/blocker"), "x");
              return PortMapFile{d + QStringLiteral("/ports.conf"), d + QStringLiteral("/blocker/ports.conf")};
            },
            "blocker/ports.conf", PortError::MapNotSaved},
        SaveFailureCase{"a folder where the file to read is",
                        [](const QString& d) {
                          QDir(d).mkdir(QStringLiteral("read.conf"));
                          return PortMapFile{d + QStringLiteral("/read.conf"), d + QStringLiteral("/new.conf")};
                        },
                        "read.conf", PortError::MapUnreadable}));

TEST(PortMapSaveTest, RefusesADeviceNameThatWouldBreakTheFile) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString path = dir.filePath(PortMapFileName);
  const Result<PortMap> saved = PortMap::save({path, path}, {{1, QStringLiteral("/dev/ttyUSB0\nCOM2=/dev/x")}});
  EXPECT_FALSE(saved.ok());
  EXPECT_TRUE(saved.error().is(PortError::BadDevicePath));
  EXPECT_FALSE(QFile::exists(path));
}

}  // namespace
}  // namespace kestrune::serial
