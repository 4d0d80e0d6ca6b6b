// Received bytes from anywhere: decoding in arbitrary chunks loses nothing
// and invents nothing, and display conversion never fails.
#include "core/cp932.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrune::cp932;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CodeString chunked;
  Decoder decoder;
  // The first byte decides how the rest is cut into chunks, as reads would cut it.
  const std::size_t step = size ? (data[0] % 7) + 1 : 1;
  for (std::size_t i = 0; i < size; i += step) decoder.feed(bytes.substr(i, step), chunked);
  decoder.flush(chunked);
  if (chunked != decode(bytes) || encode(chunked) != bytes) std::abort();
  if (toUnicode(chunked).size() != static_cast<qsizetype>(chunked.size())) std::abort();
  return 0;
}
