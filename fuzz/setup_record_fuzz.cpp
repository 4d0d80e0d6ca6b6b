// setup.dat from anywhere: decoding never reads out of bounds, and whatever
// decodes completely encodes back to the same fields.
#include "settings/setup_record.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kestrune::settings;
  const QByteArrayView bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  SetupRecord record;
  if (!decodeSetupRecord(bytes, record).ok()) return 0;
  const auto encoded = encodeSetupRecord(record);
  if (!encoded.ok()) std::abort();  // what fitted in 2048 bytes must fit again
  SetupRecord again;
  if (!decodeSetupRecord(*encoded, again).ok() || !(again == record)) std::abort();
  return 0;
}
