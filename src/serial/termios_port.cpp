#include "serial/termios_port.h"

#include "core/trace.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <utility>

// The platform headers stay in this file so that the rest of the program (and
// every consumer of Port) builds without them.
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace kestrune::serial {

namespace {

// Messages for the user, one place for the module.
const QString kBadPort = QStringLiteral("ポート番号 %1 は使用できません（1～8）");
const QString kPortIsOpen = QStringLiteral("Com%1 を開いている間はポート番号を変更できません");
const QString kBadValue = QStringLiteral("%1 に %2 は設定できません");
const QString kOnlyZero = QStringLiteral("%1 に設定できるのは 0 だけです");
const QString kNotOpen = QStringLiteral("Com%1 は開いていません");
const QString kLost = QStringLiteral("Com%1（%2）は切断されています。ポートを閉じてから開き直してください");
const QString kNotFound = QStringLiteral("Com%1（%2）が見つかりません");
const QString kBusy = QStringLiteral("Com%1（%2）は他のプログラムが使用中です");
const QString kDenied =
    QStringLiteral("Com%1（%2）を開く権限がありません（ユーザーを dialout グループに加えてください）");
const QString kHeldBy = QStringLiteral("（使用中のプログラム：%1）");
const QString kLockedBy = QStringLiteral("（使用中のプログラム：%1（PID %2）、ロックファイル %3）");
const QString kAlsoOpen =
    QStringLiteral("Com%1（%2）は他のプログラムも開いています：%3。受信データを取り合うおそれがあります");
const QString kNotSerial = QStringLiteral("Com%1（%2）はシリアルポートではありません");
const QString kOpenFailed = QStringLiteral("Com%1（%2）を開けません：%3");
const QString kSetFailed = QStringLiteral("%1 に通信条件「%2」、フロー制御 %3 を設定できません：%4");
const QString kNotSupported = QStringLiteral("%1 は通信条件「%2」、フロー制御 %3 に対応していません");
const QString kWriteFailed = QStringLiteral("%1 への送信に失敗しました：%2");
const QString kBreakFailed = QStringLiteral("%1 のブレーク信号を切り替えられません：%2");
const QString kLineFailed = QStringLiteral("%1 の %2 信号を切り替えられません：%3");

QString errorText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

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

// A hung-up terminal reads as end of file, as does an idle one with VMIN and
// VTIME 0; only poll tells the two apart.
bool hungUp(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// Unix98 and legacy pseudo-terminal slaves. Their driver keeps every termios
// setting except that it always reports 8 data bits and no parity.
bool isPseudoTerminal(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  return isPseudoTerminalMajor(major(st.st_rdev));
}

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

QString openFailureText(int port, const QString& device, int error) {
  switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return kNotFound.arg(port).arg(device);
    case EBUSY:
    case EWOULDBLOCK:
      return kBusy.arg(port).arg(device);
    case EACCES:
    case EPERM:
      return kDenied.arg(port).arg(device);
    case ENOTTY:
      return kNotSerial.arg(port).arg(device);
    default:
      return kOpenFailed.arg(port).arg(device, errorText(error));
  }
}

PortError openErrorCode(int error) {
  switch (error) {
    case EBUSY:
    case EWOULDBLOCK:
      return PortError::Busy;
    case EACCES:
    case EPERM:
      return PortError::NoPermission;
    case ENOTTY:
      return PortError::NotSerial;
    default:
      return PortError::NoDevice;
  }
}

// Whether process `pid` holds the master side of the pseudo-terminal whose
// slave is `slave` (/dev/pts/N): that is the instrument at the other end (a
// program that keeps its slave open too), not another reader of the line.
// The kernel names a master's slave in the fd's "tty-index" line.
static bool holdsMasterOf(long pid, const QStringList& fdNames, const QString& slave) {
  static const QString ptsFolder = QStringLiteral("/dev/pts/");
  if (!slave.startsWith(ptsFolder)) return false;
  const QByteArray index = slave.mid(ptsFolder.size()).toLatin1();
  for (const QString& fd : fdNames) {
    const QString link = QFile::symLinkTarget(QStringLiteral("/proc/%1/fd/%2").arg(pid).arg(fd));
    if (link != QStringLiteral("/dev/ptmx") && link != QStringLiteral("/dev/pts/ptmx")) continue;
    QFile info(QStringLiteral("/proc/%1/fdinfo/%2").arg(pid).arg(fd));
    if (!info.open(QIODevice::ReadOnly)) continue;
    for (const QByteArray& line : info.readAll().split('\n'))
      if (line.startsWith("tty-index:") && line.mid(10).trimmed() == index) return true;
  }
  return false;
}

QStringList deviceHolders(const QString& device, long skipPid) {
  // The programs with the device open, as far as /proc shows them to us
  // (another user's processes stay hidden without privileges).
  const QString target = QFileInfo(device).canonicalFilePath();
  QStringList holders;
  if (target.isEmpty()) return holders;
  const QDir proc(QStringLiteral("/proc"));
  for (const QString& entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    bool isPid = false;
    const long pid = entry.toLong(&isPid);
    if (!isPid || pid == skipPid) continue;
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    const QStringList fdNames = fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    const bool holds = std::any_of(fdNames.begin(), fdNames.end(),
                                   [&](const QString& fd) { return QFile::symLinkTarget(fds.filePath(fd)) == target; });
    if (holds && !holdsMasterOf(pid, fdNames, target))
      holders << QStringLiteral("%1（PID %2）").arg(processName(pid)).arg(pid);
  }
  return holders;
}

TermiosPort::TermiosPort(PortMap map, QObject* parent)
    : Port(parent), map_(std::move(map)), pollTimer_(new QTimer(this)), reconnectTimer_(new QTimer(this)) {
  pollTimer_->setInterval(50);
  connect(pollTimer_, &QTimer::timeout, this, &TermiosPort::pollLineState);
  reconnectTimer_->setInterval(ReconnectIntervalMs);
  connect(reconnectTimer_, &QTimer::timeout, this, &TermiosPort::tryReconnect);
}

TermiosPort::~TermiosPort() { closeDevice(); }

QString TermiosPort::deviceName() const { return QStringLiteral("Com%1（%2）").arg(commPort_).arg(device_); }

Status TermiosPort::notUsable() const {
  if (!open_) return fail(PortError::NotOpen, kNotOpen.arg(commPort_));
  if (lost_) return fail(PortError::DeviceLost, kLost.arg(commPort_).arg(device_));
  return {};
}

Status TermiosPort::setPortOpen(bool open) {
  if (open == open_) return {};
  if (!open) {
    closeDevice();
    return {};
  }
  if (Status opened = openDevice(); !opened) {
    lock_.release();
    return opened;
  }
  open_ = true;
  lost_ = false;
  identity_ = opened_;
  refused_.reset();
  ++session_;
  return {};
}

QString TermiosPort::openWarning() const {
  // Our lock and TIOCEXCL keep out whoever comes later, not a program that
  // opened the device before us without a lock: it would read our replies.
  if (fd_ < 0) return {};
  const QStringList others = deviceHolders(device_, ::getpid());
  if (others.isEmpty()) return {};
  return kAlsoOpen.arg(commPort_).arg(device_, others.join(QStringLiteral("、")));
}

Status TermiosPort::openDevice() {
  device_ = map_.devicePath(commPort_);
  if (!map_.error().isEmpty()) return fail(PortError::NoDevice, map_.error());
  const QByteArray path = QFile::encodeName(device_);
  // A busy device names who holds it, where that can be found.
  const auto failure = [this](int error) {
    QString text = openFailureText(commPort_, device_, error);
    if (error == EBUSY || error == EWOULDBLOCK) {
      const QStringList holders = deviceHolders(device_);
      if (!holders.isEmpty()) text += kHeldBy.arg(holders.join(QStringLiteral("、")));
    }
    return fail(openErrorCode(error), text);
  };
  // The lock first: a device that another program has locked is not touched.
  if (const std::optional<LockHolder> holder = lock_.acquire(device_))
    return fail(PortError::Busy, kBusy.arg(commPort_).arg(device_) +
                                     kLockedBy.arg(holder->program, QString::number(holder->pid), holder->lockFile));
  const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return failure(errno);
  const auto refuse = [&](int error) {
    ::close(fd);
    return Status(failure(error));
  };
  // The lock keeps out every other open of the device, from this process or
  // another, root's included; TIOCEXCL also stops programs that do not lock.
  // Locking first means a refused open never touches the terminal.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return refuse(errno);
  if (::ioctl(fd, TIOCEXCL) != 0 && errno == ENOTTY) return refuse(ENOTTY);
  // What was opened, to know it again after a loss; the path is checked
  // against the descriptor, in case it changed in between.
  const std::optional<DeviceIdentity> identity = identifyDevice(device_);
  struct stat opened {};
  if (!identity || ::fstat(fd, &opened) != 0 || opened.st_rdev != identity->rdev) {
    ::ioctl(fd, TIOCNXCL);
    return refuse(ENODEV);
  }
  opened_ = *identity;
  const auto undo = [&](Status status) {
    ::ioctl(fd, TIOCNXCL);
    ::close(fd);
    fd_ = -1;
    return status;
  };

  termios raw{};
  if (::tcgetattr(fd, &raw) != 0) return undo(failure(errno));
  ::cfmakeraw(&raw);
  raw.c_cflag |= CLOCAL | CREAD;
  // Bytes with parity errors are delivered as received; the driver's error
  // counters report the error.
  raw.c_iflag &= ~(INPCK | ISTRIP);
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;

  fd_ = fd;
  pseudoTerminal_ = isPseudoTerminal(fd);
  if (Status set = setLineFormat(raw, config_, handshaking_); !set) return undo(set);
  for (const auto& [bit, on] : {std::pair{TIOCM_RTS, rtsEnable_}, std::pair{TIOCM_DTR, dtrEnable_}}) {
    if (Status line = applyModemLine(bit, on); !line) return undo(line);
  }
  // Whatever arrived before the port was opened is not ours.
  ::tcflush(fd, TCIOFLUSH);

  pollModemLines_ = ::ioctl(fd, TIOCMGET, &modemBits_) == 0;
  serial_icounter_struct ic{};
  pollErrorCounters_ = ::ioctl(fd, TIOCGICOUNT, &ic) == 0;
  if (pollErrorCounters_) counters_ = countersOf(ic);

  readNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  connect(readNotifier_, &QSocketNotifier::activated, this, [this] { readAvailable(); });
  writeNotifier_ = new QSocketNotifier(fd, QSocketNotifier::Write, this);
  writeNotifier_->setEnabled(false);
  connect(writeNotifier_, &QSocketNotifier::activated, this, [this] {
    // A failed write has already raised the lost-device event; the trace keeps the reason.
    traceFailure(QStringLiteral("serial write"), writePending());
  });
  if (pollModemLines_ || pollErrorCounters_) pollTimer_->start();
  return {};
}

void TermiosPort::releaseDevice() {
  pollTimer_->stop();
  // The notifiers may be the very senders being handled now: delete them later.
  for (QSocketNotifier** notifier : {&readNotifier_, &writeNotifier_}) {
    if (!*notifier) continue;
    (*notifier)->setEnabled(false);
    (*notifier)->deleteLater();
    *notifier = nullptr;
  }
  if (fd_ < 0) return;
  // Discarding the output first keeps close() from waiting for it to drain.
  ::tcflush(fd_, TCOFLUSH);
  ::ioctl(fd_, TIOCCBRK);
  // The exclusive flag belongs to the terminal, not to this descriptor: left
  // set, it would refuse the next open while another descriptor (the
  // instrument side of a pseudo-terminal, say) keeps the terminal alive.
  ::ioctl(fd_, TIOCNXCL);
  ::close(fd_);
  fd_ = -1;
}

void TermiosPort::closeDevice() {
  reconnectTimer_->stop();
  releaseDevice();
  lock_.release();
  open_ = false;
  lost_ = false;
  ++session_;
  decoder_.reset();
  received_.clear();
  overflowReported_ = false;
  pendingOutput_.clear();
  events_.clear();
}

void TermiosPort::deviceLost() {
  if (!open_ || lost_) return;
  lost_ = true;
  ++losses_;
  releaseDevice();
  pendingOutput_.clear();
  // What was received before the loss stays for input(). The device (a USB
  // adapter plugged back in, an instrument restarted) is looked for again at
  // the same mapped path until it is back or the port is closed.
  reconnectTimer_->start();
  raise(CommEvent::DeviceLost);
}

void TermiosPort::tryReconnect() {
  if (!open_ || !lost_) {
    reconnectTimer_->stop();
    return;
  }
  // Only the device that was lost is opened again. Another one at its path
  // (a pseudo-terminal number handed to another program, another adapter
  // under the same name) is not touched: its data would go into the workbook.
  const std::optional<DeviceIdentity> there = identifyDevice(map_.devicePath(commPort_));
  if (!there) return;  // not back yet
  // A tty that udev has not named in by-id yet may be the adapter: look again later.
  if (!identity_.usbName.isEmpty() && there->usbName.isEmpty() && !there->pseudoTerminal) return;
  if (!sameDevice(identity_, *there)) return refuseOtherDevice(*there);
  if (!openDevice()) return;
  if (!sameDevice(identity_, opened_)) {  // exchanged since the look
    releaseDevice();
    return refuseOtherDevice(opened_);
  }
  reconnectTimer_->stop();
  lost_ = false;
  refused_.reset();
  ++session_;
  raise(CommEvent::DeviceFound);
}

void TermiosPort::refuseOtherDevice(const DeviceIdentity& other) {
  if (refused_ == other) return;
  refused_ = other;
  raise(CommEvent::DeviceReplaced);
}

Status TermiosPort::setCommPort(int port) {
  if (port < 1 || port > 8) return fail(kBadPort.arg(port));
  if (open_) return fail(kPortIsOpen.arg(commPort_));
  commPort_ = port;
  return {};
}

QString TermiosPort::settings() const { return settingsText(config_); }

Status TermiosPort::setSettings(const QString& settings) {
  const Result<PortConfig> config = parseSettings(settings);
  if (!config) return config.error();
  if (fd_ >= 0) {
    if (Status applied = applyLineSettings(*config, handshaking_); !applied) return applied;
  }
  config_ = *config;
  return {};
}

Status TermiosPort::setHandshaking(FlowControl flow) {
  // A value cast from outside the enumeration is refused, as its code would be.
  if (const Result<FlowControl> known = flowControlFromCode(handshakingCode(flow)); !known) return known.error();
  if (fd_ >= 0) {
    if (Status applied = applyLineSettings(config_, flow); !applied) return applied;
  }
  handshaking_ = flow;
  return {};
}

Status TermiosPort::applyLineSettings(const PortConfig& config, FlowControl flow) {
  termios current{};
  if (::tcgetattr(fd_, &current) != 0)
    return fail(PortError::BadSetting,
                kSetFailed.arg(deviceName(), settingsText(config)).arg(handshakingCode(flow)).arg(errorText(errno)));
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
    return fail(PortError::BadSetting,
                kSetFailed.arg(deviceName(), settingsText(config)).arg(handshakingCode(flow)).arg(errorText(error)));
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
    return fail(PortError::BadSetting,
                kNotSupported.arg(deviceName(), settingsText(config)).arg(handshakingCode(flow)));
  }
  return {};
}

Status TermiosPort::applyModemLine(int bit, bool on) {
  if (fd_ < 0) return {};
  if (::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit) == 0 || unsupported(errno)) return {};
  return fail(PortError::LineFailed,
              kLineFailed.arg(deviceName(), bit == TIOCM_RTS ? QStringLiteral("RTS") : QStringLiteral("DTR"),
                              errorText(errno)));
}

Status TermiosPort::setRThreshold(int characters) {
  if (characters < 0) return fail(kBadValue.arg(QStringLiteral("RThreshold")).arg(characters));
  rThreshold_ = characters;
  return {};
}

Status TermiosPort::setInBufferSize(int characters) {
  if (characters < 1) return fail(kBadValue.arg(QStringLiteral("InBufferSize")).arg(characters));
  inBufferSize_ = characters;
  return {};
}

Status TermiosPort::setInputLen(int characters) {
  if (characters < 0) return fail(kBadValue.arg(QStringLiteral("InputLen")).arg(characters));
  inputLen_ = characters;
  return {};
}

Status TermiosPort::setInputMode(InputMode mode) {
  // Text and binary deliver the same character codes here. A value cast from
  // outside the enumeration is refused.
  if (mode != InputMode::Text && mode != InputMode::Binary)
    return fail(kBadValue.arg(QStringLiteral("InputMode")).arg(static_cast<int>(mode)));
  inputMode_ = mode;
  return {};
}

Status TermiosPort::setRTSEnable(bool enable) {
  if (Status applied = applyModemLine(TIOCM_RTS, enable); !applied) return applied;
  rtsEnable_ = enable;
  return {};
}

Status TermiosPort::setDTREnable(bool enable) {
  if (Status applied = applyModemLine(TIOCM_DTR, enable); !applied) return applied;
  dtrEnable_ = enable;
  return {};
}

Status TermiosPort::setInBufferCount(int count) {
  if (count != 0) return fail(kOnlyZero.arg(QStringLiteral("InBufferCount")));
  if (fd_ >= 0) ::tcflush(fd_, TCIFLUSH);
  decoder_.reset();
  received_.clear();
  overflowReported_ = false;
  return {};
}

int TermiosPort::inBufferCount() const {
  int waiting = 0;
  if (fd_ < 0 || ::ioctl(fd_, FIONREAD, &waiting) != 0) waiting = 0;
  return static_cast<int>(received_.size()) + waiting;
}

cp932::CodeString TermiosPort::input() {
  const std::size_t count =
      inputLen_ == 0 ? received_.size() : std::min(received_.size(), static_cast<std::size_t>(inputLen_));
  cp932::CodeString taken = received_.substr(0, count);
  received_.erase(0, count);
  return taken;
}

Status TermiosPort::output(const cp932::CodeString& text) {
  if (Status usable = notUsable(); !usable) return usable;
  pendingOutput_ += cp932::encode(text);
  return writePending();
}

Status TermiosPort::outputByte(std::uint8_t byte) {
  if (Status usable = notUsable(); !usable) return usable;
  pendingOutput_.push_back(static_cast<char>(byte));
  return writePending();
}

Status TermiosPort::writePending() {
  if (fd_ < 0) return {};
  while (!pendingOutput_.empty()) {
    const ssize_t written = ::write(fd_, pendingOutput_.data(), pendingOutput_.size());
    if (written > 0) {
      pendingOutput_.erase(0, static_cast<std::size_t>(written));
      continue;
    }
    const int error = written < 0 ? errno : EIO;
    if (error == EINTR) continue;
    if (error == EAGAIN || error == EWOULDBLOCK) break;
    // A write usually fails because the device has gone. The hang-up also
    // wakes the read notifier, which reports the loss from the event loop
    // rather than from inside output().
    pendingOutput_.clear();
    if (writeNotifier_) writeNotifier_->setEnabled(false);
    return fail(PortError::WriteFailed, kWriteFailed.arg(deviceName(), errorText(error)));
  }
  if (writeNotifier_) writeNotifier_->setEnabled(!pendingOutput_.empty());
  return {};
}

int TermiosPort::outBufferCount() const {
  int queued = 0;
  if (fd_ < 0 || ::ioctl(fd_, TIOCOUTQ, &queued) != 0) queued = 0;
  return static_cast<int>(pendingOutput_.size()) + queued;
}

Status TermiosPort::setOutBufferCount(int count) {
  if (count != 0) return fail(kOnlyZero.arg(QStringLiteral("OutBufferCount")));
  pendingOutput_.clear();
  if (writeNotifier_) writeNotifier_->setEnabled(false);
  if (fd_ >= 0) ::tcflush(fd_, TCOFLUSH);
  return {};
}

Status TermiosPort::setBreak(bool on) {
  if (Status usable = notUsable(); !usable) return usable;
  if (::ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) != 0)
    return fail(PortError::LineFailed, kBreakFailed.arg(deviceName(), errorText(errno)));
  return {};
}

void TermiosPort::readAvailable() {
  if (fd_ < 0) return;
  // Bounded, so that a fast stream cannot starve the event loop.
  constexpr std::size_t kMaxPerCall = 64 * 1024;
  std::array<char, 4096> buffer{};
  std::size_t total = 0;
  bool hangUp = false;
  const unsigned int session = session_;
  while (total < kMaxPerCall) {
    const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
    if (n > 0) {
      total += static_cast<std::size_t>(n);
      // Each read is handed over before the next, so that the port's
      // buffer never holds more than one read. A handler that closes or
      // reopens the port ends this session's reading.
      decodeReceived(buffer.data(), static_cast<std::size_t>(n));
      if (session != session_ || fd_ < 0) return;
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || errno == EAGAIN || errno == EWOULDBLOCK)
      hangUp = hungUp(fd_);
    else
      hangUp = true;
    break;
  }
  if (hangUp) deviceLost();
}

void TermiosPort::decodeReceived(const char* bytes, std::size_t count) {
  // The whole read is queued before its event is reported, so that bytes
  // read by a nested event loop in a handler come after it. A double-byte
  // character split between two reads waits in the decoder for its trail.
  cp932::CodeString characters;
  decoder_.feed(std::string_view(bytes, count), characters);
  const auto size = static_cast<std::size_t>(inBufferSize_);
  const std::size_t taken = std::min(characters.size(), size > received_.size() ? size - received_.size() : 0);
  received_.append(characters, 0, taken);
  if (taken > 0) {
    overflowReported_ = false;
    if (rThreshold_ > 0 && received_.size() >= static_cast<std::size_t>(rThreshold_))
      events_.push_back(CommEvent::Receive);
  }
  if (taken < characters.size()) {
    // Reported once until there is room again, not once per lost character.
    if (!overflowReported_) events_.push_back(CommEvent::RxOver);
    overflowReported_ = true;
  }
  dispatchEvents();
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

void TermiosPort::raise(CommEvent event) {
  events_.push_back(event);
  dispatchEvents();
}

void TermiosPort::dispatchEvents() {
  // A handler that runs a nested event loop may make more events; they wait
  // in the queue and are reported here, in order, after it returns.
  if (dispatching_) return;
  dispatching_ = true;
  while (!events_.empty()) {
    commEvent_ = events_.front();
    events_.pop_front();
    emit onComm();
  }
  dispatching_ = false;
}

}  // namespace kestrune::serial
