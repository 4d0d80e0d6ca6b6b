#include "core/trace.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <memory>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrune {

namespace {

// The LibreOffice watchdog runs on a thread of its own: one lock for the sink.
std::mutex& sinkMutex() {
  static std::mutex m;
  return m;
}

TraceSink& currentSink() {
  static TraceSink sink;
  return sink;
}

}  // namespace

void setTraceSink(TraceSink sink) {
  std::lock_guard lock(sinkMutex());
  currentSink() = std::move(sink);
}

void trace(const QString& where, const QString& what) {
  std::lock_guard lock(sinkMutex());
  if (currentSink()) currentSink()(where + QStringLiteral(": ") + what);
}

bool traceFailure(const QString& where, const Status& status) {
  if (!status) trace(where, status.description());
  return status.ok();
}

TraceSink fileTraceSink(const QString& path, qint64 maxBytes) {
  auto file = std::make_shared<QFile>(path);
  return [file, maxBytes](const QString& line) {
    if (!file->isOpen()) {
      QDir().mkpath(QFileInfo(file->fileName()).absolutePath());
      // Never through a link planted where the log goes, nor into a pipe.
      const int fd = ::open(QFile::encodeName(file->fileName()).constData(),
                            O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
      if (fd < 0) return;
      struct stat info = {};
      if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
          !file->open(fd, QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return;
      }
    }
    if (file->size() > maxBytes) file->resize(0);  // start afresh rather than grow for ever
    const QString stamped = QDateTime::currentDateTime().toString(Qt::ISODateWithMs) + QLatin1Char(' ') + line;
    file->write(stamped.toUtf8() + '\n');
    file->flush();
  };
}

}  // namespace kestrune
