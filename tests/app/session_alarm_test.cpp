// Alarms in a run: the rules of the workbook's section of kestrune.conf, the
// marks, the log, MQTT's alarm topic, the rule that ends the run, bad rules
// refused at Start, and a run recovered after a crash going on with its
// alarms as they were.
#include "app/acquisition_session.h"
#include "app/chart_model.h"

#include "core/conf_text.h"
#include "mqtt/mqtt_settings.h"

#include "fakes/conditions.h"
#include "fakes/fake_port.h"
#include "fakes/fake_spreadsheet.h"
#include "fakes/manual_clock.h"
#include "fakes/recording_message_boxes.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <memory>

namespace kestrune::app {
namespace {

using testing::changeConditions;
using testing::FakePort;
using testing::FakeSpreadsheet;

// One session on a folder and a workbook; a second one on the same files
// stands for the program started again after a crash.
struct LoggerRun {
  LoggerRun(const QString& folder, const QString& book, std::shared_ptr<FakeSpreadsheet::Log> log)
      : session([](int) { return std::make_unique<FakePort>(); }, settings::SettingsFolder::fixed(folder), clock,
                [log]() -> Result<std::unique_ptr<sheet::SpreadsheetApp>> {
                  return std::unique_ptr<sheet::SpreadsheetApp>(std::make_unique<FakeSpreadsheet>(log));
                }) {
    session.setTickInterval(0);
    QObject::connect(&session, &AcquisitionSession::message, &session,
                     [this](const QString& text, MessageIcon icon, const QString& informative) {
                       boxes.show(text, icon, informative);
                     });
    QObject::connect(&session, &AcquisitionSession::alarmChanged, &session,
                     [this](const alarm::AlarmEvent&, const QString& line, int active) {
                       lines << line;
                       actives.push_back(active);
                     });
    session.setWorkbookPath(book);
    EXPECT_TRUE(session.open());
    changeConditions(session, [](settings::Conditions& c) {
      c.rows = 100;
      c.cursor.row = 1;
      c.cursor.columnNo = 1;
    });
  }
  // Each line received, then ticks until its row is in.
  void feed(const std::vector<const char*>& received) {
    for (const char* line : received) {
      static_cast<FakePort&>(session.port(0)).receive(QString::fromUtf8(line).toStdU16String() + u"\r");
      for (int i = 0; i < 20 && session.runLoaded(); ++i) tick();
    }
  }
  void tick() {
    clock.advance(10);
    session.tick();
    QCoreApplication::sendPostedEvents();
  }

  testing::ManualClock clock{5000};
  testing::RecordingMessageBoxes boxes;
  AcquisitionSession session;
  QStringList lines;
  std::vector<int> actives;
};

class SessionAlarmTest : public ::testing::Test {
protected:
  SessionAlarmTest() {
    book = dir.filePath(QStringLiteral("book.xls"));
    QFile(book).open(QIODevice::WriteOnly);
  }
  void writeConf(const QByteArray& global, const QByteArray& section) {
    QFile conf(dir.filePath(mqtt::ConfFileName));
    ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
    conf.write(global + "[" + conf::workbookSection(book).toUtf8() + "]\n" + section);
  }
  QByteArray outbox() {
    QFile f(dir.filePath(QStringLiteral("mqtt-outbox")));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }

  QTemporaryDir dir;
  QString book;
  std::shared_ptr<FakeSpreadsheet::Log> sheet = std::make_shared<FakeSpreadsheet::Log>();
};

TEST_F(SessionAlarmTest, EachCrossingMarksLogsAndPublishesOnceAndTheEndRuleEndsTheRun) {
  writeConf("mqtt.url=mqtt://127.0.0.1:1\n",  // nothing listens: the messages wait in the outbox
            "alarm.A.high=30\nalarm.A.margin=2\nalarm.B.low=0\nalarm.B.end=on\n");
  LoggerRun run(dir.path(), book, sheet);
  ASSERT_TRUE(run.session.start());
  EXPECT_TRUE(run.session.alarmsOn());
  ASSERT_NE(run.session.alarmRules(), nullptr);
  EXPECT_EQ(run.session.alarmRules()->columns.size(), 2u);
  // The chart takes the events and the rows as the main window hands them over.
  ChartModel chart;
  QObject::connect(&run.session, &AcquisitionSession::alarmChanged,
                   [&](const alarm::AlarmEvent& event, const QString&, int) { chart.addAlarm(event); });
  QObject::connect(&run.session, &AcquisitionSession::rowAcquired, [&](const AcquiredRow& row) { chart.addRow(row); });
  // Row 3 wavers inside the margin: no clearing until row 4.
  run.feed({"25,5", "31,5", "29,5", "27,5", "x,5", "26,5", "26,-1", "20,5"});
  // The high alarm on A's second row and the low one on B's seventh mark their points.
  EXPECT_EQ(chart.alarmMarks(), (std::vector<ChartModel::AlarmMark>{{0, 1, 31.0}, {1, 6, -1.0}}));
  EXPECT_FALSE(run.session.runLoaded());
  EXPECT_TRUE(run.session.endedByAlarm());

  const QStringList expected = {
      QStringLiteral("A列 31：上限 30 を超えています"),  QStringLiteral("A列 27：上限 30 の内に戻りました"),
      QStringLiteral("A列 「x」：数値ではありません"),   QStringLiteral("A列 26：数値に戻りました"),
      QStringLiteral("B列 -1：下限 0 を下回っています"),
  };
  ASSERT_EQ(run.lines.size(), expected.size()) << run.lines.join(QLatin1Char('\n')).toStdString();
  for (qsizetype i = 0; i < expected.size(); ++i) {
    EXPECT_TRUE(run.lines[i].endsWith(expected[i])) << run.lines[i].toStdString();
    EXPECT_TRUE(run.lines[i].startsWith(i % 2 == 0 ? QStringLiteral("アラーム ") : QStringLiteral("アラーム解除 ")));
    EXPECT_TRUE(run.session.log().text().contains(run.lines[i])) << run.lines[i].toStdString();
  }
  EXPECT_EQ(run.actives, (std::vector<int>{1, 0, 1, 0, 1}));
  // The cells that raised an alarm, and no other.
  EXPECT_EQ(sheet->marks[QStringLiteral("Sheet1")], (std::set<std::pair<int, int>>{{2, 1}, {5, 1}, {7, 2}}));
  // The row after the end was never taken.
  EXPECT_EQ(sheet->cells.count({8, 1}), 0u);

  // The alarm messages in the outbox, in order.
  std::vector<QJsonObject> alarms;
  static const QRegularExpression object(QStringLiteral(R"(\{[^{}]*"rule"[^{}]*\})"));
  for (auto it = object.globalMatch(QString::fromUtf8(outbox())); it.hasNext();)
    alarms.push_back(QJsonDocument::fromJson(it.next().captured(0).toUtf8()).object());
  ASSERT_EQ(alarms.size(), 5u);
  const auto field = [&](std::size_t i, const char* key) { return alarms[i].value(QLatin1String(key)); };
  EXPECT_EQ(field(0, "column").toString(), QStringLiteral("A"));
  EXPECT_EQ(field(0, "value").toDouble(), 31.0);
  EXPECT_EQ(field(0, "rule").toString(), QStringLiteral("high"));
  EXPECT_EQ(field(0, "limit").toDouble(), 30.0);
  EXPECT_EQ(field(0, "state").toString(), QStringLiteral("raised"));
  EXPECT_EQ(field(0, "sequence").toInteger(), 2);
  EXPECT_EQ(field(0, "row").toInteger(), 2);
  EXPECT_EQ(field(1, "state").toString(), QStringLiteral("cleared"));
  EXPECT_EQ(field(2, "value").toString(), QStringLiteral("x"));
  EXPECT_EQ(field(2, "rule").toString(), QStringLiteral("not-a-number"));
  EXPECT_EQ(field(4, "rule").toString(), QStringLiteral("low"));
  EXPECT_TRUE(outbox().contains("/alarm"));
}

TEST_F(SessionAlarmTest, RulesThatCannotBeUsedRefuseTheStartNamingTheKey) {
  writeConf({}, "alarm.A.high=warm\n");
  LoggerRun run(dir.path(), book, sheet);
  EXPECT_FALSE(run.session.start());
  EXPECT_FALSE(run.session.port(0).portOpen());
  ASSERT_FALSE(run.boxes.shown.empty());
  EXPECT_EQ(run.boxes.shown.back().text, MsgAlarmRules);
  EXPECT_TRUE(run.boxes.shown.back().informative.contains(QStringLiteral("alarm.A.high")));
}

// A crash at each point of the row that raises an alarm: the run started
// after recovery raises it exactly once over both runs (at its start when the
// crash came before the alarms took the row), does not raise it again while
// the value stays high, and clears it when it returns. Without the carried
// state (an End instead of a crash) the same rows raise it a second time.
TEST_F(SessionAlarmTest, ARunRecoveredAfterACrashGoesOnWithItsAlarms) {
  writeConf({}, "alarm.A.high=30\n");
  enum class Crash { None, AfterTheAlarm, BeforeItsAlarms, WithinTheRow };
  const struct {
    Crash crash;
    int raisedFirst;    // alarm lines of the first run
    int raisedAtStart;  // lines the second run says before its own rows
  } cases[] = {
      {Crash::None, 1, 0}, {Crash::AfterTheAlarm, 1, 0}, {Crash::BeforeItsAlarms, 0, 1}, {Crash::WithinTheRow, 0, 1}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.crash));
    *sheet = {};  // each case from A1 of an empty sheet
    {
      LoggerRun first(dir.path(), book, sheet);
      ASSERT_TRUE(first.session.start());
      first.feed({"25", "31"});
      ASSERT_EQ(first.lines.size(), 1);
      // A crash leaves the journal; an End and a close retire it.
      if (c.crash == Crash::None) {
        first.session.end();
        ASSERT_TRUE(first.session.close());
      }
    }
    if (c.crash == Crash::BeforeItsAlarms || c.crash == Crash::WithinTheRow) {
      // The journal as a kill leaves it after the second row's end line, or
      // after its value and before its end: without that row's mark and alarms.
      QFile journal(book + QStringLiteral(".kestrune-journal"));
      ASSERT_TRUE(journal.open(QIODevice::ReadWrite));
      QList<QByteArray> lines = journal.readAll().split('\n');
      qsizetype lastRow = lines.size() - 1;
      while (lastRow >= 0 && !lines[lastRow].startsWith("row\t")) --lastRow;
      ASSERT_GT(lastRow, 0);
      lines = lines.mid(0, c.crash == Crash::BeforeItsAlarms ? lastRow + 1 : lastRow);
      ASSERT_TRUE(journal.resize(0));
      journal.write(lines.join('\n') + '\n');
      sheet->marks.clear();
    }
    LoggerRun second(dir.path(), book, sheet);
    ASSERT_TRUE(second.session.start());
    EXPECT_EQ(second.lines.size(), c.raisedAtStart) << second.lines.join(QLatin1Char('\n')).toStdString();
    second.feed({"32", "20"});
    second.session.end();
    ASSERT_TRUE(second.session.close());
    const QString said = second.lines.join(QLatin1Char('\n'));
    if (c.crash == Crash::None) {
      ASSERT_EQ(second.lines.size(), 2) << said.toStdString();
      EXPECT_TRUE(second.lines[0].startsWith(QStringLiteral("アラーム "))) << said.toStdString();
      continue;
    }
    ASSERT_EQ(second.lines.size(), 1 + c.raisedAtStart) << said.toStdString();
    EXPECT_TRUE(second.lines.back().startsWith(QStringLiteral("アラーム解除"))) << said.toStdString();
    if (c.raisedAtStart > 0) {
      EXPECT_TRUE(second.lines[0].startsWith(QStringLiteral("アラーム "))) << said.toStdString();
    }
    // The crossing's cell is marked in the recovered workbook either way.
    EXPECT_EQ(sheet->marks[sheet->activeSheet.name], (std::set<std::pair<int, int>>{{2, 1}}));
  }
}

}  // namespace
}  // namespace kestrune::app
