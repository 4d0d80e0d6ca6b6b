// `kestrune config --workbook PATH` and the alarm keys of the workbook's
// section of kestrune.conf: set under the same checks as the settings read
// them, checked together with what the section holds, nothing written on a
// refusal; and the program itself exiting 2 on a bad value.
#include "app/config_command.h"

#include "fakes/file_bytes.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace kestrune::app {
namespace {

using testing::readAll;
using testing::writeAll;

// The alarm lines of a listing, in order.
QStringList alarmLines(const QString& listing) {
  QStringList lines;
  for (const QString& line : listing.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
    if (line.startsWith(QLatin1String("alarm."))) lines << line;
  return lines;
}

const QString Book = QStringLiteral("/lab/炉 1.xls");
const QByteArray ConfBefore =
    "mqtt.url=mqtt://broker\n\n[/lab/other.xls]\nalarm.D.high=5\n\n[/lab/炉 1.xls]\n# the furnace\n"
    "chart.hidden=2\nalarm.D.high=30\n";

TEST(ConfigAlarmTest, AlarmKeysAreSetInTheWorkbooksSectionOrRefusedWithNothingWritten) {
  struct Case {
    QStringList assignments;
    bool withWorkbook;
    int status;
    QStringList listed;       // the alarm lines listed (when done)
    QByteArray sectionAfter;  // the section's lines after "# the furnace\n" (when done)
    QStringList named = {};   // what standard error must name (when refused)
  };
  const QStringList none;
  const std::vector<Case> cases = {
      {none, true, ConfigDone, {"alarm.D.high=30", "alarm.silence="}, "chart.hidden=2\nalarm.D.high=30\n"},
      {{"alarm.D.low=10", "alarm.D.margin=0.5", "alarm.silence=60"},
       true,
       ConfigDone,
       {"alarm.D.high=30", "alarm.D.low=10", "alarm.D.margin=0.5", "alarm.silence=60"},
       "chart.hidden=2\nalarm.D.high=30\nalarm.D.low=10\nalarm.D.margin=0.5\nalarm.silence=60\n"},
      {{"alarm.D.high=", "alarm.AB.step=2.5", "alarm.AB.end=ON", "rows=5"},
       true,
       ConfigDone,
       {"alarm.AB.step=2.5", "alarm.AB.end=on", "alarm.silence="},
       "chart.hidden=2\nalarm.AB.end=on\nalarm.AB.step=2.5\n"},
      {{"alarm.D.low=40"}, true, ConfigRefused, {}, {}, {"alarm.D.low=40", "alarm.D.high=30"}},
      {{"alarm.D.high=abc"}, true, ConfigRefused, {}, {}, {"alarm.D.high=abc"}},
      {{"alarm.D.step=-1", "alarm.E.margin=-0.5"}, true, ConfigRefused, {}, {}, {"alarm.D.step=-1", "alarm.E.margin"}},
      {{"alarm.D.step=1", "alarm.D.margin=2"}, true, ConfigRefused, {}, {}, {"alarm.D.margin=2"}},
      {{"alarm.IW.high=1"}, true, ConfigRefused, {}, {}, {"alarm.IW.high", "A～IV"}},
      {{"alarm.D.limit=1"}, true, ConfigRefused, {}, {}, {"alarm.D.limit"}},
      {{"alarm.silence=0"}, true, ConfigRefused, {}, {}, {"alarm.silence=0"}},
      {{"alarm.silence=1", "alarm.silence=2"}, true, ConfigRefused, {}, {}, {"alarm.silence"}},
      {{"rows=5", "alarm.D.end=maybe"}, true, ConfigRefused, {}, {}, {"alarm.D.end=maybe"}},
      {{"rows=5", "alarm.D.high=1"}, false, ConfigRefused, {}, {}, {"alarm.D.high", "--workbook"}},
  };
  QTemporaryDir root;
  ASSERT_TRUE(root.isValid());
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.assignments.join(QLatin1Char(' ')).toStdString());
    const QString dir = root.filePath(QString::number(n++));
    ASSERT_TRUE(QDir().mkpath(dir));
    const QString conf = dir + QStringLiteral("/kestrune.conf");
    writeAll(conf, ConfBefore);
    QStringList arguments{QStringLiteral("--dir"), dir};
    if (c.withWorkbook) arguments << QStringLiteral("--workbook") << Book;
    const ConfigResult result = configCommand(arguments + c.assignments, root.path());
    EXPECT_EQ(result.status, c.status) << result.err.toStdString();
    if (c.status == ConfigDone) {
      EXPECT_EQ(alarmLines(result.out), c.listed);
      EXPECT_TRUE(result.err.isEmpty()) << result.err.toStdString();
      EXPECT_EQ(readAll(conf), ConfBefore.left(ConfBefore.indexOf("chart.hidden")) + c.sectionAfter);
      continue;
    }
    EXPECT_TRUE(result.out.isEmpty());
    for (const QString& name : c.named) EXPECT_TRUE(result.err.contains(name)) << result.err.toStdString();
    EXPECT_EQ(readAll(conf), ConfBefore);
    EXPECT_FALSE(QFile::exists(dir + QStringLiteral("/setup.dat")));
  }
}

TEST(ConfigAlarmTest, ASectionTheProgramRefusesIsListedAsItStandsAndCanBeMended) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString conf = dir.filePath(QStringLiteral("kestrune.conf"));
  writeAll(conf, "[/lab/a.xls]\nalarm.D.high=1\nalarm.D.low=x\nalarm.D.bogus=3\n");
  const QStringList arguments{QStringLiteral("--dir"), dir.path(), QStringLiteral("--workbook"),
                              QStringLiteral("/lab/./a.xls")};
  const ConfigResult listed = configCommand(arguments, dir.path());
  EXPECT_EQ(listed.status, ConfigDone);
  EXPECT_EQ(alarmLines(listed.out), QStringList({"alarm.D.bogus=3", "alarm.D.high=1", "alarm.D.low=x"}));
  EXPECT_TRUE(listed.err.contains(QStringLiteral("alarm.D.low=x"))) << listed.err.toStdString();
  EXPECT_TRUE(listed.err.contains(QStringLiteral("alarm.D.bogus"))) << listed.err.toStdString();

  // Setting another key alone is refused while the section stays wrong.
  EXPECT_EQ(configCommand(arguments + QStringList{QStringLiteral("alarm.E.high=1")}, dir.path()).status, ConfigRefused);
  const ConfigResult mended = configCommand(
      arguments + QStringList{QStringLiteral("alarm.D.bogus="), QStringLiteral("alarm.D.low=-1")}, dir.path());
  EXPECT_EQ(mended.status, ConfigDone) << mended.err.toStdString();
  EXPECT_EQ(alarmLines(mended.out), QStringList({"alarm.D.high=1", "alarm.D.low=-1", "alarm.silence="}));
  EXPECT_EQ(readAll(conf), "[/lab/a.xls]\nalarm.D.high=1\nalarm.D.low=-1\n");
}

TEST(ConfigAlarmTest, TheProgramExitsTwoOnABadAlarmValue) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString conf = dir.filePath(QStringLiteral("kestrune.conf"));
  const auto run = [&dir](const QString& assignment, QString& out) {
    QProcess process;
    process.start(QStringLiteral(KESTRUNE_PATH), {QStringLiteral("config"), QStringLiteral("--dir"), dir.path(),
                                                  QStringLiteral("--workbook"), Book, assignment});
    EXPECT_TRUE(process.waitForFinished(60000));
    out = QString::fromUtf8(process.readAllStandardOutput() + process.readAllStandardError());
    return process.exitCode();
  };
  QString out;
  EXPECT_EQ(run(QStringLiteral("alarm.C.low=-2.5"), out), 0) << out.toStdString();
  EXPECT_TRUE(out.contains(QStringLiteral("alarm.C.low=-2.5\n"))) << out.toStdString();
  const QByteArray saved = readAll(conf);
  EXPECT_EQ(saved, "[/lab/炉 1.xls]\nalarm.C.low=-2.5\n");
  EXPECT_EQ(run(QStringLiteral("alarm.C.high=-3"), out), 2) << out.toStdString();
  EXPECT_TRUE(out.contains(QStringLiteral("alarm.C.low=-2.5"))) << out.toStdString();
  EXPECT_EQ(readAll(conf), saved);
}

}  // namespace
}  // namespace kestrune::app
