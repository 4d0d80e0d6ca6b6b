// Cell fills in BIFF8. A fill is a pattern drawn in two colours, and both are
// indexes into the workbook's colour table: 0-7 are fixed, 8-63 come from the
// PALETTE record (or the default table where a workbook has none), higher
// ones are the system's window colours. An XF holds its fill in the last six
// bytes of its cell data.
#pragma once

#include "sheet/xls/bytes.h"

#include <array>
#include <cstdint>
#include <optional>

namespace kestrune::xls {

struct Rgb {
  std::uint8_t red = 0, green = 0, blue = 0;
  bool operator==(const Rgb&) const = default;
};

// The colours of indexes 8 to 63.
constexpr std::uint8_t FirstPaletteIndex = 8;
constexpr std::size_t PaletteSize = 56;
using Palette = std::array<Rgb, PaletteSize>;

const Palette& defaultPalette();
// The table a PALETTE record's body gives: its colours in place of the
// default ones, as many as it holds (a short record leaves the rest).
Palette paletteFromRecord(ByteView body);
// The index (8-63) of the colour of `palette` nearest to `colour`; of equally
// near ones, the lowest.
std::uint8_t nearestPaletteIndex(const Palette& palette, Rgb colour);
// The colour an index stands for; none for the system's colours.
std::optional<Rgb> colourAt(const Palette& palette, std::uint16_t index);

// FillPattern values.
constexpr std::uint8_t NoFill = 0;
constexpr std::uint8_t SolidFill = 1;

struct XfFill {
  std::uint8_t pattern = NoFill;
  std::uint8_t foreground = 0;  // the colour a solid fill shows
  std::uint8_t background = 0;
};
// The fill of an XF body; none for a body shorter than an XF.
std::optional<XfFill> fillOf(ByteView xf);
// `xf` filled solid with the colour at `index`: the pattern and its colour
// change and the XF says it sets its own fill; every other field stays. The
// XF is new, so no XFEXT record can extend it.
Bytes withSolidFill(Bytes xf, std::uint8_t index);

}  // namespace kestrune::xls
