// The built-in application keeps what it read: a workbook it could not save
// is refused at open, the lock file says who has a workbook, a symbolic link
// is saved through, an unchanged workbook is never rewritten, and background
// saves write snapshots while the logger goes on writing (read back by
// python3-xlrd), marks included.
#include "embedded_test_support.h"

#include "fakes/recording_message_boxes.h"
#include "sheet/embedded/sheet_window.h"
#include "sheet/lock_file.h"
#include "sheet/xls/workbook.h"

#include <QColor>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QSysInfo>
#include <QTabBar>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <optional>

#include <sys/stat.h>
#include <unistd.h>

namespace kestrune::sheet::embedded {
namespace {

using kestrune::testing::RecordingMessageBoxes;
using namespace testing;
using namespace std::chrono_literals;

// A file as it lies on disk: a save, which renames a new file over it, gives
// it another inode even when the bytes are the same.
struct FileState {
  QByteArray bytes;
  ino_t inode = 0;
  bool operator==(const FileState&) const = default;
};

FileState stateOf(const QString& path) {
  struct stat file {};
  if (::stat(QFile::encodeName(path).constData(), &file) != 0) return {};
  return {fileBytes(path), file.st_ino};
}

std::optional<LockOwner> lockOn(const QString& path) { return parseLockFile(fileBytes(lockFilePath(path))); }

bool writeFile(const QString& path, const QByteArray& bytes) {
  QFile f(path);
  return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// Rows the tests write: the row number in H, "row N" in I.
constexpr int NumberColumn = 8;
constexpr int TextColumn = 9;

bool writeRows(EmbeddedSpreadsheet& app, int from, int to) {
  for (int row = from; row <= to; ++row)
    if (!app.setCellValue(row, NumberColumn, std::int32_t{row}) ||
        !app.setCellValue(row, TextColumn, QStringLiteral("row %1").arg(row)))
      return false;
  return true;
}

// Which of the rows `from`..`to` xlrd finds in the file, all or none of each.
std::vector<int> rowsInFile(const QString& path, int sheet, int from, int to) {
  const XlrdView view = readWithXlrd(path);
  EXPECT_TRUE(view.ok) << view.error.toStdString();
  std::vector<int> found;
  for (int row = from; row <= to; ++row) {
    const QString at = QStringLiteral("%1 %2 ").arg(sheet).arg(row - 1);
    const auto number = view.cells.find(at + QString::number(NumberColumn - 1));
    const auto text = view.cells.find(at + QString::number(TextColumn - 1));
    const bool hasNumber = number != view.cells.end() && number->second == QStringLiteral("number\t%1").arg(row);
    const bool hasText = text != view.cells.end() && text->second == QStringLiteral("text\trow %1").arg(row);
    EXPECT_EQ(hasNumber, hasText) << "row " << row << " is whole or absent";
    if (hasNumber) found.push_back(row);
  }
  return found;
}

std::vector<int> range(int from, int to) {
  std::vector<int> rows;
  for (int row = from; row <= to; ++row) rows.push_back(row);
  return rows;
}

// Public: the case tables reach into the fixture.
class EmbeddedSaveTest : public ::testing::Test {
public:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    app = make();
  }
  std::unique_ptr<EmbeddedSpreadsheet> make() { return makeShowingFailedSaves(boxes, question.function()); }
  // A copy of two_sheets.xls as FOLDER/book.xls.
  QString book(const QString& folder) {
    const QString path = dir.filePath(folder) + QStringLiteral("/book.xls");
    EXPECT_TRUE(QDir().mkpath(dir.filePath(folder)));
    EXPECT_TRUE(QFile::copy(QStringLiteral(KESTRUNE_XLS_TEST_DATA "/two_sheets.xls"), path));
    return path;
  }
  // The sheet the application writes into.
  int activeSheet(const QString& path) {
    const auto workbook = xls::Workbook::open(QFile::encodeName(path).toStdString());
    EXPECT_TRUE(workbook.ok());
    return workbook.ok() ? static_cast<int>(workbook->activeSheet()) : -1;
  }

  QTemporaryDir dir;
  RecordingMessageBoxes boxes;
  ScriptedQuestion question;
  std::unique_ptr<EmbeddedSpreadsheet> app;
  std::unique_ptr<EmbeddedSpreadsheet> other;  // a second application in this process
};

// ---- Opening ----------------------------------------------------------------

TEST_F(EmbeddedSaveTest, AWorkbookItCouldNotSaveOrThatIsInUseIsRefusedAtOpen) {
  const struct {
    const char* name;
    // Makes the workbook at `path` one not to open; returns the reason expected.
    std::function<QString(EmbeddedSaveTest&, FolderTrouble&, const QString& path)> apply;
    bool someoneElsesLock;
  } cases[] = {
      {"read-only file",
       [](EmbeddedSaveTest&, FolderTrouble&, const QString& path) {
         EXPECT_TRUE(QFile::setPermissions(path, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
         return QStringLiteral("ブック「book.xls」は読み取り専用です。取得データを保存できないため開けません");
       },
       false},
      {"folder we cannot write to",
       [](EmbeddedSaveTest&, FolderTrouble& trouble, const QString& path) {
         EXPECT_TRUE(trouble.makeReadOnly(path));
         return QStringLiteral("フォルダー「%1」に書き込めないため、取得データを保存できません")
             .arg(QFileInfo(path).absolutePath());
       },
       false},
      {"LibreOffice on another computer",
       [](EmbeddedSaveTest&, FolderTrouble&, const QString& path) {
         const QByteArray line = "Aiko,aiko,pc7,07.12.2026 08:00,file:///home/aiko/.config/libreoffice/4;";
         EXPECT_TRUE(writeFile(lockFilePath(path), line));
         return inUseMessage(path, *parseLockFile(line));
       },
       true},
      {"another Kestrune on this computer",
       [](EmbeddedSaveTest& t, FolderTrouble&, const QString& path) {
         t.other = t.make();
         EXPECT_TRUE(t.other->openWorkbook(path).ok());
         const std::optional<LockOwner> holder = lockOn(path);
         EXPECT_TRUE(holder && kestruneLockPid(*holder) == ::getpid());
         return holder ? inUseMessage(path, *holder) : QString();
       },
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const QString path = book(QString::fromLatin1(c.name));
    FolderTrouble trouble(QFileInfo(path).absolutePath());
    const FileState before = stateOf(path);
    const QString reason = c.apply(*this, trouble, path);
    const QByteArray lock = fileBytes(lockFilePath(path));
    const Status opened = app->openWorkbook(path);
    ASSERT_FALSE(opened.ok());
    EXPECT_EQ(opened.description(), reason);
    EXPECT_FALSE(app->hasWorkbook());
    EXPECT_EQ(stateOf(path), before);
    EXPECT_EQ(fileBytes(lockFilePath(path)), lock) << "someone else's lock stays; none of ours is left";
    EXPECT_EQ(lock.isEmpty(), !c.someoneElsesLock);
    other.reset();
  }
  EXPECT_TRUE(boxes.shown.empty()) << "the caller shows the reason";
}

// ---- Closing ------------------------------------------------------------------

TEST_F(EmbeddedSaveTest, EveryEndingLetsGoOfTheLockAndLeavesAnUnchangedWorkbookAsItWas) {
  const struct {
    const char* name;
    std::function<void(EmbeddedSaveTest&)> end;
  } endings[] = {
      {"quit", [](EmbeddedSaveTest& t) { EXPECT_TRUE(t.app->quit().ok()); }},
      {"save then quit",
       [](EmbeddedSaveTest& t) {
         EXPECT_TRUE(t.app->saveActiveWorkbook().ok());
         EXPECT_TRUE(t.app->quit().ok());
       }},
      {"release", [](EmbeddedSaveTest& t) { t.app->release(); }},
      {"window closed", [](EmbeddedSaveTest& t) { EXPECT_TRUE(t.app->window()->close()); }},
      {"destroyed", [](EmbeddedSaveTest& t) { t.app.reset(); }},
  };
  question.answers = {SavePrompt::Save};
  for (const auto& e : endings) {
    SCOPED_TRACE(e.name);
    app = make();
    const QString path = book(QString::fromLatin1(e.name));
    const FileState before = stateOf(path);
    ASSERT_TRUE(app->openWorkbook(path).ok());
    ASSERT_TRUE(app->setVisible(true).ok());
    const std::optional<LockOwner> holder = lockOn(path);
    ASSERT_TRUE(holder.has_value());
    EXPECT_EQ(kestruneLockPid(*holder), ::getpid());
    EXPECT_EQ(holder->host, QSysInfo::machineHostName());
    EXPECT_FALSE(holder->user.isEmpty());
    // Selecting is no change.
    ASSERT_TRUE(app->selectRange(QStringLiteral("C3")).ok());
    ASSERT_TRUE(app->selectCell(7, 2).ok());
    app->window()->tabs().setCurrentIndex(app->window()->tabs().count() - 1);
    EXPECT_FALSE(app->hasUnsavedChanges());
    e.end(*this);
    EXPECT_FALSE(QFileInfo::exists(lockFilePath(path)));
    EXPECT_EQ(stateOf(path), before) << "an unchanged workbook is not rewritten";
  }
  EXPECT_TRUE(question.asked.empty());
  EXPECT_TRUE(boxes.shown.empty());
}

// ---- Saving -------------------------------------------------------------------

// Mode, owner and group of the file replaced are the engine's (atomic_file_test.cpp).
TEST_F(EmbeddedSaveTest, ASymbolicLinkIsSavedThroughToItsTargetWithTheLockBesideIt) {
  const QString target = book(QStringLiteral("data"));
  ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("links"))));
  const QString link = dir.filePath(QStringLiteral("links/book.xls"));
  ASSERT_TRUE(QFile::link(QStringLiteral("../data/book.xls"), link));
  const FileState before = stateOf(target);

  ASSERT_TRUE(app->openWorkbook(link).ok());
  EXPECT_TRUE(lockOn(target).has_value()) << "the lock is beside the file written";
  ASSERT_TRUE(app->setCellValue(2, 2, QStringLiteral("through the link")).ok());
  ASSERT_TRUE(app->saveActiveWorkbook().ok());

  EXPECT_TRUE(QFileInfo(link).isSymLink());
  EXPECT_EQ(QFile::symLinkTarget(link), QFileInfo(target).canonicalFilePath());
  EXPECT_NE(stateOf(target).inode, before.inode) << "replaced by a new file";
  const auto saved = xls::Workbook::open(QFile::encodeName(target).toStdString());
  ASSERT_TRUE(saved.ok());
  EXPECT_EQ(saved->cell(saved->activeSheet(), 1, 1)->value, xls::Value(std::string("through the link")));
  const auto everything = QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot;
  EXPECT_EQ(QDir(dir.filePath(QStringLiteral("links"))).entryList(everything), QStringList{QStringLiteral("book.xls")});
  ASSERT_TRUE(app->quit().ok());
  EXPECT_EQ(QDir(dir.filePath(QStringLiteral("data"))).entryList(everything), QStringList{QStringLiteral("book.xls")})
      << "neither a temporary file nor the lock is left";
}

// ---- Background saves ------------------------------------------------------

// Holds background writes until the test lets them go (at the latest when
// it ends). Before the second write it keeps a copy of the file as the first
// one left it, since the second may follow at once.
struct WriteGate {
  QString path;
  QByteArray afterFirst;
  std::promise<void> entered;
  std::promise<void> proceed;
  std::shared_future<void> go = proceed.get_future().share();
  std::atomic<int> writes{0};
  bool released = false;
  std::function<void()> function() {
    return [this, go = go] {
      const int write = writes++;
      if (write == 0) entered.set_value();
      if (write == 1) afterFirst = fileBytes(path);
      go.wait();
    };
  }
  void release() {
    if (!std::exchange(released, true)) proceed.set_value();
  }
  ~WriteGate() { release(); }
};

TEST_F(EmbeddedSaveTest, WritesGoOnWhileABackgroundSaveRunsAndTheFileHoldsItsSnapshot) {
  REQUIRE_XLRD();
  WriteGate gate;
  std::future<void> entered = gate.entered.get_future();
  app->setBackgroundWriteGate(gate.function());
  const QString path = book(QStringLiteral("books"));
  gate.path = path;
  const int sheet = activeSheet(path);
  ASSERT_TRUE(app->openWorkbook(path).ok());
  ASSERT_TRUE(writeRows(*app, 1, 100));
  const FileState before = stateOf(path);
  QSignalSpy done(app.get(), &SpreadsheetApp::backgroundSaveDone);

  app->saveInBackground();
  ASSERT_EQ(entered.wait_for(60s), std::future_status::ready) << "the worker is inside its save";
  ASSERT_TRUE(writeRows(*app, 101, 200)) << "the logger goes on writing meanwhile";
  app->saveInBackground();
  app->saveInBackground();
  QCoreApplication::processEvents();
  EXPECT_EQ(done.count(), 0);
  EXPECT_EQ(stateOf(path), before) << "nothing is written before the save is let go";
  gate.release();

  ASSERT_TRUE(done.wait(60000));
  EXPECT_EQ(done[0], (QList<QVariant>{true, QString()}));
  // The two later requests make one more save, with everything.
  ASSERT_TRUE(done.count() == 2 || done.wait(60000));
  EXPECT_EQ(done[1], (QList<QVariant>{true, QString()}));
  EXPECT_EQ(rowsInFile(path, sheet, 1, 200), range(1, 200));
  const QString first = dir.filePath(QStringLiteral("first.xls"));
  ASSERT_TRUE(writeFile(first, gate.afterFirst));
  EXPECT_EQ(rowsInFile(first, sheet, 1, 200), range(1, 100)) << "the first save wrote the snapshot of its request";
  QCoreApplication::processEvents();
  EXPECT_EQ(done.count(), 2);
  EXPECT_EQ(gate.writes.load(), 2);
  EXPECT_FALSE(app->hasUnsavedChanges());

  // Nothing changed since: neither another request nor the end writes again.
  const FileState saved = stateOf(path);
  app->saveInBackground();
  ASSERT_TRUE(done.wait(60000));
  EXPECT_EQ(done[2], (QList<QVariant>{true, QString()}));
  app->release();
  EXPECT_EQ(stateOf(path), saved);
  EXPECT_EQ(gate.writes.load(), 2);
  EXPECT_TRUE(question.asked.empty());
}

TEST_F(EmbeddedSaveTest, ABackgroundSaveThatFailsSaysWhyAndLosesNothing) {
  REQUIRE_XLRD();
  const QString path = book(QStringLiteral("books"));
  const int sheet = activeSheet(path);
  FolderTrouble trouble(QFileInfo(path).absolutePath());
  ASSERT_TRUE(app->openWorkbook(path).ok());
  ASSERT_TRUE(writeRows(*app, 1, 30));
  const FileState before = stateOf(path);
  ASSERT_TRUE(trouble.makeReadOnly());
  QSignalSpy done(app.get(), &SpreadsheetApp::backgroundSaveDone);

  app->saveInBackground();
  ASSERT_TRUE(done.wait(60000));
  EXPECT_FALSE(done[0][0].toBool());
  const QString reason = done[0][1].toString();
  for (const QString& words : {QStringLiteral("保存できませんでした"), QStringLiteral("書き込みが許可されていません"),
                               QFileInfo(path).absoluteFilePath()})
    EXPECT_TRUE(reason.contains(words)) << reason.toStdString();
  EXPECT_TRUE(app->hasUnsavedChanges());
  EXPECT_EQ(stateOf(path), before);
  EXPECT_EQ(QDir(QFileInfo(path).absolutePath()).entryList(QDir::Files), QStringList{QStringLiteral("book.xls")});
  EXPECT_TRUE(boxes.shown.empty()) << "the caller decides what to tell";

  // The user's own save from the window has nobody else to tell.
  app->window()->saveAction().trigger();
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].icon, MessageIcon::Critical);
  EXPECT_TRUE(boxes.shown[0].text.contains(QStringLiteral("書き込みが許可されていません")));

  ASSERT_TRUE(trouble.makeWritable());
  ASSERT_TRUE(writeRows(*app, 31, 40));
  ASSERT_TRUE(app->saveActiveWorkbook().ok());
  EXPECT_FALSE(app->hasUnsavedChanges());
  EXPECT_EQ(rowsInFile(path, sheet, 1, 40), range(1, 40)) << "every row written is in the file";
}

TEST_F(EmbeddedSaveTest, TheSaveAtTheEndFollowsARunningBackgroundSaveAndHoldsEverything) {
  REQUIRE_XLRD();
  const QString path = book(QStringLiteral("books"));
  const int sheet = activeSheet(path);
  ASSERT_TRUE(app->openWorkbook(path).ok());
  QSignalSpy done(app.get(), &SpreadsheetApp::backgroundSaveDone);
  ASSERT_TRUE(writeRows(*app, 1, 50));
  app->saveInBackground();
  ASSERT_TRUE(writeRows(*app, 51, 60));
  question.answers = {SavePrompt::Save};
  app->release();
  EXPECT_EQ(question.asked.size(), 1u) << "rows written after the request were still unsaved";
  EXPECT_EQ(rowsInFile(path, sheet, 1, 60), range(1, 60));
  QCoreApplication::processEvents();
  ASSERT_EQ(done.count(), 1);
  EXPECT_TRUE(done[0][0].toBool());
  EXPECT_FALSE(QFileInfo::exists(lockFilePath(path)));
}

// A mark goes through the background save's copy into the file and shows in
// the window; a number, a date and an empty cell keep what they hold.
TEST_F(EmbeddedSaveTest, AMarkReachesTheWindowAndTheBackgroundSave) {
  const QString path = book(QStringLiteral("marks"));
  const int sheet = activeSheet(path);
  ASSERT_TRUE(app->openWorkbook(path).ok());
  const QDateTime when(QDate(2026, 12, 8), QTime(7, 30));
  ASSERT_TRUE(app->setCellValue(2, NumberColumn, std::int32_t{12}));
  ASSERT_TRUE(app->setCellValue(3, NumberColumn, Stamp{when, Stamp::Kind::Date}));
  QSignalSpy done(app.get(), &SpreadsheetApp::backgroundSaveDone);
  for (int row : {2, 3, 4}) ASSERT_TRUE(app->markCell(row, NumberColumn)) << row;
  const Status outside = app->markCell(0, NumberColumn);
  ASSERT_FALSE(outside);
  EXPECT_TRUE(outside.error().is(SheetError::OutsideSheet));
  ASSERT_NE(app->window(), nullptr);
  const SheetModel& model = app->window()->model();
  EXPECT_EQ(model.data(model.index(1, NumberColumn - 1), Qt::BackgroundRole), QVariant(QColor(255, 153, 204)));
  EXPECT_FALSE(model.data(model.index(4, NumberColumn - 1), Qt::BackgroundRole).isValid());

  app->saveInBackground();
  ASSERT_TRUE(done.wait(60000));
  EXPECT_EQ(done[0], (QList<QVariant>{true, QString()}));
  ASSERT_TRUE(app->markCell(2, NumberColumn));
  EXPECT_FALSE(app->hasUnsavedChanges()) << "a marked cell marked again is no change";

  const auto saved = xls::Workbook::open(QFile::encodeName(path).toStdString());
  ASSERT_TRUE(saved.ok()) << saved.description();
  const auto cellAt = [&](std::uint32_t row) { return saved->cell(static_cast<std::size_t>(sheet), row, 7).value(); };
  for (std::uint32_t row : {1u, 2u, 3u})
    EXPECT_EQ(saved->solidFillOf(cellAt(row).xf), (xls::Rgb{255, 153, 204})) << row;
  EXPECT_EQ(cellAt(1).value, xls::Value(12.0));
  EXPECT_TRUE(std::holds_alternative<xls::DateTimeValue>(cellAt(2).value));
  EXPECT_TRUE(std::holds_alternative<std::monostate>(cellAt(3).value));
  EXPECT_FALSE(saved->solidFillOf(cellAt(4).xf));
}

}  // namespace
}  // namespace kestrune::sheet::embedded
