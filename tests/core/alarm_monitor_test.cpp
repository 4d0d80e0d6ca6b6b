// The alarm monitor row by row: each rule kind crossing its limit, exact
// limit values, returns inside the margin, flicker inside the hysteresis,
// text and empty cells; where an event says it happened; the silence alarm.
#include "core/alarm_monitor.h"

#include <QStringList>

#include <gtest/gtest.h>

namespace kestrune::alarm {
namespace {

const QDateTime Wall(QDate(2026, 12, 8), QTime(9, 0, 0));

// A cell as received: a number where the text reads as one.
AcquiredValue cell(const QString& text) {
  bool ok = false;
  const double number = text.toDouble(&ok);
  return ok ? AcquiredValue{text, number} : AcquiredValue{text, std::nullopt};
}

// "H+" for High raised, "N-" for NotNumber cleared; "!" after one that ends the run.
QString code(const AlarmEvent& e) {
  static const char* const letters[] = {"N", "H", "L", "S", "Q"};
  return QLatin1String(letters[static_cast<int>(e.kind)]) +
         (e.state == AlarmState::Raised ? QLatin1Char('+') : QLatin1Char('-')) +
         (e.endsRun ? QStringLiteral("!") : QString());
}

TEST(AlarmMonitorTest, EachRuleRaisesOnceAndClearsOnceAcrossItsMargin) {
  struct Case {
    const char* what;
    ColumnRule rule;
    // One row each: the cell in column D ("<none>": the row has no cell
    // there) and the events expected, space-separated.
    std::vector<std::pair<QString, QString>> rows;
  };
  const ColumnRule high{.column = 4, .high = 30, .margin = 1};
  const ColumnRule low{.column = 4, .low = 10, .margin = 1};
  const ColumnRule range{.column = 4, .low = 10, .high = 30, .margin = 1};
  const ColumnRule step{.column = 4, .step = 5, .margin = 1};
  const Case cases[] = {
      {"high: the limit itself is inside; above it raises; clears at the limit less the margin",
       high,
       {{"29", ""}, {"30", ""}, {"30.01", "H+"}, {"29.5", ""}, {"29", "H-"}, {"31", "H+"}}},
      {"high: flicker between the limit and the margin gives no events",
       high,
       {{"31", "H+"}, {"30", ""}, {"31", ""}, {"29.1", ""}, {"30.5", ""}, {"28", "H-"}, {"30", ""}, {"29.9", ""}}},
      {"high without a margin clears at the limit",
       ColumnRule{.column = 4, .high = 30},
       {{"31", "H+"}, {"30", "H-"}, {"30", ""}, {"-1e9", ""}}},
      {"low: the limit itself is inside; below it raises; clears at the limit plus the margin",
       low,
       {{"10", ""}, {"9.99", "L+"}, {"10.5", ""}, {"9", ""}, {"11", "L-"}, {"9", "L+"}}},
      {"a negative low", ColumnRule{.column = 4, .low = -5}, {{"-5", ""}, {"-5.1", "L+"}, {"-5", "L-"}}},
      {"range: a jump from above straight to below clears high and raises low, and back",
       range,
       {{"20", ""}, {"35", "H+"}, {"5", "H- L+"}, {"40", "H+ L-"}, {"20", "H-"}}},
      {"step: a change equal to the step is inside; more raises; clears at the step less the margin",
       step,
       {{"0", ""}, {"5", ""}, {"11", "S+"}, {"15.5", ""}, {"20", ""}, {"16", "S-"}, {"10", "S+"}, {"10", "S-"}}},
      {"step: the first number has nothing to compare with", step, {{"100", ""}, {"104", ""}, {"98", "S+"}}},
      {"text raises its own alarm once; the number alarms keep their state under it",
       high,
       {{"31", "H+"},
        {"ERR", "N+"},
        {"ERR", ""},
        {"", ""},
        {"30.5", "N-"},
        {"29", "H-"},
        {"ERR", "N+"},
        {"40", "N- H+"}}},
      {"an empty cell and a row without the cell are not numbers",
       low,
       {{"", "N+"}, {"12", "N-"}, {"<none>", "N+"}, {"5", "N- L+"}}},
      {"step across text compares with the last number before it",
       step,
       {{"0", ""}, {"x", "N+"}, {"4", "N-"}, {"ERR", "N+"}, {"10", "N- S+"}}},
      {"a column whose rule ends the run marks its raised alarms only",
       ColumnRule{.column = 4, .high = 30, .endsRun = true},
       {{"31", "H+!"}, {"x", "N+!"}, {"1", "N- H-"}}},
      {"a column without a number rule watches nothing", ColumnRule{.column = 4, .margin = 2}, {{"x", ""}, {"", ""}}},
  };
  for (const Case& c : cases) {
    AlarmMonitor monitor(AlarmRules{{c.rule}, std::nullopt});
    std::uint64_t sequence = 0;
    int active = 0;
    for (const auto& [text, expected] : c.rows) {
      AcquiredRow row;
      row.sequence = ++sequence;
      row.firstColumn = 2;
      row.number = 1;  // B the number, C the stamp (taken as no value), D the first value
      row.stamp = Stamp{Wall, Stamp::Kind::Time};
      if (text != QLatin1String("<none>")) row.values = {cell(text)};
      QStringList got;
      for (const AlarmEvent& e : monitor.take(row, Wall)) {
        got << code(e);
        active += e.state == AlarmState::Raised ? 1 : -1;
      }
      EXPECT_EQ(got.join(QLatin1Char(' ')), expected)
          << c.what << ", row " << sequence << " \"" << text.toStdString() << "\"";
      EXPECT_EQ(monitor.activeCount(), active) << c.what << ", row " << sequence;
    }
  }
}

TEST(AlarmMonitorTest, AnEventNamesItsTimeColumnValueRuleAndPlace) {
  AlarmRules rules{{ColumnRule{.column = 3, .high = 0}, ColumnRule{.column = 28, .low = 5, .endsRun = true}}, 60};
  AlarmMonitor monitor(rules);
  AcquiredRow row;
  row.sequence = 7;
  row.sheet = QStringLiteral("測定");
  row.row = 12;
  row.firstColumn = 2;
  row.number = 3;  // B: a rule on column C watches the stamp's cell, which holds no value
  const QDateTime stamped(QDate(2026, 12, 8), QTime(10, 11, 12, 345));
  row.stamp = Stamp{stamped, Stamp::Kind::DateTime};
  row.values.resize(25);  // D to AB
  row.values.back() = AcquiredValue{QStringLiteral("4.50"), 4.5};

  AlarmEvent low;
  low.time = stamped;
  low.kind = AlarmKind::Low;
  low.limit = 5;
  low.column = 28;
  low.columnLetters = QStringLiteral("AB");
  low.value = QStringLiteral("4.50");
  low.sequence = 7;
  low.sheet = row.sheet;
  low.row = 12;
  low.endsRun = true;
  EXPECT_EQ(monitor.take(row, Wall), std::vector<AlarmEvent>{low});

  // A time-only stamp gives the wall clock; silence counts from the last row.
  EXPECT_FALSE(monitor.checkSilence(row.elapsedMs + 59'999, Wall));
  const std::optional<AlarmEvent> silent = monitor.checkSilence(row.elapsedMs + 60'000, Wall);
  ASSERT_TRUE(silent);
  EXPECT_EQ(silent->kind, AlarmKind::Silence);
  EXPECT_EQ(silent->state, AlarmState::Raised);
  EXPECT_EQ(silent->limit, 60.0);
  EXPECT_EQ(silent->sequence, 7u);
  EXPECT_EQ(silent->time, Wall);
  EXPECT_FALSE(monitor.checkSilence(row.elapsedMs + 600'000, Wall)) << "raised once";
  EXPECT_EQ(monitor.activeCount(), 2);

  row.sequence = 8;
  row.row = 13;
  row.stamp->kind = Stamp::Kind::Time;
  row.elapsedMs = 600'000;
  row.values.back() = AcquiredValue{QStringLiteral("6"), 6};
  const std::vector<AlarmEvent> events = monitor.take(row, Wall.addSecs(600));
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, AlarmKind::Silence);
  EXPECT_EQ(events[0].state, AlarmState::Cleared);
  EXPECT_EQ(events[0].sequence, 8u);
  EXPECT_EQ(events[0].row, 13);
  EXPECT_EQ(events[0].time, Wall.addSecs(600));
  EXPECT_EQ(code(events[1]), QStringLiteral("L-"));
  EXPECT_EQ(monitor.activeCount(), 0);

  // Taken again (a recovered run replaying its last row): nothing new.
  EXPECT_TRUE(monitor.take(row, Wall).empty());
  EXPECT_FALSE(monitor.checkSilence(row.elapsedMs + 59'999, Wall));
}

TEST(AlarmMonitorTest, ASavedStateThatIsNotOneChangesNothing) {
  AlarmMonitor monitor(AlarmRules{{ColumnRule{.column = 4, .high = 1, .step = 1}}, 5});
  AcquiredRow row;
  row.sequence = 1;
  row.values = {AcquiredValue{QStringLiteral("3"), 3}};
  row.firstColumn = 4;
  ASSERT_EQ(monitor.take(row, Wall).size(), 1u);
  const QString saved = monitor.saveState();
  for (const char* bad : {"", "2 1 0 0", "1 x 0 0", "1 1 0 2", "1 1 0 0 D:h", "1 1 0 0 D:hq:", "1 1 0 0 D:h:abc",
                          "1 1 0 0 ZZ:h:", "1 1 0 0 D:h:nan"}) {
    EXPECT_FALSE(monitor.restoreState(QString::fromLatin1(bad))) << bad;
    EXPECT_EQ(monitor.saveState(), saved) << bad;
  }
  // A state from other rules keeps only what these rules watch.
  AlarmMonitor other(AlarmRules{{ColumnRule{.column = 4, .low = 0}}, std::nullopt});
  ASSERT_TRUE(other.restoreState(QStringLiteral("1 9 500 1 D:nhls:3 E:h:")));
  EXPECT_EQ(other.activeCount(), 2);
  EXPECT_EQ(other.saveState(), QStringLiteral("1 9 500 0 D:nl:"));
}

}  // namespace
}  // namespace kestrune::alarm
