#include "serial/reception.h"

namespace kestrune::serial {

EventText eventText(CommEvent event) {
  switch (event) {
    case CommEvent::Send:
    case CommEvent::Receive:
      return {};
    case CommEvent::Cts:
      return {true, QStringLiteral("CTS ﾗｲﾝの状態が変化しました。")};
    case CommEvent::Dsr:
      return {true, QStringLiteral("DSR ﾗｲﾝの状態が変化しました。")};
    case CommEvent::Cd:
      return {true, QStringLiteral("CD ﾗｲﾝの状態が変化しました。")};
    case CommEvent::Ring:
      return {true, QStringLiteral("呼び出し信号を検出しました。")};
    case CommEvent::Eof:
      return {true, QStringLiteral("EOF を受信しました。")};
    case CommEvent::Break:
      return {false, QStringLiteral("ﾌﾞﾚｰｸ信号を検出しました。")};
    case CommEvent::CdTimeout:
      return {false, QStringLiteral("CD ﾀｲﾑｱｳﾄを検出しました。")};
    case CommEvent::CtsTimeout:
      return {false, QStringLiteral("CTS ﾀｲﾑｱｳﾄを検出しました。")};
    case CommEvent::Dcb:
      return {false, QStringLiteral("DCB 取得時にｴﾗｰが発生しました。")};
    case CommEvent::DeviceLost:
      return {false, MsgDeviceLost};
    case CommEvent::DeviceFound:
      return {false, MsgDeviceFound};
    case CommEvent::DeviceReplaced:
      return {false, MsgDeviceReplaced};
    case CommEvent::DsrTimeout:
      return {false, QStringLiteral("DSR ﾀｲﾑｱｳﾄを検出しました。")};
    case CommEvent::Frame:
      return {false, QStringLiteral("ﾌﾚｰﾐﾝｸﾞ ｴﾗｰが発生しました。")};
    case CommEvent::Overrun:
      return {false, QStringLiteral("ｵｰﾊﾞｰﾗﾝ ｴﾗｰが発生しました。")};
    case CommEvent::RxOver:
      return {false, QStringLiteral("受信ﾊﾞｯﾌｧがｵｰﾊﾞｰﾌﾛｰしました。")};
    case CommEvent::RxParity:
      return {false, QStringLiteral("ﾊﾟﾘﾃｨ ｴﾗｰが発生しました。")};
    case CommEvent::TxFull:
      return {false, QStringLiteral("送信ﾊﾞｯﾌｧ ﾌﾙ ｴﾗｰが発生しました。")};
    default:
      return {false, QStringLiteral("未定義のｴﾗｰまたはｲﾍﾞﾝﾄが発生しました。")};
  }
}

void Reception::clearBuffers() {
  for (LineAssembler& channel : lines_) channel.clear();
}

void Reception::onPortEvent(int channel, Port& port, bool runActive, ErrorLabel* label, Clock& clock,
                            cp932::Code endCode) {
  if (channel < 0 || channel >= ChannelCount) return;
  const CommEvent event = port.commEvent();
  bool showAlways = false;
  if (event == CommEvent::Receive) {
    const cp932::CodeString received = port.input();
    const DropReason dropped = lines(channel).append(received, endCode, runActive);
    if (dropped != DropReason::None) {
      lastErrorMsg = dropped == DropReason::LineTooLong ? MsgLineTooLong : MsgBufferFull;
      showAlways = true;
    }
  } else if (event == CommEvent::DeviceLost || event == CommEvent::DeviceFound || event == CommEvent::DeviceReplaced) {
    announceDevice(event, label, clock);
    return;
  } else if (event != CommEvent::Send) {
    EventText text = eventText(event);
    (text.lineState ? lastEventMsg : lastErrorMsg) = std::move(text.text);
  }
  showLastError(label, clock, showAlways);
}

namespace {
QString stamped(Clock& clock, const QString& text) {
  return clock.now().time().toString(QStringLiteral("H:mm:ss")) + QLatin1Char(' ') + text;
}
}  // namespace

void Reception::announceDevice(CommEvent event, ErrorLabel* label, Clock& clock) {
  // Shown whatever the label's usual rule says, and once: kept as the last
  // error, the return would be announced anew, with a fresh time, by every
  // later reception.
  if (!label) return;
  const QString text = eventText(event).text;
  label->logNotice(text);
  if (event == CommEvent::DeviceFound)
    label->setGoodNewsText(stamped(clock, text));
  else
    label->setErrorText(stamped(clock, text));
}

void Reception::showLastError(ErrorLabel* label, Clock& clock, bool always) {
  if (!label || lastErrorMsg.isEmpty() || (!always && !lastEventMsg.isEmpty())) return;
  label->setErrorText(stamped(clock, lastErrorMsg));
}

}  // namespace kestrune::serial
