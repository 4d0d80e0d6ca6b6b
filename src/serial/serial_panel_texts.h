// The serial settings panel's Japanese captions and messages, in one place
// for its widgets and its logic.
#pragma once

#include <QString>

namespace kestrune::serial::panel_text {

inline const QString CapPanel = QStringLiteral("RS232C通信条件");
// The channel selector: its label and its entries CH1 to CH8.
inline const QString CapChannel = QStringLiteral("通信CH：");
inline const QString CapChannelEntry = QStringLiteral("CH%1");
// The port list's last entry on CH2 to CH8: the channel has no port.
inline const QString CapNoPort = QStringLiteral("なし");
inline const QString CapPort = QStringLiteral("ポート");
inline const QString CapDevice = QStringLiteral("接続機器：");
inline const QString CapSpeed = QStringLiteral("通信速度");
inline const QString CapConnection = QStringLiteral("接続設定");
inline const QString CapDataBits = QStringLiteral("ﾃﾞｰﾀ ﾋﾞｯﾄ：");
inline const QString CapParity = QStringLiteral("ﾊﾟﾘﾃｨ：");
inline const QString CapStopBits = QStringLiteral("ｽﾄｯﾌﾟ ﾋﾞｯﾄ：");
inline const QString CapFlow = QStringLiteral("ﾌﾛｰ制御(&F)");
inline const QString CapOk = QStringLiteral("OK");
inline const QString CapCancel = QStringLiteral("ｷｬﾝｾﾙ");

// Entries of the device chooser: the default device (no line in ports.conf),
// a device with what it reports about itself, a mapped device that is absent.
inline const QString CapDefaultDevice = QStringLiteral("既定（%1）");
inline const QString CapDeviceDetails = QStringLiteral("%1：%2");
inline const QString CapSerialNumber = QStringLiteral("（製造番号 %1）");
inline const QString CapAbsentDevice = QStringLiteral("%1（未接続）");

inline const QString MsgMapNotSaved = QStringLiteral("ポートと機器の割り当てを保存できませんでした。");
inline const QString MsgMapUnchanged = QStringLiteral("%1\nports.conf は元のままです。");

}  // namespace kestrune::serial::panel_text
