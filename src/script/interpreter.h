// The interpreter: runs the script one small piece per timer tick and never
// blocks. Waits and time-outs are millisecond countdowns that the tick counts
// down; a step that has to wait stays current and is looked at again on the
// next tick. Steps act on the current channel (channel 0 until a CHN step
// names another), with that channel's codes, time-outs and received lines;
// the values of every channel go into one row in the order they came. It
// knows no workbook: values and completed rows go to its RunView.
#pragma once

#include "core/clock.h"
#include "core/run_options.h"
#include "script/run_view.h"
#include "script/script.h"
#include "serial/channels.h"
#include "serial/port.h"
#include "serial/reception.h"
#include "settings/settings_model.h"

#include <array>
#include <cstdint>
#include <vector>

namespace kestrune::script {

inline const QString MsgScriptFinished = QStringLiteral("スクリプトの処理を終了しました");
inline const QString MsgPressEnd = QStringLiteral("「終了」ボタンを押して下さい");
inline const QString MsgEnding = QStringLiteral("終了処理中！");
// The communication log's line for a command the device never got: %1 the command.
inline const QString MsgNotSent = QStringLiteral("× %1（送信できませんでした：%2）");
inline const QString MsgNoDevice = QStringLiteral("機器が接続されていません");
inline const QString MsgWaitingForDevice = QStringLiteral("機器の再接続を待っています");
inline const QString MsgRepeating =
    QStringLiteral("切断のため応答を受け取れません。機器が戻ったので、この取得を最初からやり直します");

// The values of one acquisition: at most this many entries are filled.
constexpr std::int16_t MaxValues = 100;

// Communication log notices of what could not be kept: the fields of one line
// beyond an acquisition's MaxValues (%1 the limit, %2 the fields dropped), and
// lines the receive buffer had no room for (%1 lines and %2 bytes since the
// last notice, %3 lines in this run).
inline const QString MsgFieldsDropped =
    QStringLiteral("※ 1行の値が1回の取込みの上限（%1個）を超えたため、%2個の値を捨てました");
inline const QString MsgLinesDropped =
    QStringLiteral("※ 受信ﾊﾞｯﾌｧが満杯のため受信行を%1行（%2バイト）捨てました（この実行で計%3行）");

// Whether a run is going on. Start sets it and the run's end clears it, each
// through setActive; everyone else only reads it.
class RunFlag {
public:
  bool active() const { return active_; }
  void setActive(bool active) { active_ = active; }
  explicit operator bool() const { return active_; }

private:
  bool active_ = false;
};

// What the interpreter works with; all owned elsewhere.
struct RunContext {
  Script& script;
  serial::Reception& reception;
  serial::Channels& channels;
  Clock& clock;
  RunView& view;
  RunFlag& run;
};

// The acquisition conditions a run keeps from its Start.
struct RunSettings {
  bool numbering = false;
  settings::StampMode stamp = settings::StampMode::None;
  std::int32_t rowLimit = 0;       // rows after which the run ends
  std::int32_t timeLimitMs = 0;    // 0: no time limit
  bool stampMilliseconds = false;  // the stamp cells show milliseconds
  static RunSettings from(const settings::Conditions& c, const RunOptions& options = {}) {
    return {c.numbering, c.stamp, c.rows, c.acquireTimeMs, options.stampMilliseconds};
  }
};

class Interpreter {
public:
  explicit Interpreter(RunContext context) : c_(context) {}

  // Resets the run state at Start; the run's time counts from `startTick`.
  void resetForStart(std::int32_t startTick, const RunSettings& settings);
  // Counts the wait and the interval down by the time a tick measured
  // (never negative); either may end below zero.
  void countDown(std::int32_t elapsed);
  // One tick of the script.
  void loopProg();

  // Takes complete lines from the channel's receive buffer, logs each and
  // appends its non-empty fields to the value table. A line whose fields do
  // not all fit in this acquisition's row stays, whole, at the front of the
  // buffer for the next acquisition; a line too long for even an empty row
  // gives its first fields and the rest are dropped and counted. Lines the
  // reception had to drop since the last call are said in the log. True when
  // a line was taken or waits for the next row; false for a channel outside
  // 0 to ChannelCount - 1.
  bool rcvDataGet(int channel);
  // Puts the acquisition number and the stamp in front of an acquisition's first field.
  void stampSet();

  // The next step after the run window's Next button.
  void resume() { pausedForNext_ = false; }
  // The run ends: a row that SET has already written values into is
  // completed as EEE would complete it (pending values written, the row
  // counted, the number and the cursor moved past it).
  void finishWrittenRow();

  // Run state, read by the run window and the progress figures; only the
  // interpreter changes it.
  std::int32_t currentStep() const { return currentStep_; }
  // The channel the steps act on (0-based).
  int currentChannel() const { return channel_; }
  // The channels of the run (channelsInUse of its script at Start).
  const std::vector<int>& channelsInUse() const { return inUse_; }
  std::int16_t stepPhase() const { return stepPhase_; }
  bool pausedForNext() const { return pausedForNext_; }
  bool endRequested() const { return endRequested_; }
  std::int32_t cycleCount() const { return cycleCount_; }
  std::int32_t intervalRemainingMs() const { return intervalRemainingMs_; }
  std::int16_t valuesWritten() const { return valuesWritten_; }
  std::int32_t runStartTick() const { return runStartTick_; }
  const std::array<sheet::CellValue, MaxValues + 3>& acquiredValues() const { return acquiredValues_; }
  std::int16_t valueCount() const { return valueCount_; }
  // Since Start: fields dropped from lines longer than a row, and the lines
  // (and their bytes) the receive buffers of all channels had no room for.
  std::uint64_t droppedFields() const { return droppedFields_; }
  serial::DroppedCount droppedLines() const;

private:
  // What the run keeps of one channel besides the script's settings.
  struct ChannelState {
    // A command went out (or may have) and its RCV has not ended yet.
    bool answerPending = false;
    // The port's device losses seen so far.
    std::uint32_t lossesSeen = 0;
    // The reception's drop counts at Start and at the last notice.
    serial::DroppedCount dropsAtStart;
    serial::DroppedCount dropsReported;
  };

  serial::Port& port(int channel) { return c_.channels.port(channel); }
  ChannelState& state(int channel) { return channelStates_[static_cast<std::size_t>(channel)]; }
  void execute(const ScriptStep& s);
  void advance();
  void stepOnce();
  void loopStart();
  void loopEnd();
  // Counts the row and moves the number and the cursor past it.
  void completeRow();
  void receive();
  void endReceive();
  void send(const ScriptStep& s);
  void writePendingValues();
  // Whether the tick waits for a lost device instead of running a step. A
  // command that did not go out, or whose answer was awaited when the device
  // went away, gets no answer. A run on one channel waits for the device:
  // once it is back the acquisition is repeated from the loop's first step
  // (its values so far dropped; row and number stay), outside a loop from
  // that command. A run on several channels never waits for one of them: the
  // others go on, the lost channel's unfinished line is dropped and its RCV
  // ends by its own time-out.
  bool holdForLostDevice();
  // Notes new device losses of `channel`; true when one voided the answer it awaited.
  bool answerLost(int channel);
  void repeatAcquisition();
  void storeField(const cp932::CodeString& field);
  std::size_t roomForFields() const;
  void reportReceptionDrops(int channel);
  QString stepLabel(const char* suffix) const;

  RunContext c_;
  RunSettings settings_;
  // The step index is wider than the script's 16-bit step count so that it
  // can pass the last step of the longest script (32,767 steps) without wrapping.
  std::int32_t currentStep_ = 0;
  std::int16_t stepPhase_ = 0;
  bool pausedForNext_ = false;
  bool endRequested_ = false;
  std::int32_t cycleCount_ = 0;
  std::int32_t intervalRemainingMs_ = 0;
  std::int16_t valuesWritten_ = 0;
  std::int32_t runStartTick_ = 0;
  std::array<sheet::CellValue, MaxValues + 3> acquiredValues_{};
  std::int16_t valueCount_ = 0;
  std::uint64_t droppedFields_ = 0;
  int channel_ = 0;
  // The channel current when SSS ran: each pass of the loop starts on it.
  int loopChannel_ = 0;
  std::vector<int> inUse_{0};
  std::array<ChannelState, serial::ChannelCount> channelStates_{};
  // Per script step: the fields its RCV last took (the cells an empty answer
  // keeps free), and where the current RCV's fields began.
  std::vector<std::int16_t> fieldsOfStep_;
  std::int16_t rcvFrom_ = 0;
  // One channel in use and its device went away with a command unsent or unanswered.
  bool acquisitionVoid_ = false;
  std::int32_t commandStep_ = -1;  // the last SND
};

}  // namespace kestrune::script
