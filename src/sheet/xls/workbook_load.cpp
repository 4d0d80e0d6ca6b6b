// Loading a workbook: the compound file, the Workbook stream's globals and
// one substream per BOUNDSHEET, then the cell values of each worksheet.
// Structural faults refuse the file; a damaged cell record is skipped.
#include "sheet/xls/text.h"
#include "sheet/xls/workbook.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <optional>

namespace kestrune::xls {

namespace {

constexpr std::uint64_t MaxFileSize = 512ull * 1024 * 1024;
constexpr int MaxSubstreamDepth = 8;

double rkToDouble(std::uint32_t rk) {
  double v;
  if (rk & 0x02) {
    v = static_cast<double>(static_cast<std::int32_t>(rk) >> 2);
  } else {
    const std::uint64_t bits = static_cast<std::uint64_t>(rk & 0xFFFFFFFCu) << 32;
    std::memcpy(&v, &bits, sizeof v);
  }
  return (rk & 0x01) ? v / 100.0 : v;
}

}  // namespace

XlsResult<Workbook> Workbook::open(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return xlsFail("cannot open " + path + ": " + std::strerror(errno));
  const std::streamoff size = in.tellg();
  if (size < 0) return xlsFail("cannot read " + path);
  if (static_cast<std::uint64_t>(size) > MaxFileSize) return xlsFail(path + " is too large for a workbook");
  std::optional<CompoundFile> cfb;
  {
    Bytes data(static_cast<std::size_t>(size));
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(data.data()), size)) return xlsFail("cannot read " + path);
    if (!CompoundFile::hasSignature(data))
      return xlsFail("not an Excel 97-2003 workbook: the file is not a compound document");
    auto parsed = CompoundFile::parse(data);
    if (!parsed) return parsed.error();
    cfb = std::move(parsed.value());
  }  // the file's bytes go before the workbook is read from its streams
  Workbook wb;
  if (auto st = wb.loadCompound(std::move(*cfb)); !st) return st.error();
  return wb;
}

XlsResult<Workbook> Workbook::fromBytes(ByteView file) {
  Workbook wb;
  if (auto st = wb.load(file); !st) return st.error();
  return wb;
}

XlsStatus Workbook::load(ByteView file) {
  if (file.size() > MaxFileSize) return xlsFail("the file is too large for a workbook");
  if (!CompoundFile::hasSignature(file))
    return xlsFail("not an Excel 97-2003 workbook: the file is not a compound document");
  auto cfb = CompoundFile::parse(file);
  if (!cfb) return cfb.error();
  return loadCompound(std::move(cfb.value()));
}

XlsStatus Workbook::loadCompound(CompoundFile&& file) {
  cfb_ = std::move(file);
  CfbEntry* stream = cfb_.root().child(u"Workbook");
  if (!stream || stream->type != CfbType::Stream) {
    if (cfb_.root().child(u"Book"))
      return xlsFail("the workbook is in Excel 5.0/95 format (BIFF5/7); only Excel 97-2003 (BIFF8) is supported");
    return xlsFail("the compound document has no Workbook stream: not an Excel workbook");
  }
  if (cfb_.root().child(u"_signatures") || cfb_.root().child(u"_xmlsignatures"))
    return xlsFail("the workbook is digitally signed; saving would invalidate the signature");
  streamName_ = stream->name;
  // The stream moves out of the tree; saving writes the rebuilt one in its place.
  stream_ = std::move(stream->data);
  stream->data = Bytes();
  auto split = indexRecords(stream_);
  if (!split) return xlsFail("damaged Workbook stream: " + split.description());
  records_ = std::move(split.value());
  const std::vector<RecordRef>& all = records_;
  const ByteView data(stream_);
  if (all.empty() || (all[0].id & 0x00FF) != bof::AnyVersionLowByte)
    return xlsFail("the Workbook stream does not start with BOF");
  if (all[0].id != rid::Bof || all[0].size < bof::MinSize || getU16(all[0].body(data), bof::VersionAt) != bof::Biff8)
    return xlsFail("the workbook is not in Excel 97-2003 (BIFF8) format");
  if (getU16(all[0].body(data), bof::TypeAt) != bof::Globals)
    return xlsFail("the Workbook stream does not start with workbook globals");
  std::size_t end = 0;
  while (end < all.size() && all[end].id != rid::Eof) ++end;
  if (end == all.size()) return xlsFail("the workbook globals have no EOF record");
  globals_.reserve(end + 1);
  for (std::size_t i = 0; i <= end; ++i) {
    const ByteView body = all[i].body(data);
    globals_.push_back(Record{all[i].id, Bytes(body.begin(), body.end()), all[i].offset});
  }
  if (auto st = loadGlobals(); !st) return st;

  const std::uint32_t globalsEnd = all[end].offset + 4;
  std::vector<std::uint32_t> starts;
  for (Sheet& sheet : sheets_) {
    const Record& bs = globals_[sheet.boundSheetRecord];
    const std::uint32_t at = getU32(bs.body, BoundSheetRecord::PositionAt);
    auto it = std::lower_bound(all.begin(), all.end(), at,
                               [](const RecordRef& r, std::uint32_t off) { return r.offset < off; });
    if (at < globalsEnd || it == all.end() || it->offset != at || it->id != rid::Bof)
      return xlsFail("sheet \"" + sheet.name + "\" points outside the Workbook stream (offset " + std::to_string(at) +
                     ")");
    if (std::find(starts.begin(), starts.end(), at) != starts.end())
      return xlsFail("two sheets share the offset " + std::to_string(at));
    starts.push_back(at);
    if (auto st = loadSheet(sheet, static_cast<std::size_t>(it - all.begin())); !st) return st;
    if (sheet.kind == SheetKind::Worksheet) readCells(sheet);
  }
  if (activeSheet_ >= sheets_.size()) activeSheet_ = 0;
  return {};
}

XlsStatus Workbook::loadGlobals() {
  bool sawWindow1 = false;
  for (std::size_t i = 0; i < globals_.size(); ++i) {
    const Record& r = globals_[i];
    ByteView body = r.body;
    switch (r.id) {
      case rid::FilePass:
        return xlsFail("the workbook is encrypted (password protected) and cannot be opened");
      case rid::DateMode:
        if (body.size() >= 2) date1904_ = getU16(body, 0) == 1;
        break;
      case rid::Window1:
        if (!sawWindow1 && body.size() >= Window1Record::ActiveSheetAt + 2)
          activeSheet_ = getU16(body, Window1Record::ActiveSheetAt);
        sawWindow1 = true;
        break;
      case rid::Format: {
        ByteReader in(body);
        const std::uint16_t ifmt = in.u16();
        std::u16string code;
        if (readBiffString(in, false, code)) formats_[ifmt] = utf16ToUtf8(code);
        break;
      }
      case rid::Xf:
        xfs_.push_back(r.body);
        break;
      case rid::BoundSheet: {
        ByteReader in(body);
        in.skip(4);
        in.u8();
        const std::uint8_t dt = in.u8();
        std::u16string name;
        if (!readBiffString(in, true, name)) return xlsFail("damaged BOUNDSHEET record");
        Sheet sheet;
        sheet.name = utf16ToUtf8(name);
        sheet.kind = dt == BoundSheetRecord::Worksheet    ? SheetKind::Worksheet
                     : dt == BoundSheetRecord::MacroSheet ? SheetKind::MacroSheet
                     : dt == BoundSheetRecord::Chart      ? SheetKind::Chart
                     : dt == BoundSheetRecord::VbaModule  ? SheetKind::VbaModule
                                                          : SheetKind::Other;
        sheet.boundSheetRecord = i;
        sheets_.push_back(std::move(sheet));
        break;
      }
      case rid::Sst: {
        std::vector<ByteView> pieces{ByteView(r.body)};
        for (std::size_t k = i + 1; k < globals_.size() && globals_[k].id == rid::Continue; ++k)
          pieces.emplace_back(globals_[k].body);
        sst_ = parseSst(pieces).strings;
        for (std::size_t k = 0; k < sst_.size(); ++k)
          if (sst_[k].runs.empty() && sst_[k].ext.empty())
            sstIndex_.emplace(utf16ToUtf8(sst_[k].chars), static_cast<std::uint32_t>(k));
        break;
      }
      default:
        break;
    }
  }
  originalXfCount_ = xfs_.size();
  if (sheets_.empty()) return xlsFail("the workbook has no sheets");
  return {};
}

XlsStatus Workbook::loadSheet(Sheet& sheet, std::size_t first) {
  int depth = 0;
  for (std::size_t i = first; i < records_.size(); ++i) {
    const std::uint16_t id = records_[i].id;
    if (id == rid::Bof) {
      if (++depth > MaxSubstreamDepth) return xlsFail("sheet \"" + sheet.name + "\" nests too deeply");
    } else if (id == rid::Eof) {
      --depth;
    }
    if (depth == 0) {
      sheet.firstRecord = first;
      sheet.endRecord = i + 1;
      return {};
    }
  }
  return xlsFail("sheet \"" + sheet.name + "\" has no EOF record");
}

std::optional<DateKind> Workbook::dateKindOfXf(std::uint16_t xf) const {
  if (xf >= xfs_.size() || xfs_[xf].size() < 4) return std::nullopt;
  const std::uint16_t ifmt = getU16(xfs_[xf], 2);
  auto it = formats_.find(ifmt);
  return dateKindOfFormat(ifmt, it == formats_.end() ? std::nullopt : std::optional<std::string>(it->second));
}

void Workbook::readCells(Sheet& sheet) {
  int depth = 0;
  std::uint8_t activePane = 3;
  bool selectionSeen = false;
  const std::span<const RecordRef> recs = records(sheet);
  const ByteView data(stream_);
  CellStore& store = sheet.cells;
  // The date kind of each XF, worked out once.
  std::vector<std::int8_t> xfDate(xfs_.size(), -2);
  auto setNumber = [&](CellSlot& slot, double number, std::uint16_t xf) {
    slot.setNumber(number);
    std::optional<DateKind> kind;
    if (xf < xfDate.size()) {
      if (xfDate[xf] == -2) {
        const auto k = dateKindOfXf(xf);
        xfDate[xf] = k ? static_cast<std::int8_t>(*k) : -1;
      }
      if (xfDate[xf] >= 0) kind = static_cast<DateKind>(xfDate[xf]);
    }
    slot.kind = static_cast<std::uint8_t>(kind ? CellKind::Date : CellKind::Number);
    slot.dateKind = static_cast<std::uint8_t>(kind ? *kind : DateKind::DateOnly);
  };
  for (std::size_t i = 0; i < recs.size(); ++i) {
    const RecordRef& r = recs[i];
    if (r.id == rid::Bof) ++depth;
    if (r.id == rid::Eof) --depth;
    if (depth != 1) continue;
    const ByteView b = r.body(data);
    if (r.id == rid::Pane && b.size() >= 9) activePane = b[8];
    if (r.id == rid::Selection && b.size() >= 5) {
      // The selection of the active pane wins; without panes there is one.
      if (!selectionSeen || b[0] == activePane)
        sheet.activeCell = {getU16(b, 1), static_cast<std::uint16_t>(std::min<int>(getU16(b, 3), 255))};
      selectionSeen = true;
    }
    if (!isCellRecord(r.id) || b.size() < 6) continue;
    const std::uint16_t row = getU16(b, 0);
    const std::uint16_t col = getU16(b, 2);
    // The slot of a cell, emptied; nullptr past the last column. A later
    // record for the same cell replaces the earlier one's value.
    auto put = [&](std::uint32_t c, std::uint16_t xf, bool formula) -> CellSlot* {
      if (c >= MaxColumns) return nullptr;
      CellSlot& slot = store.slot(row, c);
      slot = CellSlot{};
      slot.column = static_cast<std::uint8_t>(c);
      slot.xf = xf;
      slot.formula = formula ? 1 : 0;
      return &slot;
    };
    auto putText = [&](std::uint32_t c, std::uint16_t xf, bool formula, std::string text) {
      if (CellSlot* slot = put(c, xf, formula)) {
        slot->kind = static_cast<std::uint8_t>(CellKind::LocalText);
        slot->payload[0] = store.addText(std::move(text));
      }
    };
    const std::uint16_t xf = getU16(b, 4);
    switch (r.id) {
      case rid::LabelSst:
        if (b.size() >= 10) {
          const std::uint32_t isst = getU32(b, 6);
          if (CellSlot* slot = put(col, xf, false); slot && isst < sst_.size()) {
            slot->kind = static_cast<std::uint8_t>(CellKind::SharedText);
            slot->payload[0] = isst;
          }
        }
        break;
      case rid::Label:
      case rid::RString: {
        ByteReader in(b, 6);
        std::u16string text;
        if (readBiffString(in, false, text) || r.id == rid::RString) putText(col, xf, false, utf16ToUtf8(text));
        break;
      }
      case rid::Number:
        if (b.size() >= 14)
          if (CellSlot* slot = put(col, xf, false)) setNumber(*slot, getF64(b, 6), xf);
        break;
      case rid::Rk:
        if (b.size() >= 10)
          if (CellSlot* slot = put(col, xf, false)) setNumber(*slot, rkToDouble(getU32(b, 6)), xf);
        break;
      case rid::BoolErr:
        if (b.size() >= 8)
          if (CellSlot* slot = put(col, xf, false)) {
            slot->kind = static_cast<std::uint8_t>(b[7] ? CellKind::Error : CellKind::Bool);
            slot->payload[0] = b[7] ? b[6] : (b[6] != 0 ? 1u : 0u);
          }
        break;
      case rid::Blank:
        put(col, xf, false);
        break;
      case rid::MulRk: {
        const std::size_t n = (b.size() - 6) / 6;
        if ((b.size() - 6) % 6 != 0 || n == 0 || getU16(b, b.size() - 2) != col + n - 1) break;
        for (std::size_t k = 0; k < n; ++k) {
          const std::uint16_t cxf = getU16(b, 4 + 6 * k);
          if (CellSlot* slot = put(static_cast<std::uint32_t>(col + k), cxf, false))
            setNumber(*slot, rkToDouble(getU32(b, 6 + 6 * k)), cxf);
        }
        break;
      }
      case rid::MulBlank: {
        const std::size_t n = (b.size() - 6) / 2;
        if ((b.size() - 6) % 2 != 0 || n == 0 || getU16(b, b.size() - 2) != col + n - 1) break;
        for (std::size_t k = 0; k < n; ++k) put(static_cast<std::uint32_t>(col + k), getU16(b, 4 + 2 * k), false);
        break;
      }
      case rid::Formula: {
        if (b.size() < 22) break;
        // The text result (STRING) and the SHRFMLA/ARRAY/TABLE a host cell
        // carries follow the FORMULA; writers put them in either order.
        std::size_t stringAt = 0, groupAt = 0;
        std::optional<FormulaGroupKind> groupKind;
        for (std::size_t k = i + 1; k < recs.size() && k <= i + 2; ++k) {
          if (recs[k].id == rid::String && !stringAt) {
            stringAt = k;
          } else if (const auto kind = groupKindOf(recs[k].id, recs[k].size); kind && !groupKind) {
            groupAt = k;
            groupKind = kind;
          } else {
            break;
          }
        }
        if (getU16(b, 12) == 0xFFFF) {
          switch (b[6]) {
            case 0:
              if (stringAt) {
                ByteReader in(recs[stringAt].body(data));
                std::u16string text;
                readBiffString(in, false, text);
                putText(col, xf, true, utf16ToUtf8(text));
              } else {
                putText(col, xf, true, std::string());
              }
              break;
            case 1:
            case 2:
              if (CellSlot* slot = put(col, xf, true)) {
                slot->kind = static_cast<std::uint8_t>(b[6] == 1 ? CellKind::Bool : CellKind::Error);
                slot->payload[0] = b[6] == 1 ? (b[8] != 0 ? 1u : 0u) : b[8];
              }
              break;
            case 3:
              putText(col, xf, true, std::string());
              break;
            default:
              put(col, xf, true);
              break;
          }
        } else if (CellSlot* slot = put(col, xf, true)) {
          setNumber(*slot, getF64(b, 6), xf);
        }
        if (col < MaxColumns) {
          const std::uint32_t cell = static_cast<std::uint32_t>(row) << 8 | col;
          if (groupKind) sheet.formulas.addHost(*groupKind, cell, static_cast<std::uint32_t>(groupAt));
          if (const auto reference = formulaReference(b)) sheet.formulas.addReference(cell, *reference);
        }
        break;
      }
      default:
        break;
    }
  }
  sheet.formulas.finish();
  for (const FormulaGroup& group : sheet.formulas.groups())
    for (std::uint32_t cell : group.cells)
      if (CellSlot* slot = store.find(cell >> 8, cell & 0xFF)) slot->grouped = 1;
}

}  // namespace kestrune::xls
