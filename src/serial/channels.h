// The channel objects and the two channel operations: opening a channel's port
// with the fixed reception parameters, and closing it.
#pragma once

#include "core/result.h"
#include "serial/port.h"

#include <array>
#include <functional>
#include <memory>

namespace kestrune::serial {

// Every per-channel table has ChannelCount entries; a run opens the channels
// its script names (script::channelsInUse), channel 0 always.
constexpr int ChannelCount = 8;

// Fixed reception parameters written after every successful open: a
// reception event for every read that brought a character, and Input taking
// all that waits, so that a channel gets what the port read in one piece.
constexpr int ReceiveThreshold = 1;
constexpr int ReceiveBufferSize = 4096;
constexpr int ReceiveInputLen = 0;
constexpr InputMode ReceiveInputMode = InputMode::Text;

inline const QString MsgPortOpenFailed = QStringLiteral("通信ポートがオープンできません！");

// Owns the eight channel objects.
class Channels {
public:
  using PortFactory = std::function<std::unique_ptr<Port>(int channel)>;
  explicit Channels(const PortFactory& factory);

  Port& port(int channel) { return *ports_.at(static_cast<std::size_t>(channel)); }
  const Port& port(int channel) const { return *ports_.at(static_cast<std::size_t>(channel)); }

private:
  std::array<std::unique_ptr<Port>, ChannelCount> ports_;
};

// Opens the port unless it is open already, then writes the reception
// parameters. Failures of single steps are ignored; the result is judged by
// reading PortOpen back. A port that stays closed fails with
// "通信ポートがオープンできません！", the port's reason as the detail.
Status openPort(Port& port);

// Closes the port if it is open; failures are ignored.
void closePort(Port& port);

}  // namespace kestrune::serial
