// 100,000 generated rows over several columns, with crossings, returns,
// flicker inside the hysteresis, text, empty cells and pauses planted by a
// generator that writes down the events each plant must cause. The monitor
// must give exactly those; and a replay cut at random points, its state saved
// and restored into a new monitor each time, must give the same.
#include "core/alarm_monitor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <variant>

namespace kestrune::alarm {
namespace {

using Rng = std::mt19937_64;
const QDateTime Start(QDate(2026, 12, 8), QTime(8, 0, 0));

bool chance(Rng& rng, double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; }

// A number on the quarter grid within [low, high] (both on the grid), so
// every sum and difference below is exact.
double quarter(Rng& rng, double low, double high) {
  return std::uniform_int_distribution<int>(static_cast<int>(low * 4), static_cast<int>(high * 4))(rng) / 4.0;
}

// What the plan puts into one cell, and the events it must cause there.
struct Planned {
  AcquiredValue value;
  bool missing = false;  // the row ends before this cell
  std::vector<std::pair<AlarmKind, AlarmState>> events;
};

// Text and empty cells planted over any column: a NotNumber raised at the
// first, cleared by the next number.
struct TextPlan {
  bool active = false;
  bool mayGoMissing = false;

  // Text for this row, or nullopt when a number is due.
  std::optional<Planned> next(Rng& rng) {
    if (!chance(rng, active ? 0.5 : 0.005)) return std::nullopt;
    Planned p;
    const int pick = std::uniform_int_distribution<int>(0, mayGoMissing ? 2 : 1)(rng);
    p.value.text = pick == 0 ? QStringLiteral("ERR") : QString();
    p.missing = pick == 2;
    if (!active) p.events.push_back({AlarmKind::NotNumber, AlarmState::Raised});
    active = true;
    return p;
  }
  // A number follows: the NotNumber alarm, when raised, clears first.
  void numberFollows(Planned& p) {
    if (active) p.events.insert(p.events.begin(), {AlarmKind::NotNumber, AlarmState::Cleared});
    active = false;
  }
};

// A column with a high limit, a low limit or both, and its margin.
struct LimitPlan {
  std::optional<double> high;
  std::optional<double> low;
  double margin = 0;
  enum Zone { Inside, Above, Below } zone = Inside;

  double insideLow() const { return low ? *low : *high - 100; }
  double insideHigh() const { return high ? *high : *low + 100; }
  double above(Rng& rng) const { return quarter(rng, *high + 0.25, *high + 20); }
  double below(Rng& rng) const { return quarter(rng, *low - 20, *low - 0.25); }

  Planned next(Rng& rng) {
    Planned p;
    double v = 0;
    using enum AlarmKind;
    using enum AlarmState;
    switch (zone) {
      case Inside:
        if (chance(rng, 0.01)) {
          const bool up = high && (!low || chance(rng, 0.5));
          v = up ? above(rng) : below(rng);
          p.events.push_back({up ? High : Low, Raised});
          zone = up ? Above : Below;
        } else {
          // Anything from one limit to the other, the limits themselves often.
          if (chance(rng, 0.05))
            v = high && (!low || chance(rng, 0.5)) ? *high : *low;
          else
            v = quarter(rng, insideLow(), insideHigh());
        }
        break;
      case Above:
        if (low && chance(rng, 0.03)) {
          v = below(rng);
          p.events = {{High, Cleared}, {Low, Raised}};
          zone = Below;
        } else if (chance(rng, 0.12)) {
          v = chance(rng, 0.1) ? *high - margin : quarter(rng, insideLow(), *high - margin);
          p.events.push_back({High, Cleared});
          zone = Inside;
        } else {
          // Inside the hysteresis band (when there is one), or still above.
          v = margin > 0 && chance(rng, 0.4) ? quarter(rng, *high - margin + 0.25, *high) : above(rng);
        }
        break;
      case Below:
        if (high && chance(rng, 0.03)) {
          v = above(rng);
          p.events = {{High, Raised}, {Low, Cleared}};
          zone = Above;
        } else if (chance(rng, 0.12)) {
          v = chance(rng, 0.1) ? *low + margin : quarter(rng, *low + margin, insideHigh());
          p.events.push_back({Low, Cleared});
          zone = Inside;
        } else {
          v = margin > 0 && chance(rng, 0.4) ? quarter(rng, *low, *low + margin - 0.25) : below(rng);
        }
        break;
    }
    p.value = AcquiredValue{QString::number(v, 'g', 12), v};
    return p;
  }
};

// A column bounding the change between two of its numbers.
struct StepPlan {
  double step = 0;
  double margin = 0;
  std::optional<double> previous = {};
  bool raised = false;

  Planned next(Rng& rng) {
    Planned p;
    double moved = 0;
    if (!previous) {
      moved = 0;
    } else if (!raised && chance(rng, 0.01)) {
      moved = quarter(rng, step + 0.25, step + 20);
      p.events.push_back({AlarmKind::Step, AlarmState::Raised});
      raised = true;
    } else if (!raised) {
      moved = chance(rng, 0.05) ? step : quarter(rng, 0, step);
    } else if (chance(rng, 0.12)) {
      moved = chance(rng, 0.1) ? step - margin : quarter(rng, 0, step - margin);
      p.events.push_back({AlarmKind::Step, AlarmState::Cleared});
      raised = false;
    } else {
      moved = quarter(rng, step - margin + 0.25, step + 20);
    }
    // Mostly back towards zero, so the values stay small.
    const double from = previous.value_or(0);
    const bool down = chance(rng, 0.2) ? chance(rng, 0.5) : from > 0;
    const double v = from + (down ? -moved : moved);
    previous = v;
    p.value = AcquiredValue{QString::number(v, 'g', 12), v};
    return p;
  }
};

struct Watched {
  ColumnRule rule;
  std::variant<LimitPlan, StepPlan> plan;
  TextPlan text;
};

// What the replay feeds the monitor: a row, or a silence check at a time.
struct Step {
  bool check = false;
  AcquiredRow row;
  std::int64_t checkAtMs = 0;
  const AcquiredRow* rowOrNull() const { return check ? nullptr : &row; }
};
Step checkAt(std::int64_t ms) {
  Step step;
  step.check = true;
  step.checkAtMs = ms;
  return step;
}

struct Replay {
  AlarmRules rules;
  std::vector<Step> steps;
  std::vector<AlarmEvent> expected;
};

constexpr double SilenceSeconds = 60;

// Columns D to I: D high, E low, F without rules, G step, H range; the
// number in B and the stamp in C. I, the last, goes missing at times.
Replay plannedReplay(std::size_t rowCount, std::uint64_t seed) {
  Rng rng(seed);
  std::vector<Watched> watched = {
      {ColumnRule{.column = 4, .high = 100, .margin = 2, .endsRun = true}, LimitPlan{100, std::nullopt, 2}, {}},
      {ColumnRule{.column = 5, .low = 0, .margin = 1.5}, LimitPlan{std::nullopt, 0, 1.5}, {}},
      {ColumnRule{.column = 7, .step = 10, .margin = 3}, StepPlan{10, 3}, {}},
      {ColumnRule{.column = 8, .low = -50, .high = 50, .margin = 5}, LimitPlan{50, -50, 5}, {}},
      {ColumnRule{.column = 9, .high = 0.5}, LimitPlan{0.5, std::nullopt, 0}, {.mayGoMissing = true}},
  };
  Replay replay;
  // Listed last column first: the events still go by column.
  for (auto w = watched.rbegin(); w != watched.rend(); ++w) replay.rules.columns.push_back(w->rule);
  replay.rules.silenceSeconds = SilenceSeconds;

  std::int64_t elapsed = 0;
  std::uint64_t lastSequence = 0;
  const auto silence = [&](AlarmState state, const AcquiredRow* row, std::int64_t at) {
    AlarmEvent e;
    e.kind = AlarmKind::Silence;
    e.state = state;
    e.limit = SilenceSeconds;
    e.time = row ? row->stamp->value : Start.addMSecs(at);
    e.sequence = row ? row->sequence : lastSequence;
    if (row) {
      e.sheet = row->sheet;
      e.row = row->row;
    }
    replay.expected.push_back(e);
  };
  for (std::size_t r = 0; r < rowCount; ++r) {
    bool silenceRaised = false;
    if (chance(rng, 0.002)) {
      // A pause of 70 s, checked before, at and after the silence time.
      for (const std::int64_t at : {30'000, 59'999, 60'000, 65'000}) {
        replay.steps.push_back(checkAt(elapsed + at));
        if (at == 60'000) silence(AlarmState::Raised, nullptr, elapsed + at);
      }
      silenceRaised = true;
      elapsed += 70'000;
    } else if (chance(rng, 0.002)) {
      replay.steps.push_back(checkAt(elapsed + 59'999));
      elapsed += 59'999;
    } else {
      replay.steps.push_back(checkAt(elapsed + 50));
      elapsed += 100;
    }
    AcquiredRow row;
    row.sequence = ++lastSequence;
    row.number = static_cast<std::int32_t>(r + 1);
    row.stamp = Stamp{Start.addMSecs(elapsed), Stamp::Kind::DateTime};
    row.sheet = QStringLiteral("Sheet1");
    row.row = static_cast<std::int32_t>(r % 65536) + 1;
    row.firstColumn = 2;
    row.elapsedMs = elapsed;
    row.values.resize(6);
    row.values[2] = chance(rng, 0.5) ? AcquiredValue{QStringLiteral("x"), std::nullopt}  // F: no rules
                                     : AcquiredValue{QStringLiteral("1e9"), 1e9};
    if (silenceRaised) silence(AlarmState::Cleared, &row, elapsed);
    for (Watched& w : watched) {
      std::optional<Planned> p = w.text.next(rng);
      if (!p) {
        p = std::visit([&rng](auto& plan) { return plan.next(rng); }, w.plan);
        w.text.numberFollows(*p);
      }
      const auto index = static_cast<std::size_t>(w.rule.column - 4);
      if (p->missing)
        row.values.resize(index);
      else
        row.values[index] = p->value;
      for (const auto& [kind, state] : p->events) {
        AlarmEvent e;
        e.time = row.stamp->value;
        e.kind = kind;
        e.state = state;
        e.limit = kind == AlarmKind::High   ? w.rule.high
                  : kind == AlarmKind::Low  ? w.rule.low
                  : kind == AlarmKind::Step ? w.rule.step
                                            : std::nullopt;
        e.column = w.rule.column;
        e.columnLetters = QString(QChar(u'A' + w.rule.column - 1));
        e.value = p->value.text;
        e.sequence = row.sequence;
        e.sheet = row.sheet;
        e.row = row.row;
        e.endsRun = state == AlarmState::Raised && w.rule.endsRun;
        replay.expected.push_back(e);
      }
    }
    replay.steps.push_back(Step{false, std::move(row), 0});
  }
  return replay;
}

// Runs the steps through one monitor, or through a new one restored from
// the last's saved state after each step listed in `cuts`.
std::vector<AlarmEvent> run(const Replay& replay, const std::vector<std::size_t>& cuts = {}) {
  std::vector<AlarmEvent> events;
  auto monitor = std::make_unique<AlarmMonitor>(replay.rules);
  std::size_t nextCut = 0;
  for (std::size_t i = 0; i < replay.steps.size(); ++i) {
    if (const auto* row = replay.steps[i].rowOrNull()) {
      for (AlarmEvent& e : monitor->take(*row, Start.addSecs(-1))) events.push_back(std::move(e));
    } else {
      const std::int64_t at = replay.steps[i].checkAtMs;
      if (auto e = monitor->checkSilence(at, Start.addMSecs(at))) events.push_back(std::move(*e));
    }
    if (nextCut < cuts.size() && cuts[nextCut] == i) {
      ++nextCut;
      const QString state = monitor->saveState();
      const int active = monitor->activeCount();
      monitor = std::make_unique<AlarmMonitor>(replay.rules);
      EXPECT_TRUE(monitor->restoreState(state)) << state.toStdString();
      EXPECT_EQ(monitor->activeCount(), active);
      EXPECT_EQ(monitor->saveState(), state);
      // The step the state was stored with, taken again, gives nothing new.
      if (const auto* row = replay.steps[i].rowOrNull()) {
        EXPECT_TRUE(monitor->take(*row, Start).empty());
      }
    }
  }
  return events;
}

QString key(const AlarmEvent& e) {
  return QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8")
      .arg(e.sequence)
      .arg(e.columnLetters)
      .arg(static_cast<int>(e.kind))
      .arg(static_cast<int>(e.state))
      .arg(e.value)
      .arg(e.limit ? numberText(*e.limit) : QString())
      .arg(e.endsRun ? 1 : 0)
      .arg(e.time.toString(Qt::ISODateWithMs));
}

// Missed, extra and duplicated events of `got` against `planned`, and whether
// the two are the same in the same order.
void compare(const std::vector<AlarmEvent>& got, const std::vector<AlarmEvent>& planned, const char* what) {
  std::map<QString, int> count;
  for (const AlarmEvent& e : planned) ++count[key(e)];
  std::size_t missed = 0, extra = 0, duplicated = 0;
  std::map<QString, int> seen;
  for (const AlarmEvent& e : got)
    if (++seen[key(e)] > 1) ++duplicated;
  for (const auto& [k, n] : count) missed += static_cast<std::size_t>(std::max(0, n - seen[k]));
  for (const auto& [k, n] : seen) extra += static_cast<std::size_t>(std::max(0, n - count[k]));
  EXPECT_EQ(missed, 0u) << what;
  EXPECT_EQ(extra, 0u) << what;
  EXPECT_EQ(duplicated, 0u) << what;
  std::size_t first = 0;
  while (first < got.size() && first < planned.size() && got[first] == planned[first]) ++first;
  EXPECT_TRUE(first == got.size() && first == planned.size())
      << what << ": first difference at event " << first << " of " << planned.size() << ": planned "
      << (first < planned.size() ? key(planned[first]).toStdString() : "none") << ", got "
      << (first < got.size() ? key(got[first]).toStdString() : "none");
}

TEST(AlarmReplayTest, PlannedEventsComeExactlyOnceWithAndWithoutRestores) {
  const Replay replay = plannedReplay(100'000, 20261208);
  // The plan plants enough of everything to mean something.
  std::map<std::pair<AlarmKind, AlarmState>, int> planted;
  for (const AlarmEvent& e : replay.expected) ++planted[{e.kind, e.state}];
  for (const AlarmKind kind :
       {AlarmKind::NotNumber, AlarmKind::High, AlarmKind::Low, AlarmKind::Step, AlarmKind::Silence}) {
    const int raised = planted[std::make_pair(kind, AlarmState::Raised)];
    EXPECT_GE(raised, 100) << static_cast<int>(kind);
  }

  compare(run(replay), replay.expected, "one monitor");

  Rng rng(7);
  std::vector<std::size_t> cuts;
  std::uniform_int_distribution<std::size_t> at(0, replay.steps.size() - 1);
  while (cuts.size() < 20) cuts.push_back(at(rng));
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
  compare(run(replay, cuts), replay.expected, "restored at 20 points");
}

}  // namespace
}  // namespace kestrune::alarm
