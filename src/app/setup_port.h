// setup.dat and channel 0's port: the record's slot 0 holds the port number,
// the settings text and the flow control of channel 0, the only channel in use.
// Loading applies them to the port; saving takes them from the port first.
#pragma once

#include "core/message_boxes.h"
#include "serial/port.h"
#include "settings/setup_record.h"

#include <QString>

namespace kestrune::app {

// The flow control of a record slot as the port's, and back. The two types
// name the same four modes; each library keeps its own.
serial::FlowControl portFlowControl(settings::FlowControl flow);
settings::FlowControl slotFlowControl(serial::FlowControl flow);

// Reads `path` into `record` and applies slot 0 to `port`: port number,
// settings, flow control, in that order, stopping at the first value the port
// refuses or a flow control the file does not name. A missing file changes
// nothing. A file that cannot be read, a malformed record or a refused value
// fails with "設定条件の読込に失敗しました"; what was read or applied before
// keeps its value.
Status loadSetupAndPort(settings::SetupRecord& record, serial::Port& port, const QString& path);

// Copies `port`'s number, settings and flow control into slot 0, then writes
// the record to `path` (settings::saveSetup).
Status saveSetupAndPort(settings::SetupRecord& record, const serial::Port& port, const QString& path);

}  // namespace kestrune::app
