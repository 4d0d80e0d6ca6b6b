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

namespace kestrune::serial {

// The run window's error label, written while the run window is open.
class ErrorLabel {
public:
  virtual ~ErrorLabel() = default;
  virtual void setErrorText(const QString& text) = 0;
};

// A receive buffer holds at most this many characters.
constexpr std::size_t ReceiveBufferLimit = 4096;

// The text an event code sets, and whether it is a line-state event (kept in
// lastEventMsg) or an error (kept in lastErrorMsg). Codes 1 and 2 have no text.
struct EventText {
  bool lineState = false;
  QString text;
};
EventText eventText(int code);

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
  void MSComm1_OnComm(int channel, Port& port, bool runActive, ErrorLabel* label, Clock& clock);

  std::array<cp932::CodeString, ChannelCount> recvBuffer;
  QString lastEventMsg;
  QString lastErrorMsg;
};

}  // namespace kestrune::serial
