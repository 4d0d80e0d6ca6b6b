// The settings as typed values: the acquisition conditions and the serial
// line, with the one set of rules (ranges, rounding, the choices the panels
// offer) that the conditions panel, the serial panel and `kestrune config`
// share. setup.dat's forms of these values live in setup_record.h only.
#pragma once

#include "core/result.h"
#include "core/run_cursor.h"
#include "serial/channels.h"
#include "serial/port.h"
#include "serial/port_config.h"

#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <vector>

namespace kestrune::settings {

// What stands before the values of each acquired row.
enum class StampMode { None, Date, Time, DateAndTime };

// How setup.dat (and the conditions panel's option index) numbers a stamp
// mode: 0 none, 1 date, 2 time, 3 both.
std::int16_t stampModeCode(StampMode mode);
// The mode of option index or code `code`; any other value is none.
StampMode stampModeOf(std::int16_t code);

struct Conditions {
  std::int32_t acquireTimeMs = 0;  // the time limit of a run
  std::int32_t rows = 0;           // rows after which a run ends
  // Start at the cell of the cursor, or at the sheet's current cell.
  bool startAtCell = false;
  // The start cell (column letters and row) and the next acquisition number.
  RunCursor cursor;
  bool numbering = false;
  StampMode stamp = StampMode::None;
  bool scriptFromFile = false;
  friend bool operator==(const Conditions&, const Conditions&) = default;
};

// The port number of a channel that has no port: what an unused slot of
// setup.dat holds. Channel 0 always has a port; channels 1 to 7 start without
// one and are used only once a port is given to them.
constexpr int NoPort = 0;

// The serial line of one channel.
struct LineSettings {
  int port = 1;  // "Com n", or NoPort
  serial::PortConfig config;
  serial::FlowControl flow = serial::FlowControl::None;
  friend bool operator==(const LineSettings&, const LineSettings&) = default;
};

// Every channel's line: channel 0 on Com1 at the port's defaults, the others
// without a port.
using Lines = std::array<LineSettings, serial::ChannelCount>;
Lines defaultLines();

struct Settings {
  Conditions conditions;
  Lines lines = defaultLines();  // by channel, 0 to 7 (shown as CH1 to CH8)
  friend bool operator==(const Settings&, const Settings&) = default;
};

// The values with a rule of their own.
enum class Field { Minutes, Rows, StartCell, AcquisitionNo, Port, Speed, Parity, DataBits, StopBits };

constexpr std::int32_t MsPerMinute = 60000;

// A whole-number range a field's value keeps to.
struct Range {
  std::int32_t low;
  std::int32_t high;
  std::int32_t clamp(std::int32_t v) const { return v < low ? low : v > high ? high : v; }
  bool holds(double v) const { return v >= low && v <= high; }
};
// Minutes, rows, start row, acquisition number and port number.
Range rangeOf(Field field);

// A value outside its rule: which, and what the field accepts (Japanese).
struct Violation {
  Field field;
  QString accepts;
  friend bool operator==(const Violation&, const Violation&) = default;
};
QString acceptedValues(Field field);

// Every value of `conditions` outside its rule; empty when all keep to them.
std::vector<Violation> validate(const Conditions& conditions);
// Every line value of `channel` outside the choices the serial panel offers;
// NoPort is a port only channels other than 0 may have.
std::vector<Violation> validate(const LineSettings& line, int channel = 0);

// The conditions as the panel shows them when it opens: each number brought
// into its range, a start column that names no column "A".
Conditions corrected(Conditions conditions);

// The start column rule of an opening panel: one letter A to Z or two letters
// AA to IA (compared by character code) stay, anything else becomes "A";
// longer texts are cut to two characters.
QString correctedStartColumn(const QString& column);
// The rule a typed start column follows: blanks trimmed, upper case, below
// "A" becomes "A", one letter past "Z" "Z", more past "IA" "IA", cut to two.
QString normalisedStartColumnInput(const QString& text);
// The text a number box keeps: what is typed read as a whole number and
// brought into the field's range.
QString clampedBoxText(Field field, const QString& typed);

// The serial panel's list entries, in list order. Port list positions are the
// port numbers less one, the flow control list's the Handshaking codes; a
// parity entry stands for its first letter.
QStringList portChoices();
QStringList speedChoices();
QStringList dataBitsChoices();
QStringList parityChoices();
QStringList stopBitsChoices();
QStringList flowChoices();

// A slot of setup.dat as stored: port number, settings text, flow code.
struct StoredLine {
  std::int16_t port = 0;
  QString settings;
  std::int16_t flowCode = 0;
};
// Takes the stored values of `channel`'s slot into `line` in the port's order
// (number, settings, flow control) under the port's own rules, stopping at the
// first one the port would refuse: that one and the rest keep their values in
// `line`. For channels other than 0, port 0 reads as NoPort, and an unused slot
// (no port, no settings text) leaves the rest of `line` as it is.
Status readStoredLine(const StoredLine& stored, LineSettings& line, int channel = 0);

// Gives `port` the line `wanted`: port number (an open port closes for the
// change and opens again), settings, flow control, stopping at the first the
// port refuses. `applied` takes each value the port took.
Status applyToPort(serial::Port& port, const LineSettings& wanted, LineSettings& applied);

}  // namespace kestrune::settings
