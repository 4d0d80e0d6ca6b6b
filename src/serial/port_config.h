// Line settings as data: parsing the settings text "speed,parity,data,stop"
// and forming it again. Pure functions, no device.
#pragma once

#include "core/result.h"

#include <QString>

#include <span>

namespace kestrune::serial {

enum class Parity { None, Even, Odd, Mark, Space };
enum class StopBits { One, OnePointFive, Two };
// Flow control; the numbers are the codes of the Handshaking property, which
// messages and the serial panel's list positions use.
enum class FlowControl { None = 0, XonXoff = 1, RtsCts = 2, RtsCtsXonXoff = 3 };

// Why a line setting was refused, or ports.conf not written.
enum class LineError { BadFormat = 1, BadSpeed, BadParity, BadDataBits, BadStopBits, BadFlowControl, PortMapNotSaved };
inline ErrorDomain errorDomainOf(LineError) { return ErrorDomain::Line; }

struct PortConfig {
  int baud = 9600;
  Parity parity = Parity::None;
  int dataBits = 8;
  StopBits stopBits = StopBits::One;
  friend bool operator==(const PortConfig&, const PortConfig&) = default;
};

// The speeds the port layer accepts (those the Linux serial drivers name).
std::span<const int> supportedBaudRates();

// Parses "9600,n,8,1": speed from supportedBaudRates(), parity letter
// n/e/o/m/s in either case, data bits 5 to 8, stop bits 1, 1.5 or 2. Blanks
// around a field are allowed. Anything else fails with a description.
Result<PortConfig> parseSettings(const QString& text);

// The settings text of a configuration, parity in lower case: "19200,e,7,1.5".
QString settingsText(const PortConfig& config);

// The flow control of Handshaking code `code`; any code but 0 to 3 fails with
// a description.
Result<FlowControl> flowControlFromCode(int code);
// The Handshaking code of `flow` (0 to 3).
constexpr int handshakingCode(FlowControl flow) { return static_cast<int>(flow); }

}  // namespace kestrune::serial
