#include "core/trace.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <memory>
#include <mutex>

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
      if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text)) return;
    }
    if (file->size() > maxBytes) file->resize(0);  // start afresh rather than grow for ever
    const QString stamped = QDateTime::currentDateTime().toString(Qt::ISODateWithMs) + QLatin1Char(' ') + line;
    file->write(stamped.toUtf8() + '\n');
    file->flush();
  };
}

}  // namespace kestrune
