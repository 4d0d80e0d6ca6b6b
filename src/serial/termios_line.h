// The serial line's settings and states in termios terms, as pure functions:
// a PortConfig and flow control to termios flags, and the changes of the
// modem lines and of the driver's error counters to the events they raise.
// TermiosPort applies them in termios_line.cpp.
#pragma once

#include "serial/port.h"
#include "serial/port_config.h"

#include <cstdint>
#include <vector>

struct termios;

namespace kestrune::serial {

// Sets the line format of `config` and the flow control `flow` in `t`: speed,
// data bits, parity (mark and space through CMSPAR), stop bits (1.5 is applied
// as CSTOPB, which a UART sends as 1.5 stop bits with 5 data bits and as 2
// otherwise), CRTSCTS, IXON/IXOFF and the XON/XOFF characters. Every other
// flag is left as it was; an unknown speed leaves the speed unchanged
// (parseSettings only yields speeds the driver names).
void applyPortConfig(const PortConfig& config, FlowControl flow, struct termios& t);

// Events raised when the modem-status bits (TIOCM_* as TIOCMGET reports them)
// change from `before` to `after`: CTS, DSR, CD, then ring, once for each line
// whose state changed.
std::vector<CommEvent> modemLineEvents(int before, int after);

// The error counters of the driver (the part of TIOCGICOUNT we report). They
// only ever grow, wrapping around at 2^32.
struct ErrorCounters {
  std::uint32_t breaks = 0;
  std::uint32_t frame = 0;
  std::uint32_t overrun = 0;
  std::uint32_t bufferOverrun = 0;
  std::uint32_t parity = 0;
  friend bool operator==(const ErrorCounters&, const ErrorCounters&) = default;
};

// Events raised for the counters that grew from `before` to `after`, once per
// counter however much it grew: break, framing, overrun, buffer overflow, parity.
std::vector<CommEvent> errorCounterEvents(const ErrorCounters& before, const ErrorCounters& after);

}  // namespace kestrune::serial
