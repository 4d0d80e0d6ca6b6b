#include "app/recover_command.h"

#include "app/headless.h"
#include "core/run_cursor.h"
#include "sheet/a1.h"
#include "sheet/workbook_connection.h"

namespace kestrune::app {

namespace {

void print(std::FILE* stream, const QString& text) {
  std::fprintf(stream, "%s\n", text.toUtf8().constData());
  std::fflush(stream);
}

}  // namespace

int recoverJournal(const QString& journalPath, const QString& workbookPath, sheet::SpreadsheetFactory factory,
                   std::FILE* out, std::FILE* err) {
  // The settings of runs stay as they are: this only brings cells back.
  RunCursor cursor;
  sheet::WorkbookConnection connection(cursor, std::move(factory));
  // The workbook's own journal, if it has one, is dealt with first as at any open.
  QObject::connect(&connection, &sheet::WorkbookConnection::rowsRecovered,
                   [out](int rows, int damagedLines, const QString& keptAs) {
                     if (rows > 0 || damagedLines > 0)
                       print(out, QStringLiteral("kestrune: ") + sheet::recoveredText(rows, damagedLines, keptAs));
                   });
  QObject::connect(&connection, &sheet::WorkbookConnection::recoveryFailed, [err](const QString& reason) {
    print(err, QStringLiteral("kestrune: ") + sheet::MsgRecoveryFailed + QLatin1Char('\n') + reason);
  });
  QObject::connect(&connection, &sheet::WorkbookConnection::journalWarning,
                   [err](const QString& text) { print(err, QStringLiteral("kestrune: ") + text); });
  const Status opened = connection.open(workbookPath);
  if (!opened) print(err, QStringLiteral("kestrune: ") + opened.description());
  if (connection.excelState() != sheet::ExcelState::Open) {
    connection.release();
    return ExitCouldNotStart;
  }
  const Result<sheet::WorkbookConnection::Replayed> replayed = connection.replayJournal(journalPath);
  if (!replayed) {
    print(err, QStringLiteral("kestrune: ") + replayed.description());
    // What was written stays unsaved where the application allows; the journal is kept whole.
    const bool notSaved = replayed.error().is(sheet::SheetError::NotSaved);
    if (connection.close()) return notSaved ? ExitNotSaved : ExitCouldNotStart;
    connection.release();
    return ExitNotSaved;
  }
  print(out, QStringLiteral("kestrune: ") +
                 sheet::MsgJournalReplayed.arg(journalPath).arg(replayed->rows).arg(workbookPath));
  if (replayed->rows > 0) {
    const sheet::JournalRow& last = replayed->last;
    print(out, QStringLiteral("kestrune: 記録の続きはシート「%1」の %2%3、次の取得番号は %4 です")
                   .arg(last.sheet, sheet::columnLetters(last.nextColumn))
                   .arg(last.nextRow)
                   .arg(last.acquisitionNo));
  }
  if (replayed->damagedLines > 0)
    print(err, QStringLiteral("kestrune: ") + sheet::MsgDamagedSkipped.arg(replayed->damagedLines).arg(journalPath));
  else if (!replayed->retired)
    print(err, QStringLiteral("kestrune: 取得データの記録 %1 を消せません").arg(journalPath));
  if (const Status closed = connection.close(); !closed) {
    print(err, QStringLiteral("kestrune: ") + closed.description());
    connection.release();
    return ExitNotSaved;
  }
  return ExitFinished;
}

}  // namespace kestrune::app
