// Helpers for the built-in spreadsheet application's tests: copies of the
// sample workbooks, and python3-xlrd as an independent reader of saved files.
#pragma once

#include "core/message_boxes.h"
#include "sheet/embedded/embedded_spreadsheet.h"

#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <map>
#include <memory>
#include <vector>

namespace kestrune::sheet::embedded::testing {

// A built-in application whose failed saves show in `boxes` as Critical
// boxes, as the application layer shows them; and a factory of such.
std::unique_ptr<EmbeddedSpreadsheet> makeShowingFailedSaves(MessageBoxes& boxes, SaveQuestion askSave = {});
SpreadsheetFactory factoryShowingFailedSaves(MessageBoxes& boxes, SaveQuestion askSave);

// Copies the sample workbook `name` (tests/data/xls) into `dir`; returns the copy's path.
QString copySample(const QTemporaryDir& dir, const QString& name, const QString& as = QString());
// The bytes of a file; empty when it cannot be read.
QByteArray fileBytes(const QString& path);

// True when /usr/bin/python3 can import xlrd.
bool haveXlrd();

// What xlrd reads from a file:
//   cells["s r c"] = "type\tvalue" with type text, number, date, bool or error
//     (0-based sheet, row, column); numbers print as %.17g, dates as xlrd's
//     date tuple, e.g. "date\t(2024, 5, 6, 7, 8, 9)";
//   formats["s r c"] = the cell's number format;
//   activeSheet = the selected sheet, cursor[s] = "row col" of the sheet's
//   SELECTION record (0-based), datemode = 0 or 1.
struct XlrdView {
  bool ok = false;
  QString error;
  std::map<QString, QString> cells;
  std::map<QString, QString> formats;
  int activeSheet = -1;
  std::map<int, QString> cursor;
  int datemode = -1;
};
XlrdView readWithXlrd(const QString& path);

#define REQUIRE_XLRD() \
  if (!::kestrune::sheet::embedded::testing::haveXlrd()) GTEST_SKIP() << "/usr/bin/python3 with xlrd is not available"

// Trouble made for real in a folder of a test: a read-only folder, a full
// disk. Root may write into a folder whatever its mode, so for root a
// read-only folder is a read-only bind mount of it; others get its mode
// changed. Mounts are undone and the mode given back on destruction.
class FolderTrouble {
public:
  explicit FolderTrouble(QString folder) : folder_(std::move(folder)) {}
  ~FolderTrouble();
  FolderTrouble(const FolderTrouble&) = delete;
  FolderTrouble& operator=(const FolderTrouble&) = delete;

  // Mounts an empty tmpfs of `kib` KiB at the folder: root only.
  bool mountSmallDisk(int kib);
  // The folder refuses new files; `writableFile` in it, if given, stays writable.
  bool makeReadOnly(const QString& writableFile = QString());
  bool makeWritable();
  // Fills the small disk to the last byte (a file in a subfolder).
  bool fillDisk();

private:
  QString folder_;
  QStringList readOnlyMounts_;  // bind mounts, the innermost last
  bool smallDisk_ = false;
  bool modeChanged_ = false;
};

// A save question that records the paths it was asked about and answers
// from a list (the last answer repeats).
struct ScriptedQuestion {
  std::vector<SavePrompt> answers;
  std::vector<QString> asked;
  SaveQuestion function() {
    return [this](const QString& path) {
      asked.push_back(path);
      const std::size_t i = std::min(asked.size() - 1, answers.size() - 1);
      return answers.empty() ? SavePrompt::DontSave : answers[i];
    };
  }
};

}  // namespace kestrune::sheet::embedded::testing
