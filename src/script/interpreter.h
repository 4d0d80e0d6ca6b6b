// The interpreter: runs the script one small piece per timer tick and never
// blocks. Waits and time-outs are millisecond countdowns that the tick counts
// down; a step that has to wait stays current and is looked at again on the
// next tick. It drives channel 0 only.
#pragma once

#include "core/clock.h"
#include "core/message_boxes.h"
#include "script/run_view.h"
#include "script/script.h"
#include "serial/port.h"
#include "serial/reception.h"
#include "settings/setup_record.h"
#include "sheet/workbook_connection.h"

#include <array>
#include <cstdint>

namespace kestrune::script {

inline const QString MsgScriptFinished = QStringLiteral("スクリプトの処理を終了しました");
inline const QString MsgPressEnd = QStringLiteral("「終了」ボタンを押して下さい");
inline const QString MsgEnding = QStringLiteral("終了処理中！");

// The values of one acquisition: at most this many entries are filled.
constexpr std::int16_t MaxValues = 100;

// What the interpreter works with; all owned elsewhere.
struct RunContext {
  Script& script;
  serial::Reception& reception;
  serial::Port& port;
  sheet::WorkbookConnection& workbook;
  settings::SetupRecord& setup;
  Clock& clock;
  MessageBoxes& boxes;
  RunView& view;
  bool& runActive;
};

class Interpreter {
public:
  explicit Interpreter(RunContext context) : c_(context) {}

  // Resets the run state at Start.
  void resetForStart();
  // Counts the wait and the interval down by the time a tick measured
  // (never negative); either may end below zero.
  void countDown(std::int32_t elapsed);
  // One tick of the script.
  void loopProg();

  // Takes every complete line from the channel's receive buffer, logs it and
  // appends its non-empty fields to the value table. True when a line was taken.
  bool rcvDataGet(int channel);
  // Puts the acquisition number and the stamp in front of an acquisition's first field.
  void stampSet();

  // Run state, shared with the run window. The step index is wider than the
  // script's 16-bit step count so that it can pass the last step of the
  // longest script (32,767 steps) without wrapping.
  std::int32_t currentStep = 0;
  std::int16_t stepPhase = 0;
  bool pausedForNext = false;
  bool endRequested = false;
  std::int32_t cycleCount = 0;
  std::int32_t intervalRemainingMs = 0;
  std::int16_t valuesWritten = 0;
  std::int32_t runStartTick = 0;
  std::array<sheet::CellValue, MaxValues + 3> acquiredValues{};
  std::int16_t valueCount = 0;

private:
  static constexpr int Channel = 0;

  void execute(const ScriptStep& s);
  void advance();
  void loopStart();
  void loopEnd();
  void receive();
  void send(const ScriptStep& s);
  void writePendingValues();
  void storeField(const cp932::CodeString& field);
  QString stepLabel(const char* suffix) const;

  RunContext c_;
};

}  // namespace kestrune::script
