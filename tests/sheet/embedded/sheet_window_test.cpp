// The sheet window of the built-in application on the offscreen platform:
// the grid model, writing one cell, program and user selections, sheet
// tabs, the File menu, and the user closing the window.
#include "embedded_test_support.h"

#include "fakes/recording_message_boxes.h"
#include "sheet/embedded/sheet_window.h"
#include "sheet/xls/workbook.h"

#include <QAction>
#include <QApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTabBar>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <ostream>

Q_DECLARE_METATYPE(kestrune::sheet::CellRef)

namespace kestrune::sheet::embedded {
namespace {

using kestrune::testing::RecordingMessageBoxes;
using namespace testing;

// ---- The model on its own -----------------------------------------------------

TEST(SheetModelTest, GridOfAWorksheetWithHeaders) {
  const xls::Workbook book = xls::Workbook::createEmpty();
  SheetModel model;
  EXPECT_EQ(model.rowCount(), 0) << "no workbook, no grid";
  model.show(&book, 0);
  EXPECT_EQ(model.rowCount(), 65536);
  EXPECT_EQ(model.columnCount(), 256);
  const std::pair<int, const char*> columns[] = {{0, "A"}, {25, "Z"}, {26, "AA"}, {51, "AZ"}, {255, "IV"}};
  for (const auto& [section, letters] : columns)
    EXPECT_EQ(model.headerData(section, Qt::Horizontal).toString(), QString::fromLatin1(letters));
  for (int section : {0, 9, 65535})
    EXPECT_EQ(model.headerData(section, Qt::Vertical).toString(), QString::number(section + 1));
  EXPECT_FALSE(model.data(model.index(0, 0)).isValid()) << "an empty cell shows nothing";
  EXPECT_FALSE(model.flags(model.index(3, 3)).testFlag(Qt::ItemIsEditable));
}

TEST(SheetModelTest, ShowsEachKindOfValueAsASpreadsheetWould) {
  xls::Workbook book = xls::Workbook::createEmpty();
  const std::tuple<std::uint32_t, std::uint32_t, xls::Value, const char*, Qt::Alignment> cells[] = {
      {0, 0, std::string("text"), "text", Qt::AlignLeft},
      {0, 1, 42.0, "42", Qt::AlignRight},
      {0, 2, 2.0 / 3.0, "0.6666666667", Qt::AlignRight},
      {1, 0, xls::DateTimeValue{45000, xls::DateKind::DateOnly}, "2023/03/15", Qt::AlignRight},
      {1, 1, xls::DateTimeValue{0.75, xls::DateKind::TimeOnly}, "18:00:00", Qt::AlignRight},
      {1, 2, xls::DateTimeValue{45000.75, xls::DateKind::DateTime}, "2023/03/15 18:00:00", Qt::AlignRight},
      {2, 0, true, "TRUE", Qt::AlignHCenter},
      {2, 1, xls::CellError{0x07}, "#DIV/0!", Qt::AlignHCenter},
      {65535, 255, std::string("corner"), "corner", Qt::AlignLeft},
  };
  for (const auto& [row, column, value, text, alignment] : cells) ASSERT_TRUE(book.setCell(0, row, column, value).ok());
  SheetModel model;
  model.show(&book, 0);
  for (const auto& [row, column, value, text, alignment] : cells) {
    const QModelIndex index = model.index(static_cast<int>(row), static_cast<int>(column));
    EXPECT_EQ(model.data(index).toString(), QString::fromUtf8(text)) << row << "," << column;
    const auto shown = model.data(index, Qt::TextAlignmentRole).value<Qt::Alignment>();
    EXPECT_TRUE(shown & alignment) << row << "," << column;
  }
}

// ---- The window through the application -------------------------------------

class SheetWindowTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    app = makeShowingFailedSaves(boxes, question.function());
  }
  // Opens a copy of a sample and shows the window.
  SheetWindow& open(const QString& name) {
    path = copySample(dir, name);
    EXPECT_TRUE(app->openWorkbook(path).ok());
    EXPECT_TRUE(app->setVisible(true).ok());
    EXPECT_TRUE(app->setWindowStateNormal().ok());
    EXPECT_NE(app->window(), nullptr);
    QCoreApplication::processEvents();
    return *app->window();
  }
  QModelIndex at(SheetWindow& w, int row, int column) { return w.model().index(row - 1, column - 1); }

  QTemporaryDir dir;
  RecordingMessageBoxes boxes;
  ScriptedQuestion question;
  std::unique_ptr<EmbeddedSpreadsheet> app;
  QString path;
};

TEST_F(SheetWindowTest, ShowsTheActiveSheetWithTabsTitleAndPath) {
  SheetWindow& w = open(QStringLiteral("two_sheets.xls"));
  EXPECT_TRUE(w.isVisible());
  EXPECT_EQ(w.windowTitle().remove(QStringLiteral("[*]")), QStringLiteral("two_sheets.xls - Kestrune シート"));
  EXPECT_TRUE(w.statusText().contains(QStringLiteral("two_sheets.xls")));
  ASSERT_EQ(w.tabs().count(), 2);
  EXPECT_EQ(w.tabs().tabText(0), QStringLiteral("First"));
  EXPECT_EQ(w.tabs().tabText(1), QStringLiteral("Second"));
  EXPECT_EQ(w.tabs().currentIndex(), 1) << "the workbook's active sheet";
  EXPECT_EQ(w.model().rowCount(), 65536);
  EXPECT_EQ(w.model().columnCount(), 256);
  EXPECT_EQ(w.model().data(at(w, 1, 1)).toString(), QStringLiteral("on second"));
  EXPECT_EQ(w.model().data(at(w, 11, 6)).toString(), QStringLiteral("-2.5"));
}

TEST_F(SheetWindowTest, ShowsTheSampleFormatsCells) {
  SheetWindow& w = open(QStringLiteral("formats.xls"));
  const std::tuple<int, int, const char*> cells[] = {
      {1, 1, "Label"},    {2, 2, "1234.5"}, {3, 2, "0.125"}, {4, 2, "2021/07/04"},
      {5, 2, "13:45:10"}, {6, 2, "3.5"},    {7, 2, "TRUE"},  {1, 3, ""},
  };
  for (const auto& [row, column, text] : cells)
    EXPECT_EQ(w.model().data(at(w, row, column)).toString(), QString::fromLatin1(text)) << row << "," << column;
}

TEST_F(SheetWindowTest, WritingACellUpdatesOnlyThatCell) {
  SheetWindow& w = open(QStringLiteral("two_sheets.xls"));
  QSignalSpy changed(&w.model(), &QAbstractItemModel::dataChanged);
  QSignalSpy reset(&w.model(), &QAbstractItemModel::modelReset);
  QSignalSpy layout(&w.model(), &QAbstractItemModel::layoutChanged);
  EXPECT_FALSE(w.isWindowModified());
  ASSERT_TRUE(app->setCellValue(3, 2, QStringLiteral("0.5")).ok());
  ASSERT_EQ(changed.count(), 1);
  EXPECT_EQ(changed[0][0].value<QModelIndex>(), at(w, 3, 2));
  EXPECT_EQ(changed[0][1].value<QModelIndex>(), at(w, 3, 2));
  EXPECT_EQ(reset.count(), 0);
  EXPECT_EQ(layout.count(), 0);
  EXPECT_EQ(w.model().data(at(w, 3, 2)).toString(), QStringLiteral("0.5"));
  EXPECT_TRUE(w.isWindowModified());
  ASSERT_TRUE(app->saveActiveWorkbook().ok());
  EXPECT_FALSE(w.isWindowModified());
}

TEST_F(SheetWindowTest, AProgramSelectionIsShownButNotReported) {
  SheetWindow& w = open(QStringLiteral("two_sheets.xls"));
  QSignalSpy reported(app.get(), &SpreadsheetApp::sheetSelectionChange);
  for (const char* address : {"C5", "A60000", "IV2"}) {
    ASSERT_TRUE(app->selectRange(QString::fromLatin1(address)).ok());
    const Result<CellRef> cell = parseA1(QString::fromLatin1(address));
    const QModelIndex index = at(w, cell->row, cell->column);
    EXPECT_EQ(w.grid().currentIndex(), index) << address;
    EXPECT_TRUE(w.grid().selectionModel()->isSelected(index)) << address;
    EXPECT_TRUE(w.grid().viewport()->rect().intersects(w.grid().visualRect(index)))
        << address << " is scrolled into view";
  }
  ASSERT_TRUE(app->selectCell(7, 4).ok());
  EXPECT_EQ(w.grid().currentIndex(), at(w, 7, 4));
  EXPECT_EQ(reported.count(), 0);
}

TEST_F(SheetWindowTest, ACursorOutOfViewIsCentredSoNextRowsNeedNoScrolling) {
  SheetWindow& w = open(QStringLiteral("two_sheets.xls"));
  ASSERT_TRUE(app->selectCell(30000, 2).ok());
  const QRect viewport = w.grid().viewport()->rect();
  const int y = w.grid().visualRect(at(w, 30000, 2)).center().y();
  EXPECT_GT(y, viewport.height() / 3);
  EXPECT_LT(y, viewport.height() * 2 / 3);
  const int scrolled = w.grid().verticalScrollBar()->value();
  for (int row = 30001; row <= 30003; ++row) {
    ASSERT_TRUE(app->selectCell(row, 2).ok());
    EXPECT_TRUE(viewport.contains(w.grid().visualRect(at(w, row, 2))));
  }
  EXPECT_EQ(w.grid().verticalScrollBar()->value(), scrolled);
}

TEST_F(SheetWindowTest, ACellSelectedWhileHiddenIsInViewOnceShown) {
  SheetWindow& w = open(QStringLiteral("two_sheets.xls"));
  ASSERT_TRUE(app->setVisible(false).ok());
  EXPECT_FALSE(w.isVisible());
  ASSERT_TRUE(app->selectRange(QStringLiteral("HZ50000")).ok());
  ASSERT_TRUE(app->setVisible(true).ok());
  QCoreApplication::processEvents();
  const QModelIndex index = w.model().index(49999, 233);
  EXPECT_EQ(w.grid().currentIndex(), index);
  EXPECT_TRUE(w.grid().viewport()->rect().intersects(w.grid().visualRect(index)));
}

TEST_F(SheetWindowTest, AUserClickIsReportedAndBecomesTheActiveCell) {
  SheetWindow& w = open(QStringLiteral("two_sheets.xls"));
  ASSERT_TRUE(app->selectRange(QStringLiteral("A1")).ok());
  QSignalSpy reported(app.get(), &SpreadsheetApp::sheetSelectionChange);
  const QModelIndex target = at(w, 3, 2);
  QTest::mouseClick(w.grid().viewport(), Qt::LeftButton, {}, w.grid().visualRect(target).center());
  ASSERT_EQ(reported.count(), 1);
  EXPECT_EQ(reported[0][0].toString(), QStringLiteral("Second"));
  EXPECT_EQ(reported[0][1].value<CellRef>(), (CellRef{3, 2}));
  const Result<CellRef> active = app->activeCell();
  ASSERT_TRUE(active.ok());
  EXPECT_EQ(*active, (CellRef{3, 2}));
  // Moving with the keyboard is a user selection too.
  QTest::keyClick(&w.grid(), Qt::Key_Down);
  ASSERT_EQ(reported.count(), 2);
  EXPECT_EQ(reported[1][1].value<CellRef>(), (CellRef{4, 2}));
}

TEST_F(SheetWindowTest, ASheetTabMakesItsSheetActive) {
  SheetWindow& w = open(QStringLiteral("two_sheets.xls"));
  ASSERT_TRUE(app->selectRange(QStringLiteral("B2")).ok());
  w.tabs().setCurrentIndex(0);
  EXPECT_EQ(w.model().data(at(w, 1, 1)).toString(), QStringLiteral("on first"));
  ASSERT_TRUE(app->selectRange(QStringLiteral("D6")).ok());
  ASSERT_TRUE(app->setCellValue(6, 4, std::int32_t{99}).ok());
  EXPECT_EQ(w.model().data(at(w, 6, 4)).toString(), QStringLiteral("99"));
  // Back to the second sheet: its own active cell comes back.
  w.tabs().setCurrentIndex(1);
  Result<CellRef> active = app->activeCell();
  ASSERT_TRUE(active.ok());
  EXPECT_EQ(*active, (CellRef{2, 2}));
  w.tabs().setCurrentIndex(0);
  ASSERT_TRUE(app->saveActiveWorkbook().ok());
  const auto saved = xls::Workbook::open(QFile::encodeName(path).toStdString());
  ASSERT_TRUE(saved.ok());
  EXPECT_EQ(saved->activeSheet(), 0u);
  EXPECT_EQ(saved->activeCell(0), (xls::CellPosition{5, 3}));
  EXPECT_EQ(saved->cell(0, 5, 3)->value, xls::Value(99.0));
  EXPECT_EQ(saved->cell(1, 5, 3)->value, xls::Value()) << "the other sheet is untouched";
}

TEST_F(SheetWindowTest, TheSaveMenuItemSavesWithCtrlS) {
  SheetWindow& w = open(QStringLiteral("formats.xls"));
  EXPECT_EQ(w.saveAction().shortcut(), QKeySequence(QStringLiteral("Ctrl+S")));
  ASSERT_TRUE(app->setCellValue(9, 1, QStringLiteral("by menu")).ok());
  w.saveAction().trigger();
  EXPECT_FALSE(app->hasUnsavedChanges());
  const auto saved = xls::Workbook::open(QFile::encodeName(path).toStdString());
  ASSERT_TRUE(saved.ok());
  EXPECT_EQ(saved->cell(0, 8, 0)->value, xls::Value(std::string("by menu")));
}

// ---- The user closes the window ---------------------------------------------

TEST_F(SheetWindowTest, ClosingEmitsBeforeCloseThenEveryOperationFails) {
  SheetWindow& w = open(QStringLiteral("two_sheets.xls"));
  QSignalSpy beforeClose(app.get(), &SpreadsheetApp::workbookBeforeClose);
  w.closeAction().trigger();
  ASSERT_EQ(beforeClose.count(), 1);
  EXPECT_EQ(beforeClose[0][0].toString(), path);
  EXPECT_FALSE(w.isVisible());
  EXPECT_TRUE(question.asked.empty()) << "nothing to save, nothing asked";
  EXPECT_FALSE(app->setVisible(true).ok());
  EXPECT_FALSE(app->saveActiveWorkbook().ok());
  EXPECT_FALSE(app->selectRange(QStringLiteral("A1")).ok());
  EXPECT_FALSE(app->activeCell().ok());
  EXPECT_FALSE(app->selectCell(1, 1).ok());
  EXPECT_FALSE(app->setCellValue(1, 1, std::int32_t{1}).ok());
  EXPECT_FALSE(app->quit().ok());
  EXPECT_EQ(w.model().rowCount(), 0) << "the grid lets go of the closed workbook";
  // The application can open a workbook again.
  ASSERT_TRUE(app->openWorkbook(path).ok());
  EXPECT_TRUE(app->activeCell().ok());
}

TEST_F(SheetWindowTest, AListenerCanCancelTheClose) {
  SheetWindow& w = open(QStringLiteral("two_sheets.xls"));
  QObject::connect(app.get(), &SpreadsheetApp::workbookBeforeClose, app.get(),
                   [](const QString&, bool* cancel) { *cancel = true; });
  EXPECT_FALSE(w.close());
  EXPECT_TRUE(w.isVisible());
  EXPECT_TRUE(app->setCellValue(1, 1, std::int32_t{1}).ok());
}

TEST_F(SheetWindowTest, AListenerMayQuitOrEndTheApplicationWhileTheWindowCloses) {
  SheetWindow& w = open(QStringLiteral("two_sheets.xls"));
  QObject::connect(app.get(), &SpreadsheetApp::workbookBeforeClose, app.get(),
                   [this](const QString&, bool*) { EXPECT_TRUE(app->quit().ok()); });
  EXPECT_TRUE(w.close());
  EXPECT_FALSE(w.isVisible());
  EXPECT_FALSE(app->openWorkbook(path).ok()) << "quit ended the application";

  // Destroying the application from inside its own window's close event.
  app = makeShowingFailedSaves(boxes, question.function());
  SheetWindow& second = open(QStringLiteral("formats.xls"));
  const QPointer<SheetWindow> window(&second);
  QObject::connect(app.get(), &SpreadsheetApp::workbookBeforeClose, app.get(),
                   [this](const QString&, bool*) { app.reset(); });
  EXPECT_TRUE(second.close());
  EXPECT_EQ(app, nullptr);
  ASSERT_FALSE(window.isNull()) << "not deleted while its close event runs";
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(window.isNull()) << "deleted once the event is over";
}

struct CloseCase {
  const char* name;
  SavePrompt answer;
  bool staysOpen;
  bool saved;
};

void PrintTo(const CloseCase& c, std::ostream* os) { *os << c.name; }

class ClosePromptTest : public SheetWindowTest, public ::testing::WithParamInterface<CloseCase> {};

TEST_P(ClosePromptTest, UnsavedChangesAreOfferedForSaving) {
  const CloseCase& c = GetParam();
  SheetWindow& w = open(QStringLiteral("two_sheets.xls"));
  question.answers = {c.answer};
  QSignalSpy beforeClose(app.get(), &SpreadsheetApp::workbookBeforeClose);
  ASSERT_TRUE(app->setCellValue(2, 2, QStringLiteral("unsaved")).ok());
  EXPECT_EQ(w.close(), !c.staysOpen);
  ASSERT_EQ(question.asked.size(), 1u);
  EXPECT_EQ(question.asked[0], path);
  EXPECT_EQ(w.isVisible(), c.staysOpen);
  EXPECT_EQ(beforeClose.count(), c.staysOpen ? 0 : 1);
  EXPECT_EQ(app->activeCell().ok(), c.staysOpen);
  const auto reread = xls::Workbook::open(QFile::encodeName(path).toStdString());
  ASSERT_TRUE(reread.ok());
  EXPECT_EQ(reread->cell(1, 1, 1)->value == xls::Value(std::string("unsaved")), c.saved);
}

INSTANTIATE_TEST_SUITE_P(Answers, ClosePromptTest,
                         ::testing::Values(CloseCase{"Cancel", SavePrompt::Cancel, true, false},
                                           CloseCase{"Save", SavePrompt::Save, false, true},
                                           CloseCase{"DontSave", SavePrompt::DontSave, false, false}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(SheetWindowTest, AFailedSaveOnClosingKeepsTheWindowOpen) {
  const QString folder = dir.filePath(QStringLiteral("books"));
  ASSERT_TRUE(QDir().mkpath(folder));
  path = folder + QStringLiteral("/book.xls");
  ASSERT_TRUE(QFile::copy(QStringLiteral(KESTRUNE_XLS_TEST_DATA "/two_sheets.xls"), path));
  ASSERT_TRUE(app->openWorkbook(path).ok());
  ASSERT_TRUE(app->setVisible(true).ok());
  ASSERT_TRUE(app->setCellValue(1, 1, std::int32_t{3}).ok());
  ASSERT_TRUE(QDir().rename(folder, folder + QStringLiteral("-away")));
  question.answers = {SavePrompt::Save};
  EXPECT_FALSE(app->window()->close());
  EXPECT_EQ(boxes.shown.size(), 1u);
  EXPECT_TRUE(app->window()->isVisible());
  EXPECT_TRUE(app->hasUnsavedChanges());
}

// ---- The default question dialog ---------------------------------------------

// Clicks the button with `text` of the message box once it is open.
void clickWhenAsked(const QString& text, QStringList* buttonsSeen) {
  QTimer::singleShot(0, [text, buttonsSeen] {
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box) return;
    for (QAbstractButton* b : box->buttons()) buttonsSeen->append(b->text());
    for (QAbstractButton* b : box->buttons())
      if (b->text() == text) b->click();
  });
}

TEST(DefaultQuestionTest, ClosingOffersThreeAnswersAndProgramEndTwo) {
  QTemporaryDir dir;
  EmbeddedSpreadsheet app;
  const QString path = copySample(dir, QStringLiteral("two_sheets.xls"));
  ASSERT_TRUE(app.openWorkbook(path).ok());
  ASSERT_TRUE(app.setVisible(true).ok());
  ASSERT_TRUE(app.setCellValue(1, 1, QStringLiteral("x")).ok());

  QStringList seen;
  clickWhenAsked(PromptCancelText, &seen);
  EXPECT_FALSE(app.window()->close());
  seen.sort();
  QStringList three{PromptSaveText, PromptDontSaveText, PromptCancelText};
  three.sort();
  EXPECT_EQ(seen, three);
  EXPECT_TRUE(app.window()->isVisible());

  seen.clear();
  clickWhenAsked(PromptDontSaveText, &seen);
  app.release();
  seen.sort();
  QStringList two{PromptSaveText, PromptDontSaveText};
  two.sort();
  EXPECT_EQ(seen, two);
  EXPECT_FALSE(app.activeCell().ok());
  const auto reread = xls::Workbook::open(QFile::encodeName(path).toStdString());
  ASSERT_TRUE(reread.ok());
  EXPECT_NE(reread->cell(1, 0, 0)->value, xls::Value(std::string("x")));
}

}  // namespace
}  // namespace kestrune::sheet::embedded
