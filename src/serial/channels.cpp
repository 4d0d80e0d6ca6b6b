#include "serial/channels.h"

namespace kestrune::serial {

Channels::Channels(const PortFactory& factory) {
  for (int i = 0; i < ChannelCount; ++i) ports_[static_cast<std::size_t>(i)] = factory(i);
}

bool openPort(Port& port, MessageBoxes& boxes) {
  // Each step runs whatever the previous one reported: only the final
  // PortOpen reading decides. The port's reason (the device path, not found,
  // in use and by whom, no permission) goes under the message.
  Status opened;
  if (!port.portOpen()) opened = port.setPortOpen(true);
  if (!port.portOpen()) {
    boxes.show(MsgPortOpenFailed, MessageIcon::None, opened.description());
    return false;
  }
  static_cast<void>(port.setRThreshold(ReceiveThreshold));
  static_cast<void>(port.setInBufferSize(ReceiveBufferSize));
  static_cast<void>(port.setInputLen(ReceiveInputLen));
  static_cast<void>(port.setInBufferCount(0));
  static_cast<void>(port.setInputMode(ReceiveInputMode));
  static_cast<void>(port.setRTSEnable(true));
  static_cast<void>(port.setDTREnable(true));
  return true;
}

void closePort(Port& port) {
  if (port.portOpen()) static_cast<void>(port.setPortOpen(false));
}

}  // namespace kestrune::serial
