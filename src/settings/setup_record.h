// setup.dat's 2048-byte record: the settings in the file's own forms.
//
// Layout, little-endian and packed: Integer and Boolean 2 bytes, Long 4 bytes,
// String a 2-byte length and that many bytes, arrays of 8 slots back to back.
// Bytes after the last field up to 2048 are filler (written as zeros). File
// order: reservedHead, stampMode, scriptFromFile, numberingOn, acquisitionNo,
// startAtCell, startCol, startRow, startColNo, reservedMid, acquireTimeMs,
// measureCount, commSettings[8], commPort[8], handshaking[8], reservedTail.
//
// The record is a codec: the program works on Settings (settings_model.h) and
// hands them to the record to be written. Reserved bytes and each value as
// read are kept, so a file is written back byte for byte until a value
// changes. Slot n holds channel n's line; an unused slot has port 0.
#pragma once

#include "core/result.h"
#include "settings/settings_model.h"

#include <QByteArray>

#include <array>
#include <cstdint>
#include <optional>

namespace kestrune::settings {

constexpr std::size_t SetupRecordSize = 2048;
constexpr int SlotCount = 8;
static_assert(SlotCount == serial::ChannelCount, "one slot per channel");

// How the conditions given to a record replace what it read. A hand-made file
// may hold a 16-bit value that the setting's type cannot (a Boolean 5, a stamp
// mode 7): it reads as the field says and is kept until the field is set.
enum class Rewrite {
  Changed,    // only values that differ from the record's are set
  Corrected,  // as Changed; the stamp mode is set too (an opening panel writes it)
  All,        // every value is set (OK on the conditions panel)
};

// Who keeps the conditions the panel edits (the acquisition session).
class ConditionsHolder {
public:
  virtual ~ConditionsHolder() = default;
  virtual const Conditions& conditions() const = 0;
  virtual void setConditions(const Conditions& conditions, Rewrite rewrite) = 0;
};

// Who keeps every channel's line settings and applies them to the channel's
// port (the acquisition session); the serial panel edits them through it.
// Channels are 0 to serial::ChannelCount - 1.
class LineHolder {
public:
  virtual ~LineHolder() = default;
  virtual const LineSettings& lineSettings(int channel) const = 0;
  // Applies port number, settings and flow control in that order, stopping at
  // the first the port refuses; what was applied before stays.
  virtual Status applyLineSettings(int channel, const LineSettings& line) = 0;
};

class SetupRecord {
public:
  // The conditions as the record reads them. Booleans stored as -1 (true) and
  // 0, any value but 0 reading as true, except the start mode, where only -1
  // does (a file holding another value there starts at the current cell, as
  // such files always have). Stamp modes 1 date, 2 time, 3 both, any other none.
  Conditions conditions() const;
  void setConditions(const Conditions& conditions, Rewrite rewrite = Rewrite::Changed);

  // A serial slot (0 to SlotCount - 1) as stored.
  StoredLine storedLine(std::size_t slot) const;
  // Stores the line in `slot`. Settings text is written in its usual form
  // ("19200,e,7,1.5") unless the stored text already means the same.
  void setLine(std::size_t slot, const LineSettings& line);

  // Equal records hold the same values and encode to the same bytes.
  friend bool operator==(const SetupRecord&, const SetupRecord&) = default;

private:
  friend Result<QByteArray> encodeSetupRecord(const SetupRecord& record);
  friend Status decodeSetupRecord(QByteArrayView data, SetupRecord& record);

  // A typed 16-bit value and, when it was read from a 16-bit value other than
  // the one it is written as, that value.
  template <typename T>
  struct Typed {
    T value{};
    std::optional<std::int16_t> asRead;
    void set(T v) { *this = {v, std::nullopt}; }
    friend bool operator==(const Typed&, const Typed&) = default;
  };

  std::int16_t reservedHead_ = 0;
  Typed<StampMode> stampMode_;
  Typed<bool> scriptFromFile_;
  Typed<bool> numberingOn_;
  std::int32_t acquisitionNo_ = 0;
  Typed<bool> startAtCell_;
  QByteArray startCol_;  // column letters, ASCII
  std::int32_t startRow_ = 0;
  std::int16_t startColNo_ = 0;
  std::int16_t reservedMid_ = 0;
  std::int32_t acquireTimeMs_ = 0;
  std::int32_t measureCount_ = 0;
  std::array<QByteArray, SlotCount> commSettings_;
  std::array<std::int16_t, SlotCount> commPort_{};
  std::array<std::int16_t, SlotCount> handshaking_{};
  QByteArray reservedTail_;
};

// Why setup.dat could not be written or read in full, or a stored value could
// not be used.
enum class SetupError { DoesNotFit = 1, Truncated, NotAFile, Unreadable, NotSaved, ValueRefused };
inline ErrorDomain errorDomainOf(SetupError) { return ErrorDomain::Settings; }

// The record as 2048 bytes; fails when the fields do not fit.
Result<QByteArray> encodeSetupRecord(const SetupRecord& record);

// Reads the fields in file order from the first 2048 bytes of `data` into
// `record`. Stops at the first field that runs past the data or past 2048
// bytes and reports it; the fields read before it keep their new values, the
// rest keep theirs.
Status decodeSetupRecord(QByteArrayView data, SetupRecord& record);

}  // namespace kestrune::settings
