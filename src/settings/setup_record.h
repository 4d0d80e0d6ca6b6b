// The one settings record and its 2048-byte encoding in setup.dat.
//
// Layout, little-endian and packed: Integer and Boolean 2 bytes, Long 4 bytes,
// String a 2-byte length and that many bytes, arrays of 8 slots back to back.
// Bytes after the last field up to 2048 are filler (written as zeros).
#pragma once

#include "core/result.h"

#include <QByteArray>

#include <array>
#include <cstdint>

namespace kestrune::settings {

constexpr std::size_t SetupRecordSize = 2048;
constexpr int SlotCount = 8;

// Stored Booleans are 16-bit: 0 false, -1 true. Values read from a hand-made
// file are kept as they are; readers decide how to take them.
constexpr std::int16_t True = -1;
constexpr std::int16_t False = 0;
constexpr std::int16_t toBoolean(bool b) { return b ? True : False; }

struct SetupRecord {
  std::int16_t reservedHead = 0;
  std::int16_t stampMode = 0;       // 0 none, 1 date, 2 time, 3 date and time
  std::int16_t scriptFromFile = 0;  // Boolean
  std::int16_t numberingOn = 0;     // Boolean
  std::int32_t acquisitionNo = 0;
  std::int16_t startAtCell = 0;  // Boolean
  QByteArray startCol;           // column letters, ASCII
  std::int32_t startRow = 0;
  std::int16_t startColNo = 0;
  std::int16_t reservedMid = 0;
  std::int32_t acquireTimeMs = 0;
  std::int32_t measureCount = 0;
  std::array<QByteArray, SlotCount> commSettings;
  std::array<std::int16_t, SlotCount> commPort{};
  std::array<std::int16_t, SlotCount> handshaking{};
  QByteArray reservedTail;

  friend bool operator==(const SetupRecord&, const SetupRecord&) = default;
};

// The record as 2048 bytes; fails when the fields do not fit.
Result<QByteArray> encodeSetupRecord(const SetupRecord& record);

// Reads the fields in file order from the first 2048 bytes of `data` into
// `record`. Stops at the first field that runs past the data or past 2048
// bytes and reports it; the fields read before it keep their new values, the
// rest keep theirs.
Status decodeSetupRecord(QByteArrayView data, SetupRecord& record);

}  // namespace kestrune::settings
