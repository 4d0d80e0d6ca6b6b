// Reception and line events: moves received characters into the channel's
// receive buffer and keeps the texts of the last line-state event and the last
// error, which the run window's error label shows.
#pragma once

#include "core/clock.h"
#include "core/cp932.h"
#include "serial/channels.h"
#include "serial/port.h"

#include <QString>

#include <array>
#include <cstdint>

namespace kestrune::serial {

// The run window's error label, written while the run window is open.
class ErrorLabel {
public:
  virtual ~ErrorLabel() = default;
  virtual void setErrorText(const QString& text) = 0;
  // Good news in the same place (the device is back), shown apart from the
  // errors; by default like an error.
  virtual void setGoodNewsText(const QString& text) { setErrorText(text); }
  // A change worth a line in the communication log too (the device lost or
  // back); by default only the label shows it.
  virtual void logNotice(const QString& text) { static_cast<void>(text); }
};

inline const QString MsgDeviceLost = QStringLiteral("通信ポートが切断されました");
inline const QString MsgDeviceFound = QStringLiteral("通信ポートに再接続しました");
inline const QString MsgDeviceReplaced =
    QStringLiteral("通信ポートのデバイスパスに別の機器が現れました。その機器は使わず、元の機器を待ちます");

// A receive buffer holds at most this many characters.
constexpr std::size_t ReceiveBufferLimit = 4096;

// The text an event sets, and whether it is a line-state event (kept in
// lastEventMsg) or an error (kept in lastErrorMsg). Send and Receive have no
// text; a value outside the enumeration is an undefined event.
struct EventText {
  bool lineState = false;
  QString text;
};
EventText eventText(CommEvent event);

// What reception had to drop on a channel: whole lines, and their bytes (a
// double-byte character counts two).
struct DroppedCount {
  std::uint64_t lines = 0;
  std::uint64_t bytes = 0;
  friend bool operator==(const DroppedCount&, const DroppedCount&) = default;
};

class Reception {
public:
  // Empties all eight receive buffers.
  void clearBuffers();

  // Handles one OnComm of `channel`: reads CommEvent and, for a reception,
  // Input (always, so the characters leave the port). Characters are kept
  // only while a run is active and the buffer holds fewer than 4096. After
  // every event, while no line-state event has ever occurred and an error
  // has, `label` (null when the run window is closed) gets the time of day
  // and the last error.
  //
  // The device lost, another device at its path and the device back are
  // announced once each, with the time, on the label (the return as good
  // news, the others as errors) and in the log. They are states of the line,
  // not errors of its traffic: none becomes the last error, so later events
  // do not announce them again.
  //
  // Lines are kept whole. A buffer that fills up without a line end
  // (`endCode`, the script's end code) holds the start of a line too long to
  // ever be taken; a character that finds the buffer full cuts the line it
  // belongs to. Either way that line is dropped, the rest of it up to its
  // line end is dropped as it arrives, the reason becomes the last error
  // (shown even after a line-state event), the line and its bytes are
  // counted (dropped()), and reception goes on.
  void MSComm1_OnComm(int channel, Port& port, bool runActive, ErrorLabel* label, Clock& clock,
                      cp932::Code endCode = u'\r');

  // Everything dropped on `channel` since this object was made; never reset,
  // so a reader keeps its own earlier count to see what is new.
  DroppedCount dropped(int channel) const { return dropped_.at(static_cast<std::size_t>(channel)); }

  std::array<cp932::CodeString, ChannelCount> recvBuffer;
  QString lastEventMsg;
  QString lastErrorMsg;

private:
  void receive(std::size_t channel, cp932::Code c, cp932::Code endCode);
  void dropLine(std::size_t channel, cp932::Code c, cp932::Code endCode, const QString& reason);
  void showLastError(ErrorLabel* label, Clock& clock, bool always);
  static void announceDevice(CommEvent event, ErrorLabel* label, Clock& clock);

  // Per channel: the rest of an over-long line is being dropped.
  std::array<bool, ChannelCount> droppingLine_{};
  std::array<DroppedCount, ChannelCount> dropped_{};
  // This event's message is shown even after a line-state event.
  bool showAlways_ = false;
};

inline const QString MsgLineTooLong = QStringLiteral("長すぎる受信行（4096文字以上）を捨てました。");
inline const QString MsgBufferFull = QStringLiteral("受信ﾊﾞｯﾌｧが満杯のため受信行を捨てました。");

}  // namespace kestrune::serial
