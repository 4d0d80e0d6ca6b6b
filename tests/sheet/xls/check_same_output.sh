#!/usr/bin/env bash
# Checks that the .xls engine of the working tree reads and saves exactly as
# the engine of an earlier commit does, for a change that must not change
# behaviour (a refactoring). Both engines are built from source with g++ into
# a small program that prints, for each file, every cell (position, value,
# XF, formula flag), the active sheet and cells, and a digest of the bytes of
# three saves: untouched, with the active cell moved, and with cells of every
# kind written on the first and last sheet. The files: the sample workbooks,
# a hand-made workbook with the records they lack (INDEX, DBCELL, PANE,
# LABEL, RSTRING, MULBLANK, a nested substream, a sheet without view records)
# and damaged copies of all of them, the same on every run.
#
#   tests/sheet/xls/check_same_output.sh BASE_COMMIT [DAMAGED_COPIES_PER_FILE]
#
# Prints the number of files compared and exits 0 when the two outputs are
# identical; otherwise shows the first lines that differ and exits 1.
set -euo pipefail

base=${1:?usage: $0 BASE_COMMIT [DAMAGED_COPIES_PER_FILE]}
copies=${2:-300}
root=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/base" "$work/files"
git -C "$root" archive "$base" src/sheet/xls src/core/basic_result.h | tar -x -C "$work/base"

cat > "$work/dump.cpp" <<'EOF'
#include "sheet/xls/workbook.h"

#include <cstdio>
#include <string>

using namespace kestrune::xls;

namespace {

std::string number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

std::string describe(const Value& v) {
  if (const auto* s = std::get_if<std::string>(&v)) return "text " + *s;
  if (const auto* d = std::get_if<double>(&v)) return "number " + number(*d);
  if (const auto* b = std::get_if<bool>(&v)) return *b ? "bool 1" : "bool 0";
  if (const auto* t = std::get_if<DateTimeValue>(&v))
    return "date " + number(t->serial) + " " + std::to_string(static_cast<int>(t->kind));
  if (const auto* e = std::get_if<CellError>(&v)) return "error " + std::to_string(e->code);
  return "empty";
}

std::string digest(const XlsResult<Bytes>& bytes) {
  if (!bytes) return "fails: " + bytes.description();
  std::uint64_t h = 1469598103934665603ull;  // FNV-1a
  for (std::uint8_t c : bytes.value()) h = (h ^ c) * 1099511628211ull;
  return std::to_string(bytes->size()) + " bytes, " + std::to_string(h);
}

}  // namespace

int main(int argc, char** argv) {
  for (int a = 1; a < argc; ++a) {
    std::printf("== %s\n", argv[a]);
    auto wb = Workbook::open(argv[a]);
    if (!wb) {
      std::printf("open fails: %s\n", wb.description().c_str());
      continue;
    }
    std::printf("active sheet %zu, 1904 dates %d\n", wb->activeSheet(), wb->date1904() ? 1 : 0);
    for (std::size_t s = 0; s < wb->sheetCount(); ++s) {
      std::printf("sheet %zu %s kind %d active cell %u %u\n", s, wb->sheetName(s).c_str(),
                  static_cast<int>(wb->sheetKind(s)), wb->activeCell(s).row, wb->activeCell(s).column);
      for (const auto& [k, c] : wb->cells(s))
        std::printf("%u %u %s xf %u formula %d\n", k >> 8, k & 0xFF, describe(c.value).c_str(), c.xf,
                    c.formula ? 1 : 0);
    }
    std::printf("saved untouched: %s\n", digest(wb->toBytes()).c_str());
    // Each edit prints whether it was taken (1) or refused (0).
    const std::size_t last = wb->sheetCount() - 1;
    std::printf("active cell: %d\n", wb->setActiveCell(0, 5, 3).ok() ? 1 : 0);
    std::printf("saved with the active cell moved: %s\n", digest(wb->toBytes()).c_str());
    for (std::size_t s : {std::size_t{0}, last}) {
      const Value values[] = {99.5, std::string("t"), std::monostate{}, true,
                              DateTimeValue{45000.5, DateKind::DateTime}, CellError{7}, 1.0};
      const std::uint32_t rows[] = {0, 1, 2, 3, 4, 40, 300}, columns[] = {0, 1, 2, 0, 1, 3, 7};
      for (int i = 0; i < 7; ++i) std::printf("%d", wb->setCell(s, rows[i], columns[i], values[i]).ok() ? 1 : 0);
    }
    std::printf(" written, active sheet: %d\n", wb->setActiveSheet(last).ok() ? 1 : 0);
    std::printf("saved with cells written: %s\n", digest(wb->toBytes()).c_str());
  }
}
EOF

cat > "$work/wrap.cpp" <<'EOF'
// A Workbook stream (standard input) in a compound file (standard output).
#include "sheet/xls/cfb.h"

#include <cstdio>
#include <iostream>
#include <iterator>

int main() {
  const std::string in((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
  kestrune::xls::CompoundFile file;
  kestrune::xls::CfbEntry stream;
  stream.name = u"Workbook";
  stream.data.assign(in.begin(), in.end());
  file.root().children.push_back(std::move(stream));
  const auto bytes = file.serialize();
  if (!bytes) return 1;
  return std::fwrite(bytes->data(), 1, bytes->size(), stdout) == bytes->size() ? 0 : 1;
}
EOF

echo "building the engine of $base and of the working tree"
g++ -std=c++20 -O1 -I "$work/base/src" "$work"/base/src/sheet/xls/*.cpp "$work/dump.cpp" -o "$work/dump_base" -lcrypto
g++ -std=c++20 -O1 -I "$root/src" "$root"/src/sheet/xls/*.cpp "$work/dump.cpp" -o "$work/dump_tree" -lcrypto
g++ -std=c++20 -O1 -I "$root/src" "$root"/src/sheet/xls/cfb_*.cpp "$root"/src/sheet/xls/text.cpp "$work/wrap.cpp" -o "$work/wrap" -lcrypto

/usr/bin/python3 - "$root/tests/data/xls" "$work/files" "$work/wrap" "$copies" <<'EOF'
import glob, os, random, shutil, struct, subprocess, sys

corpus, out, wrap, copies = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])

def rec(i, body): return struct.pack('<HH', i, len(body)) + body
def u16(*v): return b''.join(struct.pack('<H', x) for x in v)
def u32(*v): return b''.join(struct.pack('<I', x) for x in v)
def f64(v): return struct.pack('<d', v)
def bof(kind): return rec(0x0809, u16(0x0600, kind, 0x0DBB, 0x07CC) + u32(0, 6))
def cell(r, c, xf=15): return u16(r, c, xf)
def rk(v): return u32(v << 2 | 2)
def row(r, first, end): return rec(0x0208, u16(r, first, end, 0xFF, 0, 0) + u32(0x000F0100))
def window2(): return rec(0x023E, u16(0x06B6, 0, 0, 0x40, 0, 0, 0, 0, 0))
def selection(pane, r, c): return rec(0x001D, bytes([pane]) + u16(r, c, 0, 1, r, r) + bytes([c, c]))

def globals_and_sheets(sheets):
    g = bof(5) + rec(0x0042, u16(1200)) + rec(0x003D, u16(0, 0, 0x3A5C, 0x23BE, 0x38, 0, 0, 1, 0x258))
    g += rec(0x0031, u16(200, 0, 0x7FFF, 400, 0, 0) + b'\x05\x00Arial') * 5
    for i in range(17):
        g += rec(0x00E0, u16(0, 0, 0xFFF5 if i < 15 else 1, 0x20, 0, 0, 0, 0, 0, 0x20C0))
    g += rec(0x041E, u16(164, 10) + b'\x00yyyy-mm-dd')
    g += rec(0x00E0, u16(0, 164, 1, 0x20, 0, 0, 0, 0, 0, 0x20C0))  # XF 17 shows dates
    g += rec(0x0293, u16(0x8000, 0xFF00))
    at = []
    for name, _ in sheets:
        at.append(len(g) + 4)
        g += rec(0x0085, u32(0) + bytes([0, 0, len(name), 0]) + name.encode())
    g += rec(0x00FC, u32(3, 2) + u16(3) + b'\x00abc' + u16(2) + b'\x01' + 'xy'.encode('utf-16-le'))
    stream = bytearray(g + rec(0x00FF, u16(8)) + rec(0x000A, b''))
    for offset, (_, body) in zip(at, sheets):
        stream[offset:offset + 4] = u32(len(stream))
        stream += body
    return bytes(stream)

a = bof(0x10) + rec(0x020B, u32(0, 0, 5, 0, 0xDEAD, 0xBEEF)) + rec(0x0055, u16(8))
a += rec(0x0200, u32(0, 5) + u16(0, 5, 0))
a += row(0, 0, 2) + row(1, 1, 4) + row(2, 0, 5) + row(3, 0, 3) + row(40, 0, 1)
a += rec(0x0204, cell(0, 0) + u16(5) + b'\x00label')
a += rec(0x00D6, cell(0, 1) + u16(4) + b'\x00rich' + u16(1, 0, 1))
a += rec(0x00BD, u16(1, 1) + u16(15) + rk(10) + u16(16) + rk(20) + u16(17) + rk(30) + u16(3))
a += rec(0x00BE, u16(2, 0, 15, 16, 15, 16, 15, 4))
a += rec(0x0203, cell(1, 2) + f64(7.25))  # a second record for a MULRK cell
formula = cell(3, 0) + bytes([0, 0, 0, 0, 0, 0, 0xFF, 0xFF]) + u16(0) + u32(0) + u16(3) + b'\x17\x01\x00x'
a += rec(0x0006, formula) + rec(0x0207, u16(6) + b'\x00cached')
a += rec(0x0205, cell(3, 1) + b'\x01\x00') + rec(0x0205, cell(3, 2) + b'\x07\x01') + rec(0x00FD, cell(3, 3) + u32(1))
a += rec(0x0203, cell(40, 0, 17) + f64(45000.0)) + rec(0x00D7, u32(100) + u16(4, 8))
a += window2() + rec(0x0041, u16(0, 2, 2, 0) + b'\x00\x00') + selection(3, 0, 0) + selection(0, 7, 2)
a += rec(0x000A, b'')
b = bof(0x10) + rec(0x0200, u32(0, 3) + u16(0, 2, 0)) + rec(0x027E, cell(0, 0) + rk(5))
b += bof(0x20) + rec(0x1002, u32(0, 0, 100, 100)) + rec(0x0203, cell(9, 9) + f64(1.0)) + rec(0x000A, b'')
b += rec(0x027E, cell(2, 1) + u32(6 << 2 | 3)) + window2() + selection(3, 2, 1) + rec(0x000A, b'')
c = bof(0x10) + rec(0x0203, cell(5, 5) + f64(3.0)) + rec(0x000A, b'')
stream = globals_and_sheets([('A', a), ('B', b), ('C', c)])
hand_made = subprocess.run([wrap], input=stream, capture_output=True, check=True).stdout
with open(os.path.join(out, 'hand_made.xls'), 'wb') as f:
    f.write(hand_made)

seeds = sorted(glob.glob(os.path.join(corpus, '*.xls'))) + [os.path.join(out, 'hand_made.xls')]
random.seed(20240506)
for path in seeds:
    name = os.path.basename(path)[:-4]
    if os.path.dirname(path) != out:
        shutil.copy(path, out)
    data = open(path, 'rb').read()
    for k in range(copies):
        d = bytearray(data)
        header = random.random() < 0.1  # most damage goes to the streams, some to the header
        for _ in range(random.choice([1, 1, 2, 3, 5])):
            pos = random.randrange(0, 512) if header else random.randrange(512, len(d))
            how = random.random()
            if how < 0.4:
                d[pos] = random.randrange(256)
            elif how < 0.7 and pos + 1 < len(d):
                v = random.choice([0, 1, 2, 0xFF, 0x100, 0xFFFF, random.randrange(65536)])
                d[pos:pos + 2] = u16(v)
            else:
                d[pos] ^= 1 << random.randrange(8)
        if random.random() < 0.05:
            d = d[:random.randrange(len(d))]
        with open(os.path.join(out, '%s_damaged_%04d.xls' % (name, k)), 'wb') as f:
            f.write(d)
EOF

cd "$work/files"
ls ./*.xls | xargs "$work/dump_base" > "$work/base.txt"
ls ./*.xls | xargs "$work/dump_tree" > "$work/tree.txt"
files=$(ls ./*.xls | wc -l)
if cmp -s "$work/base.txt" "$work/tree.txt"; then
  echo "same output for $files files ($(grep -c '^open fails' "$work/tree.txt") of them refused by both)"
  exit 0
fi
echo "the output differs (- $base, + working tree):"
diff -u "$work/base.txt" "$work/tree.txt" | head -40
exit 1
