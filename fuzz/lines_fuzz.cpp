// Received bytes cut into lines: whatever the chunks, every character ends up
// in a line handed out, still held, or counted as dropped; a line handed out
// ends at its only end code; the buffer never holds more than its limit.
#include "serial/line_assembler.h"

#include <cstdlib>

namespace {
std::uint64_t bytesOf(std::u16string_view text) {
  std::uint64_t bytes = 0;
  for (const char16_t c : text) bytes += c > 0xFF ? 2 : 1;
  return bytes;
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrune;
  if (size < 2) return 0;
  // The first byte is the end code, the second how reads cut the rest; a
  // line is taken after every other read.
  const cp932::Code endCode = data[0];
  const std::size_t step = data[1] * 37u + 1;
  const cp932::CodeString received = cp932::decode(std::string_view(reinterpret_cast<const char*>(data) + 2, size - 2));
  serial::LineAssembler lines;
  std::uint64_t taken = 0;
  for (std::size_t i = 0, read = 0; i < received.size(); i += step, ++read) {
    lines.append(std::u16string_view(received).substr(i, step), endCode);
    if (lines.text().size() > serial::ReceiveBufferLimit) std::abort();
    if (read % 2 == 0 || !lines.hasLine(endCode)) continue;
    const std::u16string_view line = lines.frontLine(endCode);
    if (line.empty() || line.back() != endCode || line.find(endCode) != line.size() - 1) std::abort();
    taken += bytesOf(line);
    lines.popLine(endCode);
  }
  if (taken + bytesOf(lines.text()) + lines.dropped().bytes != bytesOf(received)) std::abort();
  return 0;
}
