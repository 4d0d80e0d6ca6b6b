#include "mqtt/row_message.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <variant>

namespace kestrune::mqtt {

namespace {

// ISO 8601 to the second (or the millisecond) with the offset the local zone
// had at that time.
QString isoWithOffset(const QDateTime& when, bool milliseconds = false) {
  const QDateTime local = when.toLocalTime();
  return local.toOffsetFromUtc(local.offsetFromUtc()).toString(milliseconds ? Qt::ISODateWithMs : Qt::ISODate);
}

QString topicPart(QString text) {
  for (const QChar c : {QChar('/'), QChar('+'), QChar('#')}) text.replace(c, QChar('_'));
  return text;
}

}  // namespace

QByteArray rowJson(std::uint64_t seq, const RowMessage& row) {
  QJsonObject object;
  object.insert(QStringLiteral("seq"), static_cast<qint64>(seq));
  object.insert(QStringLiteral("host"), row.host);
  object.insert(QStringLiteral("workbook"), row.workbook);
  object.insert(QStringLiteral("sheet"), row.sheet);
  object.insert(QStringLiteral("row"), row.row);
  if (row.number) object.insert(QStringLiteral("number"), *row.number);
  if (row.time) object.insert(QStringLiteral("time"), isoWithOffset(*row.time, row.timeMilliseconds));
  QJsonArray values;
  for (const AcquiredValue& value : row.values)
    values.append(value.number ? QJsonValue(*value.number) : QJsonValue(value.text));
  object.insert(QStringLiteral("values"), values);
  return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QString ruleName(alarm::AlarmKind kind) {
  switch (kind) {
    case alarm::AlarmKind::NotNumber:
      return QStringLiteral("not-a-number");
    case alarm::AlarmKind::High:
      return QStringLiteral("high");
    case alarm::AlarmKind::Low:
      return QStringLiteral("low");
    case alarm::AlarmKind::Step:
      return QStringLiteral("step");
    case alarm::AlarmKind::Silence:
      break;
  }
  return QStringLiteral("silence");
}

QByteArray alarmJson(std::uint64_t seq, const AlarmMessage& alarm) {
  const alarm::AlarmEvent& e = alarm.event;
  QJsonObject object;
  object.insert(QStringLiteral("seq"), static_cast<qint64>(seq));
  object.insert(QStringLiteral("host"), alarm.host);
  object.insert(QStringLiteral("workbook"), alarm.workbook);
  if (!e.sheet.isEmpty()) object.insert(QStringLiteral("sheet"), e.sheet);
  if (e.row > 0) object.insert(QStringLiteral("row"), e.row);
  object.insert(QStringLiteral("sequence"), static_cast<qint64>(e.sequence));
  object.insert(QStringLiteral("time"), isoWithOffset(e.time));
  if (e.kind != alarm::AlarmKind::Silence) {
    object.insert(QStringLiteral("column"), e.columnLetters);
    object.insert(QStringLiteral("header"), alarm.header);
    object.insert(QStringLiteral("value"), alarm.number ? QJsonValue(*alarm.number) : QJsonValue(e.value));
  }
  object.insert(QStringLiteral("rule"), ruleName(e.kind));
  if (e.limit) object.insert(QStringLiteral("limit"), *e.limit);
  object.insert(QStringLiteral("state"),
                e.state == alarm::AlarmState::Raised ? QStringLiteral("raised") : QStringLiteral("cleared"));
  return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QString expandTopic(const QString& pattern, const QString& host, const QString& workbook) {
  QString topic = pattern;
  topic.replace(QStringLiteral("{host}"), topicPart(host));
  topic.replace(QStringLiteral("{workbook}"), topicPart(workbook));
  return topic;
}

}  // namespace kestrune::mqtt
