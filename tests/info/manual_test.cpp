// The user manual, manual/help.html: its example scripts load as script files,
// its links resolve, it needs nothing from outside, and it covers the script
// language and the command line.
#include "info/html_scripts.h"

#include "core/cp932.h"
#include "fakes/shown.h"
#include "fakes/recording_message_boxes.h"
#include "script/loader.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <ostream>

namespace kestrune::testing {
namespace {

const QString ManualFile = QStringLiteral(KESTRUNE_SOURCE_DIR "/manual/help.html");

QString readManual() {
  QFile file(ManualFile);
  if (!file.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(file.readAll());
}

struct UnescapeCase {
  const char* input;
  const char* expected;
};

void PrintTo(const UnescapeCase& c, std::ostream* os) { *os << c.input; }

class HtmlUnescapeTest : public ::testing::TestWithParam<UnescapeCase> {};

TEST_P(HtmlUnescapeTest, DecodesReferences) {
  EXPECT_EQ(htmlUnescape(QString::fromUtf8(GetParam().input)), QString::fromUtf8(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(Table, HtmlUnescapeTest,
                         ::testing::Values(UnescapeCase{"SND:MEAS?%CR", "SND:MEAS?%CR"},
                                           UnescapeCase{"a &lt;b&gt; &amp;c", "a <b> &c"},
                                           UnescapeCase{"&quot;x&quot; &apos;y&apos;", "\"x\" 'y'"},
                                           UnescapeCase{"&#37;&#x25;&#X25;", "%%%"}, UnescapeCase{"&#12354;", "あ"},
                                           UnescapeCase{"&amp;lt;", "&lt;"}, UnescapeCase{"a & b", "a & b"},
                                           UnescapeCase{"&unknown;", "&unknown;"}, UnescapeCase{"&#;&#x;", "&#;&#x;"},
                                           UnescapeCase{"tail &amp", "tail &amp"}, UnescapeCase{"&nbsp;", "\u00a0"}));

TEST(ScriptBlocks, TakesOnlyScriptBlocksInOrder) {
  const QString html = QStringLiteral(
      "<p>x</p>\n<pre class=\"script\">\nSSS\nSND:A&amp;B%CR\n</pre>\n"
      "<pre>not a script</pre>\n<pre class=\"console\">$ kestrune</pre>\n"
      "<PRE id=\"e\" class=\"wide script\">RCV</PRE>\n<pre class=\"script\">SND:<b>X</b></pre>");
  const QList<ScriptBlock> blocks = scriptBlocks(html);
  ASSERT_EQ(blocks.size(), 3);
  EXPECT_EQ(blocks[0].text, QStringLiteral("SSS\nSND:A&B%CR\n"));
  EXPECT_EQ(blocks[0].line, 2);
  EXPECT_FALSE(blocks[0].hasMarkup);
  EXPECT_EQ(blocks[1].text, QStringLiteral("RCV"));
  EXPECT_EQ(blocks[1].line, 8);
  EXPECT_TRUE(blocks[2].hasMarkup);
}

TEST(ScriptBlocks, UnterminatedBlockIsNotTaken) {
  EXPECT_TRUE(scriptBlocks(QStringLiteral("<pre class=\"script\">SSS")).isEmpty());
}

class ManualTest : public ::testing::Test {
protected:
  void SetUp() override {
    html = readManual();
    ASSERT_FALSE(html.isEmpty()) << "cannot read " << ManualFile.toStdString();
  }
  QString html;
};

// Each example, saved as a code page 932 script file with CR LF line ends
// beside a workbook, loads without a message.
TEST_F(ManualTest, EveryExampleScriptLoads) {
  const QList<ScriptBlock> blocks = scriptBlocks(html);
  ASSERT_GE(blocks.size(), 8) << "the manual's example scripts are missing";
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString workbook = dir.filePath(QStringLiteral("book.xls"));
  for (const ScriptBlock& block : blocks) {
    SCOPED_TRACE("script block at help.html line " + std::to_string(block.line));
    EXPECT_FALSE(block.hasMarkup);
    const cp932::CodeString codes = cp932::fromUnicode(block.text);
    ASSERT_EQ(cp932::toUnicode(codes), block.text) << "text that code page 932 cannot carry";
    QByteArray bytes;
    const QStringList lines = block.text.split(QLatin1Char('\n'));
    for (const QString& line : lines) {
      const std::string encoded = cp932::encode(cp932::fromUnicode(line));
      bytes.append(encoded.data(), static_cast<qsizetype>(encoded.size()));
      bytes.append("\r\n");
    }
    QFile file(script::scriptPathFor(workbook));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(bytes), bytes.size());
    file.close();

    RecordingMessageBoxes boxes;
    script::Script loaded;
    script::initScript(loaded);
    EXPECT_TRUE(testing::shown(script::loadScriptFile(loaded, workbook), boxes));
    EXPECT_TRUE(boxes.shown.empty()) << boxes.texts().join(QLatin1Char('\n')).toStdString();
    EXPECT_GT(loaded.stepCount, 0);
  }
}

TEST_F(ManualTest, EveryInternalLinkHasItsTarget) {
  QSet<QString> ids;
  static const QRegularExpression idPattern(QStringLiteral(R"re(\bid="([^"]+)")re"));
  for (auto it = idPattern.globalMatch(html); it.hasNext();) {
    const QString id = it.next().captured(1);
    EXPECT_FALSE(ids.contains(id)) << "duplicate id " << id.toStdString();
    ids.insert(id);
  }
  static const QRegularExpression linkPattern(QStringLiteral(R"re(href="#([^"]*)")re"));
  int links = 0;
  for (auto it = linkPattern.globalMatch(html); it.hasNext(); ++links) {
    const QString target = it.next().captured(1);
    EXPECT_TRUE(ids.contains(target)) << "no target for #" << target.toStdString();
  }
  EXPECT_GE(links, 10);
}

TEST_F(ManualTest, TableOfContentsListsEverySection) {
  const qsizetype tocStart = html.indexOf(QStringLiteral("id=\"toc\""));
  ASSERT_GE(tocStart, 0) << "no table of contents";
  const qsizetype tocEnd = html.indexOf(QStringLiteral("</nav>"), tocStart);
  ASSERT_GT(tocEnd, tocStart);
  const QString toc = html.mid(tocStart, tocEnd - tocStart);
  static const QRegularExpression heading(QStringLiteral(R"re(<h2\b[^>]*\bid="([^"]+)")re"));
  int sections = 0;
  for (auto it = heading.globalMatch(html); it.hasNext(); ++sections) {
    const QString id = it.next().captured(1);
    EXPECT_TRUE(toc.contains(QStringLiteral("href=\"#") + id + QLatin1Char('"'))) << id.toStdString();
  }
  EXPECT_GE(sections, 8);
  // Every h2 carries an id, so that the contents can reach it.
  EXPECT_EQ(html.count(QStringLiteral("<h2")), sections);
}

TEST_F(ManualTest, NeedsNothingFromOutside) {
  for (const char* pattern : {R"re(<link\b)re", R"re(<script\b)re", R"re(<img\b)re", R"re(<iframe\b)re",
                              R"re(\bsrc\s*=)re", R"re(@import)re", R"re(url\()re", R"re(href="(?!#)[^"]*")re"}) {
    const QRegularExpression re(QString::fromLatin1(pattern), QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = re.match(html);
    EXPECT_FALSE(m.hasMatch()) << pattern << " at " << m.captured(0).toStdString();
  }
  EXPECT_TRUE(html.contains(QStringLiteral("<meta charset=\"utf-8\">")));
  EXPECT_TRUE(html.contains(QStringLiteral("<html lang=\"ja\">")));
}

TEST_F(ManualTest, DescribesEveryCommandAndToken) {
  for (const char* keyword : {"SCD", "ECD", "DCD", "ERR", "BRK", "RTM", "STM", "WTM", "ITM", "PAU", "CLR", "SSS", "EEE",
                              "RCV", "SND", "SET"}) {
    const QString row = QStringLiteral("<td><code>") + QLatin1String(keyword);
    EXPECT_TRUE(html.contains(row)) << "no table row for " << keyword;
  }
  for (const char* token : {"%CR", "%LF", "%SP", "%TB", "%SX", "%EX", "%EQ", "%AK", "%NK", "%%%", "%hh"}) {
    const QString cell = QStringLiteral("<td><code>") + QLatin1String(token) + QStringLiteral("</code></td>");
    EXPECT_TRUE(html.contains(cell)) << "no table row for " << token;
  }
}

TEST_F(ManualTest, DescribesTheCommandLine) {
  for (const char* option : {"--headless", "--workbook", "--dir", "--spreadsheet", "--start", "--new-workbook",
                             "--overwrite", "--dump", "--screenshot", "--panel"})
    EXPECT_TRUE(html.contains(QLatin1String(option))) << option;
  for (const char* text :
       {"./build.sh run", "./build.sh test", "ports.conf", "COM3=/dev/ttyUSB0", "dialout", "/dev/serial/by-id",
        "setup.dat", "$XDG_CONFIG_HOME/kestrune", "~/.config/kestrune", "kestrune-instrument"})
    EXPECT_TRUE(html.contains(QLatin1String(text))) << text;
  // The headless runner's exit statuses.
  for (const char* status : {"<td>0</td>", "<td>2</td>", "<td>3</td>", "<td>4</td>", "<td>129・130・131・143</td>"})
    EXPECT_TRUE(html.contains(QString::fromUtf8(status))) << status;
  // Where unsaved rows wait, and what brings them back.
  for (const char* text : {".kestrune-journal", "~/.local/state/kestrune/journals/", "保存されていなかった取得データ"})
    EXPECT_TRUE(html.contains(QString::fromUtf8(text))) << text;
}

}  // namespace
}  // namespace kestrune::testing
