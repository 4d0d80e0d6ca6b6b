#include "app/chart_window.h"

#include <QBuffer>
#include <QCategoryAxis>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QDateTime>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QGraphicsLayout>
#include <QLabel>
#include <QLegend>
#include <QLegendMarker>
#include <QLineSeries>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QRubberBand>
#include <QScatterSeries>
#include <QSaveFile>
#include <QShortcut>
#include <QSvgGenerator>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrune::app {

namespace {

const QString CapWindow = QStringLiteral("Kestrune（グラフ）");
const QString CapXAxis = QStringLiteral("横軸：");
const QString CapXTime = QStringLiteral("時間");
const QString CapXNumber = QStringLiteral("取得番号");
const QString CapSpan = QStringLiteral("表示：");
const QString CapSpanAll = QStringLiteral("全体");
const QString CapSpanMinutes = QStringLiteral("最後の %1 分");
const QString CapPause = QStringLiteral("一時停止");
const QString CapFollow = QStringLiteral("追従");
const QString TipPause = QStringLiteral("表示を止めます。行は止めている間も記録されます（P）");
const QString TipFollow = QStringLiteral("拡大・移動をやめて、最新の行に追従します（Home）");
const QString CapSavePng = QStringLiteral("PNG で保存…");
const QString CapSaveSvg = QStringLiteral("SVG で保存…");
const QString CapSaveCsv = QStringLiteral("CSV で保存…");
const QString CapAxisElapsed = QStringLiteral("経過時間 [秒]");
const QString CapAxisElapsedMinutes = QStringLiteral("経過時間 [分:秒]");
const QString CapAxisElapsedHours = QStringLiteral("経過時間 [時:分:秒]");
const QString CapAxisClock = QStringLiteral("時刻");
const QString CapAxisNumber = QStringLiteral("取得番号");
const QString CapAxisValue = QStringLiteral("値");
const QString CapAxisValueRight = QStringLiteral("値（右）");
const QString CapNoSeries = QStringLiteral("数値の列はまだありません");
const QString CapShow = QStringLiteral("表示する");
const QString CapOnRight = QStringLiteral("右の縦軸に描く");
const QString CapReadoutHint =
    QStringLiteral("ドラッグで移動、Shift+ドラッグで範囲を拡大、ホイールで横方向、Ctrl+ホイールで縦方向に拡大します");
const QString CapPngFilter = QStringLiteral("PNG 画像 (*.png)");
const QString CapSvgFilter = QStringLiteral("SVG 画像 (*.svg)");
const QString CapCsvFilter = QStringLiteral("CSV ファイル (*.csv)");
const QString DefaultFileName = QStringLiteral("kestrune-graph");
const QString MsgExportFailed = QStringLiteral("グラフを保存できません：%1");
const QString MsgNotAFile = QStringLiteral("同じ名前のフォルダーまたはファイルでないものがあります。");
const QString MsgImageFailed = QStringLiteral("画像を作れませんでした。");

// An alarm raised: a small red dot where its line crossed.
constexpr qreal AlarmMarkSize = 7.0;
const QColor AlarmMarkColour(0xD0, 0x00, 0x00);

constexpr int InitialWidth = 760;
constexpr int InitialHeight = 480;
// Below this height the chart leaves out its axis titles.
constexpr int CompactHeight = 320;
// A wheel notch zooms to this share of the span.
constexpr double WheelZoom = 0.8;
// A drag shorter than this many pixels is a click.
constexpr int DragPixels = 4;
// A span no zoom goes below, relative to the values' magnitude: much closer
// than this, doubles no longer tell the ends apart.
constexpr double LeastRelativeSpan = 1e-12;

// Writes `bytes` to `path` through a temporary file renamed over it.
Status writeWhole(const QString& path, const QByteArray& bytes) {
  const QFileInfo info(path);
  // QSaveFile would rename its temporary file over a folder, pipe or device.
  if (info.exists() && !info.isFile()) return fail(ChartError::NotAFile, MsgNotAFile);
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return fail(ChartError::NotWritten, file.errorString());
  if (file.write(bytes) != bytes.size()) {
    const QString reason = file.errorString();
    file.cancelWriting();
    return fail(ChartError::NotWritten, reason);
  }
  if (!file.commit()) return fail(ChartError::NotWritten, file.errorString());
  return {};
}

// A range with room to draw: a single value gets a span around it.
ChartRange padded(ChartRange r, double least) {
  if (r.max - r.min > 0.0) return r;
  const double half = std::max(least, std::abs(r.min) * 0.1);
  return {r.min - half, r.max + half};
}

// `r` scaled by `factor` around `centre`, never narrower than doubles resolve.
ChartRange zoomed(const ChartRange& r, double factor, double centre) {
  ChartRange out{centre - (centre - r.min) * factor, centre + (r.max - centre) * factor};
  const double least = std::max(std::abs(out.min), std::abs(out.max)) * LeastRelativeSpan;
  if (!(out.max - out.min > least)) return r;
  return out;
}

ChartRange shifted(const ChartRange& r, double by) { return {r.min + by, r.max + by}; }

// The extent of the points of `points` that lie in [xMin, xMax].
void takeExtent(const QList<QPointF>& points, double xMin, double xMax, std::optional<ChartRange>& extent) {
  for (const QPointF& p : points) {
    if (p.x() < xMin || p.x() > xMax) continue;
    if (!extent)
      extent = ChartRange{p.y(), p.y()};
    else
      extent = ChartRange{std::min(extent->min, p.y()), std::max(extent->max, p.y())};
  }
}

QString clockText(double ms) {
  return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::llround(ms)))
      .toString(QStringLiteral("yyyy/MM/dd HH:mm:ss.zzz"));
}

QString valueText(double v) { return QString::number(v, 'g', 7); }

// Puts `letters` in the sorted list or takes it out; whether that changed it.
bool setMember(QStringList& list, const QString& letters, bool member) {
  if (list.contains(letters) == member) return false;
  if (member)
    list << letters;
  else
    list.removeAll(letters);
  list.sort();
  return true;
}

Clock& systemClock() {
  static SystemClock clock;
  return clock;
}

}  // namespace

// The chart's view, passing the mouse to the window: drag pans, Shift+drag
// draws a rectangle to zoom to, the wheel zooms, moving reads values out.
class ChartWindow::PlotView final : public QChartView {
public:
  PlotView(QChart* chart, ChartWindow& window) : QChartView(chart, &window), window_(window) {
    setObjectName(QStringLiteral("ChartView"));
    setRenderHint(QPainter::Antialiasing, true);
    setMouseTracking(true);
    viewport()->setMouseTracking(true);
    band_ = new QRubberBand(QRubberBand::Rectangle, viewport());
    band_->setObjectName(QStringLiteral("ChartZoomRectangle"));
  }

  // A point of the view in axis values.
  QPointF valueAt(const QPoint& pos, bool right = false) const {
    const QRectF plot = window_.chart_->plotArea();
    const QPointF at = window_.chart_->mapFromScene(mapToScene(pos));
    const ChartRange x = window_.shown_.x;
    const ChartRange y = window_.shownY(right);
    const double fx = plot.width() > 0 ? (at.x() - plot.left()) / plot.width() : 0.0;
    const double fy = plot.height() > 0 ? (plot.bottom() - at.y()) / plot.height() : 0.0;
    return {x.min + fx * (x.max - x.min), y.min + fy * (y.max - y.min)};
  }
  // How far up the plot `pos` is, 0 at the bottom and 1 at the top.
  double heightFraction(const QPoint& pos) const {
    const QRectF plot = window_.chart_->plotArea();
    const QPointF at = window_.chart_->mapFromScene(mapToScene(pos));
    return plot.height() > 0 ? std::clamp((plot.bottom() - at.y()) / plot.height(), 0.0, 1.0) : 0.5;
  }

protected:
  void wheelEvent(QWheelEvent* event) override {
    const double notches = event->angleDelta().y() / 120.0;
    if (notches == 0.0) return;
    const double factor = std::pow(WheelZoom, notches);
    const QPoint pos = event->position().toPoint();
    if (event->modifiers() & Qt::ControlModifier)
      window_.zoomY(factor, heightFraction(pos));
    else
      window_.zoomX(factor, valueAt(pos).x());
    event->accept();
  }

  void mousePressEvent(QMouseEvent* event) override {
    // Outside the plot (the legend, the axes) the chart's own items take the click.
    const QPointF at = window_.chart_->mapFromScene(mapToScene(event->position().toPoint()));
    if (event->button() != Qt::LeftButton || !window_.chart_->plotArea().contains(at))
      return QChartView::mousePressEvent(event);
    pressed_ = event->position().toPoint();
    zooming_ = (event->modifiers() & Qt::ShiftModifier) != 0;
    dragged_ = false;
    startX_ = window_.shown_.x;
    startLeft_ = window_.shown_.yLeft;
    startRight_ = window_.shown_.yRight;
    event->accept();
  }

  void mouseMoveEvent(QMouseEvent* event) override {
    const QPoint pos = event->position().toPoint();
    const QPointF at = valueAt(pos);
    window_.readout_->setText(window_.readout(at.x(), at.y()));
    if (!pressed_) return;
    if ((pos - *pressed_).manhattanLength() >= DragPixels) dragged_ = true;
    if (!dragged_) return;
    if (zooming_) {
      band_->setGeometry(QRect(*pressed_, pos).normalized());
      band_->show();
      return;
    }
    const QRectF plot = window_.chart_->plotArea();
    if (plot.width() <= 0 || plot.height() <= 0) return;
    const QPointF d = pos - *pressed_;
    const double dx = -d.x() / plot.width() * (startX_.max - startX_.min);
    const double fy = d.y() / plot.height();
    window_.view_.x = shifted(startX_, dx);
    window_.view_.yLeft = shifted(startLeft_, fy * (startLeft_.max - startLeft_.min));
    window_.view_.yRight = shifted(startRight_, fy * (startRight_.max - startRight_.min));
    window_.viewChanged_ = true;
    window_.draw();
    window_.updateControls();
  }

  void mouseReleaseEvent(QMouseEvent* event) override {
    if (event->button() != Qt::LeftButton || !pressed_) return QChartView::mouseReleaseEvent(event);
    const QPoint from = *pressed_;
    const QPoint to = event->position().toPoint();
    pressed_.reset();
    band_->hide();
    if (!zooming_ || !dragged_) return;
    const QRect r = QRect(from, to).normalized();
    if (r.width() < DragPixels || r.height() < DragPixels) return;
    const QPointF lowLeft = valueAt(r.bottomLeft());
    const QPointF highRight = valueAt(r.topRight());
    const QPointF lowRight = valueAt(r.bottomLeft(), true);
    const QPointF highRightR = valueAt(r.topRight(), true);
    window_.showRanges({lowLeft.x(), highRight.x()}, ChartRange{lowLeft.y(), highRight.y()},
                       ChartRange{lowRight.y(), highRightR.y()});
  }

  void leaveEvent(QEvent* event) override {
    QChartView::leaveEvent(event);
    window_.readout_->setText(CapReadoutHint);
  }

  void contextMenuEvent(QContextMenuEvent* event) override { window_.showMenu(event->globalPos()); }

private:
  ChartWindow& window_;
  QRubberBand* band_ = nullptr;
  std::optional<QPoint> pressed_;
  bool zooming_ = false;
  bool dragged_ = false;
  ChartRange startX_, startLeft_, startRight_;
};

const std::vector<QColor>& ChartWindow::palette() {
  // Twelve colours chosen so that every two differ clearly (by at least 17
  // CIELAB units) in normal colour vision and as seen with each of the three
  // colour-vision deficiencies at full strength, none too pale on white.
  static const std::vector<QColor> colours{
      QColor(0x00, 0x44, 0x88), QColor(0xFF, 0xB0, 0x00), QColor(0xEE, 0x33, 0x77), QColor(0x11, 0x77, 0x33),
      QColor(0x78, 0x5E, 0xF0), QColor(0x00, 0x00, 0x00), QColor(0x88, 0xCC, 0xEE), QColor(0x88, 0x22, 0x55),
      QColor(0x99, 0x99, 0x33), QColor(0x66, 0x99, 0xCC), QColor(0x00, 0x00, 0x80), QColor(0xBB, 0xBB, 0xBB)};
  return colours;
}

ChartWindow::ChartWindow(MessageBoxes& boxes, QWidget* parent)
    : QWidget(parent, Qt::Window), boxes_(boxes), clock_(&systemClock()) {
  setObjectName(QStringLiteral("ChartWindow"));
  setWindowTitle(CapWindow);

  xAxisChoice_ = new QComboBox(this);
  xAxisChoice_->setObjectName(QStringLiteral("ChartXAxis"));
  xAxisChoice_->addItem(CapXTime, static_cast<int>(ChartXAxis::Time));
  xAxisChoice_->addItem(CapXNumber, static_cast<int>(ChartXAxis::AcquisitionNo));
  windowChoice_ = new QComboBox(this);
  windowChoice_->setObjectName(QStringLiteral("ChartSpan"));
  for (const int minutes : ChartPrefs::WindowChoices)
    windowChoice_->addItem(minutes == 0 ? CapSpanAll : CapSpanMinutes.arg(minutes), minutes);
  pauseButton_ = new QPushButton(CapPause, this);
  pauseButton_->setObjectName(QStringLiteral("ChartPause"));
  pauseButton_->setCheckable(true);
  pauseButton_->setToolTip(TipPause);
  followButton_ = new QPushButton(CapFollow, this);
  followButton_->setObjectName(QStringLiteral("ChartFollow"));
  followButton_->setToolTip(TipFollow);
  auto* saveCsv = new QPushButton(CapSaveCsv, this);
  saveCsv->setObjectName(QStringLiteral("ChartSaveCsv"));
  auto* savePng = new QPushButton(CapSavePng, this);
  savePng->setObjectName(QStringLiteral("ChartSavePng"));
  auto* saveSvg = new QPushButton(CapSaveSvg, this);
  saveSvg->setObjectName(QStringLiteral("ChartSaveSvg"));

  chart_ = new QChart();
  chart_->legend()->setVisible(true);
  chart_->legend()->setAlignment(Qt::AlignBottom);
  chart_->setAnimationOptions(QChart::NoAnimation);
  chart_->setBackgroundRoundness(0);
  chart_->setMargins(QMargins(4, 4, 4, 4));
  chart_->layout()->setContentsMargins(0, 0, 0, 0);
  plot_ = new PlotView(chart_, *this);
  const auto makeAxis = [](const QString& title) {
    auto* axis = new QCategoryAxis();
    axis->setLabelsPosition(QCategoryAxis::AxisLabelsPositionOnValue);
    axis->setTitleText(title);
    return axis;
  };
  yLeft_ = makeAxis(CapAxisValue);
  chart_->addAxis(yLeft_, Qt::AlignLeft);
  xAxis_ = makeAxis(CapAxisElapsed);
  chart_->addAxis(xAxis_, Qt::AlignBottom);
  yRight_ = makeAxis(CapAxisValueRight);
  // The left axis's grid is the one drawn: two grids that do not line up read as noise.
  yRight_->setGridLineVisible(false);

  readout_ = new QLabel(CapReadoutHint, this);
  readout_->setObjectName(QStringLiteral("ChartReadout"));
  readout_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  // A long readout must not hold the window wide.
  readout_->setMinimumWidth(1);
  readout_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);

  // A tool bar folds what does not fit behind its extension button, so the
  // window can be made small.
  auto* bar = new QToolBar(this);
  bar->setObjectName(QStringLiteral("ChartToolBar"));
  bar->addWidget(new QLabel(CapXAxis, this));
  bar->addWidget(xAxisChoice_);
  bar->addWidget(new QLabel(CapSpan, this));
  bar->addWidget(windowChoice_);
  bar->addWidget(pauseButton_);
  bar->addWidget(followButton_);
  auto* gap = new QWidget(this);
  gap->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
  bar->addWidget(gap);
  bar->addWidget(saveCsv);
  bar->addWidget(savePng);
  bar->addWidget(saveSvg);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->setSpacing(2);
  layout->addWidget(bar);
  layout->addWidget(plot_, 1);
  layout->addWidget(readout_);
  resize(InitialWidth, InitialHeight);

  redrawTimer_ = new QTimer(this);
  redrawTimer_->setObjectName(QStringLiteral("ChartRedrawTimer"));
  redrawTimer_->setSingleShot(true);
  redrawTimer_->setInterval(TrailingRedrawMs);
  connect(redrawTimer_, &QTimer::timeout, this, &ChartWindow::redraw);
  connect(xAxisChoice_, &QComboBox::activated, this,
          [this] { setXAxis(static_cast<ChartXAxis>(xAxisChoice_->currentData().toInt())); });
  connect(windowChoice_, &QComboBox::activated, this,
          [this] { setWindowMinutes(windowChoice_->currentData().toInt()); });
  connect(pauseButton_, &QPushButton::clicked, this, [this](bool checked) { setPaused(checked); });
  connect(followButton_, &QPushButton::clicked, this, &ChartWindow::follow);
  connect(saveCsv, &QPushButton::clicked, this, [this] { saveWithDialog(QStringLiteral(".csv")); });
  connect(savePng, &QPushButton::clicked, this, [this] { saveWithDialog(QStringLiteral(".png")); });
  connect(saveSvg, &QPushButton::clicked, this, [this] { saveWithDialog(QStringLiteral(".svg")); });
  auto* home = new QShortcut(QKeySequence(Qt::Key_Home), this);
  connect(home, &QShortcut::activated, this, &ChartWindow::follow);
  auto* pause = new QShortcut(QKeySequence(Qt::Key_P), this);
  connect(pause, &QShortcut::activated, this, [this] { setPaused(!paused()); });

  updateControls();
  draw();
}

ChartWindow::~ChartWindow() = default;

void ChartWindow::addRow(const AcquiredRow& row) {
  const std::uint64_t layout = model_.layoutRevision();
  model_.addRow(row);
  // A new series' header is read while its workbook is surely open: once
  // per column and run.
  if (model_.layoutRevision() != layout) readHeaders();
  redrawForChange();
}

void ChartWindow::addAlarm(const alarm::AlarmEvent& event) {
  const std::uint64_t revision = model_.revision();
  model_.addAlarm(event);
  if (model_.revision() != revision) redrawForChange();
}

void ChartWindow::setAlarmRules(const alarm::AlarmRules& rules) {
  alarmRules_ = rules;
  drawnOnce_ = false;  // the limit lines are made with the lines
  viewChanged_ = true;
  draw();
}

const alarm::ColumnRule* ChartWindow::ruleOf(int column) const {
  for (const alarm::ColumnRule& rule : alarmRules_.columns)
    if (rule.column == column) return &rule;
  return nullptr;
}

// New data are drawn when due (see RedrawIntervalMs).
void ChartWindow::redrawForChange() {
  if (paused() || !isVisible()) return;  // showing and resuming redraw
  if (elapsedMs(drawnAtMs_, clock_->tickMs()) >= RedrawIntervalMs)
    queueRedraw();
  else
    scheduleRedraw();
}

void ChartWindow::setClock(Clock& clock) {
  clock_ = &clock;
  drawnAtMs_ = static_cast<std::int32_t>(static_cast<std::uint32_t>(clock.tickMs()) - RedrawIntervalMs);
}

// Runs the redraw when the code that added the row (a tick) has returned.
void ChartWindow::queueRedraw() {
  if (redrawQueued_) return;
  redrawQueued_ = true;
  QMetaObject::invokeMethod(
      this,
      [this] {
        redrawQueued_ = false;
        redraw();
      },
      Qt::QueuedConnection);
}

void ChartWindow::readHeaders() {
  if (!headerSource_ || model_.firstSheetRow() <= 1) return;
  for (const ChartModel::Series& s : model_.series())
    if (!headers_.contains(s.column)) headers_[s.column] = headerSource_(model_.firstSheetRow() - 1, s.column);
}

void ChartWindow::clear() {
  model_.clear();
  headers_.clear();
  view_ = {};
  pausedRows_.reset();
  viewChanged_ = true;
  updateControls();
  draw();
}

void ChartWindow::setHeaderSource(HeaderSource source) {
  headerSource_ = std::move(source);
  headers_.clear();
  drawnOnce_ = false;
}

void ChartWindow::setPrefs(const ChartPrefs& prefs) {
  prefs_ = prefs;
  model_.setXAxis(prefs_.xAxis);
  view_ = {};
  viewChanged_ = true;
  drawnOnce_ = false;
  updateControls();
  draw();
}

void ChartWindow::changed() {
  viewChanged_ = true;
  updateControls();
  draw();
  emit prefsChanged(prefs_);
}

void ChartWindow::setXAxis(ChartXAxis axis) {
  if (axis == prefs_.xAxis) return;
  prefs_.xAxis = axis;
  model_.setXAxis(axis);
  // Ranges of the other axis mean nothing on this one.
  view_.x.reset();
  changed();
}

void ChartWindow::setWindowMinutes(int minutes) {
  if (minutes == prefs_.windowMinutes) return;
  prefs_.windowMinutes = minutes;
  view_ = {};
  changed();
}

void ChartWindow::setSeriesHidden(const QString& letters, bool hidden) {
  if (!setMember(prefs_.hidden, letters, hidden)) return;
  styleMarkers();
  changed();
}

void ChartWindow::setSeriesOnRight(const QString& letters, bool right) {
  if (!setMember(prefs_.right, letters, right)) return;
  drawnOnce_ = false;  // the line moves to the other axis
  changed();
}

void ChartWindow::follow() {
  view_ = {};
  viewChanged_ = true;
  updateControls();
  draw();
}

void ChartWindow::setPaused(bool paused) {
  if (paused == this->paused()) return updateControls();
  if (paused)
    pausedRows_ = model_.rowCount();
  else
    pausedRows_.reset();
  viewChanged_ = true;
  updateControls();
  draw();
}

void ChartWindow::zoomX(double factor, double centre) {
  view_.x = zoomed(shown_.x, factor, centre);
  viewChanged_ = true;
  updateControls();
  draw();
}

void ChartWindow::zoomY(double factor, double centreFraction) {
  const auto around = [&](const ChartRange& r) { return zoomed(r, factor, r.min + centreFraction * (r.max - r.min)); };
  view_.yLeft = around(shown_.yLeft);
  view_.yRight = around(shown_.yRight);
  // The horizontal range holds still while the values are looked at closely.
  if (!view_.x) view_.x = shown_.x;
  viewChanged_ = true;
  updateControls();
  draw();
}

void ChartWindow::showRanges(const ChartRange& x, const std::optional<ChartRange>& yLeft,
                             const std::optional<ChartRange>& yRight) {
  if (!(x.max > x.min)) return;
  view_.x = x;
  if (yLeft && yLeft->max > yLeft->min) view_.yLeft = yLeft;
  if (yRight && yRight->max > yRight->min) view_.yRight = yRight;
  viewChanged_ = true;
  updateControls();
  draw();
}

void ChartWindow::updateControls() {
  const int axisIndex = xAxisChoice_->findData(static_cast<int>(prefs_.xAxis));
  if (axisIndex != xAxisChoice_->currentIndex()) xAxisChoice_->setCurrentIndex(axisIndex);
  const int spanIndex = windowChoice_->findData(prefs_.windowMinutes);
  if (spanIndex >= 0 && spanIndex != windowChoice_->currentIndex()) windowChoice_->setCurrentIndex(spanIndex);
  pauseButton_->setChecked(paused());
  followButton_->setEnabled(!following());
}

bool ChartWindow::redrawPending() const { return redrawTimer_->isActive() || redrawQueued_; }

void ChartWindow::scheduleRedraw() {
  if (!redrawTimer_->isActive()) redrawTimer_->start();
}

void ChartWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  queueRedraw();
}

// A new size changes how many points the lines need and how many ticks fit.
// A low chart leaves out the axis titles, so the labels keep their room.
void ChartWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  const bool titles = plot_->height() >= CompactHeight;
  for (QCategoryAxis* axis : {xAxis_, yLeft_, yRight_}) axis->setTitleVisible(titles);
  viewChanged_ = true;
  queueRedraw();
}

ChartWindow::XKind ChartWindow::xKind() const {
  if (model_.xAxis() == ChartXAxis::AcquisitionNo) return XKind::Number;
  return model_.timeBase() == ChartTimeBase::Clock ? XKind::Clock : XKind::ElapsedSeconds;
}

AxisKind ChartWindow::xAxisKind() const {
  switch (xKind()) {
    case XKind::ElapsedSeconds:
      return AxisKind::ElapsedSeconds;
    case XKind::Clock:
      return AxisKind::Clock;
    case XKind::Number:
      return AxisKind::Whole;
  }
  return AxisKind::Value;
}

// Elapsed time is drawn in seconds; the model counts milliseconds.
double ChartWindow::xScale() const { return xKind() == XKind::ElapsedSeconds ? 1e-3 : 1.0; }

std::size_t ChartWindow::rowLimit() const { return pausedRows_.value_or(ChartModel::AllRows); }

bool ChartWindow::isHidden(std::size_t index) const { return prefs_.hidden.contains(model_.series()[index].letters); }

bool ChartWindow::isRight(std::size_t index) const { return prefs_.right.contains(model_.series()[index].letters); }

QString ChartWindow::seriesName(std::size_t index) const {
  const ChartModel::Series& s = model_.series()[index];
  const auto header = headers_.find(s.column);
  return chartSeriesName(s.letters, header == headers_.end() ? QString() : header->second);
}

// The x range followed now, in model units: the chosen span of the latest
// rows, or the whole run.
std::optional<ChartRange> ChartWindow::followedX() const {
  if (prefs_.windowMinutes > 0)
    return model_.recentXRange(static_cast<std::int64_t>(prefs_.windowMinutes) * 60000, rowLimit());
  // A paused view's whole run ends at its last row.
  if (paused()) return model_.recentXRange(std::numeric_limits<std::int64_t>::max() / 2, rowLimit());
  return model_.xRange();
}

int ChartWindow::plotPixels() const {
  const double width = chart_->plotArea().width() > 0 ? chart_->plotArea().width() : plot_->width();
  return std::max(1, static_cast<int>(std::ceil(width * devicePixelRatioF())));
}

void ChartWindow::redraw() {
  redrawTimer_->stop();
  if (isVisible()) draw();
}

void ChartWindow::draw() {
  const int pixels = plotPixels();
  const std::uint64_t revision = paused() ? drawnRevision_ : model_.revision();
  if (drawnOnce_ && !viewChanged_ && drawnRevision_ == revision && drawnPixels_ == pixels) return;
  if (!drawnOnce_ || drawnLayout_ != model_.layoutRevision()) rebuildLines();
  drawnOnce_ = true;
  viewChanged_ = false;
  drawnAtMs_ = clock_->tickMs();
  drawnRevision_ = revision;
  drawnLayout_ = model_.layoutRevision();
  drawnPixels_ = pixels;

  chart_->setTitle(model_.series().empty() ? CapNoSeries : QString());
  const double scale = xScale();
  std::optional<ChartRange> x = view_.x;
  if (!x) {
    const std::optional<ChartRange> followed = followedX();
    if (followed) x = padded({followed->min * scale, followed->max * scale}, xKind() == XKind::Clock ? 1000.0 : 1.0);
  }
  // Qt Charts recomputes a line's whole outline on every new axis range and
  // on every new point list, at a cost growing with the points: the lines are
  // emptied before the axes move, so each is outlined once per redraw.
  for (QLineSeries* line : lines_) line->clear();
  std::vector<QList<QPointF>> points(lines_.size());
  std::optional<ChartRange> leftExtent, rightExtent;
  if (x) {
    int shownLines = 0;
    for (std::size_t i = 0; i < points.size(); ++i) shownLines += isHidden(i) ? 0 : 1;
    const auto perLine = static_cast<int>(PointBudget / (ChartModel::PointsPerColumn * std::max(1, shownLines)));
    const int columns = std::clamp(perLine, 1, pixels);
    for (std::size_t i = 0; i < points.size(); ++i) {
      if (isHidden(i)) continue;
      points[i] = model_.decimated(i, x->min / scale, x->max / scale, columns, rowLimit());
      if (scale != 1.0)
        for (QPointF& p : points[i]) p.setX(p.x() * scale);
      takeExtent(points[i], x->min, x->max, isRight(i) ? rightExtent : leftExtent);
    }
  }
  // Limits near the shown values are shown with them.
  std::vector<double> leftLimits, rightLimits;
  for (const LimitLine& limit : limitLines_)
    if (!isHidden(limit.series)) (isRight(limit.series) ? rightLimits : leftLimits).push_back(limit.value);
  if (leftExtent) leftExtent = withNearbyLimits(*leftExtent, leftLimits);
  if (rightExtent) rightExtent = withNearbyLimits(*rightExtent, rightLimits);
  shown_.x = x.value_or(ChartRange{0.0, 1.0});
  const auto fit = [](const std::optional<ChartRange>& e) { return e ? fittedValueRange(*e) : ChartRange{0.0, 1.0}; };
  shown_.yLeft = view_.yLeft.value_or(fit(leftExtent));
  shown_.yRight = view_.yRight.value_or(fit(rightExtent));
  applyScale(xAxis_, xAxisKind(), shown_.x, true);
  applyScale(yLeft_, AxisKind::Value, shown_.yLeft, false);
  if (chart_->axes().contains(yRight_)) applyScale(yRight_, AxisKind::Value, shown_.yRight, false);
  for (std::size_t i = 0; i < lines_.size(); ++i) lines_[i]->replace(points[i]);
  drawAlarms(x, scale);
}

// The limit lines across the shown range and the marks of the alarms in it,
// of the shown series only.
void ChartWindow::drawAlarms(const std::optional<ChartRange>& x, double scale) {
  for (const LimitLine& limit : limitLines_) {
    QList<QPointF> ends;
    if (x && !isHidden(limit.series)) ends = {{x->min, limit.value}, {x->max, limit.value}};
    limit.line->replace(ends);
  }
  QList<QPointF> left, right;
  if (x) {
    for (const ChartModel::AlarmMark& mark : model_.alarmMarks(rowLimit())) {
      const double at = model_.x(mark.row) * scale;
      if (isHidden(mark.series) || at < x->min || at > x->max) continue;
      (isRight(mark.series) ? right : left) << QPointF(at, mark.y);
    }
  }
  if (marksLeft_) marksLeft_->replace(left);
  if (marksRight_) marksRight_->replace(right);
}

// The axis at `range` with round ticks, as many as its labels leave room for.
void ChartWindow::applyScale(QCategoryAxis* axis, AxisKind kind, const ChartRange& range, bool horizontal) {
  const QFontMetrics metrics(axis->labelsFont());
  AxisScale scale;
  if (horizontal) {
    // A first guess from a typical label, then again from the widest label it gave.
    const double length = chart_->plotArea().width();
    const bool milliseconds = model_.stampMilliseconds();
    scale = axisScale(kind, range, maxTicksFor(length, metrics.horizontalAdvance(QStringLiteral("00:00:00"))),
                      milliseconds);
    int widest = 0;
    for (const AxisTick& t : scale.ticks) widest = std::max(widest, metrics.horizontalAdvance(t.label));
    const int fit = maxTicksFor(length, widest);
    if (fit < static_cast<int>(scale.ticks.size())) scale = axisScale(kind, range, fit, milliseconds);
  } else {
    scale = axisScale(kind, range, maxTicksFor(chart_->plotArea().height(), metrics.height() * 1.5));
  }
  for (const QString& label : axis->categoriesLabels()) axis->remove(label);
  // Labels sit on their values; the start lies below the range so a tick at
  // its very edge still counts as a category.
  axis->setStartValue(range.min - (range.max - range.min));
  for (const AxisTick& t : scale.ticks) axis->append(t.label, t.value);
  axis->setRange(range.min, range.max);
  if (axis == xAxis_) {
    switch (xKind()) {
      case XKind::ElapsedSeconds: {
        // Long runs count minutes and hours ("1:30", "2:00:00").
        const qsizetype colons = scale.ticks.empty() ? 0 : scale.ticks.back().label.count(QLatin1Char(':'));
        axis->setTitleText(colons == 0 ? CapAxisElapsed : colons == 1 ? CapAxisElapsedMinutes : CapAxisElapsedHours);
        break;
      }
      case XKind::Clock:
        axis->setTitleText(CapAxisClock);
        break;
      case XKind::Number:
        axis->setTitleText(CapAxisNumber);
        break;
    }
    return;
  }
  // A value axis with one shown series is titled by it.
  const bool right = axis == yRight_;
  QStringList names;
  for (std::size_t i = 0; i < model_.series().size(); ++i)
    if (!isHidden(i) && isRight(i) == right) names << seriesName(i);
  axis->setTitleText(names.size() == 1 ? names.front() : right ? CapAxisValueRight : CapAxisValue);
}

// One line per model series, in the model's order (by column), each on the
// value axis the user chose for it, named by its column and header.
void ChartWindow::rebuildLines() {
  chart_->removeAllSeries();
  lines_.clear();
  limitLines_.clear();
  marksLeft_ = marksRight_ = nullptr;
  const std::vector<ChartModel::Series>& series = model_.series();
  bool anyRight = false;
  for (std::size_t i = 0; i < series.size(); ++i) anyRight = anyRight || isRight(i);
  const bool hasRight = chart_->axes().contains(yRight_);
  if (anyRight && !hasRight) chart_->addAxis(yRight_, Qt::AlignRight);
  if (!anyRight && hasRight) chart_->removeAxis(yRight_);
  const std::vector<QColor>& colours = palette();
  for (std::size_t i = 0; i < series.size(); ++i) {
    auto* line = new QLineSeries();
    line->setObjectName(QStringLiteral("ChartLine"));
    line->setName(seriesName(i));
    // One pixel wide: wider lines go through Qt's path stroker, which paints
    // a noisy 10-series chart several times slower.
    QPen pen(colours[i % colours.size()]);
    pen.setWidthF(1.0);
    const std::size_t round = i / colours.size();
    pen.setStyle(round == 0 ? Qt::SolidLine : round == 1 ? Qt::DashLine : Qt::DotLine);
    line->setPen(pen);
    chart_->addSeries(line);
    line->attachAxis(xAxis_);
    line->attachAxis(isRight(i) ? yRight_ : yLeft_);
    lines_.push_back(line);
  }
  // Limits and marks come after the lines, which they must not hide, and
  // have no legend entry of their own.
  const auto addOther = [this](QXYSeries* other, QCategoryAxis* valueAxis) {
    chart_->addSeries(other);
    other->attachAxis(xAxis_);
    other->attachAxis(valueAxis);
    for (QLegendMarker* marker : chart_->legend()->markers(other)) marker->setVisible(false);
  };
  for (std::size_t i = 0; i < series.size(); ++i) {
    const alarm::ColumnRule* rule = ruleOf(series[i].column);
    if (!rule) continue;
    for (const std::optional<double>& limit : {rule->high, rule->low}) {
      if (!limit) continue;
      auto* line = new QLineSeries();
      line->setObjectName(QStringLiteral("ChartLimit"));
      QPen pen(colours[i % colours.size()]);
      pen.setWidthF(1.0);
      pen.setStyle(Qt::DashLine);
      line->setPen(pen);
      addOther(line, isRight(i) ? yRight_ : yLeft_);
      limitLines_.push_back({i, *limit, line});
    }
  }
  const auto makeMarks = [&](const QString& name, QCategoryAxis* valueAxis) {
    auto* marks = new QScatterSeries();
    marks->setObjectName(name);
    marks->setMarkerShape(QScatterSeries::MarkerShapeCircle);
    marks->setMarkerSize(AlarmMarkSize);
    marks->setColor(AlarmMarkColour);
    marks->setBorderColor(AlarmMarkColour);
    addOther(marks, valueAxis);
    return marks;
  };
  marksLeft_ = makeMarks(QStringLiteral("ChartAlarmMarks"), yLeft_);
  if (anyRight) marksRight_ = makeMarks(QStringLiteral("ChartAlarmMarksRight"), yRight_);
  styleMarkers();
}

// Legend entries: a click hides or shows the series; a hidden series' entry
// stays, greyed.
void ChartWindow::styleMarkers() {
  for (std::size_t index = 0; index < lines_.size() && index < model_.series().size(); ++index) {
    const QList<QLegendMarker*> markers = chart_->legend()->markers(lines_[index]);
    if (markers.isEmpty()) continue;
    QLegendMarker* marker = markers.front();
    const bool hidden = isHidden(index);
    const QColor colour = palette()[index % palette().size()];
    marker->setLabelBrush(hidden ? QBrush(Qt::gray) : QBrush(Qt::black));
    marker->setBrush(QBrush(hidden ? QColor(Qt::lightGray) : colour));
    marker->setPen(QPen(hidden ? QColor(Qt::gray) : colour));
    const QString letters = model_.series()[index].letters;
    disconnect(marker, &QLegendMarker::clicked, this, nullptr);
    connect(marker, &QLegendMarker::clicked, this,
            [this, letters] { setSeriesHidden(letters, !prefs_.hidden.contains(letters)); });
  }
}

QString ChartWindow::readout(double x, double yLeft) const {
  QString text;
  switch (xKind()) {
    case XKind::ElapsedSeconds:
      text = QStringLiteral("%1 秒").arg(valueText(x));
      break;
    case XKind::Clock:
      text = clockText(x);
      break;
    case XKind::Number:
      text = QStringLiteral("取得番号 %1").arg(valueText(x));
      break;
  }
  text += QStringLiteral("　値 %1").arg(valueText(yLeft));
  const std::optional<std::uint32_t> row = model_.nearestRow(x / xScale(), rowLimit());
  if (!row) return text;
  QStringList values;
  for (std::size_t i = 0; i < model_.series().size(); ++i) {
    if (isHidden(i)) continue;
    if (const std::optional<double> v = model_.valueAt(i, *row))
      values << QStringLiteral("%1 = %2").arg(seriesName(i), valueText(*v));
  }
  QString where = model_.numbered() ? QStringLiteral("取得番号 %1").arg(valueText(model_.number(*row)))
                                    : QStringLiteral("%1 行目").arg(*row + 1);
  if (const std::optional<std::int64_t> ms = model_.clockMs(*row))
    where += QStringLiteral("（%1）").arg(clockText(static_cast<double>(*ms)));
  else
    where += QStringLiteral("（%1 秒）").arg(valueText(static_cast<double>(model_.elapsedMs(*row)) / 1000.0));
  return text + QStringLiteral("　｜　") + where + QStringLiteral("：") + values.join(QStringLiteral("、"));
}

void ChartWindow::showMenu(const QPoint& globalPos) {
  QMenu menu(this);
  menu.setObjectName(QStringLiteral("ChartMenu"));
  QAction* followAction = menu.addAction(CapFollow, this, &ChartWindow::follow);
  followAction->setEnabled(!following());
  QAction* pauseAction = menu.addAction(CapPause, this, [this](bool checked) { setPaused(checked); });
  pauseAction->setCheckable(true);
  pauseAction->setChecked(paused());
  menu.addSeparator();
  for (std::size_t i = 0; i < model_.series().size(); ++i) {
    const QString letters = model_.series()[i].letters;
    QMenu* sub = menu.addMenu(seriesName(i));
    QAction* shown = sub->addAction(CapShow, this, [this, letters](bool on) { setSeriesHidden(letters, !on); });
    shown->setCheckable(true);
    shown->setChecked(!isHidden(i));
    QAction* right = sub->addAction(CapOnRight, this, [this, letters](bool on) { setSeriesOnRight(letters, on); });
    right->setCheckable(true);
    right->setChecked(isRight(i));
  }
  menu.exec(globalPos);
}

// Draws what has arrived and lays the chart out now (the legend and the axes
// otherwise settle on the next pass of the event loop).
void ChartWindow::settle() {
  viewChanged_ = true;
  draw();
  if (QGraphicsLayout* layout = chart_->legend()->layout()) layout->activate();
  if (QGraphicsLayout* layout = chart_->layout()) layout->activate();
}

Status ChartWindow::exportPng(const QString& path) {
  settle();
  const QPixmap picture = plot_->grab();
  if (picture.isNull()) return fail(ChartError::ImageFailed, MsgImageFailed);
  QByteArray bytes;
  QBuffer buffer(&bytes);
  static_cast<void>(buffer.open(QIODevice::WriteOnly));  // memory: cannot fail
  if (!picture.save(&buffer, "PNG")) return fail(ChartError::ImageFailed, MsgImageFailed);
  return writeWhole(path, bytes);
}

Status ChartWindow::exportSvg(const QString& path) {
  settle();
  QByteArray bytes;
  QBuffer buffer(&bytes);
  static_cast<void>(buffer.open(QIODevice::WriteOnly));  // memory: cannot fail
  QSvgGenerator svg;
  svg.setOutputDevice(&buffer);
  svg.setSize(plot_->size());
  svg.setViewBox(QRect(QPoint(0, 0), plot_->size()));
  svg.setTitle(CapWindow);
  QPainter painter;
  if (!painter.begin(&svg)) return fail(ChartError::ImageFailed, MsgImageFailed);
  plot_->render(&painter);
  painter.end();
  if (bytes.isEmpty()) return fail(ChartError::ImageFailed, MsgImageFailed);
  return writeWhole(path, bytes);
}

Status ChartWindow::exportCsv(const QString& path) {
  settle();
  std::vector<std::size_t> series;
  QStringList names;
  for (std::size_t i = 0; i < model_.series().size(); ++i) {
    if (isHidden(i)) continue;
    series.push_back(i);
    names << seriesName(i);
  }
  const double scale = xScale();
  return writeWhole(path, model_.csv(shown_.x.min / scale, shown_.x.max / scale, series, names, rowLimit()));
}

void ChartWindow::saveWithDialog(const QString& suffix) {
  const QString folder = lastFolder_.isEmpty() ? QDir::currentPath() : lastFolder_;
  const bool csv = suffix == QStringLiteral(".csv");
  const bool svg = suffix == QStringLiteral(".svg");
  const QString caption = csv ? CapSaveCsv : svg ? CapSaveSvg : CapSavePng;
  QString path = QFileDialog::getSaveFileName(this, caption, QDir(folder).filePath(DefaultFileName + suffix),
                                              csv   ? CapCsvFilter
                                              : svg ? CapSvgFilter
                                                    : CapPngFilter);
  if (path.isEmpty()) return;
  if (!path.endsWith(suffix, Qt::CaseInsensitive)) path += suffix;
  lastFolder_ = QFileInfo(path).absolutePath();
  const Status saved = csv ? exportCsv(path) : svg ? exportSvg(path) : exportPng(path);
  if (!saved)
    boxes_.show(MsgExportFailed.arg(QDir::toNativeSeparators(path)), MessageIcon::Warning, saved.description());
}

}  // namespace kestrune::app
