#include "serial/reception.h"

namespace kestrune::serial {

EventText eventText(int code) {
  switch (code) {
    case ComEvSend:
    case ComEvReceive: return {};
    case ComEvCTS: return {true, QStringLiteral("CTS ﾗｲﾝの状態が変化しました。")};
    case ComEvDSR: return {true, QStringLiteral("DSR ﾗｲﾝの状態が変化しました。")};
    case ComEvCD: return {true, QStringLiteral("CD ﾗｲﾝの状態が変化しました。")};
    case ComEvRing: return {true, QStringLiteral("呼び出し信号を検出しました。")};
    case ComEvEOF: return {true, QStringLiteral("EOF を受信しました。")};
    case ComEventBreak: return {false, QStringLiteral("ﾌﾞﾚｰｸ信号を検出しました。")};
    case ComEventCDTO: return {false, QStringLiteral("CD ﾀｲﾑｱｳﾄを検出しました。")};
    case ComEventCTSTO: return {false, QStringLiteral("CTS ﾀｲﾑｱｳﾄを検出しました。")};
    case ComEventDCB: return {false, QStringLiteral("DCB 取得時にｴﾗｰが発生しました。")};
    case ComEventDSRTO: return {false, QStringLiteral("DSR ﾀｲﾑｱｳﾄを検出しました。")};
    case ComEventFrame: return {false, QStringLiteral("ﾌﾚｰﾐﾝｸﾞ ｴﾗｰが発生しました。")};
    case ComEventOverrun: return {false, QStringLiteral("ｵｰﾊﾞｰﾗﾝ ｴﾗｰが発生しました。")};
    case ComEventRxOver: return {false, QStringLiteral("受信ﾊﾞｯﾌｧがｵｰﾊﾞｰﾌﾛｰしました。")};
    case ComEventRxParity: return {false, QStringLiteral("ﾊﾟﾘﾃｨ ｴﾗｰが発生しました。")};
    case ComEventTxFull: return {false, QStringLiteral("送信ﾊﾞｯﾌｧ ﾌﾙ ｴﾗｰが発生しました。")};
    default: return {false, QStringLiteral("未定義のｴﾗｰまたはｲﾍﾞﾝﾄが発生しました。")};
  }
}

void Reception::clearBuffers() {
  for (auto& buffer : recvBuffer) buffer.clear();
}

void Reception::MSComm1_OnComm(int channel, Port& port, bool runActive, ErrorLabel* label, Clock& clock) {
  if (channel < 0 || channel >= ChannelCount) return;
  const int code = port.commEvent();
  if (code == ComEvReceive) {
    const cp932::CodeString received = port.input();
    auto& buffer = recvBuffer[static_cast<std::size_t>(channel)];
    if (runActive && buffer.size() < ReceiveBufferLimit) buffer += received;
  } else if (code != ComEvSend) {
    EventText event = eventText(code);
    (event.lineState ? lastEventMsg : lastErrorMsg) = std::move(event.text);
  }
  if (label && lastEventMsg.isEmpty() && !lastErrorMsg.isEmpty())
    label->setErrorText(clock.now().time().toString(QStringLiteral("H:mm:ss")) + QLatin1Char(' ') + lastErrorMsg);
}

}  // namespace kestrune::serial
