// The 10 ms tick of a real run: the built-in spreadsheet application on a new
// workbook with its sheet window, the acquisition journal beside it, the
// built-in script (SSS, RCV, SET, EEE) and a line arriving every 10 ms
// (100 lines a second). Measures how long each tick takes and how late each
// tick starts, first without the chart window, then with it open and fed
// every row, then with MQTT publishing on and its broker unreachable (every
// row goes into the outbox, the sender keeps failing to connect), with ten
// columns of three alarm rules, and with the web view followed by ten viewers
// (curl processes reading the rows and the event stream); and the process's
// CPU in each. Run a Release build under a display (or QT_QPA_PLATFORM=offscreen):
//   ./build-release/bench/tick_bench [seconds per run, default 30]
#include "app/chart_window.h"
#include "app/acquisition_session.h"
#include "app/web_view.h"
#include "app/workbook_tools.h"
#include "core/conf_text.h"
#include "bench_host.h"
#include "mqtt/mqtt_settings.h"
#include "fakes/fake_port.h"
#include "fakes/recording_message_boxes.h"
#include "sheet/embedded/embedded_spreadsheet.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/resource.h>

namespace {

using namespace kestrune;

struct Figures : bench::TickTimes {
  int rows = 0;
  std::uint64_t queued = 0;  // rows left in the MQTT outbox
  double cpuPercent = 0;     // the process's CPU time, all threads, of one core
};

// What a run has beside the built-in application and the journal.
struct Variant {
  bool chart = false;
  QString broker;
  bool alarms = false;
  bool record = false;  // the run record beside the workbook
  int viewers = 0;      // browsers following the web view's event stream
};

double cpuSeconds() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// `v` sorted.
double at(const std::vector<double>& v, double q) {
  if (v.empty()) return 0.0;
  return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

Figures runFor(int seconds, const Variant& variant) {
  const bool withChart = variant.chart;
  const QString& brokerUrl = variant.broker;
  const bool withAlarms = variant.alarms;
  QTemporaryDir dir;
  const QString book = dir.filePath(QStringLiteral("book.xls"));
  if (!brokerUrl.isEmpty() || withAlarms || variant.record) {
    QFile conf(dir.filePath(mqtt::ConfFileName));
    if (!conf.open(QIODevice::WriteOnly)) std::exit(4);
    if (!brokerUrl.isEmpty()) conf.write("mqtt.url=" + brokerUrl.toUtf8() + "\n");
    if (variant.record) conf.write("record=on\n");
    if (withAlarms) {
      // Ten columns of values (C to L after the number and the stamp), three
      // rules each; the values wander inside the limits, now and then past.
      conf.write("[" + conf::workbookSection(book).toUtf8() + "]\n");
      for (char column = 'C'; column <= 'L'; ++column) {
        const QByteArray key = QByteArray("alarm.") + column;
        conf.write(key + ".high=1000000\n" + key + ".low=-1\n" + key + ".step=3.5\n");
      }
    }
  }
  app::createWorkbook(book);
  testing::RecordingMessageBoxes boxes;
  SystemClock clock;
  app::AcquisitionSession session(
      [](int) { return std::make_unique<testing::FakePort>(); }, settings::SettingsFolder::fixed(dir.path()), clock,
      sheet::embedded::embeddedFactory([](const QString&) { return sheet::embedded::SavePrompt::Save; }));
  {
    settings::Conditions c = session.conditions();
    c.rows = 10000;
    c.acquireTimeMs = 3600000;
    c.numbering = true;
    c.stamp = settings::StampMode::DateAndTime;
    c.startAtCell = true;
    c.cursor.column = "A";
    c.cursor.row = 1;
    session.setConditions(c);
  }
  session.setWorkbookPath(book);
  if (!session.open()) std::exit(2);

  app::ChartWindow chart(boxes);
  if (withChart) {
    QObject::connect(&session, &app::AcquisitionSession::rowAcquired, &chart,
                     [&chart](const AcquiredRow& row) { chart.addRow(row); });
    chart.resize(900, 600);
    // Following the last minute: the view is zoomed in and moves with every redraw.
    app::ChartPrefs prefs;
    prefs.windowMinutes = 1;
    chart.setPrefs(prefs);
    chart.show();
  }
  // The web view on a free loopback port, each viewer a curl process that
  // loads the rows as the page does and then follows the event stream. The
  // viewers stand for other computers' browsers: here they run at the lowest
  // priority, so that what is measured is what the logger spends.
  app::WebView web(session);
  std::vector<std::unique_ptr<QProcess>> viewers;
  if (variant.viewers > 0) {
    if (!web.start(web::WebSettings{QStringLiteral("127.0.0.1:0"), {}, {}})) std::exit(5);
    const QString base = QStringLiteral("http://127.0.0.1:%1").arg(web.port());
    for (int i = 0; i < variant.viewers; ++i) {
      viewers.push_back(std::make_unique<QProcess>());
      viewers.back()->start(QStringLiteral("nice"),
                            {QStringLiteral("-n19"), QStringLiteral("curl"), QStringLiteral("-sN"),
                             QStringLiteral("-o"), QStringLiteral("/dev/null"), base + QStringLiteral("/api/rows"),
                             QStringLiteral("-o"), QStringLiteral("/dev/null"), base + QStringLiteral("/api/events")});
    }
  }
  QTimer ticks;
  Figures figures;
  bench::timeTicks(session, ticks, figures);
  if (!session.start()) std::exit(2);

  auto& port = static_cast<testing::FakePort&>(session.port(0));
  QTimer feeder;
  feeder.setTimerType(Qt::PreciseTimer);
  int sent = 0;
  QObject::connect(&feeder, &QTimer::timeout, &feeder, [&] {
    // Ten numeric fields: ten series on the chart.
    QString line = QString::number(sent);
    for (int field = 1; field < 10; ++field)
      line += QLatin1Char(',') + QString::number(field * 10.0 + (sent % 37) * 0.1);
    port.receive((line + QLatin1Char('\r')).toStdU16String());
    ++sent;
  });
  feeder.start(10);
  QTimer::singleShot(seconds * 1000, qApp, &QCoreApplication::quit);
  QElapsedTimer wall;
  wall.start();
  const double cpuBefore = cpuSeconds();
  QApplication::exec();
  figures.cpuPercent = 100.0 * (cpuSeconds() - cpuBefore) / (static_cast<double>(wall.elapsed()) / 1000.0);
  for (auto& viewer : viewers) {
    viewer->kill();
    viewer->waitForFinished(2000);
  }
  feeder.stop();
  figures.rows = session.interpreter().cycleCount();
  figures.queued = session.publishing().status().queued;
  session.end();
  if (!session.close()) std::exit(3);
  return figures;
}

void report(const char* name, Figures f) {
  std::sort(f.work.begin(), f.work.end());
  std::sort(f.late.begin(), f.late.end());
  std::printf("%-15s rows %6d  tick work p50 %.3f p99 %.3f max %.2f ms   start late p50 %.3f p99 %.3f max %.2f ms\n",
              name, f.rows, at(f.work, 0.5), at(f.work, 0.99), f.work.empty() ? 0.0 : f.work.back(), at(f.late, 0.5),
              at(f.late, 0.99), f.late.empty() ? 0.0 : f.late.back());
  std::printf("%-15s CPU %.1f %% of one core (all the process's threads)\n", "", f.cpuPercent);
  if (f.queued > 0)
    std::printf("%-15s rows left in the MQTT outbox %llu\n", "", static_cast<unsigned long long>(f.queued));
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
  Variant plain, chart, broker, alarms, record, web;
  chart.chart = true;
  // Port 1 on the loopback: refused at once, so the sender retries all along.
  broker.broker = QStringLiteral("mqtt://127.0.0.1:1");
  alarms.alarms = true;
  record.record = true;
  web.viewers = 10;
  const std::vector<std::pair<const char*, Variant>> variants{{"without chart", plain},    {"with chart", chart},
                                                              {"mqtt, no broker", broker}, {"alarms 10 x 3", alarms},
                                                              {"run record", record},      {"web, 10 viewers", web}};
  // Further arguments choose variants by the start of their names ("web", "without").
  for (const auto& [name, variant] : variants) {
    bool chosen = argc <= 2;
    for (int i = 2; i < argc; ++i) chosen = chosen || std::string_view(name).starts_with(argv[i]);
    if (chosen) report(name, runFor(seconds, variant));
  }
  return 0;
}
