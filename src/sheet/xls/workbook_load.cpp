// Loading a workbook: the compound file, the Workbook stream's globals and
// one substream per BOUNDSHEET, then the cell values of each worksheet
// (workbook_cells.cpp). Structural faults refuse the file.
#include "sheet/xls/read_file.h"
#include "sheet/xls/text.h"
#include "sheet/xls/workbook.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <array>
#include <optional>

namespace kestrune::xls {

namespace {

constexpr int MaxSubstreamDepth = 8;
// How far past a BOUNDSHEET's stream position its sheet's BOF may start:
// some writers point a few bytes early.
constexpr std::uint32_t MaxBofSlack = 16;
// Where a damaged workbook is broken: offsets count from the stream's start.
const std::string WorkbookStream = "Workbook stream";

// The workbook's stream: "Workbook", else "Book". Excel 97-2003 names it
// "Workbook"; Excel 5.0/95 used "Book", and some programs write BIFF8
// workbooks under that name too ("Book", "BOOK"). Names compare case-blind.
CfbEntry* workbookStream(CfbEntry& root) {
  for (const std::u16string_view name : {std::u16string_view(u"Workbook"), std::u16string_view(u"Book")})
    if (CfbEntry* entry = root.child(name); entry && entry->type == CfbType::Stream) return entry;
  return nullptr;
}

XlsError notCompound() {
  return xlsFail(XlsErrorCode::NotCompoundFile, "not an Excel 97-2003 workbook: the file is not a compound document");
}

}  // namespace

XlsResult<Workbook> Workbook::open(const std::string& path) {
  // A folder opens as a stream of no use (its size reads as huge): say what it is.
  std::error_code ignored;
  if (std::filesystem::is_directory(path, ignored))
    return xlsSystemFail(XlsErrorCode::CannotOpen, EISDIR, "cannot open " + path + ": " + std::strerror(EISDIR));
  auto file = ReadFile::open(path);
  if (!file) return file.error();
  const ReadFile& in = *file.value();
  if (in.size() > MaxFileSize) return xlsFail(XlsErrorCode::TooLarge, path + " is too large for a workbook");
  std::array<std::uint8_t, 8> signature{};
  if (in.size() < signature.size() || !in.read(0, signature.data(), signature.size()) ||
      !CompoundFile::hasSignature(signature))
    return notCompound();
  // Each stream is read once, straight into the buffer that keeps it.
  auto cfb = CompoundFile::parse(in);
  if (!cfb) return cfb.error();
  Workbook wb;
  if (auto st = wb.loadCompound(std::move(cfb.value())); !st) return st.error();
  return wb;
}

XlsResult<Workbook> Workbook::fromBytes(ByteView file) {
  Workbook wb;
  if (auto st = wb.load(file); !st) return st.error();
  return wb;
}

XlsStatus Workbook::load(ByteView file) {
  if (file.size() > MaxFileSize) return xlsFail(XlsErrorCode::TooLarge, "the file is too large for a workbook");
  if (!CompoundFile::hasSignature(file)) return notCompound();
  auto cfb = CompoundFile::parse(file);
  if (!cfb) return cfb.error();
  return loadCompound(std::move(cfb.value()));
}

XlsStatus Workbook::loadCompound(CompoundFile&& file) {
  cfb_ = std::move(file);
  CfbEntry* stream = workbookStream(cfb_.root());
  if (!stream)
    return xlsFail(XlsErrorCode::NoWorkbookStream,
                   "the compound document has no Workbook stream: not an Excel workbook");
  if (cfb_.root().child(u"_signatures") || cfb_.root().child(u"_xmlsignatures"))
    return xlsFail(XlsErrorCode::Signed, "the workbook is digitally signed; saving would invalidate the signature");
  streamName_ = stream->name;
  // The stream moves out of the tree; saving writes the rebuilt one in its place.
  stream_ = std::move(stream->data);
  stream->data = Bytes();
  const std::uint64_t declaredSize = stream->declaredSize;
  stream->declaredSize = 0;
  if (declaredSize == 0) return loadStream(false);
  // The stream's chain holds less than its directory entry says. What it
  // holds is enough when every sheet lies inside it, whole.
  // What made the shortened stream unreadable says what is wrong (an old
  // format stays an old format); the description adds that it was cut.
  if (auto st = loadStream(true); !st) {
    XlsError error = st.error();
    error.description = "the " + utf16ToUtf8(streamName_) + " stream is cut short (its sectors hold " +
                        std::to_string(stream_.size()) + " of the " + std::to_string(declaredSize) +
                        " bytes its directory entry declares): " + error.description;
    return error;
  }
  return {};
}

XlsStatus Workbook::loadStream(bool cutShort) {
  // In a stream cut short, a record cut at the end is not read.
  auto split = indexRecords(stream_, cutShort);
  if (!split)
    return xlsDamaged(WorkbookStream, "damaged Workbook stream: " + split.description(), split.error().offset);
  records_ = std::move(split.value());
  const std::vector<RecordRef>& all = records_;
  const ByteView data(stream_);
  if (all.empty() || (all[0].id & 0x00FF) != bof::AnyVersionLowByte)
    return xlsDamaged(WorkbookStream, "the Workbook stream does not start with BOF", 0);
  // The stream's own BOF tells the format, whatever the stream is called.
  const std::uint16_t version = all[0].size >= bof::MinSize ? getU16(all[0].body(data), bof::VersionAt) : 0;
  if (all[0].id == rid::Bof && version == bof::Biff5)
    return xlsFail(XlsErrorCode::Excel95,
                   "the workbook is in Excel 5.0/95 format (BIFF5/7); only Excel 97-2003 (BIFF8) is supported");
  if (all[0].id != rid::Bof || version != bof::Biff8)
    return xlsFail(XlsErrorCode::OlderThanBiff8, "the workbook is not in Excel 97-2003 (BIFF8) format");
  if (getU16(all[0].body(data), bof::TypeAt) != bof::Globals)
    return xlsDamaged(WorkbookStream, "the Workbook stream does not start with workbook globals", 0);
  std::size_t end = 0;
  while (end < all.size() && all[end].id != rid::Eof) ++end;
  if (end == all.size()) return xlsDamaged(WorkbookStream, "the workbook globals have no EOF record");
  for (std::size_t i = 0; i < end; ++i) {
    if (all[i].id != rid::FilePass) continue;
    // Encrypted: only Excel's default password opens it here.
    auto cipher = BiffCipher::open(all[i].body(data));
    if (!cipher) return cipher.error();
    cipher->apply(stream_.mutate(), all[i].offset + RecordHeaderSize + all[i].size);
    cipher_ = cipher.value();
    break;
  }
  std::vector<Record>& globals = globals_.mutate();
  globals.reserve(end + 1);
  for (std::size_t i = 0; i <= end; ++i) {
    const ByteView body = all[i].body(data);
    globals.push_back(Record{all[i].id, Bytes(body.begin(), body.end()), all[i].offset});
  }
  if (auto st = loadGlobals(); !st) return st;

  const std::uint32_t globalsEnd = all[end].offset + RecordHeaderSize;
  std::vector<std::uint32_t> starts;
  for (Sheet& sheet : sheets_) {
    const Record& bs = globals_[sheet.boundSheetRecord];
    const std::uint32_t at = getU32(bs.body, BoundSheetRecord::PositionAt);
    auto it = std::lower_bound(all.begin(), all.end(), at,
                               [](const RecordRef& r, std::uint32_t off) { return r.offset < off; });
    while (it != all.end() && it->id != rid::Bof && it->offset - at < MaxBofSlack) ++it;
    if (it == all.end() || it->offset < globalsEnd)
      return xlsDamaged(
          WorkbookStream,
          "sheet \"" + sheet.name + "\" points outside the Workbook stream (offset " + std::to_string(at) + ")", at);
    if (it->id != rid::Bof || it->offset - at >= MaxBofSlack)
      return xlsDamaged(WorkbookStream,
                        "sheet \"" + sheet.name + "\" has no BOF record at its offset " + std::to_string(at), at);
    if (std::find(starts.begin(), starts.end(), it->offset) != starts.end())
      return xlsDamaged(WorkbookStream, "two sheets share the offset " + std::to_string(it->offset), it->offset);
    starts.push_back(it->offset);
    if (auto st = loadSheet(sheet, static_cast<std::size_t>(it - all.begin())); !st) return st;
    if (sheet.kind == SheetKind::Worksheet) {
      if (auto st = readCells(sheet); !st) return st;
      readColumns(sheet);
    }
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
        if (!cipher_)
          return xlsFail(XlsErrorCode::Encrypted,
                         "the workbook is encrypted (password protected) and cannot be opened");
        break;
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
      case rid::Palette:
        palette_ = paletteFromRecord(body);
        break;
      case rid::BoundSheet: {
        ByteReader in(body);
        in.skip(4);
        in.u8();
        const std::uint8_t dt = in.u8();
        std::u16string name;
        if (!readBiffString(in, true, name)) return xlsDamaged(WorkbookStream, "damaged BOUNDSHEET record", r.offset);
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
        sst_ = parseSst(pieces).strings;  // indexed by text when a string is first written
        break;
      }
      default:
        break;
    }
  }
  originalXfCount_ = xfs_.size();
  if (sheets_.empty()) return xlsDamaged(WorkbookStream, "the workbook has no sheets");
  return {};
}

XlsStatus Workbook::loadSheet(Sheet& sheet, std::size_t first) {
  int depth = 0;
  for (std::size_t i = first; i < records_.size(); ++i) {
    const std::uint16_t id = records_[i].id;
    if (id == rid::Bof) {
      if (++depth > MaxSubstreamDepth)
        return xlsDamaged(WorkbookStream, "sheet \"" + sheet.name + "\" nests too deeply", records_[i].offset);
    } else if (id == rid::Eof) {
      --depth;
    }
    if (depth == 0) {
      sheet.firstRecord = first;
      sheet.endRecord = i + 1;
      return {};
    }
  }
  return xlsDamaged(WorkbookStream, "sheet \"" + sheet.name + "\" has no EOF record",
                    first < records_.size() ? static_cast<std::int64_t>(records_[first].offset) : -1);
}

std::optional<DateKind> Workbook::dateKindOfXf(std::uint16_t xf) const {
  if (xf >= xfs_.size() || xfs_[xf].size() < XfRecord::FormatAt + 2) return std::nullopt;
  const std::uint16_t ifmt = getU16(xfs_[xf], XfRecord::FormatAt);
  auto it = formats_.find(ifmt);
  return dateKindOfFormat(ifmt, it == formats_.end() ? std::nullopt : std::optional<std::string>(it->second));
}

bool Workbook::showsSecondFractions(std::uint16_t xf) const {
  if (xf >= xfs_.size() || xfs_[xf].size() < XfRecord::FormatAt + 2) return false;
  auto it = formats_.find(getU16(xfs_[xf], XfRecord::FormatAt));
  return it != formats_.end() && formatShowsSecondFractions(it->second);
}

}  // namespace kestrune::xls
