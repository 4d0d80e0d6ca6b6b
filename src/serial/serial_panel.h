// The serial settings panel without widgets: a channel selector (CH1 to CH8)
// and the lists of the chosen channel's line settings, the serial devices
// present for the chosen "Com n"; on OK it saves the devices chosen into
// ports.conf and hands every channel edited to the holder of the line
// settings.
#pragma once

#include "core/result.h"
#include "serial/device_list.h"
#include "serial/port_map.h"
#include "settings/setup_record.h"

#include <QObject>
#include <QStringList>

#include <array>
#include <map>
#include <optional>
#include <vector>

namespace kestrune::serial {

// The lists of one channel's line, then the channel selector.
enum class RsList { Port, Speed, DataBits, Parity, StopBits, Flow, Channel };
constexpr std::size_t LineListCount = 6;

// The entries a list starts with, in list order (settings_model.h). The port
// list of channels other than 0 ends with an entry for no port.
QStringList panelListItems(RsList list, int channel = 0);

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

  // Fills the lists once and selects channel 0's line settings. A value the
  // lists lack (mark or space parity, a speed or data bits from a hand-made
  // settings file) gets an entry of its own, so the panel shows the truth.
  void LoadPropertySettings();

  // The channel chosen in the selector is shown: what was edited for it since
  // the last OK, else its line settings. The edits of the channel left are kept.
  void cboChannel_Click();
  // The channel whose line the lists show (0 for CH1).
  int shownChannel() const { return channel_; }

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

  // Saves the devices chosen into ports.conf, then applies each channel shown
  // since the last OK in channel order: port number, settings and flow
  // control, stopping at the first stage that fails. Channel 0 is applied
  // whenever it was shown, as its port may be open; the others when they
  // changed. A failed save changes neither the file nor a port. Returns what
  // failed (the window shows it with a warning icon) and shows the channel it
  // failed on; success means the main panel may return.
  Status CommandRsOk();
  // Cancel: forgets every channel's edits and the devices chosen since the
  // last OK, and shows the channel's line settings again; nothing is written.
  void CommandRsNg();

  const QStringList& items(RsList list) const { return lists_[static_cast<std::size_t>(list)]; }
  // The port map as ports.conf now holds it.
  const PortMap& portMap() const { return map_; }

signals:
  // ports.conf was written: the map every port should use from its next open.
  void portMapChanged(const kestrune::serial::PortMap& map);

private:
  // The texts selected in the line lists, empty for none.
  using Edit = std::array<QString, LineListCount>;

  Edit lineTexts(const settings::LineSettings& line) const;
  // Shows `edit` for the shown channel, the lists holding their own entries
  // and any the edit needs besides.
  void showEdit(const Edit& edit);
  void showChannel(int channel);
  Edit selectedEdit() const;
  Status applyEdit(int channel, const Edit& edit);
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
  std::array<QStringList, LineListCount + 1> lists_;
  int channel_ = 0;
  // What was shown of each channel since the last OK, by channel.
  std::array<std::optional<Edit>, ChannelCount> edits_;
  std::vector<SerialDevice> present_;
  std::vector<DeviceChoice> choices_;
  int choiceShown_ = -1;
  // Devices chosen since the last OK, by port number; empty for the default.
  std::map<int, QString> chosen_;
};

}  // namespace kestrune::serial
