// Constants of the compound file layout shared by its reader and writer:
// special sector ids, sizes, the 512-byte header's fields and the 128-byte
// directory entry's fields (byte offsets).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kestrune::xls::cfbconst {

// Sector ids with a meaning of their own in FAT and DIFAT entries.
constexpr std::uint32_t FreeSect = 0xFFFFFFFF;
constexpr std::uint32_t EndOfChain = 0xFFFFFFFE;
constexpr std::uint32_t FatSect = 0xFFFFFFFD;
constexpr std::uint32_t DifSect = 0xFFFFFFFC;
constexpr std::uint32_t MaxRegSect = 0xFFFFFFFA;
constexpr std::uint32_t NoStream = 0xFFFFFFFF;  // no sibling or child in a directory entry

constexpr std::uint32_t MiniStreamCutoff = 4096;  // smaller streams live in the mini stream
// The largest stream written: its size stays in the positive range of a
// signed 32-bit field.
constexpr std::uint64_t MaxStreamSize = 0x7FFFFFFF;
constexpr std::uint32_t MiniSectorSize = 64;
constexpr std::uint32_t HeaderDifatEntries = 109;  // FAT sector ids held by the header itself
constexpr std::uint32_t DirEntrySize = 128;

// The first eight bytes of every compound file.
constexpr std::array<std::uint8_t, 8> Signature = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};

namespace header {
constexpr std::size_t Size = 512;

// Field offsets.
constexpr std::size_t MinorVersion = 0x18;
constexpr std::size_t MajorVersion = 0x1A;
constexpr std::size_t ByteOrder = 0x1C;
constexpr std::size_t SectorShift = 0x1E;
constexpr std::size_t MiniSectorShift = 0x20;
constexpr std::size_t FatSectorCount = 0x2C;
constexpr std::size_t FirstDirectorySector = 0x30;
constexpr std::size_t MiniStreamCutoffSize = 0x38;
constexpr std::size_t FirstMiniFatSector = 0x3C;
constexpr std::size_t MiniFatSectorCount = 0x40;
constexpr std::size_t FirstDifatSector = 0x44;
constexpr std::size_t DifatSectorCount = 0x48;
constexpr std::size_t Difat = 0x4C;  // HeaderDifatEntries FAT sector ids, 4 bytes each

// Field values.
constexpr std::uint16_t MinorVersionValue = 0x003E;
constexpr std::uint16_t ByteOrderMark = 0xFFFE;  // little-endian
constexpr std::uint16_t SwappedByteOrderMark = 0xFEFF;
constexpr std::uint16_t Version3 = 3;  // 512-byte sectors
constexpr std::uint16_t Version3SectorShift = 9;
constexpr std::uint16_t Version4 = 4;  // 4096-byte sectors
constexpr std::uint16_t Version4SectorShift = 12;
constexpr std::uint16_t MiniSectorShiftValue = 6;  // 64-byte mini sectors
}  // namespace header

// Field offsets of a directory entry.
namespace dirent {
constexpr std::size_t Name = 0x00;  // UTF-16, terminator included
constexpr std::size_t NameBytes = 64;
constexpr std::size_t MaxNameChars = 31;
constexpr std::size_t NameLength = 0x40;  // in bytes, terminator included
constexpr std::size_t Type = 0x42;
constexpr std::size_t Colour = 0x43;
constexpr std::size_t Left = 0x44;
constexpr std::size_t Right = 0x48;
constexpr std::size_t Child = 0x4C;
constexpr std::size_t Clsid = 0x50;
constexpr std::size_t StateBits = 0x60;
constexpr std::size_t Timestamps = 0x64;  // creation and modification FILETIMEs
constexpr std::size_t StartSector = 0x74;
constexpr std::size_t StreamSize = 0x78;
constexpr std::size_t StreamSizeHigh = 0x7C;  // version 4 only
}  // namespace dirent

}  // namespace kestrune::xls::cfbconst
