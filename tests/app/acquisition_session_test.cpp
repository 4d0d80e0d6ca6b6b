#include "app/acquisition_session.h"

#include "mqtt/mqtt_settings.h"
#include "script/loader.h"
#include "sheet/embedded/embedded_spreadsheet.h"
#include "sheet/embedded/sheet_window.h"
#include "sheet/xls/workbook.h"

#include "fakes/conditions.h"
#include "fakes/fake_port.h"
#include "fakes/fake_spreadsheet.h"
#include "fakes/manual_clock.h"
#include "fakes/recording_message_boxes.h"

#include <QCoreApplication>
#include <QFile>
#include <QTabBar>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

namespace kestrune::app {
namespace {

using testing::changeConditions;

using testing::FakePort;
using testing::FakeSpreadsheet;

// What the windows would show: the session's signals, recorded.
struct Observer {
  explicit Observer(AcquisitionSession& session) {
    QObject::connect(&session, &AcquisitionSession::runStarted, &context, [this] {
      events << QStringLiteral("runStarted");
      loaded = true;
      nextVisible = false;
      message.clear();
      logText.clear();
    });
    QObject::connect(&session, &AcquisitionSession::runEnded, &context, [this] {
      events << QStringLiteral("runEnded");
      loaded = false;
    });
    QObject::connect(&session, &AcquisitionSession::scriptMessage, &context, [this](const QString& t) { message = t; });
    QObject::connect(&session, &AcquisitionSession::errorText, &context, [this](const QString& t) { error = t; });
    QObject::connect(&session, &AcquisitionSession::nextWanted, &context, [this](bool v) { nextVisible = v; });
    QObject::connect(&session, &AcquisitionSession::logAppended, &context,
                     [this](const QString&, const QString& t) { logText = t; });
    QObject::connect(&session, &AcquisitionSession::acquisitionNumberChanged, &context,
                     [this](const QString& n) { acquisitionNo = n; });
    QObject::connect(&session, &AcquisitionSession::progressChanged, &context,
                     [this](const RunProgress& p) { progress.push_back(p); });
    QObject::connect(&session, &AcquisitionSession::scriptFinishedSummary, &context,
                     [this](const QString& summary) { finished << summary; });
    QObject::connect(&session, &AcquisitionSession::rowAcquired, &context,
                     [this](const AcquiredRow& row) { rows.push_back(row); });
  }
  QObject context;
  QStringList events;
  bool loaded = false, nextVisible = false;
  QString message, error, logText, acquisitionNo;
  std::vector<RunProgress> progress;
  std::vector<AcquiredRow> rows;
  QStringList finished;
};

class SessionTest : public ::testing::Test {
protected:
  SessionTest()
      : session([](int) { return std::make_unique<FakePort>(); }, settings::SettingsFolder::fixed(dir.path()), clock,
                [this]() -> Result<std::unique_ptr<sheet::SpreadsheetApp>> {
                  return std::unique_ptr<sheet::SpreadsheetApp>(std::make_unique<FakeSpreadsheet>(sheetLog));
                }) {
    book = dir.filePath(QStringLiteral("book.xls"));
    QFile(book).open(QIODevice::WriteOnly);
    session.setTickInterval(0);  // the test ticks
    QObject::connect(&session, &AcquisitionSession::message, &session,
                     [this](const QString& text, MessageIcon icon, const QString& informative) {
                       boxes.show(text, icon, informative);
                     });
    session.setWorkbookPath(book);
    EXPECT_TRUE(session.open());
    changeConditions(session, [&](settings::Conditions& c) { c.rows = 100; });
    changeConditions(session, [&](settings::Conditions& c) { c.cursor.row = 1; });
    changeConditions(session, [&](settings::Conditions& c) { c.cursor.columnNo = 1; });
  }
  FakePort& port() { return static_cast<FakePort&>(session.port(0)); }
  // One tick, then what the tick left for after it (its messages).
  void tick(std::int32_t ms = 10) {
    clock.advance(ms);
    session.tick();
    QCoreApplication::sendPostedEvents();
  }
  void writeScript(const char* text) {
    QFile f(dir.filePath(QStringLiteral("book.txt")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
    changeConditions(session, [&](settings::Conditions& c) { c.scriptFromFile = true; });
  }

  QTemporaryDir dir;
  QString book;
  testing::RecordingMessageBoxes boxes;
  testing::ManualClock clock{5000};
  std::shared_ptr<FakeSpreadsheet::Log> sheetLog = std::make_shared<FakeSpreadsheet::Log>();
  AcquisitionSession session;
  Observer host{session};
};

TEST_F(SessionTest, StartOpensThePortAndTheRunWindowInOrder) {
  session.start();
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_TRUE(port().portOpen());
  EXPECT_EQ(port().rThreshold, 1);
  EXPECT_EQ(host.events, QStringList{QStringLiteral("runStarted")});
  EXPECT_TRUE(session.running());
  EXPECT_TRUE(session.runLoaded());
  EXPECT_EQ(session.interpreter().runStartTick(), clock.tickMs());
  EXPECT_EQ(session.script().stepCount, 4);         // the built-in script
  EXPECT_EQ(sheetLog->calls.back(), "activeCell");  // the cursor was placed
}

// The tick runs no events and waits on nobody: what it has to say (the end
// of the script) goes out once it has returned, and nothing posted before it
// ran inside it.
TEST_F(SessionTest, TheTickRunsNoEventsAndItsMessagesComeAfterIt) {
  writeScript("CLR\r\n");
  ASSERT_TRUE(session.start());
  bool posted = false;
  QTimer::singleShot(0, &session, [&] { posted = true; });
  clock.advance(10);
  session.tick();
  session.tick();
  EXPECT_FALSE(session.running());
  EXPECT_FALSE(posted);
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_EQ(host.message, QStringLiteral("「終了」ボタンを押して下さい"));
  QCoreApplication::processEvents();
  EXPECT_TRUE(posted);
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("スクリプトの処理を終了しました")});
}

TEST_F(SessionTest, AnotherProgramHoldingTheDeviceIsShownAtStartAndTheRunGoesOn) {
  port().warning = QStringLiteral("Com1（/dev/ttyUSB0）は他のプログラムも開いています：minicom（PID 42）");
  session.start();
  EXPECT_EQ(host.error, port().warning);
  EXPECT_TRUE(host.logText.contains(port().warning));
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_TRUE(session.running());
}

TEST_F(SessionTest, PortThatCannotOpenShowsTwoMessagesAndNoRun) {
  port().refuseOpen = true;
  ASSERT_TRUE(port().setCommPort(3).ok());
  session.start();
  EXPECT_EQ(boxes.texts(), (QStringList{QStringLiteral("通信ポートがオープンできません！"),
                                        QStringLiteral("通信CH3が使用できません！")}));
  EXPECT_TRUE(host.events.isEmpty());
  EXPECT_FALSE(session.runLoaded());
  EXPECT_FALSE(session.running());
}

TEST_F(SessionTest, ScriptThatCannotLoadStopsWithThePortLeftOpen) {
  changeConditions(session, [&](settings::Conditions& c) { c.scriptFromFile = true; });  // no book.txt
  session.start();
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_TRUE(boxes.shown[0].text.endsWith(QStringLiteral("がありません")));
  EXPECT_TRUE(port().portOpen());
  EXPECT_FALSE(session.runLoaded());
  // The next Start finds the port open and does not reopen it.
  writeScript("SSS\r\nRCV\r\nSET\r\nEEE\r\n");
  port().incoming = u"stale";
  session.start();
  EXPECT_EQ(port().openCount, 1);
  EXPECT_TRUE(port().incoming.empty());
  EXPECT_TRUE(session.runLoaded());
}

TEST_F(SessionTest, ABrokenScriptFileIsIgnoredWhileTheScriptFileIsOff) {
  writeScript("NOT A COMMAND\r\n");
  changeConditions(session, [&](settings::Conditions& c) { c.scriptFromFile = false; });
  session.start();
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_TRUE(session.runLoaded());
  EXPECT_EQ(session.script().stepCount, 4);  // the built-in script
}

TEST_F(SessionTest, ReceivedLinesBecomeRowsAndTheLog) {
  changeConditions(session, [&](settings::Conditions& c) { c.numbering = true; });
  changeConditions(session, [&](settings::Conditions& c) { c.cursor.acquisitionNo = 1; });
  session.start();
  tick();  // SSS
  tick();  // RCV waits
  port().receive(u"12.5,OK\r");
  tick();
  tick();
  tick();
  EXPECT_EQ(std::get<std::int32_t>(sheetLog->cells.at({1, 1})), 1);
  EXPECT_EQ(std::get<QString>(sheetLog->cells.at({1, 2})), QStringLiteral("12.5"));
  EXPECT_EQ(host.logText, QStringLiteral("○ 12.5,OK\r\n"));
  EXPECT_EQ(host.acquisitionNo, QStringLiteral("2"));
}

// With one channel the log lines are as they always were (above); with more,
// each line of traffic names its channel.
TEST_F(SessionTest, WithSeveralChannelsEachLogLineNamesItsChannel) {
  writeScript("CHN:2\r\nSND:X\r\nCHN:1\r\nSND:Y\r\n");
  ASSERT_TRUE(session.port(1).setPortOpen(true));
  session.start();
  for (int i = 0; i < 6; ++i) tick();
  EXPECT_EQ(host.logText, QStringLiteral("CH2 ● X\r\nCH1 ● Y\r\n"));
  EXPECT_EQ(static_cast<FakePort&>(session.port(1)).sent, "X");
  EXPECT_EQ(port().sent, "Y");

  // The device lost and back on channel 2 is said of channel 2.
  auto& second = static_cast<FakePort&>(session.port(1));
  second.loseDevice();
  EXPECT_TRUE(host.error.startsWith(QStringLiteral("CH2 ")) && host.error.endsWith(serial::MsgDeviceLost))
      << host.error.toStdString();
  EXPECT_TRUE(host.logText.contains(QStringLiteral("CH2 ") + serial::MsgDeviceLost)) << host.logText.toStdString();
  tick();
  EXPECT_EQ(session.progress().channels, (std::vector<RunProgress::Channel>{{0, false}, {1, true}}));
  second.bringDeviceBack();
  tick();
  EXPECT_EQ(session.progress().channels, (std::vector<RunProgress::Channel>{{0, false}, {1, false}}));
}

// Start opens the channels the script names, channel 1 first; one that cannot
// open stops the start, is named by its port, and the channels opened close again.
TEST_F(SessionTest, StartOpensTheChannelsTheScriptNamesOrNone) {
  writeScript("SSS\r\nCHN:3\r\nRCV\r\nCHN:1\r\nRCV\r\nSET\r\nEEE\r\n");
  auto& third = static_cast<FakePort&>(session.port(2));
  ASSERT_TRUE(third.setCommPort(5));
  third.refuseOpen = true;
  EXPECT_FALSE(session.start());
  ASSERT_FALSE(boxes.shown.empty());
  EXPECT_EQ(boxes.shown.back().text, QStringLiteral("通信CH5が使用できません！"));
  for (int channel = 0; channel < serial::ChannelCount; ++channel)
    EXPECT_FALSE(session.port(channel).portOpen()) << "channel " << channel + 1;

  third.refuseOpen = false;
  ASSERT_TRUE(session.start());
  std::vector<int> open;
  for (int channel = 0; channel < serial::ChannelCount; ++channel)
    if (session.port(channel).portOpen()) open.push_back(channel);
  EXPECT_EQ(open, (std::vector<int>{0, 2}));
  session.end();
  for (int channel = 0; channel < serial::ChannelCount; ++channel)
    EXPECT_FALSE(session.port(channel).portOpen()) << "channel " << channel + 1;
}

// One row, built once, reaches every consumer in order: the workbook and its
// journal have it (the cursor below it) before the consumers after them see it.
TEST_F(SessionTest, EveryConsumerTakesTheSameRowAfterTheWorkbook) {
  struct Recorder final : RowConsumer {
    AcquisitionSession* session = nullptr;
    std::vector<std::pair<AcquiredRow, std::int32_t>> taken;  // the row, the cursor then
    void take(const AcquiredRow& row) override { taken.emplace_back(row, session->workbook().cursorRow()); }
  } recorder;
  recorder.session = &session;
  session.addRowConsumer(&recorder);
  sheetLog->activeSheet = {QStringLiteral("Data"), true};
  changeConditions(session, [&](settings::Conditions& c) { c.numbering = true; });
  changeConditions(session, [&](settings::Conditions& c) { c.cursor.acquisitionNo = 2147483647; });  // the number wraps
  changeConditions(session, [&](settings::Conditions& c) { c.stamp = settings::StampMode::Time; });
  sheetLog->active = {4, 3};  // the run starts at the application's active cell
  ASSERT_TRUE(session.start());
  tick();  // SSS
  tick();  // RCV waits
  clock.advance(250);
  port().receive(u"12.5, -3E2 ,OVER\r");
  for (int i = 0; i < 3; ++i) tick();
  ASSERT_EQ(recorder.taken.size(), 1u);
  const auto& [row, cursorThen] = recorder.taken[0];
  EXPECT_EQ(cursorThen, 5);
  EXPECT_EQ(row.sequence, 1u);
  EXPECT_EQ(row.number, 2147483647);
  ASSERT_TRUE(row.stamp);
  EXPECT_EQ(row.stamp->kind, Stamp::Kind::Time);
  EXPECT_EQ(row.sheet, QStringLiteral("Data"));
  EXPECT_EQ(row.row, 4);
  EXPECT_EQ(row.firstColumn, 3);
  EXPECT_EQ(row.leadingCells(), 2);
  EXPECT_EQ(row.values, (std::vector<AcquiredValue>{{QStringLiteral("12.5"), 12.5},
                                                    {QStringLiteral(" -3E2 "), -300.0},
                                                    {QStringLiteral("OVER"), std::nullopt}}));
  EXPECT_EQ(session.workbook().journalRows(), 1);
  ASSERT_EQ(host.rows.size(), 1u);  // the chart's signal: the same row
  EXPECT_EQ(host.rows[0].values, row.values);
  EXPECT_EQ(host.acquisitionNo, QStringLiteral("-2147483648"));
  EXPECT_EQ(host.progress.back().lastNumber, 2147483647);
}

// Once the application stops taking values, the run window says where the
// rows go and stops counting them as written.
TEST_F(SessionTest, RowsAfterTheWorkbookIsLostAreNotShownAsWritten) {
  session.start();
  const auto row = [&](const char16_t* line) {
    tick();  // SSS or RCV
    port().receive(line);
    tick();
    tick();
    tick();
  };
  row(u"1,OK\r");
  ASSERT_EQ(session.progress().rowsDone, 1);
  EXPECT_FALSE(session.progress().rowsInWorkbook);
  static_cast<FakeSpreadsheet*>(session.workbook().application())->failing.insert("all");
  row(u"2,OK\r");
  row(u"3,OK\r");
  EXPECT_EQ(boxes.texts(), QStringList{sheet::MsgAccessLost});
  EXPECT_EQ(session.progress().rowsDone, 3);
  EXPECT_EQ(session.progress().rowsInWorkbook, 1);
  EXPECT_TRUE(rowsText(session.progress()).contains(QStringLiteral("2 行は未書込")))
      << rowsText(session.progress()).toStdString();
  EXPECT_EQ(host.error, MsgRowsOnlyInJournal.arg(session.workbook().journalPath()));
  // A later port error is shown with it, not instead of it.
  port().raise(serial::CommEvent::Frame);
  EXPECT_TRUE(host.error.contains(QStringLiteral("ﾌﾚｰﾐﾝｸﾞ ｴﾗｰが発生しました。\n"))) << host.error.toStdString();
  EXPECT_TRUE(host.error.endsWith(MsgRowsOnlyInJournal.arg(session.workbook().journalPath())));
}

// A script without SET writes its values when the row ends: a loss there
// leaves that row out of the workbook's count too.
TEST_F(SessionTest, ARowLostAtItsEndIsNotCountedAsWritten) {
  writeScript("SSS\r\nRCV\r\nEEE\r\n");
  session.start();
  tick();  // SSS
  port().receive(u"1,OK\r");
  for (int i = 0; i < 3; ++i) tick();
  ASSERT_EQ(session.progress().rowsDone, 1);
  static_cast<FakeSpreadsheet*>(session.workbook().application())->failing.insert("all");
  port().receive(u"2,OK\r");
  for (int i = 0; i < 3; ++i) tick();
  EXPECT_EQ(session.progress().rowsDone, 2);
  EXPECT_EQ(session.progress().rowsInWorkbook, 1);
}

// Values that could not be kept are counted in the run window, not only in the log.
TEST_F(SessionTest, DroppedValuesAreShownWithTheirCount) {
  session.start();
  tick();  // SSS
  std::u16string line;
  for (int i = 0; i < 150; ++i) line += u"1,";
  line.back() = u'\r';
  port().receive(line);
  for (int i = 0; i < 4; ++i) tick();
  EXPECT_EQ(session.interpreter().droppedFields(), 50u);
  EXPECT_EQ(host.error, MsgDropped.arg(0).arg(50));
}

TEST_F(SessionTest, ElapsedTimeIsMeasuredAcrossTheCounterWrapAround) {
  clock.setTick(2147483647 - 15);
  writeScript("WTM:0.05\r\nCLR\r\n");
  session.start();
  tick();  // WTM starts: 50 ms
  tick(20);
  tick(20);  // the counter passed its sign boundary
  EXPECT_EQ(session.interpreter().currentStep(), 0);
  tick(20);
  EXPECT_EQ(session.interpreter().currentStep(), 1);
}

TEST_F(SessionTest, ACounterGoingBackwardsCountsAsNothing) {
  writeScript("WTM:0.05\r\nCLR\r\n");
  session.start();
  tick();
  const std::int32_t before = session.script().waitRemainingMs;
  tick(-1000);
  EXPECT_EQ(session.script().waitRemainingMs, before);
}

TEST_F(SessionTest, NextContinuesAPausedScript) {
  writeScript("PAU\r\nPAU\r\nCLR\r\n");
  std::vector<RunState> states;
  QObject::connect(&session, &AcquisitionSession::stateChanged, &session,
                   [&states](RunState state) { states.push_back(state); });
  session.start();
  tick();
  EXPECT_TRUE(host.nextVisible);
  EXPECT_TRUE(session.pausedForNext());
  EXPECT_EQ(session.state(), RunState::Paused);
  tick();
  EXPECT_EQ(session.interpreter().currentStep(), 1);  // the pause holds the script
  session.next();
  EXPECT_FALSE(session.pausedForNext());
  EXPECT_FALSE(host.nextVisible);
  EXPECT_TRUE(host.message.isEmpty());
  tick();
  EXPECT_TRUE(session.pausedForNext());
  EXPECT_EQ(session.interpreter().currentStep(), 2);
  session.next();
  tick();  // CLR
  tick();  // the script's end
  session.end();
  EXPECT_EQ(states, (std::vector<RunState>{RunState::Running, RunState::Paused, RunState::Running, RunState::Paused,
                                           RunState::Running, RunState::Stopped, RunState::Idle}));
}

TEST_F(SessionTest, EndWhilePausedClosesEverything) {
  writeScript("PAU\r\nCLR\r\n");
  session.start();
  tick();
  session.end();
  EXPECT_FALSE(session.interpreter().pausedForNext());
  EXPECT_FALSE(host.nextVisible);
  EXPECT_FALSE(session.runLoaded());
  EXPECT_FALSE(session.running());
  EXPECT_FALSE(port().portOpen());
  EXPECT_EQ(host.events.constLast(), QStringLiteral("runEnded"));
}

TEST_F(SessionTest, ClosingTheRunWindowOtherwiseActsAsEnd) {
  session.start();
  session.end();
  EXPECT_FALSE(port().portOpen());
  EXPECT_FALSE(session.running());
  session.end();  // a second close does nothing
  EXPECT_EQ(host.events.count(QStringLiteral("runEnded")), 1);
}

TEST_F(SessionTest, ClosingTheWindowDuringAPauseLeavesNoPauseForTheNextRun) {
  writeScript("PAU\r\nWTM:0\r\nCLR\r\n");
  session.start();
  tick();
  ASSERT_TRUE(session.interpreter().pausedForNext());
  session.end();  // the close box, not End
  EXPECT_FALSE(session.interpreter().pausedForNext());
  session.start();
  EXPECT_FALSE(host.nextVisible);
  tick();
  EXPECT_EQ(session.interpreter().currentStep(), 1);  // the script runs again: paused anew at PAU
  EXPECT_TRUE(host.nextVisible);
}

TEST_F(SessionTest, TheLongestScriptEndsAfterItsLastStep) {
  std::string script;
  for (std::size_t i = 0; i < script::MaxStepLines; ++i) script += "CLR\r\n";
  writeScript(script.c_str());
  session.start();
  ASSERT_EQ(session.script().stepCount, 32767);
  int ticks = 0;
  while (session.running() && ticks < 40000) {
    tick();
    ++ticks;
  }
  EXPECT_FALSE(session.running());
  EXPECT_EQ(ticks, 32768);  // every step, then the empty step after the last
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("スクリプトの処理を終了しました")});
}

TEST_F(SessionTest, FinishedRunWaitsForEndAndTicksDoNothing) {
  writeScript("CLR\r\n");
  session.start();
  tick();
  tick();
  EXPECT_FALSE(session.running());
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("スクリプトの処理を終了しました")});
  EXPECT_EQ(host.message, QStringLiteral("「終了」ボタンを押して下さい"));
  EXPECT_TRUE(session.runLoaded());
  EXPECT_TRUE(port().portOpen());
  for (int i = 0; i < 10; ++i) tick();
  EXPECT_EQ(boxes.shown.size(), 1u);
}

TEST_F(SessionTest, ASecondRunStartsWithAFreshWindowAndKeepsTheBufferLeftover) {
  session.start();
  tick();
  port().receive(u"partial");
  port().raise(serial::CommEvent::Frame);
  EXPECT_FALSE(host.error.isEmpty());
  session.end();
  session.start();
  EXPECT_TRUE(host.error.isEmpty());
  EXPECT_FALSE(host.nextVisible);
  EXPECT_EQ(cp932::CodeString(session.reception().lines(0).text()), u"partial");
  port().receive(u"!");  // the error reappears with the next event
  EXPECT_TRUE(host.error.endsWith(QStringLiteral("ﾌﾚｰﾐﾝｸﾞ ｴﾗｰが発生しました。")));
}

TEST_F(SessionTest, GarbageNulAndFfBytesAreKeptAsTheyCame) {
  session.start();
  tick();
  tick();
  port().receive(cp932::CodeString{0x00, 0xFF, 0x80, u'a', 0x8540, u',', u'b', u'\r'});
  tick();
  tick();
  // NUL is a control character and is dropped; the rest stays, one cell per field.
  EXPECT_EQ(std::get<QString>(sheetLog->cells.at({1, 1})), QString::fromUtf16(u"\uF8F3\u0080a\uFFFD"));
  EXPECT_EQ(std::get<QString>(sheetLog->cells.at({1, 2})), QStringLiteral("b"));
}

TEST_F(SessionTest, AnOverlongLineIsDroppedWithAMessageAndReceptionGoesOn) {
  writeScript("RTM:0.5\r\nSSS\r\nRCV\r\nSET\r\nEEE\r\n");
  changeConditions(session, [&](settings::Conditions& c) { c.rows = 1; });
  session.start();
  tick();  // RTM
  tick();  // SSS
  // In reads of 1,000 characters, as a fast device gives them: 4,095
  // characters and a line end fit; 10,000 without one never can.
  const auto receiveEach = [this](const cp932::CodeString& text) {
    for (std::size_t i = 0; i < text.size(); i += 1000) port().receive(text.substr(i, 1000));
  };
  receiveEach(cp932::CodeString(10000, u'x') + u"\r");
  EXPECT_TRUE(host.error.endsWith(serial::MsgLineTooLong)) << host.error.toStdString();
  EXPECT_TRUE(session.reception().lines(0).empty());   // nothing of the long line is left
  receiveEach(cp932::CodeString(4095, u'y') + u"\r");  // the longest line that fits
  for (int i = 0; i < 8; ++i) tick();
  EXPECT_EQ(std::get<QString>(sheetLog->cells.at({1, 1})), QString(4095, QLatin1Char('y')));
  EXPECT_EQ(sheetLog->cells.size(), 1u);
}

TEST_F(SessionTest, HalfALineAtTheEndOfARunWaitsForTheNextRun) {
  writeScript("SSS\r\nRCV\r\nSET\r\nEEE\r\n");
  changeConditions(session, [&](settings::Conditions& c) { c.rows = 1; });
  session.start();
  tick();
  port().receive(u"1\r2");
  for (int i = 0; i < 5; ++i) tick();
  session.end();
  EXPECT_EQ(cp932::CodeString(session.reception().lines(0).text()), u"2");
  session.start();
  tick();
  port().receive(u"3\r");
  tick();
  tick();
  EXPECT_EQ(std::get<QString>(sheetLog->cells.at({2, 1})), QStringLiteral("23"));
}

TEST_F(SessionTest, ALostDeviceIsLoggedAndTheRunStillEndsByItsTimeLimitAndByEnd) {
  writeScript("SSS\r\nSND:M%CR\r\nRCV\r\nSET\r\nEEE\r\n");
  changeConditions(session, [&](settings::Conditions& c) { c.acquireTimeMs = 1000; });
  session.start();
  tick();                                       // SSS
  port().raise(serial::CommEvent::DeviceLost);  // while the command is being sent
  EXPECT_TRUE(host.error.endsWith(serial::MsgDeviceLost)) << host.error.toStdString();
  EXPECT_TRUE(host.logText.contains(serial::MsgDeviceLost));
  int ticks = 0;
  while (session.running() && ticks < 500) {
    tick();
    ++ticks;
  }
  EXPECT_FALSE(session.running());  // the time limit ended the waiting RCV and the run
  EXPECT_LT(ticks, 200);
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("スクリプトの処理を終了しました")});
  port().raise(serial::CommEvent::DeviceFound);
  EXPECT_TRUE(host.logText.contains(serial::MsgDeviceFound));
  session.end();
  EXPECT_FALSE(port().portOpen());
  EXPECT_FALSE(host.loaded);
}

TEST_F(SessionTest, ProgressFollowsTheRowsAndTheClock) {
  writeScript("SSS\r\nRCV\r\nSET\r\nEEE\r\n");
  changeConditions(session, [&](settings::Conditions& c) { c.rows = 3; });
  changeConditions(session, [&](settings::Conditions& c) { c.acquireTimeMs = 60000; });
  changeConditions(session, [&](settings::Conditions& c) { c.numbering = true; });
  changeConditions(session, [&](settings::Conditions& c) { c.cursor.acquisitionNo = 8; });
  session.start();
  ASSERT_FALSE(host.progress.empty());
  EXPECT_EQ(host.progress.back().rowsDone, 0);
  EXPECT_EQ(host.progress.back().remainingMs(), 60000);
  const std::size_t before = host.progress.size();
  for (int i = 0; i < 50; ++i) tick();  // half a second: the same second, nothing new to show
  EXPECT_EQ(host.progress.size(), before);
  tick(600);  // into the next second
  EXPECT_EQ(host.progress.back().elapsedMs, 1100);
  port().receive(u"12.5,OK\r");
  for (int i = 0; i < 4; ++i) tick();
  const RunProgress& p = session.progress();
  EXPECT_EQ(p.rowsDone, 1);
  EXPECT_EQ(p.lastNumber, 8);  // the number apart from the values
  EXPECT_EQ(p.lastValues, (QStringList{QStringLiteral("12.5"), QStringLiteral("OK")}));
  EXPECT_EQ(host.progress.back().rowsDone, 1);  // shown at once, not a second later
  EXPECT_EQ(host.progress.back().lastValues, p.lastValues);
  for (const char16_t* line : {u"1\r", u"2\r"}) {
    port().receive(line);
    for (int i = 0; i < 4 && session.running(); ++i) tick();
  }
  for (int i = 0; i < 4 && session.running(); ++i) tick();
  EXPECT_FALSE(session.running());
  EXPECT_EQ(session.progress().rowsDone, 3);
  EXPECT_EQ(session.progress().permille(), 1000);
  ASSERT_EQ(host.finished.size(), 1u);  // said before the end message waits for OK
  EXPECT_TRUE(host.finished[0].startsWith(QStringLiteral("3 / 3 行 (100%)"))) << host.finished[0].toStdString();
}

// ---- Stamps and the wall clock ------------------------------------------------

// The wall clock stepping between rows (since the start for the first) is
// noted in the log with its size and direction, and said as a signal before
// the row goes out; under a second it is no step. The time limit keeps to the
// monotonic clock. The stamps follow stamp-precision, read at the start.
TEST_F(SessionTest, ClockStepsAreNotedAndTheTimeLimitIgnoresThem) {
  ASSERT_TRUE(run_options::writeConf(dir.filePath(mqtt::ConfFileName), {true, false, false}));
  changeConditions(session, [&](settings::Conditions& c) { c.acquireTimeMs = 60000; });
  changeConditions(session, [&](settings::Conditions& c) { c.stamp = settings::StampMode::Time; });
  std::vector<std::tuple<qint64, QDateTime, std::size_t>> steps;  // with the rows out before it
  QObject::connect(&session, &AcquisitionSession::clockStepped, &host.context,
                   [&](qint64 ms, const QDateTime& at) { steps.emplace_back(ms, at, host.rows.size()); });
  const std::pair<qint64, const char*> cases[] = {{5000, "時計が 5.000 秒進みました（%1 に検出）"},
                                                  {-3250, "時計が 3.250 秒戻りました（%1 に検出）"},
                                                  {999, nullptr},
                                                  {-999, nullptr},
                                                  {1000, "時計が 1.000 秒進みました（%1 に検出）"}};
  ASSERT_TRUE(session.start());
  tick();  // SSS
  for (const auto& [stepMs, noted] : cases) {
    const std::size_t before = steps.size();
    clock.setNow(clock.now().addMSecs(stepMs));
    port().receive(u"1\r");
    for (int i = 0; i < 4; ++i) tick();
    ASSERT_EQ(steps.size(), before + (noted ? 1 : 0)) << stepMs;
    ASSERT_TRUE(host.rows.back().stamp && host.rows.back().stamp->milliseconds);
    if (!noted) continue;
    const auto& [ms, at, rowsOut] = steps.back();
    EXPECT_EQ(ms, stepMs);
    EXPECT_EQ(rowsOut, host.rows.size() - 1) << "said before its row";
    EXPECT_TRUE(at.msecsTo(clock.now()) >= 0 && at.msecsTo(clock.now()) <= 40) << "during the row's ticks";
    const QString line = QString::fromUtf8(noted).arg(at.toString(QStringLiteral("yyyy/MM/dd H:mm:ss.zzz")));
    EXPECT_TRUE(host.logText.contains(line)) << host.logText.toStdString();
  }
  EXPECT_TRUE(session.running()) << "the ticks are within the minute, whatever the wall clock did";
}

// ---- The active sheet holds no cells ----------------------------------------

const QString ChartRefusal = QStringLiteral(
    "シート「グラフ1」はワークシートではありません。データを書き込むワークシートを選んでから開始してください");

// Refused before anything else: no port opened, no cell selected or written,
// no run window. The same Start goes ahead once a worksheet is active, and
// when the application cannot tell, the run goes ahead as well.
// A start row outside the sheet refuses the start with what is wrong with it.
TEST_F(SessionTest, AStartRowOutsideTheSheetIsRefusedSayingWhichWay) {
  const std::pair<std::int32_t, QString> cases[] = {
      {0, QStringLiteral("開始セルの行 0 は使えません。行は 1 以上にしてください。開始セルを設定し直してください")},
      {-5, QStringLiteral("開始セルの行 -5 は使えません。行は 1 以上にしてください。開始セルを設定し直してください")},
      {65537,
       QStringLiteral(
           "開始セルの行 65537 はワークシートの最終行（65536 行目）を超えています。開始セルを設定し直してください")},
  };
  changeConditions(session, [&](settings::Conditions& c) { c.startAtCell = true; });
  changeConditions(session, [&](settings::Conditions& c) { c.cursor.column = "B"; });
  for (const auto& [row, message] : cases) {
    SCOPED_TRACE(row);
    boxes.shown.clear();
    changeConditions(session, [&](settings::Conditions& c) { c.cursor.row = row; });
    session.start();
    EXPECT_EQ(boxes.texts(), QStringList{message});
    EXPECT_FALSE(session.runLoaded());
  }
  boxes.shown.clear();
  changeConditions(session, [&](settings::Conditions& c) { c.cursor.row = 1; });
  session.start();
  EXPECT_TRUE(session.runLoaded()) << boxes.texts().join(QLatin1Char('\n')).toStdString();
  EXPECT_EQ(sheetLog->calls.end()[-2], "selectRange B1");
}

TEST_F(SessionTest, AnActiveSheetWithoutCellsRefusesTheStartAndTouchesNothing) {
  sheetLog->activeSheet = {QStringLiteral("グラフ1"), false};
  const std::vector<std::string> callsBefore = sheetLog->calls;
  session.start();
  EXPECT_EQ(boxes.texts(), QStringList{ChartRefusal});
  EXPECT_TRUE(session.startRefusedForSheet());
  EXPECT_FALSE(port().portOpen());
  EXPECT_EQ(sheetLog->calls, callsBefore) << "nothing selected, read or written";
  EXPECT_TRUE(sheetLog->cells.empty());
  EXPECT_TRUE(host.events.isEmpty());
  EXPECT_FALSE(session.runLoaded());
  EXPECT_FALSE(session.running());

  sheetLog->activeSheet = {QStringLiteral("Sheet1"), true};
  session.start();
  EXPECT_FALSE(session.startRefusedForSheet());
  EXPECT_TRUE(session.runLoaded());
  EXPECT_EQ(boxes.shown.size(), 1u);
}

TEST_F(SessionTest, AnApplicationThatCannotNameItsSheetStillStarts) {
  static_cast<FakeSpreadsheet*>(session.workbook().application())->failing.insert("activeSheet");
  sheetLog->activeSheet = {QStringLiteral("グラフ1"), false};  // not asked
  session.start();
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_TRUE(session.runLoaded());
}

// The built-in application with a workbook whose chart sheet is active: Start
// is refused and the file keeps its bytes; the user picks the worksheet in
// the sheet window and the next Start runs and writes there.
TEST(EmbeddedStartTest, AChartSheetRefusesTheStartUntilTheUserPicksAWorksheet) {
  QTemporaryDir dir;
  const QString book = dir.filePath(QStringLiteral("book.xls"));
  ASSERT_TRUE(QFile::copy(QStringLiteral(KESTRUNE_XLS_TEST_DATA "/corpus/chart_sheet_active.xls"), book));
  QFile::setPermissions(book, QFile::ReadOwner | QFile::WriteOwner);
  auto bytes = [&] {
    QFile f(book);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  };
  const QByteArray before = bytes();
  testing::RecordingMessageBoxes boxes;
  testing::ManualClock clock{5000};
  AcquisitionSession session(
      [](int) { return std::make_unique<FakePort>(); }, settings::SettingsFolder::fixed(dir.path()), clock,
      sheet::embedded::embeddedFactory([](const QString&) { return sheet::embedded::SavePrompt::Save; }));
  session.setTickInterval(0);
  QObject::connect(&session, &AcquisitionSession::message, &session,
                   [&boxes](const QString& text, MessageIcon icon, const QString& informative) {
                     boxes.show(text, icon, informative);
                   });
  session.setWorkbookPath(book);
  ASSERT_TRUE(session.open()) << boxes.texts().join(QLatin1Char('|')).toStdString();
  changeConditions(session, [&](settings::Conditions& c) { c.rows = 1; });

  session.start();
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("シート「Chart1」はワークシートではありません。"
                                                      "データを書き込むワークシートを選んでから開始してください")});
  EXPECT_FALSE(session.runLoaded());
  EXPECT_FALSE(static_cast<FakePort&>(session.port(0)).portOpen());
  EXPECT_EQ(bytes(), before) << "the file is untouched";

  auto* app = dynamic_cast<sheet::embedded::EmbeddedSpreadsheet*>(session.workbook().application());
  ASSERT_NE(app, nullptr);
  ASSERT_NE(app->window(), nullptr);
  app->window()->tabs().setCurrentIndex(0);  // the user picks the worksheet "Data"
  session.start();
  ASSERT_TRUE(session.runLoaded());
  EXPECT_EQ(boxes.shown.size(), 1u);
  static_cast<FakePort&>(session.port(0)).receive(u"77\r");
  for (int i = 0; i < 8 && session.running(); ++i) {
    clock.advance(10);
    session.tick();
  }
  session.end();
  ASSERT_TRUE(session.close());
  const auto saved = xls::Workbook::open(QFile::encodeName(book).toStdString());
  ASSERT_TRUE(saved.ok()) << saved.description();
  EXPECT_EQ(saved->activeSheet(), 0u);
  bool written = false;
  for (const auto& [key, cell] : saved->cells(0)) written = written || cell.value == xls::Value(77.0);
  EXPECT_TRUE(written) << "the row went into the worksheet";
}

TEST_F(SessionTest, ErrorLabelIsNotWrittenWhileTheRunWindowIsClosed) {
  port().raise(serial::CommEvent::Frame);
  EXPECT_TRUE(host.error.isEmpty());
}

// A column's header: the text of the cell asked for while the workbook is
// open; a number there, a row above the first, a read that fails, a workbook
// the application stopped answering for and a closed one all give none, and
// none of them is said.
TEST_F(SessionTest, HeaderTextIsTheCellsTextWhileTheWorkbookIsOpen) {
  auto& cells = sheetLog->sheets[QStringLiteral("Sheet1")];
  cells[{1, 4}] = QStringLiteral("D 温度");
  cells[{1, 5}] = std::int32_t{7};
  auto* fake = static_cast<FakeSpreadsheet*>(session.workbook().application());
  const std::tuple<const char*, std::function<void()>, std::int32_t, std::int32_t, const char*> cases[] = {
      {"text", [] {}, 1, 4, "D 温度"},
      {"number", [] {}, 1, 5, ""},
      {"blank", [] {}, 1, 6, ""},
      {"row 0", [] {}, 0, 4, ""},
      {"the read fails", [&] { fake->failing.insert("cellText"); }, 1, 4, ""},
      // The start finds the application lost: the connection holds it, not open.
      {"access lost",
       [&] {
         fake->failing = {"activeCell"};
         ASSERT_FALSE(session.start());
         ASSERT_FALSE(session.workbookOpen());
         fake->failing.clear();
       },
       1, 4, ""},
      {"the workbook closed", [&] { ASSERT_TRUE(session.close()); }, 1, 4, ""},
  };
  for (const auto& [what, before, row, column, expected] : cases) {
    before();
    QCoreApplication::sendPostedEvents();
    const std::size_t shown = boxes.shown.size();
    EXPECT_EQ(session.headerText(row, column), QString::fromUtf8(expected)) << what;
    QCoreApplication::sendPostedEvents();
    EXPECT_EQ(boxes.shown.size(), shown) << what;
  }
  EXPECT_TRUE(host.error.isEmpty());
}

}  // namespace
}  // namespace kestrune::app

namespace kestrune::app {
namespace {

// A run started six rows above the sheet's end: with full-sheet=end it stops
// at the last row; with continue its rows go on at the top of a new sheet,
// numbered without a gap; a workbook that cannot take a sheet ends the run
// with a message of its own.
TEST_F(SessionTest, AFullSheetEndsTheRunOrGoesOnInANewSheet) {
  const QString first = QStringLiteral("Sheet1"), next = QStringLiteral("Sheet1 (2)");
  const struct {
    const char* conf;
    bool refused;
    int rows;
    QStringList messages;
  } cases[] = {
      {"full-sheet=end\n", false, 7, {sheet::MsgSheetFull.arg(65536)}},
      {"full-sheet=continue\n", false, 10, {}},
      {"full-sheet=continue\n", true, 7, {sheet::MsgSheetNotAdded.arg(65536).arg("failed: addSheet")}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.conf + std::string(c.refused ? " refused" : ""));
    QFile conf(dir.filePath(QStringLiteral("kestrune.conf")));
    ASSERT_TRUE(conf.open(QIODevice::WriteOnly) && conf.write(c.conf) > 0);
    conf.close();
    *sheetLog = FakeSpreadsheet::Log{};
    boxes.shown.clear();
    host.rows.clear();
    changeConditions(session, [&](settings::Conditions& s) {
      s.startAtCell = s.numbering = true;
      s.cursor = RunCursor{QStringLiteral("A"), 65530, 1, 1};
    });
    static_cast<FakeSpreadsheet*>(session.workbook().application())->failing = {c.refused ? "addSheet" : ""};
    ASSERT_TRUE(session.start());
    for (int line = 1; line <= 10 && session.running(); ++line) {
      tick();  // SSS or RCV
      port().receive(QStringLiteral("%1\r").arg(line * 10).toStdU16String());
      for (int i = 0; i < 3; ++i) tick();
    }
    session.end();
    ASSERT_EQ(static_cast<int>(host.rows.size()), c.rows);
    for (int i = 0; i < c.rows; ++i) {
      const AcquiredRow& row = host.rows[static_cast<std::size_t>(i)];
      EXPECT_EQ(row.number, i + 1);
      EXPECT_EQ(std::make_pair(row.sheet, row.row),
                i < 7 ? std::make_pair(first, 65530 + i) : std::make_pair(next, i - 6));
      const std::pair<int, int> cell{row.row, 2};
      EXPECT_EQ(sheetLog->sheets[row.sheet][cell], sheet::CellValue(QString::number((i + 1) * 10)));
    }
    const bool continued = c.rows > 7;
    EXPECT_EQ(sheetLog->sheetOrder, continued ? QStringList({first, next}) : QStringList({first}));
    EXPECT_EQ(boxes.texts(), c.messages);
    EXPECT_EQ(session.sheetFull(), !continued);
    EXPECT_EQ(host.progress.back().sheet, continued ? next : QString());
    EXPECT_EQ(session.conditions().cursor.row, continued ? 4 : 65537);
  }
}

}  // namespace
}  // namespace kestrune::app
