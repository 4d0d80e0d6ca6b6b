#include "embedded_test_support.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <sys/mount.h>
#include <unistd.h>

namespace kestrune::sheet::embedded::testing {

namespace {

const QString Python = QStringLiteral("/usr/bin/python3");

// Prints the cells with xlrd, and the active cell of each sheet from its
// SELECTION record found by walking the sheet's records in xlrd's copy of
// the Workbook stream (xlrd itself does not report the active cell).
const char* const DumpScript = R"PY(
import struct, sys, xlrd
book = xlrd.open_workbook(sys.argv[1], formatting_info=True, on_demand=True)
out = ["datemode\t%d" % book.datemode]
names = {1: "text", 2: "number", 3: "date", 4: "bool", 5: "error"}
for si in range(book.nsheets):
    sh = book.sheet_by_index(si)
    if sh.sheet_selected:
        out.append("active\t%d" % si)
    mem, pos, depth = book.mem, book._sh_abs_posn[si], 0
    while pos + 4 <= len(mem):
        rid, size = struct.unpack("<HH", mem[pos:pos + 4])
        body = mem[pos + 4:pos + 4 + size]
        pos += 4 + size
        if rid == 0x0809:
            depth += 1
        elif rid == 0x000A:
            depth -= 1
            if depth == 0:
                break
        elif rid == 0x001D and depth == 1:
            row, col = struct.unpack("<HH", body[1:5])
            out.append("cursor\t%d\t%d %d" % (si, row, col))
    for r in range(sh.nrows):
        for c in range(sh.ncols):
            cell = sh.cell(r, c)
            if cell.ctype not in names:
                continue
            if cell.ctype == 2:
                v = "%.17g" % cell.value
            elif cell.ctype == 3:
                v = str(xlrd.xldate_as_tuple(cell.value, book.datemode))
            elif cell.ctype == 4:
                v = "TRUE" if cell.value else "FALSE"
            elif cell.ctype == 5:
                v = xlrd.error_text_from_code.get(cell.value, "?")
            else:
                v = cell.value.replace("\n", "\\n")
            fmt = book.format_map[book.xf_list[cell.xf_index].format_key].format_str
            out.append("cell\t%d %d %d\t%s\t%s\t%s" % (si, r, c, names[cell.ctype], v, fmt))
sys.stdout.buffer.write(("\n".join(out) + "\n").encode("utf-8"))
)PY";

}  // namespace

std::unique_ptr<EmbeddedSpreadsheet> makeShowingFailedSaves(MessageBoxes& boxes, SaveQuestion askSave) {
  auto app = std::make_unique<EmbeddedSpreadsheet>(std::move(askSave));
  QObject::connect(app.get(), &EmbeddedSpreadsheet::saveFailed, app.get(),
                   [&boxes](const Error& error) { boxes.show(error.description, MessageIcon::Critical); });
  return app;
}

SpreadsheetFactory factoryShowingFailedSaves(MessageBoxes& boxes, SaveQuestion askSave) {
  return [&boxes, askSave = std::move(askSave)]() -> Result<std::unique_ptr<SpreadsheetApp>> {
    return std::unique_ptr<SpreadsheetApp>(makeShowingFailedSaves(boxes, askSave));
  };
}

QString copySample(const QTemporaryDir& dir, const QString& name, const QString& as) {
  const QString target = dir.filePath(as.isEmpty() ? name : as);
  QFile::remove(target);
  if (!QFile::copy(QStringLiteral(KESTRUNE_XLS_TEST_DATA "/") + name, target)) return {};
  QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
  return target;
}

QByteArray fileBytes(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return file.readAll();
}

bool haveXlrd() {
  static const bool have = [] {
    if (!QFileInfo::exists(Python)) return false;
    QProcess p;
    p.start(Python, {QStringLiteral("-c"), QStringLiteral("import xlrd")});
    return p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
  }();
  return have;
}

XlrdView readWithXlrd(const QString& path) {
  XlrdView view;
  QProcess p;
  p.start(Python, {QStringLiteral("-c"), QString::fromUtf8(DumpScript), path});
  if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0) {
    view.error = QString::fromUtf8(p.readAllStandardError());
    return view;
  }
  const QStringList lines = QString::fromUtf8(p.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  for (const QString& line : lines) {
    const QStringList f = line.split(QLatin1Char('\t'));
    if (f[0] == QLatin1String("datemode") && f.size() == 2)
      view.datemode = f[1].toInt();
    else if (f[0] == QLatin1String("active") && f.size() == 2)
      view.activeSheet = f[1].toInt();
    else if (f[0] == QLatin1String("cursor") && f.size() == 3)
      view.cursor[f[1].toInt()] = f[2];
    else if (f[0] == QLatin1String("cell") && f.size() == 5) {
      view.cells[f[1]] = f[2] + QLatin1Char('\t') + f[3];
      view.formats[f[1]] = f[4];
    }
  }
  view.ok = true;
  return view;
}

FolderTrouble::~FolderTrouble() {
  makeWritable();
  if (smallDisk_) ::umount2(QFile::encodeName(folder_).constData(), MNT_DETACH);
}

bool FolderTrouble::mountSmallDisk(int kib) {
  if (::geteuid() != 0 || smallDisk_) return false;
  const QByteArray options = "size=" + QByteArray::number(kib) + "k";
  smallDisk_ = ::mount("tmpfs", QFile::encodeName(folder_).constData(), "tmpfs", 0, options.constData()) == 0;
  return smallDisk_;
}

bool FolderTrouble::makeReadOnly(const QString& writableFile) {
  if (::geteuid() != 0) {
    modeChanged_ = QFile::setPermissions(folder_, QFile::ReadOwner | QFile::ExeOwner | QFile::ReadGroup |
                                                      QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    return modeChanged_;
  }
  // The folder bound onto itself, the file onto itself above it; then only
  // the folder's mount is made read-only.
  auto bind = [this](const QString& path) {
    const QByteArray p = QFile::encodeName(path);
    if (::mount(p.constData(), p.constData(), nullptr, MS_BIND, nullptr) != 0) return false;
    readOnlyMounts_ << path;
    return true;
  };
  const QByteArray folder = QFile::encodeName(folder_);
  return bind(folder_) && (writableFile.isEmpty() || bind(writableFile)) &&
         ::mount(nullptr, folder.constData(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
}

bool FolderTrouble::makeWritable() {
  bool ok = true;
  while (!readOnlyMounts_.isEmpty())
    ok = ::umount2(QFile::encodeName(readOnlyMounts_.takeLast()).constData(), MNT_DETACH) == 0 && ok;
  if (modeChanged_) {
    modeChanged_ = false;
    ok = QFile::setPermissions(folder_, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup |
                                            QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther) &&
         ok;
  }
  return ok;
}

bool FolderTrouble::fillDisk() {
  if (!smallDisk_ || !QDir(folder_).mkpath(QStringLiteral("filler"))) return false;
  QFile filler(folder_ + QStringLiteral("/filler/blob"));
  if (!filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) return false;
  const QByteArray block(512, 'x');
  while (filler.write(block) == block.size()) {
  }
  // Whatever is left is smaller than a block: take it byte by byte.
  while (filler.write("x", 1) == 1) {
  }
  return true;
}

}  // namespace kestrune::sheet::embedded::testing
