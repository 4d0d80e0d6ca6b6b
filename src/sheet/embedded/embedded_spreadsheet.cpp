#include "sheet/embedded/embedded_spreadsheet.h"

#include "core/message_boxes.h"
#include "core/trace.h"

#include "sheet/embedded/background_saver.h"
#include "sheet/embedded/cell_text.h"
#include "sheet/embedded/sheet_window.h"
#include "sheet/xls/atomic_file.h"
#include "sheet/xls/workbook.h"

#include <QTabBar>
#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

#include <unistd.h>

namespace kestrune::sheet::embedded {

namespace {

const QString MsgNoWorkbook = QStringLiteral("ブックが開かれていません");
const QString MsgWorkbookClosed = QStringLiteral("ブックは閉じられています");
const QString MsgEnded = QStringLiteral("シートアプリケーションは終了しています");
const QString MsgAlreadyOpen = QStringLiteral("既にブック「%1」を開いています");
const QString MsgCannotOpen = QStringLiteral("ブック「%1」を開けません。\n理由: %2");
const QString MsgNotWorksheet = QStringLiteral("アクティブシート「%1」はワークシートではありません");
const QString MsgOutside = QStringLiteral("セル（行 %1、列 %2）はシートの範囲外です（65,536 行 × 256 列まで）");
const QString MsgCannotWrite = QStringLiteral("セル %1 に書き込めません: %2");
const QString MsgCannotMark = QStringLiteral("セル %1 に印を付けられません: %2");
const QString MsgCannotSave =
    QStringLiteral("ブック「%1」を保存できませんでした。\n%2\n元のファイルはそのまま残っています。\n（%3）");
const QString MsgReadOnlyWorkbook =
    QStringLiteral("ブック「%1」は読み取り専用です。取得データを保存できないため開けません");
const QString MsgReadOnlyFolder = QStringLiteral("フォルダー「%1」に書き込めないため、取得データを保存できません");
const QString MsgTooManySheets = QStringLiteral("ブックのシートが上限の %1 枚に達しています");
const QString MsgSheetNameRefused = QStringLiteral("シート名「%1」は使えないか、既にあります");
const QString MsgWorkbookTooLarge =
    QStringLiteral("シートを加えるとブックのファイルが %1 MB を超え、保存または読み込みができなくなります");
const QString MsgSaveQuestion = QStringLiteral("「%1」への変更を保存しますか?");

// A question that keeps answering 保存 while saving keeps failing must not
// hold up the program end for ever.
constexpr int SaveAttemptsAtProgramEnd = 3;

bool insideSheet(std::int64_t row, std::int64_t column) {
  return row >= 1 && row <= xls::MaxRows && column >= 1 && column <= xls::MaxColumns;
}

bool haveWidgets() { return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr; }

std::string fileSystemPath(const QString& path) { return QFile::encodeName(path).toStdString(); }

// The engine's refusal of a cell or sheet operation, with the code it means here.
Error engineRefusal(const xls::XlsError& error) {
  static constexpr std::pair<xls::XlsErrorCode, SheetError> Codes[] = {
      {xls::XlsErrorCode::NoSuchSheet, SheetError::NoSuchSheet},
      {xls::XlsErrorCode::NotWorksheet, SheetError::NotWorksheet},
      {xls::XlsErrorCode::OutsideSheet, SheetError::OutsideSheet},
      {xls::XlsErrorCode::DateOutOfRange, SheetError::BadDate},
  };
  SheetError code = SheetError::ValueNotWritten;
  for (const auto& [engine, sheet] : Codes)
    if (error.code == engine) code = sheet;
  return fail(code, QString::fromStdString(error.description));
}

// The default question: a modal box with 保存 / 保存しない (/ キャンセル).
SavePrompt askWithDialog(QWidget* parent, const QString& path, bool canCancel) {
  if (!haveWidgets()) return SavePrompt::Save;
  // On the heap and guarded: the parent may go away while the box is open.
  QPointer<QMessageBox> box =
      new QMessageBox(QMessageBox::Question, ApplicationTitle, MsgSaveQuestion.arg(QFileInfo(path).fileName()),
                      QMessageBox::NoButton, parent);
  QPushButton* save = box->addButton(PromptSaveText, QMessageBox::AcceptRole);
  QPushButton* dontSave = box->addButton(PromptDontSaveText, QMessageBox::DestructiveRole);
  QPushButton* cancel = canCancel ? box->addButton(PromptCancelText, QMessageBox::RejectRole) : nullptr;
  box->setDefaultButton(save);
  if (cancel) box->setEscapeButton(cancel);
  box->exec();
  if (!box) return canCancel ? SavePrompt::Cancel : SavePrompt::Save;
  const QAbstractButton* clicked = box->clickedButton();
  const SavePrompt answer = clicked == dontSave             ? SavePrompt::DontSave
                            : clicked == save || !canCancel ? SavePrompt::Save
                                                            : SavePrompt::Cancel;
  delete box;
  return answer;
}

}  // namespace

EmbeddedSpreadsheet::EmbeddedSpreadsheet(SaveQuestion askSave) : askSave_(std::move(askSave)) {}

EmbeddedSpreadsheet::~EmbeddedSpreadsheet() {
  // Handlers the window may still call become no-ops.
  state_ = State::Ended;
  // A background save ends before the lock goes (members go in reverse order).
  saver_.reset();
  if (!window_) return;
  window_->hide();
  window_->showWorkbook(nullptr, QString());
  // Ended from inside the window's own close event (by a listener of
  // workbookBeforeClose): the window is deleted once that event is over.
  if (window_->inCloseEvent()) window_.release()->deleteLater();
}

bool EmbeddedSpreadsheet::hasWorkbook() const { return state_ == State::Open; }

bool EmbeddedSpreadsheet::hasUnsavedChanges() const { return state_ == State::Open && dirty_; }

Status EmbeddedSpreadsheet::usable() const {
  switch (state_) {
    case State::Open:
      return {};
    case State::NoWorkbook:
      return fail(SheetError::NoWorkbook, MsgNoWorkbook);
    case State::Closed:
      return fail(SheetError::NoWorkbook, MsgWorkbookClosed);
    case State::Ended:
      break;
  }
  return fail(SheetError::NoWorkbook, MsgEnded);
}

Result<std::size_t> EmbeddedSpreadsheet::activeWorksheet() const {
  if (Status s = usable(); !s) return s.error();
  const std::size_t sheet = workbook_->activeSheet();
  if (workbook_->sheetKind(sheet) != xls::SheetKind::Worksheet)
    return fail(SheetError::NotWorksheet, MsgNotWorksheet.arg(QString::fromStdString(workbook_->sheetName(sheet))));
  return sheet;
}

void EmbeddedSpreadsheet::ensureWindow() {
  if (window_ || !haveWidgets()) return;
  SheetWindow::Handlers handlers;
  // The user's own save: nobody else is there to say that it failed.
  handlers.save = [this] {
    if (state_ == State::Open) static_cast<void>(saveAndReport());
  };
  handlers.closeRequested = [this] { return userClosesWindow(); };
  handlers.sheetChosen = [this](std::size_t sheet) { userChoseSheet(sheet); };
  handlers.cellChosen = [this](std::uint32_t row, std::uint32_t column) { userChoseCell(row, column); };
  window_ = std::make_unique<SheetWindow>(std::move(handlers));
}

Status EmbeddedSpreadsheet::checkAndLock(const QString& path) {
  const xls::WriteCheck check = xls::checkWritable(fileSystemPath(path));
  switch (check.obstacle) {
    case xls::WriteObstacle::None:
    case xls::WriteObstacle::BrokenLink:  // the open itself says the file is missing
      break;
    case xls::WriteObstacle::ReadOnlyFile:
      return fail(SheetError::ReadOnly, MsgReadOnlyWorkbook.arg(QFileInfo(path).fileName()));
    case xls::WriteObstacle::ReadOnlyFolder:
      return fail(SheetError::ReadOnly,
                  MsgReadOnlyFolder.arg(QDir(QFile::decodeName(check.folder.c_str())).absolutePath()));
  }
  target_ = check.target;
  // The lock sits beside the file that is written, wherever it was reached from.
  Result<WorkbookLock> lock = WorkbookLock::take(QFile::decodeName(target_.c_str()));
  if (!lock) return lock.error();
  lock_ = std::move(lock).value();
  return {};
}

Status EmbeddedSpreadsheet::openWorkbook(const QString& path) {
  if (state_ == State::Ended) return fail(SheetError::NoWorkbook, MsgEnded);
  if (state_ == State::Open) return fail(SheetError::AlreadyOpen, MsgAlreadyOpen.arg(path_));
  // A missing file gets its reason from the open below.
  if (QFileInfo::exists(path))
    if (Status usableHere = checkAndLock(path); !usableHere) return usableHere;
  xls::XlsResult<xls::Workbook> opened = xls::Workbook::open(fileSystemPath(path));
  // The reason goes back to the caller, which shows it in its own message.
  if (!opened) {
    lock_.release();
    return fail(SheetError::CannotStart, MsgCannotOpen.arg(path, openFailureReason(path, opened.error())));
  }
  workbook_ = std::make_unique<xls::Workbook>(std::move(opened).value());
  saver_ = std::make_unique<BackgroundSaver>(
      [this] {
        return BackgroundSaver::Snapshot{std::make_unique<xls::Workbook>(*workbook_), changes_};
      },
      target_);
  saver_->setWriteGate(backgroundWriteGate_);
  connect(saver_.get(), &BackgroundSaver::saved, this, &EmbeddedSpreadsheet::backgroundSaved);
  path_ = path;
  state_ = State::Open;
  changes_ = savedAt_ = 0;
  dirty_ = false;
  ensureWindow();
  if (window_) window_->showWorkbook(workbook_.get(), QFileInfo(path).absoluteFilePath());
  return {};
}

Status EmbeddedSpreadsheet::setVisible(bool visible) {
  if (Status s = usable(); !s) return s;
  if (!window_) return {};
  if (visible)
    window_->show();
  else
    window_->hide();
  return {};
}

Status EmbeddedSpreadsheet::setWindowStateNormal() {
  if (Status s = usable(); !s) return s;
  if (!window_) return {};
  window_->setWindowState(window_->windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized));
  if (window_->isVisible()) window_->raise();
  return {};
}

Status EmbeddedSpreadsheet::saveActiveWorkbook() {
  if (Status s = usable(); !s) return s;
  return saveNow();
}

QString EmbeddedSpreadsheet::saveFailure(const xls::XlsError& error) const {
  return MsgCannotSave.arg(QFileInfo(path_).absoluteFilePath(), saveFailureReason(error),
                           QString::fromStdString(error.description));
}

Status EmbeddedSpreadsheet::saveNow() {
  // Nothing runs between waiting for the worker and writing: no second
  // writer of the file can start in between.
  saver_->finishRunning();
  if (dirty_) {
    const xls::XlsStatus saved = workbook_->save(target_);
    if (!saved) return fail(SheetError::NotSaved, saveFailure(saved.error()));
    savedUpTo(changes_);
  }
  // The file holds everything now: a background save still waiting has nothing left to do.
  if (saver_->dropWaiting()) answerBackground(true, QString());
  return {};
}

Status EmbeddedSpreadsheet::saveAndReport() {
  const Status saved = saveNow();
  if (!saved) emit saveFailed(saved.error());
  return saved;
}

void EmbeddedSpreadsheet::saveInBackground() {
  if (Status s = usable(); !s) return answerBackground(false, s.description());
  if (!dirty_) return answerBackground(true, QString());
  saver_->save();
}

void EmbeddedSpreadsheet::backgroundSaved(quint64 changes, const xls::XlsStatus& outcome) {
  if (state_ != State::Open) return;
  if (outcome) savedUpTo(changes);
  answerBackground(outcome.ok(), outcome ? QString() : saveFailure(outcome.error()));
}

void EmbeddedSpreadsheet::answerBackground(bool saved, const QString& reason) {
  // Always from the event loop, never from inside the call that caused it.
  QMetaObject::invokeMethod(
      this, [this, saved, reason] { emit backgroundSaveDone(saved, reason); }, Qt::QueuedConnection);
}

Status EmbeddedSpreadsheet::quit() {
  if (Status s = usable(); !s) return s;
  closeWorkbook(State::Ended);
  return {};
}

void EmbeddedSpreadsheet::release() {
  QPointer<EmbeddedSpreadsheet> self(this);
  // A background save may leave nothing to ask about.
  if (state_ == State::Open) saver_->finishRunning();
  // The program end cannot be cancelled: any answer but 保存しない saves.
  if (state_ == State::Open && dirty_) {
    for (int attempt = 0; attempt < SaveAttemptsAtProgramEnd; ++attempt) {
      const SavePrompt answer = ask(false);
      if (!self) return;
      if (state_ != State::Open || answer == SavePrompt::DontSave || saveAndReport()) break;
    }
  }
  closeWorkbook(State::Ended);
}

Status EmbeddedSpreadsheet::selectRange(const QString& address) {
  if (Status s = usable(); !s) return s;
  const Result<CellRef> cell = parseA1(address);
  if (!cell) return cell.error();
  return selectAt(cell->row, cell->column);
}

Status EmbeddedSpreadsheet::selectCell(std::int32_t row, std::int32_t column) { return selectAt(row, column); }

Status EmbeddedSpreadsheet::selectAt(std::int64_t row, std::int64_t column) {
  const Result<std::size_t> sheet = activeWorksheet();
  if (!sheet) return sheet.error();
  if (!insideSheet(row, column)) return fail(SheetError::OutsideSheet, MsgOutside.arg(row).arg(column));
  const auto r = static_cast<std::uint32_t>(row - 1);
  const auto c = static_cast<std::uint32_t>(column - 1);
  const xls::XlsStatus set = workbook_->setActiveCell(*sheet, r, c);
  if (!set) return engineRefusal(set.error());
  if (window_) window_->showActiveCell();
  return {};
}

Result<CellRef> EmbeddedSpreadsheet::activeCell() {
  const Result<std::size_t> sheet = activeWorksheet();
  if (!sheet) return sheet.error();
  const xls::CellPosition active = workbook_->activeCell(*sheet);
  return CellRef{active.row + 1, active.column + 1};
}

Status EmbeddedSpreadsheet::setCellValue(std::int32_t row, std::int32_t column, const CellValue& value) {
  const Result<std::size_t> sheet = activeWorksheet();
  if (!sheet) return sheet.error();
  if (!insideSheet(row, column)) return fail(SheetError::OutsideSheet, MsgOutside.arg(row).arg(column));
  const QString address = columnLetters(column) + QString::number(row);
  const Result<xls::Value> converted = toEngineValue(value, workbook_->date1904());
  if (!converted) {
    Error refused = converted.error();
    refused.description = MsgCannotWrite.arg(address, refused.description);
    return refused;
  }
  const auto r = static_cast<std::uint32_t>(row - 1);
  const auto c = static_cast<std::uint32_t>(column - 1);
  const xls::XlsStatus written = workbook_->setCell(*sheet, r, c, converted.value());
  if (written) ++changes_;
  if (!written) {
    Error refused = engineRefusal(written.error());
    refused.description = MsgCannotWrite.arg(address, refused.description);
    return refused;
  }
  changed();
  if (window_) window_->cellChanged(*sheet, r, c);
  return {};
}

Status EmbeddedSpreadsheet::markCell(std::int32_t row, std::int32_t column) {
  const Result<std::size_t> sheet = activeWorksheet();
  if (!sheet) return sheet.error();
  if (!insideSheet(row, column)) return fail(SheetError::OutsideSheet, MsgOutside.arg(row).arg(column));
  const auto r = static_cast<std::uint32_t>(row - 1);
  const auto c = static_cast<std::uint32_t>(column - 1);
  constexpr xls::Rgb fill{MarkFillRgb >> 16 & 0xFF, MarkFillRgb >> 8 & 0xFF, MarkFillRgb & 0xFF};
  const xls::XlsResult<bool> marked = workbook_->fillCell(*sheet, r, c, fill);
  if (!marked) {
    Error refused = engineRefusal(marked.error());
    refused.description = MsgCannotMark.arg(columnLetters(column) + QString::number(row), refused.description);
    return refused;
  }
  if (!marked.value()) return {};
  ++changes_;
  changed();
  if (window_) window_->cellChanged(*sheet, r, c);
  return {};
}

Result<QString> EmbeddedSpreadsheet::cellText(std::int32_t row, std::int32_t column) {
  const Result<std::size_t> sheet = activeWorksheet();
  if (!sheet) return sheet.error();
  if (!insideSheet(row, column)) return fail(SheetError::OutsideSheet, MsgOutside.arg(row).arg(column));
  const xls::CellsView cells = workbook_->cells(*sheet);
  const auto found = cells.find(static_cast<std::uint32_t>(row - 1) << 8 | static_cast<std::uint32_t>(column - 1));
  if (found == cells.end() || found->second.formula) return QString();
  const auto* text = std::get_if<std::string>(&found->second.value);
  return text ? QString::fromStdString(*text) : QString();
}

Status EmbeddedSpreadsheet::ensureColumnWidth(std::int32_t column, int characters) {
  const Result<std::size_t> sheet = activeWorksheet();
  if (!sheet) return sheet.error();
  if (!insideSheet(1, column)) return fail(SheetError::OutsideSheet, MsgOutside.arg(1).arg(column));
  const auto c = static_cast<std::uint32_t>(column - 1);
  const std::uint16_t width = xls::columnWidthForCharacters(characters);
  const xls::XlsResult<bool> widened = workbook_->ensureColumnWidth(*sheet, c, width);
  if (!widened) return engineRefusal(widened.error());
  if (!widened.value()) return {};
  // A change like a written cell: saved at close, and by the next background save.
  ++changes_;
  changed();
  if (window_) window_->columnWidthChanged(*sheet, c);
  return {};
}

Result<ActiveSheetInfo> EmbeddedSpreadsheet::activeSheetInfo() {
  if (Status s = usable(); !s) return s.error();
  const std::size_t sheet = workbook_->activeSheet();
  return ActiveSheetInfo{QString::fromStdString(workbook_->sheetName(sheet)),
                         workbook_->sheetKind(sheet) == xls::SheetKind::Worksheet};
}

Status EmbeddedSpreadsheet::activateSheet(const QString& name) {
  if (name.isEmpty()) return {};
  if (Status s = usable(); !s) return s;
  for (std::size_t sheet = 0; sheet < workbook_->sheetCount(); ++sheet) {
    if (QString::fromStdString(workbook_->sheetName(sheet)) != name) continue;
    if (const xls::XlsStatus chosen = workbook_->setActiveSheet(sheet); !chosen) return engineRefusal(chosen.error());
    if (window_) window_->tabs().setCurrentIndex(static_cast<int>(sheet));
    return {};
  }
  return fail(SheetError::NoSuchSheet, QStringLiteral("シート「%1」がありません").arg(name));
}

Result<QStringList> EmbeddedSpreadsheet::sheetNames() {
  if (Status s = usable(); !s) return s.error();
  QStringList names;
  for (std::size_t sheet = 0; sheet < workbook_->sheetCount(); ++sheet)
    names << QString::fromStdString(workbook_->sheetName(sheet));
  return names;
}

// The file after another sheet filled like the others: its size now and an
// average sheet's share more. It must open here again and fit the file
// system it is on.
Status EmbeddedSpreadsheet::roomForSheet() const {
  const QFileInfo file(QFile::decodeName(target_.c_str()));
  std::size_t worksheets = 0;
  for (std::size_t sheet = 0; sheet < workbook_->sheetCount(); ++sheet)
    if (workbook_->sheetKind(sheet) == xls::SheetKind::Worksheet) ++worksheets;
  const auto size = static_cast<std::uint64_t>(std::max<qint64>(file.size(), 0));
  const std::uint64_t projected = size + size / std::max<std::size_t>(worksheets, 1);
  std::uint64_t limit = xls::MaxFileSize;
  const long bits = ::pathconf(QFile::encodeName(file.absolutePath()).constData(), _PC_FILESIZEBITS);
  if (bits > 1 && bits < 64) limit = std::min(limit, (std::uint64_t{1} << (bits - 1)) - 1);
  if (projected > limit) return fail(SheetError::SheetNotAdded, MsgWorkbookTooLarge.arg(limit / (1024 * 1024)));
  return {};
}

Status EmbeddedSpreadsheet::addSheet(const QString& name, std::int32_t headerRows) {
  const Result<std::size_t> sheet = activeWorksheet();
  if (!sheet) return sheet.error();
  if (Status room = roomForSheet(); !room) return room;
  const std::string engineName = name.toStdString();
  const xls::XlsResult<std::size_t> added = workbook_->addWorksheet(*sheet, engineName);
  if (!added) {
    const QString why = added.error().code == xls::XlsErrorCode::TooManySheets ? MsgTooManySheets.arg(xls::MaxSheets)
                        : added.error().code == xls::XlsErrorCode::BadSheetName
                            ? MsgSheetNameRefused.arg(name)
                            : QString::fromStdString(added.error().description);
    return fail(SheetError::SheetNotAdded, why);
  }
  ++changes_;
  // The source sheet stays where it was: the new one comes after it.
  if (headerRows > 0) {
    const auto rows = static_cast<std::uint32_t>(headerRows);
    if (const xls::XlsStatus copied = workbook_->copyRows(*sheet, *added, rows); !copied)
      trace(QStringLiteral("header rows"), QString::fromStdString(copied.description()));
    ++changes_;
  }
  static_cast<void>(workbook_->setActiveSheet(*added));  // a sheet just added
  // The window shows the new tab and the sheet; then that the workbook changed.
  if (window_) window_->showWorkbook(workbook_.get(), QFileInfo(path_).absoluteFilePath());
  changed();
  return {};
}

SavePrompt EmbeddedSpreadsheet::ask(bool canCancel) {
  return askSave_ ? askSave_(path_) : askWithDialog(window_.get(), path_, canCancel);
}

void EmbeddedSpreadsheet::changed() {
  dirty_ = true;
  if (window_) window_->setModified(true);
}

void EmbeddedSpreadsheet::savedUpTo(quint64 changes) {
  savedAt_ = std::max(savedAt_, changes);
  dirty_ = savedAt_ != changes_;
  if (window_) window_->setModified(dirty_);
  if (!dirty_) emit workbookSaved();
}

void EmbeddedSpreadsheet::closeWorkbook(State next) {
  state_ = next;
  if (window_) {
    if (!window_->inCloseEvent()) window_->hide();
    window_->showWorkbook(nullptr, QString());
  }
  // A running background save ends first, so that nothing writes the file
  // once its lock is gone; one still waiting is dropped.
  saver_.reset();
  workbook_.reset();
  lock_.release();
  target_.clear();
  dirty_ = false;
}

bool EmbeddedSpreadsheet::userClosesWindow() {
  if (state_ != State::Open) return true;
  // The question runs a nested event loop and listeners of the event may
  // end this application: check that it still exists and is still open.
  QPointer<EmbeddedSpreadsheet> self(this);
  saver_->finishRunning();
  if (dirty_) {
    const SavePrompt answer = ask(true);
    if (!self || state_ != State::Open) return true;
    if (answer == SavePrompt::Cancel) return false;
    if (answer == SavePrompt::Save && !saveAndReport()) return false;
  }
  bool cancel = false;
  emit workbookBeforeClose(path_, &cancel);
  if (!self || state_ != State::Open) return true;
  if (cancel) return false;
  closeWorkbook(State::Closed);
  return true;
}

void EmbeddedSpreadsheet::userChoseSheet(std::size_t sheet) {
  if (state_ != State::Open) return;
  const xls::XlsStatus chosen = workbook_->setActiveSheet(sheet);
  if (!chosen) trace(QStringLiteral("sheet tab"), QString::fromStdString(chosen.description()));
}

void EmbeddedSpreadsheet::userChoseCell(std::uint32_t row, std::uint32_t column) {
  if (state_ != State::Open) return;
  const std::size_t sheet = workbook_->activeSheet();
  const bool set = workbook_->setActiveCell(sheet, row, column).ok();
  if (!set) return;
  emit sheetSelectionChange(QString::fromStdString(workbook_->sheetName(sheet)),
                            CellRef{static_cast<std::int32_t>(row) + 1, static_cast<std::int32_t>(column) + 1});
}

SpreadsheetFactory embeddedFactory(SaveQuestion askSave) {
  return [askSave = std::move(askSave)]() -> Result<std::unique_ptr<SpreadsheetApp>> {
    return std::unique_ptr<SpreadsheetApp>(std::make_unique<EmbeddedSpreadsheet>(askSave));
  };
}

}  // namespace kestrune::sheet::embedded
