// The reception path: what the port read, one receive event per read,
// through onPortEvent into the channel's line assembler, then cut into lines
// and fields by rcvDataGet. Reports bytes per second of 40-byte lines, read
// one line at a time and in bursts of 100 lines.
#include "fakes/fake_port.h"
#include "fakes/manual_clock.h"
#include "script/interpreter.h"
#include "sheet/journal.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QFile>
#include <QTemporaryDir>

namespace {

using namespace kestrune;

struct NullView final : script::RunView {
  void setMessage(const QString&) override {}
  void showNextButton() override {}
  void termAppend(const QString&, int) override {}
  std::int32_t acquisitionNumber() const override { return 0; }
  void writeValue(std::int16_t, const sheet::CellValue&) override {}
  void rowCompleted(const std::vector<sheet::CellValue>&) override {}
  void scriptFinished() override {}
};

// `linesPerRead` 40-byte lines arrive in each read and are all taken.
void receptionPath(benchmark::State& state, int linesPerRead) {
  testing::FakePort* first = nullptr;
  serial::Channels channels([&first](int channel) -> std::unique_ptr<serial::Port> {
    auto made = std::make_unique<testing::FakePort>();
    if (channel == 0) first = made.get();
    return made;
  });
  testing::FakePort& port = *first;
  serial::Reception reception;
  testing::ManualClock clock;
  script::Script script;
  script::initScript(script);
  NullView view;
  script::RunFlag runActive;
  runActive.setActive(true);
  script::Interpreter interpreter(script::RunContext{script, reception, channels, clock, view, runActive});
  QObject::connect(&port, &serial::Port::onComm, &port,
                   [&] { reception.onPortEvent(0, port, runActive.active(), nullptr, clock); });
  // 40 bytes: "+01234.567,+0.00012,OK,2026/12/07,12:00\r"
  const cp932::CodeString line = u"+01234.567,+0.00012,OK,2026/12/07,12:00\r";
  cp932::CodeString read;
  for (int i = 0; i < linesPerRead; ++i) read += line;
  std::int64_t bytes = 0;
  for (auto _ : state) {
    port.receive(read);
    // A row takes 20 of these lines; the rest wait for the next one.
    while (!reception.lines(0).empty()) {
      interpreter.rcvDataGet(0);
      interpreter.resetForStart(0, {});  // empties the values, as EEE does after writing
    }
    bytes += static_cast<std::int64_t>(read.size());
  }
  if (reception.dropped(0).lines != 0) state.SkipWithError("lines dropped");
  state.SetBytesProcessed(bytes);
  state.SetItemsProcessed(state.iterations() * linesPerRead);
}

void BM_ReceptionPath(benchmark::State& state) { receptionPath(state, 1); }
BENCHMARK(BM_ReceptionPath);

void BM_ReceptionBurst(benchmark::State& state) { receptionPath(state, 100); }
BENCHMARK(BM_ReceptionBurst);

// One acquisition row in the journal as a run writes it: ten values, each
// handed to the file as it is written, then the row's end (fdatasync follows on the journal's own thread).
void BM_JournalRow(benchmark::State& state) {
  QTemporaryDir dir;
  const QString book = dir.filePath(QStringLiteral("book.xls"));
  QFile(book).open(QIODevice::WriteOnly);
  sheet::JournalWriter journal;
  if (!journal.open(book)) state.SkipWithError("no journal");
  const sheet::Stamp stamp{QDateTime::currentDateTime(), sheet::Stamp::Kind::DateTime};
  std::int32_t row = 1;
  for (auto _ : state) {
    const sheet::RowStart start{row, 1, row + 1};
    bool written = journal.cell(start, 1, row).ok() && journal.cell(start, 2, stamp).ok();
    for (int column = 3; column <= 10; ++column)
      written = journal.cell(start, column, QStringLiteral("+01234.567")).ok() && written;
    if (!written || !journal.endRow(row + 1, 1, row + 1)) state.SkipWithError("write failed");
    ++row;
  }
  if (!journal.flush()) state.SkipWithError("sync failed");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_JournalRow);

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
