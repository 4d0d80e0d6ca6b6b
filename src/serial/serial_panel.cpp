#include "serial/serial_panel.h"

namespace kestrune::serial {

namespace {

QStringList portEntries() {
  QStringList out;
  for (int n = 1; n <= 8; ++n) out << QStringLiteral("Com%1").arg(n);
  return out;
}

}  // namespace

void SerialPanel::LoadPropertySettings() {
  lists_ = {portEntries(),
            {QStringLiteral("300"), QStringLiteral("600"), QStringLiteral("1200"), QStringLiteral("2400"),
             QStringLiteral("4800"), QStringLiteral("9600"), QStringLiteral("19200"), QStringLiteral("38400"),
             QStringLiteral("57600"), QStringLiteral("115200")},
            {QStringLiteral("7"), QStringLiteral("8")},
            {QStringLiteral("Even"), QStringLiteral("Odd"), QStringLiteral("None")},
            {QStringLiteral("1"), QStringLiteral("1.5"), QStringLiteral("2")},
            {QStringLiteral("None"), QStringLiteral("Xon/Xoff"), QStringLiteral("RTS")}};
  for (std::size_t i = 0; i < lists_.size(); ++i) view_.setListItems(static_cast<RsList>(i), lists_[i]);

  // The settings string is "speed,p,d,s" or "speed,p,d,1.5".
  const QString s = port_.settings();
  const qsizetype d = s.contains(QLatin1Char('.')) ? 2 : 0;
  const qsizetype length = s.size();
  if (length - d - 6 > 0) {
    selectText(RsList::Speed, s.left(length - d - 6), true);
    const QChar parity = s.at(length - d - 5);
    if (parity == QLatin1Char('e')) view_.selectIndex(RsList::Parity, 0);
    else if (parity == QLatin1Char('o')) view_.selectIndex(RsList::Parity, 1);
    else if (parity == QLatin1Char('n')) view_.selectIndex(RsList::Parity, 2);
    else if (parity == QLatin1Char('m')) selectText(RsList::Parity, QStringLiteral("Mark"), false);
    else if (parity == QLatin1Char('s')) selectText(RsList::Parity, QStringLiteral("Space"), false);
    selectText(RsList::DataBits, s.mid(length - d - 3, 1), true);
    selectText(RsList::StopBits, s.right(d + 1), true);
  }
  view_.selectIndex(RsList::Port, port_.commPort() - 1);
  // The list has no entry for both: RTS/CTS with XON/XOFF becomes RTS/CTS.
  if (port_.handshaking() == FlowControl::RtsCtsXonXoff) static_cast<void>(port_.setHandshaking(FlowControl::RtsCts));
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

void SerialPanel::cboPort_Click() {
  const int index = view_.selectedIndex(RsList::Port);
  view_.setDevicePath(index >= 0 ? map_.devicePath(index + 1) : QString());
}

bool SerialPanel::CommandRsOk() {
  const auto refused = [this](const Status& status) {
    boxes_.show(status.description(), MessageIcon::Warning);
    return false;
  };

  const int oldPort = port_.commPort();
  const int newPort = view_.selectedIndex(RsList::Port) + 1;
  if (newPort != oldPort) {
    const bool reopen = port_.portOpen();
    Status status;
    if (reopen) status = port_.setPortOpen(false);
    if (Status set = port_.setCommPort(newPort); status && !set) status = set;
    if (status && reopen) status = port_.setPortOpen(true);
    if (!status) {
      static_cast<void>(port_.setCommPort(oldPort));
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
