#include "script/loader.h"

#include "fakes/shown.h"
#include "fakes/recording_message_boxes.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>

#include <sys/stat.h>

namespace kestrune::script {
namespace {

using cp932::CodeString;
using testing::RecordingMessageBoxes;

std::vector<CodeString> lines(std::string_view bytes) { return readStepLines(bytes).lines; }

struct ReaderCase {
  const char* name;
  std::string bytes;
  std::vector<CodeString> expected;
};

class ReadStepLinesTest : public ::testing::TestWithParam<ReaderCase> {};

TEST_P(ReadStepLinesTest, Lines) { EXPECT_EQ(lines(GetParam().bytes), GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Reader, ReadStepLinesTest,
    ::testing::Values(
        ReaderCase{"CrLf", "SSS\r\nRCV\r\n", {u"SSS", u"RCV"}}, ReaderCase{"CrOnly", "SSS\rRCV\r", {u"SSS", u"RCV"}},
        ReaderCase{"LfOnly", "SSS\nRCV\nSET\n", {u"SSS", u"RCV", u"SET"}},
        ReaderCase{"LfCrIsTwoLineEnds", "AB\n\rSND:X\r\n", {u"ABSND:X"}},
        ReaderCase{"NoFinalLineEnd", "SSS\r\nEEE", {u"SSS", u"EEE"}},
        ReaderCase{"TabRemoved", "SND:A\tB\r\n", {u"SND:AB"}},
        ReaderCase{"TrailingSpaceOfLastLineDropped", "SND:A ", {u"SND:A"}},
        ReaderCase{"SpacesTrimmed", "   SSS   \r\n", {u"SSS"}},
        ReaderCase{"CommentInFirstColumn", "  ;comment\r\nSND:A;B\r\n", {u"SND:A;B"}},
        ReaderCase{"ShortLineJoinsNextLine", "AB\r\nSND:X\r\n", {u"ABSND:X"}},
        ReaderCase{"LoneDigitJoins", "1\r\nSSS\r\n", {u"1SSS"}},
        ReaderCase{"ShortCommentSwallowsNextLine", ";a\r\nSND:X\r\nSSS\r\n", {u"SSS"}},
        ReaderCase{"EmptyLinesHaveNoEffect", "\r\n\r\n\r\nSSS\r\n\r\n", {u"SSS"}},
        ReaderCase{"ShortLeftoverAtEndIsDropped", "SSS\r\nAB", {u"SSS"}},
        ReaderCase{"OnlyComments", "; a\r\n;b c\r\n\r\n", {}}, ReaderCase{"Empty", "", {}},
        ReaderCase{"ShiftJis", "SND:\x91\xaa\x92\xe8\r\n", {CodeString{u'S', u'N', u'D', u':', 0x91AA, 0x92E8}}},
        ReaderCase{"InvalidBytesKept", "SND:\x80\xff\x82\r\n", {CodeString{u'S', u'N', u'D', u':', 0x80, 0xFF, 0x82}}},
        ReaderCase{"LeadByteBeforeCr", "SND:A\x82\rSSS", {CodeString{u'S', u'N', u'D', u':', u'A', 0x82}, u"SSS"}},
        ReaderCase{"NulDropped", std::string("SN\0D:A\r", 7), {u"SND:A"}},
        ReaderCase{"LastCharacterControlEndsLine", "SSS\x1a", {u"SSS"}}),
    [](const auto& p) { return std::string(p.param.name); });

// The same script saved with each kind of line end: the same steps, found on
// the same lines of the file.
TEST(ReadStepLinesTest, EveryLineEndGivesTheSameStepsOnTheSameFileLines) {
  const std::vector<std::string> text = {"; header", "", "  SSS", "1", "2SND:X", "", "RCV  ", "; c", "EEE"};
  for (const std::string eol : {"\r\n", "\n", "\r"}) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) bytes += text[i] + (i + 1 < text.size() ? eol : "");
    const StepLines read = readStepLines(bytes);
    EXPECT_EQ(read.lines, (std::vector<CodeString>{u"SSS", u"12SND:X", u"RCV", u"EEE"}))
        << ::testing::PrintToString(eol);
    EXPECT_EQ(read.fileLines, (std::vector<std::size_t>{3, 4, 7, 9})) << ::testing::PrintToString(eol);
  }
}

TEST(ReadStepLinesTest, LineLengthLimit) {
  const std::string atLimit = "SND:" + std::string(MaxLineLength - 4, 'x') + "\r\n";
  EXPECT_FALSE(readStepLines(atLimit).tooLong);
  EXPECT_EQ(readStepLines(atLimit).lines.size(), 1u);
  const std::string beyond = "SND:" + std::string(MaxLineLength - 3, 'x') + "\r\n";
  EXPECT_TRUE(readStepLines(beyond).tooLong);
}

TEST(ReadStepLinesTest, StepLineCountLimit) {
  std::string atLimit;
  for (std::size_t i = 0; i < MaxStepLines; ++i) atLimit += "CLR\r\n";
  EXPECT_FALSE(readStepLines(atLimit).tooLong);
  EXPECT_TRUE(readStepLines(atLimit + "CLR\r\n").tooLong);
}

TEST(ScriptPathTest, LastThreeCharactersBecomeTxt) {
  EXPECT_EQ(scriptPathFor(QStringLiteral("/a/b.xls")), QStringLiteral("/a/b.txt"));
  EXPECT_EQ(scriptPathFor(QStringLiteral("/a/B.XLS")), QStringLiteral("/a/B.txt"));
  EXPECT_EQ(scriptPathFor(QStringLiteral("xy")), QStringLiteral("txt"));
}

class LoadScriptFileTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    initScript(script);
  }
  QString book() const { return dir.filePath(QStringLiteral("book.xls")); }
  QString scriptFile() const { return dir.filePath(QStringLiteral("book.txt")); }
  void write(const std::string& bytes) {
    QFile f(scriptFile());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes.data(), static_cast<qint64>(bytes.size()));
  }
  QTemporaryDir dir;
  Script script;
  RecordingMessageBoxes boxes;
};

TEST_F(LoadScriptFileTest, ReadsTheExampleScript) {
  write(
      "; measure every minute\r\nECD:%CR\r\nDCD:,\r\nITM:60\r\nSSS\r\nCLR\r\nSND:MEAS?%CR%LF\r\nRCV\r\nSET\r\nEEE\r\n");
  ASSERT_TRUE(testing::shown(loadScriptFile(script, book()), boxes));
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_EQ(script.stepCount, 9);
  ASSERT_EQ(script.scriptSteps.size(), 10u);
  EXPECT_EQ(script.scriptSteps[0], (ScriptStep{CmdECD, 13, 0, {}}));
  EXPECT_EQ(script.scriptSteps[2], (ScriptStep{CmdITM, 0, 60000, {}}));
  EXPECT_EQ(script.scriptSteps[5], (ScriptStep{CmdSND, 0, 0, u"MEAS?\r\n"}));
  EXPECT_EQ(script.scriptSteps[9], ScriptStep{});
}

TEST_F(LoadScriptFileTest, MissingFileOrAFolderOrPipeInItsPlace) {
  const QString expected = QStringLiteral("ｽｸﾘﾌﾟﾄﾌｧｲﾙ:") + scriptFile() + QStringLiteral("がありません");
  const std::function<void()> makers[] = {
      [] {},
      [this] { ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("book.txt"))); },
      [this] {
        ASSERT_TRUE(QDir(dir.path()).rmdir(QStringLiteral("book.txt")));
        ASSERT_EQ(::mkfifo(QFile::encodeName(scriptFile()).constData(), 0600), 0);
      },
  };
  for (const auto& make : makers) {
    make();
    boxes.shown.clear();
    EXPECT_FALSE(testing::shown(loadScriptFile(script, book()), boxes));  // never waits on the pipe
    EXPECT_EQ(boxes.texts(), QStringList{expected});
    EXPECT_EQ(script.stepCount, 4);  // the built-in script stays
  }
}

TEST_F(LoadScriptFileTest, NoStepLines) {
  write(";only\r\n; comments\r\n\r\n");
  EXPECT_FALSE(testing::shown(loadScriptFile(script, book()), boxes));
  EXPECT_EQ(boxes.texts(),
            QStringList{QStringLiteral("ｽｸﾘﾌﾟﾄﾌｧｲﾙ:") + scriptFile() + QStringLiteral("にｽｸﾘﾌﾟﾄはありません")});
}

TEST_F(LoadScriptFileTest, BadLineIsReportedByItsStepNumberThenWhyAndOnWhichLineOfTheFile) {
  write("SSS\n; comment\n\n\n\n\n\n\n\nsnd:A \nEEE\n");
  EXPECT_FALSE(testing::shown(loadScriptFile(script, book()), boxes));
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("ｽｸﾘﾌﾟﾄ不正(") + scriptFile() +
                                       QStringLiteral(") ｽｸﾘﾌﾟﾄNo.2:snd:A \nコマンドは半角の大文字で書いて下さい"
                                                      "（ファイルの10行目）")});
  EXPECT_EQ(script.scriptSteps.size(), 4u);  // the built-in script is gone
  EXPECT_EQ(script.scriptSteps[0].command, CmdSSS);
}

struct ReasonCase {
  const char* name;
  const char* line;  // the third step, on the fifth line of the file
  const char* reason;
};

class StepReasonTest : public LoadScriptFileTest, public ::testing::WithParamInterface<ReasonCase> {};

TEST_P(StepReasonTest, SaysWhyTheStepIsRefused) {
  const ReasonCase& c = GetParam();
  write("SSS\r\n\r\nRCV\r\n; c\r\n" + std::string(c.line) + "\r\nEEE\r\n");
  EXPECT_FALSE(testing::shown(loadScriptFile(script, book()), boxes));
  const QString line = cp932::toUnicode(cp932::decode(c.line)).trimmed();
  EXPECT_EQ(boxes.texts(),
            QStringList{QStringLiteral("ｽｸﾘﾌﾟﾄ不正(") + scriptFile() + QStringLiteral(") ｽｸﾘﾌﾟﾄNo.3:") + line +
                        QStringLiteral(" \n") + QString::fromUtf8(c.reason) + QStringLiteral("（ファイルの5行目）")});
}

INSTANTIATE_TEST_SUITE_P(
    Reasons, StepReasonTest,
    ::testing::Values(
        ReasonCase{"Unknown", "XYZ", "不明なコマンドです"},
        ReasonCase{"LowerCase", "Sss", "コマンドは半角の大文字で書いて下さい"},
        ReasonCase{"TimeWithoutColon", "WTM 5", "コマンドの直後に「:」がありません"},
        ReasonCase{"CodeWithoutColon", "SCD", "コマンドの直後に「:」がありません"},
        ReasonCase{"OperandAfterSss", "SSS:1", "このコマンドの後には何も書けません"},
        ReasonCase{"SendNothing", "SND:", "送信するデータがありません"},
        ReasonCase{"SendWithoutAnything", "SND", "送信するデータがありません"},
        ReasonCase{"SendBadToken", "SND:A%ZZ", "「%」の後が記号名（CR、LF など）または16進数2桁ではありません"},
        ReasonCase{"CodeBadToken", "ECD:%Q", "「%」の後が記号名（CR、LF など）または16進数2桁ではありません"},
        ReasonCase{"NegativeTime", "RTM:-1", "時間が秒の数値ではありません"},
        ReasonCase{"TwoCharacterCode", "DCD:ab", "文字コードは1文字、または「%」と記号名か16進数2桁で指定して下さい"},
        ReasonCase{"FullWidthComma", "DCD:\x81\x43", "文字コードが範囲外です（1バイトの文字に限ります）"}),
    [](const auto& p) { return std::string(p.param.name); });

// A file beyond a limit is a read error, and the details say which limit.
TEST_F(LoadScriptFileTest, AFileBeyondALimitIsAReadErrorThatNamesTheLimit) {
  std::string manySteps;
  for (int i = 0; i < 32768; ++i) manySteps += "CLR\r\n";
  struct Case {
    const char* what;
    std::function<void()> make;
    const char* details;
  };
  const Case cases[] = {
      {"a line of 100 KB", [&] { write("SND:" + std::string(100 * 1024, 'x') + "\r\n"); },
       "スクリプトファイルの行が長すぎます（1 行は 32767 文字まで）"},
      {"too many step lines", [&] { write(manySteps); },
       "スクリプトファイルが大きすぎます（ステップの行は 32767 行まで）"},
      {"larger than any script may be",
       [&] {
         // A sparse file: no disk space is used.
         QFile huge(scriptFile());
         ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
         ASSERT_TRUE(huge.resize(65 * 1024 * 1024));
       },
       "スクリプトファイルが大きすぎます（68157440 バイト。67108864 バイトまで）"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    boxes.shown.clear();
    c.make();
    EXPECT_FALSE(testing::shown(loadScriptFile(script, book()), boxes));
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(boxes.shown[0].text, QStringLiteral("ｽｸﾘﾌﾟﾄﾌｧｲﾙ:") + scriptFile() + QStringLiteral("の読み込みエラー"));
    EXPECT_EQ(boxes.shown[0].informative, QString::fromUtf8(c.details));
  }
}

}  // namespace
}  // namespace kestrune::script
