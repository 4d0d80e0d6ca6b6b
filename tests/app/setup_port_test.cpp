// setup.dat and channel 0's port: slot 0 applied after loading, taken from the
// port before saving, and the flow control carried between the two types.
#include "app/setup_port.h"

#include "fakes/shown.h"
#include "fakes/fake_port.h"
#include "fakes/recording_message_boxes.h"
#include "settings/setup_file.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

namespace kestrune::app {
namespace {

using settings::SetupRecord;
using testing::FakePort;
using testing::RecordingMessageBoxes;

TEST(FlowControlMappingTest, EachSlotValueIsThePortsOwnAndBack) {
  const std::pair<settings::FlowControl, serial::FlowControl> cases[] = {
      {settings::FlowControl::None, serial::FlowControl::None},
      {settings::FlowControl::XonXoff, serial::FlowControl::XonXoff},
      {settings::FlowControl::RtsCts, serial::FlowControl::RtsCts},
      {settings::FlowControl::RtsCtsXonXoff, serial::FlowControl::RtsCtsXonXoff},
  };
  for (const auto& [slot, port] : cases) {
    EXPECT_EQ(portFlowControl(slot), port) << serial::handshakingCode(port);
    EXPECT_EQ(slotFlowControl(port), slot) << serial::handshakingCode(port);
  }
}

// A record whose slot 0 the fake port takes as it is.
SetupRecord example() {
  SetupRecord r;
  r.setStampMode(settings::StampMode::DateAndTime);
  r.startRow = 2;
  r.measureCount = 60;
  r.commSettings[0] = "9600,n,8,1";
  r.commPort[0] = 1;
  return r;
}

// Where slot `slot`'s flow control lies in the bytes of `r` (reservedTail empty).
qsizetype flowControlAt(const SetupRecord& r, std::size_t slot) {
  qsizetype at = 14 + 2 + r.startCol.size() + 16;
  for (const QByteArray& s : r.commSettings) at += 2 + s.size();
  return at + 2 * settings::SlotCount + 2 * static_cast<qsizetype>(slot);
}

class SetupPortTest : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(dir.isValid()); }
  QString path() const { return dir.filePath(settings::SetupFileName); }
  void writeFile(const QByteArray& data) {
    QFile f(path());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(data);
  }
  QByteArray readFile() const {
    QFile f(path());
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
  QTemporaryDir dir;
  FakePort port;
  RecordingMessageBoxes boxes;
};

TEST_F(SetupPortTest, MissingFileChangesNothingSaysNothingAndLeavesThePortAlone) {
  SetupRecord r;
  EXPECT_TRUE(testing::shown(loadSetupAndPort(r, port, path()), boxes));
  EXPECT_EQ(r, SetupRecord());
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_TRUE(port.calls.empty());
  EXPECT_EQ(port.commPort(), 1);
  EXPECT_EQ(port.settings(), QStringLiteral("9600,n,8,1"));
  EXPECT_EQ(port.handshaking(), serial::FlowControl::None);
}

TEST_F(SetupPortTest, LoadAppliesSlotZeroToThePortInOrder) {
  SetupRecord saved = example();
  saved.commPort[0] = 3;
  saved.commSettings[0] = "19200,E,7,1.5";
  saved.setHandshaking(0, settings::FlowControl::RtsCts);
  writeFile(*settings::encodeSetupRecord(saved));
  SetupRecord r;
  EXPECT_TRUE(testing::shown(loadSetupAndPort(r, port, path()), boxes));
  EXPECT_EQ(port.calls, (std::vector<std::string>{"CommPort=3", "Settings=19200,E,7,1.5", "Handshaking=2"}));
  EXPECT_EQ(port.settings(), QStringLiteral("19200,e,7,1.5"));
  EXPECT_EQ(port.handshaking(), serial::FlowControl::RtsCts);
  EXPECT_TRUE(boxes.shown.empty());
}

struct RefusedCase {
  const char* name;
  std::int16_t port;
  const char* settings;
  std::int16_t handshaking;  // as stored in the file
  std::size_t calls;
};

class RefusedPortValueTest : public SetupPortTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedPortValueTest, ShowsLoadMessageAndStopsApplying) {
  const RefusedCase& c = GetParam();
  SetupRecord saved = example();
  saved.commPort[0] = c.port;
  saved.commSettings[0] = c.settings;
  QByteArray bytes = *settings::encodeSetupRecord(saved);
  qToLittleEndian(c.handshaking, bytes.data() + flowControlAt(saved, 0));
  writeFile(bytes);
  SetupRecord r;
  EXPECT_FALSE(testing::shown(loadSetupAndPort(r, port, path()), boxes));
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("設定条件の読込に失敗しました")});
  EXPECT_EQ(boxes.shown[0].icon, MessageIcon::None);
  EXPECT_EQ(port.calls.size(), c.calls);
  EXPECT_EQ(port.handshaking(), serial::FlowControl::None);
  EXPECT_EQ(r.measureCount, 60);  // the record itself was read in full
}

// A flow control the file does not name is refused before it reaches the port.
INSTANTIATE_TEST_SUITE_P(Cases, RefusedPortValueTest,
                         ::testing::Values(RefusedCase{"PortZero", 0, "9600,n,8,1", 0, 1},
                                           RefusedCase{"PortNine", 9, "9600,n,8,1", 0, 1},
                                           RefusedCase{"BadSettings", 2, "9600,q,8,1", 0, 2},
                                           RefusedCase{"EmptySettings", 2, "", 0, 2},
                                           RefusedCase{"BadHandshaking", 2, "9600,n,8,1", 7, 2},
                                           RefusedCase{"NegativeHandshaking", 2, "9600,n,8,1", -1, 2}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(SetupPortTest, TruncatedFileShowsLoadMessageOnceAndLeavesThePortAlone) {
  writeFile(settings::encodeSetupRecord(example())->first(30));
  SetupRecord r;
  EXPECT_FALSE(testing::shown(loadSetupAndPort(r, port, path()), boxes));
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("設定条件の読込に失敗しました")});
  EXPECT_EQ(r.stampMode(), settings::StampMode::DateAndTime);
  EXPECT_EQ(r.startRow, 2);
  EXPECT_EQ(r.measureCount, 0);
  EXPECT_TRUE(port.calls.empty());
}

TEST_F(SetupPortTest, SaveCopiesPortIntoSlotZeroOnlyAndLoadGivesEverythingBack) {
  SetupRecord r = example();
  r.reservedHead = -2;
  r.reservedMid = 0x1234;
  r.reservedTail = "tail bytes \x01\xff";
  for (std::size_t i = 1; i < settings::SlotCount; ++i) {
    r.commSettings[i] = QByteArray::number(static_cast<int>(i)) + "200,e,7,2";
    r.commPort[i] = static_cast<std::int16_t>(i + 1);
    r.setHandshaking(i, settings::FlowControl::RtsCtsXonXoff);
  }
  ASSERT_TRUE(port.setCommPort(4).ok());
  ASSERT_TRUE(port.setSettings(QStringLiteral("38400,O,8,2")).ok());
  ASSERT_TRUE(port.setHandshaking(serial::FlowControl::XonXoff).ok());
  EXPECT_TRUE(testing::shown(saveSetupAndPort(r, port, path()), boxes));
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_EQ(r.commPort[0], 4);
  EXPECT_EQ(r.commSettings[0], "38400,o,8,2");
  EXPECT_EQ(r.handshaking(0), settings::FlowControl::XonXoff);
  EXPECT_EQ(readFile().size(), 2048);

  SetupRecord back;
  FakePort fresh;
  EXPECT_TRUE(testing::shown(loadSetupAndPort(back, fresh, path()), boxes));
  EXPECT_EQ(back, r);
  EXPECT_EQ(back.commSettings[3], "3200,e,7,2");
  EXPECT_EQ(back.handshaking(3), settings::FlowControl::RtsCtsXonXoff);
  EXPECT_EQ(fresh.commPort(), 4);
  EXPECT_EQ(fresh.handshaking(), serial::FlowControl::XonXoff);
}

TEST_F(SetupPortTest, LoadingAndSavingAHandMadeFileThroughThePortKeepsItsBytes) {
  // Booleans and modes other than the record's own, and a slot naming no
  // flow control: the port takes slot 0 and gives the same values back.
  const SetupRecord made = example();
  QByteArray file = *settings::encodeSetupRecord(made);
  for (const auto& [offset, value] :
       {std::pair<qsizetype, std::int16_t>{2, 9}, {4, 2}, {6, -5}, {12, 3}, {flowControlAt(made, 5), 12}})
    qToLittleEndian(value, file.data() + offset);
  file += QByteArray("after the record");
  writeFile(file);
  SetupRecord r;
  ASSERT_TRUE(testing::shown(loadSetupAndPort(r, port, path()), boxes));
  EXPECT_EQ(r.handshaking(5), std::nullopt);
  ASSERT_TRUE(testing::shown(saveSetupAndPort(r, port, path()), boxes));
  EXPECT_EQ(readFile().toHex(), file.toHex());
  EXPECT_TRUE(boxes.shown.empty());
}

}  // namespace
}  // namespace kestrune::app
