#include "script/interpreter.h"

#include "fakes/fake_port.h"
#include "fakes/manual_clock.h"
#include "fakes/recording_message_boxes.h"
#include "script/syntax.h"
#include "serial/termios_port.h"

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace kestrune::script {
namespace {

using cp932::CodeString;
using testing::FakePort;

// The session's part as the interpreter sees it: values go into the cursor
// row (the setup's start cell), a completed row moves the cursor down and the
// number on, and the end of the script is said in a box.
struct FakeRunView final : RunView {
  FakeRunView(settings::Conditions& s, testing::RecordingMessageBoxes& b) : setup(s), boxes(b) {}
  void setMessage(const QString& t) override { message = t; }
  void showNextButton() override { ++nextShown; }
  void termAppend(const QString& line, int channel) override {
    log << line;
    channels.push_back(channel);
  }
  std::int32_t acquisitionNumber() const override { return setup.cursor.acquisitionNo; }
  void writeValue(std::int16_t offset, const sheet::CellValue& value) override {
    cells[{setup.cursor.row, setup.cursor.columnNo + offset}] = value;
    ++writes;
  }
  void rowCompleted(const std::vector<sheet::CellValue>& values) override {
    rows.push_back(values);
    ++setup.cursor.row;
    if (setup.numbering) setup.cursor.acquisitionNo = nextAcquisitionNumber(setup.cursor.acquisitionNo);
  }
  void scriptFinished() override { boxes.show(MsgScriptFinished); }
  settings::Conditions& setup;
  testing::RecordingMessageBoxes& boxes;
  std::map<std::pair<int, int>, sheet::CellValue> cells;
  QString message;
  std::vector<std::vector<sheet::CellValue>> rows;
  QStringList log;
  std::vector<int> channels;  // of each log line
  int nextShown = 0;
  int writes = 0;
};

class InterpreterTest : public ::testing::Test {
protected:
  InterpreterTest() : interp(RunContext{script, reception, channels, clock, view, runActive}) {
    static_cast<void>(port.setPortOpen(true));
    setup.cursor.row = 1;
    setup.cursor.columnNo = 1;
    setup.rows = 10;
    initScript(script);
  }

  // Installs the script lines as the loader would.
  void load(const std::vector<const char*>& lines) {
    script.scriptSteps.assign(lines.size() + 1, ScriptStep{});
    std::size_t i = 0;
    for (const char* line : lines) ASSERT_TRUE(parseScriptLine(script.scriptSteps, i++, cp932::fromUtf8(line))) << line;
    script.stepCount = static_cast<std::int16_t>(lines.size());
  }
  // The run takes the acquisition conditions as they are now.
  void reset() { interp.resetForStart(clock.tickMs(), RunSettings::from(setup)); }
  void start() {
    reset();
    runActive.setActive(true);
  }
  // One timer tick after `ms` milliseconds.
  void tick(std::int32_t ms = 10) {
    clock.advance(ms);
    interp.countDown(ms);
    interp.loopProg();
  }
  void answer(const char* utf8) { reception.lines(0).append(cp932::fromUtf8(utf8), script.endCode[0]); }
  // What channel 0 holds becomes `text`.
  void hold(const CodeString& text) {
    reception.lines(0).clear();
    reception.lines(0).append(text, script.endCode[0]);
  }
  CodeString held() const { return CodeString(reception.lines(0).text()); }
  QString cell(int row, int column) {
    const auto it = view.cells.find({row, column});
    if (it == view.cells.end()) return QStringLiteral("<empty>");
    if (const auto* text = std::get_if<QString>(&it->second)) return *text;
    if (const auto* number = std::get_if<std::int32_t>(&it->second)) return QStringLiteral("#%1").arg(*number);
    return QStringLiteral("<stamp>");
  }

  settings::Conditions setup;
  testing::RecordingMessageBoxes boxes;
  testing::ManualClock clock{1000};
  std::array<FakePort*, serial::ChannelCount> fakes{};
  serial::Channels channels{[this](int channel) -> std::unique_ptr<serial::Port> {
    auto made = std::make_unique<FakePort>();
    fakes[static_cast<std::size_t>(channel)] = made.get();
    return made;
  }};
  FakePort& port = *fakes[0];
  serial::Reception reception;
  Script script;
  FakeRunView view{setup, boxes};
  RunFlag runActive;
  Interpreter interp;
};

TEST_F(InterpreterTest, WorkedExampleTickByTick) {
  load({"ITM:5", "SSS", "SND:M%CR", "RCV", "SET", "EEE"});
  setup.rows = 2;
  start();
  tick();  // 1: ITM
  EXPECT_EQ(script.intervalMs, 5000);
  EXPECT_EQ(interp.currentStep(), 1);
  tick();  // 2: SSS
  EXPECT_EQ(interp.intervalRemainingMs(), 5000);
  EXPECT_EQ(script.loopStartStep, 2);
  EXPECT_EQ(interp.currentStep(), 2);
  tick();  // 3: SND
  EXPECT_EQ(port.sent, "M\r");
  EXPECT_EQ(view.message, QStringLiteral("ｽｸﾘﾌﾟﾄNo.2:SND"));
  EXPECT_EQ(view.log.last(), QStringLiteral("● M\r"));
  EXPECT_EQ(script.waitRemainingMs, 2000);
  EXPECT_EQ(interp.stepPhase(), 1);
  tick();  // 4: output buffer empty
  EXPECT_EQ(interp.currentStep(), 3);
  tick();  // 5: RCV, nothing yet
  EXPECT_EQ(view.message, QStringLiteral("ｽｸﾘﾌﾟﾄNo.3:RCV"));
  EXPECT_EQ(script.waitRemainingMs, 9999000);
  EXPECT_EQ(interp.stepPhase(), 1);
  tick();
  tick();
  EXPECT_EQ(interp.currentStep(), 3);  // still polling
  answer("12.5,OK\r");
  tick();
  EXPECT_EQ(interp.currentStep(), 4);
  EXPECT_EQ(view.log.last(), QStringLiteral("○ 12.5,OK\r"));
  tick();  // SET
  EXPECT_EQ(cell(1, 1), QStringLiteral("12.5"));
  EXPECT_EQ(cell(1, 2), QStringLiteral("OK"));
  EXPECT_EQ(interp.currentStep(), 5);
  int eeeTicks = 0;
  while (interp.currentStep() == 5) {
    tick();
    ++eeeTicks;
    if (interp.currentStep() == 5) {
      EXPECT_EQ(view.message, QStringLiteral("ｽｸﾘﾌﾟﾄNo.5:EEE"));
    }
    ASSERT_LT(eeeTicks, 1000);
  }
  // The interval started at tick 2; the first EEE ran at tick 10.
  EXPECT_EQ(eeeTicks, 500 - 8 + 1);
  EXPECT_EQ(interp.cycleCount(), 1);
  EXPECT_EQ(interp.currentStep(), 2);
  EXPECT_EQ(setup.cursor.row, 2);

  tick();  // SND
  tick();
  tick();  // RCV
  answer("13.0,NG\r");
  tick();
  tick();  // SET
  EXPECT_EQ(cell(2, 1), QStringLiteral("13.0"));
  while (interp.currentStep() == 5) tick();
  EXPECT_EQ(interp.cycleCount(), 2);
  EXPECT_TRUE(interp.endRequested());
  EXPECT_EQ(interp.currentStep(), 6);
  EXPECT_EQ(view.message, QStringLiteral("終了処理中！"));
  EXPECT_EQ(setup.cursor.row, 3);
  EXPECT_TRUE(runActive);
  EXPECT_TRUE(boxes.shown.empty());
  tick();  // the empty step, then the end
  EXPECT_FALSE(runActive);
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("スクリプトの処理を終了しました")});
  EXPECT_EQ(view.message, QStringLiteral("「終了」ボタンを押して下さい"));
  tick();  // finished: ticks do nothing
  EXPECT_EQ(boxes.shown.size(), 1u);
}

TEST_F(InterpreterTest, BuiltInScriptWritesOneRowPerLine) {
  setup.rows = 2;
  setup.numbering = true;
  setup.cursor.acquisitionNo = 7;
  start();
  tick();  // SSS
  tick();  // RCV waits
  answer("1,2\r");
  tick();
  tick();  // SET
  answer("3\r");
  tick();  // EEE: the late line joins the row
  EXPECT_EQ(cell(1, 1), QStringLiteral("#7"));
  EXPECT_EQ(cell(1, 2), QStringLiteral("1"));
  EXPECT_EQ(cell(1, 4), QStringLiteral("3"));
  EXPECT_EQ(setup.cursor.acquisitionNo, 8);
  answer("4\r");
  tick();  // RCV
  tick();  // SET
  tick();  // EEE: second and last
  EXPECT_EQ(cell(2, 1), QStringLiteral("#8"));
  EXPECT_EQ(cell(2, 2), QStringLiteral("4"));
  EXPECT_EQ(view.message, QStringLiteral("終了処理中！"));
  tick();
  EXPECT_FALSE(runActive);
}

TEST_F(InterpreterTest, WaitOfZeroAdvancesOnTheSameTick) {
  load({"WTM:0", "WTM:0.05", "CLR"});
  start();
  tick();
  EXPECT_EQ(interp.currentStep(), 1);
  EXPECT_EQ(view.message, QStringLiteral("ｽｸﾘﾌﾟﾄNo.0:WTM"));
  tick();
  EXPECT_EQ(script.waitRemainingMs, 50);
  for (int i = 0; i < 4; ++i) tick();
  EXPECT_EQ(interp.currentStep(), 1);  // 40 ms of 50
  tick();
  EXPECT_EQ(interp.currentStep(), 2);
}

TEST_F(InterpreterTest, BreakOfZeroSetsAndClearsOnTheSameTick) {
  load({"BRK", "BRK:0.02"});
  start();
  tick();
  EXPECT_EQ(port.breakHistory, (std::vector<bool>{true, false}));
  EXPECT_EQ(interp.currentStep(), 1);
  tick();
  EXPECT_TRUE(port.breakOn);
  tick();
  EXPECT_TRUE(port.breakOn);
  tick();
  EXPECT_FALSE(port.breakOn);
  EXPECT_EQ(interp.currentStep(), 2);
}

TEST_F(InterpreterTest, ReceiveTimeoutOfZeroTimesOutOnTheNextTick) {
  load({"RTM:0", "RCV", "CLR"});
  start();
  tick();
  tick();
  EXPECT_EQ(interp.stepPhase(), 1);
  tick();
  EXPECT_EQ(interp.currentStep(), 2);
}

TEST_F(InterpreterTest, TwoLinesToOneCommandBothJoinTheRow) {
  load({"SSS", "RCV", "SET", "EEE"});
  start();
  tick();
  answer("A\rB\r");
  tick();
  tick();
  EXPECT_EQ(cell(1, 1), QStringLiteral("A"));
  EXPECT_EQ(cell(1, 2), QStringLiteral("B"));
  EXPECT_EQ(view.log, (QStringList{QStringLiteral("○ A\r"), QStringLiteral("○ B\r")}));
}

TEST_F(InterpreterTest, IntervalLongerThanTheLoopHoldsAtEee) {
  load({"ITM:0.1", "SSS", "EEE"});
  start();
  tick();
  tick();  // SSS: interval 100 ms
  int held = 0;
  while (interp.cycleCount() == 0) {
    tick();
    ++held;
    ASSERT_LT(held, 100);
  }
  EXPECT_EQ(held, 10);
  held = 0;
  while (interp.cycleCount() == 1) {
    tick();
    ++held;
    ASSERT_LT(held, 100);
  }
  EXPECT_EQ(held, 10);  // the next interval runs from the previous EEE
}

TEST_F(InterpreterTest, MeasureCountThreeRunsTheStepsAfterEeeThenEnds) {
  load({"SSS", "EEE", "SND:STOP"});
  setup.rows = 3;
  start();
  for (int i = 0; i < 4; ++i) tick();
  EXPECT_EQ(interp.cycleCount(), 3);
  EXPECT_EQ(view.message, QStringLiteral("終了処理中！"));
  EXPECT_EQ(port.sent, "");
  tick();
  EXPECT_EQ(port.sent, "STOP");
  tick();  // output drained
  tick();
  EXPECT_FALSE(runActive);
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("スクリプトの処理を終了しました")});
  EXPECT_EQ(setup.cursor.row, 4);
}

TEST_F(InterpreterTest, ScriptWithoutEeeRunsOnceAndLeavesTheCursor) {
  load({"SSS", "RCV", "SET"});
  script.receiveTimeoutMs[0] = 0;
  start();
  for (int i = 0; i < 5; ++i) tick();
  EXPECT_FALSE(runActive);
  EXPECT_EQ(interp.cycleCount(), 0);
  EXPECT_EQ(setup.cursor.row, 1);
}

TEST_F(InterpreterTest, ScriptWithoutSssEndsAtItsFirstEee) {
  load({"CLR", "EEE", "CLR"});
  start();
  tick();
  tick();
  EXPECT_TRUE(interp.endRequested());
  EXPECT_EQ(interp.currentStep(), 2);
  tick();
  tick();
  EXPECT_FALSE(runActive);
}

TEST_F(InterpreterTest, PauseAsTheLastStepEndsAfterNext) {
  load({"CLR", "PAU"});
  start();
  tick();
  tick();
  EXPECT_TRUE(interp.pausedForNext());
  EXPECT_EQ(view.nextShown, 1);
  EXPECT_EQ(view.message, QStringLiteral("ｽｸﾘﾌﾟﾄNo.1:PAU 停止中！「次へ」ボタンを押して下さい"));
  for (int i = 0; i < 10; ++i) tick();
  EXPECT_TRUE(runActive);  // paused: no step, no end test
  interp.resume();
  tick();
  EXPECT_FALSE(runActive);
}

TEST_F(InterpreterTest, TimeLimit) {
  load({"SSS", "EEE"});
  setup.rows = 1000000;
  setup.acquireTimeMs = 0;  // no limit
  start();
  for (int i = 0; i < 200; ++i) tick(1000);
  EXPECT_TRUE(runActive);
  EXPECT_FALSE(interp.endRequested());
  setup.acquireTimeMs = 60000;
  start();
  tick(30000);
  EXPECT_FALSE(interp.endRequested());
  tick(30001);
  EXPECT_TRUE(interp.endRequested());
  tick();
  EXPECT_EQ(view.message, QStringLiteral("終了処理中！"));
}

TEST_F(InterpreterTest, TimeLimitAcrossTheCounterWrapAround) {
  clock.setTick(2147483647 - 5000);
  load({"SSS", "EEE"});
  setup.rows = 1000000;
  setup.acquireTimeMs = 10000;
  start();
  tick(6000);  // the counter passes its sign boundary
  EXPECT_FALSE(interp.endRequested());
  tick(4001);
  EXPECT_TRUE(interp.endRequested());
}

TEST_F(InterpreterTest, SendWritesEscapedBytesAndLogsTheRest) {
  load({"SND:A%00B%FF%80測%CR"});
  start();
  tick();
  EXPECT_EQ(port.sent, std::string("A\0B\xff\x80\x91\xaa\r", 8));
  EXPECT_EQ(view.log.last(), QString::fromUtf8("● AB\u0080測\r"));
}

TEST_F(InterpreterTest, SendTimeoutDiscardsUnsentBytes) {
  load({"STM:0.03", "SND:X", "CLR"});
  start();
  tick();
  port.pendingOut = 5;
  tick();
  tick();
  tick();
  EXPECT_EQ(interp.currentStep(), 1);
  tick();
  EXPECT_EQ(interp.currentStep(), 2);
  EXPECT_EQ(port.pendingOut, 0);
}

TEST_F(InterpreterTest, CodeStepsChangeTheChannelSettings) {
  load({"SCD:%SX", "ECD:%EX", "DCD:;", "ECD:", "DCD:", "SCD:", "RTM:3", "STM:4", "CLR"});
  start();
  tick();
  tick();
  tick();
  EXPECT_EQ(script.startCode[0], 2);
  EXPECT_EQ(script.endCode[0], 3);
  EXPECT_EQ(script.delimiterCode[0], ';');
  tick();
  tick();
  tick();
  EXPECT_EQ(script.endCode[0], 3);          // 0 keeps the end code
  EXPECT_EQ(script.delimiterCode[0], ';');  // and the delimiter
  EXPECT_EQ(script.startCode[0], 0);        // but clears the start code
  tick();
  tick();
  EXPECT_EQ(script.receiveTimeoutMs[0], 3000);
  EXPECT_EQ(script.sendTimeoutMs[0], 4000);
  hold(u"junk");
  port.incoming = u"more";
  tick();
  EXPECT_TRUE(reception.lines(0).empty());
  EXPECT_TRUE(port.incoming.empty());
}

// ---- Several channels ---------------------------------------------------------

// The fields of a row, the number and the stamp left out.
QStringList rowFields(const std::vector<sheet::CellValue>& row) {
  QStringList fields;
  for (const sheet::CellValue& v : row)
    if (const auto* text = std::get_if<QString>(&v)) fields << *text;
  return fields;
}

// Instruments on channels 1 and 2 (indexes 0 and 1).
class TwoInstrumentsTest : public InterpreterTest {
protected:
  TwoInstrumentsTest() { static_cast<void>(fakes[1]->setPortOpen(true)); }
  // Each command an instrument got since the last look is answered, channel
  // 1's with "a<n>,b<n>", channel 2's with "c<n>", each ended by its
  // channel's end code, unless `instead` takes it.
  void answerCommands(const std::function<bool(int channel, int n)>& instead = {}) {
    for (int ch = 0; ch < 2; ++ch) {
      const auto index = static_cast<std::size_t>(ch);
      if (heard[index] == fakes[index]->sent.size()) continue;
      heard[index] = fakes[index]->sent.size();
      const int n = ++answers[index];
      if (instead && instead(ch, n)) continue;
      const QString text = ch == 0 ? QStringLiteral("a%1,b%1").arg(n) : QStringLiteral("c%1").arg(n);
      reception.lines(ch).append((text + QChar(script.endCode[index])).toStdU16String(), script.endCode[index]);
    }
  }
  void expectRows(const std::vector<QStringList>& rows) {
    ASSERT_EQ(view.rows.size(), rows.size());
    for (std::size_t r = 0; r < rows.size(); ++r) EXPECT_EQ(rowFields(view.rows[r]), rows[r]) << "row " << r;
  }
  std::array<std::size_t, 2> heard{};
  std::array<int, 2> answers{};
};

struct ChannelRunCase {
  const char* name;
  std::vector<const char*> lines;
  std::vector<QStringList> rows;        // the fields of each row
  const char* sent[2];                  // what each instrument got
  std::vector<int> channelAtLoopStart;  // the current channel at each pass of the loop's first step
};

class ChannelRunTest : public TwoInstrumentsTest, public ::testing::WithParamInterface<ChannelRunCase> {};

TEST_P(ChannelRunTest, StepsActOnTheCurrentChannelAndOneRowTakesEveryChannel) {
  const ChannelRunCase& c = GetParam();
  load(c.lines);
  setup.rows = static_cast<std::int32_t>(c.rows.size());
  start();
  // Seen between ticks: with several channels the first pass runs on from
  // SSS in the same tick, so only the returns to the loop's start are seen.
  std::vector<int> atLoopStart;
  for (int i = 0; i < 500 && runActive; ++i) {
    answerCommands();
    if (script.loopStartStep >= 0 && interp.currentStep() == script.loopStartStep && interp.stepPhase() == 0)
      atLoopStart.push_back(interp.currentChannel());
    tick();
  }
  ASSERT_FALSE(runActive);
  expectRows(c.rows);
  EXPECT_EQ(fakes[0]->sent, c.sent[0]);
  EXPECT_EQ(fakes[1]->sent, c.sent[1]);
  EXPECT_EQ(atLoopStart, c.channelAtLoopStart);
  // Each log line names the channel it went to or came from.
  for (int i = 0; i < view.log.size(); ++i)
    EXPECT_EQ(view.channels[static_cast<std::size_t>(i)], view.log[i].contains(u'c') || view.log[i].contains(u'C'))
        << view.log[i].toStdString();
}

INSTANTIATE_TEST_SUITE_P(Table, ChannelRunTest,
                         ::testing::Values(ChannelRunCase{"CollectionOrderAcrossChannels",
                                                          {"CHN:2", "ECD:%LF", "CHN:1", "SSS", "SND:A%CR", "CHN:2",
                                                           "SND:C%CR", "RCV", "CHN:1", "RCV", "SET", "CHN:2", "EEE"},
                                                          {{"c1", "a1", "b1"}, {"c2", "a2", "b2"}},
                                                          {"A\rA\r", "C\rC\r"},
                                                          {0}},
                                           ChannelRunCase{"LoopStartsOnTheChannelCurrentAtSss",
                                                          {"CHN:2", "ECD:%LF", "SSS", "SND:C%CR", "RCV", "SET", "CHN:1",
                                                           "SND:A%CR", "RCV", "EEE"},
                                                          {{"c1", "a1", "b1"}, {"c2", "a2", "b2"}},
                                                          {"A\rA\r", "C\rC\r"},
                                                          {1}},
                                           ChannelRunCase{"WithoutChnOnlyChannelOne",
                                                          {"SSS", "SND:A%CR", "RCV", "SET", "EEE"},
                                                          {{"a1", "b1"}, {"a2", "b2"}},
                                                          {"A\rA\r", ""},
                                                          {0, 0}}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(TwoInstrumentsTest, SettingStepsAndClrTouchOnlyTheCurrentChannel) {
  load({"CHN:2", "SCD:%SX", "DCD:;", "STM:4", "CLR", "CHN:1", "BRK"});
  hold(u"kept\r");
  reception.lines(1).append(u"gone", u'\r');
  fakes[1]->incoming = u"more";
  start();
  for (int i = 0; i < 7; ++i) tick();
  const auto pair = [](const auto& table) { return std::array{table[0], table[1]}; };
  EXPECT_EQ(pair(script.startCode), (std::array<std::uint8_t, 2>{0, 2}));
  EXPECT_EQ(pair(script.delimiterCode), (std::array<std::uint8_t, 2>{',', ';'}));
  EXPECT_EQ(pair(script.sendTimeoutMs), (std::array{DefaultSendTimeoutMs, 4000}));
  EXPECT_EQ(held(), u"kept\r");
  EXPECT_TRUE(reception.lines(1).empty() && fakes[1]->incoming.empty());
  EXPECT_EQ(port.breakHistory, (std::vector<bool>{true, false}));
  EXPECT_TRUE(fakes[1]->breakHistory.empty());
}

struct LostChannelCase {
  const char* name;
  bool goneFromStart;  // else lost while its first answer is half in, and back at once
  std::vector<QStringList> rows;
};

class LostChannelTest : public TwoInstrumentsTest, public ::testing::WithParamInterface<LostChannelCase> {};

// A lost channel 2 never holds the run: channel 1's values go on into the
// rows, and channel 2's RCV ends by its own one-second time-out.
TEST_P(LostChannelTest, TheOtherChannelGoesOn) {
  const LostChannelCase& c = GetParam();
  load({"CHN:2", "RTM:1", "CHN:1", "SSS", "SND:A%CR", "RCV", "CHN:2", "SND:C%CR", "RCV", "SET", "EEE"});
  constexpr std::int32_t Channel2Rcv = 8;
  setup.rows = static_cast<std::int32_t>(c.rows.size());
  if (c.goneFromStart) fakes[1]->loseDevice();
  start();
  std::vector<int> waits;  // ticks spent in each pass of channel 2's RCV
  bool inRcv = false;
  const auto countedTick = [&] {
    const bool nowInRcv = interp.currentStep() == Channel2Rcv;
    if (nowInRcv && !inRcv) waits.push_back(0);
    if (nowInRcv) ++waits.back();
    inRcv = nowInRcv;
    tick();
  };
  const auto halfAnswerThenLost = [&](int ch, int n) {
    if (ch != 1 || n != 1) return false;
    reception.lines(1).append(u"9", u'\r');
    fakes[1]->loseDevice();
    countedTick();
    fakes[1]->bringDeviceBack();
    return true;
  };
  for (int i = 0; i < 1000 && runActive; ++i) {
    EXPECT_NE(view.message, MsgWaitingForDevice);
    answerCommands(c.goneFromStart ? std::function<bool(int, int)>{} : halfAnswerThenLost);
    countedTick();
  }
  ASSERT_FALSE(runActive);
  expectRows(c.rows);
  // Unanswered, the RCV waits its 1000 ms: 100 ticks of 10 ms after the
  // tick that reached it.
  ASSERT_FALSE(waits.empty());
  EXPECT_EQ(waits.front(), 100);
  if (c.goneFromStart) {
    EXPECT_EQ(view.log.count(MsgNotSent.arg(QStringLiteral("C\r"), MsgNoDevice)), static_cast<int>(c.rows.size()));
  }
  EXPECT_FALSE(view.log.contains(MsgRepeating));
}

INSTANTIATE_TEST_SUITE_P(Table, LostChannelTest,
                         ::testing::Values(LostChannelCase{"UnpluggedBeforeStart", true, {{"a1", "b1"}, {"a2", "b2"}}},
                                           LostChannelCase{
                                               "LostWhileAnswering", false, {{"a1", "b1"}, {"a2", "b2", "c2"}}}),
                         [](const auto& p) { return std::string(p.param.name); });

// A channel that falls silent keeps its cells free: the values of the
// channels after it stay in their columns.
TEST_F(TwoInstrumentsTest, ASilentChannelKeepsItsColumns) {
  load({"CHN:2", "RTM:1", "CHN:1", "SSS", "CHN:2", "SND:C%CR", "RCV", "CHN:1", "SND:A%CR", "RCV", "SET", "EEE"});
  setup.rows = 3;
  start();
  for (int i = 0; i < 1000 && runActive; ++i) {
    answerCommands([](int ch, int n) { return ch == 1 && n >= 2; });  // channel 2 answers once only
    tick();
  }
  ASSERT_FALSE(runActive);
  expectRows({{"c1", "a1", "b1"}, {"", "a2", "b2"}, {"", "a3", "b3"}});
}

// With several channels the steps that need no waiting share a tick: both
// instruments are asked in the same tick, and a pass whose answers are in
// takes one more.
TEST_F(TwoInstrumentsTest, ThePassesCommandsGoOutInOneTick) {
  load({"CHN:1", "SSS", "SND:A%CR", "CHN:2", "SND:C%CR", "CHN:1", "RCV", "CHN:2", "RCV", "SET", "EEE"});
  setup.rows = 3;
  start();
  for (int i = 0; i < 6; ++i) {
    tick();
    EXPECT_EQ(fakes[0]->sent.size(), fakes[1]->sent.size()) << "tick " << i;
    answerCommands();
  }
  expectRows({{"a1", "b1", "c1"}, {"a2", "b2", "c2"}, {"a3", "b3", "c3"}});
}

// EEE's last look at the receive buffer is at the current channel's.
TEST_F(TwoInstrumentsTest, EeeTakesTheCurrentChannelsLine) {
  load({"ITM:0.1", "CHN:1", "SSS", "CHN:2", "SND:C%CR", "EEE"});
  setup.rows = 2;
  start();
  for (int i = 0; i < 1000 && runActive; ++i) {
    answerCommands();
    tick();
  }
  ASSERT_FALSE(runActive);
  expectRows({{"c1"}, {"c2"}});
}

// ---- A device lost and back during an acquisition ----------------------------

struct LossCase {
  const char* name;
  // The device goes when the run reaches this step and phase.
  std::int32_t step;
  std::int16_t phase;
  const char* sent;         // everything the device got
  const char* notSentLine;  // the log's line for the command that could not go, if any
};

class DeviceLossTest : public InterpreterTest, public ::testing::WithParamInterface<LossCase> {};

// Neither a command sent into the void nor one whose answer went with the
// device leaves the run waiting: once the device is back the acquisition runs
// again from the loop's start, in the same row, without the values it had.
TEST_P(DeviceLossTest, TheAcquisitionIsRepeatedOnceTheDeviceIsBack) {
  const LossCase& c = GetParam();
  load({"SSS", "SND:A%CR", "RCV", "SND:B%CR", "RCV", "SET", "EEE"});
  setup.rows = 1;
  start();
  std::size_t heard = 0;  // what the instrument has read of port.sent
  int answers = 0;
  bool lost = false;
  for (int i = 0; i < 200 && interp.cycleCount() == 0; ++i) {
    if (!lost && interp.currentStep() == c.step && interp.stepPhase() == c.phase) {
      lost = true;
      port.loseDevice();
      heard = port.sent.size();  // whatever was on its way is gone with it
      const std::string sentBefore = port.sent;
      for (int k = 0; k < 5; ++k) tick(1000);
      EXPECT_EQ(view.message, MsgWaitingForDevice);
      EXPECT_EQ(port.sent, sentBefore);
      port.bringDeviceBack();
    }
    // The instrument answers each command while the run waits for it.
    const bool waiting = interp.currentStep() == 2 || interp.currentStep() == 4;
    if (waiting && interp.stepPhase() == 1 && heard < port.sent.size()) {
      answer((port.sent.substr(heard, 1) + std::to_string(++answers) + "\r").c_str());
      heard = port.sent.size();
    }
    tick();
  }
  ASSERT_TRUE(lost);
  EXPECT_EQ(interp.cycleCount(), 1);
  EXPECT_EQ(port.sent, c.sent);
  // A1 went with the repeat; the row holds the repeat's answers, in its place.
  EXPECT_EQ(cell(1, 1), QStringLiteral("A2"));
  EXPECT_EQ(cell(1, 2), QStringLiteral("B3"));
  EXPECT_EQ(cell(1, 3), QStringLiteral("<empty>"));
  EXPECT_EQ(cell(2, 1), QStringLiteral("<empty>"));
  EXPECT_EQ(view.log.count(MsgRepeating), 1);
  if (c.notSentLine) {
    EXPECT_TRUE(view.log.contains(QString::fromUtf8(c.notSentLine))) << view.log.join('|').toStdString();
    EXPECT_EQ(view.log.count(QStringLiteral("● B\r")), 1);  // the repeat's only
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, DeviceLossTest,
                         ::testing::Values(LossCase{"SendWhileGone", 3, 0, "A\rA\rB\r",
                                                    "× B\r（送信できませんでした：機器が接続されていません）"},
                                           LossCase{"AnswerAwaited", 4, 1, "A\rB\rA\rB\r", nullptr}),
                         [](const ::testing::TestParamInfo<LossCase>& c) { return std::string(c.param.name); });

// The same on a pseudo-terminal: the terminal is hung up under the port while
// the answer is awaited, and the same device is back behind the mapped link.
TEST_F(InterpreterTest, OnAPseudoTerminalTheCommandGoesAgainAfterTheDeviceReturns) {
  int master = -1, slave = -1;
  char name[256] = {};
  ASSERT_EQ(::openpty(&master, &slave, name, nullptr, nullptr), 0);
  ::close(slave);
  const std::string link = "/tmp/kestrune-interpreter-link-" + std::to_string(::getpid());
  ::unlink(link.c_str());
  ASSERT_EQ(::symlink(name, link.c_str()), 0);
  serial::PortMap map;
  map.set(1, QString::fromStdString(link));
  serial::Channels ptyChannels([&map](int channel) -> std::unique_ptr<serial::Port> {
    if (channel == 0) return std::make_unique<serial::TermiosPort>(map);
    return std::make_unique<FakePort>();
  });
  serial::Port& device = ptyChannels.port(0);
  QObject::connect(&device, &serial::Port::onComm, &device,
                   [&] { reception.onPortEvent(0, device, runActive.active(), nullptr, clock); });
  ASSERT_TRUE(device.setRThreshold(1));
  ASSERT_TRUE(device.setInputLen(0));
  ASSERT_TRUE(device.setPortOpen(true));
  Interpreter run(RunContext{script, reception, ptyChannels, clock, view, runActive});
  load({"SSS", "SND:M%CR", "RCV", "SET", "EEE"});
  setup.rows = 1;
  run.resetForStart(clock.tickMs(), RunSettings::from(setup));
  runActive.setActive(true);
  // Ticks of the run, with the port's events between them, until `done`.
  const auto runUntil = [&](const std::function<bool()>& done) {
    QDeadlineTimer deadline(5000);
    while (!done() && !deadline.hasExpired()) {
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      clock.advance(10);
      run.countDown(10);
      run.loopProg();
    }
    return done();
  };
  // What the instrument side has read, gathered while the run goes on.
  std::string heard;
  const auto hears = [&](const char* bytes) {
    return runUntil([&] {
      char buffer[64];
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n > 0) heard.append(buffer, static_cast<std::size_t>(n));
      return heard == bytes;
    });
  };
  ::fcntl(master, F_SETFL, O_NONBLOCK);
  ASSERT_TRUE(hears("M\r"));
  ASSERT_TRUE(runUntil([&] { return run.currentStep() == 2 && run.stepPhase() == 1; }));  // RCV waits
  slave = ::open(name, O_RDWR | O_NOCTTY);
  if (slave < 0 || ::ioctl(slave, TIOCVHANGUP) != 0) {
    ::close(master);
    ::unlink(link.c_str());
    GTEST_SKIP() << "hanging up a terminal needs CAP_SYS_ADMIN";
  }
  ASSERT_TRUE(runUntil([&] { return view.log.contains(MsgRepeating); }));  // lost and back
  heard.clear();
  ASSERT_TRUE(hears("M\r"));  // sent again to the device that came back
  ASSERT_EQ(::write(master, "4.2\r", 4), 4);
  ASSERT_TRUE(runUntil([&] { return run.cycleCount() == 1; }));
  EXPECT_EQ(cell(1, 1), QStringLiteral("4.2"));
  EXPECT_EQ(view.log.count(MsgRepeating), 1);
  ASSERT_TRUE(device.setPortOpen(false));
  ::close(master);
  ::close(slave);
  ::unlink(link.c_str());
}

// ---- The end of a run and the waits it may cut short -------------------------

struct EndWhileWaitingCase {
  const char* name;
  std::vector<const char*> lines;
  std::int32_t timeLimitMs;  // 0: none
  std::int32_t rows;
  bool cutShort;  // the run ends long before the 10 s wait would have run out
};

class EndWhileWaitingTest : public InterpreterTest, public ::testing::WithParamInterface<EndWhileWaitingCase> {};

// The end of a run (time limit reached, or the last row done) cuts short only
// RCV's wait for a line; WTM, BRK, an unsent SND and the EEE interval run out.
TEST_P(EndWhileWaitingTest, OnlyTheReceiveWaitIsCutShort) {
  const EndWhileWaitingCase& c = GetParam();
  load(c.lines);
  setup.acquireTimeMs = c.timeLimitMs;
  setup.rows = c.rows;
  start();
  port.pendingOut = 1;  // SND's bytes never leave
  std::int32_t elapsed = 0;
  while (runActive && elapsed < 20000) {
    tick();
    elapsed += 10;
  }
  ASSERT_FALSE(runActive) << "the run never ended";
  if (c.cutShort)
    EXPECT_LT(elapsed, 2000);
  else
    EXPECT_GE(elapsed, 10000);
}

INSTANTIATE_TEST_SUITE_P(
    Table, EndWhileWaitingTest,
    ::testing::Values(EndWhileWaitingCase{"RcvByTimeLimit", {"RTM:10", "SSS", "RCV", "EEE"}, 1000, 100, true},
                      EndWhileWaitingCase{"RcvByRowLimit", {"RTM:10", "SSS", "EEE", "RCV"}, 0, 1, true},
                      EndWhileWaitingCase{"WtmByTimeLimit", {"SSS", "WTM:10", "EEE"}, 1000, 100, false},
                      EndWhileWaitingCase{"WtmByRowLimit", {"SSS", "EEE", "WTM:10"}, 0, 1, false},
                      EndWhileWaitingCase{"BrkByTimeLimit", {"SSS", "BRK:10", "EEE"}, 1000, 100, false},
                      EndWhileWaitingCase{"BrkByRowLimit", {"SSS", "EEE", "BRK:10"}, 0, 1, false},
                      EndWhileWaitingCase{"SndByTimeLimit", {"STM:10", "SSS", "SND:X", "EEE"}, 1000, 100, false},
                      EndWhileWaitingCase{"SndByRowLimit", {"STM:10", "SSS", "EEE", "SND:X"}, 0, 1, false},
                      EndWhileWaitingCase{"EeeIntervalByTimeLimit", {"ITM:10", "SSS", "EEE"}, 1000, 100, false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(InterpreterTest, TheIntervalRunsDownWhilePaused) {
  load({"ITM:5", "SSS", "PAU", "EEE"});
  start();
  tick();  // ITM
  tick();  // SSS: the 5 s interval starts
  tick();  // PAU
  ASSERT_TRUE(interp.pausedForNext());
  for (int i = 0; i < 600; ++i) tick();  // 6 s paused
  interp.resume();
  tick();  // EEE finds its interval over
  EXPECT_EQ(interp.cycleCount(), 1);
}

TEST_F(InterpreterTest, SeveralSetStepsWriteEachValueOnceInItsColumn) {
  load({"SSS", "RCV", "SET", "RCV", "SET", "SET", "EEE"});
  setup.rows = 1;
  start();
  answer("a,b\r");
  for (int i = 0; i < 3; ++i) tick();  // SSS, RCV, SET
  answer("c\r");
  for (int i = 0; i < 4; ++i) tick();  // RCV, SET, SET, EEE
  EXPECT_EQ(cell(1, 1), QStringLiteral("a"));
  EXPECT_EQ(cell(1, 2), QStringLiteral("b"));
  EXPECT_EQ(cell(1, 3), QStringLiteral("c"));
  EXPECT_EQ(view.writes, 3);
}

TEST_F(InterpreterTest, AnAcquisitionWithoutFieldsLeavesItsRowEmptyButCountsItsNumber) {
  load({"RTM:0", "SSS", "RCV", "SET", "EEE"});
  setup.numbering = true;
  setup.cursor.acquisitionNo = 7;
  setup.rows = 2;
  start();
  for (int i = 0; i < 6; ++i) tick();  // no answer: RCV times out, EEE moves on
  answer("x\r");
  for (int i = 0; i < 5; ++i) tick();
  EXPECT_EQ(cell(1, 1), QStringLiteral("<empty>"));
  EXPECT_EQ(cell(2, 1), QStringLiteral("#8"));
  EXPECT_EQ(cell(2, 2), QStringLiteral("x"));
  EXPECT_EQ(setup.cursor.acquisitionNo, 9);
}

TEST_F(InterpreterTest, ALineFeedEndCodeCutsLinesAndTheCarriageReturnIsDropped) {
  load({"ECD:%LF", "SSS", "RCV", "SET", "EEE"});
  setup.rows = 1;
  start();
  answer("7,8\r\n9");
  for (int i = 0; i < 5; ++i) tick();
  EXPECT_EQ(cell(1, 1), QStringLiteral("7"));
  EXPECT_EQ(cell(1, 2), QStringLiteral("8"));
  EXPECT_EQ(cell(1, 3), QStringLiteral("<empty>"));
  EXPECT_EQ(held(), u"9");  // no line end yet
}

// ---- Reception matching -----------------------------------------------------

struct MatchCase {
  const char* name;
  const char* buffer;
  bool got;
  std::vector<const char*> fields;
  const char* left;
};

class RcvDataGetTest : public InterpreterTest, public ::testing::WithParamInterface<MatchCase> {};

TEST_P(RcvDataGetTest, CutsLinesIntoFields) {
  const MatchCase& c = GetParam();
  hold(cp932::fromUtf8(c.buffer));
  EXPECT_EQ(interp.rcvDataGet(0), c.got);
  ASSERT_EQ(interp.valueCount(), static_cast<std::int16_t>(c.fields.size()));
  for (std::size_t i = 0; i < c.fields.size(); ++i)
    EXPECT_EQ(std::get<QString>(interp.acquiredValues()[i]), QString::fromUtf8(c.fields[i])) << i;
  EXPECT_EQ(held(), cp932::fromUtf8(c.left));
}

INSTANTIATE_TEST_SUITE_P(Table, RcvDataGetTest,
                         ::testing::Values(MatchCase{"TwoFields", "12.5,3.0\r", true, {"12.5", "3.0"}, ""},
                                           MatchCase{
                                               "LfStaysForTheNextLine", "12.5,3.0\r\n7", true, {"12.5", "3.0"}, "\n7"},
                                           MatchCase{"EmptyFieldsSkipped", ",,5\r", true, {"5"}, ""},
                                           MatchCase{"IncompleteLineWaits", "12.5", false, {}, "12.5"},
                                           MatchCase{"TwoLines", "A\rB\r", true, {"A", "B"}, ""},
                                           MatchCase{"LeadingSpaceKept", " 1.0\r", true, {" 1.0"}, ""},
                                           MatchCase{"LfDroppedWhileSplitting", "\n7,8\r", true, {"7", "8"}, ""},
                                           MatchCase{"DoubleByteText", "測定,ｱ\r", true, {"測定", "ｱ"}, ""},
                                           MatchCase{"Empty", "", false, {}, ""}),
                         [](const auto& p) { return std::string(p.param.name); });

TEST_F(InterpreterTest, StartCodeIsRemovedAndControlCharactersDropped) {
  script.startCode[0] = 2;
  hold(CodeString{2, u'1', u',', u'2', 3, u'\r'});
  EXPECT_TRUE(interp.rcvDataGet(0));
  EXPECT_EQ(interp.valueCount(), 2);
  EXPECT_EQ(std::get<QString>(interp.acquiredValues()[1]), QStringLiteral("2"));
}

TEST_F(InterpreterTest, DelimiterEqualToStartCodeIsRemovedNotSplit) {
  script.startCode[0] = ',';
  hold(u"1,2\r");
  interp.rcvDataGet(0);
  ASSERT_EQ(interp.valueCount(), 1);
  EXPECT_EQ(std::get<QString>(interp.acquiredValues()[0]), QStringLiteral("12"));
}

TEST_F(InterpreterTest, DoubleByteCharacterNeverMatchesAByteCode) {
  // 0x8D0D would hold CR in its trail byte if it were split.
  hold(CodeString{0x8D40, u','});
  EXPECT_FALSE(interp.rcvDataGet(0));
}

TEST_F(InterpreterTest, NumberAndStampStandBeforeTheFirstField) {
  setup.numbering = true;
  setup.cursor.acquisitionNo = 41;
  setup.stamp = settings::StampMode::DateAndTime;
  reset();
  hold(u"12.5,OK\r");
  interp.rcvDataGet(0);
  ASSERT_EQ(interp.valueCount(), 4);
  EXPECT_EQ(std::get<std::int32_t>(interp.acquiredValues()[0]), 41);
  const auto stamp = std::get<sheet::Stamp>(interp.acquiredValues()[1]);
  EXPECT_EQ(stamp.kind, sheet::Stamp::Kind::DateTime);
  EXPECT_EQ(stamp.value, clock.now());
  EXPECT_EQ(std::get<QString>(interp.acquiredValues()[2]), QStringLiteral("12.5"));
}

TEST_F(InterpreterTest, StampKindsFollowTheMode) {
  const std::pair<settings::StampMode, sheet::Stamp::Kind> kinds[] = {
      {settings::StampMode::Date, sheet::Stamp::Kind::Date}, {settings::StampMode::Time, sheet::Stamp::Kind::Time}};
  for (const auto& [mode, kind] : kinds) {
    setup.stamp = mode;
    reset();
    hold(u"x\r");
    interp.rcvDataGet(0);
    EXPECT_EQ(std::get<sheet::Stamp>(interp.acquiredValues()[0]).kind, kind);
  }
  setup.stamp = settings::StampMode::None;
  reset();
  hold(u"x\r");
  interp.rcvDataGet(0);
  EXPECT_EQ(interp.valueCount(), 1);
}

struct CarryCase {
  const char* name;
  bool numbering;
  settings::StampMode stamp;
  std::vector<int> fieldsPerLine;  // line i has the fields "i.0", "i.1", ...
  std::vector<int> linesPerRow;
  int fieldsDropped;  // of the lines longer than a row
};

class RowCarryTest : public InterpreterTest, public ::testing::WithParamInterface<CarryCase> {};

// The built-in script with all the lines waiting at Start, as when an
// instrument streams faster than rows complete.
TEST_P(RowCarryTest, LinesThatDoNotFitWaitWholeForTheNextRow) {
  const CarryCase& c = GetParam();
  setup.rows = 1000;
  setup.numbering = c.numbering;
  setup.stamp = c.stamp;
  std::vector<QStringList> lines;
  for (const int n : c.fieldsPerLine) {
    QStringList fields;
    for (int j = 0; j < n; ++j) fields << QStringLiteral("%1.%2").arg(lines.size()).arg(j);
    lines.push_back(fields);
    answer((fields.join(u',') + u'\r').toUtf8().constData());
  }
  start();
  for (int i = 0; i < 1000 && !(reception.lines(0).empty() && interp.stepPhase() == 1); ++i) tick();
  ASSERT_EQ(interp.currentStep(), 1);  // RCV waits: everything has been taken
  const int room = 100 - (c.numbering ? 1 : 0) - (c.stamp != settings::StampMode::None ? 1 : 0);
  ASSERT_EQ(view.rows.size(), c.linesPerRow.size());
  std::size_t next = 0;
  for (std::size_t r = 0; r < c.linesPerRow.size(); ++r) {
    QStringList expected;
    for (int k = 0; k < c.linesPerRow[r]; ++k) expected += lines.at(next++);
    EXPECT_EQ(rowFields(view.rows[r]), expected.mid(0, room)) << "row " << r;
    EXPECT_LE(view.rows[r].size(), 100u);
  }
  EXPECT_EQ(next, lines.size());
  EXPECT_EQ(interp.droppedFields(), static_cast<std::uint64_t>(c.fieldsDropped));
  const QStringList notices = view.log.filter(QStringLiteral("※"));
  EXPECT_EQ(notices, c.fieldsDropped > 0 ? QStringList{MsgFieldsDropped.arg(100).arg(c.fieldsDropped)} : QStringList{});
}

INSTANTIATE_TEST_SUITE_P(
    Table, RowCarryTest,
    ::testing::Values(
        CarryCase{"ThreeFields", true, settings::StampMode::None, std::vector<int>(70, 3), {33, 33, 4}, 0},
        CarryCase{"TenFieldsAfterNumberAndStamp",
                  true,
                  settings::StampMode::DateAndTime,
                  std::vector<int>(20, 10),
                  {9, 9, 2},
                  0},
        CarryCase{
            "OneFieldFillsTheHundred", false, settings::StampMode::None, std::vector<int>(250, 1), {100, 100, 50}, 0},
        CarryCase{"UnevenLinesKeepTheirOrder", false, settings::StampMode::None, {60, 50, 40, 1, 99}, {1, 3, 1}, 0},
        CarryCase{
            "LineLongerThanARowGivesItsFirstFieldsAlone", true, settings::StampMode::None, {3, 150, 2}, {1, 1, 1}, 51}),
    [](const auto& p) { return std::string(p.param.name); });

// Lines arriving through the port faster than rows take them: what the
// receive buffer cannot hold is dropped whole, counted and said; every other
// line reaches a row whole and in order.
TEST_F(InterpreterTest, LinesTheReceiveBufferCannotHoldAreCountedAndSaid) {
  QObject::connect(&port, &serial::Port::onComm, &port,
                   [this] { reception.onPortEvent(0, port, runActive.active(), nullptr, clock); });
  setup.rows = 1000;
  start();
  tick();                     // SSS
  constexpr int Lines = 600;  // 11 bytes each: 6,600 bytes, far beyond the buffer
  for (int i = 0; i < Lines; ++i) port.receive(QStringLiteral("%1,x,y\r").arg(i, 6, 10, QChar(u'0')).toStdU16String());
  for (int i = 0; i < 1000 && !(reception.lines(0).empty() && interp.stepPhase() == 1); ++i) tick();
  QStringList written;
  for (const auto& row : view.rows) written += rowFields(row);
  ASSERT_EQ(written.size() % 3, 0);
  const int kept = static_cast<int>(written.size()) / 3;
  for (int k = 0; k < kept; ++k) EXPECT_EQ(written[3 * k + 1], QStringLiteral("x")) << k;
  for (int k = 1; k < kept; ++k) EXPECT_LT(written[3 * (k - 1)].toInt(), written[3 * k].toInt()) << k;
  const serial::DroppedCount dropped = interp.droppedLines();
  EXPECT_GT(dropped.lines, 0u);
  EXPECT_EQ(kept + static_cast<int>(dropped.lines), Lines);
  EXPECT_EQ(dropped.bytes, dropped.lines * 11);
  EXPECT_EQ(dropped, reception.dropped(0));
  const QStringList notices = view.log.filter(QStringLiteral("※"));
  ASSERT_EQ(notices.size(), 1);
  EXPECT_EQ(notices[0], MsgLinesDropped.arg(dropped.lines).arg(dropped.bytes).arg(dropped.lines));
}

}  // namespace
}  // namespace kestrune::script
