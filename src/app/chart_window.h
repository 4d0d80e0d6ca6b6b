// The chart window: a line per worksheet column of numbers in the run's rows,
// drawn from a ChartModel at most once a second, on axes with round ticks.
// The user hides series from the legend, moves them to a right value axis,
// zooms (wheel, rectangle), pans (drag), pauses, picks the span shown while
// following the run, reads values under the cursor and exports the shown
// data as PNG, SVG or CSV. The alarm limits of the run's columns show as
// dashed lines, and each alarm raised as a red mark where its line crossed.
#pragma once

#include "app/chart_axes.h"
#include "app/chart_model.h"
#include "core/alarm_monitor.h"
#include "core/alarm_rules.h"
#include "core/clock.h"
#include "core/message_boxes.h"
#include "core/result.h"

#include <QWidget>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <vector>

class QCategoryAxis;
class QColor;
class QChart;
class QChartView;
class QComboBox;
class QLabel;
class QLineSeries;
class QScatterSeries;
class QPushButton;
class QTimer;

namespace kestrune::app {

// Why the chart could not be exported.
enum class ChartError { NotAFile = 1, NotWritten, ImageFailed };
inline ErrorDomain errorDomainOf(ChartError) { return ErrorDomain::Chart; }

class ChartWindow final : public QWidget {
  Q_OBJECT
public:
  // Redraws for new rows are at least this far apart, so a fast run costs the
  // window little more than storing its rows. The redraw follows the row that
  // makes it due, right after the tick that brought it, so it has the time
  // until the next tick; rows that stop coming are drawn by a timer at
  // TrailingRedrawMs. Zooming, panning and the controls redraw at once.
  static constexpr int RedrawIntervalMs = 1000;
  static constexpr int TrailingRedrawMs = 1500;
  // Points handed to the chart per redraw, all lines together. Qt Charts
  // outlines every line point by point whenever it changes, so a redraw costs
  // in proportion to its points: with many series each line gets coarser
  // columns (every column's extremes still show) and a redraw stays within a
  // few milliseconds.
  static constexpr int PointBudget = 8000;
  // The colours of the first series, in order; later series repeat them
  // dashed, then dotted.
  static const std::vector<QColor>& palette();

  // The text of worksheet cell (row, column) of the run's workbook; a series'
  // header is read from the cell above the run's first row.
  using HeaderSource = std::function<QString(std::int32_t row, std::int32_t column)>;

  // `boxes` tells the user why an export failed.
  explicit ChartWindow(MessageBoxes& boxes, QWidget* parent = nullptr);
  ~ChartWindow() override;

  // A completed row (see ChartModel::addRow). Cheap: it stores the row and
  // starts the redraw timer if it is not running.
  void addRow(const AcquiredRow& row);
  // Forgets every row, header, zoom and pause (a new run) and redraws empty.
  void clear();
  void setHeaderSource(HeaderSource source);
  // The run's alarm rules: each shown series whose column has a high or low
  // limit gets a thin dashed line there, in its colour, on its value axis.
  void setAlarmRules(const alarm::AlarmRules& rules);
  // An alarm raised or cleared (see ChartModel::addAlarm): a raised high, low
  // or step alarm marks its row's point on its line. Marks stay with their
  // rows through zooming and panning and go with clear().
  void addAlarm(const alarm::AlarmEvent& event);
  // The clock that spaces redraws (the system's monotonic clock unless set);
  // the next row is due for a redraw.
  void setClock(Clock& clock);
  const ChartModel& model() const { return model_; }

  // The user's choices for this workbook; setting them does not report them.
  const ChartPrefs& prefs() const { return prefs_; }
  void setPrefs(const ChartPrefs& prefs);
  // Each of these changes one choice, redraws and reports the choices.
  void setXAxis(ChartXAxis axis);
  void setWindowMinutes(int minutes);
  void setSeriesHidden(const QString& letters, bool hidden);
  void setSeriesOnRight(const QString& letters, bool right);

  // Following: the view shows the chosen span of the latest rows and fits the
  // values. Zooming or panning stops following until follow().
  bool following() const { return !view_.x; }
  void follow();
  // A paused view keeps its rows while new rows are stored for later.
  bool paused() const { return pausedRows_.has_value(); }
  void setPaused(bool paused);
  // Zooms around `centre` (an axis value): factors below 1 zoom in.
  void zoomX(double factor, double centre);
  void zoomY(double factor, double centreFraction);
  // Shows the given ranges (a rectangle zoom; nullopt keeps that axis).
  void showRanges(const ChartRange& x, const std::optional<ChartRange>& yLeft, const std::optional<ChartRange>& yRight);

  // What the last redraw showed, in axis values (elapsed time in seconds,
  // clock time in milliseconds since 1970).
  ChartRange shownX() const { return shown_.x; }
  ChartRange shownY(bool right) const { return right ? shown_.yRight : shown_.yLeft; }
  // Series `index`'s caption: its column letters and header.
  QString seriesName(std::size_t index) const;
  // The readout for a point of the plot (axis values): the time or number
  // there, and the nearest row's values of the shown series.
  QString readout(double x, double yLeft) const;

  // Draws what has arrived now; the redraw timer calls it. A hidden window
  // waits until it is shown again.
  void redraw();
  bool redrawPending() const;

  // The chart as it is shown, written to `path`; the file is replaced whole
  // or not at all.
  Status exportPng(const QString& path);
  Status exportSvg(const QString& path);
  // The shown series' rows within the shown horizontal range (see ChartModel::csv).
  Status exportCsv(const QString& path);

signals:
  void prefsChanged(const kestrune::app::ChartPrefs& prefs);

protected:
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

private:
  class PlotView;
  friend class PlotView;
  enum class XKind { ElapsedSeconds, Clock, Number };
  // Explicit ranges the user zoomed or panned to; none while following.
  struct ViewRanges {
    std::optional<ChartRange> x;
    std::optional<ChartRange> yLeft;
    std::optional<ChartRange> yRight;
  };
  struct Shown {
    ChartRange x{0.0, 1.0};
    ChartRange yLeft{0.0, 1.0};
    ChartRange yRight{0.0, 1.0};
  };

  XKind xKind() const;
  AxisKind xAxisKind() const;
  double xScale() const;
  std::size_t rowLimit() const;
  bool isHidden(std::size_t index) const;
  bool isRight(std::size_t index) const;
  std::optional<ChartRange> followedX() const;
  void draw();
  void settle();
  void scheduleRedraw();
  void redrawForChange();
  void drawAlarms(const std::optional<ChartRange>& x, double scale);
  const alarm::ColumnRule* ruleOf(int column) const;
  void queueRedraw();
  void readHeaders();
  void rebuildLines();
  void styleMarkers();
  void applyScale(QCategoryAxis* axis, AxisKind kind, const ChartRange& range, bool horizontal);
  void changed();
  void updateControls();
  void showMenu(const QPoint& globalPos);
  int plotPixels() const;
  void saveWithDialog(const QString& suffix);

  MessageBoxes& boxes_;
  ChartModel model_;
  ChartPrefs prefs_;
  HeaderSource headerSource_;
  // Headers read so far, by worksheet column.
  std::map<int, QString> headers_;
  alarm::AlarmRules alarmRules_;
  // A limit drawn: the series it belongs to and its value.
  struct LimitLine {
    std::size_t series = 0;
    double value = 0.0;
    QLineSeries* line = nullptr;
  };
  // The chart's lines: one per model series, in its order; the limits; the
  // alarm marks on each value axis (none on the right while it is absent).
  std::vector<QLineSeries*> lines_;
  std::vector<LimitLine> limitLines_;
  QScatterSeries* marksLeft_ = nullptr;
  QScatterSeries* marksRight_ = nullptr;
  QChart* chart_ = nullptr;
  PlotView* plot_ = nullptr;
  QComboBox* xAxisChoice_ = nullptr;
  QComboBox* windowChoice_ = nullptr;
  QPushButton* pauseButton_ = nullptr;
  QPushButton* followButton_ = nullptr;
  QLabel* readout_ = nullptr;
  QTimer* redrawTimer_ = nullptr;
  QCategoryAxis* xAxis_ = nullptr;
  QCategoryAxis* yLeft_ = nullptr;
  QCategoryAxis* yRight_ = nullptr;
  ViewRanges view_;
  Shown shown_;
  // The rows a paused view shows.
  std::optional<std::size_t> pausedRows_;
  // What the lines show now: the model revision, layout and width drawn.
  std::uint64_t drawnRevision_ = 0;
  std::uint64_t drawnLayout_ = 0;
  int drawnPixels_ = 0;
  bool drawnOnce_ = false;
  bool viewChanged_ = true;
  Clock* clock_;
  std::int32_t drawnAtMs_ = 0;
  bool redrawQueued_ = false;
  QString lastFolder_;
};

}  // namespace kestrune::app
