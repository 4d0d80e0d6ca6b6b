#include "app/chart_window.h"

#include <QBuffer>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGraphicsLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLegend>
#include <QLineSeries>
#include <QPainter>
#include <QPushButton>
#include <QSaveFile>
#include <QSvgGenerator>
#include <QTimer>
#include <QValueAxis>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace kestrune::app {

namespace {

const QString CapWindow = QStringLiteral("Kestrune（グラフ）");
const QString CapXAxis = QStringLiteral("横軸：");
const QString CapXTime = QStringLiteral("時間");
const QString CapXNumber = QStringLiteral("取得番号");
const QString CapSavePng = QStringLiteral("PNG で保存…");
const QString CapSaveSvg = QStringLiteral("SVG で保存…");
const QString CapAxisElapsed = QStringLiteral("経過時間 [秒]");
const QString CapAxisClock = QStringLiteral("時刻");
const QString CapAxisNumber = QStringLiteral("取得番号");
const QString CapAxisValue = QStringLiteral("値");
const QString CapNoSeries = QStringLiteral("数値の列はまだありません");
const QString CapPngFilter = QStringLiteral("PNG 画像 (*.png)");
const QString CapSvgFilter = QStringLiteral("SVG 画像 (*.svg)");
const QString DefaultFileName = QStringLiteral("kestrune-graph");
const QString MsgExportFailed = QStringLiteral("グラフを保存できません：%1");
const QString MsgNotAFile = QStringLiteral("同じ名前のフォルダーまたはファイルでないものがあります。");
const QString MsgImageFailed = QStringLiteral("画像を作れませんでした。");

constexpr int InitialWidth = 720;
constexpr int InitialHeight = 440;
// Room above and below the lines, as a share of the values' span.
constexpr double YMargin = 0.05;
constexpr int Ticks = 6;

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
ChartRange padded(ChartRange r, double margin, double least) {
  const double span = r.max - r.min;
  if (span <= 0.0) {
    const double half = std::max(least, std::abs(r.min) * 0.1);
    return {r.min - half, r.max + half};
  }
  return {r.min - span * margin, r.max + span * margin};
}

}  // namespace

ChartWindow::ChartWindow(MessageBoxes& boxes, QWidget* parent) : QWidget(parent, Qt::Window), boxes_(boxes) {
  setObjectName(QStringLiteral("ChartWindow"));
  setWindowTitle(CapWindow);

  auto* axisLabel = new QLabel(CapXAxis, this);
  xAxisChoice_ = new QComboBox(this);
  xAxisChoice_->setObjectName(QStringLiteral("ChartXAxis"));
  xAxisChoice_->addItem(CapXTime, static_cast<int>(ChartXAxis::Time));
  xAxisChoice_->addItem(CapXNumber, static_cast<int>(ChartXAxis::AcquisitionNo));
  auto* savePng = new QPushButton(CapSavePng, this);
  savePng->setObjectName(QStringLiteral("ChartSavePng"));
  auto* saveSvg = new QPushButton(CapSaveSvg, this);
  saveSvg->setObjectName(QStringLiteral("ChartSaveSvg"));

  chart_ = new QChart();
  chart_->legend()->setVisible(true);
  chart_->legend()->setAlignment(Qt::AlignBottom);
  chart_->setAnimationOptions(QChart::NoAnimation);
  view_ = new QChartView(chart_, this);
  view_->setObjectName(QStringLiteral("ChartView"));
  view_->setRenderHint(QPainter::Antialiasing, true);
  yAxis_ = new QValueAxis();
  yAxis_->setTitleText(CapAxisValue);
  yAxis_->setTickCount(Ticks);
  yAxis_->setLabelFormat(QStringLiteral("%.6g"));
  chart_->addAxis(yAxis_, Qt::AlignLeft);

  auto* bar = new QHBoxLayout;
  bar->addWidget(axisLabel);
  bar->addWidget(xAxisChoice_);
  bar->addStretch(1);
  bar->addWidget(savePng);
  bar->addWidget(saveSvg);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(bar);
  layout->addWidget(view_, 1);
  resize(InitialWidth, InitialHeight);

  redrawTimer_ = new QTimer(this);
  redrawTimer_->setObjectName(QStringLiteral("ChartRedrawTimer"));
  redrawTimer_->setSingleShot(true);
  redrawTimer_->setInterval(RedrawIntervalMs);
  connect(redrawTimer_, &QTimer::timeout, this, &ChartWindow::redraw);
  connect(xAxisChoice_, &QComboBox::currentIndexChanged, this,
          [this] { setXAxis(static_cast<ChartXAxis>(xAxisChoice_->currentData().toInt())); });
  connect(savePng, &QPushButton::clicked, this, [this] { saveWithDialog(false); });
  connect(saveSvg, &QPushButton::clicked, this, [this] { saveWithDialog(true); });

  draw();
}

ChartWindow::~ChartWindow() = default;

void ChartWindow::addRow(const AcquiredRow& row) {
  model_.addRow(row);
  scheduleRedraw();
}

void ChartWindow::clear() {
  model_.clear();
  draw();
}

void ChartWindow::setXAxis(ChartXAxis axis) {
  model_.setXAxis(axis);
  const int index = xAxisChoice_->findData(static_cast<int>(axis));
  if (index != xAxisChoice_->currentIndex()) xAxisChoice_->setCurrentIndex(index);
  draw();
}

bool ChartWindow::redrawPending() const { return redrawTimer_->isActive(); }

void ChartWindow::scheduleRedraw() {
  if (!redrawTimer_->isActive()) redrawTimer_->start();
}

void ChartWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  scheduleRedraw();
}

// A new width changes how many points the lines need.
void ChartWindow::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  scheduleRedraw();
}

ChartWindow::XKind ChartWindow::xKind() const {
  if (model_.xAxis() == ChartXAxis::AcquisitionNo) return XKind::Number;
  return model_.timeBase() == ChartTimeBase::Clock ? XKind::Clock : XKind::ElapsedSeconds;
}

int ChartWindow::plotPixels() const {
  const double width = chart_->plotArea().width() > 0 ? chart_->plotArea().width() : view_->width();
  return std::max(1, static_cast<int>(std::ceil(width * devicePixelRatioF())));
}

void ChartWindow::redraw() {
  redrawTimer_->stop();
  if (isVisible()) draw();
}

void ChartWindow::draw() {
  const int pixels = plotPixels();
  if (drawnOnce_ && drawnRevision_ == model_.revision() && drawnPixels_ == pixels) return;
  if (!drawnOnce_ || drawnLayout_ != model_.layoutRevision() || xAxisKind_ != xKind()) rebuildLines();
  drawnOnce_ = true;
  drawnRevision_ = model_.revision();
  drawnLayout_ = model_.layoutRevision();
  drawnPixels_ = pixels;

  chart_->setTitle(model_.series().empty() ? CapNoSeries : QString());
  const std::optional<ChartRange> x = model_.xRange();
  const std::optional<ChartRange> y = model_.yRange();
  if (!x || !y) return;
  // Elapsed time is drawn in seconds; the model counts milliseconds.
  const double xScale = xKind() == XKind::ElapsedSeconds ? 1e-3 : 1.0;
  // Qt Charts recomputes a line's whole outline on every new axis range and
  // on every new point list, at a cost growing with the points: the lines are
  // emptied before the axes move, so each is outlined once per redraw.
  const QList<QAbstractSeries*> lines = chart_->series();
  for (QAbstractSeries* line : lines) static_cast<QLineSeries*>(line)->clear();
  const auto perLine =
      static_cast<int>(PointBudget / (ChartModel::PointsPerColumn * std::max<qsizetype>(1, lines.size())));
  const int columns = std::clamp(perLine, 1, pixels);
  placeAxes(padded({x->min * xScale, x->max * xScale}, 0.0, xKind() == XKind::Clock ? 1000.0 : 1.0),
            padded(*y, YMargin, 1.0));
  for (qsizetype i = 0; i < lines.size(); ++i) {
    QList<QPointF> points = model_.decimated(static_cast<std::size_t>(i), x->min, x->max, columns);
    if (xScale != 1.0)
      for (QPointF& p : points) p.setX(p.x() * xScale);
    static_cast<QLineSeries*>(lines[i])->replace(points);
  }
}

// One line per model series, in the model's order (by column), on an x axis
// of the kind the current choice needs.
void ChartWindow::rebuildLines() {
  chart_->removeAllSeries();
  const XKind kind = xKind();
  if (!xAxis_ || xAxisKind_ != kind) {
    if (xAxis_) {
      chart_->removeAxis(xAxis_);
      delete xAxis_;
    }
    if (kind == XKind::Clock) {
      auto* axis = new QDateTimeAxis();
      axis->setTitleText(CapAxisClock);
      axis->setFormat(QStringLiteral("HH:mm:ss"));
      axis->setTickCount(Ticks);
      xAxis_ = axis;
    } else {
      auto* axis = new QValueAxis();
      axis->setTitleText(kind == XKind::Number ? CapAxisNumber : CapAxisElapsed);
      axis->setLabelFormat(QStringLiteral("%.6g"));
      axis->setTickCount(Ticks);
      xAxis_ = axis;
    }
    chart_->addAxis(xAxis_, Qt::AlignBottom);
    xAxisKind_ = kind;
  }
  for (const ChartModel::Series& s : model_.series()) {
    auto* line = new QLineSeries();
    line->setName(s.name);
    chart_->addSeries(line);
    line->attachAxis(xAxis_);
    line->attachAxis(yAxis_);
  }
}

void ChartWindow::placeAxes(const ChartRange& x, const ChartRange& y) {
  if (auto* clock = qobject_cast<QDateTimeAxis*>(xAxis_)) {
    const QDateTime from = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::floor(x.min)));
    const QDateTime to = QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::ceil(x.max)));
    // A run longer than a day shows the date too.
    clock->setFormat(from.daysTo(to) >= 1 ? QStringLiteral("MM/dd HH:mm") : QStringLiteral("HH:mm:ss"));
    clock->setRange(from, to);
  } else if (auto* value = qobject_cast<QValueAxis*>(xAxis_)) {
    value->setRange(x.min, x.max);
  }
  yAxis_->setRange(y.min, y.max);
}

// Draws what has arrived and lays the chart out now (the legend and the axes
// otherwise settle on the next pass of the event loop).
void ChartWindow::settle() {
  draw();
  if (QGraphicsLayout* layout = chart_->legend()->layout()) layout->activate();
  if (QGraphicsLayout* layout = chart_->layout()) layout->activate();
}

Status ChartWindow::exportPng(const QString& path) {
  settle();
  const QPixmap picture = view_->grab();
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
  svg.setSize(view_->size());
  svg.setViewBox(QRect(QPoint(0, 0), view_->size()));
  svg.setTitle(CapWindow);
  QPainter painter;
  if (!painter.begin(&svg)) return fail(ChartError::ImageFailed, MsgImageFailed);
  view_->render(&painter);
  painter.end();
  if (bytes.isEmpty()) return fail(ChartError::ImageFailed, MsgImageFailed);
  return writeWhole(path, bytes);
}

void ChartWindow::saveWithDialog(bool svg) {
  const QString suffix = svg ? QStringLiteral(".svg") : QStringLiteral(".png");
  const QString folder = lastFolder_.isEmpty() ? QDir::currentPath() : lastFolder_;
  QString path =
      QFileDialog::getSaveFileName(this, svg ? CapSaveSvg : CapSavePng, QDir(folder).filePath(DefaultFileName + suffix),
                                   svg ? CapSvgFilter : CapPngFilter);
  if (path.isEmpty()) return;
  if (!path.endsWith(suffix, Qt::CaseInsensitive)) path += suffix;
  lastFolder_ = QFileInfo(path).absolutePath();
  const Status saved = svg ? exportSvg(path) : exportPng(path);
  if (!saved)
    boxes_.show(MsgExportFailed.arg(QDir::toNativeSeparators(path)), MessageIcon::Warning, saved.description());
}

}  // namespace kestrune::app
