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

QStringList panelListItems(RsList list, int channel) {
  switch (list) {
    case RsList::Port: {
      QStringList items = settings::portChoices();
      if (channel > 0) items << panel_text::CapNoPort;
      return items;
    }
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
    case RsList::Channel: {
      QStringList items;
      for (int n = 1; n <= ChannelCount; ++n) items << panel_text::CapChannelEntry.arg(n);
      return items;
    }
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
  channel_ = 0;
  edits_ = {};
  view_.selectIndex(RsList::Channel, 0);
  // The list has no entry for both: the panel shows and keeps RTS/CTS.
  if (line_.lineSettings(0).flow == FlowControl::RtsCtsXonXoff) {
    settings::LineSettings kept = line_.lineSettings(0);
    kept.flow = FlowControl::RtsCts;
    traceFailure(QStringLiteral("serial panel"), line_.applyLineSettings(0, kept));
  }
  showEdit(lineTexts(line_.lineSettings(0)));
  cboPort_Click();
}

SerialPanel::Edit SerialPanel::lineTexts(const settings::LineSettings& line) const {
  Edit edit;
  const auto text = [&edit](RsList list) -> QString& { return edit[static_cast<std::size_t>(list)]; };
  if (line.port >= 1 && line.port <= settings::portChoices().size())
    text(RsList::Port) = settings::portChoices().at(line.port - 1);
  else if (line.port == settings::NoPort)
    text(RsList::Port) = panel_text::CapNoPort;
  // The settings string is "speed,p,d,s"; the parity entries start with the
  // parity's letter in upper case.
  const QStringList fields = settingsText(line.config).split(QLatin1Char(','));
  if (fields.size() == 4) {
    text(RsList::Speed) = fields.at(0);
    const QString letter = fields.at(1).toUpper();
    for (const QString& entry :
         settings::parityChoices() + QStringList{QStringLiteral("Mark"), QStringLiteral("Space")})
      if (entry.startsWith(letter)) text(RsList::Parity) = entry;
    text(RsList::DataBits) = fields.at(2);
    text(RsList::StopBits) = fields.at(3);
  }
  // RTS/CTS with Xon/Xoff shows as RTS; the list's positions are the codes.
  const int code = handshakingCode(line.flow == FlowControl::RtsCtsXonXoff ? FlowControl::RtsCts : line.flow);
  if (code >= 0 && code < settings::flowChoices().size()) text(RsList::Flow) = settings::flowChoices().at(code);
  return edit;
}

void SerialPanel::showEdit(const Edit& edit) {
  for (std::size_t i = 0; i < LineListCount; ++i) {
    const auto list = static_cast<RsList>(i);
    const QStringList items = panelListItems(list, channel_);
    if (items != lists_[i]) {
      lists_[i] = items;
      view_.setListItems(list, items);
    }
    selectText(list, edit[i], list != RsList::Parity && list != RsList::Port && list != RsList::Flow);
  }
}

void SerialPanel::showChannel(int channel) {
  channel_ = channel;
  view_.selectIndex(RsList::Channel, channel);
  const auto& edit = edits_.at(static_cast<std::size_t>(channel));
  showEdit(edit ? *edit : lineTexts(line_.lineSettings(channel)));
  showDeviceChoices();
}

void SerialPanel::cboChannel_Click() {
  const int channel = view_.selectedIndex(RsList::Channel);
  if (channel < 0 || channel >= ChannelCount || channel == channel_) return;
  edits_.at(static_cast<std::size_t>(channel_)) = selectedEdit();
  showChannel(channel);
}

SerialPanel::Edit SerialPanel::selectedEdit() const {
  Edit edit;
  for (std::size_t i = 0; i < LineListCount; ++i) edit[i] = selectedText(static_cast<RsList>(i));
  return edit;
}

void SerialPanel::selectText(RsList list, const QString& text, bool numericOrder) {
  if (text.isEmpty()) return view_.selectIndex(list, -1);
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
  return index >= 0 && index < settings::portChoices().size() ? index + 1 : 0;
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

// Nothing is applied; every channel's selections stay as edited, to be shown
// when the panel opens again. The devices chosen are forgotten.
void SerialPanel::CommandRsNg() {
  edits_.at(static_cast<std::size_t>(channel_)) = selectedEdit();
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
  edits_.at(static_cast<std::size_t>(channel_)) = selectedEdit();
  for (int channel = 0; channel < ChannelCount; ++channel) {
    auto& edit = edits_.at(static_cast<std::size_t>(channel));
    if (!edit) continue;
    if (Status applied = applyEdit(channel, *edit); !applied) {
      if (channel != channel_) showChannel(channel);
      return applied;
    }
    edit.reset();
  }
  return {};
}

Status SerialPanel::applyEdit(int channel, const Edit& edit) {
  const auto text = [&edit](RsList list) { return edit[static_cast<std::size_t>(list)].trimmed(); };
  const settings::LineSettings& now = line_.lineSettings(channel);
  settings::LineSettings wanted = now;
  // "Com n" is port n; no selection or the no-port entry is port 0, which
  // only channels other than 0 may have.
  wanted.port = static_cast<int>(settings::portChoices().indexOf(text(RsList::Port))) + 1;
  // The settings text as the lists form it: speed, parity letter, data bits, stop bits.
  const QString settingsString = text(RsList::Speed) + QLatin1Char(',') + text(RsList::Parity).left(1) +
                                 QLatin1Char(',') + text(RsList::DataBits) + QLatin1Char(',') + text(RsList::StopBits);
  const Result<PortConfig> config = parseSettings(settingsString);
  const Result<FlowControl> flow =
      flowControlFromCode(static_cast<int>(settings::flowChoices().indexOf(text(RsList::Flow))));
  // The stages in order; one the lists cannot form stops there, after the
  // stages before it were applied.
  if (config) wanted.config = *config;
  if (config && flow) wanted.flow = *flow;
  if (channel == 0 || !(wanted == now)) {
    if (Status applied = line_.applyLineSettings(channel, wanted); !applied) return applied;
  }
  if (!config) return config.error();
  if (!flow) return flow.error();
  return {};
}

}  // namespace kestrune::serial
