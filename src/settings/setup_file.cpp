#include "settings/setup_file.h"

#include "core/folder_sync.h"

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

SetupLoad loadSetup(SetupRecord& record, const QString& path, MessageBoxes& boxes) {
  const QFileInfo info(path);
  if (!info.exists()) return SetupLoad::Missing;
  if (!info.isFile()) {
    boxes.show(MsgLoadFailed, MessageIcon::None, notAFileReason(path));
    return SetupLoad::Failed;
  }
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    boxes.show(MsgLoadFailed);
    return SetupLoad::Failed;
  }
  const QByteArray data = file.read(static_cast<qint64>(SetupRecordSize));
  file.close();
  if (!decodeSetupRecord(data, record)) {
    boxes.show(MsgLoadFailed);
    return SetupLoad::Failed;
  }
  return SetupLoad::Loaded;
}

bool saveSetup(const SetupRecord& record, const QString& path, MessageBoxes& boxes) {
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
  // The new name must be on the disk before anything relies on the cursor it
  // holds (a journal is removed after this).
  syncFolderOf(path);
  return true;
}

}  // namespace kestrune::settings
