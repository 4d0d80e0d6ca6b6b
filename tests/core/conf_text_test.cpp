// kestrune.conf's workbook sections: one part rewritten with every other line
// kept byte for byte, the settings of each workbook read back, and what cannot
// be stored refused with nothing written.
#include "core/conf_text.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>

namespace kestrune::conf {
namespace {

const QString Odd = QStringLiteral("/data/lab [2]/a=b #1/測定 ]x.xls");

TEST(ConfTextTest, OnePartIsRewrittenAndEveryOtherLineKept) {
  struct Case {
    const char* what;
    QByteArray before;
    Part part;
    Changes changes;
    QByteArray after;
  };
  const QByteArray sections =
      "# lab\nmqtt.url=mqtt://a\n\n[/w/a.xls]\n# hidden series\nchart.hidden=1,2\nmqtt.url=mqtt://in-a\n\n"
      "# book b\n[/w/b.xls]\nchart.hidden=3\n";
  const Case cases[] = {
      {"a new section at the end of an empty text", "", Odd, {{"k", "v"}}, ("[" + Odd + "]\nk=v\n").toUtf8()},
      {"a new section after a text without a final line feed, set off by a blank line",
       "mqtt.url=mqtt://a",
       QStringLiteral("/w/c.xls"),
       {{"k", "v"}},
       "mqtt.url=mqtt://a\n\n[/w/c.xls]\nk=v\n"},
      {"only empty values for a missing section add nothing",
       "x=1\n",
       QStringLiteral("/w/c.xls"),
       {{"k", ""}},
       "x=1\n"},
      {"a key replaced in place, the other section and comments kept",
       sections,
       QStringLiteral("/w/a.xls"),
       {{"chart.hidden", "4"}},
       "# lab\nmqtt.url=mqtt://a\n\n[/w/a.xls]\n# hidden series\nchart.hidden=4\nmqtt.url=mqtt://in-a\n\n"
       "# book b\n[/w/b.xls]\nchart.hidden=3\n"},
      {"an empty value removes the key only",
       sections,
       QStringLiteral("/w/a.xls"),
       {{"chart.hidden", ""}},
       "# lab\nmqtt.url=mqtt://a\n\n[/w/a.xls]\n# hidden series\nmqtt.url=mqtt://in-a\n\n"
       "# book b\n[/w/b.xls]\nchart.hidden=3\n"},
      {"a new key after the section's last key, before the next section's comment",
       sections,
       QStringLiteral("/w/a.xls"),
       {{"chart.y", "log"}},
       "# lab\nmqtt.url=mqtt://a\n\n[/w/a.xls]\n# hidden series\nchart.hidden=1,2\nmqtt.url=mqtt://in-a\n"
       "chart.y=log\n\n# book b\n[/w/b.xls]\nchart.hidden=3\n"},
      {"the global part: a key in place and a new one before the first section; sections untouched",
       sections,
       std::nullopt,
       {{"mqtt.url", "mqtt://new"}, {"mqtt.user", "lab"}},
       "# lab\nmqtt.url=mqtt://new\nmqtt.user=lab\n\n[/w/a.xls]\n# hidden series\nchart.hidden=1,2\n"
       "mqtt.url=mqtt://in-a\n\n# book b\n[/w/b.xls]\nchart.hidden=3\n"},
      {"a global part of comments only gets the key after them",
       "# lab\n\n[/w/a.xls]\nk=1\n",
       std::nullopt,
       {{"mqtt.url", "mqtt://a"}},
       "# lab\nmqtt.url=mqtt://a\n\n[/w/a.xls]\nk=1\n"},
      {"a section named twice: the first line set, the later ones dropped",
       "[/w/a.xls]\nk=1\n[/w/b.xls]\n[/w/a.xls]\nk=2\n",
       QStringLiteral("/w/a.xls"),
       {{"k", "3"}},
       "[/w/a.xls]\nk=3\n[/w/b.xls]\n[/w/a.xls]\n"},
      {"carriage returns and unknown lines stay as they were",
       "odd line\r\n[/w/a.xls]\r\nk=1\r\nx=2\r\n",
       QStringLiteral("/w/a.xls"),
       {{"k", "5"}},
       "odd line\r\n[/w/a.xls]\r\nk=5\nx=2\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const QByteArray after = updatedPart(c.before, c.part, c.changes);
    EXPECT_EQ(after, c.after);
    // What was written reads back, in this part only.
    for (const auto& [key, value] : c.changes) EXPECT_EQ(partValues(after, c.part).value(key), value);
  }
  EXPECT_EQ(partValues(sections, std::nullopt), (Values{{"mqtt.url", "mqtt://a"}}));
  EXPECT_EQ(partValues(sections, QStringLiteral("/w/b.xls")), (Values{{"chart.hidden", "3"}}));
}

QByteArray readAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

TEST(ConfTextTest, EachWorkbookReadsBackItsOwnSettings) {
  QTemporaryDir dir;
  const QString conf = dir.filePath(QStringLiteral("settings/kestrune.conf"));
  const QString a = dir.filePath(QStringLiteral("a.xls"));
  const QString odd = dir.path() + Odd;
  // A missing file is empty settings.
  ASSERT_TRUE(readWorkbookConf(conf, a).ok());
  EXPECT_TRUE(readWorkbookConf(conf, a)->isEmpty());

  ASSERT_TRUE(writeWorkbookConf(conf, a, {{"chart.hidden", "1"}, {"chart.y", "log"}}).ok());
  ASSERT_TRUE(writeWorkbookConf(conf, odd, {{"chart.hidden", "2,3"}}).ok());
  // The same workbook under another spelling of its path.
  const QString aAgain = dir.path() + QStringLiteral("/sub/.././/a.xls");
  ASSERT_TRUE(writeWorkbookConf(conf, aAgain, {{"chart.hidden", ""}, {"alarm.high", "5"}}).ok());

  EXPECT_EQ(*readWorkbookConf(conf, a), (Values{{"chart.y", "log"}, {"alarm.high", "5"}}));
  EXPECT_EQ(*readWorkbookConf(conf, odd), (Values{{"chart.hidden", "2,3"}}));
  EXPECT_TRUE(readWorkbookConf(conf, dir.filePath(QStringLiteral("other.xls")))->isEmpty());
  EXPECT_EQ(readAll(conf), ("[" + a + "]\nchart.y=log\nalarm.high=5\n\n[" + odd + "]\nchart.hidden=2,3\n").toUtf8());
}

TEST(ConfTextTest, WhatCannotBeStoredIsRefusedAndNothingWritten) {
  QTemporaryDir dir;
  const QString conf = dir.filePath(QStringLiteral("kestrune.conf"));
  const QByteArray before = "mqtt.url=mqtt://a\n[/w/a.xls]\nk=1\n";
  {
    QFile f(conf);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(before);
  }
  const QString folder = dir.filePath(QStringLiteral("folder.conf"));
  ASSERT_TRUE(QDir().mkdir(folder));
  struct Case {
    const char* what;
    QString conf;
    QString workbook;
    Values values;
    ConfError refused;
  };
  const Case cases[] = {
      {"a line feed in a value", conf, "/w/a.xls", {{"k", "2\n[/w/b.xls]"}}, ConfError::ControlCharacter},
      {"a tab in a key", conf, "/w/a.xls", {{"k\tx", "2"}}, ConfError::ControlCharacter},
      {"a line feed in the path", conf, "/w/a\n.xls", {{"k", "2"}}, ConfError::ControlCharacter},
      {"'=' in a key", conf, "/w/a.xls", {{"k=x", "2"}}, ConfError::BadKey},
      {"a key that reads as a section", conf, "/w/a.xls", {{"[k]", "2"}}, ConfError::BadKey},
      {"a key that reads as a comment", conf, "/w/a.xls", {{"#k", "2"}}, ConfError::BadKey},
      {"an empty key", conf, "/w/a.xls", {{"", "2"}}, ConfError::BadKey},
      {"blanks around a value", conf, "/w/a.xls", {{"k", " 2"}}, ConfError::BadValue},
      {"no workbook", conf, "", {{"k", "2"}}, ConfError::NoWorkbook},
      {"a folder in the file's place", folder, "/w/a.xls", {{"k", "2"}}, ConfError::Unreadable},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Status written = writeWorkbookConf(c.conf, c.workbook, c.values);
    ASSERT_FALSE(written.ok());
    EXPECT_TRUE(written.error().is(c.refused)) << written.description().toStdString();
    EXPECT_EQ(readAll(conf), before);
  }
  EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files), QStringList{QStringLiteral("kestrune.conf")});
  const auto unread = readWorkbookConf(folder, QStringLiteral("/w/a.xls"));
  ASSERT_FALSE(unread.ok());
  EXPECT_TRUE(unread.error().is(ConfError::Unreadable));
  EXPECT_EQ(*readWorkbookConf(conf, QStringLiteral("/w/a.xls")), (Values{{"k", "1"}}));
}

}  // namespace
}  // namespace kestrune::conf
