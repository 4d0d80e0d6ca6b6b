// The chart window on the offscreen platform: a line and a legend entry per
// column of numbers, redraws held back by the timer, the axis switch, and
// PNG and SVG export.
#include "app/chart_rows.h"
#include "app/chart_window.h"

#include "fakes/recording_message_boxes.h"

#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QCoreApplication>
#include <QDateTimeAxis>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLegend>
#include <QLegendMarker>
#include <QLineSeries>
#include <QSvgRenderer>
#include <QTemporaryDir>
#include <QTimer>
#include <QValueAxis>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <algorithm>

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
    for (QAbstractSeries* s : chart()->series()) out << qobject_cast<QLineSeries*>(s);
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
  EXPECT_EQ(lineNames(), (QStringList{QStringLiteral("列 2"), QStringLiteral("列 4")}));
  EXPECT_EQ(legendNames(), lineNames());
  EXPECT_TRUE(chart()->title().isEmpty());
  ASSERT_EQ(lines().size(), 2);
  EXPECT_EQ(lines()[0]->count(), 5);
  EXPECT_EQ(lines()[1]->at(4), QPointF(4.0, 96.0)) << "elapsed time in seconds, the value";
}

TEST_F(ChartWindowTest, RowsWaitForTheTimerBeforeTheyAreDrawn) {
  const auto* timer = window.findChild<QTimer*>(QStringLiteral("ChartRedrawTimer"));
  ASSERT_NE(timer, nullptr);
  EXPECT_FALSE(timer->isActive());
  addRows(3);
  EXPECT_TRUE(timer->isActive());
  EXPECT_TRUE(timer->isSingleShot());
  EXPECT_EQ(timer->interval(), ChartWindow::RedrawIntervalMs);
  EXPECT_TRUE(lines().isEmpty()) << "drawn before the timer ran out";
  const int remaining = timer->remainingTime();
  addRows(50, 4);
  // More rows do not push the redraw further away.
  EXPECT_LE(timer->remainingTime(), remaining);
  window.redraw();
  EXPECT_FALSE(window.redrawPending());
  ASSERT_EQ(lines().size(), 2);
  EXPECT_EQ(lines()[0]->count(), 53);
}

TEST_F(ChartWindowTest, AxesCoverTheData) {
  addRows(11);
  window.redraw();
  auto* x = qobject_cast<QValueAxis*>(xAxis());
  auto* y = qobject_cast<QValueAxis*>(chart()->axes(Qt::Vertical).value(0));
  ASSERT_NE(x, nullptr);
  ASSERT_NE(y, nullptr);
  EXPECT_EQ(x->titleText(), QStringLiteral("経過時間 [秒]"));
  EXPECT_DOUBLE_EQ(x->min(), 0.0);
  EXPECT_DOUBLE_EQ(x->max(), 10.0);
  // Values run from 0 to 100: the axis holds them with room to spare.
  EXPECT_LT(y->min(), 0.0);
  EXPECT_GT(y->max(), 100.0);
  EXPECT_LT(y->max(), 110.0);
}

TEST_F(ChartWindowTest, TheSwitchPutsAcquisitionNumbersOnTheAxis) {
  addRows(4, 101);
  window.redraw();
  auto* choice = window.findChild<QComboBox*>(QStringLiteral("ChartXAxis"));
  ASSERT_NE(choice, nullptr);
  EXPECT_EQ(choice->currentText(), QStringLiteral("時間"));
  choice->setCurrentIndex(choice->findText(QStringLiteral("取得番号")));
  EXPECT_EQ(window.model().xAxis(), ChartXAxis::AcquisitionNo);
  auto* x = qobject_cast<QValueAxis*>(xAxis());
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->titleText(), QStringLiteral("取得番号"));
  EXPECT_DOUBLE_EQ(x->min(), 101.0);
  EXPECT_DOUBLE_EQ(x->max(), 104.0);
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
  auto* x = qobject_cast<QDateTimeAxis*>(xAxis());
  ASSERT_NE(x, nullptr);
  EXPECT_EQ(x->titleText(), QStringLiteral("時刻"));
  EXPECT_LE(x->min(), start);
  EXPECT_GE(x->max(), start.addSecs(2));
  EXPECT_EQ(lineNames(), QStringList{QStringLiteral("列 2")});
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
  addRows(20);
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
  EXPECT_TRUE(texts.contains(QStringLiteral("列 2"))) << texts.toStdString();
  EXPECT_TRUE(texts.contains(QStringLiteral("列 4"))) << texts.toStdString();
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
