// One completed acquisition row as an MQTT message: the JSON payload and the
// topic it goes to.
#pragma once

#include "core/acquired_row.h"
#include "core/alarm_monitor.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>

namespace kestrune::mqtt {

struct RowMessage {
  QString host;
  QString workbook;  // the workbook's file name
  QString sheet;
  std::int32_t row = 0;                // the worksheet row the values went into
  std::optional<std::int32_t> number;  // the acquisition number, when numbering is on
  std::optional<QDateTime> time;       // the row's stamp, when stamps are on
  std::vector<AcquiredValue> values;   // the readings, typed as the workbook types them
  bool timeMilliseconds = false;       // the time to the millisecond ("09:05:03.120"), as the cells show it
};

// {"seq":N,"host":...,"workbook":...,"sheet":...,"row":R,"number":A,
//  "time":"2026-12-07T09:05:03+09:00","values":[12.5,"OVER"]}
// A value is a JSON number where the workbook stores it as a number (the
// workbook's typing of typed input), else a string. The time carries the
// local offset.
QByteArray rowJson(std::uint64_t seq, const RowMessage& row);

// An alarm raised or cleared, for the topic "<topic>/alarm":
// {"seq":N,"host":...,"workbook":...,"sheet":...,"row":R,"sequence":S,
//  "time":"2026-12-07T09:05:03+09:00","column":"D","header":"温度",
//  "value":31.5,"rule":"high","limit":30,"state":"raised"}
// `sequence` is the run's row the alarm belongs to; rule is one of high, low,
// step, not-a-number and silence. Silence has no column, header or value, and
// a rule without a number (not-a-number) no limit.
struct AlarmMessage {
  QString host;
  QString workbook;
  QString header;  // the text above the run's first row in the alarm's column
  alarm::AlarmEvent event;
  std::optional<double> number;  // the value's number, where the workbook stores it as one
};
QByteArray alarmJson(std::uint64_t seq, const AlarmMessage& alarm);
// The rule's name in alarm messages.
QString ruleName(alarm::AlarmKind kind);

// The topic with {host} and {workbook} replaced; the MQTT wildcards + and #
// and the level separator / are kept out of the replaced parts.
QString expandTopic(const QString& pattern, const QString& host, const QString& workbook);

}  // namespace kestrune::mqtt
