#include "app/verify_command.h"

#include "core/durable_log.h"
#include "sheet/a1.h"
#include "sheet/workbook_connection.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

#include <cmath>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>

namespace kestrune::app {

namespace {

// 1904-01-01 is serial 1462 in the 1900 system the record uses.
constexpr double Offset1904 = 1462.0;

struct Row {
  std::size_t run = 0;
  QString sheet;
  int row = 0;
  int column = 0;
  std::vector<RecordCell> cells;
};

QString numberText(double d) { return QString::number(d, 'g', QLocale::FloatingPointShortest); }

QString recordText(const RecordCell& cell) {
  if (const auto* number = std::get_if<double>(&cell)) return numberText(*number);
  if (const auto* text = std::get_if<QString>(&cell)) return *text;
  if (const auto* stamp = std::get_if<RecordStamp>(&cell))
    return QStringLiteral("%1 (%2)").arg(stamp->time, numberText(stamp->serial));
  return {};
}

QString valueText(const xls::Value& value) {
  if (const auto* number = std::get_if<double>(&value)) return numberText(*number);
  if (const auto* text = std::get_if<std::string>(&value)) return QString::fromStdString(*text);
  if (const auto* date = std::get_if<xls::DateTimeValue>(&value)) return numberText(date->serial);
  if (const auto* flag = std::get_if<bool>(&value)) return *flag ? QStringLiteral("TRUE") : QStringLiteral("FALSE");
  if (std::holds_alternative<xls::CellError>(value)) return QStringLiteral("#ERROR");
  return {};
}

bool blank(const xls::Value& value) {
  const auto* text = std::get_if<std::string>(&value);
  return std::holds_alternative<std::monostate>(value) || (text && text->empty());
}

// A cell's number, a date's serial in the 1900 system.
std::optional<double> numberOf(const xls::Value& value, bool date1904) {
  if (const auto* number = std::get_if<double>(&value)) return *number;
  if (const auto* date = std::get_if<xls::DateTimeValue>(&value))
    return date1904 ? date->serial + Offset1904 : date->serial;
  return std::nullopt;
}

bool same(const RecordCell& cell, const xls::Value& value, bool date1904) {
  if (std::holds_alternative<std::monostate>(cell)) return blank(value);
  if (const auto* text = std::get_if<QString>(&cell)) {
    const auto* current = std::get_if<std::string>(&value);
    return current && QString::fromStdString(*current) == *text;
  }
  const double expected =
      std::holds_alternative<double>(cell) ? std::get<double>(cell) : std::get<RecordStamp>(cell).serial;
  const std::optional<double> current = numberOf(value, date1904);
  if (!current) return false;
  // The 1904 system's serials carry the milliseconds in other bits: equal
  // within a tenth of a millisecond there, exactly otherwise.
  return date1904 && std::holds_alternative<RecordStamp>(cell) ? std::fabs(*current - expected) < 1e-9
                                                               : *current == expected;
}

// What a run of cells holds, as a key: equal keys, equal cells.
void addKey(QByteArray& key, std::optional<double> number, const QString* text) {
  if (number) {
    char bits[sizeof(double)];
    std::memcpy(bits, &*number, sizeof bits);
    key += 'n';
    key += QByteArray(bits, sizeof bits).toHex();
  } else if (text && !text->isEmpty()) {
    key += 's';
    key += text->toUtf8().toHex();
  }
  key += ';';
}

QByteArray recordKey(const std::vector<RecordCell>& cells) {
  QByteArray key;
  for (const RecordCell& cell : cells) {
    std::optional<double> number;
    if (const auto* n = std::get_if<double>(&cell)) number = *n;
    if (const auto* s = std::get_if<RecordStamp>(&cell)) number = s->serial;
    addKey(key, number, std::get_if<QString>(&cell));
  }
  return key;
}

class Sheets {
public:
  explicit Sheets(const xls::Workbook& workbook) : workbook_(workbook) {}

  std::optional<std::size_t> index(const QString& sheet) const { return workbook_.findSheet(sheet.toStdString()); }
  xls::Value value(std::size_t sheet, int row, int column) const {
    if (row < 1 || column < 1) return {};
    const auto cell =
        workbook_.cell(sheet, static_cast<std::uint32_t>(row - 1), static_cast<std::uint32_t>(column - 1));
    return cell ? cell.value().value : xls::Value();
  }
  QByteArray placeKey(std::size_t sheet, int row, int column, std::size_t width) const {
    QByteArray key;
    for (std::size_t i = 0; i < width; ++i) {
      const xls::Value v = value(sheet, row, column + static_cast<int>(i));
      const auto* text = std::get_if<std::string>(&v);
      const QString s = text ? QString::fromStdString(*text) : QString();
      addKey(key, numberOf(v, workbook_.date1904()), text ? &s : nullptr);
    }
    return key;
  }
  // The rows of `sheet` by what columns column..column+width-1 hold (blank rows left out).
  const std::unordered_multimap<QByteArray, int>& rowsByKey(std::size_t sheet, int column, std::size_t width) {
    auto [found, inserted] = keys_.try_emplace({sheet, column, width});
    if (inserted) {
      std::set<int> rows;
      for (const auto& [position, cell] : workbook_.cells(sheet)) {
        const int c = static_cast<int>(position & 0xFF) + 1;
        if (c >= column && c < column + static_cast<int>(width) && !blank(cell.value))
          rows.insert(static_cast<int>(position >> 8) + 1);
      }
      for (const int row : rows) found->second.emplace(placeKey(sheet, row, column, width), row);
    }
    return found->second;
  }
  bool date1904() const { return workbook_.date1904(); }
  const xls::Workbook& workbook() const { return workbook_; }

private:
  const xls::Workbook& workbook_;
  std::map<std::tuple<std::size_t, int, std::size_t>, std::unordered_multimap<QByteArray, int>> keys_;
};

}  // namespace

VerifyReport verifyWorkbook(const ParsedRecord& record, const xls::Workbook& workbook) {
  VerifyReport report;
  std::vector<Row> rows;
  std::map<QString, std::size_t> runIndex;
  for (const RecordLine& line : record.lines) {
    const QString id = line.object.value(QStringLiteral("run")).toString();
    if (line.kind == "run") {
      runIndex[id] = report.runs.size();
      report.runs.push_back({id, line.object.value(QStringLiteral("start")).toString(), {}, {}, 0, 0, 0, false});
      continue;
    }
    const auto run = runIndex.find(id);
    if (run == runIndex.end()) continue;
    VerifyRun& r = report.runs[run->second];
    if (line.kind == "row") {
      Row row{run->second,
              line.object.value(QStringLiteral("sheet")).toString(),
              line.object.value(QStringLiteral("row")).toInt(),
              line.object.value(QStringLiteral("col")).toInt(),
              {}};
      for (const QJsonValue& cell : line.object.value(QStringLiteral("cells")).toArray())
        row.cells.push_back(cellFromJson(cell));
      if (!r.sheets.contains(row.sheet)) r.sheets << row.sheet;
      ++r.rows;
      rows.push_back(std::move(row));
    } else if (line.kind == "end") {
      r.ended = true;
      r.end = line.object.value(QStringLiteral("end")).toString();
    } else if (line.kind == "note" && line.object.value(QStringLiteral("ends-run")).toBool()) {
      r.ended = true;
      r.end = line.object.value(QStringLiteral("time")).toString();
    }
  }

  Sheets sheets(workbook);
  // A place a later run wrote again is that run's to answer for.
  std::map<std::pair<QString, int>, std::size_t> latest;
  for (std::size_t i = 0; i < rows.size(); ++i) latest[{rows[i].sheet, rows[i].row}] = i;
  // Places whose content is accounted for: as acquired, changed, or a moved row's.
  std::set<std::pair<QString, int>> accounted;
  std::vector<std::vector<VerifyFinding>> byRun(report.runs.size());

  std::vector<std::size_t> differing;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const Row& row = rows[i];
    VerifyRun& run = report.runs[row.run];
    if (latest[{row.sheet, row.row}] != i) {
      ++run.overwritten;
      continue;
    }
    const std::optional<std::size_t> sheet = sheets.index(row.sheet);
    bool intact = sheet.has_value();
    for (std::size_t c = 0; intact && c < row.cells.size(); ++c)
      intact = same(row.cells[c], sheets.value(*sheet, row.row, row.column + static_cast<int>(c)), sheets.date1904());
    if (intact) {
      ++run.intact;
      accounted.insert({row.sheet, row.row});
    } else {
      differing.push_back(i);
    }
  }
  std::set<std::pair<QString, int>> claimed;
  // What the record's rows hold, looked up only when some row differs.
  std::unordered_multimap<QByteArray, std::size_t> recordKeys;
  if (!differing.empty())
    for (std::size_t i = 0; i < rows.size(); ++i) recordKeys.emplace(recordKey(rows[i].cells), i);
  for (const std::size_t i : differing) {
    const Row& row = rows[i];
    std::vector<VerifyFinding>& findings = byRun[row.run];
    const QString& id = report.runs[row.run].id;
    const std::optional<std::size_t> sheet = sheets.index(row.sheet);
    if (!sheet) {
      findings.push_back({VerifyFinding::Kind::Removed, id, row.sheet, row.row, 0, 0, 0, {}, {}});
      continue;
    }
    const QByteArray key = recordKey(row.cells);
    std::optional<int> movedTo;
    const auto [first, last] = sheets.rowsByKey(*sheet, row.column, row.cells.size()).equal_range(key);
    for (auto it = first; it != last; ++it) {
      const std::pair<QString, int> place{row.sheet, it->second};
      if (it->second == row.row || claimed.contains(place)) continue;
      // A place that holds its own row as acquired holds no other.
      const auto owner = latest.find(place);
      if (owner != latest.end() && accounted.contains(place) && owner->second != i) continue;
      if (!movedTo || it->second < *movedTo) movedTo = it->second;
    }
    if (movedTo) {
      claimed.insert({row.sheet, *movedTo});
      accounted.insert({row.sheet, *movedTo});
      findings.push_back({VerifyFinding::Kind::Moved, id, row.sheet, row.row, 0, *movedTo, 0, {}, {}});
      continue;
    }
    const QByteArray here = sheets.placeKey(*sheet, row.row, row.column, row.cells.size());
    const bool empty = here == QByteArray(static_cast<qsizetype>(row.cells.size()), ';');
    if (empty || recordKeys.contains(here)) {
      findings.push_back({VerifyFinding::Kind::Removed, id, row.sheet, row.row, 0, 0, 0, {}, {}});
      continue;
    }
    accounted.insert({row.sheet, row.row});
    for (std::size_t c = 0; c < row.cells.size(); ++c) {
      const int column = row.column + static_cast<int>(c);
      const xls::Value current = sheets.value(*sheet, row.row, column);
      if (same(row.cells[c], current, sheets.date1904())) continue;
      findings.push_back({VerifyFinding::Kind::Changed, id, row.sheet, row.row, column, 0, 0, recordText(row.cells[c]),
                          valueText(current)});
    }
  }

  // Rows in a run's area (its sheets, its first to last row, its columns)
  // that hold something no run's row accounts for.
  struct Area {
    std::size_t run;
    int top, bottom, left, right;
  };
  std::map<QString, std::vector<Area>> areas;
  {
    std::map<std::pair<std::size_t, QString>, Area> spans;
    for (const Row& row : rows) {
      const int right = row.column + std::max<int>(1, static_cast<int>(row.cells.size())) - 1;
      auto [span, inserted] =
          spans.try_emplace({row.run, row.sheet}, Area{row.run, row.row, row.row, row.column, right});
      if (inserted) continue;
      Area& a = span->second;
      a.top = std::min(a.top, row.row);
      a.bottom = std::max(a.bottom, row.row);
      a.left = std::min(a.left, row.column);
      a.right = std::max(a.right, right);
    }
    for (const auto& [key, area] : spans) areas[key.second].push_back(area);
  }
  for (const auto& [name, list] : areas) {
    const std::optional<std::size_t> sheet = sheets.index(name);
    if (!sheet) continue;
    // Rows accounted for or already found added, by row number.
    std::vector<bool> done(xls::MaxRows + 2, false);
    for (auto it = accounted.lower_bound({name, 0}); it != accounted.end() && it->first == name; ++it)
      if (it->second >= 0 && it->second <= static_cast<int>(xls::MaxRows))
        done[static_cast<std::size_t>(it->second)] = true;
    for (const auto& [position, cell] : workbook.cells(*sheet)) {
      const int r = static_cast<int>(position >> 8) + 1;
      const int c = static_cast<int>(position & 0xFF) + 1;
      if (done[static_cast<std::size_t>(r)] || blank(cell.value)) continue;
      for (const Area& a : list) {
        if (r < a.top || r > a.bottom || c < a.left || c > a.right) continue;
        done[static_cast<std::size_t>(r)] = true;
        byRun[a.run].push_back({VerifyFinding::Kind::Added, report.runs[a.run].id, name, r, 0, 0, 0, {}, {}});
        break;
      }
    }
  }
  for (std::size_t r = 0; r < report.runs.size(); ++r) {
    std::vector<VerifyFinding>& findings = byRun[r];
    std::stable_sort(findings.begin(), findings.end(), [](const VerifyFinding& a, const VerifyFinding& b) {
      return std::tie(a.sheet, a.row, a.column) < std::tie(b.sheet, b.row, b.column);
    });
    report.findings.insert(report.findings.end(), findings.begin(), findings.end());
    if (!report.runs[r].ended)
      report.findings.push_back({VerifyFinding::Kind::Unended, report.runs[r].id, {}, 0, 0, 0, 0, {}, {}});
  }
  for (const int line : record.brokenLines)
    report.findings.push_back({VerifyFinding::Kind::ChainBroken, {}, {}, 0, 0, 0, line, {}, {}});
  if (record.tornTail)
    report.findings.push_back({VerifyFinding::Kind::TornTail,
                               {},
                               {},
                               0,
                               0,
                               0,
                               static_cast<int>(record.lines.size() + record.brokenLines.size()) + 1,
                               {},
                               {}});
  return report;
}

QString findingText(const VerifyFinding& f) {
  const QString place = QStringLiteral("%1!行%2").arg(f.sheet).arg(f.row);
  const auto shown = [](const QString& value) { return value.isEmpty() ? QStringLiteral("（空）") : value; };
  switch (f.kind) {
    case VerifyFinding::Kind::Changed:
      return QStringLiteral("セルの変更 %1!%2%3: 取得時 %4 → 現在 %5")
          .arg(f.sheet, sheet::columnLetters(f.column))
          .arg(f.row)
          .arg(shown(f.acquired), shown(f.current));
    case VerifyFinding::Kind::Moved:
      return QStringLiteral("行の移動 %1 → 行%2").arg(place).arg(f.toRow);
    case VerifyFinding::Kind::Removed:
      return QStringLiteral("行の削除 %1: 取得時の値がどこにもありません").arg(place);
    case VerifyFinding::Kind::Added:
      return QStringLiteral("行の追加 %1: どの実行も書いていない行です").arg(place);
    case VerifyFinding::Kind::ChainBroken:
      return QStringLiteral(
                 "記録の改ざん: 実行記録の %1 行目がハッシュの連鎖に合いません（書き換え・削除・挿入・並べ替え）")
          .arg(f.line);
    case VerifyFinding::Kind::TornTail:
      return QStringLiteral("記録の途切れ: 実行記録の %1 行目が途中で切れています").arg(f.line);
    case VerifyFinding::Kind::Unended:
      return QStringLiteral(
                 "記録の途切れ: 実行 %1 の終わりの行がありません（取得中か、記録の後ろが切り取られています）")
          .arg(f.run);
  }
  return {};
}

QString reportText(const VerifyReport& report) {
  QStringList lines;
  for (const VerifyRun& run : report.runs) {
    lines << QStringLiteral("実行 %1（開始 %2、シート %3、%4 行）: %5 行は取得時のまま")
                 .arg(run.id, run.start, run.sheets.join(QStringLiteral("・")))
                 .arg(run.rows)
                 .arg(run.intact);
    if (run.overwritten > 0) lines.last() += QStringLiteral("、%1 行は後の実行が上書き").arg(run.overwritten);
    for (const VerifyFinding& f : report.findings)
      if (f.run == run.id) lines << QStringLiteral("  ") + findingText(f);
  }
  for (const VerifyFinding& f : report.findings)
    if (f.run.isEmpty()) lines << findingText(f);
  lines << (report.findings.empty() ? QStringLiteral("一致: ブックは実行記録のとおりです")
                                    : QStringLiteral("相違: %1 件").arg(report.findings.size()));
  return lines.join(QLatin1Char('\n')) + QLatin1Char('\n');
}

QByteArray reportJson(const VerifyReport& report, const QString& workbookPath, const QString& recordPath) {
  static const char* const kinds[] = {"changed", "moved", "removed", "added", "chain-broken", "torn-tail", "unended"};
  const auto findingJson = [](const VerifyFinding& f) {
    QJsonObject o{{QStringLiteral("kind"), QString::fromLatin1(kinds[static_cast<int>(f.kind)])}};
    if (!f.sheet.isEmpty()) {
      o.insert(QStringLiteral("sheet"), f.sheet);
      o.insert(QStringLiteral("row"), f.row);
    }
    if (f.kind == VerifyFinding::Kind::Changed) {
      o.insert(QStringLiteral("address"),
               QStringLiteral("%1!%2%3").arg(f.sheet, sheet::columnLetters(f.column)).arg(f.row));
      o.insert(QStringLiteral("acquired"), f.acquired);
      o.insert(QStringLiteral("current"), f.current);
    }
    if (f.kind == VerifyFinding::Kind::Moved) o.insert(QStringLiteral("to_row"), f.toRow);
    if (f.line > 0) o.insert(QStringLiteral("line"), f.line);
    return o;
  };
  QJsonArray runs;
  for (const VerifyRun& run : report.runs) {
    QJsonArray findings;
    for (const VerifyFinding& f : report.findings)
      if (f.run == run.id) findings.append(findingJson(f));
    runs.append(QJsonObject{{QStringLiteral("run"), run.id},
                            {QStringLiteral("start"), run.start},
                            {QStringLiteral("end"), run.end},
                            {QStringLiteral("sheets"), QJsonArray::fromStringList(run.sheets)},
                            {QStringLiteral("rows"), run.rows},
                            {QStringLiteral("intact"), run.intact},
                            {QStringLiteral("overwritten"), run.overwritten},
                            {QStringLiteral("ended"), run.ended},
                            {QStringLiteral("findings"), findings}});
  }
  QJsonArray own;
  for (const VerifyFinding& f : report.findings)
    if (f.run.isEmpty()) own.append(findingJson(f));
  const QJsonObject root{{QStringLiteral("workbook"), workbookPath},
                         {QStringLiteral("record"), recordPath},
                         {QStringLiteral("ok"), report.findings.empty()},
                         {QStringLiteral("findings"), static_cast<qint64>(report.findings.size())},
                         {QStringLiteral("runs"), runs},
                         {QStringLiteral("record_findings"), own}};
  return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

int verifyMain(const QStringList& arguments, std::FILE* out, std::FILE* err) {
  bool json = false;
  bool usable = true;
  QString workbookPath;
  for (const QString& argument : arguments) {
    if (argument == QLatin1String("--json"))
      json = true;
    else if (workbookPath.isEmpty() && !argument.startsWith(QLatin1Char('-')))
      workbookPath = argument;
    else
      usable = false;
  }
  const auto say = [err](const QString& text) {
    std::fprintf(err, "kestrune: %s\n", text.toUtf8().constData());
    return 2;
  };
  if (workbookPath.isEmpty() || !usable) return say(QStringLiteral("使い方: kestrune verify ブック.xls [--json]"));
  if (!QFileInfo(workbookPath).isFile()) return say(workbookPath + sheet::MsgNotFound);
  const auto book = xls::Workbook::open(QFile::encodeName(workbookPath).toStdString());
  if (!book)
    return say(
        QStringLiteral("ブック %1 を読めません: %2").arg(workbookPath, QString::fromStdString(book.description())));
  const QString recordPath = recordPathFor(workbookPath);
  const LogResult<QByteArray> bytes = readLog(recordPath);
  if (!bytes && bytes.error().fault == LogFault::Missing)
    return say(QStringLiteral("実行記録 %1 がありません（record=on で取得した実行がありません）").arg(recordPath));
  if (!bytes) return say(QStringLiteral("実行記録 %1 を読めません: %2").arg(recordPath, bytes.error().description));
  const ParsedRecord record = parseRecord(*bytes);
  if (record.lines.empty() && !record.brokenLines.empty())
    return say(QStringLiteral("%1 は実行記録ではありません").arg(recordPath));
  const VerifyReport report = verifyWorkbook(record, book.value());
  const QByteArray text = json ? reportJson(report, workbookPath, recordPath) : reportText(report).toUtf8();
  std::fwrite(text.constData(), 1, static_cast<std::size_t>(text.size()), out);
  std::fflush(out);
  return report.findings.empty() ? 0 : 1;
}

}  // namespace kestrune::app
