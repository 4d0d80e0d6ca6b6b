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
    case RsList::Port: {
      QStringList out;
      for (int n = 1; n <= 8; ++n) out << QStringLiteral("Com%1").arg(n);
      return out;
    }
    case RsList::Speed:
      return {QStringLiteral("300"),   QStringLiteral("600"),   QStringLiteral("1200"),  QStringLiteral("2400"),
              QStringLiteral("4800"),  QStringLiteral("9600"),  QStringLiteral("19200"), QStringLiteral("38400"),
              QStringLiteral("57600"), QStringLiteral("115200")};
    case RsList::DataBits:
      return {QStringLiteral("7"), QStringLiteral("8")};
    case RsList::Parity:
      return {QStringLiteral("Even"), QStringLiteral("Odd"), QStringLiteral("None")};
    case RsList::StopBits:
      return {QStringLiteral("1"), QStringLiteral("1.5"), QStringLiteral("2")};
    case RsList::Flow:
      return {QStringLiteral("None"), QStringLiteral("Xon/Xoff"), QStringLiteral("RTS")};
  }
  return {};
}

SerialPanel::SerialPanel(Port& port, PortMap map, PortMapFile file, DeviceSource& devices, SerialPanelView& view,
                         MessageBoxes& boxes, QObject* parent)
    : QObject(parent),
      port_(port),
      map_(std::move(map)),
      file_(std::move(file)),
      devices_(devices),
      view_(view),
      boxes_(boxes) {
  connect(&devices_, &DeviceSource::devicesChanged, this, &SerialPanel::refreshDevices);
}

void SerialPanel::LoadPropertySettings() {
  for (std::size_t i = 0; i < lists_.size(); ++i) lists_[i] = panelListItems(static_cast<RsList>(i));
  for (std::size_t i = 0; i < lists_.size(); ++i) view_.setListItems(static_cast<RsList>(i), lists_[i]);

  // The settings string is "speed,p,d,s" or "speed,p,d,1.5".
  const QString s = port_.settings();
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
  view_.selectIndex(RsList::Port, port_.commPort() - 1);
  // The list has no entry for both: RTS/CTS with XON/XOFF becomes RTS/CTS.
  // The list has no entry for both: the panel shows and keeps RTS/CTS.
  if (port_.handshaking() == FlowControl::RtsCtsXonXoff)
    traceFailure(QStringLiteral("serial panel"), port_.setHandshaking(FlowControl::RtsCts));
  // The list's positions are the Handshaking codes: None, Xon/Xoff, RTS.
  view_.selectIndex(RsList::Flow, handshakingCode(port_.handshaking()));
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

bool SerialPanel::saveDeviceChoices() {
  std::map<int, QString> changes;
  for (const auto& [port, entry] : chosen_)
    if (entry != map_.entry(port)) changes[port] = entry;
  if (changes.empty()) {
    chosen_.clear();
    return true;
  }
  Result<PortMap> saved = PortMap::save(file_, changes);
  if (!saved) {
    boxes_.show(panel_text::MsgMapNotSaved, MessageIcon::Warning, panel_text::MsgMapUnchanged.arg(saved.description()));
    return false;
  }
  map_ = std::move(saved).value();
  chosen_.clear();
  showDeviceChoices();
  emit portMapChanged(map_);
  return true;
}

bool SerialPanel::CommandRsOk() {
  const auto refused = [this](const Status& status) {
    boxes_.show(status.description(), MessageIcon::Warning);
    return false;
  };
  if (!saveDeviceChoices()) return false;

  const int oldPort = port_.commPort();
  const int newPort = view_.selectedIndex(RsList::Port) + 1;
  if (newPort != oldPort) {
    const bool reopen = port_.portOpen();
    Status status;
    if (reopen) status = port_.setPortOpen(false);
    if (Status set = port_.setCommPort(newPort); status && !set) status = set;
    if (status && reopen) status = port_.setPortOpen(true);
    if (!status) {
      // Back to the port it had; the port is closed here, so this cannot be refused.
      traceFailure(QStringLiteral("serial panel"), port_.setCommPort(oldPort));
      return refused(status);
    }
  }

  const QString settings = selectedText(RsList::Speed).trimmed() + QLatin1Char(',') +
                           selectedText(RsList::Parity).left(1) + QLatin1Char(',') +
                           selectedText(RsList::DataBits).trimmed() + QLatin1Char(',') +
                           selectedText(RsList::StopBits).trimmed();
  if (const Status status = port_.setSettings(settings); !status) return refused(status);
  const Result<FlowControl> flow = flowControlFromCode(view_.selectedIndex(RsList::Flow));
  if (!flow) return refused(flow.error());
  if (const Status status = port_.setHandshaking(*flow); !status) return refused(status);
  return true;
}

}  // namespace kestrune::serial
