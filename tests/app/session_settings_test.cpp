// setup.dat through the session: slot 0 applied to channel 0's port as the
// program starts, the settings written back as it leaves, and a hand-made
// file kept byte for byte.
#include "app/acquisition_session.h"

#include "fakes/manual_clock.h"
#include "fakes/fake_port.h"
#include "fakes/raw_setup.h"
#include "fakes/recording_message_boxes.h"
#include "settings/setup_file.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace kestrune::app {
namespace {

using testing::FakePort;
using testing::RawSetup;

// Values the fake port takes as they are.
RawSetup example() {
  RawSetup r;
  r.stampMode = 3;
  r.startRow = 2;
  r.measureCount = 60;
  r.commSettings[0] = "9600,n,8,1";
  r.commPort[0] = 1;
  return r;
}

class SessionSettingsTest : public ::testing::Test {
protected:
  SessionSettingsTest() {
    QObject::connect(&session, &AcquisitionSession::message, &session,
                     [this](const QString& text, MessageIcon icon, const QString& informative) {
                       boxes.show(text, icon, informative);
                     });
  }
  FakePort& port() { return static_cast<FakePort&>(session.port(0)); }
  QString path() const { return dir.filePath(settings::SetupFileName); }
  void writeFile(const QByteArray& data) {
    QFile f(path());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(data);
  }
  QByteArray readFile() const {
    QFile f(path());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }

  QTemporaryDir dir;
  testing::RecordingMessageBoxes boxes;
  testing::ManualClock clock;
  AcquisitionSession session{[](int) { return std::make_unique<FakePort>(); },
                             settings::SettingsFolder::fixed(dir.path()), clock};
};

TEST_F(SessionSettingsTest, MissingFileChangesNothingSaysNothingAndLeavesThePortAlone) {
  session.loadSettings();
  EXPECT_EQ(session.settings(), settings::Settings());
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_TRUE(port().calls.empty());
}

TEST_F(SessionSettingsTest, LoadAppliesSlotZeroToThePortInOrder) {
  RawSetup saved = example();
  saved.commPort[0] = 3;
  saved.commSettings[0] = "19200,E,7,1.5";
  saved.handshaking[0] = 2;
  saved.commPort[1] = 5;  // other slots belong to no port
  saved.commSettings[1] = "300,o,8,1";
  writeFile(saved.bytes());
  session.loadSettings();
  EXPECT_EQ(port().calls, (std::vector<std::string>{"CommPort=3", "Settings=19200,e,7,1.5", "Handshaking=2"}));
  EXPECT_EQ(port().handshaking(), serial::FlowControl::RtsCts);
  EXPECT_EQ(session.lineSettings().port, 3);
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_TRUE(static_cast<FakePort&>(session.port(1)).calls.empty());
}

struct RefusedCase {
  const char* name;
  std::int16_t port;
  const char* settings;
  std::int16_t handshaking;  // as stored in the file
  int portTaken;             // the port number channel 0 ends with
};

class RefusedPortValueTest : public SessionSettingsTest, public ::testing::WithParamInterface<RefusedCase> {};

// One message; what was read before the refused value is applied, the
// refused value and those after it are not, and the conditions are read.
TEST_P(RefusedPortValueTest, ShowsLoadMessageAndStopsApplying) {
  const RefusedCase& c = GetParam();
  RawSetup saved = example();
  saved.commPort[0] = c.port;
  saved.commSettings[0] = c.settings;
  saved.handshaking[0] = c.handshaking;
  writeFile(saved.bytes());
  session.loadSettings();
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("設定条件の読込に失敗しました")});
  EXPECT_EQ(boxes.shown[0].icon, MessageIcon::None);
  EXPECT_EQ(port().commPort(), c.portTaken);
  EXPECT_EQ(port().settings(), QStringLiteral("9600,n,8,1"));
  EXPECT_EQ(port().handshaking(), serial::FlowControl::None);
  EXPECT_EQ(session.lineSettings().port, c.portTaken);
  EXPECT_EQ(session.conditions().rows, 60);
  // Leaving writes what the port took.
  session.saveSettings();
  saved.commPort[0] = static_cast<std::int16_t>(c.portTaken);
  saved.commSettings[0] = "9600,n,8,1";
  saved.handshaking[0] = 0;
  EXPECT_EQ(readFile().toHex(), saved.bytes().toHex());
}

INSTANTIATE_TEST_SUITE_P(Cases, RefusedPortValueTest,
                         ::testing::Values(RefusedCase{"PortZero", 0, "9600,n,8,1", 0, 1},
                                           RefusedCase{"PortNine", 9, "9600,n,8,1", 0, 1},
                                           RefusedCase{"BadSettings", 2, "9600,q,8,1", 0, 2},
                                           RefusedCase{"EmptySettings", 2, "", 0, 2},
                                           RefusedCase{"BadHandshaking", 2, "9600,n,8,1", 7, 2},
                                           RefusedCase{"NegativeHandshaking", 2, "9600,n,8,1", -1, 2}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(SessionSettingsTest, TruncatedFileShowsLoadMessageOnceAndLeavesThePortAlone) {
  writeFile(example().bytes().first(30));
  session.loadSettings();
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("設定条件の読込に失敗しました")});
  EXPECT_EQ(session.conditions().stamp, settings::StampMode::DateAndTime);
  EXPECT_EQ(session.conditions().cursor.row, 2);
  EXPECT_EQ(session.conditions().rows, 0);
  EXPECT_TRUE(port().calls.empty());
}

TEST_F(SessionSettingsTest, SaveWritesTheLineIntoSlotZeroOnlyAndLoadGivesItBack) {
  RawSetup r = example();
  r.reservedHead = -2;
  r.reservedMid = 0x1234;
  r.reservedTail = "tail bytes \x01\xff";
  for (std::size_t i = 1; i < 8; ++i) {
    r.commSettings[i] = QByteArray::number(static_cast<int>(i)) + "200,e,7,2";
    r.commPort[i] = static_cast<std::int16_t>(i + 1);
    r.handshaking[i] = 3;
  }
  writeFile(r.bytes());
  session.loadSettings();
  settings::LineSettings line;
  line.port = 4;
  line.config = serial::parseSettings(QStringLiteral("38400,O,8,2")).value();
  line.flow = serial::FlowControl::XonXoff;
  ASSERT_TRUE(session.applyLineSettings(line).ok());
  session.saveSettings();
  EXPECT_TRUE(boxes.shown.empty());
  r.commPort[0] = 4;
  r.commSettings[0] = "38400,o,8,2";
  r.handshaking[0] = 1;
  EXPECT_EQ(readFile().toHex(), r.bytes().toHex());

  testing::ManualClock otherClock;
  AcquisitionSession fresh([](int) { return std::make_unique<FakePort>(); },
                           settings::SettingsFolder::fixed(dir.path()), otherClock);
  fresh.loadSettings();
  EXPECT_EQ(fresh.lineSettings(), line);
  EXPECT_EQ(fresh.port(0).commPort(), 4);
  EXPECT_EQ(fresh.port(0).handshaking(), serial::FlowControl::XonXoff);
}

TEST_F(SessionSettingsTest, LoadingAndSavingAHandMadeFileKeepsItsBytes) {
  // Booleans and modes other than the record's own, a settings text in
  // capitals, a slot naming no flow control, bytes after the record.
  RawSetup made = example();
  made.stampMode = 9;
  made.scriptFromFile = 2;
  made.numberingOn = -5;
  made.startAtCell = 3;
  made.commSettings[0] = " 9600,N,8,1";
  made.handshaking[5] = 12;
  const QByteArray file = made.bytes() + QByteArray("after the record");
  writeFile(file);
  session.loadSettings();
  EXPECT_TRUE(boxes.shown.empty());
  session.saveSettings();
  EXPECT_EQ(readFile().toHex(), file.toHex());
  EXPECT_TRUE(boxes.shown.empty());
}

}  // namespace
}  // namespace kestrune::app
