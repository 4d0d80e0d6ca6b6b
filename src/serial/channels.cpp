#include "serial/channels.h"

#include "core/trace.h"

namespace kestrune::serial {

Channels::Channels(const PortFactory& factory) {
  for (int i = 0; i < ChannelCount; ++i) ports_[static_cast<std::size_t>(i)] = factory(i);
}

Status openPort(Port& port) {
  // Each step runs whatever the previous one reported: only the final
  // PortOpen reading decides. The port's reason (the device path, not found,
  // in use and by whom, no permission) goes under the message.
  Status opened;
  if (!port.portOpen()) opened = port.setPortOpen(true);
  if (!port.portOpen()) {
    Error error = opened.ok() ? fail(PortError::NotOpen, MsgPortOpenFailed) : opened.error();
    error.detail = opened.ok() ? QString() : error.description;
    error.description = MsgPortOpenFailed;
    return error;
  }
  // A parameter the port refuses leaves the open port usable: traced, not fatal.
  const QString where = QStringLiteral("openPort");
  traceFailure(where, port.setRThreshold(ReceiveThreshold));
  traceFailure(where, port.setInBufferSize(ReceiveBufferSize));
  traceFailure(where, port.setInputLen(ReceiveInputLen));
  traceFailure(where, port.setInBufferCount(0));
  traceFailure(where, port.setInputMode(ReceiveInputMode));
  traceFailure(where, port.setRTSEnable(true));
  traceFailure(where, port.setDTREnable(true));
  return {};
}

void closePort(Port& port) {
  if (port.portOpen()) traceFailure(QStringLiteral("closePort"), port.setPortOpen(false));
}

}  // namespace kestrune::serial
