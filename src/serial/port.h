// One serial channel object: the operations the logger uses on a serial line,
// modelled on a Windows serial communication control. Implementations: the
// termios port (termios_port.h) and the test fake (tests/fakes/fake_port.h).
#pragma once

#include "core/cp932.h"
#include "core/result.h"
#include "serial/port_config.h"

#include <QObject>
#include <QString>

#include <cstdint>

namespace kestrune::serial {

// What OnComm reports, read from CommEvent inside the handler. The numbers are
// those of the communication control the port is modelled on. CommEvent reads
// 0, no event, while none is being reported.
enum class CommEvent {
  Send = 1,
  Receive = 2,
  Cts = 3,
  Dsr = 4,
  Cd = 5,
  Ring = 6,
  Eof = 7,
  Break = 1001,
  CtsTimeout = 1002,
  DsrTimeout = 1003,
  Frame = 1004,
  Overrun = 1006,
  CdTimeout = 1007,
  RxOver = 1008,
  RxParity = 1009,
  TxFull = 1010,
  Dcb = 1011,
  // Our own: the device went away while open (a USB adapter pulled out),
  // and the same device path could be opened again afterwards.
  DeviceLost = 1012,
  DeviceFound = 1013,
  // Our own: while the device is lost, another device sits at its path; it
  // is not opened.
  DeviceReplaced = 1014,
};

// How Input hands over received data. Both deliver the same character codes
// here; the property is kept because the program writes it.
enum class InputMode { Text = 0, Binary = 1 };

// Why a port operation failed, for callers that act on it (a missing or busy
// device is worth naming in the device chooser; a lost one is reopened).
enum class PortError {
  NotOpen = 1,
  DeviceLost,
  NoDevice,  // no such device, or the port map names none
  Busy,
  NoPermission,
  NotSerial,  // the path is not a terminal
  BadSetting,
  LineFailed,
  WriteFailed,
  BadPortNumber,  // not a Com number from 1 to 8
  PortIsOpen,     // the port number cannot change while the port is open
  BadValue,       // a reception parameter refuses the value
  MapUnreadable,  // ports.conf cannot be read, or is no plain file
  MapNotSaved,    // ports.conf could not be written
  BadDevicePath,  // a device path for ports.conf holds a control character
};
inline ErrorDomain errorDomainOf(PortError) { return ErrorDomain::Serial; }

class Port : public QObject {
  Q_OBJECT
public:
  using QObject::QObject;
  ~Port() override = default;

  // PortOpen: true while the device is open. Writing true opens the device
  // named by CommPort with the current Settings and Handshaking; it fails with
  // a description when there is no such device or it is busy.
  virtual bool portOpen() const = 0;
  virtual Status setPortOpen(bool open) = 0;

  // CommPort: the number n of "Com n" (1 to 8). Cannot change while open.
  virtual int commPort() const = 0;
  virtual Status setCommPort(int port) = 0;

  // Settings: "speed,parity,data,stop", e.g. "9600,n,8,1". Parity letters
  // n, e, o, m, s in either case; reading back gives lower case.
  virtual QString settings() const = 0;
  virtual Status setSettings(const QString& settings) = 0;

  // Handshaking: the flow control. A value outside the enumeration is refused.
  virtual FlowControl handshaking() const = 0;
  virtual Status setHandshaking(FlowControl flow) = 0;

  // Reception parameters. A read from the device raises one Receive event
  // when it leaves at least RThreshold characters waiting (none when 0): a
  // burst arrives as one chunk, not a character at a time.
  virtual Status setRThreshold(int characters) = 0;
  virtual Status setInBufferSize(int characters) = 0;
  virtual Status setInputLen(int characters) = 0;
  // Only 0 may be written: discards everything received and not yet read.
  virtual Status setInBufferCount(int count) = 0;
  virtual int inBufferCount() const = 0;
  virtual Status setInputMode(InputMode mode) = 0;
  virtual Status setRTSEnable(bool enable) = 0;
  virtual Status setDTREnable(bool enable) = 0;

  // Input: removes and returns up to InputLen received characters (all when
  // InputLen is 0); empty when nothing waits or the port is closed.
  virtual cp932::CodeString input() = 0;
  // CommEvent: the event being reported by onComm.
  virtual CommEvent commEvent() const = 0;

  // Output: queues characters (one or two bytes each) or a single byte.
  virtual Status output(const cp932::CodeString& text) = 0;
  virtual Status outputByte(std::uint8_t byte) = 0;
  // OutBufferCount: bytes not yet sent; only 0 may be written, discarding them.
  virtual int outBufferCount() const = 0;
  virtual Status setOutBufferCount(int count) = 0;

  // Break: holds or releases a break condition on the transmit line.
  virtual Status setBreak(bool on) = 0;

  // Our own, beside the control's operations. The device of an open port
  // went away (DeviceLost) and has not come back yet: nothing can be sent.
  virtual bool deviceAbsent() const { return false; }
  // How often the device went away while open, over the port's life. A
  // caller that notes it can tell later whether what it sent or awaited
  // meanwhile may have been lost, a loss and a return between two looks included.
  virtual std::uint32_t deviceLosses() const { return 0; }
  // What is worth a warning about the open device without refusing it
  // (another program has it open too); empty when nothing. May be slow: ask
  // once after opening.
  virtual QString openWarning() const { return {}; }

signals:
  // OnComm: raised on the thread that owns the port, once per event; read
  // commEvent() (and input() for receptions) inside the handler.
  void onComm();
};

}  // namespace kestrune::serial
