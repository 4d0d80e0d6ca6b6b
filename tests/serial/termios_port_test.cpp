// The termios port: the pure conversions table by table, and the port itself
// on a pseudo-terminal pair, the test playing the instrument on the master side.
#include "serial/termios_port.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QObject>

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace kestrune::serial {
namespace {

using cp932::CodeString;

PortConfig config(int baud, Parity parity, int dataBits, StopBits stopBits) {
  return PortConfig{baud, parity, dataBits, stopBits};
}

// Processes Qt events until `condition` holds or two seconds pass.
template <typename Condition>
bool waitUntil(Condition condition) {
  QDeadlineTimer deadline(2000);
  while (!condition()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// ---- applyPortConfig ------------------------------------------------------

struct FormatCase {
  const char* name;
  PortConfig config;
  FlowControl flow;
  speed_t speed;
  tcflag_t cflag;  // the expected size, parity, stop and RTS/CTS bits
  tcflag_t iflag;  // the expected software flow control bits
};

constexpr tcflag_t kFormatBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
constexpr tcflag_t kFlowBits = IXON | IXOFF | IXANY;

const FormatCase kFormatCases[] = {
    {"9600 n 8 1", config(9600, Parity::None, 8, StopBits::One), FlowControl::None, B9600, CS8, 0},
    {"19200 e 7 2 rts", config(19200, Parity::Even, 7, StopBits::Two), FlowControl::RtsCts, B19200,
     CS7 | PARENB | CSTOPB | CRTSCTS, 0},
    {"1200 o 6 1 xon", config(1200, Parity::Odd, 6, StopBits::One), FlowControl::XonXoff, B1200, CS6 | PARENB | PARODD,
     IXON | IXOFF},
    {"300 m 7 1 both", config(300, Parity::Mark, 7, StopBits::One), FlowControl::RtsCtsXonXoff, B300,
     CS7 | PARENB | PARODD | CMSPAR | CRTSCTS, IXON | IXOFF},
    {"4800 s 8 2", config(4800, Parity::Space, 8, StopBits::Two), FlowControl::None, B4800,
     CS8 | PARENB | CMSPAR | CSTOPB, 0},
    // termios has no 1.5 stop bits; CSTOPB gives 1.5 with 5 data bits on a UART.
    {"110 n 5 1.5", config(110, Parity::None, 5, StopBits::OnePointFive), FlowControl::None, B110, CS5 | CSTOPB, 0},
    {"115200 e 8 1.5", config(115200, Parity::Even, 8, StopBits::OnePointFive), FlowControl::XonXoff, B115200,
     CS8 | PARENB | CSTOPB, IXON | IXOFF},
    {"4000000 n 8 1", config(4000000, Parity::None, 8, StopBits::One), FlowControl::None, B4000000, CS8, 0},
};

void expectFormat(const FormatCase& c, const termios& t) {
  SCOPED_TRACE(c.name);
  EXPECT_EQ(::cfgetospeed(&t), c.speed);
  EXPECT_EQ(::cfgetispeed(&t), c.speed);
  EXPECT_EQ(t.c_cflag & kFormatBits, c.cflag);
  EXPECT_EQ(t.c_iflag & kFlowBits, c.iflag);
  EXPECT_EQ(t.c_cc[VSTART], 0x11);
  EXPECT_EQ(t.c_cc[VSTOP], 0x13);
}

TEST(ApplyPortConfig, SetsTheLineFormatOnACleanTermios) {
  for (const FormatCase& c : kFormatCases) {
    termios t{};
    applyPortConfig(c.config, c.flow, t);
    expectFormat(c, t);
  }
}

TEST(ApplyPortConfig, ReplacesEveryFormatBitAndLeavesTheOthers) {
  for (const FormatCase& c : kFormatCases) {
    termios t{};
    t.c_iflag = ~tcflag_t{0};
    t.c_oflag = OPOST | ONLCR;
    t.c_cflag = ~tcflag_t{0};
    t.c_lflag = ICANON | ECHO;
    t.c_cc[VSTART] = 'q';
    t.c_cc[VSTOP] = 's';
    t.c_cc[VMIN] = 7;
    applyPortConfig(c.config, c.flow, t);
    expectFormat(c, t);
    SCOPED_TRACE(c.name);
    EXPECT_NE(t.c_cflag & CLOCAL, 0u);
    EXPECT_NE(t.c_cflag & CREAD, 0u);
    EXPECT_NE(t.c_iflag & ICRNL, 0u);
    EXPECT_EQ(t.c_oflag, tcflag_t{OPOST | ONLCR});
    EXPECT_EQ(t.c_lflag, tcflag_t{ICANON | ECHO});
    EXPECT_EQ(t.c_cc[VMIN], 7);
  }
}

TEST(ApplyPortConfig, EverySupportedSpeedHasItsOwnCode) {
  std::set<speed_t> codes;
  for (const int baud : supportedBaudRates()) {
    termios t{};
    applyPortConfig(config(baud, Parity::None, 8, StopBits::One), FlowControl::None, t);
    EXPECT_NE(::cfgetospeed(&t), speed_t{B0}) << baud;
    codes.insert(::cfgetospeed(&t));
  }
  EXPECT_EQ(codes.size(), supportedBaudRates().size());
}

TEST(ApplyPortConfig, AnUnknownSpeedLeavesTheSpeedAlone) {
  termios t{};
  ::cfsetospeed(&t, B2400);
  ::cfsetispeed(&t, B2400);
  applyPortConfig(config(12345, Parity::Even, 7, StopBits::One), FlowControl::None, t);
  EXPECT_EQ(::cfgetospeed(&t), speed_t{B2400});
  EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t{CS7});
}

// ---- line states and error counters ---------------------------------------

TEST(ModemLineEvents, OneEventPerChangedLineInAFixedOrder) {
  struct Case {
    int before, after;
    std::vector<CommEvent> events;
  };
  const int all = TIOCM_CTS | TIOCM_DSR | TIOCM_CD | TIOCM_RI;
  const Case cases[] = {
      {0, 0, {}},
      {all, all, {}},
      {0, TIOCM_CTS, {CommEvent::Cts}},
      {TIOCM_CTS, 0, {CommEvent::Cts}},
      {TIOCM_DSR, 0, {CommEvent::Dsr}},
      {0, TIOCM_CD, {CommEvent::Cd}},
      {0, TIOCM_RI, {CommEvent::Ring}},
      {0, all, {CommEvent::Cts, CommEvent::Dsr, CommEvent::Cd, CommEvent::Ring}},
      {TIOCM_CTS | TIOCM_CD, TIOCM_DSR | TIOCM_CD, {CommEvent::Cts, CommEvent::Dsr}},
      // Lines we do not report (RTS, DTR are ours) raise nothing.
      {0, TIOCM_RTS | TIOCM_DTR, {}},
      {TIOCM_RTS | TIOCM_RI, TIOCM_DTR, {CommEvent::Ring}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(modemLineEvents(c.before, c.after), c.events) << std::hex << c.before << " -> " << c.after;
}

TEST(ErrorCounterEvents, OneEventPerCounterThatGrew) {
  struct Case {
    const char* name;
    ErrorCounters before, after;
    std::vector<CommEvent> events;
  };
  const Case cases[] = {
      {"unchanged", {1, 2, 3, 4, 5}, {1, 2, 3, 4, 5}, {}},
      {"break", {}, {1, 0, 0, 0, 0}, {CommEvent::Break}},
      {"frame grew by many", {0, 10, 0, 0, 0}, {0, 25, 0, 0, 0}, {CommEvent::Frame}},
      {"overrun", {}, {0, 0, 1, 0, 0}, {CommEvent::Overrun}},
      {"buffer overrun", {}, {0, 0, 0, 1, 0}, {CommEvent::RxOver}},
      {"parity", {}, {0, 0, 0, 0, 1}, {CommEvent::RxParity}},
      {"all",
       {},
       {1, 1, 1, 1, 1},
       {CommEvent::Break, CommEvent::Frame, CommEvent::Overrun, CommEvent::RxOver, CommEvent::RxParity}},
      {"wrap-around", {0, 0, 0xFFFFFFFFu, 0, 0}, {0, 0, 0, 0, 0}, {CommEvent::Overrun}},
      {"parity and break", {7, 0, 0, 0, 1}, {8, 0, 0, 0, 2}, {CommEvent::Break, CommEvent::RxParity}},
  };
  for (const Case& c : cases) EXPECT_EQ(errorCounterEvents(c.before, c.after), c.events) << c.name;
}

TEST(OpenFailureText, NamesThePortTheDeviceAndTheReason) {
  struct Case {
    int error;
    QString expected;
  };
  const Case cases[] = {
      {ENOENT, QStringLiteral("見つかりません")},
      {EBUSY, QStringLiteral("使用中")},
      {EWOULDBLOCK, QStringLiteral("使用中")},
      {EACCES, QStringLiteral("dialout")},
      {ENOTTY, QStringLiteral("シリアルポートではありません")},
      {EMFILE, QString::fromLocal8Bit(std::strerror(EMFILE))},
  };
  for (const Case& c : cases) {
    const QString text = openFailureText(3, QStringLiteral("/dev/ttyUSB7"), c.error);
    EXPECT_TRUE(text.contains(QStringLiteral("Com3"))) << text.toStdString();
    EXPECT_TRUE(text.contains(QStringLiteral("/dev/ttyUSB7"))) << text.toStdString();
    EXPECT_TRUE(text.contains(c.expected)) << text.toStdString();
  }
}

// ---- the port on a pseudo-terminal ----------------------------------------

class PtyPair {
public:
  PtyPair() {
    std::array<char, 256> name{};
    if (::openpty(&master_, &slave_, name.data(), nullptr, nullptr) != 0) return;
    path_ = QString::fromLocal8Bit(name.data());
    ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  }
  ~PtyPair() {
    closeMaster();
    if (slave_ >= 0) ::close(slave_);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  bool valid() const { return master_ >= 0 && slave_ >= 0; }
  const QString& path() const { return path_; }
  int slave() const { return slave_; }

  void send(const std::string& bytes) const {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void closeMaster() {
    if (master_ >= 0) ::close(master_);
    master_ = -1;
  }
  // Whatever the port has written so far.
  std::string drain() const {
    std::string bytes;
    std::array<char, 4096> buffer{};
    ssize_t n = 0;
    while ((n = ::read(master_, buffer.data(), buffer.size())) > 0)
      bytes.append(buffer.data(), static_cast<std::size_t>(n));
    return bytes;
  }
  // True when nothing waits on the slave side: the port has read every byte
  // sent. (poll pushes bytes still on their way into the line discipline.)
  bool slaveInputEmpty() const {
    pollfd p{slave_, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
  }
  termios slaveAttributes() const {
    termios t{};
    EXPECT_EQ(::tcgetattr(slave_, &t), 0);
    return t;
  }

private:
  int master_ = -1;
  int slave_ = -1;
  QString path_;
};

struct Event {
  CommEvent code;
  CodeString text;  // what input() gave for a reception
  friend bool operator==(const Event&, const Event&) = default;
};

std::ostream& operator<<(std::ostream& os, const Event& e) {
  os << "{" << static_cast<int>(e.code) << ":";
  for (const char16_t c : e.text) os << " " << std::hex << static_cast<int>(c) << std::dec;
  return os << "}";
}

class TermiosPortTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(pty.valid());
    map.set(1, pty.path());
  }
  // Records every event, taking the input of receptions.
  void record(TermiosPort& port) {
    QObject::connect(&port, &Port::onComm, &port, [this, &port] {
      const CommEvent code = port.commEvent();
      events.push_back({code, code == CommEvent::Receive ? port.input() : CodeString{}});
    });
  }
  // A link to the pseudo-terminal, named by the map as Com1 (as a by-id name would be).
  std::string linkToPty() {
    const std::string link = "/tmp/kestrune-test-link-" + std::to_string(::getpid());
    ::unlink(link.c_str());
    EXPECT_EQ(::symlink(pty.path().toLocal8Bit().constData(), link.c_str()), 0);
    map.set(1, QString::fromStdString(link));
    return link;
  }
  // As a channel opens it: an event for every read, Input taking it all.
  static void openForChunks(TermiosPort& port) {
    ASSERT_TRUE(port.setRThreshold(1));
    ASSERT_TRUE(port.setInputLen(0));
    ASSERT_TRUE(port.setPortOpen(true));
  }
  // Everything the receptions handed over, in order; fails on an empty one.
  CodeString received() const {
    CodeString all;
    for (const Event& e : events) {
      if (e.code != CommEvent::Receive) continue;
      EXPECT_FALSE(e.text.empty()) << "a reception without characters";
      all += e.text;
    }
    return all;
  }

  PtyPair pty;
  PortMap map;
  std::vector<Event> events;
};

TEST_F(TermiosPortTest, Defaults) {
  TermiosPort port(map);
  EXPECT_FALSE(port.portOpen());
  EXPECT_EQ(port.commPort(), 1);
  EXPECT_EQ(port.settings(), QStringLiteral("9600,n,8,1"));
  EXPECT_EQ(port.handshaking(), FlowControl::None);
  EXPECT_EQ(port.inBufferCount(), 0);
  EXPECT_EQ(port.outBufferCount(), 0);
  EXPECT_TRUE(port.input().empty());
}

TEST_F(TermiosPortTest, RefusedValuesKeepTheOldOnes) {
  TermiosPort port(map);
  ASSERT_TRUE(port.setCommPort(8));
  for (const int bad : {0, 9, -1}) {
    const Status s = port.setCommPort(bad);
    EXPECT_FALSE(s) << bad;
    EXPECT_FALSE(s.description().isEmpty());
  }
  EXPECT_EQ(port.commPort(), 8);

  ASSERT_TRUE(port.setSettings(QStringLiteral(" 19200 , E , 7 , 1.5 ")));
  EXPECT_EQ(port.settings(), QStringLiteral("19200,e,7,1.5"));
  for (const QString& bad : {QStringLiteral("9601,n,8,1"), QStringLiteral("9600,x,8,1"), QStringLiteral("9600,n,9,1"),
                             QStringLiteral("9600,n,8"), QStringLiteral("")}) {
    const Status s = port.setSettings(bad);
    EXPECT_FALSE(s) << bad.toStdString();
    EXPECT_EQ(s.description(), parseSettings(bad).description());
  }
  EXPECT_EQ(port.settings(), QStringLiteral("19200,e,7,1.5"));

  ASSERT_TRUE(port.setHandshaking(FlowControl::RtsCtsXonXoff));
  // Values from outside the enumerations, as an unchecked cast would give.
  EXPECT_FALSE(port.setHandshaking(static_cast<FlowControl>(4)));
  EXPECT_FALSE(port.setHandshaking(static_cast<FlowControl>(-1)));
  EXPECT_EQ(port.handshaking(), FlowControl::RtsCtsXonXoff);

  EXPECT_FALSE(port.setRThreshold(-1));
  EXPECT_FALSE(port.setInputLen(-1));
  EXPECT_FALSE(port.setInBufferSize(0));
  EXPECT_FALSE(port.setInputMode(static_cast<InputMode>(2)));
  EXPECT_TRUE(port.setInputMode(InputMode::Binary));
  EXPECT_FALSE(port.setInBufferCount(1));
  EXPECT_FALSE(port.setOutBufferCount(5));
  EXPECT_TRUE(port.setInBufferCount(0));
  EXPECT_TRUE(port.setOutBufferCount(0));
}

TEST_F(TermiosPortTest, OpenAppliesRawModeSettingsAndHandshaking) {
  TermiosPort port(map);
  ASSERT_TRUE(port.setSettings(QStringLiteral("19200,O,7,2")));
  ASSERT_TRUE(port.setHandshaking(FlowControl::RtsCts));
  ASSERT_TRUE(port.setPortOpen(true)) << port.setPortOpen(true).description().toStdString();

  const termios t = pty.slaveAttributes();
  EXPECT_EQ(::cfgetospeed(&t), speed_t{B19200});
  EXPECT_EQ(::cfgetispeed(&t), speed_t{B19200});
  // The pseudo-terminal driver always reports CS8 without PARENB whatever
  // was written, so character size and parity enable are checked through
  // applyPortConfig above; PARODD, CSTOPB and CRTSCTS do reach it.
  EXPECT_NE(t.c_cflag & PARODD, 0u);
  EXPECT_EQ(t.c_cflag & CMSPAR, 0u);
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);
  EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), 0u);
  EXPECT_NE(t.c_cflag & CLOCAL, 0u);
  EXPECT_NE(t.c_cflag & CREAD, 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | ISTRIP | INPCK), 0u);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(t.c_cc[VTIME], 0);
}

TEST_F(TermiosPortTest, SettingsAndHandshakingChangeTheOpenDeviceAtOnce) {
  TermiosPort port(map);
  ASSERT_TRUE(port.setPortOpen(true));
  ASSERT_TRUE(port.setSettings(QStringLiteral("2400,M,8,1.5")));
  ASSERT_TRUE(port.setHandshaking(FlowControl::XonXoff));
  termios t = pty.slaveAttributes();
  EXPECT_EQ(::cfgetospeed(&t), speed_t{B2400});
  EXPECT_EQ(t.c_cflag & (CMSPAR | PARODD), tcflag_t{CMSPAR | PARODD});
  EXPECT_NE(t.c_cflag & CSTOPB, 0u);
  EXPECT_EQ(t.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), tcflag_t{IXON | IXOFF});
  EXPECT_EQ(port.settings(), QStringLiteral("2400,m,8,1.5"));

  // A refused value leaves both the port and the device as they were.
  EXPECT_FALSE(port.setSettings(QStringLiteral("2400,q,8,1")));
  EXPECT_FALSE(port.setHandshaking(static_cast<FlowControl>(7)));
  t = pty.slaveAttributes();
  EXPECT_EQ(::cfgetospeed(&t), speed_t{B2400});
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), tcflag_t{IXON | IXOFF});
  EXPECT_EQ(port.settings(), QStringLiteral("2400,m,8,1.5"));
  EXPECT_EQ(port.handshaking(), FlowControl::XonXoff);

  ASSERT_TRUE(port.setHandshaking(FlowControl::RtsCtsXonXoff));
  t = pty.slaveAttributes();
  EXPECT_NE(t.c_cflag & CRTSCTS, 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF), tcflag_t{IXON | IXOFF});
}

TEST_F(TermiosPortTest, EveryPanelCombinationOpensTwiceInARow) {
  // The serial panel's lists; each combination is opened, closed and opened
  // again, as two runs in a row do.
  const char* speeds[] = {"300", "600", "1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"};
  std::vector<std::string> failures;
  for (const char* speed : speeds)
    for (const char* data : {"7", "8"})
      for (const char* parity : {"e", "o", "n"})
        for (const char* stop : {"1", "1.5", "2"})
          for (FlowControl flow : {FlowControl::None, FlowControl::XonXoff, FlowControl::RtsCts}) {
            const QString settings = QStringLiteral("%1,%2,%3,%4").arg(speed, parity, data, stop);
            TermiosPort port(map);
            // The settings are the point here: no lock files to write and sync 1,080 times.
            port.setLockFolder(QStringLiteral("/nonexistent"));
            ASSERT_TRUE(port.setSettings(settings));
            ASSERT_TRUE(port.setHandshaking(flow));
            for (int attempt = 1; attempt <= 2; ++attempt) {
              const Status opened = port.setPortOpen(true);
              if (!opened)
                failures.push_back(settings.toStdString() + " flow " + std::to_string(handshakingCode(flow)) +
                                   " open " + std::to_string(attempt) + ": " + opened.description().toStdString());
              ASSERT_TRUE(port.setPortOpen(false));
            }
          }
  EXPECT_TRUE(failures.empty()) << failures.size() << " failed, first: " << failures.front();
}

TEST_F(TermiosPortTest, OpenFailuresAreDescribed) {
  PortMap missing;
  missing.set(2, QStringLiteral("/dev/kestrune-no-such-device"));
  missing.set(3, QStringLiteral("/dev/null"));
  TermiosPort port(missing);
  ASSERT_TRUE(port.setCommPort(2));
  Status s = port.setPortOpen(true);
  EXPECT_FALSE(s);
  EXPECT_TRUE(s.description().contains(QStringLiteral("/dev/kestrune-no-such-device")));
  EXPECT_TRUE(s.description().contains(QStringLiteral("Com2")));
  EXPECT_TRUE(s.error().is(PortError::NoDevice));
  EXPECT_FALSE(port.portOpen());

  ASSERT_TRUE(port.setCommPort(3));
  s = port.setPortOpen(true);
  EXPECT_FALSE(s);
  EXPECT_TRUE(s.description().contains(QStringLiteral("シリアルポートではありません")))
      << s.description().toStdString();
  EXPECT_TRUE(s.error().is(PortError::NotSerial));
  EXPECT_FALSE(s.error().is(PortError::NoDevice));
  EXPECT_FALSE(port.portOpen());
}

TEST_F(TermiosPortTest, ADeviceTheUserMayNotOpenNamesTheDialoutGroup) {
  // A device node that only its owner may open, tried by another user.
  ASSERT_EQ(::fchmod(pty.slave(), 0600), 0);
  if (::geteuid() != 0) {
    struct stat st {};
    ASSERT_EQ(::fstat(pty.slave(), &st), 0);
    if (st.st_uid == ::geteuid()) GTEST_SKIP() << "needs root to try the device as another user";
  }
  int channel[2];
  ASSERT_EQ(::pipe(channel), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(channel[0]);
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(3);
    TermiosPort port(map);
    const QByteArray reason = port.setPortOpen(true).description().toUtf8();
    [[maybe_unused]] const ssize_t written =
        ::write(channel[1], reason.constData(), static_cast<std::size_t>(reason.size()));
    ::_exit(port.portOpen() ? 1 : 0);
  }
  ::close(channel[1]);
  std::string reason;
  std::array<char, 512> buffer{};
  ssize_t n = 0;
  while ((n = ::read(channel[0], buffer.data(), buffer.size())) > 0)
    reason.append(buffer.data(), static_cast<std::size_t>(n));
  ::close(channel[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the port opened";
  const QString text = QString::fromStdString(reason);
  EXPECT_TRUE(text.contains(pty.path()) && text.contains(QStringLiteral("権限")) &&
              text.contains(QStringLiteral("dialout")))
      << reason;
}

TEST_F(TermiosPortTest, ASecondOpenOfTheSameDeviceIsBusyUntilTheFirstCloses) {
  TermiosPort first(map);
  ASSERT_TRUE(first.setPortOpen(true));
  EXPECT_TRUE(first.setPortOpen(true));  // already open: nothing happens
  EXPECT_TRUE(first.portOpen());
  {
    TermiosPort second(map);
    const Status s = second.setPortOpen(true);
    EXPECT_FALSE(s);
    EXPECT_TRUE(s.description().contains(QStringLiteral("使用中"))) << s.description().toStdString();
    EXPECT_TRUE(s.error().is(PortError::Busy));
    // Who holds it: this very process, through `first`.
    EXPECT_TRUE(s.description().contains(QStringLiteral("PID %1）").arg(::getpid()))) << s.description().toStdString();
    EXPECT_FALSE(second.portOpen());
  }
  int exclusive = 0;
  ASSERT_EQ(::ioctl(pty.slave(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  ASSERT_TRUE(first.setPortOpen(false));
  EXPECT_TRUE(first.setPortOpen(false));  // closing a closed port is fine
  // Left exclusive, the terminal would refuse every later open but root's.
  ASSERT_EQ(::ioctl(pty.slave(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);

  // Neither the refused open nor the close left a lock behind, and the
  // destructor releases the device as well.
  {
    TermiosPort second(map);
    EXPECT_TRUE(second.setPortOpen(true));
  }
  TermiosPort third(map);
  EXPECT_TRUE(third.setPortOpen(true));
}

TEST_F(TermiosPortTest, CommPortCannotChangeWhileOpen) {
  map.set(2, pty.path());
  TermiosPort port(map);
  ASSERT_TRUE(port.setPortOpen(true));
  EXPECT_FALSE(port.setCommPort(2));
  EXPECT_EQ(port.commPort(), 1);
  ASSERT_TRUE(port.setPortOpen(false));
  EXPECT_TRUE(port.setCommPort(2));
  EXPECT_TRUE(port.setPortOpen(true));
}

// Each refusal carries its code beside its text, so that callers can tell
// them apart without reading the words.
TEST_F(TermiosPortTest, RefusalsCarryTheirCodeAndText) {
  TermiosPort port(map);
  ASSERT_TRUE(port.setPortOpen(true));
  struct Case {
    const char* name;
    std::function<Status()> call;
    PortError code;
    QString description;
  };
  const Case cases[] = {
      {"port 0", [&] { return port.setCommPort(0); }, PortError::BadPortNumber,
       QStringLiteral("ポート番号 0 は使用できません（1～8）")},
      {"port 9", [&] { return port.setCommPort(9); }, PortError::BadPortNumber,
       QStringLiteral("ポート番号 9 は使用できません（1～8）")},
      {"port while open", [&] { return port.setCommPort(2); }, PortError::PortIsOpen,
       QStringLiteral("Com1 を開いている間はポート番号を変更できません")},
      {"threshold", [&] { return port.setRThreshold(-1); }, PortError::BadValue,
       QStringLiteral("RThreshold に -1 は設定できません")},
      {"buffer size", [&] { return port.setInBufferSize(0); }, PortError::BadValue,
       QStringLiteral("InBufferSize に 0 は設定できません")},
      {"input mode", [&] { return port.setInputMode(static_cast<InputMode>(2)); }, PortError::BadValue,
       QStringLiteral("InputMode に 2 は設定できません")},
      {"in count", [&] { return port.setInBufferCount(1); }, PortError::BadValue,
       QStringLiteral("InBufferCount に設定できるのは 0 だけです")},
      {"out count", [&] { return port.setOutBufferCount(5); }, PortError::BadValue,
       QStringLiteral("OutBufferCount に設定できるのは 0 だけです")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Status s = c.call();
    ASSERT_FALSE(s);
    EXPECT_TRUE(s.error().is(c.code));
    EXPECT_EQ(s.description().toStdString(), c.description.toStdString());
  }
  ASSERT_TRUE(port.setPortOpen(false));
  const Status closed = port.outputByte(0x41);
  EXPECT_TRUE(closed.error().is(PortError::NotOpen));
  EXPECT_EQ(closed.description().toStdString(), "Com1 は開いていません");
}

TEST_F(TermiosPortTest, ModemLinesThatThePseudoTerminalLacksAreNoError) {
  TermiosPort port(map);
  ASSERT_TRUE(port.setRTSEnable(true));
  ASSERT_TRUE(port.setDTREnable(true));
  ASSERT_TRUE(port.setPortOpen(true));
  EXPECT_TRUE(port.setRTSEnable(false));
  EXPECT_TRUE(port.setDTREnable(false));
}

TEST_F(TermiosPortTest, DeliversEachReadWholeWithDoubleByteCharactersWhole) {
  TermiosPort port(map);
  record(port);
  openForChunks(port);

  pty.send("AB\r");
  ASSERT_TRUE(waitUntil([&] { return received() == u"AB\r"; }));
  const std::size_t afterFirst = events.size();

  // The lead byte alone completes no character and raises no event.
  pty.send("\x82");
  ASSERT_TRUE(waitUntil([&] { return pty.slaveInputEmpty(); }));
  QCoreApplication::processEvents();
  EXPECT_EQ(events.size(), afterFirst);
  EXPECT_EQ(port.inBufferCount(), 0);
  pty.send("\xA0Z");
  ASSERT_TRUE(waitUntil([&] { return received().size() == 5; }));
  EXPECT_EQ(received(), (CodeString{u'A', u'B', u'\r', 0x82A0, u'Z'}));
}

TEST_F(TermiosPortTest, BytesSentBeforeOpeningAreNotDelivered) {
  TermiosPort port(map);
  record(port);
  pty.send("stale");
  openForChunks(port);
  pty.send("A");
  ASSERT_TRUE(waitUntil([&] { return !events.empty(); }));
  QCoreApplication::processEvents();
  EXPECT_EQ(events, (std::vector<Event>{{CommEvent::Receive, u"A"}}));
}

TEST_F(TermiosPortTest, BytesOutsideTheCodePageArriveAsCharacters) {
  TermiosPort port(map);
  record(port);
  openForChunks(port);

  // NUL, XON and XOFF (no flow control), 0x80, 0xA0, 0xFD-0xFF, a lead byte
  // followed by a byte that cannot trail, a half-width katakana, a valid pair.
  const std::string bytes("\x00\x11\x13\x80\xA0\xFD\xFE\xFF\x81\x0D\xB1\x88\x9F.", 14);
  const std::vector<char16_t> expected{0x00, 0x11, 0x13, 0x80, 0xA0, 0xFD, 0xFE, 0xFF, 0x81, 0x0D, 0xB1, 0x889F, u'.'};
  pty.send(bytes);
  ASSERT_TRUE(waitUntil([&] { return received().size() >= expected.size(); }));
  EXPECT_EQ(received(), CodeString(expected.begin(), expected.end()));
}

TEST_F(TermiosPortTest, ThresholdAndInputLenGovernEventsAndInput) {
  TermiosPort port(map);
  ASSERT_TRUE(port.setRThreshold(3));
  ASSERT_TRUE(port.setInputLen(2));
  int receptions = 0;
  QObject::connect(&port, &Port::onComm, &port, [&] { receptions += port.commEvent() == CommEvent::Receive ? 1 : 0; });
  ASSERT_TRUE(port.setPortOpen(true));

  pty.send("ab");
  ASSERT_TRUE(waitUntil([&] { return pty.slaveInputEmpty() && port.inBufferCount() == 2; }));
  EXPECT_EQ(receptions, 0);
  pty.send("cd");  // the read that leaves 3 or more waiting raises it
  ASSERT_TRUE(waitUntil([&] { return pty.slaveInputEmpty() && port.inBufferCount() == 4 && receptions > 0; }));
  EXPECT_EQ(port.input(), u"ab");
  EXPECT_EQ(port.input(), u"cd");
  EXPECT_EQ(port.input(), u"");

  ASSERT_TRUE(port.setInputLen(0));
  const int before = receptions;
  pty.send("efg");
  ASSERT_TRUE(waitUntil([&] { return pty.slaveInputEmpty() && port.inBufferCount() == 3 && receptions > before; }));
  EXPECT_EQ(port.input(), u"efg");
}

TEST_F(TermiosPortTest, AFullInputBufferDropsCharactersAndReportsOncePerOverflow) {
  TermiosPort port(map);
  record(port);
  ASSERT_TRUE(port.setInBufferSize(3));
  ASSERT_TRUE(port.setPortOpen(true));

  pty.send("ABCDE");
  ASSERT_TRUE(waitUntil([&] { return pty.slaveInputEmpty() && !events.empty(); }));
  QCoreApplication::processEvents();
  EXPECT_EQ(events, (std::vector<Event>{{CommEvent::RxOver, {}}}));
  EXPECT_EQ(port.input(), u"ABC");

  pty.send("FGHIJ");
  ASSERT_TRUE(waitUntil([&] { return events.size() >= 2; }));
  EXPECT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].code, CommEvent::RxOver);
  EXPECT_EQ(port.input(), u"FGH");
}

TEST_F(TermiosPortTest, AHandlerRunningAnEventLoopIsNotReentered) {
  TermiosPort port(map);
  ASSERT_TRUE(port.setRThreshold(1));
  ASSERT_TRUE(port.setInputLen(1));
  int depth = 0;
  int deepest = 0;
  int queuedDuringHandler = -1;
  std::vector<CodeString> inputs;
  QObject::connect(&port, &Port::onComm, &port, [&] {
    ++depth;
    deepest = std::max(deepest, depth);
    inputs.push_back(port.input());
    if (inputs.size() == 1) {
      // As a modal message box would: run events while more bytes come in.
      pty.send("B");
      EXPECT_TRUE(waitUntil([&] { return pty.slaveInputEmpty() && port.inBufferCount() == 1; }));
      for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
      queuedDuringHandler = static_cast<int>(inputs.size());
    }
    --depth;
  });
  ASSERT_TRUE(port.setPortOpen(true));

  pty.send("A");
  ASSERT_TRUE(waitUntil([&] { return inputs.size() == 2; }));
  EXPECT_EQ(deepest, 1);
  EXPECT_EQ(queuedDuringHandler, 1);  // "B" waited for the first handler to return
  EXPECT_EQ(inputs, (std::vector<CodeString>{u"A", u"B"}));
  EXPECT_EQ(port.commEvent(), CommEvent::Receive);
}

TEST_F(TermiosPortTest, AHandlerThatClosesThePortDropsTheRemainingEvents) {
  TermiosPort port(map);
  int calls = 0;
  QObject::connect(&port, &Port::onComm, &port, [&] {
    ++calls;
    EXPECT_TRUE(port.setPortOpen(false));
  });
  ASSERT_TRUE(port.setRThreshold(1));
  ASSERT_TRUE(port.setPortOpen(true));
  pty.send("xyz");
  ASSERT_TRUE(waitUntil([&] { return calls > 0; }));
  QCoreApplication::processEvents();
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(port.portOpen());
  EXPECT_TRUE(port.input().empty());
}

TEST_F(TermiosPortTest, InBufferCountZeroDiscardsWhatWasNotRead) {
  TermiosPort port(map);
  ASSERT_TRUE(port.setPortOpen(true));

  pty.send("abc");
  ASSERT_TRUE(waitUntil([&] { return pty.slaveInputEmpty() && port.inBufferCount() == 3; }));
  ASSERT_TRUE(port.setInBufferCount(0));
  EXPECT_EQ(port.inBufferCount(), 0);
  EXPECT_TRUE(port.input().empty());

  // A lead byte waiting for its trail byte is discarded too.
  pty.send("\x82");
  ASSERT_TRUE(waitUntil([&] { return pty.slaveInputEmpty(); }));
  ASSERT_TRUE(port.setInBufferCount(0));
  // Bytes still in the driver, not yet read by the port, go as well.
  pty.send("xyz");
  ASSERT_TRUE(port.setInBufferCount(0));
  pty.send("A");
  ASSERT_TRUE(waitUntil([&] { return pty.slaveInputEmpty() && port.inBufferCount() == 1; }));
  EXPECT_EQ(port.input(), u"A");
}

TEST_F(TermiosPortTest, OutputSendsTheBytesOfTextAndSingleBytes) {
  TermiosPort port(map);
  ASSERT_TRUE(port.setPortOpen(true));
  const CodeString text{u'R', u'D', char16_t{0x82A0}, char16_t{0xB1}, char16_t{0x80}, u'\r'};
  ASSERT_TRUE(port.output(text));
  ASSERT_TRUE(port.outputByte(0x00));
  ASSERT_TRUE(port.outputByte(0x80));
  ASSERT_TRUE(port.outputByte(0xFF));
  const std::string expected("RD\x82\xA0\xB1\x80\r\x00\x80\xFF", 10);
  std::string got;
  ASSERT_TRUE(waitUntil([&] {
    got += pty.drain();
    return got.size() >= expected.size();
  }));
  EXPECT_EQ(got, expected);
}

TEST_F(TermiosPortTest, OutputBeyondWhatTheDeviceTakesAtOnceIsSentLater) {
  TermiosPort port(map);
  ASSERT_TRUE(port.setPortOpen(true));
  std::string expected;
  for (int i = 0; i < 300000; ++i) expected.push_back(static_cast<char>('a' + i % 26));
  CodeString text(expected.begin(), expected.end());
  ASSERT_TRUE(port.output(text));
  EXPECT_GT(port.outBufferCount(), 0);
  std::string got;
  ASSERT_TRUE(waitUntil([&] {
    got += pty.drain();
    return got.size() >= expected.size() && port.outBufferCount() == 0;
  }));
  EXPECT_EQ(got, expected);
}

TEST_F(TermiosPortTest, OutBufferCountZeroDiscardsWhatWasNotSent) {
  TermiosPort port(map);
  ASSERT_TRUE(port.setPortOpen(true));
  const std::size_t size = 300000;
  ASSERT_TRUE(port.output(CodeString(size, u'x')));
  ASSERT_GT(port.outBufferCount(), 0);
  ASSERT_TRUE(port.setOutBufferCount(0));
  EXPECT_EQ(port.outBufferCount(), 0);
  ASSERT_TRUE(port.outputByte('!'));
  std::string got;
  ASSERT_TRUE(waitUntil([&] {
    got += pty.drain();
    return !got.empty() && got.back() == '!';
  }));
  // Bytes already in the driver go as well: what arrives is at most what the
  // other side had buffered (the 4096-byte read buffer of a Linux
  // pseudo-terminal), not the tens of kilobytes the driver had queued.
  EXPECT_LE(got.size(), 8192u);
  EXPECT_EQ(got.find_first_not_of('x'), got.size() - 1);
}

TEST_F(TermiosPortTest, OutputAndBreakNeedAnOpenPort) {
  TermiosPort port(map);
  for (const Status& s : {port.output(u"A"), port.outputByte(0x41), port.setBreak(true)}) {
    EXPECT_FALSE(s);
    EXPECT_TRUE(s.description().contains(QStringLiteral("Com1"))) << s.description().toStdString();
    EXPECT_TRUE(s.error().is(PortError::NotOpen));
  }
  ASSERT_TRUE(port.setPortOpen(true));
  EXPECT_TRUE(port.setBreak(true));
  EXPECT_TRUE(port.setBreak(false));
  ASSERT_TRUE(port.setPortOpen(false));
  EXPECT_FALSE(port.setBreak(false));
  EXPECT_FALSE(port.output(u"A"));
}

TEST_F(TermiosPortTest, ADeviceThatGoesAwayIsReportedOnce) {
  TermiosPort port(map);
  record(port);
  openForChunks(port);
  pty.send("ok");
  ASSERT_TRUE(waitUntil([&] { return received() == u"ok"; }));
  const std::size_t receptions = events.size();

  pty.closeMaster();
  ASSERT_TRUE(waitUntil([&] { return events.size() > receptions; }));
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  EXPECT_EQ(events.back(), (Event{CommEvent::DeviceLost, {}}));
  EXPECT_EQ(events.size(), receptions + 1);
  EXPECT_TRUE(port.portOpen());

  const Status s = port.output(u"more");
  EXPECT_FALSE(s);
  EXPECT_FALSE(s.description().isEmpty());
  EXPECT_FALSE(port.setBreak(true));
  EXPECT_EQ(port.outBufferCount(), 0);
  EXPECT_TRUE(port.setPortOpen(true));  // still open: nothing to do
  EXPECT_TRUE(port.setPortOpen(false));
  EXPECT_FALSE(port.portOpen());
  EXPECT_EQ(events.size(), receptions + 1);
}

// The termios settings of the terminal at `path`, read through a descriptor of its own.
termios attributesAt(const QString& path) {
  termios t{};
  const int fd = ::open(path.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  EXPECT_GE(fd, 0) << std::strerror(errno);
  if (fd < 0) return t;
  EXPECT_EQ(::tcgetattr(fd, &t), 0);
  ::close(fd);
  return t;
}

// Points the link `link` at `target`, replacing it in one step.
void pointLink(const std::string& link, const QString& target) {
  const std::string temporary = link + ".new";
  ASSERT_EQ(::symlink(target.toLocal8Bit().constData(), temporary.c_str()), 0);
  ASSERT_EQ(::rename(temporary.c_str(), link.c_str()), 0);
}

TEST_F(TermiosPortTest, ALostDeviceIsOpenedAgainWhenTheSameDeviceIsBack) {
  // The terminal is hung up (the port's descriptor dies) while the device itself stays.
  const std::string link = linkToPty();
  TermiosPort port(map);
  record(port);
  openForChunks(port);
  ASSERT_TRUE(port.setSettings(QStringLiteral("19200,e,7,2")));
  pty.send("a");
  ASSERT_TRUE(waitUntil([&] { return events.size() == 1; }));

  if (::ioctl(pty.slave(), TIOCVHANGUP) != 0) {
    ::unlink(link.c_str());
    GTEST_SKIP() << "hanging up a terminal needs CAP_SYS_ADMIN";
  }
  ASSERT_TRUE(waitUntil([&] { return events.size() == 3; }));
  EXPECT_EQ(events[1], (Event{CommEvent::DeviceLost, {}}));
  EXPECT_EQ(events[2], (Event{CommEvent::DeviceFound, {}}));
  const termios taken = attributesAt(pty.path());
  EXPECT_EQ(::cfgetospeed(&taken), speed_t{B19200});  // the same settings
  pty.send("b");
  ASSERT_TRUE(waitUntil([&] { return events.size() == 4; }));
  EXPECT_EQ(events.back(), (Event{CommEvent::Receive, u"b"}));
  ASSERT_TRUE(port.output(u"ok"));
  ASSERT_TRUE(waitUntil([&] { return pty.drain() == "ok"; }));
  ASSERT_TRUE(port.setPortOpen(false));
  ::unlink(link.c_str());
}

TEST_F(TermiosPortTest, AnotherDeviceAtTheLostDevicesPathIsNotOpened) {
  // The instrument's side closes and another program's pseudo-terminal
  // appears behind the same link: its data must not reach the port.
  const std::string link = linkToPty();
  TermiosPort port(map);
  record(port);
  openForChunks(port);
  pty.closeMaster();
  ASSERT_TRUE(waitUntil([&] { return events.size() == 1; }));
  EXPECT_EQ(events.back(), (Event{CommEvent::DeviceLost, {}}));

  PtyPair other;
  ASSERT_TRUE(other.valid());
  const termios before = other.slaveAttributes();
  pointLink(link, other.path());
  ASSERT_TRUE(waitUntil([&] { return events.size() == 2; }));
  EXPECT_EQ(events.back(), (Event{CommEvent::DeviceReplaced, {}}));
  // Said once, however often the path is looked at.
  QElapsedTimer elapsed;
  elapsed.start();
  other.send("x\n");
  while (elapsed.elapsed() < 3 * TermiosPort::ReconnectIntervalMs)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  EXPECT_EQ(events.size(), 2u);
  EXPECT_TRUE(port.deviceAbsent());
  EXPECT_FALSE(port.output(u"x"));
  // Its terminal is untouched: not switched to raw mode, nothing flushed.
  const termios after = other.slaveAttributes();
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_FALSE(other.slaveInputEmpty());
  ASSERT_TRUE(port.setPortOpen(false));
  ::unlink(link.c_str());
}

TEST_F(TermiosPortTest, ClosingALostPortStopsLookingForTheDevice) {
  TermiosPort port(map);
  record(port);
  ASSERT_TRUE(port.setPortOpen(true));
  pty.closeMaster();
  ASSERT_TRUE(waitUntil([&] { return !events.empty(); }));
  ASSERT_TRUE(port.setPortOpen(false));
  EXPECT_FALSE(port.portOpen());
  // Nothing is reopened behind the closed port's back.
  for (int i = 0; i < 70; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  EXPECT_EQ(events, (std::vector<Event>{{CommEvent::DeviceLost, {}}}));
}

TEST_F(TermiosPortTest, AFailedWriteLeadsToTheLostDeviceEvent) {
  TermiosPort port(map);
  record(port);
  ASSERT_TRUE(port.setPortOpen(true));
  pty.closeMaster();
  // Written before the event loop noticed anything.
  const Status s = port.output(u"lost");
  EXPECT_FALSE(s);
  EXPECT_FALSE(s.description().isEmpty());
  ASSERT_TRUE(waitUntil([&] { return !events.empty(); }));
  for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  EXPECT_EQ(events, (std::vector<Event>{{CommEvent::DeviceLost, {}}}));
  EXPECT_TRUE(port.setPortOpen(false));
}

}  // namespace
}  // namespace kestrune::serial
