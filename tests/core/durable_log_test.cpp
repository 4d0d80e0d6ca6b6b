// The durable log on its own: lines torn by a crash, damaged lines, what
// counts as durable, and rewriting the file in place.
#include "core/durable_log.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace kestrune {
namespace {

QByteArray contents(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(unreadable)");
}

TEST(DurableLogTest, OnlyWholeLinesCountAndATornTailIsCutBeforeAppending) {
  struct Case {
    const char* name;
    QByteArray bytes;
    QList<QByteArray> lines;
  };
  const Case cases[] = {
      {"empty", "", {}},
      {"cut in the first line", "head", {}},
      {"whole", "head\na\tb\n", {"head", "a\tb"}},
      {"cut after a line", "head\na\tb\nc\t", {"head", "a\tb"}},
      {"CR LF ends", "head\r\nx\r\n", {"head", "x"}},
      {"empty line kept", "head\n\nx\n", {"head", "", "x"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log"));
    {
      QFile f(path);
      ASSERT_TRUE(f.open(QIODevice::WriteOnly));
      f.write(c.bytes);
    }
    DurableLog log({0600, false});
    const LogResult<QByteArray> read = log.open(path);
    ASSERT_TRUE(read) << read.description().toStdString();
    EXPECT_EQ(*read, c.bytes);
    qsizetype end = -1;
    EXPECT_EQ(wholeLines(*read, end), c.lines);
    ASSERT_TRUE(log.cut(end));
    ASSERT_TRUE(log.append("next\n", 1));
    ASSERT_TRUE(log.sync());
    log.close();
    EXPECT_EQ(contents(path), c.bytes.left(end) + "next\n");
  }
}

TEST(DurableLogTest, ALineWhoseChecksumFailsIsNotRead) {
  const QByteArray good = checkedLine({"cell", "2", "s", "温度"});
  ASSERT_TRUE(good.endsWith('\n'));
  const QByteArray text = good.chopped(1);
  struct Case {
    const char* name;
    QByteArray line;
    bool reads;
  };
  QByteArray flipped = text;
  flipped[2] = static_cast<char>(flipped[2] ^ 0x01);
  QByteArray wrongSum = text;
  wrongSum[wrongSum.size() - 1] = wrongSum.back() == '0' ? '1' : '0';
  const Case cases[] = {
      {"as written", text, true},
      {"a bit flipped in a field", flipped, false},
      {"a wrong checksum", wrongSum, false},
      {"no checksum", "cell\t2\ts\tx", false},
      {"checksum cut short", text.chopped(1), false},
      {"a field lost", text.sliced(text.indexOf('\t') + 1), false},
      // zlib's CRC-32 of "a": anyone can check the format with another tool.
      {"known checksum", "a\te8b7be43", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto fields = checkedFields(c.line);
    EXPECT_EQ(fields.has_value(), c.reads);
  }
  EXPECT_EQ(checkedFields(text), (QList<QByteArray>{"cell", "2", "s", "温度"}));
}

// A record counts as durable once a sync covered it; rewriting the file
// keeps the count.
TEST(DurableLogTest, TheDurableCountFollowsTheSyncs) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("log"));
  DurableLog log({0600, false});
  ASSERT_TRUE(log.open(path, true));
  log.resetCount(3);
  EXPECT_EQ(log.durableCount(), 3);
  ASSERT_TRUE(log.append("m\t4\n", 4));
  ASSERT_TRUE(log.append("m\t5\n", 5));
  ASSERT_TRUE(log.sync());
  EXPECT_EQ(log.durableCount(), 5);
  ASSERT_TRUE(log.append("m\t6\n", 6));
  ASSERT_TRUE(log.replace(path, "compacted\n"));
  EXPECT_EQ(log.durableCount(), 6);
  EXPECT_EQ(log.size(), 10);
  log.close();
  EXPECT_EQ(contents(path), "compacted\n");
}

// Rewriting: the file ends up holding exactly the new bytes, appends go on
// in it, and a link planted at the new file's name or at the place itself
// is replaced, never written through.
TEST(DurableLogTest, ReplacingWritesTheWholeFileAndNeverThroughALink) {
  struct Case {
    const char* name;
    const char* linkAt;  // "", ".new" or "place"
    bool otherPlace;     // moves to another file instead of compacting
  };
  const Case cases[] = {
      {"compact in place", "", false},
      {"move elsewhere", "", true},
      {"a link at the new file", ".new", false},
      {"a link at the other place", "place", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log"));
    const QString place = c.otherPlace ? dir.filePath(QStringLiteral("sub/moved")) : path;
    const QString precious = dir.filePath(QStringLiteral("precious"));
    {
      QFile f(precious);
      ASSERT_TRUE(f.open(QIODevice::WriteOnly));
      f.write("keep\n");
    }
    DurableLog log({0600, true});
    ASSERT_TRUE(log.open(path, true));
    ASSERT_TRUE(log.append("old 1\nold 2\n", 2));
    if (QByteArray(c.linkAt) == ".new") {
      ASSERT_TRUE(QFile::link(precious, path + QStringLiteral(".new")));
    }
    if (QByteArray(c.linkAt) == "place") {
      ASSERT_TRUE(QDir().mkpath(QFileInfo(place).absolutePath()));
      ASSERT_TRUE(QFile::link(precious, place));
    }
    const LogStatus replaced = log.replace(place, "header\nold 2\n");
    ASSERT_TRUE(replaced) << replaced.description().toStdString();
    EXPECT_EQ(log.path(), place);
    ASSERT_TRUE(log.append("new\n", 3));
    log.close();
    EXPECT_FALSE(QFileInfo(place).isSymLink());
    EXPECT_EQ(contents(place), "header\nold 2\nnew\n");
    EXPECT_EQ(contents(precious), "keep\n");
    EXPECT_FALSE(QFileInfo::exists(place + QStringLiteral(".new")));
    if (c.otherPlace) {
      EXPECT_EQ(contents(path), "old 1\nold 2\n") << "the owner removes the old file";
    }
    struct stat info {};
    ASSERT_EQ(::stat(QFile::encodeName(place).constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
  }
}

TEST(DurableLogTest, OpeningTellsWhatStandsInTheWay) {
  struct Case {
    const char* name;
    bool link;
    bool createMissing;
    std::optional<LogFault> fault;
  };
  const Case cases[] = {
      {"missing", false, false, LogFault::Missing},
      {"missing, created", false, true, std::nullopt},
      {"a link", true, true, LogFault::Link},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("log"));
    if (c.link) {
      ASSERT_TRUE(QFile::link(dir.filePath(QStringLiteral("elsewhere")), path));
    }
    DurableLog log({0600, false});
    const LogResult<QByteArray> opened = log.open(path, c.createMissing);
    EXPECT_EQ(opened.ok(), !c.fault);
    if (c.fault) {
      EXPECT_EQ(opened.error().fault, *c.fault);
      EXPECT_EQ(opened.error().path, path);
      EXPECT_FALSE(log.isOpen());
      EXPECT_FALSE(QFileInfo::exists(dir.filePath(QStringLiteral("elsewhere"))));
    }
  }
}

}  // namespace
}  // namespace kestrune
