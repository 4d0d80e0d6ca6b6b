// Journals and an outbox written by earlier builds (tests/data/journal,
// tests/data/outbox) still read: the journal's rows come back as they were
// written, a torn last line costs only itself, and the outbox hands over its
// pending messages in order. Continuing a stored file keeps it readable.
#include "mqtt/outbox.h"
#include "sheet/journal.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace kestrune {
namespace {

const QString DataDir = QStringLiteral(KESTRUNE_LOG_TEST_DATA);

QString describe(const sheet::CellValue& value) {
  if (const auto* text = std::get_if<QString>(&value)) return QStringLiteral("s:") + *text;
  if (const auto* n = std::get_if<std::int32_t>(&value)) return QStringLiteral("n:%1").arg(*n);
  const sheet::Stamp& stamp = std::get<sheet::Stamp>(value);
  const char* kind = stamp.kind == sheet::Stamp::Kind::Date   ? "d:"
                     : stamp.kind == sheet::Stamp::Kind::Time ? "t:"
                                                              : "dt:";
  return QLatin1String(kind) + QString::number(stamp.value.toMSecsSinceEpoch());
}

// One row as a line: its sheet and row, its values, the cursor after it and
// whether it was saved or ended.
QString describe(const sheet::JournalRow& row) {
  QString text = QStringLiteral("%1!%2").arg(row.sheet).arg(row.row);
  for (const sheet::JournalCell& cell : row.cells)
    text += QStringLiteral(" %1,%2=%3").arg(cell.row).arg(cell.column).arg(describe(cell.value));
  text += QStringLiteral(" -> %1,%2 #%3").arg(row.nextRow).arg(row.nextColumn).arg(row.acquisitionNo);
  if (row.saved) text += QStringLiteral(" saved");
  if (!row.ended) text += QStringLiteral(" open");
  return text;
}

QStringList journalRows(const QString& book) {
  const Result<sheet::FoundJournal> found = sheet::findJournal(book);
  EXPECT_TRUE(found) << found.description().toStdString();
  if (!found) return {};
  EXPECT_EQ(found->contents.damagedLines, 0);
  QStringList rows;
  for (const sheet::JournalRow& row : found->contents.rows) rows << describe(row);
  return rows;
}

QStringList outboxPending(mqtt::Outbox& box) {
  QStringList messages;
  for (auto m = box.after(box.ackedSeq()); m; m = box.after(m->seq))
    messages << QStringLiteral("%1 %2 %3").arg(m->seq).arg(m->topic, QString::fromUtf8(m->payload));
  return messages;
}

struct StoredLog {
  const char* file;  // below tests/data
  bool journal;      // else an outbox
  QStringList expected;
};

const QString Row2 = QStringLiteral("データ!2 2,1=n:-7 2,2=dt:1796000000123 2,3=s:温度\t0\\n -> 3,1 #10 saved");
const QString Row3 = QStringLiteral("データ!3 3,1=n:-6 3,2=dt:1796000001123 3,3=s:温度\t1\\n -> 4,1 #11");
const QString Row4 = QStringLiteral("データ!4 4,1=n:-5 4,2=dt:1796000002123 4,3=s:温度\t2\\n -> 5,1 #12");
const QString Open5 = QStringLiteral("Sheet2!5 5,2=d:1796000000123 5,3=t:1796000000123 -> 6,2 #13 open");

TEST(StoredLogsTest, FilesOfEarlierBuildsReadBackExactly) {
  const StoredLog cases[] = {
      {"journal/rows-partial-saved.kestrune-journal", true, {Row2, Row3, Row4, Open5}},
      {"journal/torn-last-line.kestrune-journal",
       true,
       {QStringLiteral("Sheet1!1 1,1=s:v0 1,2=n:100 -> 2,1 #1"),
        QStringLiteral("Sheet1!2 2,1=s:v1 2,2=n:101 -> 3,1 #2"),
        QStringLiteral("Sheet1!3 3,1=s:v2 3,2=n:102 -> 4,1 #3 open")}},
      {"outbox/mqtt-outbox",
       false,
       {QStringLiteral("3 lab/a {\"seq\":3,\"v\":\"温度\"}"), QStringLiteral("4 lab/\tline {\"seq\":4,\"v\":\"温度\"}"),
        QStringLiteral("5 lab/a {\"seq\":5,\"v\":\"温度\"}"), QStringLiteral("6 lab/b {\"seq\":6,\"v\":\"温度\"}")}},
  };
  for (const StoredLog& c : cases) {
    SCOPED_TRACE(c.file);
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString book = dir.filePath(QStringLiteral("book.xls"));
    const QString copy = c.journal ? sheet::journalPathBeside(book) : dir.filePath(QStringLiteral("mqtt-outbox"));
    ASSERT_TRUE(QFile::copy(DataDir + QLatin1Char('/') + QLatin1String(c.file), copy));
    ASSERT_TRUE(QFile::setPermissions(copy, QFile::ReadOwner | QFile::WriteOwner));
    if (c.journal) {
      QFile(book).open(QIODevice::WriteOnly);
      EXPECT_EQ(journalRows(book), c.expected);
      // Continued by this build: the open row ends, one more follows, and
      // the file still reads with every earlier row as it was.
      sheet::JournalWriter writer;
      ASSERT_TRUE(writer.open(book, copy));
      ASSERT_TRUE(writer.rowPending());
      ASSERT_TRUE(writer.endRow(40, 1, 40));
      ASSERT_TRUE(writer.cell(sheet::RowStart{40, 1, 41}, 1, QStringLiteral("next")));
      ASSERT_TRUE(writer.endRow(41, 1, 41));
      writer.close();
      QStringList after = journalRows(book);
      ASSERT_EQ(after.size(), c.expected.size() + 1);
      EXPECT_EQ(after.mid(0, c.expected.size() - 1), c.expected.mid(0, c.expected.size() - 1));
      EXPECT_TRUE(after[c.expected.size() - 1].endsWith(QStringLiteral("-> 40,1 #40")));
      // No sheet was chosen for it: the row names none.
      EXPECT_EQ(after.back(), QStringLiteral("!40 40,1=s:next -> 41,1 #41"));
    } else {
      mqtt::Outbox box;
      ASSERT_TRUE(box.open(copy));
      EXPECT_EQ(box.ackedSeq(), 2u);
      EXPECT_EQ(outboxPending(box), c.expected);
      ASSERT_TRUE(box.acknowledge(4));
      EXPECT_EQ(*box.append(QStringLiteral("lab/c"), [](std::uint64_t) { return QByteArray("{}"); }), 7u);
      box.close();
      ASSERT_TRUE(box.open(copy));
      EXPECT_EQ(outboxPending(box), (QStringList{c.expected[2], c.expected[3], QStringLiteral("7 lab/c {}")}));
    }
  }
}

}  // namespace
}  // namespace kestrune
