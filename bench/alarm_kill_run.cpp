// One process of the alarm kill replay (alarm_kill_replay.py): a run on the
// built-in spreadsheet application and its journal, fed planted rows as fast
// as its ticks go (a manual clock, 10 ms a tick), until the workbook's rows
// are numbered up to ROWS; then it ends as End ends it. Started again after a
// kill, it recovers the killed run's rows and goes on below them.
//   alarm_kill_run FOLDER BOOK ROWS
// Prints each alarm event as "A <row> <column> <kind> <state>" (the kinds
// as the monitor names them: n h l s), "R <number>" every 100 rows, and
// "DONE" at the end.
#include "app/acquisition_session.h"
#include "app/workbook_tools.h"
#include "core/conf_text.h"
#include "fakes/fake_port.h"
#include "fakes/manual_clock.h"
#include "mqtt/mqtt_settings.h"
#include "sheet/embedded/embedded_spreadsheet.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

using namespace kestrune;

std::uint64_t mixed(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

// The instrument's line for acquisition `n`: three fields for columns B, C
// and D. B wanders through stretches inside, around the high limit (flicker
// inside the margin), around the low one, and across both; C is now and then
// text or empty; D follows a slow wave with a jump now and then.
QString plantedLine(std::uint64_t n) {
  const std::uint64_t h = mixed(n);
  const double unit = static_cast<double>(h % 1000) / 1000.0;
  double b = 0;
  switch ((n / 50) % 4) {
    case 0:
      b = 15 + 10 * unit;
      break;
    case 1:
      b = 29 + 4 * unit;
      break;
    case 2:
      b = 8.5 + 4 * unit;
      break;
    default:
      b = 5 + 30 * unit;
      break;
  }
  QString c = QString::number(static_cast<double>((h >> 10) % 1000) / 10.0, 'f', 1);
  if ((h >> 20) % 20 == 0) c = QStringLiteral("ERR");
  if ((h >> 20) % 97 == 1) c.clear();
  double d = 50 + 20 * std::sin(static_cast<double>(n) / 40.0) + static_cast<double>((h >> 30) % 10) / 10.0;
  if ((h >> 40) % 60 == 0) d += ((h >> 50) % 2 ? 30 : -30);
  return QString::number(b, 'f', 1) + QLatin1Char(',') + c + QLatin1Char(',') + QString::number(d, 'f', 1);
}

char kindLetter(alarm::AlarmKind kind) {
  switch (kind) {
    case alarm::AlarmKind::NotNumber:
      return 'n';
    case alarm::AlarmKind::High:
      return 'h';
    case alarm::AlarmKind::Low:
      return 'l';
    case alarm::AlarmKind::Step:
      return 's';
    case alarm::AlarmKind::Silence:
      return 'q';
  }
  return '?';
}

// Unbuffered, so that a kill loses nothing said before it.
void say(const QByteArray& line) {
  const QByteArray bytes = line + '\n';
  for (qsizetype done = 0; done < bytes.size();) {
    const ssize_t n = ::write(STDOUT_FILENO, bytes.constData() + done, static_cast<std::size_t>(bytes.size() - done));
    if (n <= 0) std::exit(5);
    done += n;
  }
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc != 4) {
    std::fprintf(stderr, "usage: alarm_kill_run FOLDER BOOK ROWS\n");
    return 1;
  }
  const QString folder = QString::fromLocal8Bit(argv[1]);
  const QString book = QString::fromLocal8Bit(argv[2]);
  const std::int32_t rows = std::atoi(argv[3]);
  const bool first = !QFileInfo::exists(book);
  if (first) {
    // The rules, then the workbook under its own name: a kill in between
    // leaves no workbook, and the next process makes both again.
    QSaveFile conf(folder + QLatin1Char('/') + mqtt::ConfFileName);
    if (!conf.open(QIODevice::WriteOnly)) return 4;
    conf.write("[" + conf::workbookSection(book).toUtf8() + "]\n");
    conf.write("alarm.B.high=30\nalarm.B.low=10\nalarm.B.margin=2\n");
    conf.write("alarm.C.high=90\nalarm.C.margin=5\n");
    conf.write("alarm.D.step=10\nalarm.D.margin=3\n");
    const QString made = book + QStringLiteral(".new.xls");
    QFile::remove(made);
    if (!conf.commit() || app::createWorkbook(made) != 0 || !QFile::rename(made, book)) return 4;
  }
  testing::ManualClock clock(1000);
  app::AcquisitionSession session(
      [](int) { return std::make_unique<testing::FakePort>(); }, settings::SettingsFolder::fixed(folder), clock,
      sheet::embedded::embeddedFactory([](const QString&) { return sheet::embedded::SavePrompt::Save; }));
  session.setTickInterval(0);
  settings::Conditions c = session.conditions();
  c.rows = 65535;
  c.acquireTimeMs = 3600000;
  c.numbering = true;
  c.stamp = settings::StampMode::None;
  c.startAtCell = true;
  if (first) {
    c.cursor.column = "A";
    c.cursor.columnNo = 1;
    c.cursor.row = 1;
    c.cursor.acquisitionNo = 1;
  }
  session.setConditions(c);
  session.setWorkbookPath(book);
  QObject::connect(&session, &app::AcquisitionSession::alarmChanged,
                   [](const alarm::AlarmEvent& e, const QString&, int) {
                     say("A " + QByteArray::number(e.row) + ' ' + QByteArray::number(e.column) + ' ' +
                         kindLetter(e.kind) + ' ' + (e.state == alarm::AlarmState::Raised ? "raised" : "cleared"));
                   });
  QObject::connect(&session, &app::AcquisitionSession::message,
                   [](const QString& text, MessageIcon, const QString& informative) {
                     std::fprintf(stderr, "%s %s\n", qPrintable(text), qPrintable(informative));
                   });
  std::uint64_t taken = 0;
  QObject::connect(&session, &app::AcquisitionSession::rowAcquired, [&taken](const AcquiredRow&) { ++taken; });
  if (!session.open()) return 2;
  if (!session.start()) return 3;
  say("S " + QByteArray::number(session.conditions().cursor.acquisitionNo) + ' ' +
      QByteArray::number(session.conditions().cursor.row));
  auto& port = static_cast<testing::FakePort&>(session.port(0));
  while (session.runLoaded()) {
    const std::int32_t number = session.conditions().cursor.acquisitionNo;
    if (number > rows) break;
    if (number % 100 == 0) say("R " + QByteArray::number(number));
    port.receive((plantedLine(static_cast<std::uint64_t>(number)) + QLatin1Char('\r')).toStdU16String());
    const std::uint64_t before = taken;
    for (int tick = 0; tick < 50 && taken == before && session.runLoaded(); ++tick) {
      clock.advance(10);
      session.tick();
      QCoreApplication::processEvents();
    }
    if (taken == before) return 6;  // the line never made a row
  }
  session.end();
  if (!session.close()) return 7;
  say("DONE");
  return 0;
}
