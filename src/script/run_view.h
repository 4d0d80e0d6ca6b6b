// What the interpreter acts on besides its channel: the run window's message
// label, its Next button and the communication log, and the row being
// acquired. The acquisition session provides it; tests provide a recording one.
#pragma once

#include "sheet/spreadsheet_app.h"

#include <QString>

#include <cstdint>
#include <vector>

namespace kestrune::script {

// The channel of a communication log line that concerns no single channel.
constexpr int NoChannel = -1;

class RunView {
public:
  virtual ~RunView() = default;
  // LabelMess.
  virtual void setMessage(const QString& text) = 0;
  // Makes Next visible and gives it the focus (a PAU step waits).
  virtual void showNextButton() = 0;
  // Appends one line to the communication log: what went to or came from
  // `channel` (0-based), or a notice of the run's own (NoChannel).
  virtual void termAppend(const QString& line, int channel) = 0;
  // The number the row being acquired carries (when numbering is on).
  virtual std::int32_t acquisitionNumber() const = 0;
  // SET: `value` goes into the row being acquired at `offset` from its first column.
  virtual void writeValue(std::int16_t offset, const sheet::CellValue& value) = 0;
  // An acquisition has ended with these cells in its row (the number, the
  // stamp and the fields, as written; empty when none came). Every value has
  // been written by then.
  virtual void rowCompleted(const std::vector<sheet::CellValue>& cells) = 0;
  // The script has run to its end; the run is no longer active.
  virtual void scriptFinished() = 0;
};

}  // namespace kestrune::script
