// Several instruments in one run. Each instrument is a thread of this program
// on its own pseudo-terminal; the session opens the terminals through its real
// serial ports and writes into the built-in spreadsheet application, with the
// journal beside the workbook, ticked every 10 ms as in a real run.
//
// Two kinds of instrument, each run with one channel and with eight:
//   query   each answers "Q" at once; the script asks every channel, then takes
//           every answer, ten passes a second (ITM:0.1);
//   stream  each sends a line every 100 ms on its own, all on the same beat
//           (the instruments' own spread is the threads' wake-up jitter); the
//           script takes one line from every channel per row.
// Every line is "n,t": the instrument's running count and the moment it wrote
// the line (ns on the monotonic clock). From the rows the session hands on:
// rows short of a value, lines missing from the rows (a gap in a channel's
// count), the rows in the saved workbook, the skew of a row (latest minus
// earliest t) against the instruments' own spread for the same beat, and the
// tick's work and lateness as tick_bench measures them.
//   QT_QPA_PLATFORM=offscreen ./build-release/bench/channels_bench [seconds per run, default 600]
#include "app/acquisition_session.h"
#include "app/workbook_tools.h"
#include "bench_host.h"
#include "serial/port_map.h"
#include "serial/termios_port.h"
#include "sheet/embedded/embedded_spreadsheet.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <pty.h>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using namespace kestrune;

enum class Kind { Query, Stream };
constexpr std::int64_t BeatNs = 100'000'000;

std::int64_t nowNs() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

// One instrument: the master side of a pseudo-terminal and the thread that
// answers or streams on it. The slave stays open here too, so the instrument
// never sees a hang-up while the session's port is closed.
class Instrument {
public:
  Instrument(Kind kind, std::int64_t firstBeatNs) {
    char name[128] = {};
    if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) std::exit(5);
    path_ = QString::fromLocal8Bit(name);
    thread_ = std::thread([this, kind, firstBeatNs] { kind == Kind::Query ? answer() : stream(firstBeatNs); });
  }
  ~Instrument() {
    stop_ = true;
    thread_.join();
    ::close(master_);
    ::close(slave_);
  }
  const QString& path() const { return path_; }
  // When the line of count n was written (stream: planned beat n's write).
  std::vector<std::int64_t> writtenNs() {
    std::lock_guard lock(mutex_);
    return written_;
  }

private:
  void send(std::int64_t n) {
    const std::int64_t t = nowNs();
    const std::string line = std::to_string(n) + "," + std::to_string(t) + "\r";
    if (::write(master_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return;
    std::lock_guard lock(mutex_);
    written_.push_back(t);
  }
  void answer() {
    std::int64_t n = 0;
    char buffer[256];
    while (!stop_) {
      pollfd p{master_, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const ssize_t got = ::read(master_, buffer, sizeof buffer);
      if (got <= 0) continue;
      for (ssize_t i = 0; i < got; ++i)
        if (buffer[i] == '\r') send(++n);
    }
  }
  void stream(std::int64_t firstBeatNs) {
    for (std::int64_t n = 1; !stop_; ++n) {
      const std::int64_t at = firstBeatNs + (n - 1) * BeatNs;
      const timespec t{static_cast<time_t>(at / 1'000'000'000), static_cast<long>(at % 1'000'000'000)};
      while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr) == EINTR) {
      }
      send(n);
    }
  }

  int master_ = -1;
  int slave_ = -1;
  QString path_;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;
  std::vector<std::int64_t> written_;
  std::thread thread_;
};

QByteArray scriptFor(Kind kind, int channels) {
  QByteArray s;
  const auto line = [&s](const QByteArray& l) { s += l + "\r\n"; };
  if (kind == Kind::Query) line("ITM:0.1");
  line("CHN:1");
  line("SSS");
  if (kind == Kind::Query) {
    for (int c = 1; c <= channels; ++c) {
      line("CHN:" + QByteArray::number(c));
      line("SND:Q%CR");
    }
  }
  for (int c = 1; c <= channels; ++c) {
    line("CHN:" + QByteArray::number(c));
    line("RCV");
  }
  line("SET");
  line("CHN:1");
  line("EEE");
  return s;
}

struct Figures : bench::TickTimes {
  std::vector<double> skew;       // ms, latest minus earliest t of a row
  std::vector<double> ownSpread;  // ms, the instruments' spread of one beat
  int rows = 0, shortRows = 0, mixedRows = 0, rowsInFile = 0;
  std::int64_t missingLines = 0, repeatedLines = 0;
};

double at(std::vector<double> v, double q) {
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

int rowsInWorkbook(const QString& path) {
  char* text = nullptr;
  std::size_t size = 0;
  std::FILE* out = ::open_memstream(&text, &size);
  if (out == nullptr || app::dumpWorkbook(path, out) != 0) std::exit(6);
  std::fclose(out);
  const int lines = static_cast<int>(std::count(text, text + size, '\n'));
  std::free(text);
  return lines;
}

Figures runFor(Kind kind, int channels, int seconds) {
  QTemporaryDir dir;
  const std::int64_t firstBeat = nowNs() + 500'000'000;
  std::vector<std::unique_ptr<Instrument>> instruments;
  QString map;
  for (int c = 0; c < channels; ++c) {
    instruments.push_back(std::make_unique<Instrument>(kind, firstBeat));
    map += QStringLiteral("COM%1=%2\n").arg(c + 1).arg(instruments.back()->path());
  }
  const serial::PortMap portMap = serial::PortMap::parse(map);
  const QString book = dir.filePath(QStringLiteral("book.xls"));
  app::createWorkbook(book);
  QFile script(dir.filePath(QStringLiteral("book.txt")));
  if (!script.open(QIODevice::WriteOnly) || script.write(scriptFor(kind, channels)) < 0) std::exit(4);
  script.close();

  SystemClock clock;
  app::AcquisitionSession session(
      [&portMap](int) { return std::make_unique<serial::TermiosPort>(portMap); },
      settings::SettingsFolder::fixed(dir.path()), clock,
      sheet::embedded::embeddedFactory([](const QString&) { return sheet::embedded::SavePrompt::Save; }));
  QObject::connect(&session, &app::AcquisitionSession::message, qApp,
                   [](const QString& text) { std::fprintf(stderr, "channels_bench: %s\n", qPrintable(text)); });
  session.setPortMap(portMap);
  for (int c = 0; c < channels; ++c) {
    settings::LineSettings line = session.lineSettings(c);
    line.port = c + 1;
    if (!session.applyLineSettings(c, line).ok()) std::exit(2);
  }
  {
    settings::Conditions c = session.conditions();
    c.rows = 10000;
    c.acquireTimeMs = 3600000;
    c.numbering = true;
    c.stamp = settings::StampMode::DateAndTime;
    c.startAtCell = true;
    c.cursor.column = "A";
    c.cursor.row = 1;
    c.scriptFromFile = true;
    session.setConditions(c);
  }
  session.setWorkbookPath(book);
  if (!session.open()) std::exit(2);

  Figures f;
  std::vector<std::int64_t> last(static_cast<std::size_t>(channels), 0);
  std::vector<std::vector<std::int64_t>> counts;  // the count each row holds, by channel
  QObject::connect(&session, &app::AcquisitionSession::rowAcquired, qApp, [&](const AcquiredRow& row) {
    ++f.rows;
    if (row.values.size() != static_cast<std::size_t>(2 * channels)) {
      ++f.shortRows;
      return;
    }
    std::int64_t lo = INT64_MAX, hi = INT64_MIN, firstCount = -1;
    bool mixed = false;
    for (int c = 0; c < channels; ++c) {
      const auto n = static_cast<std::int64_t>(row.values[2 * c].number.value_or(-1));
      const auto t = static_cast<std::int64_t>(row.values[2 * c + 1].number.value_or(0));
      auto& previous = last[static_cast<std::size_t>(c)];
      // Lines before the port opened were discarded by the opening: counting
      // starts at each channel's first line in a row.
      if (previous > 0 && n > previous + 1) f.missingLines += n - previous - 1;
      if (previous > 0 && n <= previous) ++f.repeatedLines;
      previous = n;
      lo = std::min(lo, t);
      hi = std::max(hi, t);
      if (firstCount < 0) firstCount = n;
      mixed = mixed || n != firstCount;
    }
    // The first row may join beats the port's opening cut in two.
    if (mixed && f.rows > 1) ++f.mixedRows;
    f.skew.push_back(static_cast<double>(hi - lo) / 1e6);
  });

  QTimer ticks;
  bench::timeTicks(session, ticks, f);
  if (!session.start()) std::exit(3);
  // A loop of its own: the application's quit would close the sheet window
  // as a user closing the workbook does.
  QEventLoop loop;
  QTimer::singleShot(seconds * 1000, &loop, &QEventLoop::quit);
  loop.exec();
  session.end();
  if (!session.close()) std::exit(3);
  f.rowsInFile = rowsInWorkbook(book);

  if (kind == Kind::Stream && channels > 1) {
    std::vector<std::vector<std::int64_t>> written;
    for (auto& i : instruments) written.push_back(i->writtenNs());
    std::size_t beats = SIZE_MAX;
    for (const auto& w : written) beats = std::min(beats, w.size());
    for (std::size_t b = 0; b < beats; ++b) {
      std::int64_t lo = INT64_MAX, hi = INT64_MIN;
      for (const auto& w : written) {
        lo = std::min(lo, w[b]);
        hi = std::max(hi, w[b]);
      }
      f.ownSpread.push_back(static_cast<double>(hi - lo) / 1e6);
    }
  }
  return f;
}

void report(const char* kind, int channels, const Figures& f) {
  std::printf(
      "%-6s %d ch  rows %5d (in the file %5d)  short %d  lines missing %lld repeated %lld  rows mixing beats %d\n",
      kind, channels, f.rows, f.rowsInFile, f.shortRows, static_cast<long long>(f.missingLines),
      static_cast<long long>(f.repeatedLines), f.mixedRows);
  std::printf("              tick work p50 %.3f p99 %.3f max %.2f ms   start late p50 %.3f p99 %.3f max %.2f ms\n",
              at(f.work, 0.5), at(f.work, 0.99), at(f.work, 1.0), at(f.late, 0.5), at(f.late, 0.99), at(f.late, 1.0));
  if (channels > 1) {
    std::printf("              skew of a row p50 %.3f p99 %.3f max %.2f ms", at(f.skew, 0.5), at(f.skew, 0.99),
                at(f.skew, 1.0));
    if (!f.ownSpread.empty())
      std::printf("   instruments' own spread p50 %.3f p99 %.3f max %.2f ms", at(f.ownSpread, 0.5),
                  at(f.ownSpread, 0.99), at(f.ownSpread, 1.0));
    std::printf("\n");
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 600;
  for (const Kind kind : {Kind::Query, Kind::Stream}) {
    const char* name = kind == Kind::Query ? "query" : "stream";
    for (const int channels : {1, 8}) report(name, channels, runFor(kind, channels, seconds));
  }
  return 0;
}
