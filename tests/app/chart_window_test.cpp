// The chart window on the offscreen platform: a line and a legend entry per
// column of numbers, redraws held back by the timer, the axis switch, and
// PNG and SVG export.
#include "app/chart_rows.h"
#include "app/chart_window.h"

#include "fakes/manual_clock.h"
#include "fakes/recording_message_boxes.h"

#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QRegularExpression>
#include <QTest>
#include <QWheelEvent>
#include <QCoreApplication>
#include <QCategoryAxis>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGraphicsScene>
#include <QGraphicsTextItem>
#include <QImage>
#include <QLegend>
#include <QLegendMarker>
#include <QLineSeries>
#include <QScatterSeries>
#include <QSvgRenderer>
#include <QTemporaryDir>
#include <QTimer>
#include <QValueAxis>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <tuple>

namespace kestrune::app {
namespace {

using sheet::CellValue;

class ChartWindowTest : public ::testing::Test {
protected:
  ChartWindowTest() {
    window.show();
    QCoreApplication::processEvents();
    window.redraw();  // what showing it asked for
  }
  QChart* chart() { return window.findChild<QChartView*>(QStringLiteral("ChartView"))->chart(); }
  QList<QLineSeries*> lines() {
    QList<QLineSeries*> out;
    for (QAbstractSeries* s : chart()->series())
      if (s->objectName() == QStringLiteral("ChartLine")) out << qobject_cast<QLineSeries*>(s);
    return out;
  }
  // The chart's series named `name` (limit lines, alarm marks).
  QList<QXYSeries*> others(const QString& name) {
    QList<QXYSeries*> out;
    for (QAbstractSeries* s : chart()->series())
      if (s->objectName() == name) out << qobject_cast<QXYSeries*>(s);
    return out;
  }
  QStringList lineNames() {
    QStringList names;
    for (QLineSeries* line : lines()) names << line->name();
    return names;
  }
  QStringList legendNames() {
    QStringList names;
    QCoreApplication::processEvents();
    for (QLegendMarker* marker : chart()->legend()->markers())
      if (marker->isVisible()) names << marker->label();
    return names;
  }
  QAbstractAxis* xAxis() {
    const QList<QAbstractAxis*> axes = chart()->axes(Qt::Horizontal);
    return axes.size() == 1 ? axes.front() : nullptr;
  }
  // Rows as a run with numbering on and no stamp gives them: the number,
  // then a value, a word and another value.
  void addRows(int count, int firstNo = 1) {
    for (int i = 0; i < count; ++i) {
      const std::int32_t no = firstNo + i;
      addRow(window, i * 1000, no,
             {CellValue(no), CellValue(QString::number(i * 0.5)), CellValue(QStringLiteral("OK")),
              CellValue(QString::number(100 - i))});
    }
  }

  testing::RecordingMessageBoxes boxes;
  ChartWindow window{boxes};
  QTemporaryDir dir;
};

TEST_F(ChartWindowTest, TitleAndAnEmptyChartSayThereIsNothingYet) {
  EXPECT_EQ(window.windowTitle(), QStringLiteral("Kestrune（グラフ）"));
  EXPECT_TRUE(lines().isEmpty());
  EXPECT_EQ(chart()->title(), QStringLiteral("数値の列はまだありません"));
}

TEST_F(ChartWindowTest, ALineAndALegendEntryPerColumnOfNumbers) {
  addRows(5);
  window.redraw();
  // Number in A, values in B and D (C holds a word).
  EXPECT_EQ(lineNames(), (QStringList{QStringLiteral("B"), QStringLiteral("D")}));
  EXPECT_EQ(legendNames(), lineNames());
  EXPECT_TRUE(chart()->title().isEmpty());
  ASSERT_EQ(lines().size(), 2);
  EXPECT_EQ(lines()[0]->count(), 5);
  EXPECT_EQ(lines()[1]->at(4), QPointF(4.0, 96.0)) << "elapsed time in seconds, the value";
}

// Rows are drawn at most once a redraw interval, right after the row that
// makes a redraw due; rows that stop coming are drawn by the trailing timer.
TEST_F(ChartWindowTest, RedrawsFollowTheRowThatMakesThemDue) {
  testing::ManualClock clock(5000);
  window.setClock(clock);
  const auto* timer = window.findChild<QTimer*>(QStringLiteral("ChartRedrawTimer"));
  ASSERT_NE(timer, nullptr);
  int next = 0;
  const auto rows = [&](int count) {
    for (int end = next + count; next < end; ++next)
      addRow(window, next * 10, std::nullopt, {CellValue(QString::number(next))});
  };
  const auto drawn = [&] { return lines().isEmpty() ? 0 : lines()[0]->count(); };
  rows(3);
  EXPECT_EQ(drawn(), 0) << "drawn inside the call that added the row";
  QCoreApplication::processEvents();
  EXPECT_EQ(drawn(), 3) << "the first rows are due at once";
  EXPECT_FALSE(window.redrawPending());

  clock.advance(ChartWindow::RedrawIntervalMs - 1);
  rows(50);
  QCoreApplication::processEvents();
  EXPECT_EQ(drawn(), 3) << "not yet due";
  EXPECT_TRUE(timer->isActive());
  EXPECT_TRUE(timer->isSingleShot());
  EXPECT_EQ(timer->interval(), ChartWindow::TrailingRedrawMs);

  clock.advance(1);
  rows(1);
  QCoreApplication::processEvents();
  EXPECT_EQ(drawn(), 54);
  EXPECT_FALSE(window.redrawPending()) << "the trailing timer stops with the redraw";

  rows(2);
  EXPECT_TRUE(timer->isActive());
  window.redraw();  // what the timer does when no more rows come
  EXPECT_EQ(drawn(), 56);
}

TEST_F(ChartWindowTest, AxesCoverTheDataWithRoundTicks) {
  addRows(11);
  window.redraw();
  auto* x = qobject_cast<QCategoryAxis*>(xAxis());
  auto* y = qobject_cast<QCategoryAxis*>(chart()->axes(Qt::Vertical).value(0));
  ASSERT_NE(x, nullptr);
  ASSERT_NE(y, nullptr);
  EXPECT_EQ(x->titleText(), QStringLiteral("経過時間 [秒]"));
  EXPECT_DOUBLE_EQ(x->min(), 0.0);
  EXPECT_DOUBLE_EQ(x->max(), 10.0);
  // Values run from 0 to 100: the axis holds them with a little room.
  EXPECT_LE(y->min(), 0.0);
  EXPECT_GT(y->max(), 100.0);
  EXPECT_LT(y->max(), 110.0);
  // Every label is a round number at its own value.
  for (QCategoryAxis* axis : {x, y}) {
    const QStringList labels = axis->categoriesLabels();
    EXPECT_GE(labels.size(), 2);
    for (const QString& label : labels) {
      bool number = false;
      const double v = label.toDouble(&number);
      EXPECT_TRUE(number) << label.toStdString();
      EXPECT_DOUBLE_EQ(axis->endValue(label), v);
      EXPECT_LE(label.size(), 4) << label.toStdString();
    }
  }
}

// The labels follow the window's size: more room, more ticks, never none.
TEST_F(ChartWindowTest, TickCountFollowsTheWindowSize) {
  addRows(300);
  std::vector<qsizetype> counts;
  for (const QSize size : {QSize(420, 260), QSize(1400, 900)}) {
    window.resize(size);
    QCoreApplication::processEvents();
    window.redraw();
    QCoreApplication::processEvents();
    window.redraw();
    auto* x = qobject_cast<QCategoryAxis*>(xAxis());
    ASSERT_NE(x, nullptr);
    counts.push_back(x->categoriesLabels().size());
  }
  EXPECT_GE(counts[0], 2);
  EXPECT_GT(counts[1], counts[0]);
}

TEST_F(ChartWindowTest, TheSwitchPutsAcquisitionNumbersOnTheAxis) {
  addRows(4, 101);
  window.redraw();
  auto* choice = window.findChild<QComboBox*>(QStringLiteral("ChartXAxis"));
  ASSERT_NE(choice, nullptr);
  EXPECT_EQ(choice->currentText(), QStringLiteral("時間"));
  std::optional<ChartPrefs> reported;
  QObject::connect(&window, &ChartWindow::prefsChanged, [&](const ChartPrefs& p) { reported = p; });
  choice->setCurrentIndex(choice->findText(QStringLiteral("取得番号")));
  emit choice->activated(choice->currentIndex());
  EXPECT_EQ(window.model().xAxis(), ChartXAxis::AcquisitionNo);
  ASSERT_TRUE(reported);
  EXPECT_EQ(reported->xAxis, ChartXAxis::AcquisitionNo);
  auto* x = qobject_cast<QCategoryAxis*>(xAxis());
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->titleText(), QStringLiteral("取得番号"));
  EXPECT_DOUBLE_EQ(x->min(), 101.0);
  EXPECT_DOUBLE_EQ(x->max(), 104.0);
  for (const QString& label : x->categoriesLabels()) EXPECT_FALSE(label.contains(QLatin1Char('.'))) << "whole numbers";
  ASSERT_EQ(lines().size(), 2);
  EXPECT_EQ(lines()[0]->at(0).x(), 101.0);
  // And back, through the window's own call.
  window.setXAxis(ChartXAxis::Time);
  EXPECT_EQ(choice->currentText(), QStringLiteral("時間"));
  EXPECT_EQ(lines()[0]->at(3).x(), 3.0);
}

TEST_F(ChartWindowTest, StampedRowsShowClockTime) {
  const QDateTime start(QDate(2024, 5, 6), QTime(10, 0, 0));
  for (int i = 0; i < 3; ++i)
    addRow(window, i * 500, std::nullopt,
           {CellValue(sheet::Stamp{start.addSecs(i), sheet::Stamp::Kind::Time}), CellValue(QStringLiteral("1"))});
  window.redraw();
  auto* x = qobject_cast<QCategoryAxis*>(xAxis());
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->titleText(), QStringLiteral("時刻"));
  EXPECT_LE(x->min(), static_cast<double>(start.toMSecsSinceEpoch()));
  EXPECT_GE(x->max(), static_cast<double>(start.addSecs(2).toMSecsSinceEpoch()));
  const QStringList labels = x->categoriesLabels();
  EXPECT_TRUE(std::any_of(labels.begin(), labels.end(), [](const QString& l) { return l.startsWith(u"10:00:01"); }))
      << labels.join(u' ').toStdString();
  EXPECT_EQ(lineNames(), QStringList{QStringLiteral("B")});
}

// Many series share the points of a redraw; each line still shows its spike.
TEST_F(ChartWindowTest, ManySeriesShareThePointBudget) {
  constexpr int Columns = 20;
  constexpr int Rows = 3000;
  for (int r = 0; r < Rows; ++r) {
    std::vector<CellValue> values;
    for (int c = 0; c < Columns; ++c) values.emplace_back(QString::number(r == 1000 + c ? 500.0 + c : (r + c) % 7));
    addRow(window, r * 10, std::nullopt, values);
  }
  window.redraw();
  ASSERT_EQ(lines().size(), Columns);
  qsizetype total = 0;
  for (int c = 0; c < Columns; ++c) {
    const QList<QPointF> points = lines()[c]->points();
    total += points.size();
    EXPECT_LT(points.size(), Rows);
    EXPECT_TRUE(std::any_of(points.begin(), points.end(), [&](const QPointF& p) { return p.y() == 500.0 + c; }))
        << "the spike of column " << c + 1;
  }
  EXPECT_LE(total, ChartWindow::PointBudget);
}

TEST_F(ChartWindowTest, AHiddenWindowDrawsWhenShownAgain) {
  window.hide();
  addRows(2);
  window.redraw();
  EXPECT_TRUE(lines().isEmpty());
  window.show();
  EXPECT_TRUE(window.redrawPending());
  window.redraw();
  EXPECT_EQ(lines().size(), 2);
}

TEST_F(ChartWindowTest, ClearEmptiesTheChart) {
  addRows(3);
  window.redraw();
  window.clear();
  EXPECT_TRUE(lines().isEmpty());
  EXPECT_EQ(window.model().rowCount(), 0u);
  EXPECT_EQ(chart()->title(), QStringLiteral("数値の列はまだありません"));
  addRows(1);
  window.redraw();
  EXPECT_EQ(lines().size(), 2);
}

// A new run starts over: no zoom, no pause, nothing of the old run's ranges.
TEST_F(ChartWindowTest, ANewRunForgetsTheZoomAndThePause) {
  addRows(50, 1);
  window.redraw();
  window.zoomX(0.5, 10.0);
  window.setPaused(true);
  window.clear();
  EXPECT_TRUE(window.following());
  EXPECT_FALSE(window.paused());
  addRows(3, 1);
  window.redraw();
  EXPECT_DOUBLE_EQ(window.shownX().min, 0.0);
  EXPECT_DOUBLE_EQ(window.shownX().max, 2.0);
}

// The user's choices: each redraws at once and is reported for keeping.
TEST_F(ChartWindowTest, HidingAndTheRightAxisRefitTheValues) {
  addRows(11);  // B runs 0..5, D runs 100..90
  window.redraw();
  std::vector<ChartPrefs> reported;
  QObject::connect(&window, &ChartWindow::prefsChanged, [&](const ChartPrefs& p) { reported.push_back(p); });

  // A click on D's legend entry hides its line and the left axis fits B alone.
  QCoreApplication::processEvents();
  auto* view = window.findChild<QChartView*>(QStringLiteral("ChartView"));
  const auto clickLegend = [&](const QString& label) {
    for (QGraphicsItem* item : view->scene()->items()) {
      auto* text = dynamic_cast<QGraphicsTextItem*>(item);
      if (!text || text->toPlainText() != label || !chart()->legend()->isAncestorOf(text)) continue;
      const QPoint at = view->mapFromScene(text->sceneBoundingRect().center());
      QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, at);
      return true;
    }
    return false;
  };
  ASSERT_TRUE(clickLegend(QStringLiteral("D")));
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported.back().hidden, QStringList{QStringLiteral("D")});
  EXPECT_EQ(lines()[1]->count(), 0);
  EXPECT_EQ(legendNames().size(), 2) << "a hidden series keeps its legend entry";
  EXPECT_LT(window.shownY(false).max, 10.0);
  ASSERT_TRUE(clickLegend(QStringLiteral("D")));
  EXPECT_TRUE(reported.back().hidden.isEmpty());

  // D on the right axis: both axes fit their own series.
  window.setSeriesOnRight(QStringLiteral("D"), true);
  EXPECT_EQ(reported.back().right, QStringList{QStringLiteral("D")});
  ASSERT_EQ(chart()->axes(Qt::Vertical).size(), 2);
  EXPECT_TRUE(lines()[1]->attachedAxes().contains(chart()->axes(Qt::Vertical, lines()[1]).value(0)));
  EXPECT_EQ(chart()->axes(Qt::Vertical, lines()[1]).value(0)->alignment(), Qt::AlignRight);
  EXPECT_LT(window.shownY(false).max, 10.0);
  EXPECT_GT(window.shownY(true).min, 50.0);
  EXPECT_GT(window.shownY(true).max, 100.0);

  // Choices come back for the same workbook.
  window.clear();
  window.setPrefs(reported.back());
  addRows(3);
  window.redraw();
  EXPECT_EQ(chart()->axes(Qt::Vertical).size(), 2);
}

TEST_F(ChartWindowTest, ZoomStopsFollowingUntilAskedBackAndPauseHoldsTheView) {
  const auto rows = [&](int from, int count) {
    for (int i = from; i < from + count; ++i) addRow(window, i * 1000, std::nullopt, {CellValue(QString::number(i))});
  };
  rows(0, 101);  // 0 to 100 s
  window.redraw();
  auto* follow = window.findChild<QPushButton*>(QStringLiteral("ChartFollow"));
  ASSERT_NE(follow, nullptr);
  EXPECT_FALSE(follow->isEnabled());
  window.zoomX(0.5, 50.0);
  EXPECT_FALSE(window.following());
  EXPECT_TRUE(follow->isEnabled());
  EXPECT_DOUBLE_EQ(window.shownX().min, 25.0);
  EXPECT_DOUBLE_EQ(window.shownX().max, 75.0);
  rows(101, 20);
  window.redraw();
  EXPECT_DOUBLE_EQ(window.shownX().max, 75.0) << "a zoomed view stays where it is";
  follow->click();
  EXPECT_TRUE(window.following());
  EXPECT_DOUBLE_EQ(window.shownX().max, 120.0);

  window.setPaused(true);
  rows(121, 30);
  window.redraw();
  EXPECT_EQ(lines()[0]->count(), 121) << "paused: rows are kept, not drawn";
  EXPECT_DOUBLE_EQ(window.shownX().max, 120.0);
  EXPECT_EQ(window.model().rowCount(), 151u);
  window.setPaused(false);
  EXPECT_EQ(lines()[0]->count(), 151);
  EXPECT_DOUBLE_EQ(window.shownX().max, 150.0);
}

// The last minutes: the span of the latest rows, following them.
TEST_F(ChartWindowTest, TheSpanShowsTheLastMinutes) {
  for (int i = 0; i <= 180; ++i)
    addRow(window, i * 1000, i + 1, {CellValue(std::int32_t{i + 1}), CellValue(QString::number(i))});
  window.setWindowMinutes(1);
  EXPECT_DOUBLE_EQ(window.shownX().min, 120.0);
  EXPECT_DOUBLE_EQ(window.shownX().max, 180.0);
  EXPECT_GT(window.shownY(false).min, 100.0) << "values fit the rows shown";
  window.setXAxis(ChartXAxis::AcquisitionNo);
  EXPECT_DOUBLE_EQ(window.shownX().min, 121.0);
  EXPECT_DOUBLE_EQ(window.shownX().max, 181.0);
}

// The mouse: a drag pans, Shift+drag zooms to the rectangle, the wheel zooms,
// moving reads out the nearest row.
TEST_F(ChartWindowTest, TheMouseZoomsPansAndReadsOut) {
  addRows(101);
  window.redraw();
  QCoreApplication::processEvents();
  auto* view = window.findChild<QChartView*>(QStringLiteral("ChartView"));
  QWidget* port = view->viewport();
  const QRectF plot = chart()->plotArea();
  const auto at = [&](double fx, double fy) {
    return view->mapFromScene(
        chart()->mapToScene(QPointF(plot.left() + fx * plot.width(), plot.top() + fy * plot.height())));
  };
  const ChartRange before = window.shownX();
  QTest::mousePress(port, Qt::LeftButton, {}, at(0.5, 0.5));
  QTest::mouseMove(port, at(0.25, 0.5));
  QTest::mouseRelease(port, Qt::LeftButton, {}, at(0.25, 0.5));
  const double span = before.max - before.min;
  EXPECT_NEAR(window.shownX().min, before.min + span / 4, span * 0.02);
  EXPECT_FALSE(window.following());

  window.follow();
  QTest::mousePress(port, Qt::LeftButton, Qt::ShiftModifier, at(0.2, 0.2));
  QTest::mouseMove(port, at(0.6, 0.8));
  QTest::mouseRelease(port, Qt::LeftButton, Qt::ShiftModifier, at(0.6, 0.8));
  EXPECT_NEAR(window.shownX().min, 20.0, 2.0);
  EXPECT_NEAR(window.shownX().max, 60.0, 2.0);

  window.follow();
  const QPoint centre = at(0.5, 0.5);
  QWheelEvent wheel(centre, view->mapToGlobal(centre), {}, QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                    Qt::NoScrollPhase, false);
  QCoreApplication::sendEvent(port, &wheel);
  EXPECT_NEAR(window.shownX().max - window.shownX().min, 80.0, 1.0);

  QTest::mouseMove(port, at(0.3, 0.5));
  const QString text = window.findChild<QLabel*>(QStringLiteral("ChartReadout"))->text();
  // The nearest row to 34 s (pixels round), with its values.
  const QRegularExpressionMatch row = QRegularExpression(QStringLiteral("取得番号 (\\d+)")).match(text);
  ASSERT_TRUE(row.hasMatch()) << text.toStdString();
  const int no = row.captured(1).toInt();
  EXPECT_NEAR(no, 35, 2);
  EXPECT_TRUE(text.contains(QStringLiteral("B = %1").arg((no - 1) * 0.5))) << text.toStdString();
  EXPECT_TRUE(text.contains(QStringLiteral("D = %1").arg(101 - no))) << text.toStdString();
}

// The shown data as CSV: the shown series and rows, stamps in ISO 8601.
TEST_F(ChartWindowTest, ExportsTheShownDataAsCsv) {
  qputenv("TZ", "Asia/Tokyo");
  const QDateTime start(QDate(2026, 12, 8), QTime(9, 0, 0, 250));
  for (int i = 0; i < 5; ++i)
    addRow(window, i * 1000, i + 1,
           {CellValue(std::int32_t{i + 1}), CellValue(sheet::Stamp{start.addSecs(i), sheet::Stamp::Kind::DateTime}),
            CellValue(QString::number(i * 1.5)), CellValue(QStringLiteral("x")), CellValue(QString::number(-i))});
  window.setSeriesHidden(QStringLiteral("E"), true);
  window.showRanges({static_cast<double>(start.addSecs(1).toMSecsSinceEpoch()),
                     static_cast<double>(start.addSecs(2).toMSecsSinceEpoch())},
                    std::nullopt, std::nullopt);
  const QString path = dir.filePath(QStringLiteral("shown.csv"));
  ASSERT_TRUE(window.exportCsv(path));
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray expected =
      QStringLiteral(
          "取得番号,時刻,経過時間 [秒],C\r\n"
          "2,%1,1,1.5\r\n"
          "3,%2,2,3\r\n")
          .arg(QStringLiteral("2026-12-08T09:00:01.250+09:00"), QStringLiteral("2026-12-08T09:00:02.250+09:00"))
          .toUtf8();
  EXPECT_EQ(file.readAll(), expected);
  qunsetenv("TZ");
}

// The palette: twelve colours any two of which differ clearly (CIELAB
// distance) in normal vision and as simulated for protanopia, deuteranopia
// and tritanopia (Machado, Oliveira and Fernandes 2009, severity 1).
// Limit lines go with their series (colour, axis, hiding), widen the values
// only when near them, and raised alarms mark their row's point until clear().
TEST_F(ChartWindowTest, AlarmLimitsAndMarksFollowTheirSeries) {
  alarm::AlarmRules rules;
  rules.columns = {{.column = 2, .low = -0.25, .high = 2.5},
                   {.column = 3, .low = 1.0},  // C holds words: no line, no limit
                   {.column = 4, .high = 1000.0}};
  window.setAlarmRules(rules);
  for (int i = 0; i < 5; ++i) {  // B runs 0..2, D runs 100..96
    AcquiredRow row = rowFromCells({CellValue(i + 1), CellValue(QString::number(i * 0.5)),
                                    CellValue(QStringLiteral("OK")), CellValue(QString::number(100 - i))});
    row.sequence = static_cast<std::uint64_t>(i + 1);
    row.number = i + 1;
    row.firstColumn = 1;
    row.elapsedMs = i * 1000;
    window.addRow(row);
  }
  alarm::AlarmEvent high;
  high.kind = alarm::AlarmKind::High;
  high.column = 4;
  high.sequence = 3;
  window.addAlarm(high);
  alarm::AlarmEvent cleared = high;
  cleared.state = alarm::AlarmState::Cleared;
  cleared.sequence = 4;
  window.addAlarm(cleared);
  window.redraw();

  // What each limit line shows: its value, its series' colour, whether drawn, and on which side.
  const auto limits = [&] {
    std::vector<std::tuple<double, QColor, bool, Qt::Alignment>> out;
    for (QXYSeries* line : others(QStringLiteral("ChartLimit"))) {
      const QList<QAbstractAxis*> axes = chart()->axes(Qt::Vertical, line);
      out.emplace_back(line->count() ? line->at(0).y() : NAN, line->pen().color(), line->count() == 2,
                       axes.isEmpty() ? Qt::Alignment() : axes.front()->alignment());
      if (line->count() == 2) {
        EXPECT_EQ(line->at(0).y(), line->at(1).y());
      }
      EXPECT_EQ(line->pen().style(), Qt::DashLine);
    }
    return out;
  };
  const auto marks = [&](const QString& name) {
    const QList<QXYSeries*> found = others(name);
    return found.isEmpty() ? QList<QPointF>{} : found.front()->points();
  };
  const QColor b = ChartWindow::palette()[0], d = ChartWindow::palette()[1];
  const auto marksLeft = QStringLiteral("ChartAlarmMarks"), marksRight = QStringLiteral("ChartAlarmMarksRight");
  using Limits = std::vector<std::tuple<double, QColor, bool, Qt::Alignment>>;
  const struct {
    const char* step;
    std::function<void()> act;
    Limits expected;
    QList<QPointF> left, right;
  } steps[] = {
      {"as drawn",
       [] {},
       Limits{{2.5, b, true, Qt::AlignLeft}, {-0.25, b, true, Qt::AlignLeft}, {1000.0, d, true, Qt::AlignLeft}},
       {QPointF(2.0, 98.0)},
       {}},
      {"D on the right",
       [&] { window.setSeriesOnRight(QStringLiteral("D"), true); },
       Limits{{2.5, b, true, Qt::AlignLeft}, {-0.25, b, true, Qt::AlignLeft}, {1000.0, d, true, Qt::AlignRight}},
       {},
       {QPointF(2.0, 98.0)}},
      {"D hidden",
       [&] { window.setSeriesHidden(QStringLiteral("D"), true); },
       Limits{{2.5, b, true, Qt::AlignLeft}, {-0.25, b, true, Qt::AlignLeft}, {NAN, d, false, Qt::AlignRight}},
       {},
       {}},
      {"zoomed away from the mark",
       [&] {
         window.setSeriesHidden(QStringLiteral("D"), false);
         window.showRanges({3.0, 4.0}, std::nullopt, std::nullopt);
       },
       Limits{{2.5, b, true, Qt::AlignLeft}, {-0.25, b, true, Qt::AlignLeft}, {1000.0, d, true, Qt::AlignRight}},
       {},
       {}},
      {"following again",
       [&] {
         window.follow();
         // B's limits lie near its values and show with them; D's, far off,
         // leave the right axis to D's values.
         EXPECT_LE(window.shownY(false).min, -0.25);
         EXPECT_GE(window.shownY(false).max, 2.5);
         EXPECT_LT(window.shownY(true).max, 200.0);
       },
       Limits{{2.5, b, true, Qt::AlignLeft}, {-0.25, b, true, Qt::AlignLeft}, {1000.0, d, true, Qt::AlignRight}},
       {},
       {QPointF(2.0, 98.0)}},
      {"a new run", [&] { window.clear(); }, Limits{}, {}, {}},
  };
  for (const auto& s : steps) {
    SCOPED_TRACE(s.step);
    s.act();
    const Limits got = limits();
    ASSERT_EQ(got.size(), s.expected.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
      const auto& [value, colour, drawn, side] = got[i];
      const auto& [wantValue, wantColour, wantDrawn, wantSide] = s.expected[i];
      if (wantDrawn) {
        EXPECT_EQ(value, wantValue) << i;
      }
      EXPECT_EQ(colour, wantColour) << i;
      EXPECT_EQ(drawn, wantDrawn) << i;
      EXPECT_EQ(side, wantSide) << i;
    }
    EXPECT_EQ(marks(marksLeft), s.left);
    EXPECT_EQ(marks(marksRight), s.right);
  }
}

TEST(ChartPaletteTest, TwelveColoursToldApartWithEachColourVisionDeficiency) {
  using Matrix = std::array<std::array<double, 3>, 3>;
  const std::vector<std::pair<const char*, Matrix>> visions{
      {"normal", {{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}}},
      {"protan", {{{0.152286, 1.052583, -0.204868}, {0.114503, 0.786281, 0.099216}, {-0.003882, -0.048116, 1.051998}}}},
      {"deutan", {{{0.367322, 0.860646, -0.227968}, {0.280085, 0.672501, 0.047413}, {-0.011820, 0.042940, 0.968881}}}},
      {"tritan",
       {{{1.255528, -0.076749, -0.178779}, {-0.078411, 0.930809, 0.147602}, {0.004733, 0.691367, 0.303900}}}}};
  const auto linear = [](int c) {
    const double v = c / 255.0;
    return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
  };
  const auto lab = [](std::array<double, 3> rgb) {
    for (double& v : rgb) v = std::clamp(v, 0.0, 1.0);
    const double x = (0.4124 * rgb[0] + 0.3576 * rgb[1] + 0.1805 * rgb[2]) / 0.9505;
    const double y = 0.2126 * rgb[0] + 0.7152 * rgb[1] + 0.0722 * rgb[2];
    const double z = (0.0193 * rgb[0] + 0.1192 * rgb[1] + 0.9505 * rgb[2]) / 1.089;
    const auto f = [](double t) { return t > 0.008856 ? std::cbrt(t) : 7.787 * t + 16.0 / 116.0; };
    return std::array<double, 3>{116 * f(y) - 16, 500 * (f(x) - f(y)), 200 * (f(y) - f(z))};
  };
  const std::vector<QColor>& palette = ChartWindow::palette();
  ASSERT_GE(palette.size(), 12u);
  for (const auto& [name, m] : visions) {
    std::vector<std::array<double, 3>> seen;
    for (const QColor& c : palette) {
      const std::array<double, 3> rgb{linear(c.red()), linear(c.green()), linear(c.blue())};
      std::array<double, 3> out{};
      for (int r = 0; r < 3; ++r) out[r] = m[r][0] * rgb[0] + m[r][1] * rgb[1] + m[r][2] * rgb[2];
      seen.push_back(lab(out));
    }
    for (std::size_t i = 0; i < seen.size(); ++i) {
      if (name == std::string("normal")) {
        EXPECT_LT(seen[i][0], 80.0) << "colour " << i << " too pale on white";
      }
      for (std::size_t j = i + 1; j < seen.size(); ++j)
        EXPECT_GE(std::hypot(seen[i][0] - seen[j][0], seen[i][1] - seen[j][1], seen[i][2] - seen[j][2]), 15.0)
            << name << ": colours " << i << " and " << j;
    }
  }
}

TEST_F(ChartWindowTest, ExportsAPngOfTheChart) {
  addRows(20);
  const QString path = dir.filePath(QStringLiteral("chart.png"));
  const Status saved = window.exportPng(path);
  ASSERT_TRUE(saved) << saved.description().toStdString();
  QImage image;
  ASSERT_TRUE(image.load(path, "PNG"));
  EXPECT_GT(image.width(), 100);
  EXPECT_GT(image.height(), 100);
  // Export draws the rows that were still waiting for the timer.
  EXPECT_EQ(lines().size(), 2);
  // Not a blank picture: the lines and labels make more than one colour.
  const QRgb corner = image.pixel(0, 0);
  bool varied = false;
  for (int y = 0; y < image.height() && !varied; y += 3)
    for (int x = 0; x < image.width() && !varied; x += 3) varied = image.pixel(x, y) != corner;
  EXPECT_TRUE(varied);
}

TEST_F(ChartWindowTest, ExportsAValidSvgWithTheLegend) {
  window.setHeaderSource([](std::int32_t row, std::int32_t column) {
    return row == 4 && column == 4 ? QStringLiteral("温度") : QString();
  });
  for (int i = 0; i < 20; ++i) {
    AcquiredRow row = rowFromCells({CellValue(QString::number(i)), CellValue(QString::number(i * 2))});
    row.firstColumn = 3;
    row.row = 5 + i;
    row.elapsedMs = i * 100;
    window.addRow(row);
  }
  const QString path = dir.filePath(QStringLiteral("chart.svg"));
  const Status saved = window.exportSvg(path);
  ASSERT_TRUE(saved) << saved.description().toStdString();
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray bytes = file.readAll();
  QXmlStreamReader xml(bytes);
  QString root;
  QString texts;  // a label may come in runs, one per font
  while (!xml.atEnd()) {
    if (xml.readNext() != QXmlStreamReader::StartElement) continue;
    if (root.isEmpty()) root = xml.name().toString();
    if (xml.name() == QStringLiteral("text")) texts += xml.readElementText();
  }
  EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
  EXPECT_EQ(root, QStringLiteral("svg"));
  EXPECT_TRUE(QSvgRenderer(path).isValid());
  // The legend, laid out although no event loop ran since the rows came.
  EXPECT_TRUE(texts.contains(QStringLiteral("D 温度"))) << texts.toStdString();
}

struct RefusedCase {
  const char* name;
  bool svg;
};

class ChartExportRefusedTest : public ChartWindowTest, public ::testing::WithParamInterface<RefusedCase> {};

// A folder where the file should go is left alone and the reason given.
TEST_P(ChartExportRefusedTest, AFolderIsNotReplaced) {
  addRows(2);
  const QString path = dir.filePath(QStringLiteral("taken"));
  ASSERT_TRUE(QDir().mkpath(path));
  const Status saved = GetParam().svg ? window.exportSvg(path) : window.exportPng(path);
  EXPECT_FALSE(saved);
  EXPECT_FALSE(saved.description().isEmpty());
  EXPECT_TRUE(QFileInfo(path).isDir());
}

TEST_P(ChartExportRefusedTest, AMissingFolderFails) {
  const QString path = dir.filePath(QStringLiteral("no/such/folder/chart"));
  const Status saved = GetParam().svg ? window.exportSvg(path) : window.exportPng(path);
  EXPECT_FALSE(saved);
  EXPECT_FALSE(QFileInfo::exists(path));
}

INSTANTIATE_TEST_SUITE_P(Table, ChartExportRefusedTest,
                         ::testing::Values(RefusedCase{"png", false}, RefusedCase{"svg", true}),
                         [](const ::testing::TestParamInfo<RefusedCase>& param) {
                           return std::string(param.param.name);
                         });

}  // namespace
}  // namespace kestrune::app
