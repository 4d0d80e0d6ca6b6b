// The termios port's failure texts and codes, and the look through /proc for
// the programs holding a device, which a busy device's text names.
#include "serial/port_failures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace kestrune::serial {

namespace {

// Messages for the user, one place for the module.
const QString kBadPort = QStringLiteral("ポート番号 %1 は使用できません（1～8）");
const QString kPortIsOpen = QStringLiteral("Com%1 を開いている間はポート番号を変更できません");
const QString kBadValue = QStringLiteral("%1 に %2 は設定できません");
const QString kOnlyZero = QStringLiteral("%1 に設定できるのは 0 だけです");
const QString kNotOpen = QStringLiteral("Com%1 は開いていません");
const QString kLost = QStringLiteral("Com%1（%2）は切断されています。ポートを閉じてから開き直してください");
const QString kNotFound = QStringLiteral("Com%1（%2）が見つかりません");
const QString kBusy = QStringLiteral("Com%1（%2）は他のプログラムが使用中です");
const QString kDenied =
    QStringLiteral("Com%1（%2）を開く権限がありません（ユーザーを dialout グループに加えてください）");
const QString kHeldBy = QStringLiteral("（使用中のプログラム：%1）");
const QString kLockedBy = QStringLiteral("（使用中のプログラム：%1（PID %2）、ロックファイル %3）");
const QString kAlsoOpen =
    QStringLiteral("Com%1（%2）は他のプログラムも開いています：%3。受信データを取り合うおそれがあります");
const QString kNotSerial = QStringLiteral("Com%1（%2）はシリアルポートではありません");
const QString kOpenFailed = QStringLiteral("Com%1（%2）を開けません：%3");
const QString kSetFailed = QStringLiteral("%1 に通信条件「%2」、フロー制御 %3 を設定できません：%4");
const QString kNotSupported = QStringLiteral("%1 は通信条件「%2」、フロー制御 %3 に対応していません");
const QString kWriteFailed = QStringLiteral("%1 への送信に失敗しました：%2");
const QString kBreakFailed = QStringLiteral("%1 のブレーク信号を切り替えられません：%2");
const QString kLineFailed = QStringLiteral("%1 の %2 信号を切り替えられません：%3");

QString errorText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Whether process `pid` holds the master side of the pseudo-terminal whose
// slave is `slave` (/dev/pts/N): that is the instrument at the other end (a
// program that keeps its slave open too), not another reader of the line.
// The kernel names a master's slave in the fd's "tty-index" line.
bool holdsMasterOf(long pid, const QStringList& fdNames, const QString& slave) {
  static const QString ptsFolder = QStringLiteral("/dev/pts/");
  if (!slave.startsWith(ptsFolder)) return false;
  const QByteArray index = slave.mid(ptsFolder.size()).toLatin1();
  for (const QString& fd : fdNames) {
    const QString link = QFile::symLinkTarget(QStringLiteral("/proc/%1/fd/%2").arg(pid).arg(fd));
    if (link != QStringLiteral("/dev/ptmx") && link != QStringLiteral("/dev/pts/ptmx")) continue;
    QFile info(QStringLiteral("/proc/%1/fdinfo/%2").arg(pid).arg(fd));
    if (!info.open(QIODevice::ReadOnly)) continue;
    for (const QByteArray& line : info.readAll().split('\n'))
      if (line.startsWith("tty-index:") && line.mid(10).trimmed() == index) return true;
  }
  return false;
}

}  // namespace

QString openFailureText(int port, const QString& device, int error) {
  switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
      return kNotFound.arg(port).arg(device);
    case EBUSY:
    case EWOULDBLOCK:
      return kBusy.arg(port).arg(device);
    case EACCES:
    case EPERM:
      return kDenied.arg(port).arg(device);
    case ENOTTY:
      return kNotSerial.arg(port).arg(device);
    default:
      return kOpenFailed.arg(port).arg(device, errorText(error));
  }
}

PortError openErrorCode(int error) {
  switch (error) {
    case EBUSY:
    case EWOULDBLOCK:
      return PortError::Busy;
    case EACCES:
    case EPERM:
      return PortError::NoPermission;
    case ENOTTY:
      return PortError::NotSerial;
    default:
      return PortError::NoDevice;
  }
}

QStringList deviceHolders(const QString& device, long skipPid) {
  // The programs with the device open, as far as /proc shows them to us
  // (another user's processes stay hidden without privileges).
  const QString target = QFileInfo(device).canonicalFilePath();
  QStringList holders;
  if (target.isEmpty()) return holders;
  const QDir proc(QStringLiteral("/proc"));
  for (const QString& entry : proc.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
    bool isPid = false;
    const long pid = entry.toLong(&isPid);
    if (!isPid || pid == skipPid) continue;
    const QDir fds(QStringLiteral("/proc/%1/fd").arg(pid));
    const QStringList fdNames = fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    const bool holds = std::any_of(fdNames.begin(), fdNames.end(),
                                   [&](const QString& fd) { return QFile::symLinkTarget(fds.filePath(fd)) == target; });
    if (holds && !holdsMasterOf(pid, fdNames, target))
      holders << QStringLiteral("%1（PID %2）").arg(processName(pid)).arg(pid);
  }
  return holders;
}

namespace port_failure {

Error openFailed(int port, const QString& device, int error) {
  QString text = openFailureText(port, device, error);
  if (error == EBUSY || error == EWOULDBLOCK) {
    const QStringList holders = deviceHolders(device);
    if (!holders.isEmpty()) text += kHeldBy.arg(holders.join(QStringLiteral("、")));
  }
  return fail(openErrorCode(error), text);
}

Error lockedBy(int port, const QString& device, const LockHolder& holder) {
  return fail(PortError::Busy, kBusy.arg(port).arg(device) +
                                   kLockedBy.arg(holder.program, QString::number(holder.pid), holder.lockFile));
}

QString alsoOpen(int port, const QString& device, const QStringList& holders) {
  return kAlsoOpen.arg(port).arg(device, holders.join(QStringLiteral("、")));
}

Error notOpen(int port) { return fail(PortError::NotOpen, kNotOpen.arg(port)); }

Error deviceLost(int port, const QString& device) { return fail(PortError::DeviceLost, kLost.arg(port).arg(device)); }

Error badPortNumber(int port) { return fail(PortError::BadPortNumber, kBadPort.arg(port)); }

Error portIsOpen(int port) { return fail(PortError::PortIsOpen, kPortIsOpen.arg(port)); }

Error badValue(const QString& property, int value) {
  return fail(PortError::BadValue, kBadValue.arg(property).arg(value));
}

Error onlyZero(const QString& property) { return fail(PortError::BadValue, kOnlyZero.arg(property)); }

Error lineFormatNotSet(const QString& name, const QString& settings, int flowCode, int error) {
  return fail(PortError::BadSetting, kSetFailed.arg(name, settings).arg(flowCode).arg(errorText(error)));
}

Error lineFormatNotSupported(const QString& name, const QString& settings, int flowCode) {
  return fail(PortError::BadSetting, kNotSupported.arg(name, settings).arg(flowCode));
}

Error modemLineNotSet(const QString& name, const QString& line, int error) {
  return fail(PortError::LineFailed, kLineFailed.arg(name, line, errorText(error)));
}

Error breakNotSet(const QString& name, int error) {
  return fail(PortError::LineFailed, kBreakFailed.arg(name, errorText(error)));
}

Error writeFailed(const QString& name, int error) {
  return fail(PortError::WriteFailed, kWriteFailed.arg(name, errorText(error)));
}

}  // namespace port_failure

}  // namespace kestrune::serial
