// A channel end to end on a pseudo-terminal: openPort with the termios port,
// reception into the channel's lines, and a device that goes away mid-run.
#include "serial/channels.h"
#include "serial/reception.h"
#include "serial/termios_port.h"

#include "fakes/shown.h"
#include "fakes/manual_clock.h"
#include "fakes/recording_message_boxes.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>

#include <gtest/gtest.h>

#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kestrune::serial {
namespace {

template <typename Condition>
bool waitUntil(Condition condition) {
  QDeadlineTimer deadline(2000);
  while (!condition()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

struct ErrorText final : ErrorLabel {
  void setErrorText(const QString& t) override {
    text = t;
    shown << QStringLiteral("error ") + t;
  }
  void setGoodNewsText(const QString& t) override {
    text = t;
    shown << QStringLiteral("good ") + t;
  }
  void logNotice(const QString& t) override { logged << t; }
  QString text;
  QStringList shown;  // every write, with its kind
  QStringList logged;
};

class ChannelPtyTest : public ::testing::Test {
protected:
  void SetUp() override {
    char name[256] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    usePort(QString::fromLocal8Bit(name));
  }
  // A new port on `device` as Com1, its events going to the reception.
  void usePort(const QString& device) {
    map.set(1, device);
    port = std::make_unique<TermiosPort>(map);
    QObject::connect(port.get(), &Port::onComm, port.get(),
                     [this] { reception.onPortEvent(0, *port, runActive, &label, clock); });
    QObject::connect(port.get(), &Port::onComm, port.get(), [this] {
      if (port->commEvent() == CommEvent::Receive) ++receptions;
    });
  }
  void TearDown() override {
    port.reset();
    if (master >= 0) ::close(master);
    if (slave >= 0) ::close(slave);
  }
  void send(const char* bytes, std::size_t n) { ASSERT_EQ(::write(master, bytes, n), static_cast<ssize_t>(n)); }

  int master = -1, slave = -1;
  PortMap map;
  std::unique_ptr<TermiosPort> port;
  Reception reception;
  testing::ManualClock clock;
  testing::RecordingMessageBoxes boxes;
  ErrorText label;
  bool runActive = true;
  int receptions = 0;
};

TEST_F(ChannelPtyTest, ABurstWrittenAtOnceArrivesAsWholeLines) {
  ASSERT_TRUE(testing::shown(openPort(*port), boxes));
  EXPECT_TRUE(boxes.shown.empty());
  // 100 lines of 40 bytes, a double-byte character in each, in one write.
  std::string burst;
  cp932::CodeString expected;
  for (int i = 0; i < 100; ++i) {
    const std::string number = std::to_string(1000 + i);
    burst += number + ",+01234.567,+0.00012,OK,12:00:00,\x82\xa0\r";
    expected += cp932::fromUtf8((number + ",+01234.567,+0.00012,OK,12:00:00,あ\r").c_str());
  }
  ASSERT_EQ(burst.size(), 4000u);
  send(burst.data(), burst.size());
  LineAssembler& lines = reception.lines(0);
  ASSERT_TRUE(waitUntil([&] { return lines.text().size() == expected.size(); }));
  EXPECT_EQ(cp932::CodeString(lines.text()), expected);
  // The port hands over each read whole: fewer events than lines, where one
  // event a character would make 4,000.
  EXPECT_LT(receptions, 100);
  int taken = 0;
  for (; lines.hasLine(u'\r'); lines.popLine(u'\r')) ++taken;
  EXPECT_EQ(taken, 100);
  EXPECT_EQ(reception.dropped(0), DroppedCount{});
  closePort(*port);
  EXPECT_FALSE(port->portOpen());
}

TEST_F(ChannelPtyTest, AMissingDeviceShowsTheOpenMessage) {
  map.set(2, QStringLiteral("/dev/kestrune-no-such-device"));
  TermiosPort missing(map);
  ASSERT_TRUE(missing.setCommPort(2).ok());
  EXPECT_FALSE(testing::shown(openPort(missing), boxes));
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("通信ポートがオープンできません！")});
}

TEST_F(ChannelPtyTest, VanishingDeviceIsAnnouncedAndTheRunGoesOn) {
  ASSERT_TRUE(testing::shown(openPort(*port), boxes));
  ::close(master);
  master = -1;
  ::close(slave);
  slave = -1;
  ASSERT_TRUE(waitUntil([&] { return !label.shown.isEmpty(); }));
  EXPECT_EQ(label.shown, QStringList{QStringLiteral("error 9:30:00 ") + MsgDeviceLost});
  EXPECT_TRUE(reception.lastErrorMsg.isEmpty());  // a state of the line, not an error to repeat
  EXPECT_FALSE(port->output(u"X").ok());
  closePort(*port);
  EXPECT_FALSE(port->portOpen());
}

TEST_F(ChannelPtyTest, AReconnectionIsAnnouncedOnceHoweverLongTheRunGoesOn) {
  // The terminal is hung up under the port and stays: the same device is
  // back at once.
  ASSERT_TRUE(testing::shown(openPort(*port), boxes));
  if (::ioctl(slave, TIOCVHANGUP) != 0) GTEST_SKIP() << "hanging up a terminal needs CAP_SYS_ADMIN";
  ASSERT_TRUE(waitUntil([&] { return label.shown.size() == 2; }));

  // Lines for several reconnection intervals, each with the clock a second on.
  QElapsedTimer elapsed;
  elapsed.start();
  for (int line = 0; line < 10 || elapsed.elapsed() < 3 * TermiosPort::ReconnectIntervalMs; ++line) {
    clock.advance(1000);
    ASSERT_EQ(::write(master, "7\r", 2), 2);
    ASSERT_TRUE(waitUntil([&] { return reception.lines(0).hasLine(u'\r'); }));
    EXPECT_EQ(cp932::CodeString(reception.lines(0).frontLine(u'\r')), u"7\r");
    reception.lines(0).clear();
  }
  EXPECT_EQ(label.shown, (QStringList{QStringLiteral("error 9:30:00 ") + MsgDeviceLost,
                                      QStringLiteral("good 9:30:00 ") + MsgDeviceFound}));
  EXPECT_EQ(label.logged, (QStringList{MsgDeviceLost, MsgDeviceFound}));
  EXPECT_EQ(port->deviceLosses(), 1u);
  EXPECT_FALSE(port->deviceAbsent());
  closePort(*port);
}

}  // namespace
}  // namespace kestrune::serial
