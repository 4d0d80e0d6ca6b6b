// Alarms on a run's rows: takes each completed row and says which alarms it
// raises and clears. Each alarm raises once when its limit is crossed and
// clears once when the value is back past the limit by the column's margin,
// so a value wavering at a limit gives no flicker of events.
#pragma once

#include "core/acquired_row.h"
#include "core/alarm_rules.h"

#include <QDateTime>
#include <QString>

#include <cstdint>
#include <optional>
#include <vector>

namespace kestrune::alarm {

enum class AlarmKind {
  NotNumber,  // text or an empty cell where a number rule watches the column
  High,       // above the high limit
  Low,        // below the low limit
  Step,       // changed by more than the step since the column's previous number
  Silence,    // no row for the silence time
};
enum class AlarmState { Raised, Cleared };

// What an alarm of each kind is called where it is shown.
inline const QString TextNotNumber = QStringLiteral("数値ではありません");
inline const QString TextHigh = QStringLiteral("上限を超えています");
inline const QString TextLow = QStringLiteral("下限を下回っています");
inline const QString TextStep = QStringLiteral("変化幅を超えています");
inline const QString TextSilence = QStringLiteral("新しい行が来ません");
QString kindText(AlarmKind kind);

struct AlarmEvent {
  // The row's stamp when it holds date and time; else the wall clock given.
  QDateTime time;
  AlarmKind kind = AlarmKind::High;
  AlarmState state = AlarmState::Raised;
  // The rule's limit: the high, the low, the step, the silence in seconds;
  // none for NotNumber.
  std::optional<double> limit;
  // The worksheet column (0 and empty for Silence) and the cell's text.
  int column = 0;
  QString columnLetters;
  QString value;
  // The row: its sequence and place. A Silence raised names the last row
  // taken (0 before any) and no place; its clearing names the row that came.
  std::uint64_t sequence = 0;
  QString sheet;
  std::int32_t row = 0;
  // A raised alarm of a column whose rule ends the run.
  bool endsRun = false;
  // Of a row the run a crash interrupted had written but its alarms had not
  // taken, taken at the next run's start.
  bool recovered = false;
  friend bool operator==(const AlarmEvent&, const AlarmEvent&) = default;
};

class AlarmMonitor {
public:
  explicit AlarmMonitor(AlarmRules rules);

  // The events of `row`, in order: Silence cleared, then by column, and in a
  // column NotNumber, High, Low, Step. A row whose sequence is not past the
  // last one taken (one taken again after a restore) gives none.
  std::vector<AlarmEvent> take(const AcquiredRow& row, const QDateTime& wallNow);
  // Raises Silence once when no row has come for the silence time by
  // `elapsedMs` (the run's monotonic time, as the rows' elapsedMs); before
  // the first row the time counts from the run's start.
  std::optional<AlarmEvent> checkSilence(std::int64_t elapsedMs, const QDateTime& wallNow);

  // How many alarms are raised now.
  int activeCount() const;
  const AlarmRules& rules() const { return rules_; }

  // The state as one short line of text: the alarms raised, each step
  // column's previous number, the last row's sequence and time. Stored with
  // each row, it lets a run recovered after a kill go on where it was.
  QString saveState() const;
  // Takes back a saved state; false, changing nothing, for a text that is not
  // one. Alarms of rules that no longer exist are dropped.
  bool restoreState(const QString& text);
  // The sequence of the last row taken, 0 before any.
  std::uint64_t lastSequence() const { return lastSequence_; }
  // Goes on in a new run with the alarms as they are: its rows count from 1
  // again and silence from its start.
  void continueInNewRun() {
    lastSequence_ = 0;
    lastRowMs_ = 0;
  }

private:
  struct ColumnState {
    bool notNumber = false;
    bool high = false;
    bool low = false;
    bool step = false;
    std::optional<double> previous;
    friend bool operator==(const ColumnState&, const ColumnState&) = default;
  };
  void takeColumn(const ColumnRule& rule, ColumnState& state, const AcquiredValue& value, AlarmEvent& base,
                  std::vector<AlarmEvent>& events) const;

  AlarmRules rules_;
  std::vector<ColumnState> states_;  // one per rules_.columns
  bool silence_ = false;
  std::uint64_t lastSequence_ = 0;
  std::int64_t lastRowMs_ = 0;
};

}  // namespace kestrune::alarm
