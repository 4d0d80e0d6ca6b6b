// The serial port on a POSIX terminal device (a serial line, a USB adapter or
// a pseudo-terminal), driven through termios and the Linux tty ioctls. The
// port itself is in termios_port.cpp; setting the line and watching its
// states in termios_line.cpp; its failures in port_failures.cpp.
#pragma once

#include "serial/device_identity.h"
#include "serial/port.h"
#include "serial/port_config.h"
#include "serial/port_failures.h"
#include "serial/port_map.h"
#include "serial/termios_line.h"
#include "serial/uucp_lock.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

class QSocketNotifier;
class QTimer;
struct termios;

namespace kestrune::serial {

class TermiosPort final : public Port {
  Q_OBJECT
public:
  // How often a lost device is looked for again.
  static constexpr int ReconnectIntervalMs = 500;

  explicit TermiosPort(PortMap map, QObject* parent = nullptr);
  ~TermiosPort() override;

  bool portOpen() const override { return open_; }
  Status setPortOpen(bool open) override;
  int commPort() const override { return commPort_; }
  Status setCommPort(int port) override;
  QString settings() const override;
  Status setSettings(const QString& settings) override;
  FlowControl handshaking() const override { return handshaking_; }
  Status setHandshaking(FlowControl flow) override;

  Status setRThreshold(int characters) override;
  Status setInBufferSize(int characters) override;
  Status setInputLen(int characters) override;
  Status setInBufferCount(int count) override;
  int inBufferCount() const override;
  Status setInputMode(InputMode mode) override;
  Status setRTSEnable(bool enable) override;
  Status setDTREnable(bool enable) override;

  cp932::CodeString input() override;
  CommEvent commEvent() const override { return commEvent_; }

  Status output(const cp932::CodeString& text) override;
  Status outputByte(std::uint8_t byte) override;
  int outBufferCount() const override;
  Status setOutBufferCount(int count) override;

  Status setBreak(bool on) override;

  bool deviceAbsent() const override { return open_ && lost_; }
  std::uint32_t deviceLosses() const override { return losses_; }
  // Other programs holding the open device too (they took no lock, and
  // opened it before us). A scan of /proc: for Start, not for every tick.
  QString openWarning() const override;

  // Where the UUCP lock files are (DefaultLockFolder unless a test says otherwise).
  void setLockFolder(const QString& folder) { lock_.setFolder(folder); }

  // Which device each "Com n" names from the next open on (a changed ports.conf).
  void setPortMap(PortMap map) { map_ = std::move(map); }

private:
  Status openDevice();
  // Stops watching the device and closes it; the port state stays.
  void releaseDevice();
  void closeDevice();
  // The device went away while open: releases it, reports it once and tries
  // to open the same mapped path again every ReconnectIntervalMs.
  void deviceLost();
  // One attempt to reopen a lost device with the same settings, when the
  // same device is back at the path; reports DeviceFound when it succeeds.
  void tryReconnect();
  // Another device sits at the lost device's path: reported once per device.
  void refuseOtherDevice(const DeviceIdentity& other);
  Status applyLineSettings(const PortConfig& config, FlowControl flow);
  // Writes `base` changed by applyPortConfig; on failure `base` is restored.
  Status setLineFormat(const struct termios& base, const PortConfig& config, FlowControl flow);
  Status applyModemLine(int bit, bool on);
  // Reads the modem lines and error counters of the just opened device, and
  // whether its driver reports them at all.
  void watchLineState();
  Status writePending();
  void readAvailable();
  // Decodes the bytes of one read and raises its reception event.
  void decodeReceived(const char* bytes, std::size_t count);
  void pollLineState();
  void raise(CommEvent event);
  // Reports the queued events in order, unless an event is being reported
  // already (the outer call then reports them).
  void dispatchEvents();
  QString deviceName() const;
  Status notUsable() const;

  PortMap map_;
  int commPort_ = 1;
  PortConfig config_;
  FlowControl handshaking_ = FlowControl::None;
  int rThreshold_ = 0;
  int inputLen_ = 0;
  int inBufferSize_ = 1024;
  InputMode inputMode_ = InputMode::Text;
  bool rtsEnable_ = false;
  bool dtrEnable_ = false;

  bool open_ = false;
  bool lost_ = false;
  std::uint32_t losses_ = 0;
  // Held from the open to the close, through a lost device's absence.
  UucpLock lock_;
  int fd_ = -1;
  bool pseudoTerminal_ = false;
  // Changes at every open and close, so that work begun for one session of
  // the device stops when a handler closes or reopens the port.
  unsigned int session_ = 0;
  QString device_;
  DeviceIdentity opened_;                  // what the last successful openDevice opened
  DeviceIdentity identity_;                // the device of this open, kept through its absence
  std::optional<DeviceIdentity> refused_;  // the other device last reported
  QSocketNotifier* readNotifier_ = nullptr;
  QSocketNotifier* writeNotifier_ = nullptr;
  QTimer* pollTimer_ = nullptr;
  QTimer* reconnectTimer_ = nullptr;
  bool pollModemLines_ = false;
  bool pollErrorCounters_ = false;
  int modemBits_ = 0;
  ErrorCounters counters_;

  cp932::Decoder decoder_;
  cp932::CodeString received_;  // decoded, not yet taken by input()
  bool overflowReported_ = false;
  std::string pendingOutput_;  // accepted by output(), not yet written

  std::deque<CommEvent> events_;
  bool dispatching_ = false;
  CommEvent commEvent_{};  // 0 while no event is being reported
};

}  // namespace kestrune::serial
