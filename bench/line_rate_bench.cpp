// The highest line rate a run keeps up with: an instrument streams lines of
// 1, 3 and 10 fields into a pseudo-terminal, the termios port reads them, and
// the built-in script (SSS, RCV, SET, EEE) writes them on the real 10 ms tick,
// with the acquisition journal beside the workbook. A rate is sustained when
// every line sent reaches the workbook whole and in order, nothing is
// dropped, and the writer was never held up by a full terminal. The search
// doubles the rate until one fails, then halves the gap to within 5 %.
//   ./build-release/bench/line_rate_bench [seconds per trial, default 5]
#include "app/acquisition_session.h"
#include "bench_host.h"
#include "serial/termios_port.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include <pty.h>
#include <unistd.h>

namespace {

using namespace kestrune;
using Steady = std::chrono::steady_clock;

// A spreadsheet that notes the first field of every line, in the order written.
class IdSheet final : public bench::NullSheet {
public:
  IdSheet(std::vector<int>& ids, int fieldsPerLine) : ids_(ids), fields_(fieldsPerLine) {}
  Status setCellValue(std::int32_t, std::int32_t column, const sheet::CellValue& value) override {
    // Lines are never split across rows: a line's id stands every fields_ columns.
    if ((column - 1) % fields_ == 0) ids_.push_back(std::get<QString>(value).toInt());
    return {};
  }

private:
  std::vector<int>& ids_;
  int fields_;
};

struct Trial {
  int sent = 0;
  bool writerKeptUp = true;
  bool complete = false;  // every line written, in order
  std::uint64_t droppedLines = 0;
  std::uint64_t droppedFields = 0;
  bool sustained() const { return writerKeptUp && complete && droppedLines == 0 && droppedFields == 0; }
};

std::string lineText(int id, int fields) {
  std::string line = std::to_string(id);
  for (int j = 1; j < fields; ++j) line += ",+" + std::to_string(20 + j) + ".125";
  return line + "\r";
}

Trial runAt(int fields, int linesPerSecond, int seconds) {
  int master = -1, slave = -1;
  char name[256] = {};
  if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) std::exit(2);
  QTemporaryDir dir;
  serial::PortMap map;
  map.set(1, QString::fromLocal8Bit(name));
  SystemClock clock;
  std::vector<int> ids;
  app::AcquisitionSession session(
      [&map](int) { return std::make_unique<serial::TermiosPort>(map); }, settings::SettingsFolder::fixed(dir.path()),
      clock,
      [&ids, fields]() -> Result<std::unique_ptr<sheet::SpreadsheetApp>> {
        return std::unique_ptr<sheet::SpreadsheetApp>(std::make_unique<IdSheet>(ids, fields));
      });
  session.setPortMap(map);
  {
    settings::Conditions c = session.conditions();
    c.rows = 1000000;
    c.cursor.row = 1;
    c.cursor.columnNo = 1;
    session.setConditions(c);
  }
  // The workbook is a placeholder file: the journal beside it is real.
  const QString book = dir.filePath(QStringLiteral("book.xls"));
  QFile placeholder(book);
  if (!placeholder.open(QIODevice::WriteOnly)) std::exit(2);
  placeholder.close();
  session.setWorkbookPath(book);
  if (!session.open()) std::exit(2);
  // The session's own 10 ms timer ticks the run.
  if (!session.start()) std::exit(3);

  // The instrument: every millisecond, the lines due by then in one write.
  Trial trial;
  std::atomic<bool> writerDone = false;
  std::thread writer([&] {
    const Steady::time_point start = Steady::now();
    const auto length = std::chrono::seconds(seconds);
    while (Steady::now() - start < length) {
      const Steady::time_point now = Steady::now();
      const int due = static_cast<int>(std::chrono::duration<double>(now - start).count() * linesPerSecond);
      std::string chunk;
      for (; trial.sent < due; ++trial.sent) chunk += lineText(trial.sent, fields);
      if (!chunk.empty() && ::write(master, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size()))
        std::exit(4);
      // A write held up by a full terminal: the program did not read in time.
      if (Steady::now() - now > std::chrono::milliseconds(50)) trial.writerKeptUp = false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    writerDone = true;
  });
  // After the writer: wait until the receive buffer stays empty for a while.
  QTimer drain;
  int quiet = 0;
  QObject::connect(&drain, &QTimer::timeout, &drain, [&] {
    if (!writerDone) return;
    quiet = session.reception().lines(0).empty() ? quiet + 1 : 0;
    if (quiet >= 20) QCoreApplication::quit();
  });
  drain.start(20);
  QCoreApplication::exec();
  writer.join();
  trial.droppedLines = session.interpreter().droppedLines().lines;
  trial.droppedFields = session.interpreter().droppedFields();
  session.end();
  static_cast<void>(session.close());  // the placeholder is thrown away
  trial.complete = static_cast<int>(ids.size()) == trial.sent;
  for (std::size_t i = 0; trial.complete && i < ids.size(); ++i) trial.complete = ids[i] == static_cast<int>(i);
  ::close(master);
  ::close(slave);
  return trial;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  for (const int fields : {1, 3, 10}) {
    int good = 0;
    int bad = 0;
    const auto tryRate = [&](int rate) {
      const Trial t = runAt(fields, rate, seconds);
      std::printf("  %2d fields  %6d lines/s  %s (dropped lines %llu, fields %llu%s)\n", fields, rate,
                  t.sustained() ? "kept" : "lost", static_cast<unsigned long long>(t.droppedLines),
                  static_cast<unsigned long long>(t.droppedFields), t.writerKeptUp ? "" : ", writer held up");
      std::fflush(stdout);
      (t.sustained() ? good : bad) = rate;
    };
    for (int rate = 100; bad == 0 && rate <= 100000; rate *= 2) tryRate(rate);
    while (bad > 0 && bad - good > good / 20) tryRate((good + bad) / 2);
    std::printf("%2d fields per line: %d lines/s sustained without loss\n", fields, good);
    std::fflush(stdout);
  }
  return 0;
}
