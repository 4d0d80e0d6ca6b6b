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

Result<SetupLoad> loadSetup(SetupRecord& record, const QString& path) {
  const QFileInfo info(path);
  if (!info.exists()) return SetupLoad::Missing;
  if (!info.isFile()) return fail(SetupError::NotAFile, MsgLoadFailed, notAFileReason(path));
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return fail(SetupError::Unreadable, MsgLoadFailed);
  const QByteArray data = file.read(static_cast<qint64>(SetupRecordSize));
  file.close();
  if (Status decoded = decodeSetupRecord(data, record); !decoded) {
    Error error = decoded.error();
    error.description = MsgLoadFailed;
    return error;
  }
  return SetupLoad::Loaded;
}

Status saveSetup(const SetupRecord& record, const QString& path) {
  const auto failed = [] { return Status(fail(SetupError::NotSaved, MsgSaveFailed)); };
  const Result<QByteArray> encoded = encodeSetupRecord(record);
  if (!encoded) return failed();

  // Bytes after the first record belong to the file, not to us: keep them.
  QByteArray tail;
  const QFileInfo info(path);
  if (info.exists() && !info.isFile()) return fail(SetupError::NotAFile, MsgSaveFailed, notAFileReason(path));
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
  return {};
}

}  // namespace kestrune::settings
