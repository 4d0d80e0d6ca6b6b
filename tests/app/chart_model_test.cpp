// The chart model: which values become series, the x of each row on both
// axes, and the reduced series keeping every extreme.
#include "app/chart_rows.h"
#include "app/chart_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <ostream>
#include <random>

namespace kestrune::app {
namespace {

using sheet::CellValue;
using sheet::Stamp;

CellValue text(const char* s) { return QString::fromUtf8(s); }

Stamp stampAt(int hour, int minute, int second, int ms = 0) {
  return Stamp{QDateTime(QDate(2024, 5, 6), QTime(hour, minute, second, ms), Qt::UTC), Stamp::Kind::DateTime};
}

// A test name from a case's `name`: letters, digits and underscores.
template <typename Case>
std::string caseName(const ::testing::TestParamInfo<Case>& param) {
  std::string name = param.param.name;
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name;
}

struct NumberCase {
  const char* name;
  const char* text;
  std::optional<double> expected;
};

void PrintTo(const NumberCase& c, std::ostream* os) { *os << c.name; }

// The workbook's typing rule, applied once to every value of a row.
class TypedValueTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(TypedValueTest, NumbersAreWhatTheWorkbookStoresAsNumbers) {
  const AcquiredValue typed = typedValue(QString::fromUtf8(GetParam().text));
  EXPECT_EQ(typed.text, QString::fromUtf8(GetParam().text));
  EXPECT_EQ(typed.number, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, TypedValueTest,
    ::testing::Values(NumberCase{"decimal", "12.5", 12.5}, NumberCase{"leading point", ".5", 0.5},
                      NumberCase{"exponent", "-3E2", -300.0}, NumberCase{"spaces", "  7 ", 7.0},
                      NumberCase{"signed exponent", "+.12E+01", 1.2}, NumberCase{"trailing point", "1.", 1.0},
                      NumberCase{"word", "OK", std::nullopt}, NumberCase{"empty", "", std::nullopt},
                      NumberCase{"point alone", ".", std::nullopt}, NumberCase{"formula", "=1+2", std::nullopt},
                      NumberCase{"decimal comma", "1,5", std::nullopt}, NumberCase{"unit", "12.5V", std::nullopt},
                      NumberCase{"full-width digits", "１２", std::nullopt}),
    caseName<NumberCase>);

std::vector<int> columnsOf(const ChartModel& model) {
  std::vector<int> columns;
  for (const auto& s : model.series()) columns.push_back(s.column);
  return columns;
}

// Series are the worksheet columns holding numbers: the row's start column,
// then the number and the stamp when present, then the fields.
struct SeriesColumnCase {
  const char* name;
  std::int32_t firstColumn;
  bool numbered;
  bool stamped;
  std::vector<int> columns;
  QStringList letters;
};

class SeriesColumnTest : public ::testing::TestWithParam<SeriesColumnCase> {};

TEST_P(SeriesColumnTest, SeriesAreTheWorksheetColumnsHoldingNumbers) {
  const SeriesColumnCase& c = GetParam();
  ChartModel model;
  for (int i = 0; i < 2; ++i) {
    std::vector<sheet::CellValue> cells;
    if (c.numbered) cells.push_back(std::int32_t{i + 1});
    if (c.stamped) cells.push_back(stampAt(9, 0, i));
    // A number, a word, an empty field, numeric text with an exponent.
    for (const char* field : {i == 0 ? "12.5" : ".5", "OK", "", i == 0 ? "-3E2" : "4"}) cells.push_back(text(field));
    AcquiredRow row = rowFromCells(cells);
    row.firstColumn = c.firstColumn;
    row.row = 7 + i;
    row.elapsedMs = i * 1000;
    model.addRow(row);
  }
  ASSERT_EQ(columnsOf(model), c.columns);
  QStringList letters;
  for (const auto& s : model.series()) letters << s.letters;
  EXPECT_EQ(letters, c.letters);
  EXPECT_EQ(model.series()[0].y, (std::vector<double>{12.5, 0.5}));
  EXPECT_EQ(model.series()[1].y, (std::vector<double>{-300.0, 4.0}));
  EXPECT_EQ(model.firstSheetRow(), 7);
  EXPECT_EQ(model.numbered(), c.numbered);
  EXPECT_EQ(model.yRange(), (ChartRange{-300.0, 12.5}));
}

INSTANTIATE_TEST_SUITE_P(
    Table, SeriesColumnTest,
    ::testing::Values(SeriesColumnCase{"from_B_numbered_stamped", 2, true, true, {4, 7}, {"D", "G"}},
                      SeriesColumnCase{"from_B_numbered", 2, true, false, {3, 6}, {"C", "F"}},
                      SeriesColumnCase{"from_A_bare", 1, false, false, {1, 4}, {"A", "D"}},
                      SeriesColumnCase{"from_Z_stamped", 26, false, true, {27, 30}, {"AA", "AD"}},
                      SeriesColumnCase{"unplaced_rows_from_A", 0, false, false, {1, 4}, {"A", "D"}}),
    caseName<SeriesColumnCase>);

TEST(ChartModelTest, SeriesNamesAddTheHeaderText) {
  EXPECT_EQ(chartSeriesName(QStringLiteral("D"), QStringLiteral("温度")), QStringLiteral("D 温度"));
  EXPECT_EQ(chartSeriesName(QStringLiteral("D"), QStringLiteral("  湿度\n[%] ")), QStringLiteral("D 湿度 [%]"));
  EXPECT_EQ(chartSeriesName(QStringLiteral("AB"), QString()), QStringLiteral("AB"));
}

// The choices kept in kestrune.conf read back as written; what another hand
// wrote wrong falls back to the default.
TEST(ChartPrefsTest, ConfRoundTripAndBadValues) {
  ChartPrefs chosen;
  chosen.hidden = {QStringLiteral("AA"), QStringLiteral("D")};
  chosen.right = {QStringLiteral("E")};
  chosen.windowMinutes = 10;
  chosen.xAxis = ChartXAxis::AcquisitionNo;
  EXPECT_EQ(ChartPrefs::fromConf(chosen.toConf()), chosen);
  EXPECT_EQ(ChartPrefs::fromConf({}), ChartPrefs());

  const ChartPrefs read = ChartPrefs::fromConf({{QStringLiteral("chart.hidden"), QStringLiteral(" d, ,D,1,ABCD,é,b ")},
                                                {QStringLiteral("chart.window"), QStringLiteral("7")},
                                                {QStringLiteral("chart.x"), QStringLiteral("sideways")}});
  EXPECT_EQ(read.hidden, (QStringList{QStringLiteral("B"), QStringLiteral("D")}));
  EXPECT_EQ(read.windowMinutes, 0);
  EXPECT_EQ(read.xAxis, ChartXAxis::Time);
}

TEST(ChartModelTest, AColumnThatTurnsNumericLaterJoinsInColumnOrder) {
  ChartModel model;
  addRow(model, 0, std::nullopt, {text("OK"), text("1")});
  const std::uint64_t layout = model.layoutRevision();
  addRow(model, 10, std::nullopt, {text("OK"), text("2")});
  EXPECT_EQ(model.layoutRevision(), layout) << "no new series, no new layout";
  addRow(model, 20, std::nullopt, {text("5"), text("3")});
  EXPECT_GT(model.layoutRevision(), layout);
  ASSERT_EQ(columnsOf(model), (std::vector<int>{1, 2}));
  // The late series has only its own row.
  EXPECT_EQ(model.series()[0].rows, (std::vector<std::uint32_t>{2}));
  EXPECT_EQ(model.series()[1].rows, (std::vector<std::uint32_t>{0, 1, 2}));
}

TEST(ChartModelTest, RowsWithoutNumbersAddNoPointsButCountAsRows) {
  ChartModel model;
  addRow(model, 0, std::nullopt, {});
  addRow(model, 10, std::nullopt, {text("abc"), stampAt(1, 0, 0)});
  EXPECT_TRUE(model.series().empty());
  EXPECT_FALSE(model.xRange());
  EXPECT_FALSE(model.yRange());
  model.setXAxis(ChartXAxis::AcquisitionNo);
  addRow(model, 20, std::nullopt, {text("3")});
  ASSERT_EQ(model.series().size(), 1u);
  // The third row is number 3 when the rows carry no acquisition number.
  EXPECT_EQ(model.x(model.series()[0].rows[0]), 3.0);
}

struct NumberSourceCase {
  const char* name;
  std::optional<std::int32_t> given;
  std::vector<CellValue> values;
  double expected;
};

void PrintTo(const NumberSourceCase& c, std::ostream* os) { *os << c.name; }

class AcquisitionNumberTest : public ::testing::TestWithParam<NumberSourceCase> {};

TEST_P(AcquisitionNumberTest, XOnTheNumberAxis) {
  ChartModel model;
  model.setXAxis(ChartXAxis::AcquisitionNo);
  addRow(model, 0, std::nullopt, {text("0")});  // an earlier row: ordinal 1
  addRow(model, 5, GetParam().given, GetParam().values);
  EXPECT_EQ(model.x(1), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AcquisitionNumberTest,
    ::testing::Values(NumberSourceCase{"given", 70, {std::int32_t{70}, text("1")}, 70.0},
                      NumberSourceCase{"given wins over the row", 9, {std::int32_t{70}, text("1")}, 9.0},
                      NumberSourceCase{"taken from the row", std::nullopt, {std::int32_t{-4}, text("1")}, -4.0},
                      NumberSourceCase{"ordinal without one", std::nullopt, {text("1")}, 2.0}),
    caseName<NumberSourceCase>);

TEST(ChartModelTest, TimeIsElapsedWithoutStamps) {
  ChartModel model;
  addRow(model, 250, std::nullopt, {text("1")});
  addRow(model, 1250, std::nullopt, {text("2")});
  EXPECT_EQ(model.timeBase(), ChartTimeBase::Elapsed);
  EXPECT_EQ(model.xRange(), (ChartRange{250.0, 1250.0}));
}

TEST(ChartModelTest, StampsPutTimeOnTheClockAndPlaceEarlierRowsByElapsedTime) {
  ChartModel model;
  addRow(model, 1000, std::nullopt, {text("1")});  // no stamp yet
  const Stamp first = stampAt(10, 0, 0);
  addRow(model, 3000, std::nullopt, {first, text("2")});
  addRow(model, 4000, std::nullopt, {stampAt(10, 0, 1, 500), text("3")});
  EXPECT_EQ(model.timeBase(), ChartTimeBase::Clock);
  const double t0 = static_cast<double>(first.value.toMSecsSinceEpoch());
  EXPECT_EQ(model.x(0), t0 - 2000.0);
  EXPECT_EQ(model.x(1), t0);
  // The stamp, not the elapsed time, gives the row's time.
  EXPECT_EQ(model.x(2), t0 + 1500.0);
  EXPECT_EQ(model.xRange(), (ChartRange{t0 - 2000.0, t0 + 1500.0}));
}

TEST(ChartModelTest, SwitchingTheAxisChangesXAndTheRange) {
  ChartModel model;
  for (int i = 0; i < 5; ++i) addRow(model, 100 * i, 10 + i, {std::int32_t{10 + i}, text("1")});
  EXPECT_EQ(model.xRange(), (ChartRange{0.0, 400.0}));
  const std::uint64_t before = model.revision();
  model.setXAxis(ChartXAxis::AcquisitionNo);
  EXPECT_GT(model.revision(), before);
  EXPECT_EQ(model.xRange(), (ChartRange{10.0, 14.0}));
  const QList<QPointF> byNumber = model.decimated(0, 10.0, 14.0, 100);
  ASSERT_EQ(byNumber.size(), 5);
  EXPECT_EQ(byNumber.front(), QPointF(10.0, 1.0));
  EXPECT_EQ(byNumber.back(), QPointF(14.0, 1.0));
  model.setXAxis(ChartXAxis::Time);
  const QList<QPointF> byTime = model.decimated(0, 0.0, 400.0, 100);
  ASSERT_EQ(byTime.size(), 5);
  EXPECT_EQ(byTime.back(), QPointF(400.0, 1.0));
}

TEST(ChartModelTest, ClearForgetsRowsButKeepsTheAxisChoice) {
  ChartModel model;
  model.setXAxis(ChartXAxis::AcquisitionNo);
  addRow(model, 0, 1, {stampAt(1, 0, 0), text("1")});
  const std::uint64_t revision = model.revision();
  const std::uint64_t layout = model.layoutRevision();
  model.clear();
  EXPECT_EQ(model.rowCount(), 0u);
  EXPECT_TRUE(model.series().empty());
  EXPECT_EQ(model.timeBase(), ChartTimeBase::Elapsed);
  EXPECT_EQ(model.xAxis(), ChartXAxis::AcquisitionNo);
  EXPECT_GT(model.revision(), revision);
  EXPECT_GT(model.layoutRevision(), layout);
}

// ---- Decimation -----------------------------------------------------------

ChartModel rampWith(int count, int spikeAt, double spike) {
  ChartModel model;
  for (int i = 0; i < count; ++i) {
    const double y = i == spikeAt ? spike : std::sin(i * 0.01);
    addRow(model, i, std::nullopt, {QString::number(y, 'g', 17)});
  }
  return model;
}

struct SpikeCase {
  int count;
  int spikeAt;
  double spike;
  int pixels;
};

void PrintTo(const SpikeCase& c, std::ostream* os) {
  *os << c.count << " points, spike " << c.spike << " at " << c.spikeAt << ", " << c.pixels << " px";
}

class SpikeTest : public ::testing::TestWithParam<SpikeCase> {};

TEST_P(SpikeTest, TheSpikeAndTheEndsSurvive) {
  const SpikeCase c = GetParam();
  const ChartModel model = rampWith(c.count, c.spikeAt, c.spike);
  const QList<QPointF> points = model.decimated(0, 0.0, c.count - 1.0, c.pixels);
  EXPECT_LE(points.size(), ChartModel::PointsPerColumn * c.pixels);
  EXPECT_LT(points.size(), c.count);
  EXPECT_TRUE(std::any_of(points.begin(), points.end(),
                          [&](const QPointF& p) { return p.x() == c.spikeAt && p.y() == c.spike; }));
  EXPECT_EQ(points.front().x(), 0.0);
  EXPECT_EQ(points.back().x(), c.count - 1.0);
  EXPECT_TRUE(
      std::is_sorted(points.begin(), points.end(), [](const QPointF& a, const QPointF& b) { return a.x() < b.x(); }));
}

INSTANTIATE_TEST_SUITE_P(Table, SpikeTest,
                         ::testing::Values(SpikeCase{10000, 5000, 1e6, 100}, SpikeCase{10000, 5001, -1e6, 100},
                                           SpikeCase{10000, 0, 50.0, 100}, SpikeCase{10000, 9999, -50.0, 100},
                                           SpikeCase{10000, 1234, 7.0, 1}, SpikeCase{65536, 40000, 99.0, 37}));

// Per pixel column, the reduced series has the same lowest and highest value
// as the whole one, and its first and last point.
TEST(ChartDecimationTest, EveryColumnKeepsItsExtremesAndEnds) {
  std::mt19937 random(11);
  std::normal_distribution<double> noise(0.0, 5.0);
  ChartModel model;
  constexpr int Count = 20000;
  for (int i = 0; i < Count; ++i) addRow(model, i * 7, std::nullopt, {QString::number(noise(random), 'g', 17)});
  constexpr int Pixels = 300;
  const double xMax = (Count - 1) * 7.0;
  const QList<QPointF> points = model.decimated(0, 0.0, xMax, Pixels);
  const auto columnOf = [&](double x) { return std::min(Pixels - 1, static_cast<int>(x * Pixels / xMax)); };
  struct Column {
    double low = INFINITY, high = -INFINITY, firstX = INFINITY, lastX = -INFINITY;
  };
  std::vector<Column> expected(Pixels), got(Pixels);
  const auto take = [&](std::vector<Column>& cs, double x, double y) {
    Column& c = cs[static_cast<std::size_t>(columnOf(x))];
    c.low = std::min(c.low, y);
    c.high = std::max(c.high, y);
    c.firstX = std::min(c.firstX, x);
    c.lastX = std::max(c.lastX, x);
  };
  const auto& series = model.series()[0];
  for (std::size_t i = 0; i < series.y.size(); ++i) take(expected, model.x(series.rows[i]), series.y[i]);
  for (const QPointF& p : points) take(got, p.x(), p.y());
  for (int c = 0; c < Pixels; ++c) {
    SCOPED_TRACE(c);
    EXPECT_EQ(got[c].low, expected[c].low);
    EXPECT_EQ(got[c].high, expected[c].high);
    EXPECT_EQ(got[c].firstX, expected[c].firstX);
    EXPECT_EQ(got[c].lastX, expected[c].lastX);
  }
}

TEST(ChartDecimationTest, FewPointsComeAsTheyAre) {
  ChartModel model;
  for (int i = 0; i < 10; ++i) addRow(model, i * 100, std::nullopt, {QString::number(i * i)});
  const QList<QPointF> points = model.decimated(0, 0.0, 900.0, 100);
  ASSERT_EQ(points.size(), 10);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(points[i], QPointF(i * 100.0, i * i));
}

TEST(ChartDecimationTest, ASliceKeepsOnePointBeyondEachEnd) {
  ChartModel model;
  for (int i = 0; i < 10; ++i) addRow(model, i * 100, std::nullopt, {QString::number(i)});
  const QList<QPointF> points = model.decimated(0, 250.0, 550.0, 100);
  ASSERT_EQ(points.size(), 5);
  EXPECT_EQ(points.front().x(), 200.0);
  EXPECT_EQ(points.back().x(), 600.0);
  // And when reduced: a 1-pixel view of 300..500 out of many points.
  const ChartModel many = rampWith(1000, -1, 0.0);
  const QList<QPointF> reduced = many.decimated(0, 300.0, 500.0, 1);
  EXPECT_LE(reduced.size(), 6);
  EXPECT_EQ(reduced.front().x(), 299.0);
  EXPECT_EQ(reduced.back().x(), 501.0);
}

// Acquisition numbers that wrap (or a clock set back) leave x unsorted: every
// point in range is still seen, none outside it is drawn.
TEST(ChartDecimationTest, UnsortedXStillKeepsTheExtremesInRange) {
  ChartModel model;
  model.setXAxis(ChartXAxis::AcquisitionNo);
  for (int i = 0; i < 5000; ++i) {
    const std::int32_t number = i < 2500 ? 2500 + i : i - 2500;  // back to 0 half way
    const double y = number == 100 ? -77.0 : (number == 4000 ? 88.0 : 1.0);
    addRow(model, i, number, {std::int32_t{number}, QString::number(y)});
  }
  const QList<QPointF> all = model.decimated(0, 0.0, 4999.0, 50);
  EXPECT_LE(all.size(), 200);
  EXPECT_TRUE(std::any_of(all.begin(), all.end(), [](const QPointF& p) { return p.y() == -77.0; }));
  EXPECT_TRUE(std::any_of(all.begin(), all.end(), [](const QPointF& p) { return p.y() == 88.0; }));
  const QList<QPointF> part = model.decimated(0, 0.0, 1000.0, 50);
  EXPECT_TRUE(std::all_of(part.begin(), part.end(), [](const QPointF& p) { return p.x() <= 1000.0; }));
  EXPECT_TRUE(std::any_of(part.begin(), part.end(), [](const QPointF& p) { return p.y() == -77.0; }));
  EXPECT_TRUE(std::none_of(part.begin(), part.end(), [](const QPointF& p) { return p.y() == 88.0; }));
}

struct NothingCase {
  const char* name;
  std::size_t series;
  double xMin, xMax;
  int pixels;
};

void PrintTo(const NothingCase& c, std::ostream* os) { *os << c.name; }

class DecimationRefusesTest : public ::testing::TestWithParam<NothingCase> {};

TEST_P(DecimationRefusesTest, GivesNoPoints) {
  const ChartModel model = rampWith(100, -1, 0.0);
  const NothingCase c = GetParam();
  EXPECT_TRUE(model.decimated(c.series, c.xMin, c.xMax, c.pixels).isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Table, DecimationRefusesTest,
                         ::testing::Values(NothingCase{"unknown series", 1, 0.0, 99.0, 100},
                                           NothingCase{"no width", 0, 0.0, 99.0, 0},
                                           NothingCase{"negative width", 0, 0.0, 99.0, -5},
                                           NothingCase{"reversed range", 0, 99.0, 0.0, 100},
                                           NothingCase{"not a number", 0, NAN, 99.0, 100}),
                         caseName<NothingCase>);

TEST(ChartDecimationTest, AllPointsAtOneXShareAColumn) {
  ChartModel model;
  model.setXAxis(ChartXAxis::AcquisitionNo);
  for (int i = 0; i < 100; ++i) addRow(model, i, 7, {std::int32_t{7}, QString::number(i % 10)});
  const QList<QPointF> points = model.decimated(0, 7.0, 7.0, 10);
  ASSERT_FALSE(points.isEmpty());
  EXPECT_LE(points.size(), 40);
  const auto [low, high] = std::minmax_element(points.begin(), points.end(),
                                               [](const QPointF& a, const QPointF& b) { return a.y() < b.y(); });
  EXPECT_EQ(low->y(), 0.0);
  EXPECT_EQ(high->y(), 9.0);
}

// A raised alarm marks its row's point on its column's line, whether it comes
// before or after its row; alarms without such a point leave no mark.
TEST(ChartModelAlarmTest, RaisedAlarmsMarkTheirRowsPoint) {
  using alarm::AlarmKind;
  using alarm::AlarmState;
  using Mark = ChartModel::AlarmMark;
  const struct {
    const char* name;
    AlarmKind kind;
    AlarmState state;
    int column;
    std::uint64_t sequence;
    std::optional<Mark> expected;
  } cases[] = {
      {"high", AlarmKind::High, AlarmState::Raised, 1, 2, Mark{0, 1, 20.0}},
      {"low", AlarmKind::Low, AlarmState::Raised, 3, 3, Mark{1, 2, -3.0}},
      {"step", AlarmKind::Step, AlarmState::Raised, 1, 1, Mark{0, 0, 10.0}},
      {"cleared", AlarmKind::High, AlarmState::Cleared, 1, 2, std::nullopt},
      {"not a number", AlarmKind::NotNumber, AlarmState::Raised, 2, 2, std::nullopt},
      {"silence", AlarmKind::Silence, AlarmState::Raised, 0, 3, std::nullopt},
      {"column without a line", AlarmKind::High, AlarmState::Raised, 5, 2, std::nullopt},
      {"row not come", AlarmKind::High, AlarmState::Raised, 1, 9, std::nullopt},
  };
  const auto addRows = [](ChartModel& model) {
    // Columns A and C hold numbers, B a word.
    for (int i = 1; i <= 3; ++i) {
      AcquiredRow row = rowFromCells({CellValue(QString::number(i * 10)), text("x"), CellValue(QString::number(-i))});
      row.sequence = static_cast<std::uint64_t>(i);
      row.firstColumn = 1;
      row.elapsedMs = i * 1000;
      model.addRow(row);
    }
  };
  for (const auto& c : cases) {
    for (const bool alarmFirst : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (alarmFirst ? ", alarm before its row" : ", alarm after its row"));
      alarm::AlarmEvent event;
      event.kind = c.kind;
      event.state = c.state;
      event.column = c.column;
      event.sequence = c.sequence;
      ChartModel model;
      if (!alarmFirst) addRows(model);
      model.addAlarm(event);
      if (alarmFirst) addRows(model);
      const std::vector<Mark> marks = model.alarmMarks();
      EXPECT_EQ(marks, c.expected ? std::vector<Mark>{*c.expected} : std::vector<Mark>{});
      if (!c.expected) continue;
      EXPECT_TRUE(model.alarmMarks(c.expected->row).empty()) << "a paused view ends before the row";
      model.clear();
      addRows(model);
      EXPECT_TRUE(model.alarmMarks().empty()) << "a new run forgets the alarms";
    }
  }
}

}  // namespace
}  // namespace kestrune::app
