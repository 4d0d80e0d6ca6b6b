#include "app/config_command.h"

#include "app/acquisition_session.h"
#include "fakes/manual_clock.h"

#include "serial/port_map.h"
#include "serial/serial_panel.h"
#include "settings/conditions_panel.h"
#include "settings/setup_file.h"
#include "settings/setup_record.h"

#include "fakes/raw_setup.h"
#include "fakes/file_bytes.h"
#include "fakes/shown.h"
#include "fakes/fake_port.h"
#include "fakes/recording_message_boxes.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <functional>
#include <map>

// FS_IOC_SETFLAGS: an immutable setup.dat cannot be replaced, even by root.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "mqtt/mqtt_settings.h"

namespace kestrune::app {
namespace {

using settings::CondBox;
using settings::CondOption;
using testing::FakePort;
using testing::RawSetup;
using testing::readAll;
using testing::RecordingMessageBoxes;
using testing::True16;
using testing::writeAll;

// A lab's settings: values in range, and what the command must keep as it
// is: reserved fields, the slots of channels 1 to 7, bytes after the record.
RawSetup labRecord() {
  RawSetup r;
  r.reservedHead = 0x1234;
  r.reservedMid = -7;
  r.reservedTail = "reserved tail";
  r.stampMode = 3;
  r.scriptFromFile = 0;
  r.numberingOn = True16;
  r.acquisitionNo = 5;
  r.startAtCell = True16;
  r.startCol = "B";
  r.startRow = 3;
  r.startColNo = 2;
  r.acquireTimeMs = 10 * 60000;
  r.measureCount = 100;
  for (std::size_t slot = 0; slot < 8; ++slot) {
    r.commSettings[slot] = slot == 0 ? "9600,n,8,1" : "19200,e,7,2";
    r.commPort[slot] = static_cast<std::int16_t>(slot + 1);
    r.handshaking[slot] = slot == 0 ? 0 : 2;
  }
  return r;
}

const QByteArray AfterRecord = "bytes after the record\n";
const QByteArray LabMap = "# the lab's adapters\nCOM1=/dev/ttyS0\ncom3 = /dev/ttyUSB0\n";

// The lines of a listing as key -> value, and the keys in order.
std::map<QString, QString> values(const QString& listing) {
  std::map<QString, QString> out;
  for (const QString& line : listing.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
    out[line.section(QLatin1Char('='), 0, 0)] = line.section(QLatin1Char('='), 1);
  return out;
}

// The keys the lab's folder lists: channel 1's and the rest, then channels 2
// to 8, which all have a port there.
QStringList labKeys() {
  QStringList keys = configKeys();
  for (int channel = 1; channel < 8; ++channel) keys << channelKeys(channel);
  return keys;
}

QStringList keysInOrder(const QString& listing) {
  QStringList keys;
  for (const QString& line : listing.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
    keys << line.section(QLatin1Char('='), 0, 0);
  return keys;
}

class ConfigCommandTest : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(root.isValid()); }

  // A fresh settings folder holding the lab's files.
  QString labFolder(const RawSetup& record = labRecord()) {
    const QString dir = root.filePath(QString::number(folders++));
    EXPECT_TRUE(QDir().mkpath(dir));
    writeAll(dir + QStringLiteral("/setup.dat"), record.bytes() + AfterRecord);
    writeAll(dir + QStringLiteral("/ports.conf"), LabMap);
    return dir;
  }
  QString emptyFolder() {
    const QString dir = root.filePath(QString::number(folders++));
    EXPECT_TRUE(QDir().mkpath(dir));
    return dir;
  }
  static ConfigResult config(const QString& dir, const QStringList& assignments) {
    return runConfig(settings::SettingsFolder::fixed(dir), assignments);
  }
  static QString setupPath(const QString& dir) { return dir + QStringLiteral("/setup.dat"); }
  static QString mapPath(const QString& dir) { return dir + QStringLiteral("/ports.conf"); }

  QTemporaryDir root;
  int folders = 0;
};

struct Accepted {
  const char* assignment;
  const char* listed;                       // the value the listing shows afterwards
  std::function<void(RawSetup&)> expected;  // the record's change; none for device
};

TEST_F(ConfigCommandTest, AcceptedValuesAreStoredAsThePanelsStoreThemAndNothingElseChanges) {
  const auto none = [](RawSetup&) {};
  const std::vector<Accepted> cases = {
      {"minutes=1", "1", [](RawSetup& r) { r.acquireTimeMs = 60000; }},
      {"minutes=300", "300", [](RawSetup& r) { r.acquireTimeMs = 18000000; }},
      {"minutes=2.5", "2", [](RawSetup& r) { r.acquireTimeMs = 120000; }},
      {"minutes=3.5", "4", [](RawSetup& r) { r.acquireTimeMs = 240000; }},
      {"minutes=1.49", "1", [](RawSetup& r) { r.acquireTimeMs = 60000; }},
      {"minutes=299.5", "300", [](RawSetup& r) { r.acquireTimeMs = 18000000; }},
      {"rows=1", "1", [](RawSetup& r) { r.measureCount = 1; }},
      {"rows=10000", "10000", [](RawSetup& r) { r.measureCount = 10000; }},
      {"start=current", "current", [](RawSetup& r) { r.startAtCell = 0; }},
      {"start=CELL", "cell", none},
      {"start-cell=A1", "A1",
       [](RawSetup& r) {
         r.startCol = "A";
         r.startRow = 1;
       }},
      {"start-cell=IA65000", "IA65000",
       [](RawSetup& r) {
         r.startCol = "IA";
         r.startRow = 65000;
       }},
      {"start-cell=az12", "AZ12",
       [](RawSetup& r) {
         r.startCol = "AZ";
         r.startRow = 12;
       }},
      {"start-cell=Z9", "Z9",
       [](RawSetup& r) {
         r.startCol = "Z";
         r.startRow = 9;
       }},
      {"numbering=off", "off", [](RawSetup& r) { r.numberingOn = 0; }},
      {"number=1", "1", [](RawSetup& r) { r.acquisitionNo = 1; }},
      {"number=2147483647", "2147483647", [](RawSetup& r) { r.acquisitionNo = 2147483647; }},
      {"stamp=none", "none", [](RawSetup& r) { r.stampMode = 0; }},
      {"stamp=date", "date", [](RawSetup& r) { r.stampMode = 1; }},
      {"stamp=time", "time", [](RawSetup& r) { r.stampMode = 2; }},
      {"stamp=datetime", "datetime", none},
      {"script=file", "file", [](RawSetup& r) { r.scriptFromFile = True16; }},
      {"script=builtin", "builtin", none},
      {"port=8", "8", [](RawSetup& r) { r.commPort[0] = 8; }},
      {"line=19200,E,7,1.5", "19200,e,7,1.5", [](RawSetup& r) { r.commSettings[0] = "19200,e,7,1.5"; }},
      {"line=300,o,8,2", "300,o,8,2", [](RawSetup& r) { r.commSettings[0] = "300,o,8,2"; }},
      {"line=115200, n ,7,1", "115200,n,7,1", [](RawSetup& r) { r.commSettings[0] = "115200,n,7,1"; }},
      {"flow=xon", "xon", [](RawSetup& r) { r.handshaking[0] = 1; }},
      {"flow=rts", "rts", [](RawSetup& r) { r.handshaking[0] = 2; }},
      {"flow=rts-xon", "rts-xon", [](RawSetup& r) { r.handshaking[0] = 3; }},
      {"flow=none", "none", none},
      {"device=/dev/serial/by-id/usb-FTDI_A1-if00-port0", "/dev/serial/by-id/usb-FTDI_A1-if00-port0", nullptr},
      {"device=", "", nullptr},
  };
  for (const Accepted& c : cases) {
    SCOPED_TRACE(c.assignment);
    const QString dir = labFolder();
    const QString assignment = QString::fromUtf8(c.assignment);
    const ConfigResult result = config(dir, {assignment});
    EXPECT_EQ(result.status, ConfigDone);
    EXPECT_EQ(result.err, QString());
    const QString key = assignment.section(QLatin1Char('='), 0, 0);
    EXPECT_EQ(values(result.out)[key], QString::fromUtf8(c.listed));
    EXPECT_EQ(keysInOrder(result.out), labKeys());

    RawSetup expected = labRecord();
    if (c.expected) c.expected(expected);
    EXPECT_EQ(readAll(setupPath(dir)), expected.bytes() + AfterRecord);
    if (c.expected) {
      EXPECT_EQ(readAll(mapPath(dir)), LabMap);
    } else {
      // Com1 is the port; its line is replaced in place, the others stay.
      const QByteArray line = c.listed[0] ? QByteArray("COM1=") + c.listed + "\n" : QByteArray();
      EXPECT_EQ(readAll(mapPath(dir)), "# the lab's adapters\n" + line + "com3 = /dev/ttyUSB0\n");
    }
  }
}

TEST_F(ConfigCommandTest, RefusedArgumentsNameTheKeyAndLeaveBothFilesByteIdentical) {
  const std::vector<std::pair<const char*, const char*>> cases = {
      {"minutes=0", "minutes"},
      {"minutes=301", "minutes"},
      {"minutes=0.5", "minutes"},
      {"minutes=300.5", "minutes"},
      {"minutes=abc", "minutes"},
      {"minutes=-1", "minutes"},
      {"minutes=", "minutes"},
      {"minutes=1e2", "minutes"},
      {"minutes=2,5", "minutes"},
      {"rows=0", "rows"},
      {"rows=10001", "rows"},
      {"rows=5.0", "rows"},
      {"rows=+5", "rows"},
      {"start=yes", "start"},
      {"start-cell=IB1", "start-cell"},
      {"start-cell=A65001", "start-cell"},
      {"start-cell=ZZ1", "start-cell"},
      {"start-cell=A0", "start-cell"},
      {"start-cell=AAA1", "start-cell"},
      {"start-cell=1A", "start-cell"},
      {"start-cell=B", "start-cell"},
      {"numbering=1", "numbering"},
      {"number=0", "number"},
      {"number=2147483648", "number"},
      {"stamp=both", "stamp"},
      {"script=yes", "script"},
      {"port=0", "port"},
      {"port=9", "port"},
      {"line=110,n,8,1", "line"},
      {"line=230400,n,8,1", "line"},
      {"line=9600,m,8,1", "line"},
      {"line=9600,n,5,1", "line"},
      {"line=9600,n,8", "line"},
      {"line=9600,n,8,3", "line"},
      {"flow=rts/cts", "flow"},
      {"flow=2", "flow"},
      {"device=ttyUSB0", "device"},
      {"device=/dev/tty\nUSB0", "device"},
      {"device= /dev/ttyUSB0", "device"},
      {"speed=9600", "speed"},
      {"rows", "rows"},
      {"=5", "=5"},
  };
  for (const auto& [assignment, named] : cases) {
    SCOPED_TRACE(assignment);
    const QString dir = labFolder();
    const QByteArray setupBefore = readAll(setupPath(dir));
    // Valid changes beside the refused one (of other keys) are not made either.
    const QString key = QString::fromUtf8(assignment).section(QLatin1Char('='), 0, 0);
    const QString valid = key != QLatin1String("rows") ? QStringLiteral("rows=7") : QStringLiteral("stamp=date");
    const QString device =
        key != QLatin1String("device") ? QStringLiteral("device=/dev/ttyUSB4") : QStringLiteral("port=2");
    const ConfigResult result = config(dir, {valid, device, QString::fromUtf8(assignment)});
    EXPECT_EQ(result.status, ConfigRefused);
    EXPECT_EQ(result.out, QString());
    EXPECT_TRUE(result.err.contains(QString::fromUtf8(named))) << result.err.toStdString();
    EXPECT_TRUE(result.err.contains(QStringLiteral("何も書き込んでいません"))) << result.err.toStdString();
    EXPECT_FALSE(result.err.contains(valid)) << "only the refused argument is named";
    EXPECT_FALSE(result.err.contains(QStringLiteral("2 回"))) << "each key once";
    EXPECT_EQ(readAll(setupPath(dir)), setupBefore);
    EXPECT_EQ(readAll(mapPath(dir)), LabMap);
  }
}

// A control character in any value would break the one-value-per-line files
// (a line feed in mqtt.user adds a line to kestrune.conf): every key refuses
// every one of them, and nothing is written.
TEST_F(ConfigCommandTest, ControlCharactersAreRefusedInEveryValue) {
  const QString dir = labFolder();
  const QString conf = dir + QStringLiteral("/kestrune.conf");
  {
    QFile f(conf);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("mqtt.url=mqtt://broker.lab\n");
  }
  const QByteArray setupBefore = readAll(setupPath(dir));
  const QByteArray confBefore = readAll(conf);
  const char16_t controls[] = {u'\n', u'\r', u'\t', 0x01, 0x1b, 0x1f, 0x7f};
  for (const QString& key : configKeys())
    for (const char16_t control : controls) {
      const QString value = QStringLiteral("mqtt://x") + QChar(control) + QStringLiteral("mqtt.url=y");
      SCOPED_TRACE((key + QLatin1Char('=') + value).toStdString());
      const ConfigResult result = config(dir, {key + QLatin1Char('=') + value});
      EXPECT_EQ(result.status, ConfigRefused);
      EXPECT_TRUE(result.err.contains(key + QStringLiteral(" の値に制御文字"))) << result.err.toStdString();
      EXPECT_TRUE(result.err.contains(QStringLiteral("何も書き込んでいません"))) << result.err.toStdString();
      EXPECT_EQ(readAll(setupPath(dir)), setupBefore);
      EXPECT_EQ(readAll(mapPath(dir)), LabMap);
      EXPECT_EQ(readAll(conf), confBefore);
    }
  // The characters next to the control ones are plain and accepted.
  const ConfigResult spaced = config(dir, {QStringLiteral("mqtt.user=lab user~")});
  EXPECT_EQ(spaced.status, ConfigDone) << spaced.err.toStdString();
  EXPECT_EQ(readAll(conf), "mqtt.url=mqtt://broker.lab\nmqtt.user=lab user~\n");
}

TEST_F(ConfigCommandTest, AKeyGivenTwiceIsRefused) {
  const QString dir = labFolder();
  const ConfigResult result = config(dir, {QStringLiteral("rows=5"), QStringLiteral("rows=6")});
  EXPECT_EQ(result.status, ConfigRefused);
  EXPECT_TRUE(result.err.contains(QStringLiteral("rows が 2 回"))) << result.err.toStdString();
  EXPECT_EQ(readAll(setupPath(dir)), labRecord().bytes() + AfterRecord);
}

TEST_F(ConfigCommandTest, EveryKeySetAtOnceKeepsTheRecordsOtherBytes) {
  // A hand-made stamp mode 7 (read as none) stays as long as stamp is not set.
  QByteArray bytes = labRecord().bytes();
  qToLittleEndian<std::int16_t>(7, bytes.data() + 2);
  const QString dir = labFolder();
  writeAll(setupPath(dir), bytes + AfterRecord);

  const ConfigResult result =
      config(dir, {QStringLiteral("minutes=45"), QStringLiteral("rows=250"), QStringLiteral("start=current"),
                   QStringLiteral("start-cell=C7"), QStringLiteral("numbering=off"), QStringLiteral("number=99"),
                   QStringLiteral("script=file"), QStringLiteral("port=2"), QStringLiteral("line=4800,e,7,2"),
                   QStringLiteral("flow=rts"), QStringLiteral("device=/dev/ttyACM0")});
  ASSERT_EQ(result.status, ConfigDone) << result.err.toStdString();
  EXPECT_EQ(result.out,
            QStringLiteral("minutes=45\nrows=250\nstart=current\nstart-cell=C7\nnumbering=off\n"
                           "number=99\nstamp=none\nscript=file\nport=2\nline=4800,e,7,2\nflow=rts\n"
                           "device=/dev/ttyACM0\nmqtt.url=\nmqtt.topic=\nmqtt.user=\n"
                           "mqtt.password-file=\nmqtt.ca-file=\nhttp.listen=\nhttp.cert-file=\nhttp.key-file=\n"
                           "stamp-precision=s\nrecord=off\nfull-sheet=end\n"
                           "port.2=2\nline.2=19200,e,7,2\nflow.2=rts\ndevice.2=/dev/ttyACM0\n"
                           "port.3=3\nline.3=19200,e,7,2\nflow.3=rts\ndevice.3=/dev/ttyUSB0\n"
                           "port.4=4\nline.4=19200,e,7,2\nflow.4=rts\ndevice.4=\n"
                           "port.5=5\nline.5=19200,e,7,2\nflow.5=rts\ndevice.5=\n"
                           "port.6=6\nline.6=19200,e,7,2\nflow.6=rts\ndevice.6=\n"
                           "port.7=7\nline.7=19200,e,7,2\nflow.7=rts\ndevice.7=\n"
                           "port.8=8\nline.8=19200,e,7,2\nflow.8=rts\ndevice.8=\n"));

  // Every other byte is as it was, the hand-made stamp mode included.
  RawSetup want = labRecord();
  want.stampMode = 7;
  want.acquireTimeMs = 45 * 60000;
  want.measureCount = 250;
  want.startAtCell = 0;
  want.startCol = "C";
  want.startRow = 7;
  want.numberingOn = 0;
  want.acquisitionNo = 99;
  want.scriptFromFile = testing::True16;
  want.commPort[0] = 2;
  want.commSettings[0] = "4800,e,7,2";
  want.handshaking[0] = 2;
  EXPECT_EQ(readAll(setupPath(dir)).toHex(), (want.bytes() + AfterRecord).toHex());
  // Com2 had no line: one is added, the other lines stay.
  EXPECT_EQ(readAll(mapPath(dir)), LabMap + "COM2=/dev/ttyACM0\n");
}

// The lab's record with channels 2 to 8 unused, as the program writes them.
RawSetup oneChannelRecord() {
  RawSetup r = labRecord();
  for (std::size_t slot = 1; slot < 8; ++slot) {
    r.commSettings[slot].clear();
    r.commPort[slot] = 0;
    r.handshaking[slot] = 0;
  }
  return r;
}

struct ChannelChange {
  QStringList assignments;
  std::function<void(RawSetup&)> expected;  // the record's change
  std::vector<int> listed;                  // the channels listed after channel 1
  std::map<QString, QString> values;        // some of the values listed
  QByteArray map = LabMap;
};

// Another channel's keys follow channel 1's rules, go to the channel's slot
// and are listed, after the others, while the channel has a port.
TEST_F(ConfigCommandTest, OtherChannelsAreSetInTheirOwnSlotsAndListedWhileTheyHaveAPort) {
  const std::vector<ChannelChange> cases = {
      {{"port.3=2", "line.3=19200,e,7,2", "flow.3=rts"},
       [](RawSetup& r) {
         r.commPort[2] = 2;
         r.commSettings[2] = "19200,e,7,2";
         r.handshaking[2] = 2;
       },
       {2},
       {{"port.3", "2"}, {"line.3", "19200,e,7,2"}, {"flow.3", "rts"}, {"device.3", ""}, {"port", "1"}}},
      {{"port.8=3", "device.8=/dev/ttyACM1"},
       [](RawSetup& r) {
         r.commPort[7] = 3;
         r.commSettings[7] = "9600,n,8,1";
       },
       {7},
       {{"port.8", "3"}, {"line.8", "9600,n,8,1"}, {"flow.8", "none"}, {"device.8", "/dev/ttyACM1"}},
       "# the lab's adapters\nCOM1=/dev/ttyS0\nCOM3=/dev/ttyACM1\n"},
      {{"port.1=5", "line.1=300,o,7,1"},
       [](RawSetup& r) {
         r.commPort[0] = 5;
         r.commSettings[0] = "300,o,7,1";
       },
       {},
       {{"port", "5"}, {"line", "300,o,7,1"}}},
      {{"port.2=none"}, [](RawSetup&) {}, {}, {}},
  };
  for (const ChannelChange& c : cases) {
    SCOPED_TRACE(c.assignments.join(QLatin1Char(' ')).toStdString());
    const QString dir = labFolder(oneChannelRecord());
    const ConfigResult result = config(dir, c.assignments);
    ASSERT_EQ(result.status, ConfigDone) << result.err.toStdString();
    QStringList keys = configKeys();
    for (const int channel : c.listed) keys << channelKeys(channel);
    EXPECT_EQ(keysInOrder(result.out), keys);
    const std::map<QString, QString> listed = values(result.out);
    for (const auto& [key, value] : c.values) EXPECT_EQ(listed.at(key), value) << key.toStdString();
    RawSetup expected = oneChannelRecord();
    c.expected(expected);
    EXPECT_EQ(readAll(setupPath(dir)).toHex(), (expected.bytes() + AfterRecord).toHex());
    EXPECT_EQ(readAll(mapPath(dir)), c.map);
  }

  // Taking the port away: the slot keeps its line, the channel is not listed.
  const QString dir = labFolder();
  const ConfigResult taken = config(dir, {QStringLiteral("port.4=none")});
  ASSERT_EQ(taken.status, ConfigDone) << taken.err.toStdString();
  EXPECT_FALSE(values(taken.out).count(QStringLiteral("port.4")));
  EXPECT_EQ(values(taken.out).at(QStringLiteral("port.5")), QStringLiteral("5"));
  RawSetup expected = labRecord();
  expected.commPort[3] = 0;
  EXPECT_EQ(readAll(setupPath(dir)).toHex(), (expected.bytes() + AfterRecord).toHex());
}

TEST_F(ConfigCommandTest, RefusedChannelValuesExitWithTwoAndWriteNothing) {
  const std::vector<std::pair<QStringList, const char*>> cases = {
      {{"port.3=9"}, "port.3"},
      {{"port.3=0"}, "port.3"},
      {{"port.1=none"}, "port.1"},
      {{"port=none"}, "port"},
      {{"line.3=110,n,8,1"}, "line.3"},
      {{"flow.3=both"}, "flow.3"},
      {{"device.3=ttyUSB0"}, "device.3"},
      {{"port.9=1"}, "port.9"},
      {{"port.0=1"}, "port.0"},
      {{"port.03=1"}, "port.03"},
      {{"line.3=9600,n,8,1"}, "CH3 にはポートがありません"},
      {{"flow.4=rts", "device.4=/dev/ttyUSB1"}, "CH4 にはポートがありません"},
      {{"port.5=1", "port.5=none", "flow.5=xon"}, "port.5 が 2 回"},
      {{"port.2=3", "port.3=3", "device.2=/dev/ttyUSB1", "device.3=/dev/ttyUSB2"}, "device.2 と device.3"},
      {{"port=2", "port.1=3"}, "port.1 が 2 回"},
  };
  for (const auto& [assignments, named] : cases) {
    SCOPED_TRACE(assignments.join(QLatin1Char(' ')).toStdString());
    const QString dir = labFolder(oneChannelRecord());
    const ConfigResult result = config(dir, assignments);
    EXPECT_EQ(result.status, ConfigRefused);
    EXPECT_EQ(result.out, QString());
    EXPECT_TRUE(result.err.contains(QString::fromUtf8(named))) << result.err.toStdString();
    EXPECT_TRUE(result.err.contains(QStringLiteral("何も書き込んでいません"))) << result.err.toStdString();
    EXPECT_EQ(readAll(setupPath(dir)), oneChannelRecord().bytes() + AfterRecord);
    EXPECT_EQ(readAll(mapPath(dir)), LabMap);
  }
}

TEST_F(ConfigCommandTest, WithoutSetupDatItListsTheDefaultsAndANewFileStartsWithThem) {
  const QString dir = emptyFolder();
  const ConfigResult listed = config(dir, {});
  EXPECT_EQ(listed.status, ConfigDone);
  EXPECT_EQ(listed.err, QString());
  EXPECT_EQ(listed.out, QStringLiteral("minutes=1\nrows=1\nstart=current\nstart-cell=A1\nnumbering=off\nnumber=1\n"
                                       "stamp=none\nscript=builtin\nport=1\nline=9600,n,8,1\nflow=none\ndevice=\n"
                                       "mqtt.url=\nmqtt.topic=\nmqtt.user=\nmqtt.password-file=\nmqtt.ca-file=\n"
                                       "http.listen=\nhttp.cert-file=\nhttp.key-file=\n"
                                       "stamp-precision=s\nrecord=off\nfull-sheet=end\n"));
  EXPECT_FALSE(QFile::exists(setupPath(dir))) << "listing writes nothing";
  EXPECT_FALSE(QFile::exists(dir + QStringLiteral("/kestrune.conf")));
  EXPECT_FALSE(QFile::exists(mapPath(dir)));

  const ConfigResult set = config(dir, {QStringLiteral("rows=5")});
  EXPECT_EQ(set.status, ConfigDone);
  EXPECT_EQ(set.out, QString(listed.out).replace(QStringLiteral("rows=1\n"), QStringLiteral("rows=5\n")));
  EXPECT_FALSE(QFile::exists(mapPath(dir))) << "ports.conf is written only for device";
  // The program loads the new file without a complaint: slot 0 names a port.
  RawSetup want;
  want.acquireTimeMs = 60000;
  want.measureCount = 5;
  want.startCol = "A";
  want.startRow = 1;
  want.acquisitionNo = 1;
  want.commPort[0] = 1;
  want.commSettings[0] = "9600,n,8,1";
  EXPECT_EQ(readAll(setupPath(dir)).toHex(), want.bytes().toHex());
}

TEST_F(ConfigCommandTest, StoredValuesOutsideTheRangesAreListedAsThePanelShowsThemWithANote) {
  RawSetup record = labRecord();
  record.measureCount = 0;
  record.acquireTimeMs = 90000;  // one and a half minutes, from another program
  record.commSettings[0] = "garbage";
  const QString dir = labFolder(record);
  const QByteArray before = readAll(setupPath(dir));
  const ConfigResult result = config(dir, {});
  EXPECT_EQ(result.status, ConfigDone);
  EXPECT_EQ(values(result.out)[QStringLiteral("rows")], QStringLiteral("1"));
  EXPECT_EQ(values(result.out)[QStringLiteral("minutes")], QStringLiteral("1.5"));
  // The port refuses the settings text and keeps its own, as the program does.
  EXPECT_EQ(values(result.out)[QStringLiteral("line")], QStringLiteral("9600,n,8,1"));
  EXPECT_TRUE(result.err.contains(QStringLiteral(" rows "))) << result.err.toStdString();
  EXPECT_FALSE(result.err.contains(QStringLiteral("minutes"))) << "1.5 is within the range";
  EXPECT_TRUE(result.err.contains(QStringLiteral("line"))) << result.err.toStdString();
  EXPECT_EQ(readAll(setupPath(dir)), before);
}

// A refused slot 0 is what the program replaces with its defaults; a line
// value given for it is written, so the program takes the file again.
TEST_F(ConfigCommandTest, ALineValueGivenOverARefusedSlotIsWritten) {
  for (const char* given : {"line=9600,n,8,1", "port=1", "flow=none"}) {
    SCOPED_TRACE(given);
    RawSetup record = labRecord();
    record.commPort[0] = 9;
    record.commSettings[0] = "garbage";
    record.handshaking[0] = 7;
    const QString dir = labFolder(record);
    const ConfigResult set = config(dir, {QString::fromLatin1(given)});
    ASSERT_EQ(set.status, ConfigDone) << set.err.toStdString();
    EXPECT_EQ(set.err, QString()) << "the program takes slot 0 now";
    RawSetup want = labRecord();
    EXPECT_EQ(readAll(setupPath(dir)).toHex(), (want.bytes() + AfterRecord).toHex());
  }
}

TEST_F(ConfigCommandTest, AnUnusableSettingsFileIsRefusedWithItsReasonAndNothingIsWritten) {
  struct Damage {
    const char* what;
    std::function<void(const QString& dir)> make;
    const char* named;
  };
  const std::vector<Damage> cases = {
      {"a record cut short", [](const QString& dir) { writeAll(setupPath(dir), labRecord().bytes().left(40)); },
       "途切れて"},
      {"an empty setup.dat", [](const QString& dir) { writeAll(setupPath(dir), {}); }, "setup.dat"},
      {"setup.dat a folder",
       [](const QString& dir) {
         QFile::remove(setupPath(dir));
         QDir().mkpath(setupPath(dir));
       },
       "ファイルではありません"},
      {"ports.conf a folder",
       [](const QString& dir) {
         QFile::remove(mapPath(dir));
         QDir().mkpath(mapPath(dir));
       },
       "ports.conf"},
  };
  for (const Damage& c : cases) {
    SCOPED_TRACE(c.what);
    const QString dir = labFolder();
    c.make(dir);
    const QByteArray setupBefore = readAll(setupPath(dir));
    const QByteArray mapBefore = readAll(mapPath(dir));
    for (const QStringList& assignments : {QStringList(), QStringList{QStringLiteral("rows=5")}}) {
      const ConfigResult result = config(dir, assignments);
      EXPECT_EQ(result.status, ConfigRefused);
      EXPECT_EQ(result.out, QString());
      EXPECT_TRUE(result.err.contains(QString::fromUtf8(c.named))) << result.err.toStdString();
      EXPECT_EQ(readAll(setupPath(dir)), setupBefore);
      EXPECT_EQ(readAll(mapPath(dir)), mapBefore);
    }
  }
}

// Sets FS_IMMUTABLE_FL on `path` (or clears it); false where the file system
// or the user may not.
bool setImmutable(const QString& path, bool on) {
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  if (done) {
    flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    done = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  }
  ::close(fd);
  return done;
}

TEST_F(ConfigCommandTest, WhenSetupDatCannotBeReplacedPortsConfGetsItsOldEntryBack) {
  const QString dir = labFolder();
  const QByteArray setupBefore = readAll(setupPath(dir));
  if (!setImmutable(setupPath(dir), true))
    GTEST_SKIP() << "cannot make a file immutable here (needs root on ext4 or a like file system)";
  const ConfigResult result = config(
      dir, {QStringLiteral("device=/dev/ttyUSB9"), QStringLiteral("rows=7"), QStringLiteral("mqtt.url=mqtt://h")});
  setImmutable(setupPath(dir), false);

  EXPECT_EQ(result.status, ConfigNotSaved);
  EXPECT_EQ(result.out, QString());
  EXPECT_TRUE(result.err.contains(QStringLiteral("設定条件の保存に失敗しました"))) << result.err.toStdString();
  EXPECT_TRUE(result.err.contains(QStringLiteral("ports.conf は元に戻しました"))) << result.err.toStdString();
  EXPECT_TRUE(result.err.contains(QStringLiteral("kestrune.conf は元に戻しました"))) << result.err.toStdString();
  EXPECT_FALSE(mqtt::readConf(dir + QStringLiteral("/kestrune.conf"))->enabled());
  EXPECT_EQ(readAll(setupPath(dir)), setupBefore);
  EXPECT_EQ(serial::PortMap::load(mapPath(dir)).entry(1), QStringLiteral("/dev/ttyS0"));
  EXPECT_EQ(serial::PortMap::load(mapPath(dir)).entry(3), QStringLiteral("/dev/ttyUSB0"));
}

// The broker settings go into kestrune.conf, checked first like every other
// key; setup.dat and ports.conf keep their bytes.
TEST_F(ConfigCommandTest, BrokerSettingsAreCheckedAndStoredInKestruneConfOnly) {
  const QString dir = labFolder();
  const QByteArray setupBefore = readAll(setupPath(dir));
  writeAll(dir + QStringLiteral("/ca.pem"), "certificate\n");
  struct Refused {
    const char* assignment;
    const char* reason;
  };
  const Refused refused[] = {
      {"mqtt.url=http://broker:1883", "mqtt://"},
      {"mqtt.url=mqtt://:1883", "mqtt://"},
      {"mqtt.topic=lab/#", "+ と #"},
      {"mqtt.ca-file=/nonexistent/ca.pem", "/nonexistent/ca.pem"},
      {"mqtt.password-file=/nonexistent/pw", "/nonexistent/pw"},
      {"http.listen=lab:8080", "http.listen"},
      {"http.listen=127.0.0.1:0", "http.listen"},
      {"http.cert-file=/nonexistent/web.pem", "/nonexistent/web.pem"},
      {"stamp-precision=us", "s か ms"},
      {"record=yes", "off か on"},
      {"full-sheet=stop", "end か continue"},
  };
  for (const Refused& r : refused) {
    const ConfigResult result = config(dir, {QStringLiteral("rows=7"), QString::fromUtf8(r.assignment)});
    EXPECT_EQ(result.status, ConfigRefused) << r.assignment;
    EXPECT_TRUE(result.err.contains(QString::fromUtf8(r.reason))) << result.err.toStdString();
    EXPECT_EQ(readAll(setupPath(dir)), setupBefore) << r.assignment;
    EXPECT_FALSE(QFile::exists(dir + QStringLiteral("/kestrune.conf"))) << r.assignment;
  }

  // A file named relative to the current folder is stored by its absolute path.
  const QString oldCurrent = QDir::currentPath();
  QDir::setCurrent(dir);
  const ConfigResult set =
      config(dir, {QStringLiteral("mqtt.url=mqtts://broker.lab"), QStringLiteral("mqtt.user=lab"),
                   QStringLiteral("mqtt.ca-file=ca.pem"), QStringLiteral("mqtt.topic=plant/{host}"),
                   QStringLiteral("http.listen=localhost:8080"), QStringLiteral("record=on"),
                   QStringLiteral("full-sheet=continue")});
  QDir::setCurrent(oldCurrent);
  ASSERT_EQ(set.status, ConfigDone) << set.err.toStdString();
  const auto listed = values(set.out);
  EXPECT_EQ(listed.at(QStringLiteral("mqtt.url")), QStringLiteral("mqtts://broker.lab"));
  EXPECT_EQ(listed.at(QStringLiteral("mqtt.ca-file")), dir + QStringLiteral("/ca.pem"));
  EXPECT_EQ(listed.at(QStringLiteral("mqtt.password-file")), QString());
  EXPECT_EQ(readAll(setupPath(dir)), setupBefore);
  EXPECT_EQ(readAll(mapPath(dir)), LabMap);
  EXPECT_EQ(readAll(dir + QStringLiteral("/kestrune.conf")),
            "mqtt.url=mqtts://broker.lab\nmqtt.topic=plant/{host}\nmqtt.user=lab\nmqtt.ca-file=" +
                (dir + QStringLiteral("/ca.pem")).toUtf8() +
                "\nhttp.listen=localhost:8080\nstamp-precision=s\nrecord=on\nfull-sheet=continue\n");
  EXPECT_EQ(listed.at(QStringLiteral("full-sheet")), QStringLiteral("continue"));
  EXPECT_EQ(listed.at(QStringLiteral("http.listen")), QStringLiteral("localhost:8080"));
  // An empty value clears a setting; the others stay.
  ASSERT_EQ(config(dir, {QStringLiteral("mqtt.url=")}).status, ConfigDone);
  const mqtt::MqttSettings after = *mqtt::readConf(dir + QStringLiteral("/kestrune.conf"));
  EXPECT_FALSE(after.enabled());
  EXPECT_EQ(after.user, QStringLiteral("lab"));
  // A workbook's section keeps its bytes; the broker goes among the global lines.
  const QString conf = dir + QStringLiteral("/kestrune.conf");
  const QByteArray global = readAll(conf);
  const QByteArray section = "\n# book\n[/lab/測定 a.xls]\nmqtt.url=mqtt://not-the-broker\nchart.hidden=1\n";
  writeAll(conf, global + section);
  ASSERT_EQ(config(dir, {QStringLiteral("mqtt.url=mqtt://h")}).status, ConfigDone);
  EXPECT_EQ(readAll(conf), global + "mqtt.url=mqtt://h\n" + section);
}

// The conditions panel's boxes and options.
struct PanelView final : settings::ConditionsView {
  QString text(CondBox b) const override { return texts.count(b) ? texts.at(b) : QString(); }
  void setText(CondBox b, const QString& t) override { texts[b] = t; }
  void setBoxEnabled(CondBox, bool) override {}
  int selectedOption(CondOption g) const override { return options.count(g) ? options.at(g) : -1; }
  void selectOption(CondOption g, int i) override { options[g] = i; }
  void focusBox(CondBox) override {}
  std::map<CondBox, QString> texts;
  std::map<CondOption, int> options;
};

// The program over a settings folder: setup.dat loaded as it starts and saved
// as it leaves, the panels editing its settings.
struct Program {
  explicit Program(const QString& dir)
      : session([](int) { return std::make_unique<FakePort>(); }, settings::SettingsFolder::fixed(dir), clock) {
    session.loadSettings();
  }
  testing::ManualClock clock;
  app::AcquisitionSession session;
};

struct Typed {
  QStringList assignments;
  // What a person types into the boxes and which buttons they pick.
  std::map<CondBox, QString> typed;
  std::map<CondOption, int> picked;
};

TEST_F(ConfigCommandTest, ConditionsSetByConfigReadBackInThePanelAsIfTypedThere) {
  const std::vector<Typed> cases = {
      {{"minutes=2.5", "rows=10000", "start=cell", "start-cell=ia65000", "numbering=on", "number=7", "stamp=time",
        "script=file"},
       {{CondBox::Min, "2.5"},
        {CondBox::Rows, "10000"},
        {CondBox::StartCol, "ia"},
        {CondBox::StartRow, "65000"},
        {CondBox::CellNo, "7"}},
       {{CondOption::Cell, 1}, {CondOption::Num, 1}, {CondOption::Time, 2}, {CondOption::Protcol, 1}}},
      {{"minutes=300", "rows=1", "start=current", "start-cell=A1", "numbering=off", "number=1", "stamp=none",
        "script=builtin"},
       {{CondBox::Min, "300"},
        {CondBox::Rows, "1"},
        {CondBox::StartCol, "A"},
        {CondBox::StartRow, "1"},
        {CondBox::CellNo, "1"}},
       {{CondOption::Cell, 0}, {CondOption::Num, 0}, {CondOption::Time, 0}, {CondOption::Protcol, 0}}},
      {{"minutes=3.5", "start-cell=Z12", "stamp=date"},
       {{CondBox::Min, "3.5"}, {CondBox::StartCol, "z"}, {CondBox::StartRow, "12"}},
       {{CondOption::Time, 1}}},
  };
  for (const Typed& c : cases) {
    SCOPED_TRACE(c.assignments.join(QLatin1Char(' ')).toStdString());
    const QString viaConfig = labFolder();
    ASSERT_EQ(config(viaConfig, c.assignments).status, ConfigDone);
    Program configured(viaConfig);
    PanelView shownAfterConfig;
    settings::ConditionsPanel(configured.session, shownAfterConfig).showCellConditions();

    // The same values typed into the panel over the same lab settings, each
    // box left as a person leaves it, then OK, and the program leaving.
    const QString viaPanel = labFolder();
    Program typed(viaPanel);
    PanelView view;
    settings::ConditionsPanel panel(typed.session, view);
    panel.showCellConditions();
    for (const auto& [box, text] : c.typed) view.texts[box] = text;
    for (const auto& [group, index] : c.picked) view.options[group] = index;
    panel.TextMin_LostFocus();
    panel.TextRows_LostFocus();
    panel.TextStartCol_LostFocus();
    panel.TextStartRow_LostFocus();
    panel.TextCellNo_LostFocus();
    panel.CommandCellOk();
    PanelView shownAfterPanel;
    settings::ConditionsPanel(typed.session, shownAfterPanel).showCellConditions();

    EXPECT_EQ(shownAfterConfig.texts, shownAfterPanel.texts);
    EXPECT_EQ(shownAfterConfig.options, shownAfterPanel.options);
    EXPECT_EQ(configured.session.conditions(), typed.session.conditions());
    configured.session.saveSettings();
    typed.session.saveSettings();
    EXPECT_EQ(readAll(setupPath(viaConfig)).toHex(), readAll(setupPath(viaPanel)).toHex());
  }
}

// Devices plugged in, for the serial panel's device chooser.
struct PluggedDevices final : serial::DeviceSource {
  std::vector<serial::SerialDevice> devices() const override { return list; }
  bool present(const QString& path) const override {
    return std::any_of(list.begin(), list.end(), [&path](const serial::SerialDevice& d) { return d.path == path; });
  }
  void setWatching(bool) override {}
  std::vector<serial::SerialDevice> list;
};

struct SerialView final : serial::SerialPanelView {
  void setListItems(serial::RsList l, const QStringList& items) override { lists[l] = items; }
  int selectedIndex(serial::RsList l) const override { return selected.count(l) ? selected.at(l) : -1; }
  void selectIndex(serial::RsList l, int i) override { selected[l] = i; }
  void setDevicePath(const QString& p) override { device = p; }
  void setDeviceChoices(const std::vector<serial::DeviceChoice>& c, int s) override {
    choices = c;
    chosen = s;
  }
  int selectedDevice() const override { return chosen; }
  QString text(serial::RsList l) const {
    const int i = selectedIndex(l);
    return i >= 0 && i < lists.at(l).size() ? lists.at(l).at(i) : QString();
  }
  std::map<serial::RsList, QStringList> lists;
  std::map<serial::RsList, int> selected;
  QString device;
  std::vector<serial::DeviceChoice> choices;
  int chosen = -1;
};

struct Picked {
  QStringList assignments;
  std::map<serial::RsList, QString> picked;  // the entries picked in the panel's lists
  QString device;                            // the device chosen; empty for the default
};

TEST_F(ConfigCommandTest, SerialValuesSetByConfigReadBackInThePanelAsIfPickedThere) {
  using serial::RsList;
  const std::vector<Picked> cases = {
      {{"port=3", "line=19200,e,7,1.5", "flow=xon", "device=/dev/ttyUSB7"},
       {{RsList::Port, "Com3"},
        {RsList::Speed, "19200"},
        {RsList::Parity, "Even"},
        {RsList::DataBits, "7"},
        {RsList::StopBits, "1.5"},
        {RsList::Flow, "Xon/Xoff"}},
       "/dev/ttyUSB7"},
      {{"port=1", "line=300,o,8,2", "flow=rts", "device="},
       {{RsList::Port, "Com1"},
        {RsList::Speed, "300"},
        {RsList::Parity, "Odd"},
        {RsList::DataBits, "8"},
        {RsList::StopBits, "2"},
        {RsList::Flow, "RTS"}},
       ""},
  };
  PluggedDevices plugged;
  plugged.list = {{QStringLiteral("/dev/ttyUSB7"), QStringLiteral("/dev/ttyUSB7"), {}, {}, {}}};
  for (const Picked& c : cases) {
    SCOPED_TRACE(c.assignments.join(QLatin1Char(' ')).toStdString());
    const QString viaConfig = labFolder();
    ASSERT_EQ(config(viaConfig, c.assignments).status, ConfigDone);
    Program configured(viaConfig);
    SerialView shown;
    serial::SerialPanel shownPanel(configured.session, serial::PortMap::load(mapPath(viaConfig)),
                                   {mapPath(viaConfig), mapPath(viaConfig)}, plugged, shown);
    shownPanel.LoadPropertySettings();
    for (const auto& [list, text] : c.picked) EXPECT_EQ(shown.text(list), text);
    EXPECT_EQ(shown.device, c.device.isEmpty() ? QStringLiteral("/dev/ttyS0") : c.device);

    // The same values picked in the panel over the same lab settings, OK,
    // then the program leaving (setup.dat written from the port).
    const QString viaPanel = labFolder();
    Program picked(viaPanel);
    SerialView view;
    serial::SerialPanel panel(picked.session, serial::PortMap::load(mapPath(viaPanel)),
                              {mapPath(viaPanel), mapPath(viaPanel)}, plugged, view);
    panel.LoadPropertySettings();
    panel.refreshDevices();
    for (const auto& [list, text] : c.picked) view.selected[list] = static_cast<int>(view.lists[list].indexOf(text));
    panel.cboPort_Click();
    const auto choice = std::find_if(view.choices.begin(), view.choices.end(),
                                     [&c](const serial::DeviceChoice& d) { return d.path == c.device; });
    ASSERT_NE(choice, view.choices.end());
    view.chosen = static_cast<int>(choice - view.choices.begin());
    panel.cboDevice_Click();
    ASSERT_TRUE(panel.CommandRsOk());
    picked.session.saveSettings();

    EXPECT_EQ(readAll(setupPath(viaConfig)), readAll(setupPath(viaPanel)));
    EXPECT_EQ(readAll(mapPath(viaConfig)), readAll(mapPath(viaPanel)));
  }
}

TEST_F(ConfigCommandTest, CommandLineOptions) {
  const QString dir = labFolder();
  const QString program = root.path();  // no settings there: --dir must be what is read
  struct Case {
    QStringList arguments;
    int status;
    const char* inOutput;
  };
  const std::vector<Case> cases = {
      {{QStringLiteral("--dir"), dir}, ConfigDone, "rows=100"},
      {{QStringLiteral("--dir=") + dir, QStringLiteral("rows=9")}, ConfigDone, "rows=9"},
      {{QStringLiteral("--dir")}, ConfigRefused, "--dir"},
      {{QStringLiteral("--dir=")}, ConfigRefused, "--dir"},
      {{QStringLiteral("--dir"), dir, QStringLiteral("--workbook")}, ConfigRefused, "--workbook"},
      {{QStringLiteral("--workbook="), QStringLiteral("--dir"), dir}, ConfigRefused, "--workbook"},
      {{QStringLiteral("--workbook=/w/a.xls"), QStringLiteral("--dir"), dir}, ConfigDone, "alarm.silence="},
      {{QStringLiteral("--verbose"), QStringLiteral("--dir"), dir}, ConfigRefused, "--verbose"},
      {{QStringLiteral("--help")}, ConfigDone, "start-cell"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments.join(QLatin1Char(' ')).toStdString());
    const ConfigResult result = configCommand(c.arguments, program);
    EXPECT_EQ(result.status, c.status);
    EXPECT_TRUE((result.out + result.err).contains(QString::fromUtf8(c.inOutput)))
        << (result.out + result.err).toStdString();
  }
  EXPECT_EQ(values(configCommand({QStringLiteral("--dir"), dir}, program).out)[QStringLiteral("rows")],
            QStringLiteral("9"));
}

TEST_F(ConfigCommandTest, TheProgramRunsTheCommandWithoutADisplay) {
  const QString dir = labFolder();
  QProcess process;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.remove(QStringLiteral("DISPLAY"));
  environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
  environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
  process.setProcessEnvironment(environment);
  const auto run = [&process](const QStringList& arguments) {
    process.start(QStringLiteral(KESTRUNE_PATH), arguments);
    EXPECT_TRUE(process.waitForFinished(60000));
    return process.exitCode();
  };

  EXPECT_EQ(run({QStringLiteral("config"), QStringLiteral("--dir"), dir, QStringLiteral("rows=42"),
                 QStringLiteral("stamp=date")}),
            0);
  const QString out = QString::fromUtf8(process.readAllStandardOutput());
  EXPECT_EQ(keysInOrder(out), labKeys());
  EXPECT_EQ(values(out)[QStringLiteral("rows")], QStringLiteral("42"));
  EXPECT_EQ(values(out)[QStringLiteral("stamp")], QStringLiteral("date"));
  const QByteArray saved = readAll(setupPath(dir));

  EXPECT_EQ(run({QStringLiteral("config"), QStringLiteral("--dir"), dir, QStringLiteral("rows=0")}), 2);
  EXPECT_EQ(process.readAllStandardOutput(), QByteArray());
  EXPECT_TRUE(QString::fromUtf8(process.readAllStandardError()).contains(QStringLiteral("rows=0")));
  EXPECT_EQ(readAll(setupPath(dir)), saved);
}

}  // namespace
}  // namespace kestrune::app
