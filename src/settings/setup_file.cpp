#include "settings/setup_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace kestrune::settings {

namespace {

// A settings file of that name that is a folder, a named pipe or a device:
// reading a pipe would wait for ever, and replacing it is not ours to do.
QString notAFileReason(const QString& path) {
  return QStringLiteral("%1 はファイルではありません（フォルダーまたは特殊ファイル）。").arg(path);
}

}  // namespace

bool loadSetup(SetupRecord& record, serial::Port& port, const QString& path, MessageBoxes& boxes) {
  const QFileInfo info(path);
  if (!info.exists()) return true;
  if (!info.isFile()) {
    boxes.show(MsgLoadFailed, MessageIcon::None, notAFileReason(path));
    return false;
  }
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    boxes.show(MsgLoadFailed);
    return false;
  }
  const QByteArray data = file.read(static_cast<qint64>(SetupRecordSize));
  file.close();
  if (!decodeSetupRecord(data, record)) {
    boxes.show(MsgLoadFailed);
    return false;
  }
  // Slot 0 belongs to channel 0, the only channel in use.
  const bool applied = port.setCommPort(record.commPort[0]) &&
                       port.setSettings(QString::fromLatin1(record.commSettings[0])) &&
                       port.setHandshaking(record.handshaking[0]);
  if (!applied) {
    boxes.show(MsgLoadFailed);
    return false;
  }
  return true;
}

bool saveSetup(SetupRecord& record, const serial::Port& port, const QString& path, MessageBoxes& boxes) {
  record.commPort[0] = static_cast<std::int16_t>(port.commPort());
  record.commSettings[0] = port.settings().toLatin1();
  record.handshaking[0] = static_cast<std::int16_t>(port.handshaking());

  const auto failed = [&boxes] {
    boxes.show(MsgSaveFailed);
    return false;
  };
  const Result<QByteArray> encoded = encodeSetupRecord(record);
  if (!encoded) return failed();

  // Bytes after the first record belong to the file, not to us: keep them.
  QByteArray tail;
  const QFileInfo info(path);
  if (info.exists() && !info.isFile()) {
    boxes.show(MsgSaveFailed, MessageIcon::None, notAFileReason(path));
    return false;
  }
  if (info.exists()) {
    QFile old(path);
    if (!old.open(QIODevice::ReadOnly)) return failed();
    if (old.size() > static_cast<qint64>(SetupRecordSize)) {
      if (!old.seek(static_cast<qint64>(SetupRecordSize))) return failed();
      tail = old.readAll();
      if (old.error() != QFileDevice::NoError) return failed();
    }
  }

  if (!QDir().mkpath(QFileInfo(path).absolutePath())) return failed();
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return failed();
  if (file.write(*encoded) != encoded->size() || file.write(tail) != tail.size()) {
    file.cancelWriting();
    return failed();
  }
  if (!file.commit()) return failed();
  return true;
}

}  // namespace kestrune::settings
