// An in-memory spreadsheet application: one sheet of cells, an active cell,
// every call recorded, and any operation made to fail on demand.
#pragma once

#include "sheet/spreadsheet_app.h"

#include <map>
#include <set>
#include <string>
#include <vector>

namespace kestrune::testing {

class FakeSpreadsheet final : public sheet::SpreadsheetApp {
public:
  // What the fake has seen, shared with the test after ownership moves away.
  struct Log {
    std::vector<std::string> calls;
    std::map<std::pair<int, int>, sheet::CellValue> cells;
    sheet::CellRef active{1, 1};
    std::string openedPath;
    bool visible = false;
    bool released = false;
    bool destroyed = false;
    std::map<int, int> columnWidths;  // column: the characters asked for
    int columnWidthCalls = 0;
    sheet::ActiveSheetInfo activeSheet{QStringLiteral("Sheet1"), true};
    // The sheets' cells by sheet name; `cells` holds every sheet's together.
    std::map<QString, std::map<std::pair<int, int>, sheet::CellValue>> sheets;
    int backgroundSaves = 0;
    // The marked cells by sheet name.
    std::map<QString, std::set<std::pair<int, int>>> marks;
    // The workbook's sheets in order; addSheet puts a new one after the active one.
    QStringList sheetOrder{QStringLiteral("Sheet1")};
  };

  explicit FakeSpreadsheet(std::shared_ptr<Log> log) : log_(std::move(log)) {}
  ~FakeSpreadsheet() override { log_->destroyed = true; }

  // Operations that fail, by name ("open", "visible", "windowState", "save",
  // "quit", "selectRange", "activeCell", "selectCell", "setValue",
  // "activateSheet", "cellText", "mark", "addSheet"); "all" fails everything, as after the user closed the
  // application. A failing "save" fails as a full disk does (NotSaved).
  std::set<std::string> failing;
  std::int32_t lastRow = 65536;
  std::int32_t lastColumn = 256;

  Status openWorkbook(const QString& path) override {
    log_->openedPath = path.toStdString();
    return step("open");
  }
  Status setVisible(bool v) override {
    Status s = step("visible");
    if (s) log_->visible = v;
    return s;
  }
  Status setWindowStateNormal() override { return step("windowState"); }
  Status saveActiveWorkbook() override {
    if (failing.count("save") && !failing.count("all")) {
      log_->calls.push_back("save");
      return fail(sheet::SheetError::NotSaved, QStringLiteral("ディスクがいっぱいです"));
    }
    return step("save");
  }
  void saveInBackground() override { ++log_->backgroundSaves; }
  bool savesInBackground() const override { return true; }
  Status activateSheet(const QString& name) override {
    if (Status s = step("activateSheet " + name.toStdString()); !s) return s;
    log_->activeSheet = {name, true};
    return {};
  }
  Status quit() override { return step("quit"); }
  Status selectRange(const QString& address) override {
    if (Status s = step("selectRange " + address.toStdString()); !s) return s;
    if (failing.count("selectRange")) return fail(sheet::SheetError::CallFailed, QStringLiteral("refused"));
    const auto cell = sheet::parseA1(address);
    if (!cell || !inside(cell->row, cell->column))
      return fail(sheet::SheetError::BadAddress, QStringLiteral("bad address"));
    log_->active = *cell;
    return {};
  }
  Result<sheet::CellRef> activeCell() override {
    if (Status s = step("activeCell"); !s) return s.error();
    return log_->active;
  }
  Status selectCell(std::int32_t row, std::int32_t column) override {
    if (Status s = step("selectCell " + std::to_string(row) + "," + std::to_string(column)); !s) return s;
    if (failing.count("selectCell") || !inside(row, column))
      return fail(sheet::SheetError::OutsideSheet, QStringLiteral("outside"));
    log_->active = {row, column};
    return {};
  }
  Status setCellValue(std::int32_t row, std::int32_t column, const sheet::CellValue& value) override {
    if (Status s = step("setValue " + std::to_string(row) + "," + std::to_string(column)); !s) return s;
    if (failing.count("setValue") || !inside(row, column))
      return fail(sheet::SheetError::OutsideSheet, QStringLiteral("outside"));
    log_->cells[{row, column}] = value;
    log_->sheets[log_->activeSheet.name][{row, column}] = value;
    return {};
  }
  Status markCell(std::int32_t row, std::int32_t column) override {
    if (Status s = step("mark " + std::to_string(row) + "," + std::to_string(column)); !s) return s;
    if (!inside(row, column)) return fail(sheet::SheetError::OutsideSheet, QStringLiteral("outside"));
    log_->marks[log_->activeSheet.name].insert({row, column});
    return {};
  }
  Status ensureColumnWidth(std::int32_t column, int characters) override {
    // Kept apart from `calls`, whose sequences the tests compare.
    if (failing.count("columnWidth")) return fail(sheet::SheetError::CallFailed, QStringLiteral("failed: columnWidth"));
    log_->columnWidths[column] = std::max(log_->columnWidths[column], characters);
    ++log_->columnWidthCalls;
    return {};
  }
  // Reads the active sheet's cells in `Log::sheets`: a test puts a header
  // there as a QString. Kept apart from `calls`, a question too.
  Result<QString> cellText(std::int32_t row, std::int32_t column) override {
    if (failing.count("all") || failing.count("cellText"))
      return fail(sheet::SheetError::CallFailed, QStringLiteral("failed: cellText"));
    if (!inside(row, column)) return fail(sheet::SheetError::OutsideSheet, QStringLiteral("outside"));
    const auto& cells = log_->sheets[log_->activeSheet.name];
    const auto found = cells.find({row, column});
    const QString* text = found == cells.end() ? nullptr : std::get_if<QString>(&found->second);
    return text ? *text : QString();
  }
  Result<QStringList> sheetNames() override {
    if (failing.count("all")) return fail(sheet::SheetError::CallFailed, QStringLiteral("failed: sheetNames"));
    return log_->sheetOrder;
  }
  Status addSheet(const QString& name, std::int32_t headerRows) override {
    if (Status s = step("addSheet " + name.toStdString() + " " + std::to_string(headerRows)); !s)
      return fail(sheet::SheetError::SheetNotAdded, s.description());
    if (log_->sheetOrder.contains(name, Qt::CaseInsensitive))
      return fail(sheet::SheetError::SheetNotAdded, QStringLiteral("in use"));
    const qsizetype at = log_->sheetOrder.indexOf(log_->activeSheet.name);
    log_->sheetOrder.insert(at < 0 ? log_->sheetOrder.size() : at + 1, name);
    for (const auto& [place, value] : log_->sheets[log_->activeSheet.name])
      if (place.first <= headerRows) log_->sheets[name][place] = value;
    log_->activeSheet = {name, true};
    return {};
  }
  Result<sheet::ActiveSheetInfo> activeSheetInfo() override {
    // Kept apart from `calls` as well: a question, not a command.
    if (failing.count("all") || failing.count("activeSheet"))
      return fail(sheet::SheetError::CallFailed, QStringLiteral("failed: activeSheet"));
    return log_->activeSheet;
  }
  void release() override { log_->released = true; }

private:
  bool inside(std::int64_t row, std::int64_t column) const {
    return row >= 1 && row <= lastRow && column >= 1 && column <= lastColumn;
  }
  Status step(const std::string& call) {
    log_->calls.push_back(call);
    const std::string name = call.substr(0, call.find(' '));
    if (failing.count("all") ||
        (name != "selectRange" && name != "selectCell" && name != "setValue" && name != "save" && failing.count(name)))
      return fail(sheet::SheetError::CallFailed, QStringLiteral("failed: ") + QString::fromStdString(name));
    return {};
  }
  std::shared_ptr<Log> log_;
};

}  // namespace kestrune::testing
