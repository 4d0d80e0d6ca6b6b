#include "serial/serial_panel.h"

#include "core/trace.h"

#include "serial/serial_panel_texts.h"

#include <algorithm>
#include <utility>

namespace kestrune::serial {

namespace {

// "ttyUSB0：FTDI FT232R USB UART（製造番号 A1B2C3）", or the name alone when
// the device says nothing about itself.
QString deviceCaption(const QString& name, const SerialDevice& device) {
  QStringList words;
  for (const QString& word : {device.manufacturer, device.description})
    if (!word.trimmed().isEmpty()) words << word.trimmed();
  QString details = words.join(QLatin1Char(' '));
  if (!device.serialNumber.trimmed().isEmpty())
    details += panel_text::CapSerialNumber.arg(device.serialNumber.trimmed());
  return details.isEmpty() ? name : panel_text::CapDeviceDetails.arg(name, details);
}

// The device "Com `port`" names with the ports.conf entry `entry`.
QString namedDevice(int port, const QString& entry) { return entry.isEmpty() ? PortMap().devicePath(port) : entry; }

}  // namespace

QStringList panelListItems(RsList list) {
  switch (list) {
    case RsList::Port:
      return settings::portChoices();
    case RsList::Speed:
      return settings::speedChoices();
    case RsList::DataBits:
      return settings::dataBitsChoices();
    case RsList::Parity:
      return settings::parityChoices();
    case RsList::StopBits:
      return settings::stopBitsChoices();
    case RsList::Flow:
      return settings::flowChoices();
  }
  return {};
}

SerialPanel::SerialPanel(LineHolder& line, PortMap map, PortMapFile file, DeviceSource& devices, SerialPanelView& view,
                         QObject* parent)
    : QObject(parent), line_(line), map_(std::move(map)), file_(std::move(file)), devices_(devices), view_(view) {
  connect(&devices_, &DeviceSource::devicesChanged, this, &SerialPanel::refreshDevices);
}

void SerialPanel::LoadPropertySettings() {
  for (std::size_t i = 0; i < lists_.size(); ++i) lists_[i] = panelListItems(static_cast<RsList>(i));
  for (std::size_t i = 0; i < lists_.size(); ++i) view_.setListItems(static_cast<RsList>(i), lists_[i]);

  // The settings string is "speed,p,d,s" or "speed,p,d,1.5".
  const QString s = settingsText(line_.lineSettings().config);
  const qsizetype d = s.contains(QLatin1Char('.')) ? 2 : 0;
  const qsizetype length = s.size();
  if (length - d - 6 > 0) {
    selectText(RsList::Speed, s.left(length - d - 6), true);
    const QChar parity = s.at(length - d - 5);
    if (parity == QLatin1Char('e'))
      view_.selectIndex(RsList::Parity, 0);
    else if (parity == QLatin1Char('o'))
      view_.selectIndex(RsList::Parity, 1);
    else if (parity == QLatin1Char('n'))
      view_.selectIndex(RsList::Parity, 2);
    else if (parity == QLatin1Char('m'))
      selectText(RsList::Parity, QStringLiteral("Mark"), false);
    else if (parity == QLatin1Char('s'))
      selectText(RsList::Parity, QStringLiteral("Space"), false);
    selectText(RsList::DataBits, s.mid(length - d - 3, 1), true);
    selectText(RsList::StopBits, s.right(d + 1), true);
  }
  view_.selectIndex(RsList::Port, line_.lineSettings().port - 1);
  // The list has no entry for both: the panel shows and keeps RTS/CTS.
  if (line_.lineSettings().flow == FlowControl::RtsCtsXonXoff) {
    settings::LineSettings kept = line_.lineSettings();
    kept.flow = FlowControl::RtsCts;
    traceFailure(QStringLiteral("serial panel"), line_.applyLineSettings(kept));
  }
  // The list's positions are the Handshaking codes: None, Xon/Xoff, RTS.
  view_.selectIndex(RsList::Flow, handshakingCode(line_.lineSettings().flow));
  cboPort_Click();
}

void SerialPanel::selectText(RsList list, const QString& text, bool numericOrder) {
  QStringList& items = lists_[static_cast<std::size_t>(list)];
  qsizetype index = items.indexOf(text);
  if (index < 0) {
    index = items.size();
    if (numericOrder) {
      const double value = text.toDouble();
      index = 0;
      while (index < items.size() && items.at(index).toDouble() < value) ++index;
    }
    items.insert(index, text);
    view_.setListItems(list, items);
  }
  view_.selectIndex(list, static_cast<int>(index));
}

QString SerialPanel::selectedText(RsList list) const {
  const int index = view_.selectedIndex(list);
  const QStringList& items = lists_[static_cast<std::size_t>(list)];
  return index >= 0 && index < items.size() ? items.at(index) : QString();
}

int SerialPanel::selectedPort() const {
  const int index = view_.selectedIndex(RsList::Port);
  return index >= 0 && index < items(RsList::Port).size() ? index + 1 : 0;
}

QString SerialPanel::chosenEntry(int port) const {
  const auto it = chosen_.find(port);
  return it != chosen_.end() ? it->second : map_.entry(port);
}

void SerialPanel::cboPort_Click() { showDeviceChoices(); }

void SerialPanel::showDeviceChoices() {
  const int port = selectedPort();
  std::vector<DeviceChoice> choices;
  int selected = -1;
  if (port > 0) {
    choices.push_back({panel_text::CapDefaultDevice.arg(namedDevice(port, QString())), QString()});
    for (const SerialDevice& device : present_)
      choices.push_back({deviceCaption(device.systemLocation.section(QLatin1Char('/'), -1), device), device.path});
    // The device ports.conf names and the one chosen stay offered when they
    // are not in the list: absent, or present under another name.
    for (const QString& path : {map_.entry(port), chosenEntry(port)}) {
      const auto listed = [&path](const DeviceChoice& c) { return c.path == path; };
      if (path.isEmpty() || std::any_of(choices.begin(), choices.end(), listed)) continue;
      const auto same = std::find_if(present_.begin(), present_.end(),
                                     [&path](const SerialDevice& d) { return d.systemLocation == path; });
      const QString caption = same != present_.end()   ? deviceCaption(path, *same)
                              : devices_.present(path) ? path
                                                       : panel_text::CapAbsentDevice.arg(path);
      choices.push_back({caption, path});
    }
    const QString entry = chosenEntry(port);
    const auto it =
        std::find_if(choices.begin(), choices.end(), [&entry](const DeviceChoice& c) { return c.path == entry; });
    selected = static_cast<int>(it - choices.begin());
    view_.setDevicePath(namedDevice(port, entry));
  } else {
    view_.setDevicePath(QString());
  }
  if (choices == choices_ && selected == choiceShown_) return;
  choices_ = std::move(choices);
  choiceShown_ = selected;
  view_.setDeviceChoices(choices_, selected);
}

void SerialPanel::cboDevice_Click() {
  const int port = selectedPort();
  const int index = view_.selectedDevice();
  if (port == 0 || index < 0 || index >= static_cast<int>(choices_.size())) return;
  const QString& entry = choices_[static_cast<std::size_t>(index)].path;
  chosen_[port] = entry;
  choiceShown_ = index;
  view_.setDevicePath(namedDevice(port, entry));
}

void SerialPanel::refreshDevices() {
  present_ = devices_.devices();
  showDeviceChoices();
}

void SerialPanel::setPanelVisible(bool visible) {
  devices_.setWatching(visible);
  if (visible) refreshDevices();
}

void SerialPanel::CommandRsNg() {
  chosen_.clear();
  showDeviceChoices();
}

Status SerialPanel::saveDeviceChoices() {
  std::map<int, QString> changes;
  for (const auto& [port, entry] : chosen_)
    if (entry != map_.entry(port)) changes[port] = entry;
  if (changes.empty()) {
    chosen_.clear();
    return {};
  }
  Result<PortMap> saved = PortMap::save(file_, changes);
  if (!saved)
    return fail(LineError::PortMapNotSaved, panel_text::MsgMapNotSaved,
                panel_text::MsgMapUnchanged.arg(saved.description()));
  map_ = std::move(saved).value();
  chosen_.clear();
  showDeviceChoices();
  emit portMapChanged(map_);
  return {};
}

Status SerialPanel::CommandRsOk() {
  if (Status saved = saveDeviceChoices(); !saved) return saved;
  // The settings text as the lists form it: speed, parity letter, data bits, stop bits.
  const QString text = selectedText(RsList::Speed).trimmed() + QLatin1Char(',') + selectedText(RsList::Parity).left(1) +
                       QLatin1Char(',') + selectedText(RsList::DataBits).trimmed() + QLatin1Char(',') +
                       selectedText(RsList::StopBits).trimmed();
  // The stages in order; one the lists cannot form stops there, after the
  // stages before it were applied.
  settings::LineSettings wanted = line_.lineSettings();
  wanted.port = view_.selectedIndex(RsList::Port) + 1;
  const Result<PortConfig> config = parseSettings(text);
  if (!config) {
    if (Status applied = line_.applyLineSettings(wanted); !applied) return applied;
    return config.error();
  }
  wanted.config = *config;
  const Result<FlowControl> flow = flowControlFromCode(view_.selectedIndex(RsList::Flow));
  if (!flow) {
    if (Status applied = line_.applyLineSettings(wanted); !applied) return applied;
    return flow.error();
  }
  wanted.flow = *flow;
  return line_.applyLineSettings(wanted);
}

}  // namespace kestrune::serial
