// One serial channel object: the operations the logger uses on a serial line,
// modelled on a Windows serial communication control. Implementations: the
// termios port (termios_port.h) and the test fake (tests/fakes/fake_port.h).
#pragma once

#include "core/cp932.h"
#include "core/result.h"

#include <QObject>
#include <QString>

#include <cstdint>

namespace kestrune::serial {

// Codes read from CommEvent while OnComm is raised.
enum CommEventCode : int {
  ComEvSend = 1,
  ComEvReceive = 2,
  ComEvCTS = 3,
  ComEvDSR = 4,
  ComEvCD = 5,
  ComEvRing = 6,
  ComEvEOF = 7,
  ComEventBreak = 1001,
  ComEventCTSTO = 1002,
  ComEventDSRTO = 1003,
  ComEventFrame = 1004,
  ComEventOverrun = 1006,
  ComEventCDTO = 1007,
  ComEventRxOver = 1008,
  ComEventRxParity = 1009,
  ComEventTxFull = 1010,
  ComEventDCB = 1011,
  // Our own: the device went away while open (a USB adapter pulled out),
  // and the same device path could be opened again afterwards.
  ComEventDeviceLost = 1012,
  ComEventDeviceFound = 1013,
};

// Flow control codes of Handshaking.
enum Handshake : int { HandshakeNone = 0, HandshakeXonXoff = 1, HandshakeRts = 2, HandshakeRtsXonXoff = 3 };

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

  // Handshaking: 0 none, 1 XON/XOFF, 2 RTS/CTS, 3 RTS/CTS and XON/XOFF.
  virtual int handshaking() const = 0;
  virtual Status setHandshaking(int mode) = 0;

  // Reception parameters.
  virtual Status setRThreshold(int characters) = 0;
  virtual Status setInBufferSize(int characters) = 0;
  virtual Status setInputLen(int characters) = 0;
  // Only 0 may be written: discards everything received and not yet read.
  virtual Status setInBufferCount(int count) = 0;
  virtual int inBufferCount() const = 0;
  virtual Status setInputMode(int mode) = 0;
  virtual Status setRTSEnable(bool enable) = 0;
  virtual Status setDTREnable(bool enable) = 0;

  // Input: removes and returns up to InputLen received characters (all when
  // InputLen is 0); empty when nothing waits or the port is closed.
  virtual cp932::CodeString input() = 0;
  // CommEvent: the code of the event being reported by onComm.
  virtual int commEvent() const = 0;

  // Output: queues characters (one or two bytes each) or a single byte.
  virtual Status output(const cp932::CodeString& text) = 0;
  virtual Status outputByte(std::uint8_t byte) = 0;
  // OutBufferCount: bytes not yet sent; only 0 may be written, discarding them.
  virtual int outBufferCount() const = 0;
  virtual Status setOutBufferCount(int count) = 0;

  // Break: holds or releases a break condition on the transmit line.
  virtual Status setBreak(bool on) = 0;

signals:
  // OnComm: raised on the thread that owns the port, once per event; read
  // commEvent() (and input() for receptions) inside the handler.
  void onComm();
};

}  // namespace kestrune::serial
