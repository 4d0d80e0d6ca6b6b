#include "app/run_control.h"

#include "script/loader.h"
#include "sheet/embedded/embedded_spreadsheet.h"
#include "sheet/embedded/sheet_window.h"
#include "sheet/xls/workbook.h"

#include "fakes/fake_port.h"
#include "fakes/fake_spreadsheet.h"
#include "fakes/manual_clock.h"
#include "fakes/recording_message_boxes.h"

#include <QFile>
#include <QTabBar>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

namespace kestrune::app {
namespace {

using testing::FakePort;
using testing::FakeSpreadsheet;

struct FakeRunHost final : RunHost {
  void hideMainWindow() override { events << QStringLiteral("hideMain"), mainShown = false; }
  void showMainWindow() override { events << QStringLiteral("showMain"), mainShown = true; }
  void loadRunWindow() override {
    events << QStringLiteral("loadRun");
    loaded = true;
    logShown = false;
    nextVisible = false;
    message.clear();
    logText.clear();
  }
  void showRunWindow() override { events << QStringLiteral("showRun"); }
  void closeRunWindow() override {
    events << QStringLiteral("closeRun");
    loaded = false;
  }
  void setRunMessage(const QString& t) override { message = t; }
  void setRunError(const QString& t) override { error = t; }
  void setNextVisible(bool v, bool f) override {
    nextVisible = v;
    nextFocused = v && f;
  }
  void setLogShown(bool s) override { logShown = s; }
  void logAppended(const QString&, const QString& t) override { logText = t; }
  void showAcquisitionNo(const QString& n) override { acquisitionNo = n; }
  void pumpEvents() override {
    ++pumps;
    if (onPump) onPump();
  }
  void showProgress(const RunProgress& p) override { progress.push_back(p); }
  void notifyRunFinished(const QString& summary) override { finished << summary; }

  QStringList events;
  bool mainShown = true, loaded = false, logShown = false, nextVisible = false, nextFocused = false;
  QString message, error, logText, acquisitionNo;
  int pumps = 0;
  std::function<void()> onPump;
  std::vector<RunProgress> progress;
  QStringList finished;
};

class RunControlTest : public ::testing::Test {
protected:
  RunControlTest()
      : logger([](int) { return std::make_unique<FakePort>(); }, settings::SettingsFolder::fixed(dir.path()), boxes,
               clock,
               [this]() -> Result<std::unique_ptr<sheet::SpreadsheetApp>> {
                 return std::unique_ptr<sheet::SpreadsheetApp>(std::make_unique<FakeSpreadsheet>(sheetLog));
               }),
        run(logger, host) {
    book = dir.filePath(QStringLiteral("book.xls"));
    QFile(book).open(QIODevice::WriteOnly);
    logger.setXlsFilePath(book);
    EXPECT_TRUE(logger.workbook().CommandOpen_Click(book));
    logger.setup().measureCount = 100;
    logger.setup().startRow = 1;
    logger.setup().startColNo = 1;
    logger.connectReception();
  }
  FakePort& port() { return static_cast<FakePort&>(logger.port(0)); }
  void tick(std::int32_t ms = 10) {
    clock.advance(ms);
    run.Timer1_Timer();
  }
  void writeScript(const char* text) {
    QFile f(dir.filePath(QStringLiteral("book.txt")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
    logger.setup().setScriptFromFile(true);
  }

  QTemporaryDir dir;
  QString book;
  testing::RecordingMessageBoxes boxes;
  testing::ManualClock clock{5000};
  std::shared_ptr<FakeSpreadsheet::Log> sheetLog = std::make_shared<FakeSpreadsheet::Log>();
  Logger logger;
  FakeRunHost host;
  RunController run;
};

TEST_F(RunControlTest, StartOpensThePortAndTheRunWindowInOrder) {
  run.CommandStart_Click();
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_TRUE(port().portOpen());
  EXPECT_EQ(port().rThreshold, 1);
  EXPECT_EQ(host.events,
            (QStringList{QStringLiteral("hideMain"), QStringLiteral("loadRun"), QStringLiteral("showRun")}));
  EXPECT_TRUE(logger.runActive());
  EXPECT_TRUE(run.runWindowLoaded());
  EXPECT_EQ(run.interpreter().runStartTick(), clock.tickMs());
  EXPECT_EQ(logger.script().stepCount, 4);          // the built-in script
  EXPECT_EQ(sheetLog->calls.back(), "activeCell");  // the cursor was placed
  EXPECT_GE(host.pumps, 1);
}

// A timer tick that lands while events run must never see the window loaded
// with the run not yet active: a runner reads that as a run that has ended.
TEST_F(RunControlTest, NoEventsRunBetweenTheWindowLoadingAndTheRunBecomingActive) {
  int pumpsWhileStarting = 0;
  host.onPump = [&] {
    if (run.runWindowLoaded() && !logger.runActive()) ++pumpsWhileStarting;
  };
  run.CommandStart_Click();
  EXPECT_TRUE(logger.runActive());
  EXPECT_EQ(pumpsWhileStarting, 0);
  EXPECT_GE(host.pumps, 1);
}

TEST_F(RunControlTest, AnotherProgramHoldingTheDeviceIsShownAtStartAndTheRunGoesOn) {
  port().warning = QStringLiteral("Com1（/dev/ttyUSB0）は他のプログラムも開いています：minicom（PID 42）");
  run.CommandStart_Click();
  EXPECT_EQ(host.error, port().warning);
  EXPECT_TRUE(host.logText.contains(port().warning));
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_TRUE(logger.runActive());
}

TEST_F(RunControlTest, PortThatCannotOpenShowsTwoMessagesAndNoRun) {
  port().refuseOpen = true;
  ASSERT_TRUE(port().setCommPort(3).ok());
  run.CommandStart_Click();
  EXPECT_EQ(boxes.texts(), (QStringList{QStringLiteral("通信ポートがオープンできません！"),
                                        QStringLiteral("通信CH3が使用できません！")}));
  EXPECT_TRUE(host.events.isEmpty());
  EXPECT_FALSE(run.runWindowLoaded());
  EXPECT_FALSE(logger.runActive());
}

TEST_F(RunControlTest, ScriptThatCannotLoadStopsWithThePortLeftOpen) {
  logger.setup().setScriptFromFile(true);  // no book.txt
  run.CommandStart_Click();
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_TRUE(boxes.shown[0].text.endsWith(QStringLiteral("がありません")));
  EXPECT_TRUE(port().portOpen());
  EXPECT_FALSE(run.runWindowLoaded());
  // The next Start finds the port open and does not reopen it.
  writeScript("SSS\r\nRCV\r\nSET\r\nEEE\r\n");
  port().incoming = u"stale";
  run.CommandStart_Click();
  EXPECT_EQ(port().openCount, 1);
  EXPECT_TRUE(port().incoming.empty());
  EXPECT_TRUE(run.runWindowLoaded());
}

TEST_F(RunControlTest, ABrokenScriptFileIsIgnoredWhileTheScriptFileIsOff) {
  writeScript("NOT A COMMAND\r\n");
  logger.setup().setScriptFromFile(false);
  run.CommandStart_Click();
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_TRUE(run.runWindowLoaded());
  EXPECT_EQ(logger.script().stepCount, 4);  // the built-in script
}

TEST_F(RunControlTest, ReceivedLinesBecomeRowsAndTheLog) {
  logger.setup().setNumberingOn(true);
  logger.setup().acquisitionNo = 1;
  run.CommandStart_Click();
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

// Once the application stops taking values, the run window says where the
// rows go and stops counting them as written.
TEST_F(RunControlTest, RowsAfterTheWorkbookIsLostAreNotShownAsWritten) {
  run.CommandStart_Click();
  const auto row = [&](const char16_t* line) {
    tick();  // SSS or RCV
    port().receive(line);
    tick();
    tick();
    tick();
  };
  row(u"1,OK\r");
  ASSERT_EQ(run.progress().rowsDone, 1);
  EXPECT_FALSE(run.progress().rowsInWorkbook);
  static_cast<FakeSpreadsheet*>(logger.workbook().application())->failing.insert("all");
  row(u"2,OK\r");
  row(u"3,OK\r");
  EXPECT_EQ(boxes.texts(), QStringList{sheet::MsgAccessLost});
  EXPECT_EQ(run.progress().rowsDone, 3);
  EXPECT_EQ(run.progress().rowsInWorkbook, 1);
  EXPECT_TRUE(rowsText(run.progress()).contains(QStringLiteral("2 行は未書込")))
      << rowsText(run.progress()).toStdString();
  EXPECT_EQ(host.error, MsgRowsOnlyInJournal.arg(logger.workbook().journalPath()));
  // A later port error is shown with it, not instead of it.
  run.setErrorText(QStringLiteral("E"));
  EXPECT_TRUE(host.error.startsWith(QStringLiteral("E\n"))) << host.error.toStdString();
  EXPECT_TRUE(host.error.endsWith(MsgRowsOnlyInJournal.arg(logger.workbook().journalPath())));
}

// A script without SET writes its values when the row ends: a loss there
// leaves that row out of the workbook's count too.
TEST_F(RunControlTest, ARowLostAtItsEndIsNotCountedAsWritten) {
  writeScript("SSS\r\nRCV\r\nEEE\r\n");
  run.CommandStart_Click();
  tick();  // SSS
  port().receive(u"1,OK\r");
  for (int i = 0; i < 3; ++i) tick();
  ASSERT_EQ(run.progress().rowsDone, 1);
  static_cast<FakeSpreadsheet*>(logger.workbook().application())->failing.insert("all");
  port().receive(u"2,OK\r");
  for (int i = 0; i < 3; ++i) tick();
  EXPECT_EQ(run.progress().rowsDone, 2);
  EXPECT_EQ(run.progress().rowsInWorkbook, 1);
}

// Values that could not be kept are counted in the run window, not only in the log.
TEST_F(RunControlTest, DroppedValuesAreShownWithTheirCount) {
  run.CommandStart_Click();
  tick();  // SSS
  std::u16string line;
  for (int i = 0; i < 150; ++i) line += u"1,";
  line.back() = u'\r';
  port().receive(line);
  for (int i = 0; i < 4; ++i) tick();
  EXPECT_EQ(run.interpreter().droppedFields(), 50u);
  EXPECT_EQ(host.error, MsgDropped.arg(0).arg(50));
}

TEST_F(RunControlTest, ElapsedTimeIsMeasuredAcrossTheCounterWrapAround) {
  clock.setTick(2147483647 - 15);
  writeScript("WTM:0.05\r\nCLR\r\n");
  run.CommandStart_Click();
  tick();  // WTM starts: 50 ms
  tick(20);
  tick(20);  // the counter passed its sign boundary
  EXPECT_EQ(run.interpreter().currentStep(), 0);
  tick(20);
  EXPECT_EQ(run.interpreter().currentStep(), 1);
}

TEST_F(RunControlTest, ACounterGoingBackwardsCountsAsNothing) {
  writeScript("WTM:0.05\r\nCLR\r\n");
  run.CommandStart_Click();
  tick();
  const std::int32_t before = logger.script().waitRemainingMs;
  tick(-1000);
  EXPECT_EQ(logger.script().waitRemainingMs, before);
}

TEST_F(RunControlTest, TicksDoNotNestAndNoTimeIsLost) {
  writeScript("WTM:0.1\r\nCLR\r\n");
  run.CommandStart_Click();
  tick();  // the wait starts: 100 ms
  int nested = 0;
  host.onPump = [&] {
    ++nested;
    clock.advance(30);
    run.Timer1_Timer();  // a tick arriving inside the tick: returns at once
  };
  tick();
  host.onPump = nullptr;
  ASSERT_GE(nested, 1);
  EXPECT_EQ(logger.script().waitRemainingMs, 90);  // only the outer tick's 10 ms
  tick(0);                                         // the next tick measures from the outer tick's reading
  EXPECT_EQ(logger.script().waitRemainingMs, 90 - 30 * nested);
  tick(90 - 30 * nested);
  EXPECT_EQ(run.interpreter().currentStep(), 1);
}

TEST_F(RunControlTest, NextClickAndEnterContinueAPausedScript) {
  writeScript("PAU\r\nPAU\r\nCLR\r\n");
  run.CommandStart_Click();
  tick();
  EXPECT_TRUE(host.nextVisible);
  EXPECT_TRUE(host.nextFocused);
  run.CommandNext_KeyPress(32);  // not Enter
  EXPECT_TRUE(run.interpreter().pausedForNext());
  run.CommandNext_Click();
  EXPECT_FALSE(run.interpreter().pausedForNext());
  EXPECT_FALSE(host.nextVisible);
  EXPECT_TRUE(host.message.isEmpty());
  tick();
  EXPECT_TRUE(run.interpreter().pausedForNext());
  run.CommandNext_KeyPress(13);
  EXPECT_FALSE(run.interpreter().pausedForNext());
}

TEST_F(RunControlTest, EndWhilePausedClosesEverything) {
  writeScript("PAU\r\nCLR\r\n");
  run.CommandStart_Click();
  tick();
  run.CommandRsEnd_Click();
  EXPECT_FALSE(run.interpreter().pausedForNext());
  EXPECT_FALSE(host.nextVisible);
  EXPECT_FALSE(run.runWindowLoaded());
  EXPECT_FALSE(logger.runActive());
  EXPECT_FALSE(port().portOpen());
  EXPECT_TRUE(host.mainShown);
  EXPECT_EQ(host.events.mid(host.events.size() - 2),
            (QStringList{QStringLiteral("closeRun"), QStringLiteral("showMain")}));
}

TEST_F(RunControlTest, ClosingTheRunWindowOtherwiseActsAsEnd) {
  run.CommandStart_Click();
  run.Form_Unload();
  EXPECT_FALSE(port().portOpen());
  EXPECT_FALSE(logger.runActive());
  run.Form_Unload();  // a second close does nothing
  EXPECT_EQ(host.events.count(QStringLiteral("showMain")), 1);
}

TEST_F(RunControlTest, ClosingTheWindowDuringAPauseLeavesNoPauseForTheNextRun) {
  writeScript("PAU\r\nWTM:0\r\nCLR\r\n");
  run.CommandStart_Click();
  tick();
  ASSERT_TRUE(run.interpreter().pausedForNext());
  run.Form_Unload();  // the close box, not End
  EXPECT_FALSE(run.interpreter().pausedForNext());
  run.CommandStart_Click();
  EXPECT_FALSE(host.nextVisible);
  tick();
  EXPECT_EQ(run.interpreter().currentStep(), 1);  // the script runs again: paused anew at PAU
  EXPECT_TRUE(host.nextVisible);
}

TEST_F(RunControlTest, TheLongestScriptEndsAfterItsLastStep) {
  std::string script;
  for (std::size_t i = 0; i < script::MaxStepLines; ++i) script += "CLR\r\n";
  writeScript(script.c_str());
  run.CommandStart_Click();
  ASSERT_EQ(logger.script().stepCount, 32767);
  int ticks = 0;
  while (logger.runActive() && ticks < 40000) {
    tick();
    ++ticks;
  }
  EXPECT_FALSE(logger.runActive());
  EXPECT_EQ(ticks, 32768);  // every step, then the empty step after the last
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("スクリプトの処理を終了しました")});
}

TEST_F(RunControlTest, PlacingTheCursorLetsPendingEventsRun) {
  const int before = host.pumps;
  int pumpsInsideStart = 0;
  host.onPump = [&] {
    if (!run.runWindowLoaded()) ++pumpsInsideStart;  // before the run window: getStartCell's
  };
  run.CommandStart_Click();
  EXPECT_GE(pumpsInsideStart, 1);
  EXPECT_GT(host.pumps, before + pumpsInsideStart);  // and the one at the end of Start
}

TEST_F(RunControlTest, FinishedRunWaitsForEndAndTicksDoNothing) {
  writeScript("CLR\r\n");
  run.CommandStart_Click();
  tick();
  tick();
  EXPECT_FALSE(logger.runActive());
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("スクリプトの処理を終了しました")});
  EXPECT_EQ(host.message, QStringLiteral("「終了」ボタンを押して下さい"));
  EXPECT_TRUE(run.runWindowLoaded());
  EXPECT_TRUE(port().portOpen());
  for (int i = 0; i < 10; ++i) tick();
  EXPECT_EQ(boxes.shown.size(), 1u);
}

TEST_F(RunControlTest, ASecondRunStartsWithAFreshWindowAndKeepsTheBufferLeftover) {
  run.CommandStart_Click();
  tick();
  port().receive(u"partial");
  run.CheckLog_Click(true);
  EXPECT_TRUE(host.logShown);
  port().raise(serial::CommEvent::Frame);
  EXPECT_FALSE(host.error.isEmpty());
  run.CommandRsEnd_Click();
  run.CommandStart_Click();
  EXPECT_FALSE(host.logShown);
  EXPECT_TRUE(host.error.isEmpty());
  EXPECT_FALSE(host.nextVisible);
  EXPECT_EQ(cp932::CodeString(logger.reception().lines(0).text()), u"partial");
  port().receive(u"!");  // the error reappears with the next event
  EXPECT_TRUE(host.error.endsWith(QStringLiteral("ﾌﾚｰﾐﾝｸﾞ ｴﾗｰが発生しました。")));
}

TEST_F(RunControlTest, GarbageNulAndFfBytesAreKeptAsTheyCame) {
  run.CommandStart_Click();
  tick();
  tick();
  port().receive(cp932::CodeString{0x00, 0xFF, 0x80, u'a', 0x8540, u',', u'b', u'\r'});
  tick();
  tick();
  // NUL is a control character and is dropped; the rest stays, one cell per field.
  EXPECT_EQ(std::get<QString>(sheetLog->cells.at({1, 1})), QString::fromUtf16(u"\uF8F3\u0080a\uFFFD"));
  EXPECT_EQ(std::get<QString>(sheetLog->cells.at({1, 2})), QStringLiteral("b"));
}

TEST_F(RunControlTest, AnOverlongLineIsDroppedWithAMessageAndReceptionGoesOn) {
  writeScript("RTM:0.5\r\nSSS\r\nRCV\r\nSET\r\nEEE\r\n");
  logger.setup().measureCount = 1;
  run.CommandStart_Click();
  tick();  // RTM
  tick();  // SSS
  // In reads of 1,000 characters, as a fast device gives them: 4,095
  // characters and a line end fit; 10,000 without one never can.
  const auto receiveEach = [this](const cp932::CodeString& text) {
    for (std::size_t i = 0; i < text.size(); i += 1000) port().receive(text.substr(i, 1000));
  };
  receiveEach(cp932::CodeString(10000, u'x') + u"\r");
  EXPECT_TRUE(host.error.endsWith(serial::MsgLineTooLong)) << host.error.toStdString();
  EXPECT_TRUE(logger.reception().lines(0).empty());    // nothing of the long line is left
  receiveEach(cp932::CodeString(4095, u'y') + u"\r");  // the longest line that fits
  for (int i = 0; i < 8; ++i) tick();
  EXPECT_EQ(std::get<QString>(sheetLog->cells.at({1, 1})), QString(4095, QLatin1Char('y')));
  EXPECT_EQ(sheetLog->cells.size(), 1u);
}

TEST_F(RunControlTest, HalfALineAtTheEndOfARunWaitsForTheNextRun) {
  writeScript("SSS\r\nRCV\r\nSET\r\nEEE\r\n");
  logger.setup().measureCount = 1;
  run.CommandStart_Click();
  tick();
  port().receive(u"1\r2");
  for (int i = 0; i < 5; ++i) tick();
  run.CommandRsEnd_Click();
  EXPECT_EQ(cp932::CodeString(logger.reception().lines(0).text()), u"2");
  run.CommandStart_Click();
  tick();
  port().receive(u"3\r");
  tick();
  tick();
  EXPECT_EQ(std::get<QString>(sheetLog->cells.at({2, 1})), QStringLiteral("23"));
}

TEST_F(RunControlTest, ALostDeviceIsLoggedAndTheRunStillEndsByItsTimeLimitAndByEnd) {
  writeScript("SSS\r\nSND:M%CR\r\nRCV\r\nSET\r\nEEE\r\n");
  logger.setup().acquireTimeMs = 1000;
  run.CommandStart_Click();
  run.CheckLog_Click(true);
  tick();                                       // SSS
  port().raise(serial::CommEvent::DeviceLost);  // while the command is being sent
  EXPECT_TRUE(host.error.endsWith(serial::MsgDeviceLost)) << host.error.toStdString();
  EXPECT_TRUE(host.logText.contains(serial::MsgDeviceLost));
  int ticks = 0;
  while (logger.runActive() && ticks < 500) {
    tick();
    ++ticks;
  }
  EXPECT_FALSE(logger.runActive());  // the time limit ended the waiting RCV and the run
  EXPECT_LT(ticks, 200);
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("スクリプトの処理を終了しました")});
  port().raise(serial::CommEvent::DeviceFound);
  EXPECT_TRUE(host.logText.contains(serial::MsgDeviceFound));
  run.CommandRsEnd_Click();
  EXPECT_FALSE(port().portOpen());
  EXPECT_TRUE(host.mainShown);
}

TEST_F(RunControlTest, ProgressFollowsTheRowsAndTheClock) {
  writeScript("SSS\r\nRCV\r\nSET\r\nEEE\r\n");
  logger.setup().measureCount = 3;
  logger.setup().acquireTimeMs = 60000;
  logger.setup().setNumberingOn(true);
  logger.setup().acquisitionNo = 8;
  run.CommandStart_Click();
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
  const RunProgress& p = run.progress();
  EXPECT_EQ(p.rowsDone, 1);
  EXPECT_EQ(p.lastNumber, 8);  // the number apart from the values
  EXPECT_EQ(p.lastValues, (QStringList{QStringLiteral("12.5"), QStringLiteral("OK")}));
  EXPECT_EQ(host.progress.back().rowsDone, 1);  // shown at once, not a second later
  EXPECT_EQ(host.progress.back().lastValues, p.lastValues);
  for (const char16_t* line : {u"1\r", u"2\r"}) {
    port().receive(line);
    for (int i = 0; i < 4 && logger.runActive(); ++i) tick();
  }
  for (int i = 0; i < 4 && logger.runActive(); ++i) tick();
  EXPECT_FALSE(logger.runActive());
  EXPECT_EQ(run.progress().rowsDone, 3);
  EXPECT_EQ(run.progress().permille(), 1000);
  ASSERT_EQ(host.finished.size(), 1u);  // said before the end message waits for OK
  EXPECT_TRUE(host.finished[0].startsWith(QStringLiteral("3 / 3 行 (100%)"))) << host.finished[0].toStdString();
}

// ---- The active sheet holds no cells ----------------------------------------

const QString ChartRefusal = QStringLiteral(
    "シート「グラフ1」はワークシートではありません。データを書き込むワークシートを選んでから開始してください");

// Refused before anything else: no port opened, no cell selected or written,
// no run window. The same Start goes ahead once a worksheet is active, and
// when the application cannot tell, the run goes ahead as well.
// A start row outside the sheet refuses the start with what is wrong with it.
TEST_F(RunControlTest, AStartRowOutsideTheSheetIsRefusedSayingWhichWay) {
  const std::pair<std::int32_t, QString> cases[] = {
      {0, QStringLiteral("開始セルの行 0 は使えません。行は 1 以上にしてください。開始セルを設定し直してください")},
      {-5, QStringLiteral("開始セルの行 -5 は使えません。行は 1 以上にしてください。開始セルを設定し直してください")},
      {65537,
       QStringLiteral(
           "開始セルの行 65537 はワークシートの最終行（65536 行目）を超えています。開始セルを設定し直してください")},
  };
  logger.setup().setStartAtCell(true);
  logger.setup().startCol = "B";
  for (const auto& [row, message] : cases) {
    SCOPED_TRACE(row);
    boxes.shown.clear();
    logger.setup().startRow = row;
    run.CommandStart_Click();
    EXPECT_EQ(boxes.texts(), QStringList{message});
    EXPECT_FALSE(run.runWindowLoaded());
  }
  boxes.shown.clear();
  logger.setup().startRow = 1;
  run.CommandStart_Click();
  EXPECT_TRUE(run.runWindowLoaded()) << boxes.texts().join(QLatin1Char('\n')).toStdString();
  EXPECT_EQ(sheetLog->calls.end()[-2], "selectRange B1");
}

TEST_F(RunControlTest, AnActiveSheetWithoutCellsRefusesTheStartAndTouchesNothing) {
  sheetLog->activeSheet = {QStringLiteral("グラフ1"), false};
  const std::vector<std::string> callsBefore = sheetLog->calls;
  run.CommandStart_Click();
  EXPECT_EQ(boxes.texts(), QStringList{ChartRefusal});
  EXPECT_TRUE(run.startRefusedForSheet());
  EXPECT_FALSE(port().portOpen());
  EXPECT_EQ(sheetLog->calls, callsBefore) << "nothing selected, read or written";
  EXPECT_TRUE(sheetLog->cells.empty());
  EXPECT_TRUE(host.events.isEmpty());
  EXPECT_FALSE(run.runWindowLoaded());
  EXPECT_FALSE(logger.runActive());

  sheetLog->activeSheet = {QStringLiteral("Sheet1"), true};
  run.CommandStart_Click();
  EXPECT_FALSE(run.startRefusedForSheet());
  EXPECT_TRUE(run.runWindowLoaded());
  EXPECT_EQ(boxes.shown.size(), 1u);
}

TEST_F(RunControlTest, AnApplicationThatCannotNameItsSheetStillStarts) {
  static_cast<FakeSpreadsheet*>(logger.workbook().application())->failing.insert("activeSheet");
  sheetLog->activeSheet = {QStringLiteral("グラフ1"), false};  // not asked
  run.CommandStart_Click();
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_TRUE(run.runWindowLoaded());
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
  Logger logger(
      [](int) { return std::make_unique<FakePort>(); }, settings::SettingsFolder::fixed(dir.path()), boxes, clock,
      sheet::embedded::embeddedFactory(boxes, [](const QString&) { return sheet::embedded::SavePrompt::Save; }));
  FakeRunHost host;
  RunController run(logger, host);
  logger.setXlsFilePath(book);
  const Status opened = logger.workbook().CommandOpen_Click(book);
  ASSERT_TRUE(opened) << opened.description().toStdString();
  logger.setup().measureCount = 1;
  logger.connectReception();

  run.CommandStart_Click();
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("シート「Chart1」はワークシートではありません。"
                                                      "データを書き込むワークシートを選んでから開始してください")});
  EXPECT_FALSE(run.runWindowLoaded());
  EXPECT_FALSE(static_cast<FakePort&>(logger.port(0)).portOpen());
  EXPECT_EQ(bytes(), before) << "the file is untouched";

  auto* app = dynamic_cast<sheet::embedded::EmbeddedSpreadsheet*>(logger.workbook().application());
  ASSERT_NE(app, nullptr);
  ASSERT_NE(app->window(), nullptr);
  app->window()->tabs().setCurrentIndex(0);  // the user picks the worksheet "Data"
  run.CommandStart_Click();
  ASSERT_TRUE(run.runWindowLoaded());
  EXPECT_EQ(boxes.shown.size(), 1u);
  static_cast<FakePort&>(logger.port(0)).receive(u"77\r");
  for (int i = 0; i < 8 && logger.runActive(); ++i) {
    clock.advance(10);
    run.Timer1_Timer();
  }
  run.CommandRsEnd_Click();
  ASSERT_TRUE(logger.workbook().CommandClose_Click());
  const auto saved = xls::Workbook::open(QFile::encodeName(book).toStdString());
  ASSERT_TRUE(saved.ok()) << saved.description();
  EXPECT_EQ(saved->activeSheet(), 0u);
  bool written = false;
  for (const auto& [key, cell] : saved->cells(0)) written = written || cell.value == xls::Value(77.0);
  EXPECT_TRUE(written) << "the row went into the worksheet";
}

TEST_F(RunControlTest, ErrorLabelIsNotWrittenWhileTheRunWindowIsClosed) {
  port().raise(serial::CommEvent::Frame);
  EXPECT_TRUE(host.error.isEmpty());
}

}  // namespace
}  // namespace kestrune::app
