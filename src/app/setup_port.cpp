#include "app/setup_port.h"

#include "settings/setup_file.h"

namespace kestrune::app {

bool loadSetupAndPort(settings::SetupRecord& record, serial::Port& port, const QString& path, MessageBoxes& boxes) {
  switch (settings::loadSetup(record, path, boxes)) {
    case settings::SetupLoad::Missing:
      return true;
    case settings::SetupLoad::Failed:
      return false;  // shown by loadSetup
    case settings::SetupLoad::Loaded:
      break;
  }
  const bool applied = port.setCommPort(record.commPort[0]) &&
                       port.setSettings(QString::fromLatin1(record.commSettings[0])) &&
                       port.setHandshaking(record.handshaking[0]);
  if (!applied) {
    boxes.show(settings::MsgLoadFailed);
    return false;
  }
  return true;
}

bool saveSetupAndPort(settings::SetupRecord& record, const serial::Port& port, const QString& path,
                      MessageBoxes& boxes) {
  record.commPort[0] = static_cast<std::int16_t>(port.commPort());
  record.commSettings[0] = port.settings().toLatin1();
  record.handshaking[0] = static_cast<std::int16_t>(port.handshaking());
  return settings::saveSetup(record, path, boxes);
}

}  // namespace kestrune::app
