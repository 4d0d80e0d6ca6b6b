#include "core/alarm_monitor.h"

#include <algorithm>
#include <cmath>

namespace kestrune::alarm {

namespace {

// The saved state's first word; a later layout takes the next number.
const QString StateVersion = QStringLiteral("1");

QDateTime rowTime(const AcquiredRow& row, const QDateTime& wallNow) {
  return row.stamp && row.stamp->kind == Stamp::Kind::DateTime ? row.stamp->value : wallNow;
}

// The row's cell in `column`: nullopt where the row writes no value there
// (before its first column, or its number and stamp); an empty cell past
// its last value, as a channel that did not answer leaves.
std::optional<AcquiredValue> cellOf(const AcquiredRow& row, int column) {
  const std::int64_t index = std::int64_t{column} - row.firstColumn - row.leadingCells();
  if (index < 0) return std::nullopt;
  if (index >= static_cast<std::int64_t>(row.values.size())) return AcquiredValue{};
  return row.values[static_cast<std::size_t>(index)];
}

std::optional<double> stateNumber(const QString& text) {
  bool ok = false;
  const double value = text.toDouble(&ok);
  if (!ok || !std::isfinite(value)) return std::nullopt;
  return value;
}

}  // namespace

QString kindText(AlarmKind kind) {
  switch (kind) {
    case AlarmKind::NotNumber:
      return TextNotNumber;
    case AlarmKind::High:
      return TextHigh;
    case AlarmKind::Low:
      return TextLow;
    case AlarmKind::Step:
      return TextStep;
    case AlarmKind::Silence:
      return TextSilence;
  }
  return {};
}

AlarmMonitor::AlarmMonitor(AlarmRules rules) : rules_(std::move(rules)), states_(rules_.columns.size()) {
  // Events go by column whatever order the rules were made in.
  std::stable_sort(rules_.columns.begin(), rules_.columns.end(),
                   [](const ColumnRule& a, const ColumnRule& b) { return a.column < b.column; });
}

void AlarmMonitor::takeColumn(const ColumnRule& rule, ColumnState& state, const AcquiredValue& value, AlarmEvent& base,
                              std::vector<AlarmEvent>& events) const {
  // Raises an inactive alarm when `raise`, clears an active one when `clear`.
  const auto change = [&](AlarmKind kind, bool& active, bool raise, bool clear, std::optional<double> limit) {
    if (active ? !clear : !raise) return;
    active = !active;
    // The column's texts are made only for a row that gives an event.
    if (base.column != rule.column) {
      base.column = rule.column;
      base.columnLetters = columnLetters(rule.column);
      base.value = value.text;
    }
    base.kind = kind;
    base.state = active ? AlarmState::Raised : AlarmState::Cleared;
    base.limit = limit;
    base.endsRun = active && rule.endsRun;
    events.push_back(base);
  };
  if (!value.number || !std::isfinite(*value.number)) {
    // The number rules keep their state until a number comes back.
    change(AlarmKind::NotNumber, state.notNumber, true, false, std::nullopt);
    return;
  }
  change(AlarmKind::NotNumber, state.notNumber, false, true, std::nullopt);
  const double v = *value.number;
  if (rule.high) change(AlarmKind::High, state.high, v > *rule.high, v <= *rule.high - rule.margin, rule.high);
  if (rule.low) change(AlarmKind::Low, state.low, v < *rule.low, v >= *rule.low + rule.margin, rule.low);
  if (rule.step) {
    if (state.previous) {
      const double moved = std::fabs(v - *state.previous);
      change(AlarmKind::Step, state.step, moved > *rule.step, moved <= *rule.step - rule.margin, rule.step);
    }
    state.previous = v;
  }
}

std::vector<AlarmEvent> AlarmMonitor::take(const AcquiredRow& row, const QDateTime& wallNow) {
  std::vector<AlarmEvent> events;
  if (lastSequence_ > 0 && row.sequence <= lastSequence_) return events;
  lastSequence_ = row.sequence;
  lastRowMs_ = row.elapsedMs;
  AlarmEvent base;
  base.time = rowTime(row, wallNow);
  base.sequence = row.sequence;
  base.sheet = row.sheet;
  base.row = row.row;
  if (silence_) {
    silence_ = false;
    AlarmEvent cleared = base;
    cleared.kind = AlarmKind::Silence;
    cleared.state = AlarmState::Cleared;
    cleared.limit = rules_.silenceSeconds;
    events.push_back(cleared);
  }
  for (std::size_t i = 0; i < rules_.columns.size(); ++i) {
    const ColumnRule& rule = rules_.columns[i];
    if (!rule.numeric()) continue;
    const std::optional<AcquiredValue> cell = cellOf(row, rule.column);
    if (cell) takeColumn(rule, states_[i], *cell, base, events);
  }
  return events;
}

std::optional<AlarmEvent> AlarmMonitor::checkSilence(std::int64_t elapsedMs, const QDateTime& wallNow) {
  if (!rules_.silenceSeconds || silence_) return std::nullopt;
  if (static_cast<double>(elapsedMs - lastRowMs_) < *rules_.silenceSeconds * 1000.0) return std::nullopt;
  silence_ = true;
  AlarmEvent raised;
  raised.time = wallNow;
  raised.kind = AlarmKind::Silence;
  raised.state = AlarmState::Raised;
  raised.limit = rules_.silenceSeconds;
  raised.sequence = lastSequence_;
  return raised;
}

int AlarmMonitor::activeCount() const {
  int count = silence_ ? 1 : 0;
  for (const ColumnState& s : states_) count += int{s.notNumber} + int{s.high} + int{s.low} + int{s.step};
  return count;
}

// "1 SEQUENCE LAST-ROW-MS SILENCE COLUMN:FLAGS:PREVIOUS ...": SILENCE is 0 or
// 1, FLAGS the letters n, h, l, s of the alarms raised (or -), PREVIOUS the
// step column's previous number (or nothing). Only columns that hold more
// than the starting state are written.
QString AlarmMonitor::saveState() const {
  QString text = StateVersion + QLatin1Char(' ') + QString::number(lastSequence_) + QLatin1Char(' ') +
                 QString::number(lastRowMs_) + (silence_ ? QStringLiteral(" 1") : QStringLiteral(" 0"));
  for (std::size_t i = 0; i < states_.size(); ++i) {
    const ColumnState& s = states_[i];
    if (s == ColumnState{}) continue;
    QString flags;
    if (s.notNumber) flags += QLatin1Char('n');
    if (s.high) flags += QLatin1Char('h');
    if (s.low) flags += QLatin1Char('l');
    if (s.step) flags += QLatin1Char('s');
    if (flags.isEmpty()) flags = QStringLiteral("-");
    text += QLatin1Char(' ') + columnLetters(rules_.columns[i].column) + QLatin1Char(':') + flags + QLatin1Char(':') +
            (s.previous ? numberText(*s.previous) : QString());
  }
  return text;
}

bool AlarmMonitor::restoreState(const QString& text) {
  const QStringList words = text.split(QLatin1Char(' '));
  if (words.size() < 4 || words.at(0) != StateVersion) return false;
  bool sequenceOk = false;
  bool timeOk = false;
  const std::uint64_t sequence = words.at(1).toULongLong(&sequenceOk);
  const std::int64_t lastRowMs = words.at(2).toLongLong(&timeOk);
  if (!sequenceOk || !timeOk || (words.at(3) != QLatin1String("0") && words.at(3) != QLatin1String("1"))) return false;
  std::vector<ColumnState> states(rules_.columns.size());
  for (qsizetype w = 4; w < words.size(); ++w) {
    const QStringList parts = words.at(w).split(QLatin1Char(':'));
    if (parts.size() != 3) return false;
    const std::optional<int> column = columnNumber(parts.at(0));
    if (!column) return false;
    ColumnState s;
    if (parts.at(1) != QLatin1String("-")) {
      for (const QChar flag : parts.at(1)) {
        bool* member = flag == QLatin1Char('n')   ? &s.notNumber
                       : flag == QLatin1Char('h') ? &s.high
                       : flag == QLatin1Char('l') ? &s.low
                       : flag == QLatin1Char('s') ? &s.step
                                                  : nullptr;
        if (!member) return false;
        *member = true;
      }
    }
    if (!parts.at(2).isEmpty()) {
      s.previous = stateNumber(parts.at(2));
      if (!s.previous) return false;
    }
    for (std::size_t i = 0; i < rules_.columns.size(); ++i) {
      const ColumnRule& rule = rules_.columns[i];
      if (rule.column != *column) continue;
      // Only what the column's rules still watch comes back.
      states[i] = {s.notNumber && rule.numeric(), s.high && rule.high.has_value(), s.low && rule.low.has_value(),
                   s.step && rule.step.has_value(), rule.step ? s.previous : std::nullopt};
    }
  }
  states_ = std::move(states);
  silence_ = words.at(3) == QLatin1String("1") && rules_.silenceSeconds.has_value();
  lastSequence_ = sequence;
  lastRowMs_ = lastRowMs;
  return true;
}

}  // namespace kestrune::alarm
