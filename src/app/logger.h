// The logger's shared state: one object owns the settings record, the channel
// objects, the receive buffers, the run flag and the workbook connection.
// Windows and logic classes hold a reference to it.
#pragma once

#include "core/clock.h"
#include "core/message_boxes.h"
#include "script/interpreter.h"
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

  serial::Port& port(int channel) { return channels_.port(channel); }

  // Routes each channel's OnComm to the reception handler.
  void connectReception();
  // A new port map (the serial panel saved ports.conf): every channel opens
  // its device through it from the next Start on.
  void setPortMap(const serial::PortMap& map);
  // Where the run window shows the last error while it is open. Only the one
  // that set itself clears it.
  void setErrorLabel(serial::ErrorLabel* label) { errorLabel_ = label; }
  void clearErrorLabel(const serial::ErrorLabel* label) {
    if (errorLabel_ == label) errorLabel_ = nullptr;
  }

  const settings::SettingsFolder& folder() const { return folder_; }
  // Which device each "Com n" names (ports.conf).
  const serial::PortMap& portMap() const { return portMap_; }
  MessageBoxes& boxes() { return boxes_; }
  Clock& clock() { return clock_; }
  serial::Channels& channels() { return channels_; }
  serial::Reception& reception() { return reception_; }
  settings::SetupRecord& setup() { return setup_; }
  // The script and its settings, rebuilt at every Start.
  script::Script& script() { return script_; }
  // The spreadsheet application, the connection state and the cell cursor.
  sheet::WorkbookConnection& workbook() { return workbook_; }

  // Whether a run is going on; Start and the run's end change it.
  bool runActive() const { return runFlag_.active(); }
  script::RunFlag& runFlag() { return runFlag_; }

  // The workbook path exactly as typed (not trimmed).
  const QString& xlsFilePath() const { return xlsFilePath_; }
  void setXlsFilePath(const QString& path) { xlsFilePath_ = path; }

private:
  settings::SettingsFolder folder_;
  serial::PortMap portMap_;
  MessageBoxes& boxes_;
  Clock& clock_;
  serial::Channels channels_;
  serial::Reception reception_;
  serial::ErrorLabel* errorLabel_ = nullptr;
  settings::SetupRecord setup_;
  script::Script script_;
  script::RunFlag runFlag_;
  QString xlsFilePath_;
  sheet::WorkbookConnection workbook_;
};

}  // namespace kestrune::app
