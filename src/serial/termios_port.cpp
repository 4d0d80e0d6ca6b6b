// The termios port itself: opening the device exclusively (UUCP lock, flock,
// TIOCEXCL), reading and writing it without blocking, the reception
// parameters and buffers, reporting events in order, and reopening a device
// that went away. Line settings and states: termios_line.cpp.
#include "serial/termios_port.h"

#include "core/trace.h"

#include <QFile>
#include <QSocketNotifier>
#include <QTimer>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>
#include <utility>

// The platform headers stay in the termios port's own files so that the rest
// of the program (and every consumer of Port) builds without them.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace kestrune::serial {

namespace {

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

}  // namespace

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
  if (!open_) return port_failure::notOpen(commPort_);
  if (lost_) return port_failure::deviceLost(commPort_, device_);
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
  return port_failure::alsoOpen(commPort_, device_, others);
}

Status TermiosPort::openDevice() {
  device_ = map_.devicePath(commPort_);
  if (!map_.error().isEmpty()) return fail(PortError::NoDevice, map_.error());
  const QByteArray path = QFile::encodeName(device_);
  // A busy device names who holds it, where that can be found.
  const auto failure = [this](int error) { return port_failure::openFailed(commPort_, device_, error); };
  // The lock first: a device that another program has locked is not touched.
  if (const std::optional<LockHolder> holder = lock_.acquire(device_))
    return port_failure::lockedBy(commPort_, device_, *holder);
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

  watchLineState();

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
  if (port < 1 || port > 8) return port_failure::badPortNumber(port);
  if (open_) return port_failure::portIsOpen(commPort_);
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

Status TermiosPort::setRThreshold(int characters) {
  if (characters < 0) return port_failure::badValue(QStringLiteral("RThreshold"), characters);
  rThreshold_ = characters;
  return {};
}

Status TermiosPort::setInBufferSize(int characters) {
  if (characters < 1) return port_failure::badValue(QStringLiteral("InBufferSize"), characters);
  inBufferSize_ = characters;
  return {};
}

Status TermiosPort::setInputLen(int characters) {
  if (characters < 0) return port_failure::badValue(QStringLiteral("InputLen"), characters);
  inputLen_ = characters;
  return {};
}

Status TermiosPort::setInputMode(InputMode mode) {
  // Text and binary deliver the same character codes here. A value cast from
  // outside the enumeration is refused.
  if (mode != InputMode::Text && mode != InputMode::Binary)
    return port_failure::badValue(QStringLiteral("InputMode"), static_cast<int>(mode));
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
  if (count != 0) return port_failure::onlyZero(QStringLiteral("InBufferCount"));
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
    return port_failure::writeFailed(deviceName(), error);
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
  if (count != 0) return port_failure::onlyZero(QStringLiteral("OutBufferCount"));
  pendingOutput_.clear();
  if (writeNotifier_) writeNotifier_->setEnabled(false);
  if (fd_ >= 0) ::tcflush(fd_, TCOFLUSH);
  return {};
}

Status TermiosPort::setBreak(bool on) {
  if (Status usable = notUsable(); !usable) return usable;
  if (::ioctl(fd_, on ? TIOCSBRK : TIOCCBRK) != 0) {
    const int error = errno;
    return port_failure::breakNotSet(deviceName(), error);
  }
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
