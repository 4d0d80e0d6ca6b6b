#include "app/setup_port.h"

#include "settings/setup_file.h"

namespace kestrune::app {

serial::FlowControl portFlowControl(settings::FlowControl flow) {
  switch (flow) {
    case settings::FlowControl::None:
      return serial::FlowControl::None;
    case settings::FlowControl::XonXoff:
      return serial::FlowControl::XonXoff;
    case settings::FlowControl::RtsCts:
      return serial::FlowControl::RtsCts;
    case settings::FlowControl::RtsCtsXonXoff:
      return serial::FlowControl::RtsCtsXonXoff;
  }
  return serial::FlowControl::None;
}

settings::FlowControl slotFlowControl(serial::FlowControl flow) {
  switch (flow) {
    case serial::FlowControl::None:
      return settings::FlowControl::None;
    case serial::FlowControl::XonXoff:
      return settings::FlowControl::XonXoff;
    case serial::FlowControl::RtsCts:
      return settings::FlowControl::RtsCts;
    case serial::FlowControl::RtsCtsXonXoff:
      return settings::FlowControl::RtsCtsXonXoff;
  }
  return settings::FlowControl::None;
}

Status loadSetupAndPort(settings::SetupRecord& record, serial::Port& port, const QString& path) {
  const Result<settings::SetupLoad> loaded = settings::loadSetup(record, path);
  if (!loaded) return loaded.error();
  if (*loaded == settings::SetupLoad::Missing) return {};
  // A stored value outside 0 to 3 names no flow control and is refused as
  // the port refuses its own values, before it reaches the port.
  const std::optional<settings::FlowControl> flow = record.handshaking(0);
  const bool applied = port.setCommPort(record.commPort[0]) &&
                       port.setSettings(QString::fromLatin1(record.commSettings[0])) && flow &&
                       port.setHandshaking(portFlowControl(*flow));
  if (!applied) return fail(settings::SetupError::Unreadable, settings::MsgLoadFailed);
  return {};
}

Status saveSetupAndPort(settings::SetupRecord& record, const serial::Port& port, const QString& path) {
  record.commPort[0] = static_cast<std::int16_t>(port.commPort());
  record.commSettings[0] = port.settings().toLatin1();
  record.setHandshaking(0, slotFlowControl(port.handshaking()));
  return settings::saveSetup(record, path);
}

}  // namespace kestrune::app
