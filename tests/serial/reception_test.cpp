#include "serial/reception.h"

#include "fakes/fake_port.h"
#include "fakes/manual_clock.h"

#include <gtest/gtest.h>

namespace kestrune::serial {
namespace {

using testing::FakePort;
using testing::ManualClock;

struct Label final : ErrorLabel {
  void setErrorText(const QString& t) override {
    text = t;
    ++writes;
  }
  void setGoodNewsText(const QString& t) override {
    text = t;
    good << t;
  }
  QString text;
  int writes = 0;
  QStringList good;
};

// Wires a fake port's events to the handler, as the main window does.
struct Fixture : ::testing::Test {
  Fixture() {
    QObject::connect(&port, &Port::onComm, &port,
                     [this] { reception.onPortEvent(channel, port, runActive, labelOpen ? &label : nullptr, clock); });
  }
  FakePort port;
  Reception reception;
  ManualClock clock{0, QDateTime(QDate(2026, 12, 7), QTime(14, 3, 5))};
  Label label;
  bool runActive = true;
  bool labelOpen = true;
  int channel = 0;
};

using ReceptionTest = Fixture;

TEST_F(ReceptionTest, AReadGoesToTheChannelsLinesInOnePieceWhileARunIsActive) {
  port.receive(cp932::CodeString{u'A', 0x82A0, u'\r', u'B'});
  EXPECT_EQ(cp932::CodeString(reception.lines(0).text()), (cp932::CodeString{u'A', 0x82A0, u'\r', u'B'}));
  EXPECT_TRUE(port.incoming.empty());
  EXPECT_TRUE(reception.lines(3).empty());
  channel = 3;
  port.receive(u"z");
  EXPECT_EQ(cp932::CodeString(reception.lines(3).text()), u"z");
  runActive = false;
  port.receive(u"xyz\r");  // read, not kept
  EXPECT_TRUE(port.incoming.empty());
  EXPECT_EQ(cp932::CodeString(reception.lines(3).text()), u"z");
}

// Said on the label however a CTS change silenced its usual rule.
TEST_F(ReceptionTest, ADroppedLineBecomesTheLastErrorAndIsCounted) {
  constexpr std::uint64_t Limit = ReceiveBufferLimit;
  reception.lastEventMsg = eventText(CommEvent::Cts).text;
  port.receive(cp932::CodeString(Limit - 1, u'a'));
  EXPECT_EQ(label.writes, 0);
  port.receive(u"b rest\r1\r");
  EXPECT_EQ(label.text, QStringLiteral("14:03:05 ") + MsgLineTooLong);
  port.receive(cp932::CodeString(Limit - 2, u'c'));  // full, behind the line "1"
  clock.advance(1000);
  port.receive(u"d\r2\r");
  EXPECT_EQ(label.text, QStringLiteral("14:03:06 ") + MsgBufferFull);
  EXPECT_EQ(label.writes, 2);
  EXPECT_EQ(cp932::CodeString(reception.lines(0).text()), u"1\r2\r");
  EXPECT_EQ(reception.dropped(0), (DroppedCount{2, 2 * Limit + 6}));
  EXPECT_EQ(reception.dropped(1), DroppedCount{});
}

struct EventCase {
  int code;  // by number: the events' own and some outside the enumeration
  bool lineState;
  const char* text;
};

class EventTextTest : public ::testing::TestWithParam<EventCase> {};

TEST_P(EventTextTest, EveryCodeHasItsText) {
  const EventCase& c = GetParam();
  const EventText e = eventText(static_cast<CommEvent>(c.code));
  EXPECT_EQ(e.lineState, c.lineState);
  EXPECT_EQ(e.text, QString::fromUtf8(c.text));
}

INSTANTIATE_TEST_SUITE_P(
    Codes, EventTextTest,
    ::testing::Values(
        EventCase{3, true, "CTS ﾗｲﾝの状態が変化しました。"}, EventCase{4, true, "DSR ﾗｲﾝの状態が変化しました。"},
        EventCase{5, true, "CD ﾗｲﾝの状態が変化しました。"}, EventCase{6, true, "呼び出し信号を検出しました。"},
        EventCase{7, true, "EOF を受信しました。"}, EventCase{1001, false, "ﾌﾞﾚｰｸ信号を検出しました。"},
        EventCase{1002, false, "CTS ﾀｲﾑｱｳﾄを検出しました。"}, EventCase{1003, false, "DSR ﾀｲﾑｱｳﾄを検出しました。"},
        EventCase{1004, false, "ﾌﾚｰﾐﾝｸﾞ ｴﾗｰが発生しました。"}, EventCase{1006, false, "ｵｰﾊﾞｰﾗﾝ ｴﾗｰが発生しました。"},
        EventCase{1007, false, "CD ﾀｲﾑｱｳﾄを検出しました。"}, EventCase{1008, false, "受信ﾊﾞｯﾌｧがｵｰﾊﾞｰﾌﾛｰしました。"},
        EventCase{1009, false, "ﾊﾟﾘﾃｨ ｴﾗｰが発生しました。"}, EventCase{1010, false, "送信ﾊﾞｯﾌｧ ﾌﾙ ｴﾗｰが発生しました。"},
        EventCase{1011, false, "DCB 取得時にｴﾗｰが発生しました。"},
        EventCase{1005, false, "未定義のｴﾗｰまたはｲﾍﾞﾝﾄが発生しました。"},
        EventCase{1012, false, "通信ポートが切断されました"}, EventCase{1013, false, "通信ポートに再接続しました"},
        EventCase{1014, false, "通信ポートのデバイスパスに別の機器が現れました。その機器は使わず、元の機器を待ちます"},
        EventCase{1015, false, "未定義のｴﾗｰまたはｲﾍﾞﾝﾄが発生しました。"},
        EventCase{0, false, "未定義のｴﾗｰまたはｲﾍﾞﾝﾄが発生しました。"}, EventCase{1, false, ""},
        EventCase{2, false, ""}));

TEST_F(ReceptionTest, ErrorIsShownWithTimeAndRestampedByLaterReceptions) {
  port.raise(CommEvent::RxParity);
  EXPECT_EQ(label.text, QStringLiteral("14:03:05 ﾊﾟﾘﾃｨ ｴﾗｰが発生しました。"));
  for (int i = 0; i < 10; ++i) {
    clock.advance(1000);
    port.receive(u"x");
  }
  EXPECT_EQ(label.text, QStringLiteral("14:03:15 ﾊﾟﾘﾃｨ ｴﾗｰが発生しました。"));
  EXPECT_EQ(label.writes, 11);
}

TEST_F(ReceptionTest, NothingIsWrittenBeforeAnyError) {
  port.receive(u"abc");
  port.raise(CommEvent::Send);
  EXPECT_EQ(label.writes, 0);
}

TEST_F(ReceptionTest, ALineStateEventSilencesTheLabelForGood) {
  port.raise(CommEvent::Cts);
  EXPECT_EQ(reception.lastEventMsg, QStringLiteral("CTS ﾗｲﾝの状態が変化しました。"));
  port.raise(CommEvent::Frame);
  port.receive(u"a");
  EXPECT_EQ(label.writes, 0);
  EXPECT_EQ(reception.lastErrorMsg, QStringLiteral("ﾌﾚｰﾐﾝｸﾞ ｴﾗｰが発生しました。"));
}

TEST_F(ReceptionTest, LabelIsSkippedWhileTheRunWindowIsClosedAndErrorKeptForLater) {
  labelOpen = false;
  port.raise(CommEvent::Overrun);
  EXPECT_EQ(label.writes, 0);
  labelOpen = true;
  clock.advance(60000);
  port.receive(u"a");
  EXPECT_EQ(label.text, QStringLiteral("14:04:05 ｵｰﾊﾞｰﾗﾝ ｴﾗｰが発生しました。"));
}

TEST_F(ReceptionTest, UnknownCodeIsAnError) {
  port.raise(static_cast<CommEvent>(4242));
  EXPECT_EQ(reception.lastErrorMsg, QStringLiteral("未定義のｴﾗｰまたはｲﾍﾞﾝﾄが発生しました。"));
  EXPECT_EQ(label.writes, 1);
}

TEST_F(ReceptionTest, TheDeviceLostReplacedAndBackAreAnnouncedOnceAndNeverBecomeTheLastError) {
  port.raise(CommEvent::DeviceLost);
  EXPECT_EQ(label.text, QStringLiteral("14:03:05 ") + MsgDeviceLost);
  clock.advance(1000);
  port.raise(CommEvent::DeviceReplaced);
  EXPECT_EQ(label.text, QStringLiteral("14:03:06 ") + MsgDeviceReplaced);
  clock.advance(1000);
  port.raise(CommEvent::DeviceFound);
  EXPECT_EQ(label.good, QStringList{QStringLiteral("14:03:07 ") + MsgDeviceFound});
  for (int i = 0; i < 5; ++i) {
    clock.advance(1000);
    port.receive(u"x");
  }
  EXPECT_EQ(label.writes, 2);
  EXPECT_EQ(label.good.size(), 1);
  EXPECT_TRUE(reception.lastErrorMsg.isEmpty());
  // A real error is still shown, and restamped, as errors are.
  port.raise(CommEvent::Frame);
  port.receive(u"y");
  EXPECT_EQ(label.text, QStringLiteral("14:03:12 ﾌﾚｰﾐﾝｸﾞ ｴﾗｰが発生しました。"));
  EXPECT_EQ(label.writes, 4);
}

TEST_F(ReceptionTest, ClearBuffersEmptiesAllEight) {
  for (channel = 0; channel < ChannelCount; ++channel) port.receive(u"x\r");
  reception.clearBuffers();
  for (channel = 0; channel < ChannelCount; ++channel) EXPECT_TRUE(reception.lines(channel).empty()) << channel;
}

}  // namespace
}  // namespace kestrune::serial
