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

#include <functional>
#include <vector>

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
  saved.commPort[1] = 5;  // channel 1's slot goes to its own port
  saved.commSettings[1] = "300,o,8,1";
  writeFile(saved.bytes());
  session.loadSettings();
  EXPECT_EQ(port().calls, (std::vector<std::string>{"CommPort=3", "Settings=19200,e,7,1.5", "Handshaking=2"}));
  EXPECT_EQ(port().handshaking(), serial::FlowControl::RtsCts);
  EXPECT_EQ(session.lineSettings().port, 3);
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_EQ(static_cast<FakePort&>(session.port(1)).calls,
            (std::vector<std::string>{"CommPort=5", "Settings=300,o,8,1", "Handshaking=0"}));
  EXPECT_TRUE(static_cast<FakePort&>(session.port(2)).calls.empty()) << "an unused slot";
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

settings::LineSettings lineOf(int port, const char* text, serial::FlowControl flow) {
  return {port, serial::parseSettings(QString::fromLatin1(text)).value(), flow};
}

struct ChannelCase {
  const char* name;
  std::function<void(RawSetup&)> before;  // the file's slots besides slot 0
  std::vector<std::pair<int, settings::LineSettings>> applied;
  std::function<void(RawSetup&)> written;  // what the save changes, as the old writer lays it out
  std::vector<std::pair<int, settings::LineSettings>> reads = {};  // lines loaded besides those applied
};

// Every channel goes to its own slot and comes back from it; a slot whose
// channel did not change keeps its bytes, and so does everything else.
TEST_F(SessionSettingsTest, EachChannelIsSavedInItsOwnSlotAndLoadedBackFromIt) {
  using serial::FlowControl;
  const auto none = [](RawSetup&) {};
  const std::vector<ChannelCase> cases = {
      {"channel 1 alone, as before",
       none,
       {{0, lineOf(4, "38400,o,8,2", FlowControl::XonXoff)}},
       [](RawSetup& r) {
         r.commPort[0] = 4;
         r.commSettings[0] = "38400,o,8,2";
         r.handshaking[0] = 1;
       }},
      {"channels 3 and 8 given ports",
       none,
       {{2, lineOf(3, "19200,e,7,2", FlowControl::RtsCts)}, {7, lineOf(8, "300,n,7,1.5", FlowControl::None)}},
       [](RawSetup& r) {
         r.commPort[2] = 3;
         r.commSettings[2] = "19200,e,7,2";
         r.handshaking[2] = 2;
         r.commPort[7] = 8;
         r.commSettings[7] = "300,n,7,1.5";
       }},
      {"channel 5 left without a port",
       [](RawSetup& r) {
         r.commPort[4] = 5;
         r.commSettings[4] = "4800,n,8,1";
         r.handshaking[4] = 1;
       },
       {{4, lineOf(settings::NoPort, "4800,n,8,1", FlowControl::XonXoff)}},
       [](RawSetup& r) { r.commPort[4] = 0; }},
      {"a slot the port refuses is loaded quietly and kept",
       [](RawSetup& r) {
         r.commPort[5] = 3;
         r.commSettings[5] = "garbage";
         r.handshaking[5] = 9;
         r.commPort[6] = 12;
       },
       {},
       none,
       {{5, lineOf(3, "9600,n,8,1", FlowControl::None)},
        {6, lineOf(settings::NoPort, "9600,n,8,1", FlowControl::None)}}},
  };
  for (const ChannelCase& c : cases) {
    SCOPED_TRACE(c.name);
    RawSetup file = example();
    file.reservedHead = -2;
    file.reservedMid = 0x1234;
    file.reservedTail = "tail";
    c.before(file);
    writeFile(file.bytes() + "after");
    testing::ManualClock clock1;
    AcquisitionSession first([](int) { return std::make_unique<FakePort>(); },
                             settings::SettingsFolder::fixed(dir.path()), clock1);
    QObject::connect(&first, &AcquisitionSession::message, [this](const QString& text) { boxes.show(text); });
    first.loadSettings();
    for (const auto& [channel, line] : c.applied) ASSERT_TRUE(first.applyLineSettings(channel, line).ok());
    first.saveSettings();
    EXPECT_TRUE(boxes.shown.empty());
    c.written(file);
    EXPECT_EQ(readFile().toHex(), (file.bytes() + "after").toHex());

    testing::ManualClock clock2;
    AcquisitionSession fresh([](int) { return std::make_unique<FakePort>(); },
                             settings::SettingsFolder::fixed(dir.path()), clock2);
    fresh.loadSettings();
    EXPECT_TRUE(boxes.shown.empty());
    for (int channel = 0; channel < serial::ChannelCount; ++channel) {
      SCOPED_TRACE(channel);
      const settings::LineSettings& line = fresh.lineSettings(channel);
      EXPECT_EQ(line, first.lineSettings(channel));
      if (line.port == settings::NoPort) continue;
      EXPECT_EQ(fresh.port(channel).commPort(), line.port);
      EXPECT_EQ(fresh.port(channel).settings(), serial::settingsText(line.config));
    }
    for (const auto& [channel, line] : c.applied) EXPECT_EQ(fresh.lineSettings(channel), line) << channel;
    for (const auto& [channel, line] : c.reads) EXPECT_EQ(fresh.lineSettings(channel), line) << channel;
  }
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
