// Constants of the compound file layout shared by its reader and writer.
#pragma once

#include <cstdint>

namespace kestrune::xls::cfbconst {

constexpr std::uint32_t FreeSect = 0xFFFFFFFF;
constexpr std::uint32_t EndOfChain = 0xFFFFFFFE;
constexpr std::uint32_t FatSect = 0xFFFFFFFD;
constexpr std::uint32_t DifSect = 0xFFFFFFFC;
constexpr std::uint32_t MaxRegSect = 0xFFFFFFFA;
constexpr std::uint32_t NoStream = 0xFFFFFFFF;
constexpr std::uint32_t MiniStreamCutoff = 4096;
constexpr std::uint32_t MiniSectorSize = 64;
constexpr std::uint32_t HeaderDifatEntries = 109;
constexpr std::uint32_t DirEntrySize = 128;

}  // namespace kestrune::xls::cfbconst
