// The serial settings panel without widgets: fills the lists from channel 0's
// line settings, offers the serial devices present for the chosen "Com n",
// and on OK saves the devices chosen into ports.conf and hands the selection
// to the holder of the line settings.
#pragma once

#include "core/result.h"
#include "serial/device_list.h"
#include "serial/port_map.h"
#include "settings/setup_record.h"

#include <QObject>
#include <QStringList>

#include <array>
#include <map>
#include <vector>

namespace kestrune::serial {

enum class RsList { Port, Speed, DataBits, Parity, StopBits, Flow };

// The entries a list starts with, in list order (settings_model.h).
QStringList panelListItems(RsList list);

using settings::LineHolder;

// One entry of the device chooser.
struct DeviceChoice {
  QString caption;
  // The device to name in ports.conf; empty for no entry, the default device.
  QString path;
  friend bool operator==(const DeviceChoice&, const DeviceChoice&) = default;
};

class SerialPanelView {
public:
  virtual ~SerialPanelView() = default;
  virtual void setListItems(RsList list, const QStringList& items) = 0;
  // -1 when nothing is selected.
  virtual int selectedIndex(RsList list) const = 0;
  virtual void selectIndex(RsList list, int index) = 0;
  virtual void setDevicePath(const QString& path) = 0;
  // The device chooser: its entries, with `selected` chosen (-1 for none).
  virtual void setDeviceChoices(const std::vector<DeviceChoice>& choices, int selected) = 0;
  virtual int selectedDevice() const = 0;
};

class SerialPanel final : public QObject {
  Q_OBJECT
public:
  // `map` is the map as `file` holds it; `devices` lists what is plugged in.
  SerialPanel(LineHolder& line, PortMap map, PortMapFile file, DeviceSource& devices, SerialPanelView& view,
              QObject* parent = nullptr);

  // Fills the lists once and selects the current line settings. A value the
  // lists lack (mark or space parity, a speed or data bits from a hand-made
  // settings file) gets an entry of its own, so the panel shows the truth.
  void LoadPropertySettings();

  // The device path of the selected port, shown beside the list, and the
  // device chooser for that port.
  void cboPort_Click();
  // The device chosen becomes the selected port's device; ports.conf is
  // written at OK.
  void cboDevice_Click();
  // Lists the devices present again, keeping what is chosen.
  void refreshDevices();
  // While the panel is shown the device list follows devices coming and going.
  void setPanelVisible(bool visible);

  // Saves the devices chosen into ports.conf, then applies port number,
  // settings and flow control, stopping at the first stage that fails. A
  // failed save changes neither the file nor the port. Returns what failed
  // (the window shows it with a warning icon); success means the main panel
  // may return.
  Status CommandRsOk();
  // Cancel: forgets the devices chosen since the last OK; nothing is written.
  void CommandRsNg();

  const QStringList& items(RsList list) const { return lists_[static_cast<std::size_t>(list)]; }
  // The port map as ports.conf now holds it.
  const PortMap& portMap() const { return map_; }

signals:
  // ports.conf was written: the map every port should use from its next open.
  void portMapChanged(const kestrune::serial::PortMap& map);

private:
  QString selectedText(RsList list) const;
  // Selects the entry `text`, adding it first when the list lacks it.
  void selectText(RsList list, const QString& text, bool numericOrder);
  // 1 to 8 for the selected "Com n", 0 when none is selected.
  int selectedPort() const;
  // The ports.conf entry of `port` as chosen so far; empty for the default device.
  QString chosenEntry(int port) const;
  void showDeviceChoices();
  Status saveDeviceChoices();

  LineHolder& line_;
  PortMap map_;
  PortMapFile file_;
  DeviceSource& devices_;
  SerialPanelView& view_;
  std::array<QStringList, 6> lists_;
  std::vector<SerialDevice> present_;
  std::vector<DeviceChoice> choices_;
  int choiceShown_ = -1;
  // Devices chosen since the last OK, by port number; empty for the default.
  std::map<int, QString> chosen_;
};

}  // namespace kestrune::serial
