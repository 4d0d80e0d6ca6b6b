// The one settings record and its 2048-byte encoding in setup.dat.
//
// Layout, little-endian and packed: Integer and Boolean 2 bytes, Long 4 bytes,
// String a 2-byte length and that many bytes, arrays of 8 slots back to back.
// Bytes after the last field up to 2048 are filler (written as zeros). File
// order: reservedHead, stampMode, scriptFromFile, numberingOn, acquisitionNo,
// startAtCell, startCol, startRow, startColNo, reservedMid, acquireTimeMs,
// measureCount, commSettings[8], commPort[8], handshaking[8], reservedTail.
//
// In memory the record holds bool and enum values. The file's forms (16-bit
// Booleans 0 and -1, numbered modes) appear only in encodeSetupRecord and
// decodeSetupRecord.
#pragma once

#include "core/result.h"

#include <QByteArray>

#include <array>
#include <cstdint>
#include <optional>

namespace kestrune::settings {

constexpr std::size_t SetupRecordSize = 2048;
constexpr int SlotCount = 8;

// What stands before the values of each acquired row.
enum class StampMode { None, Date, Time, DateAndTime };

// The flow control stored for a serial slot. The port has a type of its own;
// the application carries slot 0 between the two.
enum class FlowControl { None, XonXoff, RtsCts, RtsCtsXonXoff };

class SetupRecord {
public:
  std::int16_t reservedHead = 0;
  std::int32_t acquisitionNo = 0;
  QByteArray startCol;  // column letters, ASCII
  std::int32_t startRow = 0;
  std::int16_t startColNo = 0;
  std::int16_t reservedMid = 0;
  std::int32_t acquireTimeMs = 0;
  std::int32_t measureCount = 0;
  std::array<QByteArray, SlotCount> commSettings;
  std::array<std::int16_t, SlotCount> commPort{};
  QByteArray reservedTail;

  // The typed fields. A hand-made file may hold a 16-bit value that the type
  // cannot (a Boolean 5, a stamp mode 7): it is read as each field says, and
  // the value read is written back unchanged until the field is set, so that
  // loading and saving never rewrites what nobody changed.

  // 1 Date, 2 Time, 3 DateAndTime; any other value reads as None.
  StampMode stampMode() const { return stampMode_.value; }
  void setStampMode(StampMode mode) { stampMode_ = {mode, std::nullopt}; }
  // Booleans stored as -1 (true) and 0; any value but 0 reads as true.
  bool scriptFromFile() const { return scriptFromFile_.value; }
  void setScriptFromFile(bool on) { scriptFromFile_ = {on, std::nullopt}; }
  bool numberingOn() const { return numberingOn_.value; }
  void setNumberingOn(bool on) { numberingOn_ = {on, std::nullopt}; }
  // A Boolean too, but only -1 reads as true: a file holding another non-zero
  // value here starts at the current cell, as such files always have.
  bool startAtCell() const { return startAtCell_.value; }
  void setStartAtCell(bool on) { startAtCell_ = {on, std::nullopt}; }
  // 0 None, 1 XonXoff, 2 RtsCts, 3 RtsCtsXonXoff; empty for any other value,
  // which names no flow control. `slot` is 0 to SlotCount - 1.
  std::optional<FlowControl> handshaking(std::size_t slot) const { return handshaking_.at(slot).value; }
  void setHandshaking(std::size_t slot, FlowControl flow) { handshaking_.at(slot) = {flow, std::nullopt}; }

  // Equal records hold the same values and encode to the same bytes.
  friend bool operator==(const SetupRecord&, const SetupRecord&) = default;

private:
  friend Result<QByteArray> encodeSetupRecord(const SetupRecord& record);
  friend Status decodeSetupRecord(QByteArrayView data, SetupRecord& record);

  // A typed value and, when it was read from a 16-bit value other than the
  // one it is written as, that value.
  template <typename T>
  struct Typed {
    T value{};
    std::optional<std::int16_t> asRead;
    friend bool operator==(const Typed&, const Typed&) = default;
  };
  using Slots = std::array<Typed<std::optional<FlowControl>>, SlotCount>;
  static constexpr Slots noFlowControl() {
    Slots none{};
    for (auto& slot : none) slot.value = FlowControl::None;
    return none;
  }

  Typed<StampMode> stampMode_;
  Typed<bool> scriptFromFile_;
  Typed<bool> numberingOn_;
  Typed<bool> startAtCell_;
  Slots handshaking_ = noFlowControl();
};

// How setup.dat (and the conditions panel's option index) numbers a stamp mode.
std::int16_t stampModeCode(StampMode mode);

// Why setup.dat could not be written or read in full.
enum class SetupError { DoesNotFit = 1, Truncated, NotAFile, Unreadable, NotSaved };
inline ErrorDomain errorDomainOf(SetupError) { return ErrorDomain::Settings; }

// The record as 2048 bytes; fails when the fields do not fit.
Result<QByteArray> encodeSetupRecord(const SetupRecord& record);

// Reads the fields in file order from the first 2048 bytes of `data` into
// `record`. Stops at the first field that runs past the data or past 2048
// bytes and reports it; the fields read before it keep their new values, the
// rest keep theirs.
Status decodeSetupRecord(QByteArrayView data, SetupRecord& record);

}  // namespace kestrune::settings
