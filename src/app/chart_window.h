// The chart window: a line per column of numbers in the run's rows, drawn
// from a ChartModel at most a few times a second, with the horizontal axis
// switch (time / acquisition number) and export to PNG and SVG.
#pragma once

#include "app/chart_model.h"
#include "core/message_boxes.h"
#include "core/result.h"

#include <QWidget>

#include <cstdint>
#include <optional>
#include <vector>

class QChart;
class QChartView;
class QComboBox;
class QTimer;
class QValueAxis;
class QAbstractAxis;

namespace kestrune::app {

// Why the chart could not be exported.
enum class ChartError { NotAFile = 1, NotWritten, ImageFailed };
inline ErrorDomain errorDomainOf(ChartError) { return ErrorDomain::Chart; }

class ChartWindow final : public QWidget {
  Q_OBJECT
public:
  // Redraws are at least this far apart, so a fast run costs the window
  // little more than storing its rows: a redraw of a full chart takes a few
  // milliseconds of the thread the 10 ms tick runs on.
  static constexpr int RedrawIntervalMs = 1000;
  // Points handed to the chart per redraw, all lines together. Qt Charts
  // outlines every line point by point whenever it changes, so a redraw costs
  // in proportion to its points: with many series each line gets coarser
  // columns (every column's extremes still show) and a redraw stays within a
  // few milliseconds.
  static constexpr int PointBudget = 8000;

  // `boxes` tells the user why an export failed.
  explicit ChartWindow(MessageBoxes& boxes, QWidget* parent = nullptr);
  ~ChartWindow() override;

  // A completed row (see ChartModel::addRow). Cheap: it stores the row and
  // starts the redraw timer if it is not running.
  void addRow(const AcquiredRow& row);
  // Forgets every row (a new run) and redraws empty.
  void clear();
  // The horizontal axis; the window's switch shows it.
  void setXAxis(ChartXAxis axis);
  const ChartModel& model() const { return model_; }

  // Draws what has arrived now; the redraw timer calls it. A hidden window
  // waits until it is shown again.
  void redraw();
  bool redrawPending() const;

  // The chart as it is shown, written to `path`; the file is replaced whole
  // or not at all.
  Status exportPng(const QString& path);
  Status exportSvg(const QString& path);

protected:
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

private:
  enum class XKind { ElapsedSeconds, Clock, Number };
  XKind xKind() const;
  void draw();
  void settle();
  void scheduleRedraw();
  void rebuildLines();
  void placeAxes(const ChartRange& x, const ChartRange& y);
  int plotPixels() const;
  void saveWithDialog(bool svg);

  MessageBoxes& boxes_;
  ChartModel model_;
  QChart* chart_ = nullptr;
  QChartView* view_ = nullptr;
  QComboBox* xAxisChoice_ = nullptr;
  QTimer* redrawTimer_ = nullptr;
  QAbstractAxis* xAxis_ = nullptr;
  QValueAxis* yAxis_ = nullptr;
  std::optional<XKind> xAxisKind_;
  // What the lines show now: the model revision, layout and width drawn.
  std::uint64_t drawnRevision_ = 0;
  std::uint64_t drawnLayout_ = 0;
  int drawnPixels_ = 0;
  bool drawnOnce_ = false;
  QString lastFolder_;
};

}  // namespace kestrune::app
