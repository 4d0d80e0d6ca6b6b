#!/usr/bin/python3
"""Writes the .xls sample workbooks used by the .xls engine tests.

Run with the system Python (python3-xlwt): /usr/bin/python3 tools/make_xls_corpus.py [--corpus]
Writes into tests/data/xls/ and, for the files as other programs write them
(LibreOffice, Gnumeric, xlwt, and those files with their workbook stream
under another name or a chart sheet active), tests/data/xls/corpus/. The
files are committed; rerun only to change them. Each file is named by the
feature it exercises and kept to a few KB. A program that is not installed
skips its files.
"""

import datetime
import os
import shutil
import struct
import subprocess
import sys
import tempfile

import xlwt

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import xls_compound  # noqa: E402

OUT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "data", "xls")
CORPUS = os.path.join(OUT, "corpus")


def formats(path):
    wb = xlwt.Workbook()
    ws = wb.add_sheet("Formats")
    bold = xlwt.easyxf("font: bold on; align: horiz center")
    money = xlwt.easyxf(num_format_str="#,##0.00")
    percent = xlwt.easyxf(num_format_str="0.0%")
    date = xlwt.easyxf(num_format_str="yyyy-mm-dd")
    time = xlwt.easyxf(num_format_str="hh:mm:ss")
    quoted = xlwt.easyxf(num_format_str='0.00" days"')
    ws.write(0, 0, "Label", bold)
    ws.write(0, 1, "Value", bold)
    ws.write(1, 0, "money")
    ws.write(1, 1, 1234.5, money)
    ws.write(2, 0, "percent")
    ws.write(2, 1, 0.125, percent)
    ws.write(3, 0, "date")
    ws.write(3, 1, datetime.date(2021, 7, 4), date)
    ws.write(4, 0, "time")
    ws.write(4, 1, datetime.time(13, 45, 10), time)
    ws.write(5, 0, "quoted")
    ws.write(5, 1, 3.5, quoted)
    ws.write(6, 0, "flag")
    ws.write(6, 1, True)
    ws.write(7, 2, "", xlwt.easyxf("pattern: pattern solid, fore_colour yellow"))
    ws.col(0).width = 4000
    wb.save(path)


def merged(path):
    wb = xlwt.Workbook()
    ws = wb.add_sheet("Merged")
    ws.write_merge(0, 1, 0, 3, "Merged title")
    ws.write(2, 0, 1)
    ws.write(2, 1, 2)
    ws.write(2, 2, 3)
    ws.write_merge(4, 4, 1, 2, 42.25)
    wb.save(path)


def formulas(path):
    wb = xlwt.Workbook()
    ws = wb.add_sheet("Formulas")
    for r in range(5):
        ws.write(r, 0, r + 1)
        ws.write(r, 1, (r + 1) * 10)
    ws.write(5, 0, xlwt.Formula("SUM(A1:A5)"))
    ws.write(5, 1, xlwt.Formula("B1*2+B2"))
    ws.write(6, 0, "total")
    wb.save(path)


def two_sheets(path):
    wb = xlwt.Workbook()
    first = wb.add_sheet("First")
    second = wb.add_sheet("Second")
    first.write(0, 0, "on first")
    first.write(3, 2, 7)
    second.write(0, 0, "on second")
    second.write(10, 5, -2.5)
    wb.active_sheet = 1
    second.set_selected(True)
    first.set_selected(False)
    wb.save(path)


def date1904(path):
    wb = xlwt.Workbook()
    wb.dates_1904 = True
    ws = wb.add_sheet("Dates")
    style = xlwt.easyxf(num_format_str="yyyy/mm/dd hh:mm")
    ws.write(0, 0, datetime.datetime(2000, 1, 2, 3, 4), style)
    ws.write(1, 0, datetime.datetime(1999, 12, 31, 23, 0), style)
    ws.write(2, 0, "text")
    wb.save(path)


def long_strings(path):
    wb = xlwt.Workbook()
    ws = wb.add_sheet("Long")
    ws.write(0, 0, "short")
    ws.write(1, 0, "x" * 9000)  # longer than one record
    ws.write(2, 0, "\u3042\u3044\u3046" * 1500)  # wide characters across records
    ws.write(3, 0, "tail")
    wb.save(path)


def many_strings(path):
    wb = xlwt.Workbook()
    ws = wb.add_sheet("Many")
    for i in range(300):
        ws.write(i // 10, i % 10, "s%03d" % i)
    wb.save(path)


# Files LibreOffice writes: formulas whose cached results are text, booleans
# and errors, a cell comment, and an embedded chart. Made from flat ODF
# documents by soffice --convert-to; formula cells carry no cached value, so
# LibreOffice computes them.
FODS_HEAD = """<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0"
 xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0"
 xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0"
 xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0"
 xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0"
 xmlns:chart="urn:oasis:names:tc:opendocument:xmlns:chart:1.0"
 xmlns:dc="http://purl.org/dc/elements/1.1/"
 xmlns:of="urn:oasis:names:tc:opendocument:xmlns:of:1.2"
 office:version="1.2" office:mimetype="application/vnd.oasis.opendocument.spreadsheet">
 <office:body><office:spreadsheet>
"""
FODS_TAIL = """ </office:spreadsheet></office:body>
</office:document>
"""

FORMULA_RESULTS = """  <table:table table:name="Results">
   <table:table-row>
    <table:table-cell office:value-type="float" office:value="4"><text:p>4</text:p></table:table-cell>
    <table:table-cell table:formula="of:=CONCATENATE([.A1];&quot; units&quot;)"><text:p/></table:table-cell>
    <table:table-cell table:formula="of:=[.A1]&gt;3"><text:p/></table:table-cell>
    <table:table-cell table:formula="of:=1/0"><text:p/></table:table-cell>
    <table:table-cell table:formula="of:=[.A1]*2.5"><text:p/></table:table-cell>
   </table:table-row>
   <table:table-row>
    <table:table-cell office:value-type="string"><text:p>noted</text:p>
     <office:annotation><dc:creator>Kestrune tests</dc:creator><text:p>A comment on A2</text:p></office:annotation>
    </table:table-cell>
    <table:table-cell table:formula="of:=&quot;&quot;"><text:p/></table:table-cell>
   </table:table-row>
  </table:table>
"""

CHART = """  <table:table table:name="Data">
   <table:shapes>
    <draw:frame svg:width="8cm" svg:height="5cm" svg:x="3cm" svg:y="1cm">
     <draw:object>
      <office:document office:mimetype="application/vnd.oasis.opendocument.chart" office:version="1.2">
       <office:body><office:chart>
        <chart:chart chart:class="chart:bar" svg:width="8cm" svg:height="5cm">
         <chart:plot-area table:cell-range-address="Data.A1:Data.B4" chart:data-source-has-labels="none">
          <chart:axis chart:dimension="x" chart:name="primary-x"/>
          <chart:axis chart:dimension="y" chart:name="primary-y"/>
          <chart:series chart:class="chart:bar" chart:values-cell-range-address="Data.B1:Data.B4"/>
         </chart:plot-area>
        </chart:chart>
       </office:chart></office:body>
      </office:document>
     </draw:object>
    </draw:frame>
   </table:shapes>
""" + "".join(
    '   <table:table-row><table:table-cell office:value-type="string"><text:p>%s</text:p></table:table-cell>'
    '<table:table-cell office:value-type="float" office:value="%d"><text:p>%d</text:p></table:table-cell>'
    '</table:table-row>\n' % (label, value, value)
    for label, value in (("a", 3), ("b", 5), ("c", 2), ("d", 7))) + """  </table:table>
"""


# Formulas stored once for a range of cells: filled down (LibreOffice writes
# shared formulas, SHRFMLA, for B1:B4 with numbers and C1:C4 with text), an
# array formula over D1:D3, a one-cell array formula in E1 and a data table
# (TABLE) in G2:G3 with input cell A1 and column of inputs F2:F3.
def _cell(attrs):
    return "    <table:table-cell %s/>\n" % attrs


def _groups_row(r):
    a = "[.A%d]" % r
    cells = [
        _cell('office:value-type="float" office:value="%d"' % r),
        _cell('table:formula="of:=%s*2"' % a),
        _cell('table:formula="of:=&quot;n&quot;&amp;%s"' % a),
    ]
    if r == 1:
        cells.append(_cell('table:formula="of:=[.A1:.A3]*10" '
                           'table:number-matrix-columns-spanned="1" table:number-matrix-rows-spanned="3"'))
        cells.append(_cell('table:formula="of:=SUM([.A1:.A4])" '
                           'table:number-matrix-columns-spanned="1" table:number-matrix-rows-spanned="1"'))
        cells.append(_cell(""))
        cells.append(_cell('table:formula="of:=[.A1]*3"'))
    elif r in (2, 3):
        cells.append(_cell(""))
        cells.append(_cell(""))
        cells.append(_cell('office:value-type="float" office:value="%d"' % (r * 2 + 1)))
        cells.append(_cell('table:formula="of:=MULTIPLE.OPERATIONS([.$G$1];[.$A$1];[.F%d])"' % r))
    return "   <table:table-row>\n" + "".join(cells) + "   </table:table-row>\n"


FORMULA_GROUPS = ('  <table:table table:name="Groups">\n' + "".join(_groups_row(r) for r in range(1, 5)) +
                  "  </table:table>\n")


def with_libreoffice(name, body, out=OUT, styles=""):
    soffice = shutil.which("soffice")
    if not soffice:
        print("skipped %s: LibreOffice (soffice) is not installed" % name)
        return False
    with tempfile.TemporaryDirectory() as work:
        source = os.path.join(work, os.path.splitext(name)[0] + ".fods")
        with open(source, "w", encoding="utf-8") as f:
            f.write(FODS_HEAD.replace(" <office:body>", styles + " <office:body>") + body + FODS_TAIL)
        subprocess.run([soffice, "-env:UserInstallation=file://" + os.path.join(work, "profile"), "--headless",
                        "--norestore", "--convert-to", "xls:MS Excel 97", "--outdir", out, source],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    print("wrote", os.path.join(out, name))
    return True


# ---- The corpus of files as other programs write them ----------------------

# A logging sheet as users keep them: a title, Japanese headings, numbers,
# dates and times, a wide first column and two columns of one width (one
# COLINFO range), on two sheets with the second active.
def _text(t):
    return '<table:table-cell office:value-type="string"><text:p>%s</text:p></table:table-cell>' % t


def _float(v):
    return '<table:table-cell office:value-type="float" office:value="%s"><text:p>%s</text:p></table:table-cell>' % (
        v, v)


def _date(iso, style):
    return ('<table:table-cell table:style-name="%s" office:value-type="date" office:date-value="%s">'
            '<text:p>%s</text:p></table:table-cell>' % (style, iso, iso))


LOG_STYLES = """ <office:automatic-styles xmlns:style="urn:oasis:names:tc:opendocument:xmlns:style:1.0"
  xmlns:number="urn:oasis:names:tc:opendocument:xmlns:datastyle:1.0">
  <style:style style:name="wide" style:family="table-column">
   <style:table-column-properties style:column-width="4.5cm"/>
  </style:style>
  <style:style style:name="mid" style:family="table-column">
   <style:table-column-properties style:column-width="2.8cm"/>
  </style:style>
  <number:date-style style:name="ymdhms">
   <number:year number:style="long"/><number:text>/</number:text><number:month number:style="long"/>
   <number:text>/</number:text><number:day number:style="long"/><number:text> </number:text>
   <number:hours/><number:text>:</number:text><number:minutes number:style="long"/>
   <number:text>:</number:text><number:seconds number:style="long"/>
  </number:date-style>
  <style:style style:name="stamp" style:family="table-cell" style:data-style-name="ymdhms"/>
 </office:automatic-styles>
"""

LOG_TABLES = ("""  <table:table table:name="測定記録">
   <table:table-column table:style-name="wide"/>
   <table:table-column table:style-name="mid" table:number-columns-repeated="2"/>
   <table:table-row>""" + _text("日時") + _text("温度") + _text("判定") + """</table:table-row>
""" + "".join("   <table:table-row>" + _date("2024-05-06T07:%02d:09" % i, "stamp") + _float(20.5 + i) +
              _text("OK" if i % 2 else "NG") + "</table:table-row>\n" for i in range(4)) + """  </table:table>
  <table:table table:name="設定">
   <table:table-row>""" + _text("装置") + _text("RS-232C 9600bps") + """</table:table-row>
  </table:table>
""")


def corpus_libreoffice(path):
    with_libreoffice(os.path.basename(path), LOG_TABLES, os.path.dirname(path), LOG_STYLES)


def corpus_xlwt(path):
    wb = xlwt.Workbook(encoding="utf-8")
    ws = wb.add_sheet("Readings")
    stamp = xlwt.easyxf(num_format_str="yyyy/mm/dd hh:mm:ss")
    ws.write(0, 0, "No.")
    ws.write(0, 1, "日時")
    ws.write(0, 2, "値")
    for i in range(5):
        ws.write(i + 1, 0, i + 1)
        ws.write(i + 1, 1, datetime.datetime(2024, 5, 6, 7, 8, i), stamp)
        ws.write(i + 1, 2, 0.25 * i - 1)
    ws.col(1).width = 20 * 256
    wb.save(path)
    print("wrote", path)


def corpus_gnumeric(path, source):
    """Gnumeric's own writing of a LibreOffice file."""
    ssconvert = shutil.which("ssconvert")
    if not ssconvert or not os.path.exists(source):
        print("skipped %s: Gnumeric (ssconvert) or its source is missing" % path)
        return
    subprocess.run([ssconvert, "-T", "Gnumeric_Excel:excel_biff8", source, path], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    print("wrote", path)


def renamed_stream(source, path, name):
    """A copy of `source` with its workbook stream called `name`."""
    if not os.path.exists(source):
        print("skipped %s: %s is missing" % (path, source))
        return
    streams, clsid = xls_compound.read_streams(open(source, "rb").read())
    streams = [(name if s[0] == "Workbook" else s[0],) + tuple(s[1:]) for s in streams]
    with open(path, "wb") as f:
        f.write(xls_compound.write_streams(streams, clsid))
    print("wrote", path)


def chart_sheet(source, path):
    """chart.xls (LibreOffice, a worksheet with a chart in it) with a chart
    sheet "Chart1" added after the worksheet and made the active sheet. The
    chart sheet's substream is the embedded chart's."""
    if not os.path.exists(source):
        print("skipped %s: %s is missing" % (path, source))
        return
    streams, clsid = xls_compound.read_streams(open(source, "rb").read())
    stream = dict((s[0], s[1]) for s in streams)["Workbook"]
    recs = xls_compound.records(stream)
    globals_end = next(i for i, r in enumerate(recs) if r[1] == 0x000A)
    sheets = [(struct.unpack_from("<I", r[2])[0], i) for i, r in enumerate(recs[:globals_end]) if r[1] == 0x0085]
    assert len(sheets) == 1
    # The embedded chart: the BOF of type 0x20 inside the worksheet, to its EOF.
    first = next(i for i, r in enumerate(recs) if r[1] == 0x0809 and struct.unpack_from("<H", r[2], 2)[0] == 0x20)
    depth, last = 0, first
    for last in range(first, len(recs)):
        depth += {0x0809: 1, 0x000A: -1}.get(recs[last][1], 0)
        if depth == 0:
            break
    chart = b"".join(xls_compound.record(r[1], r[2]) for r in recs[first:last + 1])
    name = "Chart1".encode("latin-1")
    chart_bs = xls_compound.record(0x0085, struct.pack("<IBBBB", 0, 0, 2, len(name), 0) + name)
    out = bytearray()
    bs_at = {}
    extsst_fix = []
    for i, (offset, rid, body) in enumerate(recs[:globals_end + 1]):
        if rid == 0x003D:  # WINDOW1: the second sheet is the active one
            body = body[:10] + struct.pack("<H", 1) + body[12:]
        if rid == 0x00FF:
            extsst_fix.append(len(out))
        if rid == 0x0085:
            bs_at[i] = len(out) + 4
        out += xls_compound.record(rid, body)
        if rid == 0x0085 and i == sheets[-1][1]:
            bs_at["chart"] = len(out) + 4
            out += chart_bs
    shift = len(chart_bs)
    for at in extsst_fix:  # string positions move by the added BOUNDSHEET
        size = struct.unpack_from("<H", out, at + 2)[0]
        for b in range(at + 6, at + 4 + size - 7, 8):
            out[b:b + 4] = struct.pack("<I", struct.unpack_from("<I", out, b)[0] + shift)
    sheet_start = len(out)
    struct.pack_into("<I", out, bs_at[sheets[0][1]], sheet_start)
    for offset, rid, body in recs[globals_end + 1:]:
        if rid == 0x023E and len(body) >= 2:  # WINDOW2: the worksheet is no longer selected
            body = struct.pack("<H", struct.unpack_from("<H", body)[0] & ~0x0600) + body[2:]
        out += xls_compound.record(rid, body)
    struct.pack_into("<I", out, bs_at["chart"], len(out))
    out += chart
    out = bytes(out).ljust(4096, b"\0")
    streams = [(s[0], out if s[0] == "Workbook" else s[1]) + tuple(s[2:]) for s in streams]
    with open(path, "wb") as f:
        f.write(xls_compound.write_streams(streams, clsid))
    print("wrote", path)


def main():
    # --corpus writes only tests/data/xls/corpus: the samples in
    # tests/data/xls are pinned by the tests' digests of saved files.
    if "--corpus" not in sys.argv[1:]:
        samples()
    corpus()
    return 0


def samples():
    os.makedirs(OUT, exist_ok=True)
    for name, make in [
        ("formats.xls", formats),
        ("merged.xls", merged),
        ("formulas.xls", formulas),
        ("two_sheets.xls", two_sheets),
        ("date1904.xls", date1904),
        ("long_strings.xls", long_strings),
        ("many_strings.xls", many_strings),
        ("formula_results.xls", lambda path: with_libreoffice("formula_results.xls", FORMULA_RESULTS)),
        ("chart.xls", lambda path: with_libreoffice("chart.xls", CHART)),
        ("formula_groups.xls", lambda path: with_libreoffice("formula_groups.xls", FORMULA_GROUPS)),
    ]:
        make(os.path.join(OUT, name))


def corpus():
    os.makedirs(CORPUS, exist_ok=True)
    lo = os.path.join(CORPUS, "libreoffice_log.xls")
    corpus_libreoffice(lo)
    corpus_xlwt(os.path.join(CORPUS, "xlwt_log.xls"))
    corpus_gnumeric(os.path.join(CORPUS, "gnumeric_log.xls"), lo)
    renamed_stream(lo, os.path.join(CORPUS, "stream_BOOK.xls"), "BOOK")
    renamed_stream(os.path.join(CORPUS, "xlwt_log.xls"), os.path.join(CORPUS, "stream_Book.xls"), "Book")
    chart_sheet(os.path.join(OUT, "chart.xls"), os.path.join(CORPUS, "chart_sheet_active.xls"))


if __name__ == "__main__":
    sys.exit(main())
