#include "core/trace.h"

#include "core/shell.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace kestrune {
namespace {

class TraceTest : public ::testing::Test {
protected:
  TraceTest() {
    setTraceSink([this](const QString& line) { lines << line; });
  }
  ~TraceTest() override { setTraceSink({}); }
  QStringList lines;
};

TEST_F(TraceTest, FailuresGoToTheSinkAndSuccessesDoNot) {
  EXPECT_TRUE(traceFailure(QStringLiteral("CLR"), Status{}));
  EXPECT_FALSE(
      traceFailure(QStringLiteral("BRK"), fail(ShellError::NotOpened, QStringLiteral("Com1 は切断されています"))));
  trace(QStringLiteral("sheet tab"), QStringLiteral("no sheet number 9"));
  EXPECT_EQ(lines, (QStringList{QStringLiteral("BRK: Com1 は切断されています"),
                                QStringLiteral("sheet tab: no sheet number 9")}));
  setTraceSink({});
  trace(QStringLiteral("dropped"), QStringLiteral("nobody listens"));
  EXPECT_EQ(lines.size(), 2);
}

TEST_F(TraceTest, TheFileSinkAppendsAndStartsAfreshPastItsLimit) {
  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("cache/kestrune/kestrune.log"));  // the folder is made
  setTraceSink(fileTraceSink(path, 200));
  trace(QStringLiteral("first"), QStringLiteral("one"));
  trace(QStringLiteral("second"), QStringLiteral("two"));
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  QByteArray text = file.readAll();
  EXPECT_TRUE(text.contains("first: one\n") && text.contains("second: two\n")) << text.toStdString();
  file.close();
  for (int i = 0; i < 20; ++i) trace(QStringLiteral("filler"), QString(30, QLatin1Char('x')));
  trace(QStringLiteral("last"), QStringLiteral("kept"));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  text = file.readAll();
  EXPECT_LE(text.size(), 200 + 100);  // bounded: at most the limit and a line
  EXPECT_FALSE(text.contains("first: one"));
  EXPECT_TRUE(text.contains("last: kept"));
}

// A link planted where the log goes (to a file or to nowhere) is not followed:
// its target stays as it was, or is not made.
TEST_F(TraceTest, TheFileSinkWritesNothingThroughALink) {
  QTemporaryDir dir;
  const QString target = dir.filePath(QStringLiteral("precious"));
  {
    QFile f(target);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("keep");
  }
  for (const QString& pointsTo : {target, dir.filePath(QStringLiteral("nowhere"))}) {
    const QString path = dir.filePath(QStringLiteral("kestrune.log"));
    QFile::remove(path);
    ASSERT_TRUE(QFile::link(pointsTo, path));
    setTraceSink(fileTraceSink(path, 200));
    trace(QStringLiteral("planted"), QStringLiteral("link"));
    setTraceSink({});
  }
  QFile f(target);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  EXPECT_EQ(f.readAll(), "keep");
  EXPECT_FALSE(QFileInfo::exists(dir.filePath(QStringLiteral("nowhere"))));
}

}  // namespace
}  // namespace kestrune
