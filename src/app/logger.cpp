#include "app/logger.h"

#include "serial/termios_port.h"

namespace kestrune::app {

Logger::Logger(const serial::Channels::PortFactory& portFactory, settings::SettingsFolder settingsFolder,
               MessageBoxes& messageBoxes, Clock& systemClock, sheet::SpreadsheetFactory spreadsheetFactory)
    : folder_(std::move(settingsFolder)),
      boxes_(messageBoxes),
      clock_(systemClock),
      channels_(portFactory),
      workbook_(setup_, std::move(spreadsheetFactory)) {}

void Logger::setPortMap(const serial::PortMap& map) {
  portMap_ = map;
  for (int i = 0; i < serial::ChannelCount; ++i)
    if (auto* device = qobject_cast<serial::TermiosPort*>(&port(i))) device->setPortMap(map);
}

void Logger::connectReception() {
  for (int i = 0; i < serial::ChannelCount; ++i) {
    serial::Port& p = port(i);
    QObject::connect(&p, &serial::Port::onComm, &p, [this, i] {
      reception_.MSComm1_OnComm(i, port(i), runFlag_.active(), errorLabel_, clock_,
                                script_.endCode[static_cast<std::size_t>(i)]);
    });
  }
}

}  // namespace kestrune::app
