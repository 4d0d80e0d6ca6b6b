#include "sheet/journal.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <climits>

#include <sys/mount.h>
#include <unistd.h>

namespace kestrune::sheet {
namespace {

class JournalFileTest : public ::testing::Test {
protected:
  JournalFileTest() {
    EXPECT_TRUE(dir.isValid());
    book = dir.filePath(QStringLiteral("book.xls"));
    QFile f(book);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
  }
  QByteArray bytes() const {
    QFile f(journalPathBeside(book));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }
  // Three rows of awkward values, as a run writes them.
  void writeThreeRows(JournalWriter& writer) {
    ASSERT_TRUE(writer.open(book));
    writer.beginSheet(QStringLiteral("データ\t1"));
    const QDateTime when = QDateTime::fromMSecsSinceEpoch(1796000000123);
    for (int row = 0; row < 3; ++row) {
      const RowStart start{2 + row, 1, 10 + row};
      ASSERT_TRUE(writer.cell(start, 1, std::int32_t{-7 + row}));
      ASSERT_TRUE(writer.cell(start, 2, Stamp{when, Stamp::Kind::DateTime}));
      ASSERT_TRUE(writer.cell(start, 3, QStringLiteral("a\\b\nc\td,\"e\"　%1").arg(row)));
      ASSERT_TRUE(writer.endRow(3 + row, 1, 10 + row));
    }
    ASSERT_TRUE(writer.flush());
  }

  QTemporaryDir dir;
  QString book;
};

TEST_F(JournalFileTest, EveryValueReadsBackAsWritten) {
  JournalWriter writer;
  writeThreeRows(writer);
  const Result<JournalContents> read = parseJournal(bytes());
  ASSERT_TRUE(read) << read.description().toStdString();
  ASSERT_EQ(read->rows.size(), 3u);
  const JournalRow& last = read->rows[2];
  EXPECT_EQ(last.sheet, QStringLiteral("データ\t1"));
  EXPECT_EQ(last.nextRow, 5);
  EXPECT_EQ(last.acquisitionNo, 12);
  ASSERT_EQ(last.cells.size(), 3u);
  EXPECT_EQ(last.cells[0], (JournalCell{4, 1, std::int32_t{-5}}));
  EXPECT_EQ(std::get<Stamp>(last.cells[1].value).value.toMSecsSinceEpoch(), 1796000000123);
  EXPECT_EQ(last.cells[2].value, CellValue(QStringLiteral("a\\b\nc\td,\"e\"　2")));
  EXPECT_EQ(read->unsavedRows(), 3);
}

// Marks stand beside the rows: they read back by sheet and cell, once per
// cell, and count in no row; a journal continued keeps them and adds more.
// It counts as saved only once a save names its marks too.
TEST_F(JournalFileTest, MarksReadBackBesideTheRowsAndKeepTheJournalUntilSaved) {
  {
    JournalWriter writer;
    writeThreeRows(writer);
    ASSERT_TRUE(writer.mark(3, 2));
    ASSERT_TRUE(writer.mark(3, 2));
    ASSERT_TRUE(writer.markSaved(3));
    EXPECT_FALSE(writer.allSaved()) << "the save began before the marks";
  }
  JournalWriter writer;
  ASSERT_TRUE(writer.open(book));
  EXPECT_EQ(writer.rows(), 3);
  EXPECT_EQ(writer.marks(), 1);
  writer.beginSheet(QStringLiteral("Other"));
  ASSERT_TRUE(writer.mark(4, 1));
  ASSERT_TRUE(writer.flush());
  const Result<JournalContents> read = parseJournal(bytes());
  ASSERT_TRUE(read) << read.description().toStdString();
  EXPECT_EQ(read->damagedLines, 0);
  ASSERT_EQ(read->rows.size(), 3u);
  for (const JournalRow& row : read->rows) EXPECT_EQ(row.cells.size(), 3u);
  EXPECT_EQ(read->unsavedRows(), 0);
  EXPECT_EQ(read->marks,
            (std::vector<JournalMark>{{QStringLiteral("データ\t1"), 3, 2}, {QStringLiteral("Other"), 4, 1}}));
  EXPECT_FALSE(writer.allSaved());
  ASSERT_TRUE(writer.markSaved(3, writer.marks()));
  EXPECT_TRUE(writer.allSaved());
}

// A crash can cut the file anywhere: every value on a whole line reads back
// once, nothing counts as damaged, and the cursor lies below every row read.
TEST_F(JournalFileTest, ACutAnywhereKeepsEveryWholeValueAndMovesPastIt) {
  JournalWriter writer;
  writeThreeRows(writer);
  const QByteArray whole = bytes();
  for (qsizetype cut = 0; cut <= whole.size(); ++cut) {
    const QByteArray left = whole.left(cut);
    const Result<JournalContents> read = parseJournal(left);
    ASSERT_TRUE(read) << "cut at " << cut;
    EXPECT_EQ(read->damagedLines, 0) << "cut at " << cut;
    EXPECT_EQ(read->completeBytes, left.lastIndexOf('\n') + 1);
    qsizetype wholeCells = 0;
    for (const QByteArray& text : left.left(left.lastIndexOf('\n') + 1).split('\n'))
      if (text.startsWith("cell\t")) ++wholeCells;
    qsizetype cells = 0;
    for (const JournalRow& row : read->rows) {
      cells += std::ssize(row.cells);
      for (const JournalCell& cell : row.cells) EXPECT_LT(cell.row, read->rows.back().nextRow) << "cut at " << cut;
    }
    EXPECT_EQ(cells, wholeCells) << "cut at " << cut;
    // A row cut short ends as a complete one would have.
    if (!read->rows.empty() && !read->rows.back().ended) {
      EXPECT_EQ(read->rows.back().nextRow, read->rows.back().row + 1);
      EXPECT_EQ(read->rows.back().acquisitionNo, 10 + read->rows.back().row - 2);
    }
  }
}

TEST_F(JournalFileTest, ContinuingAfterACutDropsTheCutAndKeepsCounting) {
  {
    JournalWriter writer;
    writeThreeRows(writer);
  }
  // Half of a fourth row, as a crash leaves it: a value, and its end cut short.
  QByteArray fourth;
  {
    JournalWriter writer;
    ASSERT_TRUE(writer.open(book));
    ASSERT_TRUE(writer.cell(RowStart{5, 1, 13}, 1, std::int32_t{42}));
    ASSERT_TRUE(writer.endRow(6, 1, 13));
    writer.close();
    fourth = bytes();
  }
  {
    QFile f(journalPathBeside(book));
    ASSERT_TRUE(f.resize(fourth.size() - 5));
  }
  JournalWriter writer;
  ASSERT_TRUE(writer.open(book));
  EXPECT_EQ(writer.rows(), 3);
  EXPECT_TRUE(writer.rowPending());
  ASSERT_TRUE(writer.endRow(6, 1, 13));
  ASSERT_TRUE(writer.markSaved(2));
  ASSERT_TRUE(writer.flush());
  const Result<JournalContents> read = parseJournal(bytes());
  ASSERT_TRUE(read);
  EXPECT_EQ(read->damagedLines, 0);
  ASSERT_EQ(read->rows.size(), 4u);
  EXPECT_TRUE(read->rows[3].ended);
  EXPECT_EQ(read->rows[3].cells, (std::vector<JournalCell>{{5, 1, std::int32_t{42}}}));
  EXPECT_EQ(read->unsavedRows(), 2);
  ASSERT_TRUE(writer.retire());
  EXPECT_FALSE(QFile::exists(journalPathBeside(book)));
}

// A journal of the first version is read, and continuing it rewrites it in
// the current one with the same rows.
TEST_F(JournalFileTest, AFirstVersionJournalIsReadAndRewrittenWhenContinued) {
  const QByteArray rowLines = "sheet\tData\ncell\t5\t2\tn\t100\n";
  const QByteArray old = "kestrune-journal\t1\t" + book.toUtf8() + "\r\n" + rowLines + "row\t6\t2\t101\t" +
                         QByteArray::number(qChecksum(rowLines)) + "\nsaved\t1\n";
  const Result<JournalContents> read = parseJournal(old);
  ASSERT_TRUE(read) << read.description().toStdString();
  EXPECT_EQ(read->version, 1);
  ASSERT_EQ(read->rows.size(), 1u);
  EXPECT_TRUE(read->rows[0].saved);
  {
    QFile f(journalPathBeside(book));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(old);
  }
  JournalWriter writer;
  ASSERT_TRUE(writer.open(book));
  EXPECT_TRUE(writer.keptAside().isEmpty());
  EXPECT_EQ(writer.rows(), 1);
  EXPECT_TRUE(writer.allSaved());
  writer.close();
  const Result<JournalContents> again = parseJournal(bytes());
  ASSERT_TRUE(again);
  EXPECT_EQ(again->version, 2);
  ASSERT_EQ(again->rows.size(), 1u);
  EXPECT_EQ(again->rows[0].sheet, QStringLiteral("Data"));
  EXPECT_EQ(again->rows[0].cells, read->rows[0].cells);
  EXPECT_EQ(again->rows[0].acquisitionNo, 101);
  EXPECT_TRUE(again->rows[0].saved);
}

TEST_F(JournalFileTest, AFolderThatCannotBeWrittenSendsTheJournalToTheUsersFolder) {
  // A folder root cannot write either: a read-only file system (as root), else a folder without write permission.
  QString folder = dir.path();
  QByteArray mounted;
  if (::geteuid() == 0) {
    folder = dir.filePath(QStringLiteral("ro"));
    ASSERT_TRUE(QDir().mkpath(folder));
    mounted = QFile::encodeName(folder);
    if (::mount("tmpfs", mounted.constData(), "tmpfs", 0, "size=64k") != 0) GTEST_SKIP() << "tmpfs cannot be mounted";
    book = folder + QStringLiteral("/book.xls");
    QFile f(book);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    ASSERT_EQ(::mount("tmpfs", mounted.constData(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr), 0);
  } else {
    ASSERT_TRUE(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
  }
  struct Restore {
    QString folder;
    QByteArray mounted;
    ~Restore() {
      if (!mounted.isEmpty()) ::umount2(mounted.constData(), MNT_DETACH);
      QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
      qunsetenv("XDG_STATE_HOME");
    }
  } restore{folder, mounted};
  QTemporaryDir stateDir;
  const QString state = stateDir.path();
  qputenv("XDG_STATE_HOME", state.toUtf8());
  JournalWriter writer;
  ASSERT_TRUE(writer.open(book));
  EXPECT_TRUE(writer.path().startsWith(state)) << writer.path().toStdString();
  ASSERT_TRUE(writer.endRow(2, 1, 1));
  writer.close();
  const Result<FoundJournal> found = findJournal(book);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->path, writer.path());
  EXPECT_EQ(found->contents.rows.size(), 1u);
}

// The workbook's disk fills up mid-run: the journal moves whole to the
// user's folder and no row is lost.
TEST_F(JournalFileTest, AFullDiskMovesTheJournalToTheUsersFolderWhole) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  const QString disk = dir.filePath(QStringLiteral("disk"));
  ASSERT_TRUE(QDir().mkpath(disk));
  const QByteArray at = QFile::encodeName(disk);
  if (::mount("tmpfs", at.constData(), "tmpfs", 0, "size=64k") != 0) GTEST_SKIP() << "tmpfs cannot be mounted here";
  struct Unmount {
    QByteArray at;
    ~Unmount() { ::umount2(at.constData(), MNT_DETACH); }
  } unmount{at};
  QTemporaryDir stateDir;
  qputenv("XDG_STATE_HOME", stateDir.path().toUtf8());
  const QString onDisk = disk + QStringLiteral("/book.xls");
  {
    QFile f(onDisk);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  }
  JournalWriter writer;
  ASSERT_TRUE(writer.open(onDisk));
  ASSERT_TRUE(writer.path().startsWith(disk));
  {
    QFile filler(disk + QStringLiteral("/filler"));
    ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
    const QByteArray block(1024, 'x');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
  }
  // Every other row's end, the first's too, goes with a mark and the alarms'
  // state in one write: the one that fails moves those lines as well.
  constexpr int Rows = 300;
  for (int row = 0; row < Rows; ++row) {
    if (row % 2 == 0) writer.hold();
    ASSERT_TRUE(
        writer.cell(RowStart{2 + row, 1, row + 1}, 1, QStringLiteral("reading %1 of a long line of text").arg(row)));
    ASSERT_TRUE(writer.endRow(3 + row, 1, row + 1)) << row;
    if (row % 2 == 0) {
      ASSERT_TRUE(writer.mark(2 + row, 1));
      ASSERT_TRUE(writer.alarmState(QStringLiteral("after %1").arg(row)));
      ASSERT_TRUE(writer.release()) << row;
    }
  }
  ASSERT_TRUE(writer.flush());
  EXPECT_TRUE(writer.path().startsWith(stateDir.path())) << writer.path().toStdString();
  EXPECT_FALSE(QFile::exists(journalPathBeside(onDisk)));
  writer.close();
  const Result<FoundJournal> found = findJournal(onDisk);
  ASSERT_TRUE(found);
  ASSERT_EQ(found->contents.rows.size(), static_cast<std::size_t>(Rows)) << [&] {
    QFile f(found->path);
    return f.open(QIODevice::ReadOnly) ? f.readAll().toStdString() : std::string();
  }();
  EXPECT_EQ(found->contents.rows.back().acquisitionNo, Rows);
  EXPECT_EQ(found->contents.marks.size(), static_cast<std::size_t>(Rows / 2));
  EXPECT_EQ(found->contents.alarmState, QStringLiteral("after %1").arg(Rows - 2));
  EXPECT_FALSE(found->contents.rows.back().alarmsTaken);
  EXPECT_TRUE(found->contents.rows[Rows - 2].alarmsTaken);
  qunsetenv("XDG_STATE_HOME");
}

TEST_F(JournalFileTest, TheJournalRecordsItsWorkbookAndTheSavesOfIt) {
  const auto read = [this] {
    Result<JournalContents> contents = parseJournal(bytes());
    EXPECT_TRUE(contents);
    return contents ? std::move(contents).value() : JournalContents{};
  };
  JournalWriter writer;
  ASSERT_TRUE(writer.open(book));
  const Result<WorkbookIdentity> first = identifyWorkbook(book);
  ASSERT_TRUE(first);
  EXPECT_EQ(read().identity, *first);
  ASSERT_TRUE(writer.beginSave(1796000000000));
  EXPECT_EQ(read().savingSinceMs, 1796000000000);
  EXPECT_EQ(read().identity, *first);
  const WorkbookIdentity second{4096, 1796000001000, QByteArray(64, 'a')};
  ASSERT_TRUE(writer.endSave(second));
  EXPECT_EQ(read().identity, second);
  EXPECT_FALSE(read().savingSinceMs);
  // A failed save: the file as it was.
  ASSERT_TRUE(writer.beginSave(1796000002000));
  ASSERT_TRUE(writer.endSave(std::nullopt));
  EXPECT_EQ(read().identity, second);
  EXPECT_FALSE(read().savingSinceMs);
  // Continued later, the journal still knows its file.
  writer.close();
  JournalWriter again;
  ASSERT_TRUE(again.open(book));
  EXPECT_EQ(read().identity, second);
}

struct FitCase {
  const char* name;
  std::optional<WorkbookIdentity> recorded;
  std::optional<qint64> savingSince;
  std::optional<WorkbookIdentity> current;
  bool fits;
};
void PrintTo(const FitCase& c, std::ostream* out) { *out << c.name; }

const WorkbookIdentity A{4096, 1796000000000, QByteArray(64, 'a')};
const WorkbookIdentity B{5120, 1796000005000, QByteArray(64, 'b')};
const WorkbookIdentity OtherHead{4096, 1796000000000, QByteArray(64, 'c')};

class JournalFitTest : public ::testing::TestWithParam<FitCase> {};

TEST_P(JournalFitTest, AJournalFitsOnlyItsOwnWorkbook) {
  JournalContents contents;
  contents.identity = GetParam().recorded;
  contents.savingSinceMs = GetParam().savingSince;
  EXPECT_EQ(contents.fits(GetParam().current), GetParam().fits);
}

INSTANTIATE_TEST_SUITE_P(Cases, JournalFitTest,
                         ::testing::Values(FitCase{"EarlierVersionFitsAny", std::nullopt, std::nullopt, B, true},
                                           FitCase{"EarlierVersionFitsAnUnreadableFile", std::nullopt, std::nullopt,
                                                   std::nullopt, true},
                                           FitCase{"TheSameFile", A, std::nullopt, A, true},
                                           FitCase{"AnotherFile", A, std::nullopt, B, false},
                                           FitCase{"AnUnreadableFile", A, std::nullopt, std::nullopt, false},
                                           FitCase{"SameSizeAndTimeOtherContent", A, std::nullopt, OtherHead, false},
                                           FitCase{"DuringASaveTheOldFile", A, 1796000004000, A, true},
                                           FitCase{"DuringASaveAFileWrittenSince", A, 1796000004000, B, true},
                                           FitCase{"DuringASaveWithinTheFileTimesGrain", A, 1796000006500, B, true},
                                           FitCase{"DuringASaveAFileFromBefore", A, 1796000008000, B, false}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(JournalFileTest, SettingAsideNeverOverwritesAnotherOrphan) {
  const QString journal = journalPathBeside(book);
  const QDateTime now(QDate(2026, 12, 7), QTime(9, 5, 3));
  QStringList kept;
  for (int i = 0; i < 3; ++i) {
    {
      QFile f(journal);
      ASSERT_TRUE(f.open(QIODevice::WriteOnly));
      f.write(QByteArray::number(i));
    }
    const Result<QString> aside = setJournalAside(journal, now);
    ASSERT_TRUE(aside) << aside.description().toStdString();
    kept << *aside;
    EXPECT_FALSE(QFile::exists(journal));
  }
  EXPECT_EQ(kept[0], journal + QStringLiteral(".orphan-20261207-090503"));
  for (int i = 0; i < 3; ++i) {
    QFile f(kept[i]);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly)) << kept[i].toStdString();
    EXPECT_EQ(f.readAll(), QByteArray::number(i));
  }
  EXPECT_FALSE(setJournalAside(journal, now)) << "nothing to set aside";
}

// Names of 239 bytes and more would make the journal's name longer than a
// file name may be: it is cut (never inside a character) and still found.
struct LongName {
  const char* name;
  QString stem;  // repeated, then "_" up to 246 bytes, then ".xls"
};
void PrintTo(const LongName& c, std::ostream* out) { *out << c.name; }

class LongWorkbookNameTest : public JournalFileTest, public ::testing::WithParamInterface<LongName> {};

// A per-user state folder of the test's own while it lasts.
struct StateHome {
  StateHome() { qputenv("XDG_STATE_HOME", dir.path().toUtf8()); }
  ~StateHome() { qunsetenv("XDG_STATE_HOME"); }
  QString path() const { return dir.path(); }
  QTemporaryDir dir;
};

bool validUtf8(const QByteArray& bytes) {
  QStringDecoder decoder(QStringDecoder::Utf8);
  const QString text = decoder(bytes);
  return !decoder.hasError() && text.toUtf8() == bytes;
}

TEST_P(LongWorkbookNameTest, EveryJournalNameFitsAndIsFound) {
  QString name;
  while (QFile::encodeName(name + GetParam().stem).size() <= 246) name += GetParam().stem;
  while (QFile::encodeName(name).size() < 246) name += QLatin1Char('_');
  name += QStringLiteral(".xls");
  ASSERT_EQ(QFile::encodeName(name).size(), 250);
  book = dir.filePath(name);
  {
    QFile f(book);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << f.errorString().toStdString();
  }
  const StateHome state;
  const auto fits = [](const QString& path) {
    const QByteArray fileName = QFile::encodeName(QFileInfo(path).fileName());
    EXPECT_LE(fileName.size(), NAME_MAX) << path.toStdString();
    EXPECT_TRUE(validUtf8(fileName)) << path.toStdString();
  };
  for (const QString& place : {QString(), journalPathForUser(book)}) {
    JournalWriter writer;
    ASSERT_TRUE(writer.open(book, place)) << place.toStdString();
    fits(writer.path());
    EXPECT_TRUE(QFileInfo(writer.path()).fileName().startsWith(name.left(20)));
    ASSERT_TRUE(writer.cell(RowStart{2, 1, 1}, 1, QStringLiteral("x")));
    ASSERT_TRUE(writer.endRow(3, 1, 1));
    writer.close();
    const Result<FoundJournal> found = findJournal(book);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->path, writer.path());
    EXPECT_EQ(found->contents.rows.size(), 1u);
    // Set aside twice in the same second: two names, both fitting.
    const QDateTime now(QDate(2026, 12, 7), QTime(9, 5, 3));
    const Result<QString> first = setJournalAside(writer.path(), now, JournalAside::Damaged);
    ASSERT_TRUE(first) << first.description().toStdString();
    ASSERT_TRUE(QFile(*first).copy(writer.path()));
    const Result<QString> second = setJournalAside(writer.path(), now, JournalAside::Damaged);
    ASSERT_TRUE(second) << second.description().toStdString();
    EXPECT_NE(*first, *second);
    fits(*first);
    fits(*second);
    EXPECT_TRUE(QFile::exists(*first) && QFile::exists(*second));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, LongWorkbookNameTest,
                         ::testing::Values(LongName{"Latin", QStringLiteral("a")},
                                           // 3 bytes each: a cut at any byte count must fall between them
                                           LongName{"Japanese", QStringLiteral("測定データ")},
                                           LongName{"Mixed", QStringLiteral("温度a")}),
                         [](const auto& p) { return std::string(p.param.name); });

// A symbolic link where the journal belongs (planted, or left over) is never
// followed: the file it points to stays as it was, a missing one is not made.
struct PlantedLink {
  const char* name;
  bool targetExists;
};
void PrintTo(const PlantedLink& c, std::ostream* out) { *out << c.name; }

class PlantedLinkTest : public JournalFileTest, public ::testing::WithParamInterface<PlantedLink> {};

TEST_P(PlantedLinkTest, TheLinkIsRefusedAndItsTargetUntouched) {
  const QString target = dir.filePath(QStringLiteral("precious.txt"));
  const QByteArray precious = "kestrune-journal\tnot ours\n";
  if (GetParam().targetExists) {
    QFile f(target);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(precious);
  }
  const QString beside = journalPathBeside(book);
  ASSERT_TRUE(QFile::link(target, beside));
  const StateHome state;

  // Named as the journal to continue: refused, and the message names it.
  {
    JournalWriter writer;
    const Status refused = writer.open(book, beside);
    ASSERT_FALSE(refused);
    EXPECT_TRUE(refused.description().contains(beside)) << refused.description().toStdString();
    EXPECT_TRUE(refused.description().contains(QStringLiteral("シンボリックリンク")));
  }
  // The usual place: the journal goes to the user's folder instead.
  {
    JournalWriter writer;
    ASSERT_TRUE(writer.open(book));
    EXPECT_TRUE(writer.path().startsWith(state.path())) << writer.path().toStdString();
    ASSERT_TRUE(writer.cell(RowStart{2, 1, 1}, 1, QStringLiteral("x")));
    ASSERT_TRUE(writer.endRow(3, 1, 1));
    writer.close();
  }
  const Result<FoundJournal> found = findJournal(book);
  ASSERT_TRUE(found) << found.description().toStdString();
  EXPECT_EQ(found->contents.rows.size(), 1u);
  ASSERT_EQ(found->refused.size(), 1);
  EXPECT_TRUE(found->refused[0].contains(beside));

  EXPECT_TRUE(QFileInfo(beside).isSymLink());
  if (GetParam().targetExists) {
    QFile f(target);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), precious);
  } else {
    EXPECT_FALSE(QFileInfo::exists(target));
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, PlantedLinkTest,
                         ::testing::Values(PlantedLink{"ToAFile", true}, PlantedLink{"Dangling", false}),
                         [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace kestrune::sheet
