#include "sheet/xls/cell_fill.h"

#include "sheet/xls/records.h"

#include <algorithm>

namespace kestrune::xls {

namespace {

// Indexes 0-7: black, white, red, green, blue, yellow, magenta, cyan.
constexpr std::array<Rgb, FirstPaletteIndex> FixedColours{
    {{0, 0, 0}, {255, 255, 255}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0}, {255, 0, 255}, {0, 255, 255}}};

constexpr Rgb rgb(std::uint32_t value) {
  return Rgb{static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 8),
             static_cast<std::uint8_t>(value)};
}

int distance(Rgb a, Rgb b) {
  const int r = a.red - b.red, g = a.green - b.green, bl = a.blue - b.blue;
  return r * r + g * g + bl * bl;
}

}  // namespace

const Palette& defaultPalette() {
  static const Palette palette = [] {
    constexpr std::array<std::uint32_t, PaletteSize> values{
        0x000000, 0xFFFFFF, 0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00, 0xFF00FF, 0x00FFFF,  // 8-15
        0x800000, 0x008000, 0x000080, 0x808000, 0x800080, 0x008080, 0xC0C0C0, 0x808080,  // 16-23
        0x9999FF, 0x993366, 0xFFFFCC, 0xCCFFFF, 0x660066, 0xFF8080, 0x0066CC, 0xCCCCFF,  // 24-31
        0x000080, 0xFF00FF, 0xFFFF00, 0x00FFFF, 0x800080, 0x800000, 0x008080, 0x0000FF,  // 32-39
        0x00CCFF, 0xCCFFFF, 0xCCFFCC, 0xFFFF99, 0x99CCFF, 0xFF99CC, 0xCC99FF, 0xFFCC99,  // 40-47
        0x3366FF, 0x33CCCC, 0x99CC00, 0xFFCC00, 0xFF9900, 0xFF6600, 0x666699, 0x969696,  // 48-55
        0x003366, 0x339966, 0x003300, 0x333300, 0x993300, 0x993366, 0x333399, 0x333333,  // 56-63
    };
    Palette p;
    for (std::size_t i = 0; i < PaletteSize; ++i) p[i] = rgb(values[i]);
    return p;
  }();
  return palette;
}

Palette paletteFromRecord(ByteView body) {
  Palette palette = defaultPalette();
  if (body.size() < PaletteRecord::EntriesAt) return palette;
  const std::size_t stated = getU16(body, PaletteRecord::CountAt);
  const std::size_t held = (body.size() - PaletteRecord::EntriesAt) / PaletteRecord::EntrySize;
  for (std::size_t i = 0; i < std::min({stated, held, PaletteSize}); ++i) {
    const std::size_t at = PaletteRecord::EntriesAt + i * PaletteRecord::EntrySize;
    palette[i] = Rgb{body[at], body[at + 1], body[at + 2]};
  }
  return palette;
}

std::uint8_t nearestPaletteIndex(const Palette& palette, Rgb colour) {
  std::size_t best = 0;
  for (std::size_t i = 1; i < PaletteSize; ++i)
    if (distance(palette[i], colour) < distance(palette[best], colour)) best = i;
  return static_cast<std::uint8_t>(FirstPaletteIndex + best);
}

std::optional<Rgb> colourAt(const Palette& palette, std::uint16_t index) {
  if (index < FirstPaletteIndex) return FixedColours[index];
  if (index < FirstPaletteIndex + PaletteSize) return palette[index - FirstPaletteIndex];
  return std::nullopt;
}

std::optional<XfFill> fillOf(ByteView xf) {
  if (xf.size() < XfRecord::Size) return std::nullopt;
  const std::uint16_t colours = getU16(xf, XfRecord::FillColoursAt);
  return XfFill{static_cast<std::uint8_t>(getU32(xf, XfRecord::FillPatternAt) >> XfRecord::FillPatternShift),
                static_cast<std::uint8_t>(colours & XfRecord::ColourMask),
                static_cast<std::uint8_t>(colours >> XfRecord::BackgroundShift & XfRecord::ColourMask)};
}

Bytes withSolidFill(Bytes xf, std::uint8_t index) {
  if (xf.size() < XfRecord::Size) return xf;
  std::uint32_t pattern = getU32(xf, XfRecord::FillPatternAt);
  pattern &= ~(XfRecord::HasXfExt | XfRecord::FillPatternMask << XfRecord::FillPatternShift);
  setU32(xf, XfRecord::FillPatternAt, pattern | std::uint32_t{SolidFill} << XfRecord::FillPatternShift);
  const std::uint16_t colours = getU16(xf, XfRecord::FillColoursAt);
  setU16(xf, XfRecord::FillColoursAt,
         static_cast<std::uint16_t>((colours & ~XfRecord::ColourMask) | (index & XfRecord::ColourMask)));
  xf[XfRecord::UsedAttributesAt] |= XfRecord::UsesOwnFill;
  return xf;
}

}  // namespace kestrune::xls
