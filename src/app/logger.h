// The logger's shared state: one object owns the settings record, the channel
// objects, the receive buffers, the run flag and the workbook connection.
// Windows and logic classes hold a reference to it.
#pragma once

#include "core/clock.h"
#include "core/message_boxes.h"
#include "script/script.h"
#include "serial/channels.h"
#include "serial/port_map.h"
#include "serial/reception.h"
#include "settings/settings_folder.h"
#include "settings/setup_record.h"
#include "sheet/workbook_connection.h"

#include <QString>

#include <memory>

namespace kestrune::app {

class Logger {
public:
  Logger(const serial::Channels::PortFactory& portFactory, settings::SettingsFolder folder, MessageBoxes& boxes,
         Clock& clock, sheet::SpreadsheetFactory spreadsheetFactory = {});

  serial::Port& port(int channel) { return channels.port(channel); }

  // Routes each channel's OnComm to the reception handler.
  void connectReception();
  // A new port map (the serial panel saved ports.conf): every channel opens
  // its device through it from the next Start on.
  void setPortMap(const serial::PortMap& map);
  // Where the run window shows the last error; null while it is closed.
  void setErrorLabel(serial::ErrorLabel* label) { errorLabel = label; }

  settings::SettingsFolder folder;
  // Which device each "Com n" names (ports.conf).
  serial::PortMap portMap;
  MessageBoxes& boxes;
  Clock& clock;
  serial::Channels channels;
  serial::Reception reception;
  serial::ErrorLabel* errorLabel = nullptr;
  settings::SetupRecord setup;
  // The script and its settings, rebuilt at every Start.
  script::Script script;

  bool runActive = false;
  // The workbook path exactly as typed (not trimmed).
  QString xlsFilePath;
  // The spreadsheet application, the connection state and the cell cursor.
  sheet::WorkbookConnection workbook;
};

}  // namespace kestrune::app
