#include "script/interpreter.h"

#include "core/trace.h"
#include "script/fields.h"

namespace kestrune::script {

namespace {
constexpr std::size_t Ch = 0;
}

void Interpreter::resetForStart(std::int32_t startTick, const RunSettings& settings) {
  settings_ = settings;
  runStartTick_ = startTick;
  currentStep_ = 0;
  stepPhase_ = 0;
  pausedForNext_ = false;
  cycleCount_ = 0;
  valueCount_ = 0;
  valuesWritten_ = 0;
  endRequested_ = false;
  answerPending_ = false;
  acquisitionVoid_ = false;
  lossesSeen_ = c_.port.deviceLosses();
  commandStep_ = -1;
  droppedFields_ = 0;
  dropsAtStart_ = c_.reception.dropped(Channel);
  dropsReported_ = dropsAtStart_;
}

serial::DroppedCount Interpreter::droppedLines() const {
  const serial::DroppedCount now = c_.reception.dropped(Channel);
  return {now.lines - dropsAtStart_.lines, now.bytes - dropsAtStart_.bytes};
}

void Interpreter::countDown(std::int32_t elapsed) {
  if (elapsed < 0) elapsed = 0;
  if (c_.script.waitRemainingMs > 0) c_.script.waitRemainingMs -= elapsed;
  if (intervalRemainingMs_ > 0) intervalRemainingMs_ -= elapsed;
}

QString Interpreter::stepLabel(const char* suffix) const {
  return QStringLiteral("ｽｸﾘﾌﾟﾄNo.") + QString::number(currentStep_) + QString::fromUtf8(suffix);
}

void Interpreter::advance() {
  stepPhase_ = 0;
  ++currentStep_;
}

void Interpreter::loopProg() {
  if (!c_.run.active() || pausedForNext_) return;
  if (!holdForLostDevice()) {
    const auto index = static_cast<std::size_t>(currentStep_);
    if (index < c_.script.scriptSteps.size())
      execute(c_.script.scriptSteps[index]);
    else
      advance();
  }

  if (settings_.timeLimitMs > 0 && elapsedMs(runStartTick_, c_.clock.tickMs()) > settings_.timeLimitMs)
    endRequested_ = true;
  if (cycleCount_ > settings_.rowLimit) endRequested_ = true;
  if (currentStep_ > c_.script.stepCount) {
    c_.run.setActive(false);
    c_.view.scriptFinished();
    c_.view.setMessage(MsgPressEnd);
  }
}

bool Interpreter::holdForLostDevice() {
  const std::uint32_t losses = c_.port.deviceLosses();
  if (losses != lossesSeen_) {
    lossesSeen_ = losses;
    // The answer awaited went with the device, unless a whole line of it is in.
    const cp932::Code endCode = c_.script.endCode[Ch];
    if (answerPending_ && !c_.reception.lines(Channel).hasLine(endCode)) acquisitionVoid_ = true;
  }
  if (!acquisitionVoid_) return false;
  if (endRequested_) {
    // The run is ending (time limit): it ends as it would without the loss
    // rather than wait for a device that may not come back.
    acquisitionVoid_ = false;
    answerPending_ = false;
    return false;
  }
  if (c_.port.deviceAbsent()) {
    c_.view.setMessage(MsgWaitingForDevice);
    return true;
  }
  repeatAcquisition();
  return false;
}

void Interpreter::repeatAcquisition() {
  acquisitionVoid_ = false;
  answerPending_ = false;
  const std::int32_t loopStart = c_.script.loopStartStep;
  if (loopStart >= 0 && currentStep_ >= loopStart) {
    // Values already written by SET are overwritten in place by the new ones.
    currentStep_ = loopStart;
    valueCount_ = 0;
    valuesWritten_ = 0;
  } else if (commandStep_ >= 0) {
    currentStep_ = commandStep_;
  }
  stepPhase_ = 0;
  // The start of a line from before the loss, or what the device said on its
  // own since its return, is no answer to the command about to be sent again.
  c_.reception.lines(Channel).clear();
  c_.view.termAppend(MsgRepeating);
}

void Interpreter::execute(const ScriptStep& s) {
  Script& script = c_.script;
  switch (s.command) {
    case CmdSCD:
      script.startCode[Ch] = static_cast<std::uint8_t>(s.charCode);
      advance();
      break;
    case CmdECD:
      if (s.charCode != 0) script.endCode[Ch] = static_cast<std::uint8_t>(s.charCode);
      advance();
      break;
    case CmdDCD:
      if (s.charCode != 0) script.delimiterCode[Ch] = static_cast<std::uint8_t>(s.charCode);
      advance();
      break;
    case CmdBRK:
      if (stepPhase_ == 0) {
        traceFailure(QStringLiteral("BRK"), c_.port.setBreak(true));
        if (s.timeMs == 0) {
          traceFailure(QStringLiteral("BRK"), c_.port.setBreak(false));
          advance();
        } else {
          script.waitRemainingMs = s.timeMs;
          stepPhase_ = 1;
        }
      } else if (script.waitRemainingMs < 1) {
        traceFailure(QStringLiteral("BRK"), c_.port.setBreak(false));
        advance();
      }
      break;
    case CmdRTM:
      if (s.timeMs >= 0) script.receiveTimeoutMs[Ch] = s.timeMs;
      advance();
      break;
    case CmdSTM:
      if (s.timeMs >= 0) script.sendTimeoutMs[Ch] = s.timeMs;
      advance();
      break;
    case CmdWTM:
      if (stepPhase_ == 0) {
        c_.view.setMessage(stepLabel(":WTM"));
        if (s.timeMs < 1) {
          advance();
        } else {
          script.waitRemainingMs = s.timeMs;
          stepPhase_ = 1;
        }
      } else if (script.waitRemainingMs < 1) {
        advance();
      }
      break;
    case CmdITM:
      if (s.timeMs >= 0) script.intervalMs = s.timeMs;
      advance();
      break;
    case CmdPAU:
      pausedForNext_ = true;
      c_.view.setMessage(stepLabel(":PAU 停止中！「次へ」ボタンを押して下さい"));
      c_.view.showNextButton();
      advance();
      break;
    case CmdCLR:
      traceFailure(QStringLiteral("CLR"), c_.port.setInBufferCount(0));
      c_.reception.lines(Channel).clear();
      advance();
      break;
    case CmdSSS:
      loopStart();
      break;
    case CmdEEE:
      loopEnd();
      break;
    case CmdRCV:
      receive();
      break;
    case CmdSND:
      send(s);
      break;
    case CmdSET:
      writePendingValues();
      advance();
      break;
    default:
      advance();
      break;
  }
}

void Interpreter::loopStart() {
  intervalRemainingMs_ = c_.script.intervalMs;
  ++currentStep_;
  c_.script.loopStartStep = static_cast<std::int16_t>(currentStep_);
  stepPhase_ = 0;
  valueCount_ = 0;
  valuesWritten_ = 0;
}

void Interpreter::loopEnd() {
  if (intervalRemainingMs_ >= 1) {
    c_.view.setMessage(stepLabel(":EEE"));
    return;
  }
  stepPhase_ = 0;
  answerPending_ = false;
  rcvDataGet(Channel);
  intervalRemainingMs_ = c_.script.intervalMs;
  completeRow();
  if (c_.script.loopStartStep < 0 || endRequested_ || cycleCount_ >= settings_.rowLimit) {
    endRequested_ = true;
    ++currentStep_;
    c_.view.setMessage(MsgEnding);
  } else {
    currentStep_ = c_.script.loopStartStep;
  }
}

void Interpreter::finishWrittenRow() {
  if (valuesWritten_ > 0) completeRow();
}

void Interpreter::completeRow() {
  ++cycleCount_;
  writePendingValues();
  const std::vector<sheet::CellValue> cells(acquiredValues_.begin(), acquiredValues_.begin() + valueCount_);
  valueCount_ = 0;
  valuesWritten_ = 0;
  c_.view.rowCompleted(cells);
}

void Interpreter::receive() {
  Script& script = c_.script;
  if (stepPhase_ == 0) {
    c_.view.setMessage(stepLabel(":RCV"));
    if (rcvDataGet(Channel)) {
      answerPending_ = false;
      advance();
    } else {
      script.waitRemainingMs = script.receiveTimeoutMs[Ch];
      stepPhase_ = 1;
    }
    return;
  }
  if (rcvDataGet(Channel) || script.waitRemainingMs < 1 || endRequested_) {
    answerPending_ = false;
    advance();
  }
}

void Interpreter::send(const ScriptStep& s) {
  Script& script = c_.script;
  if (stepPhase_ == 1) {
    if (c_.port.outBufferCount() == 0) {
      advance();
    } else if (script.waitRemainingMs < 1) {
      traceFailure(QStringLiteral("SND"), c_.port.setOutBufferCount(0));
      advance();
    }
    return;
  }
  if (s.data.empty()) {
    advance();
    return;
  }
  // One write per character; NUL escapes the byte 0 and the bytes 129 to 255.
  // A write that fails (the device gone) does not stop the step: the run goes
  // on, and the first failure of the step goes to the trace.
  cp932::CodeString shown;
  bool escape = false;
  Status written;
  const auto keepFirstFailure = [&written](Status result) {
    if (written.ok() && !result.ok()) written = std::move(result);
  };
  for (const cp932::Code x : s.data) {
    if (escape) {
      keepFirstFailure(c_.port.outputByte(static_cast<std::uint8_t>(x > 0 ? (x & 0x7F) + 128 : 0)));
      escape = false;
    } else if (x == 0) {
      escape = true;
    } else {
      shown.push_back(x);
      keepFirstFailure(c_.port.output(cp932::CodeString(1, x)));
    }
  }
  c_.view.setMessage(stepLabel(":SND"));
  commandStep_ = currentStep_;
  if (written.ok()) {
    c_.view.termAppend(QStringLiteral("● ") + cp932::toUnicode(shown));
    answerPending_ = true;
  } else {
    traceFailure(QStringLiteral("SND"), written);
    const bool noDevice = c_.port.deviceAbsent() || written.error().is(serial::PortError::DeviceLost);
    c_.view.termAppend(MsgNotSent.arg(cp932::toUnicode(shown), noDevice ? MsgNoDevice : written.description()));
    // Without the device the command waits for it to come back. Otherwise
    // the device may be going away unnoticed yet: its loss, when reported,
    // voids the command as it would a sent one.
    (noDevice ? acquisitionVoid_ : answerPending_) = true;
  }
  script.waitRemainingMs = script.sendTimeoutMs[Ch];
  stepPhase_ = 1;
}

void Interpreter::writePendingValues() {
  for (std::int16_t k = valuesWritten_; k < valueCount_; ++k)
    c_.view.writeValue(k, acquiredValues_[static_cast<std::size_t>(k)]);
  valuesWritten_ = valueCount_;
}

void Interpreter::stampSet() {
  if (valueCount_ != 0) return;
  if (settings_.numbering) acquiredValues_[static_cast<std::size_t>(valueCount_++)] = c_.view.acquisitionNumber();
  sheet::Stamp stamp{c_.clock.now(), sheet::Stamp::Kind::DateTime};
  switch (settings_.stamp) {
    case settings::StampMode::Date:
      stamp.kind = sheet::Stamp::Kind::Date;
      break;
    case settings::StampMode::Time:
      stamp.kind = sheet::Stamp::Kind::Time;
      break;
    case settings::StampMode::DateAndTime:
      break;
    case settings::StampMode::None:
    default:
      return;
  }
  acquiredValues_[static_cast<std::size_t>(valueCount_++)] = stamp;
}

void Interpreter::storeField(const cp932::CodeString& field) {
  if (field.empty() || valueCount_ >= MaxValues) return;
  if (valueCount_ == 0) stampSet();
  acquiredValues_[static_cast<std::size_t>(valueCount_++)] = cp932::toUnicode(field);
}

// Fields that still fit in this acquisition's row; an empty row first takes
// the number and the stamp.
std::size_t Interpreter::roomForFields() const {
  std::int16_t used = valueCount_;
  if (used == 0)
    used = static_cast<std::int16_t>((settings_.numbering ? 1 : 0) +
                                     (settings_.stamp != settings::StampMode::None ? 1 : 0));
  return used >= MaxValues ? 0 : static_cast<std::size_t>(MaxValues - used);
}

bool Interpreter::rcvDataGet(int channel) {
  const auto ch = static_cast<std::size_t>(channel);
  serial::LineAssembler& received = c_.reception.lines(channel);
  const cp932::Code startCode = c_.script.startCode[ch];
  const cp932::Code delimiterCode = c_.script.delimiterCode[ch];
  const cp932::Code endCode = c_.script.endCode[ch];
  bool got = false;
  while (received.hasLine(endCode)) {
    got = true;
    const cp932::CodeString line(received.frontLine(endCode));
    const std::vector<cp932::CodeString> fields = lineFields(line, startCode, delimiterCode, endCode);
    const std::size_t room = roomForFields();
    // Rows are never split inside a line: it waits, whole, for the next row.
    if (fields.size() > room && valueCount_ > 0) break;
    received.popLine(endCode);
    c_.view.termAppend(QStringLiteral("○ ") + cp932::toUnicode(line));
    const std::size_t kept = std::min(fields.size(), room);
    for (std::size_t i = 0; i < kept; ++i) storeField(fields[i]);
    if (kept < fields.size()) {
      droppedFields_ += fields.size() - kept;
      c_.view.termAppend(MsgFieldsDropped.arg(MaxValues).arg(fields.size() - kept));
    }
  }
  if (ch == static_cast<std::size_t>(Channel)) reportReceptionDrops(ch);
  return got;
}

void Interpreter::reportReceptionDrops(std::size_t channel) {
  const serial::DroppedCount now = c_.reception.dropped(static_cast<int>(channel));
  if (now == dropsReported_) return;
  c_.view.termAppend(MsgLinesDropped.arg(now.lines - dropsReported_.lines)
                         .arg(now.bytes - dropsReported_.bytes)
                         .arg(now.lines - dropsAtStart_.lines));
  dropsReported_ = now;
}

}  // namespace kestrune::script
