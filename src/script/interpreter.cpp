#include "script/interpreter.h"

#include "core/trace.h"
#include "script/fields.h"

namespace kestrune::script {

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
  acquisitionVoid_ = false;
  commandStep_ = -1;
  droppedFields_ = 0;
  fieldsOfStep_.assign(c_.script.scriptSteps.size(), 0);
  channel_ = 0;
  loopChannel_ = 0;
  inUse_ = script::channelsInUse(c_.script);
  for (int ch = 0; ch < serial::ChannelCount; ++ch) {
    ChannelState& channel = state(ch);
    channel.answerPending = false;
    channel.lossesSeen = port(ch).deviceLosses();
    channel.dropsAtStart = c_.reception.dropped(ch);
    channel.dropsReported = channel.dropsAtStart;
  }
}

serial::DroppedCount Interpreter::droppedLines() const {
  serial::DroppedCount total;
  for (int ch = 0; ch < serial::ChannelCount; ++ch) {
    const serial::DroppedCount now = c_.reception.dropped(ch);
    const serial::DroppedCount& atStart = channelStates_[static_cast<std::size_t>(ch)].dropsAtStart;
    total.lines += now.lines - atStart.lines;
    total.bytes += now.bytes - atStart.bytes;
  }
  return total;
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

// With one channel a tick executes one step, as it always has. With several,
// the steps that need no waiting run on in the same tick until one waits or
// the loop goes back to its start: the commands of one pass reach every
// instrument within the same moment, and a row of eight instruments takes a
// tick or two rather than dozens.
void Interpreter::loopProg() {
  const int most = inUse_.size() > 1 ? 2 * (c_.script.stepCount + 2) : 1;
  for (int i = 0; i < most; ++i) {
    if (!c_.run.active() || pausedForNext_) return;
    const std::int32_t step = currentStep_;
    const std::int16_t phase = stepPhase_;
    stepOnce();
    if (currentStep_ < step || (currentStep_ == step && stepPhase_ == phase)) return;
  }
}

void Interpreter::stepOnce() {
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

bool Interpreter::answerLost(int channel) {
  ChannelState& channelState = state(channel);
  const std::uint32_t losses = port(channel).deviceLosses();
  if (losses == channelState.lossesSeen) return false;
  channelState.lossesSeen = losses;
  // The answer awaited went with the device, unless a whole line of it is in.
  const cp932::Code endCode = c_.script.endCode[static_cast<std::size_t>(channel)];
  return channelState.answerPending && !c_.reception.lines(channel).hasLine(endCode);
}

bool Interpreter::holdForLostDevice() {
  if (inUse_.size() > 1) {
    // The start of a line from before the loss would join the first line the
    // device sends on its return.
    for (const int ch : inUse_)
      if (answerLost(ch)) c_.reception.lines(ch).clear();
    return false;
  }
  const int only = inUse_.front();
  if (answerLost(only)) acquisitionVoid_ = true;
  if (!acquisitionVoid_) return false;
  if (endRequested_) {
    // The run is ending (time limit): it ends as it would without the loss
    // rather than wait for a device that may not come back.
    acquisitionVoid_ = false;
    state(only).answerPending = false;
    return false;
  }
  if (port(only).deviceAbsent()) {
    c_.view.setMessage(MsgWaitingForDevice);
    return true;
  }
  repeatAcquisition();
  return false;
}

void Interpreter::repeatAcquisition() {
  const int only = inUse_.front();
  acquisitionVoid_ = false;
  state(only).answerPending = false;
  const std::int32_t loopStart = c_.script.loopStartStep;
  if (loopStart >= 0 && currentStep_ >= loopStart) {
    // Values already written by SET are overwritten in place by the new ones.
    currentStep_ = loopStart;
    channel_ = loopChannel_;
    valueCount_ = 0;
    valuesWritten_ = 0;
  } else if (commandStep_ >= 0) {
    currentStep_ = commandStep_;
  }
  stepPhase_ = 0;
  // The start of a line from before the loss, or what the device said on its
  // own since its return, is no answer to the command about to be sent again.
  c_.reception.lines(only).clear();
  c_.view.termAppend(MsgRepeating, NoChannel);
}

void Interpreter::execute(const ScriptStep& s) {
  Script& script = c_.script;
  const auto ch = static_cast<std::size_t>(channel_);
  switch (s.command) {
    case CmdSCD:
      script.startCode[ch] = static_cast<std::uint8_t>(s.charCode);
      advance();
      break;
    case CmdECD:
      if (s.charCode != 0) script.endCode[ch] = static_cast<std::uint8_t>(s.charCode);
      advance();
      break;
    case CmdDCD:
      if (s.charCode != 0) script.delimiterCode[ch] = static_cast<std::uint8_t>(s.charCode);
      advance();
      break;
    case CmdBRK:
      if (stepPhase_ == 0) {
        traceFailure(QStringLiteral("BRK"), port(channel_).setBreak(true));
        if (s.timeMs == 0) {
          traceFailure(QStringLiteral("BRK"), port(channel_).setBreak(false));
          advance();
        } else {
          script.waitRemainingMs = s.timeMs;
          stepPhase_ = 1;
        }
      } else if (script.waitRemainingMs < 1) {
        traceFailure(QStringLiteral("BRK"), port(channel_).setBreak(false));
        advance();
      }
      break;
    case CmdRTM:
      if (s.timeMs >= 0) script.receiveTimeoutMs[ch] = s.timeMs;
      advance();
      break;
    case CmdSTM:
      if (s.timeMs >= 0) script.sendTimeoutMs[ch] = s.timeMs;
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
      traceFailure(QStringLiteral("CLR"), port(channel_).setInBufferCount(0));
      c_.reception.lines(channel_).clear();
      advance();
      break;
    case CmdCHN:
      if (s.channel >= 0 && s.channel < serial::ChannelCount) channel_ = s.channel;
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
  loopChannel_ = channel_;
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
  state(channel_).answerPending = false;
  rcvDataGet(channel_);
  intervalRemainingMs_ = c_.script.intervalMs;
  completeRow();
  if (c_.script.loopStartStep < 0 || endRequested_ || cycleCount_ >= settings_.rowLimit) {
    endRequested_ = true;
    ++currentStep_;
    c_.view.setMessage(MsgEnding);
  } else {
    currentStep_ = c_.script.loopStartStep;
    channel_ = loopChannel_;
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
    rcvFrom_ = valueCount_;
    if (rcvDataGet(channel_)) {
      endReceive();
    } else {
      script.waitRemainingMs = script.receiveTimeoutMs[static_cast<std::size_t>(channel_)];
      stepPhase_ = 1;
    }
    return;
  }
  if (rcvDataGet(channel_) || script.waitRemainingMs < 1 || endRequested_) endReceive();
}

// An RCV ends. With several instruments, one that gave nothing (gone, or
// silent until the time-out) leaves as many empty cells as its last answer to
// this RCV had fields, so the values of the channels after it keep their columns.
void Interpreter::endReceive() {
  state(channel_).answerPending = false;
  const auto step = static_cast<std::size_t>(currentStep_);
  if (step < fieldsOfStep_.size()) {
    const auto taken = static_cast<std::int16_t>(valueCount_ - rcvFrom_);
    if (taken > 0) {
      fieldsOfStep_[step] = taken;
    } else if (inUse_.size() > 1) {
      for (std::int16_t i = 0; i < fieldsOfStep_[step] && roomForFields() > 0; ++i) {
        if (valueCount_ == 0) stampSet();
        acquiredValues_[static_cast<std::size_t>(valueCount_++)] = QString();
      }
    }
  }
  advance();
}

void Interpreter::send(const ScriptStep& s) {
  Script& script = c_.script;
  serial::Port& out = port(channel_);
  if (stepPhase_ == 1) {
    if (out.outBufferCount() == 0) {
      advance();
    } else if (script.waitRemainingMs < 1) {
      traceFailure(QStringLiteral("SND"), out.setOutBufferCount(0));
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
      keepFirstFailure(out.outputByte(static_cast<std::uint8_t>(x > 0 ? (x & 0x7F) + 128 : 0)));
      escape = false;
    } else if (x == 0) {
      escape = true;
    } else {
      shown.push_back(x);
      keepFirstFailure(out.output(cp932::CodeString(1, x)));
    }
  }
  c_.view.setMessage(stepLabel(":SND"));
  commandStep_ = currentStep_;
  if (written.ok()) {
    c_.view.termAppend(QStringLiteral("● ") + cp932::toUnicode(shown), channel_);
    state(channel_).answerPending = true;
  } else {
    traceFailure(QStringLiteral("SND"), written);
    const bool noDevice = out.deviceAbsent() || written.error().is(serial::PortError::DeviceLost);
    c_.view.termAppend(MsgNotSent.arg(cp932::toUnicode(shown), noDevice ? MsgNoDevice : written.description()),
                       channel_);
    // Without the device a run on one channel waits for it to come back; a
    // run on several goes on, and this channel's RCV gets no answer. With the
    // device the loss may be on its way unnoticed yet: when reported, it
    // voids the command as it would a sent one.
    if (!noDevice)
      state(channel_).answerPending = true;
    else if (inUse_.size() == 1)
      acquisitionVoid_ = true;
  }
  script.waitRemainingMs = script.sendTimeoutMs[static_cast<std::size_t>(channel_)];
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
  sheet::Stamp stamp{c_.clock.now(), sheet::Stamp::Kind::DateTime, settings_.stampMilliseconds};
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
  if (channel < 0 || channel >= serial::ChannelCount) return false;
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
    c_.view.termAppend(QStringLiteral("○ ") + cp932::toUnicode(line), channel);
    const std::size_t kept = std::min(fields.size(), room);
    for (std::size_t i = 0; i < kept; ++i) storeField(fields[i]);
    if (kept < fields.size()) {
      droppedFields_ += fields.size() - kept;
      c_.view.termAppend(MsgFieldsDropped.arg(MaxValues).arg(fields.size() - kept), channel);
    }
  }
  reportReceptionDrops(channel);
  return got;
}

void Interpreter::reportReceptionDrops(int channel) {
  ChannelState& channelState = state(channel);
  const serial::DroppedCount now = c_.reception.dropped(channel);
  if (now == channelState.dropsReported) return;
  c_.view.termAppend(MsgLinesDropped.arg(now.lines - channelState.dropsReported.lines)
                         .arg(now.bytes - channelState.dropsReported.bytes)
                         .arg(now.lines - channelState.dropsAtStart.lines),
                     channel);
  channelState.dropsReported = now;
}

}  // namespace kestrune::script
