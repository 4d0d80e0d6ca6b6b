// How far a run has come: rows done of the row limit, time used of the time
// limit, the rate and the last row's values. Pure figures and their texts,
// shown by the run window, its title and the headless runner's status line.
#pragma once

#include "sheet/spreadsheet_app.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

namespace kestrune::app {

struct RunProgress {
  std::int32_t rowsDone = 0;
  std::int32_t rowLimit = 0;  // 0 or less: none
  std::int64_t elapsedMs = 0;
  std::int32_t timeLimitMs = 0;  // 0 or less: none
  // The last completed row: its cells as they show them (stamps first) but
  // the acquisition number, which is apart (when numbering is on).
  QStringList lastValues;
  std::optional<std::int32_t> lastNumber;
  bool ended = false;  // the script has run to its end
  // Set once the workbook stopped taking values: the rows it holds of this
  // run; the others went only to the journal.
  std::optional<std::int32_t> rowsInWorkbook;
  // With several channels in use, each one's state: its channel (0-based)
  // and whether its device is gone. Empty with one channel.
  struct Channel {
    int channel = 0;
    bool lost = false;
    friend bool operator==(const Channel&, const Channel&) = default;
  };
  std::vector<Channel> channels;
  // The alarms raised now, while the workbook has alarm rules.
  std::optional<int> alarms = {};
  // The sheet written into, once the run went on in a new one (the run's
  // first sheet was full); empty before.
  QString sheet = {};

  // The larger of the two shares used up, 0 to 1000; nullopt without limits.
  std::optional<int> permille() const;
  // Time until the first limit ends the run (never below 0): the time
  // limit's remainder, or the rows left at the rate so far where that comes
  // sooner. nullopt without a limit, or with a row limit alone before a row.
  std::optional<std::int64_t> remainingMs() const;
  // Rows per minute since the start; nullopt before a row or a second.
  std::optional<double> rowsPerMinute() const;

  friend bool operator==(const RunProgress&, const RunProgress&) = default;
};

// A cell value as a line of text shows it: text as it is, numbers in
// decimal, stamps as "yyyy/MM/dd H:mm:ss" (or the date or time alone), their
// times with ".zzz" when they show milliseconds.
QString cellText(const sheet::CellValue& value);
// "1:02:03" (hours, minutes, seconds; whole seconds, rounded down).
QString durationText(std::int64_t ms);
// "12 / 100 行" or "12 行" without a row limit; once the workbook stopped
// taking values, how many of them it holds; once the run went on in a new
// sheet, "（シート「Sheet1 (2)」）".
QString rowsText(const RunProgress& p);
// "経過 0:01:23　残り 0:58:37"; "残り －" while a row limit alone has no
// rate yet, no remainder without limits, "完了" once the run has ended.
QString timeText(const RunProgress& p);
// "8.7 行/分", or "－ 行/分" before the rate is known.
QString rateText(const RunProgress& p);
// The last acquisition for one line: "最終取得: No.12　値: 12.5, OK", without
// "No." when numbering is off, "最終取得: －" before the first.
QString lastRowText(const RunProgress& p);
// "CH1 接続中　CH2 切断中" for several channels in use, the channels of one
// state together ("CH1-3,5 接続中　CH4 切断中"); empty with one.
QString channelsText(const RunProgress& p);
// "アラーム 2 件", or "アラームなし".
QString alarmsText(int active);
// One line with all of it, for the headless runner's status line.
QString progressLine(const RunProgress& p);

}  // namespace kestrune::app
