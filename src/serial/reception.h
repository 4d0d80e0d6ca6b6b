// Reception and line events, per channel: hands what the port read to the
// channel's line assembler and keeps the texts of the last line-state event
// and the last error, which the run window's error label shows.
#pragma once

#include "core/clock.h"
#include "core/cp932.h"
#include "serial/channels.h"
#include "serial/line_assembler.h"
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

// The text an event sets, and whether it is a line-state event (kept in
// lastEventMsg) or an error (kept in lastErrorMsg). Send and Receive have no
// text; a value outside the enumeration is an undefined event.
struct EventText {
  bool lineState = false;
  QString text;
};
EventText eventText(CommEvent event);

class Reception {
public:
  // Empties the lines of all eight channels.
  void clearBuffers();

  // Handles one event of `channel`'s port: reads CommEvent and, for a
  // reception, Input (always, so the characters leave the port), whose chunk
  // goes to the channel's lines. Characters are kept only while a run is
  // active (see LineAssembler::append; `endCode` is the script's end code).
  // After every event, while no line-state event has ever occurred and an
  // error has, `label` (null when the run window is closed) gets the time of
  // day and the last error.
  //
  // The device lost, another device at its path and the device back are
  // announced once each, with the time, on the label (the return as good
  // news, the others as errors) and in the log. They are states of the line,
  // not errors of its traffic: none becomes the last error, so later events
  // do not announce them again.
  //
  // A line the channel could not hold whole is dropped and counted by its
  // assembler; the reason becomes the last error and is shown even after a
  // line-state event, and reception goes on.
  void onPortEvent(int channel, Port& port, bool runActive, ErrorLabel* label, Clock& clock,
                   cp932::Code endCode = u'\r');

  // The received lines of `channel`.
  LineAssembler& lines(int channel) { return lines_.at(static_cast<std::size_t>(channel)); }
  const LineAssembler& lines(int channel) const { return lines_.at(static_cast<std::size_t>(channel)); }

  // Everything dropped on `channel` since this object was made; never reset,
  // so a reader keeps its own earlier count to see what is new.
  DroppedCount dropped(int channel) const { return lines(channel).dropped(); }

  QString lastEventMsg;
  QString lastErrorMsg;

private:
  void showLastError(ErrorLabel* label, Clock& clock, bool always);
  static void announceDevice(CommEvent event, ErrorLabel* label, Clock& clock);

  std::array<LineAssembler, ChannelCount> lines_;
};

inline const QString MsgLineTooLong = QStringLiteral("長すぎる受信行（4096文字以上）を捨てました。");
inline const QString MsgBufferFull = QStringLiteral("受信ﾊﾞｯﾌｧが満杯のため受信行を捨てました。");

}  // namespace kestrune::serial
