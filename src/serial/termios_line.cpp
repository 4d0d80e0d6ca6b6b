// Setting the serial line and watching its states: the line format and flow
// control to termios (applied and read back, since a driver may take another
// format than asked), the RTS and DTR lines, and the modem lines and error
// counters polled while the port is open, which raise their events.
#include "serial/termios_port.h"

#include <QTimer>

#include <algorithm>
#include <array>
#include <cerrno>
#include <utility>

// The tty ioctls and termios stay in the termios port's own files.
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>

namespace kestrune::serial {

namespace {

constexpr std::array<std::pair<int, speed_t>, 30> kSpeeds{{
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
}};

constexpr tcflag_t kFormatFlags = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
constexpr tcflag_t kSoftwareFlowFlags = IXON | IXOFF;

// The driver lacks the request (a pseudo-terminal has no modem lines).
bool unsupported(int error) { return error == ENOTTY || error == EINVAL; }
// The device has gone (unplugged, or the other side of a pseudo-terminal closed).
bool gone(int error) { return error == EIO || error == ENXIO || error == ENODEV; }

ErrorCounters countersOf(const serial_icounter_struct& ic) {
  return {static_cast<std::uint32_t>(ic.brk), static_cast<std::uint32_t>(ic.frame),
          static_cast<std::uint32_t>(ic.overrun), static_cast<std::uint32_t>(ic.buf_overrun),
          static_cast<std::uint32_t>(ic.parity)};
}

}  // namespace

void applyPortConfig(const PortConfig& config, FlowControl flow, struct termios& t) {
  const auto speed =
      std::find_if(kSpeeds.begin(), kSpeeds.end(), [&](const auto& entry) { return entry.first == config.baud; });
  if (speed != kSpeeds.end()) {
    ::cfsetispeed(&t, speed->second);
    ::cfsetospeed(&t, speed->second);
  }

  t.c_cflag &= ~kFormatFlags;
  switch (config.dataBits) {
    case 5:
      t.c_cflag |= CS5;
      break;
    case 6:
      t.c_cflag |= CS6;
      break;
    case 7:
      t.c_cflag |= CS7;
      break;
    default:
      t.c_cflag |= CS8;
      break;
  }
  switch (config.parity) {
    case Parity::None:
      break;
    case Parity::Even:
      t.c_cflag |= PARENB;
      break;
    case Parity::Odd:
      t.c_cflag |= PARENB | PARODD;
      break;
    // With CMSPAR the parity bit is constant: 1 when PARODD is set, else 0.
    case Parity::Mark:
      t.c_cflag |= PARENB | CMSPAR | PARODD;
      break;
    case Parity::Space:
      t.c_cflag |= PARENB | CMSPAR;
      break;
  }
  if (config.stopBits != StopBits::One) t.c_cflag |= CSTOPB;

  const bool rtsCts = flow == FlowControl::RtsCts || flow == FlowControl::RtsCtsXonXoff;
  const bool xonXoff = flow == FlowControl::XonXoff || flow == FlowControl::RtsCtsXonXoff;
  if (rtsCts) t.c_cflag |= CRTSCTS;
  t.c_iflag &= ~(kSoftwareFlowFlags | IXANY);
  if (xonXoff) t.c_iflag |= kSoftwareFlowFlags;
  t.c_cc[VSTART] = 0x11;
  t.c_cc[VSTOP] = 0x13;
}

std::vector<CommEvent> modemLineEvents(int before, int after) {
  static constexpr std::array<std::pair<int, CommEvent>, 4> kLines{{{TIOCM_CTS, CommEvent::Cts},
                                                                    {TIOCM_DSR, CommEvent::Dsr},
                                                                    {TIOCM_CD, CommEvent::Cd},
                                                                    {TIOCM_RI, CommEvent::Ring}}};
  std::vector<CommEvent> events;
  for (const auto& [bit, event] : kLines)
    if ((before & bit) != (after & bit)) events.push_back(event);
  return events;
}

std::vector<CommEvent> errorCounterEvents(const ErrorCounters& before, const ErrorCounters& after) {
  const std::array<std::pair<std::uint32_t ErrorCounters::*, CommEvent>, 5> kCounters{{
      {&ErrorCounters::breaks, CommEvent::Break},
      {&ErrorCounters::frame, CommEvent::Frame},
      {&ErrorCounters::overrun, CommEvent::Overrun},
      {&ErrorCounters::bufferOverrun, CommEvent::RxOver},
      {&ErrorCounters::parity, CommEvent::RxParity},
  }};
  std::vector<CommEvent> events;
  // A counter never goes down, so any difference (a wrap-around included) is growth.
  for (const auto& [counter, event] : kCounters)
    if (before.*counter != after.*counter) events.push_back(event);
  return events;
}

Status TermiosPort::applyLineSettings(const PortConfig& config, FlowControl flow) {
  termios current{};
  if (::tcgetattr(fd_, &current) != 0) {
    const int error = errno;
    return port_failure::lineFormatNotSet(deviceName(), settingsText(config), handshakingCode(flow), error);
  }
  return setLineFormat(current, config, flow);
}

Status TermiosPort::setLineFormat(const termios& base, const PortConfig& config, FlowControl flow) {
  termios wanted = base;
  applyPortConfig(config, flow, wanted);
  if (pseudoTerminal_) {
    // A pseudo-terminal always holds 8 data bits without parity. Asked for
    // others, its driver takes the rest and glibc's tcsetattr, reading the
    // terminal back, then reports EINVAL: a second open with 7 bits and
    // parity would fail although nothing is wrong. Ask for what it holds.
    wanted.c_cflag &= ~(CSIZE | PARENB);
    wanted.c_cflag |= CS8;
  }
  if (::tcsetattr(fd_, TCSANOW, &wanted) != 0) {
    const int error = errno;
    ::tcsetattr(fd_, TCSANOW, &base);
    return port_failure::lineFormatNotSet(deviceName(), settingsText(config), handshakingCode(flow), error);
  }
  // tcsetattr succeeds when any part of the change was made; a driver that
  // cannot take a speed, a character size or mark/space parity changes the
  // setting instead. Read it back so that the port never runs on other
  // settings than those written.
  termios taken{};
  if (pseudoTerminal_ || ::tcgetattr(fd_, &taken) != 0) return {};
  if (::cfgetospeed(&taken) != ::cfgetospeed(&wanted) ||
      (taken.c_cflag & kFormatFlags) != (wanted.c_cflag & kFormatFlags) ||
      (taken.c_iflag & kSoftwareFlowFlags) != (wanted.c_iflag & kSoftwareFlowFlags)) {
    ::tcsetattr(fd_, TCSANOW, &base);
    return port_failure::lineFormatNotSupported(deviceName(), settingsText(config), handshakingCode(flow));
  }
  return {};
}

Status TermiosPort::applyModemLine(int bit, bool on) {
  if (fd_ < 0) return {};
  if (::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit) == 0 || unsupported(errno)) return {};
  const int error = errno;
  return port_failure::modemLineNotSet(deviceName(), bit == TIOCM_RTS ? QStringLiteral("RTS") : QStringLiteral("DTR"),
                                       error);
}

void TermiosPort::watchLineState() {
  pollModemLines_ = ::ioctl(fd_, TIOCMGET, &modemBits_) == 0;
  serial_icounter_struct ic{};
  pollErrorCounters_ = ::ioctl(fd_, TIOCGICOUNT, &ic) == 0;
  if (pollErrorCounters_) counters_ = countersOf(ic);
}

void TermiosPort::pollLineState() {
  if (fd_ < 0) return;
  std::vector<CommEvent> events;
  if (pollModemLines_) {
    int bits = 0;
    if (::ioctl(fd_, TIOCMGET, &bits) == 0) {
      events = modemLineEvents(modemBits_, bits);
      modemBits_ = bits;
    } else if (unsupported(errno)) {
      pollModemLines_ = false;
    } else if (gone(errno)) {
      deviceLost();
      return;
    }
  }
  if (pollErrorCounters_) {
    serial_icounter_struct ic{};
    if (::ioctl(fd_, TIOCGICOUNT, &ic) == 0) {
      const ErrorCounters now = countersOf(ic);
      const std::vector<CommEvent> errors = errorCounterEvents(counters_, now);
      events.insert(events.end(), errors.begin(), errors.end());
      counters_ = now;
    } else if (unsupported(errno)) {
      pollErrorCounters_ = false;
    } else if (gone(errno)) {
      deviceLost();
      return;
    }
  }
  if (!pollModemLines_ && !pollErrorCounters_) pollTimer_->stop();
  events_.insert(events_.end(), events.begin(), events.end());
  dispatchEvents();
}

}  // namespace kestrune::serial
