// The alarm dialog: which columns it lists and their headers, what OK writes
// into the workbook's section (and nothing else), what it refuses while
// staying open with the file untouched; the main window's menu opens it.
#include "app/alarm_dialog.h"

#include "core/alarm_rules.h"

#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QTableWidget>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace kestrune::app {
namespace {

// Table columns as the dialog lays them out.
enum { Letters, Header, High, Low, Step, Margin, End };

class AlarmDialogTest : public ::testing::Test {
protected:
  void SetUp() override {
    path = dir.filePath(QStringLiteral("kestrune.conf"));
    book = dir.filePath(QStringLiteral("炉 [1].xls"));
    write("# settings\nmqtt.url=mqtt://old:1883\n\n[/elsewhere/b.xls]\nalarm.D.high=1\n[" + book.toUtf8() +
          "]\nchart.window=60\nalarm.D.high=30\nalarm.Q.low=-5\n# kept\nother=x\n");
  }
  void write(const QByteArray& text) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text);
  }
  QByteArray saved() {
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly));
    return f.readAll();
  }
  AlarmDialogSource source(int first = 4, int count = 3) {
    return {.readPath = path,
            .writePath = path,
            .workbook = book,
            .firstColumn = first,
            .columnCount = count,
            .header = [](int column) { return QStringLiteral("見出し%1").arg(column); }};
  }
  static QTableWidget* table(AlarmDialog& d) { return d.findChild<QTableWidget*>(QStringLiteral("TableAlarm")); }
  // Sets a field of the row of `letters`.
  static void set(AlarmDialog& d, const QString& letters, int field, const QString& text) {
    QTableWidget* t = table(d);
    for (int r = 0; r < t->rowCount(); ++r) {
      if (t->item(r, Letters)->text() != letters) continue;
      if (field == End)
        t->item(r, End)->setCheckState(text.isEmpty() ? Qt::Unchecked : Qt::Checked);
      else
        t->item(r, field)->setText(text);
      return;
    }
    ADD_FAILURE() << "no row " << letters.toStdString();
  }
  static QString errorText(AlarmDialog& d) { return d.findChild<QLabel*>(QStringLiteral("LabelAlarmError"))->text(); }

  QTemporaryDir dir;
  QString path;
  QString book;
};

TEST_F(AlarmDialogTest, ListsTheRunsColumnsAndTheColumnsWithRules) {
  const auto conditions = [](const char* column, bool numbering, settings::StampMode stamp) {
    settings::Conditions c;
    c.cursor.column = QString::fromLatin1(column);
    c.numbering = numbering;
    c.stamp = stamp;
    return c;
  };
  const struct {
    settings::Conditions conditions;
    int count;
    QStringList letters;
  } cases[] = {
      {conditions("B", false, settings::StampMode::None), 3, {"B", "C", "D", "Q"}},
      {conditions("B", true, settings::StampMode::Time), 2, {"D", "E", "Q"}},
      {conditions("Y", true, settings::StampMode::None), 2, {"D", "Q", "Z", "AA"}},
      {conditions("IU", false, settings::StampMode::None), 10, {"D", "Q", "IU", "IV"}},  // the sheet ends at IV
  };
  for (const auto& c : cases) {
    AlarmDialog d(source(firstValueColumn(c.conditions), c.count));
    QStringList letters;
    for (int r = 0; r < table(d)->rowCount(); ++r) {
      letters << table(d)->item(r, Letters)->text();
      const int column = alarm::columnNumber(letters.last()).value_or(0);
      EXPECT_EQ(table(d)->item(r, Header)->text(), QStringLiteral("見出し%1").arg(column));
    }
    EXPECT_EQ(letters, c.letters) << c.conditions.cursor.column.toStdString();
  }
  AlarmDialog d(source());
  EXPECT_EQ(d.windowTitle(), QStringLiteral("アラームの設定"));
  EXPECT_EQ(d.findChild<QLabel*>(QStringLiteral("LabelAlarmNextStart")), nullptr);
  EXPECT_EQ(d.tableText().rows.front(), (AlarmRowText{.column = 4, .high = QStringLiteral("30")}));
  EXPECT_EQ(d.tableText().rows.back(), (AlarmRowText{.column = 17, .low = QStringLiteral("-5")}));
  // A column added by its letters joins in order; letters naming no column are refused.
  EXPECT_TRUE(d.addColumn(QStringLiteral("h")));
  EXPECT_EQ(table(d)->item(3, Letters)->text(), QStringLiteral("H"));
  EXPECT_FALSE(d.addColumn(QStringLiteral("IW")));
  EXPECT_TRUE(errorText(d).contains(QStringLiteral("IW")));

  AlarmDialogSource running = source();
  running.runOn = true;
  AlarmDialog during(running);
  ASSERT_NE(during.findChild<QLabel*>(QStringLiteral("LabelAlarmNextStart")), nullptr);
}

TEST_F(AlarmDialogTest, OkWritesOnlyTheAlarmKeysOfTheWorkbook) {
  AlarmDialog d(source());
  set(d, QStringLiteral("D"), High, QStringLiteral(" 850 "));
  set(d, QStringLiteral("D"), Margin, QStringLiteral("5"));
  set(d, QStringLiteral("E"), Low, QStringLiteral("-1.5"));
  set(d, QStringLiteral("E"), Step, QStringLiteral("1e1"));
  set(d, QStringLiteral("E"), End, QStringLiteral("on"));
  set(d, QStringLiteral("Q"), Low, QString());  // removed
  d.findChild<QLineEdit*>(QStringLiteral("TextAlarmSilence"))->setText(QStringLiteral("60"));
  d.show();
  d.accept();
  EXPECT_EQ(d.result(), QDialog::Accepted);
  EXPECT_EQ(errorText(d), QString());

  const Result<conf::Values> read = conf::readWorkbookConf(path, book);
  ASSERT_TRUE(read);
  EXPECT_EQ(*read, (conf::Values{{"chart.window", "60"},
                                 {"other", "x"},
                                 {"alarm.D.high", "850"},
                                 {"alarm.D.margin", "5"},
                                 {"alarm.E.low", "-1.5"},
                                 {"alarm.E.step", "10"},
                                 {"alarm.E.end", "on"},
                                 {"alarm.silence", "60"}}));
  const Result<alarm::AlarmRules> rules = alarm::parseRules(*read);
  ASSERT_TRUE(rules);
  EXPECT_EQ(rules->columns.size(), 2u);
  // Every other line as it was, byte for byte.
  EXPECT_EQ(saved(), "# settings\nmqtt.url=mqtt://old:1883\n\n[/elsewhere/b.xls]\nalarm.D.high=1\n[" + book.toUtf8() +
                         "]\nchart.window=60\nalarm.D.high=850\n# kept\nother=x\nalarm.D.margin=5\nalarm.E.end=on\n"
                         "alarm.E.low=-1.5\nalarm.E.step=10\nalarm.silence=60\n");

  // Reopened, the dialog shows what was saved.
  AlarmDialog again(source());
  EXPECT_EQ(again.tableText().rows.at(1), (AlarmRowText{.column = 5, .low = "-1.5", .step = "10", .endsRun = true}));
  EXPECT_EQ(again.tableText().silence, QStringLiteral("60"));
}

TEST_F(AlarmDialogTest, RefusesBadValuesNamingColumnAndFieldAndWritesNothing) {
  const QByteArray before = saved();
  const struct {
    const char* column;
    int field;
    const char* text;
    const char* shown;  // part of the message shown
  } cases[] = {
      {"D", High, "abc", "D列の上限"},
      {"E", Low, "1,5", "E列の下限"},
      {"E", Step, "-1", "E列の変化幅"},
      {"F", Margin, "-0.5", "F列の解除の幅"},
      {"D", Low, "31", "alarm.D.low=31 が alarm.D.high=30 より大きく"},
      {"E", Margin, "2", "alarm.E.margin=2 が alarm.E.step=1"},
      {"", 0, "0", "無応答（秒）"},
      {"", 0, "x", "alarm.silence=x"},
  };
  for (const auto& c : cases) {
    AlarmDialog d(source());
    set(d, QStringLiteral("E"), Step, QStringLiteral("1"));
    if (*c.column)
      set(d, QString::fromLatin1(c.column), c.field, QString::fromUtf8(c.text));
    else
      d.findChild<QLineEdit*>(QStringLiteral("TextAlarmSilence"))->setText(QString::fromUtf8(c.text));
    d.show();
    d.accept();
    EXPECT_TRUE(d.isVisible()) << c.shown;
    EXPECT_TRUE(errorText(d).contains(QString::fromUtf8(c.shown))) << errorText(d).toStdString();
    EXPECT_EQ(saved(), before) << c.shown;
    d.reject();
    EXPECT_EQ(saved(), before) << c.shown;  // Cancel writes nothing either
  }
}

}  // namespace
}  // namespace kestrune::app
