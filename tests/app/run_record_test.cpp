// The run record and verify: a record written as a run writes it, next to a
// workbook written as the built-in application writes it; then the record
// tampered with, or the workbook edited by another program (python3-xlwt
// from what python3-xlrd read), and verify must name exactly what changed.
#include "app/acquisition_session.h"
#include "app/run_record.h"
#include "app/verify_command.h"
#include "sheet/embedded/cell_text.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

namespace kestrune::app {
namespace {

using Kind = VerifyFinding::Kind;
// kind, row, column or line, the row moved to
using Seen = std::tuple<Kind, int, int, int>;

constexpr int FirstRow = 2;
constexpr int Rows = 6;  // rows 2 to 7, columns B (number), C (stamp), D, E

class RunRecordTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    book = dir.filePath(QStringLiteral("book.xls"));
    xls::Workbook workbook = xls::Workbook::createEmpty();
    RunRecord record;
    ASSERT_TRUE(record.open(recordPathFor(book), {}, QDateTime::currentDateTime()));
    ASSERT_TRUE(record.beginRun(QJsonObject{{QStringLiteral("sheet"), QStringLiteral("Sheet1")}}));
    for (int i = 0; i < Rows; ++i) {
      // Values whose doubles have no short decimal form, text, an empty field.
      const std::vector<sheet::CellValue> cells{
          std::int32_t{i + 1}, Stamp{QDateTime(QDate(2026, 12, 8), QTime(10, 0, i, 123 + i)), Stamp::Kind::DateTime},
          QString::number(0.1 * (i + 1) + 0.2, 'g', 17), i == 3 ? QString() : QStringLiteral("測定OK%1").arg(i)};
      for (std::size_t c = 0; c < cells.size(); ++c) {
        const Result<xls::Value> value = sheet::embedded::toEngineValue(cells[c], false);
        ASSERT_TRUE(value);
        ASSERT_TRUE(workbook.setCell(0, FirstRow + i - 1, 1 + static_cast<std::uint32_t>(c), *value));
      }
      AcquiredRow row = rowFromCells(cells);
      row.sequence = static_cast<std::uint64_t>(i + 1);
      row.sheet = QStringLiteral("Sheet1");
      row.row = FirstRow + i;
      row.firstColumn = 2;
      ASSERT_TRUE(record.take(row));
    }
    ASSERT_TRUE(record.endRun(QDateTime::currentDateTime()));
    ASSERT_TRUE(record.close());
    ASSERT_TRUE(workbook.save(book.toStdString()));
  }

  std::vector<Seen> verify() {
    QFile file(recordPathFor(book));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    const auto workbook = xls::Workbook::open(book.toStdString());
    EXPECT_TRUE(workbook);
    const VerifyReport report = verifyWorkbook(parseRecord(file.readAll()), workbook.value());
    std::vector<Seen> seen;
    for (const VerifyFinding& f : report.findings)
      seen.emplace_back(f.kind, f.row, f.kind == Kind::Changed ? f.column : f.line, f.toRow);
    return seen;
  }

  QList<QByteArray> recordLines() {
    QFile file(recordPathFor(book));
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    QList<QByteArray> lines = file.readAll().split('\n');
    lines.removeLast();  // after the last line feed
    return lines;
  }
  void writeRecord(const QList<QByteArray>& lines, const QByteArray& tail = "\n") {
    QFile file(recordPathFor(book));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(lines.join('\n') + tail);
  }

  QTemporaryDir dir;
  QString book;
};

// Line 1 is the run, lines 2 to 7 its rows (sheet rows 2 to 7), line 8 its end.
TEST_F(RunRecordTest, TamperedRecordsBreakTheChainWhereTouched) {
  const auto rehash = [](QList<QByteArray>& lines, int index) {
    const QByteArray previous = index == 0 ? ZeroHash : lines[index - 1].split('\t')[2];
    QList<QByteArray> f = lines[index].split('\t');
    f[2] = chainHash(previous, f[0], f[1]);
    lines[index] = f.join('\t');
  };
  struct Case {
    const char* what;
    std::function<void(QList<QByteArray>&, QByteArray&)> tamper;
    std::vector<Seen> expected;
  };
  const std::vector<Case> cases{
      {"untouched", [](QList<QByteArray>&, QByteArray&) {}, {}},
      {"a value edited",
       [](QList<QByteArray>& l, QByteArray&) { l[2].replace("\"測定OK1\"", "\"測定NG1\""); },
       {{Kind::Changed, 3, 5, 0}, {Kind::ChainBroken, 0, 3, 0}}},
      {"a value edited and its own hash made again",
       [&](QList<QByteArray>& l, QByteArray&) {
         l[2].replace("\"測定OK1\"", "\"測定NG1\"");
         rehash(l, 2);
       },
       {{Kind::Changed, 3, 5, 0}, {Kind::ChainBroken, 0, 4, 0}}},
      {"a row removed",
       [](QList<QByteArray>& l, QByteArray&) { l.removeAt(4); },
       {{Kind::Added, 5, 0, 0}, {Kind::ChainBroken, 0, 5, 0}}},
      {"a line inserted",
       [](QList<QByteArray>& l, QByteArray&) { l.insert(2, l[6]); },
       {{Kind::ChainBroken, 0, 3, 0}, {Kind::ChainBroken, 0, 4, 0}}},
      {"two rows swapped",
       [](QList<QByteArray>& l, QByteArray&) { l.swapItemsAt(2, 3); },
       {{Kind::ChainBroken, 0, 3, 0}, {Kind::ChainBroken, 0, 4, 0}, {Kind::ChainBroken, 0, 5, 0}}},
      {"the end line cut off", [](QList<QByteArray>& l, QByteArray&) { l.removeLast(); }, {{Kind::Unended, 0, 0, 0}}},
      {"cut inside the end line",
       [](QList<QByteArray>& l, QByteArray& tail) {
         tail = '\n' + l.last().left(20);
         l.removeLast();
       },
       {{Kind::Unended, 0, 0, 0}, {Kind::TornTail, 0, 8, 0}}},
  };
  const QList<QByteArray> original = recordLines();
  ASSERT_EQ(original.size(), Rows + 2);
  for (const Case& c : cases) {
    QList<QByteArray> lines = original;
    QByteArray tail = "\n";
    c.tamper(lines, tail);
    writeRecord(lines, tail);
    EXPECT_EQ(verify(), c.expected) << c.what;
  }
}

// xlrd reads the workbook, the edit is made, xlwt writes it anew: another
// program's numbers, texts and dates, its own record layout.
const char* const RewriteScript = R"(
import sys, xlrd, xlwt
path, op, row = sys.argv[1], sys.argv[2], int(sys.argv[3]) - 1
src = xlrd.open_workbook(path).sheet_by_index(0)
rows = [[(src.cell_type(r, c), src.cell_value(r, c)) for c in range(src.ncols)] for r in range(src.nrows)]
if op == 'set': rows[row][int(sys.argv[4]) - 1] = (xlrd.XL_CELL_NUMBER, float(sys.argv[5]))
if op == 'clear': rows[row][int(sys.argv[4]) - 1] = (xlrd.XL_CELL_EMPTY, '')
if op == 'delete': del rows[row]
if op == 'insert': rows.insert(row, [(xlrd.XL_CELL_EMPTY, ''), (xlrd.XL_CELL_TEXT, 'extra')])
if op == 'swap': rows[row], rows[row + 1] = rows[row + 1], rows[row]
book = xlwt.Workbook()
out = book.add_sheet(src.name)
date = xlwt.easyxf(num_format_str='yyyy/mm/dd hh:mm:ss')
for r, cells in enumerate(rows):
    for c, (kind, value) in enumerate(cells):
        if kind == xlrd.XL_CELL_DATE: out.write(r, c, value, date)
        elif kind in (xlrd.XL_CELL_NUMBER, xlrd.XL_CELL_TEXT): out.write(r, c, value)
book.save(path)
)";

TEST_F(RunRecordTest, EditsByAnotherProgramAreNamedExactly) {
  if (QProcess::execute(QStringLiteral("/usr/bin/python3"),
                        {QStringLiteral("-c"), QStringLiteral("import xlrd, xlwt")}) != 0)
    GTEST_SKIP() << "python3-xlrd or python3-xlwt is missing";
  struct Case {
    QStringList edit;
    std::vector<Seen> expected;
  };
  const std::vector<Case> cases{
      {{QStringLiteral("none"), QStringLiteral("1")}, {}},
      {{QStringLiteral("set"), QStringLiteral("4"), QStringLiteral("4"), QStringLiteral("42")},
       {{Kind::Changed, 4, 4, 0}}},
      {{QStringLiteral("set"), QStringLiteral("6"), QStringLiteral("3"), QStringLiteral("46000")},
       {{Kind::Changed, 6, 3, 0}}},
      {{QStringLiteral("clear"), QStringLiteral("2"), QStringLiteral("5")}, {{Kind::Changed, 2, 5, 0}}},
      {{QStringLiteral("delete"), QStringLiteral("5")},
       {{Kind::Removed, 5, 0, 0}, {Kind::Moved, 6, 0, 5}, {Kind::Moved, 7, 0, 6}}},
      {{QStringLiteral("insert"), QStringLiteral("4")},
       {{Kind::Moved, 4, 0, 5},
        {Kind::Added, 4, 0, 0},
        {Kind::Moved, 5, 0, 6},
        {Kind::Moved, 6, 0, 7},
        {Kind::Moved, 7, 0, 8}}},
      {{QStringLiteral("swap"), QStringLiteral("3")}, {{Kind::Moved, 3, 0, 4}, {Kind::Moved, 4, 0, 3}}},
  };
  const QString pristine = dir.filePath(QStringLiteral("pristine.xls"));
  ASSERT_TRUE(QFile::copy(book, pristine));
  for (const Case& c : cases) {
    QFile::remove(book);
    ASSERT_TRUE(QFile::copy(pristine, book));
    QProcess python;
    python.start(QStringLiteral("/usr/bin/python3"),
                 QStringList{QStringLiteral("-c"), QString::fromUtf8(RewriteScript), book} + c.edit);
    ASSERT_TRUE(python.waitForFinished(60000));
    ASSERT_EQ(python.exitCode(), 0) << python.readAllStandardError().toStdString();
    EXPECT_EQ(verify(), c.expected) << c.edit.join(QLatin1Char(' ')).toStdString();
  }
}

}  // namespace
}  // namespace kestrune::app
