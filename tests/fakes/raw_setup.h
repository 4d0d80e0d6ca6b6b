// setup.dat's fields as plain 16- and 32-bit values, written in the file's
// layout by a writer of their own: records the program would never write
// (hand-made values, reserved bytes, other slots), and an independent check
// of what it does write.
#pragma once

#include <QByteArray>
#include <QtEndian>

#include <array>
#include <cstdint>

namespace kestrune::testing {

constexpr std::int16_t True16 = -1;

struct RawSetup {
  std::int16_t reservedHead = 0;
  std::int16_t stampMode = 0;
  std::int16_t scriptFromFile = 0;
  std::int16_t numberingOn = 0;
  std::int32_t acquisitionNo = 0;
  std::int16_t startAtCell = 0;
  QByteArray startCol;
  std::int32_t startRow = 0;
  std::int16_t startColNo = 0;
  std::int16_t reservedMid = 0;
  std::int32_t acquireTimeMs = 0;
  std::int32_t measureCount = 0;
  std::array<QByteArray, 8> commSettings;
  std::array<std::int16_t, 8> commPort{};
  std::array<std::int16_t, 8> handshaking{};
  QByteArray reservedTail;

  // The 2048 bytes of the record.
  QByteArray bytes() const {
    QByteArray out;
    const auto i16 = [&out](std::int16_t v) {
      out.append(2, '\0');
      qToLittleEndian(v, out.data() + out.size() - 2);
    };
    const auto i32 = [&out](std::int32_t v) {
      out.append(4, '\0');
      qToLittleEndian(v, out.data() + out.size() - 4);
    };
    const auto str = [&](const QByteArray& s) {
      i16(static_cast<std::int16_t>(s.size()));
      out.append(s);
    };
    i16(reservedHead);
    i16(stampMode);
    i16(scriptFromFile);
    i16(numberingOn);
    i32(acquisitionNo);
    i16(startAtCell);
    str(startCol);
    i32(startRow);
    i16(startColNo);
    i16(reservedMid);
    i32(acquireTimeMs);
    i32(measureCount);
    for (const QByteArray& s : commSettings) str(s);
    for (const std::int16_t p : commPort) i16(p);
    for (const std::int16_t h : handshaking) i16(h);
    str(reservedTail);
    out.append(2048 - out.size(), '\0');
    return out;
  }
};

}  // namespace kestrune::testing
