#include "sheet/journal.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sys/mount.h>
#include <unistd.h>

namespace kestrune::sheet {
namespace {

// The workbook's disk fills up after some rows were saved and more were
// written: the journal moved to the user's folder is written from memory,
// holds every unsaved row, every mark and the cursor, and drops the rows the
// saved workbook already has.
TEST(JournalMoveTest, AMovedJournalKeepsTheUnsavedRowsTheMarksAndTheCursor) {
  if (::geteuid() != 0) GTEST_SKIP() << "mounting a small file system needs root";
  QTemporaryDir dir;
  QTemporaryDir state;
  ASSERT_TRUE(dir.isValid() && state.isValid());
  const QString disk = dir.filePath(QStringLiteral("disk"));
  ASSERT_TRUE(QDir().mkpath(disk));
  const QByteArray at = QFile::encodeName(disk);
  if (::mount("tmpfs", at.constData(), "tmpfs", 0, "size=64k") != 0) GTEST_SKIP() << "tmpfs cannot be mounted";
  struct Unmount {
    QByteArray at;
    ~Unmount() {
      ::umount2(at.constData(), MNT_DETACH);
      qunsetenv("XDG_STATE_HOME");
    }
  } unmount{at};
  qputenv("XDG_STATE_HOME", state.path().toUtf8());
  const QString book = disk + QStringLiteral("/book.xls");
  {
    QFile f(book);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  }
  JournalWriter writer;
  ASSERT_TRUE(writer.open(book));
  const auto writeRow = [&writer](int n) {
    const RowStart start{1 + n, 2, n + 1};
    if (Status s = writer.cell(start, 2, std::int32_t{n}); !s) return s;
    if (Status s = writer.cell(start, 3, QStringLiteral("value %1 of a line long enough to fill the disk soon").arg(n));
        !s)
      return s;
    return writer.endRow(2 + n, 2, n + 1);
  };
  int n = 1;
  for (; n <= 5; ++n) ASSERT_TRUE(writeRow(n));
  ASSERT_TRUE(writer.mark(3, 2));
  ASSERT_TRUE(writer.beginSave(1796000000000));
  ASSERT_TRUE(writer.markSaved(writer.rows()));
  {
    QFile filler(disk + QStringLiteral("/filler"));
    ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
    const QByteArray block(1024, 'x');
    while (filler.write(block) == block.size() && filler.flush()) {
    }
  }
  const int savedRows = writer.rows();
  for (; writer.path().startsWith(disk) || n < 40; ++n) ASSERT_TRUE(writeRow(n)) << n;
  ASSERT_TRUE(writer.flush());
  EXPECT_TRUE(writer.path().startsWith(state.path()));
  EXPECT_FALSE(writer.movedBecause().isEmpty());
  EXPECT_EQ(writer.durableRows(), writer.rows());
  const int written = writer.rows();
  writer.close();

  const Result<FoundJournal> found = findJournal(book);
  ASSERT_TRUE(found);
  ASSERT_TRUE(found->path.startsWith(state.path()));
  const JournalContents& contents = found->contents;
  ASSERT_FALSE(contents.rows.empty());
  EXPECT_EQ(contents.unsavedRows(), written - savedRows);
  // Marks of saved rows stay: the save may have begun before them.
  EXPECT_EQ(contents.marks, (std::vector<JournalMark>{{QString(), 3, 2}}));
  // The first row kept is the last saved one, which brings its cursor along.
  EXPECT_TRUE(contents.rows.front().saved);
  EXPECT_EQ(contents.rows.front().nextRow, 2 + savedRows);
  EXPECT_EQ(contents.rows.back().nextRow, 2 + written);
  EXPECT_EQ(contents.rows.back().acquisitionNo, written + 1);
  for (std::size_t i = 1; i < contents.rows.size(); ++i) {
    ASSERT_EQ(contents.rows[i].cells.size(), 2u);
    EXPECT_EQ(contents.rows[i].cells[0].value, CellValue{std::int32_t(savedRows + static_cast<int>(i))});
  }
}

}  // namespace
}  // namespace kestrune::sheet
