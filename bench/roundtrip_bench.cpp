// The round trip of the full sheet (full_sheet.h) in a process that does
// nothing else: open the workbook, change one cell, save it. Prints the
// seconds it took and the process's peak resident size (VmHWM), to compare
// with python-xlrd reading the same file (xlrd_peak.py).
//   roundtrip_bench make PATH       writes the full-sheet workbook
//   roundtrip_bench roundtrip PATH  opens, changes a cell, saves over PATH
// Built twice: without Qt, and linked with Qt's libraries as the program is.
#include "full_sheet.h"
#include "sheet/xls/workbook.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#ifdef KESTRUNE_BENCH_WITH_QT
#include <QCoreApplication>
#include <QString>
#endif

namespace {

long statusKiB(const char* field) {
  long value = -1;
  if (std::FILE* f = std::fopen("/proc/self/status", "r")) {
    char line[256];
    const std::size_t n = std::strlen(field);
    while (std::fgets(line, sizeof line, f))
      if (std::strncmp(line, field, n) == 0) value = std::strtol(line + n + 1, nullptr, 10);
    std::fclose(f);
  }
  return value;
}

}  // namespace

int main(int argc, char** argv) {
#ifdef KESTRUNE_BENCH_WITH_QT
  QCoreApplication app(argc, argv);  // Qt loaded and started, as in the program
#endif
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s make|roundtrip PATH\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1], path = argv[2];
  if (mode == "make") {
    const auto st = kestrune::bench::writeFullSheet(path);
    if (!st) std::fprintf(stderr, "%s\n", st.description().c_str());
    return st ? 0 : 1;
  }
  const long before = statusKiB("VmHWM:");
  const auto start = std::chrono::steady_clock::now();
  auto book = kestrune::xls::Workbook::open(path);
  if (!book) {
    std::fprintf(stderr, "open: %s\n", book.description().c_str());
    return 1;
  }
  if (auto st = book->setCell(0, 100, 3, kestrune::xls::Value(42.5)); !st) {
    std::fprintf(stderr, "setCell: %s\n", st.description().c_str());
    return 1;
  }
  if (auto st = book->save(path); !st) {
    std::fprintf(stderr, "save: %s\n", st.description().c_str());
    return 1;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("seconds=%.3f vmhwm_kib=%ld start_hwm_kib=%ld vmrss_kib=%ld\n", seconds, statusKiB("VmHWM:"), before,
              statusKiB("VmRSS:"));
  return 0;
}
