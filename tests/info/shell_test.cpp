#include "core/shell.h"

#include <QDir>

#include <gtest/gtest.h>

#include <ostream>

namespace kestrune {
namespace {

struct UrlCase {
  const char* input;
  const char* scheme;     // expected scheme
  const char* localFile;  // expected local file for file URLs, else nullptr
  const char* address;    // expected address text for other schemes, else nullptr
};

void PrintTo(const UrlCase& c, std::ostream* os) { *os << c.input; }

class ShellUrlTest : public ::testing::TestWithParam<UrlCase> {};

TEST_P(ShellUrlTest, ReadsPathOrAddress) {
  const UrlCase& c = GetParam();
  const QUrl url = shellUrl(QString::fromUtf8(c.input));
  ASSERT_TRUE(url.isValid()) << c.input;
  EXPECT_EQ(url.scheme(), QString::fromUtf8(c.scheme)) << c.input;
  if (c.localFile) {
    EXPECT_EQ(url.toLocalFile(), QString::fromUtf8(c.localFile)) << c.input;
  }
  if (c.address) {
    EXPECT_EQ(url.toString(), QString::fromUtf8(c.address)) << c.input;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ShellUrlTest,
    ::testing::Values(UrlCase{"/usr/lib/kestrune/manual/help.html", "file", "/usr/lib/kestrune/manual/help.html",
                              nullptr},
                      // Characters that mean something in a URL stay part of the file name.
                      UrlCase{"/tmp/a b/c#d%e.html", "file", "/tmp/a b/c#d%e.html", nullptr},
                      UrlCase{"/home/太郎/ヘルプ.html", "file", "/home/太郎/ヘルプ.html", nullptr},
                      UrlCase{"file:///opt/k/manual/help.html", "file", "/opt/k/manual/help.html", nullptr},
                      UrlCase{"file:///opt/my%20app/help.html", "file", "/opt/my app/help.html", nullptr},
                      UrlCase{"https://example.org/a?b=c", "https", nullptr, "https://example.org/a?b=c"},
                      UrlCase{"mailto:someone@example.org", "mailto", nullptr, "mailto:someone@example.org"},
                      // One letter before a colon is a drive, not a scheme: a (relative) file name here.
                      UrlCase{"C:/data/book.xls", "file", nullptr, nullptr},
                      // A colon later in a path does not make a scheme either.
                      UrlCase{"/tmp/x:y.html", "file", "/tmp/x:y.html", nullptr},
                      UrlCase{"1ab:rest", "file", nullptr, nullptr}));

TEST(ShellUrl, RelativePathIsTakenFromTheCurrentFolder) {
  const QUrl url = shellUrl(QStringLiteral("manual/help.html"));
  EXPECT_EQ(url.toLocalFile(), QDir::current().absoluteFilePath(QStringLiteral("manual/help.html")));
  const QUrl drive = shellUrl(QStringLiteral("C:/data/book.xls"));
  EXPECT_EQ(drive.toLocalFile(), QDir::current().absoluteFilePath(QStringLiteral("C:/data/book.xls")));
}

TEST(ShellUrl, EmptyTextGivesNoAddress) { EXPECT_FALSE(shellUrl(QString()).isValid()); }

TEST(DesktopShell, EmptyTextIsRefusedWithADescription) {
  const Status status = desktopShell().open(QString());
  ASSERT_FALSE(status.ok());
  EXPECT_TRUE(status.error().is(ShellError::NoAddress));
  EXPECT_EQ(status.description(), QStringLiteral("開けません: "));
}

}  // namespace
}  // namespace kestrune
