#include "core/trace.h"

#include <QFile>
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
  EXPECT_FALSE(traceFailure(QStringLiteral("BRK"), fail(QStringLiteral("Com1 は切断されています"))));
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

}  // namespace
}  // namespace kestrune
