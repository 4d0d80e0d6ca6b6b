#include "info/manual_link.h"

#include "info/recording_shell.h"

#include <QUrl>

#include <gtest/gtest.h>

namespace kestrune::info {
namespace {

using testing::RecordingShell;

struct PathCase {
  const char* programDir;
  const char* manual;
};

class ManualPathTest : public ::testing::TestWithParam<PathCase> {};

TEST_P(ManualPathTest, IsTheManualFolderOfTheProgram) {
  const PathCase& c = GetParam();
  EXPECT_EQ(manualPath(QString::fromUtf8(c.programDir)), QString::fromUtf8(c.manual));
}

INSTANTIATE_TEST_SUITE_P(
    Table, ManualPathTest,
    ::testing::Values(PathCase{"/usr/lib/kestrune", "/usr/lib/kestrune/manual/help.html"},
                      PathCase{"/opt/kestrune/", "/opt/kestrune/manual/help.html"},
                      PathCase{"/opt/kestrune//", "/opt/kestrune/manual/help.html"}, PathCase{"/", "/manual/help.html"},
                      PathCase{"/home/太郎/計測 ツール", "/home/太郎/計測 ツール/manual/help.html"}));

// The product page is the manual's file URL; handed back to the shell it
// names the manual again, whatever characters the folder has.
class ProductPageTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ProductPageTest, IsTheManualAsAFileAddress) {
  const QString dir = QString::fromUtf8(GetParam());
  const QString address = productPageAddress(dir);
  EXPECT_TRUE(address.startsWith(QLatin1String("file:///"))) << address.toStdString();
  EXPECT_TRUE(address.endsWith(QLatin1String("/manual/help.html"))) << address.toStdString();
  EXPECT_EQ(shellUrl(address).toLocalFile(), manualPath(dir)) << address.toStdString();
}

INSTANTIATE_TEST_SUITE_P(Table, ProductPageTest,
                         ::testing::Values("/usr/lib/kestrune", "/opt/my app", "/tmp/a#b", "/tmp/100%", "/home/太郎"));

TEST(ProductPage, PlainFolderReadsAsAnOrdinaryAddress) {
  EXPECT_EQ(productPageAddress(QStringLiteral("/usr/lib/kestrune")),
            QStringLiteral("file:///usr/lib/kestrune/manual/help.html"));
}

TEST(MenuDocClick, AsksTheShellToOpenTheManualOnce) {
  RecordingShell shell;
  MenuDoc_Click(shell, QStringLiteral("/usr/lib/kestrune"));
  EXPECT_EQ(shell.opened, QStringList{QStringLiteral("/usr/lib/kestrune/manual/help.html")});
}

TEST(MenuDocClick, AShellFailureEndsQuietly) {
  RecordingShell shell;
  shell.refuse = true;
  MenuDoc_Click(shell, QStringLiteral("/nowhere"));
  MenuDoc_Click(shell, QStringLiteral("/nowhere"));
  // Each click asks again; nothing is remembered from the failure.
  EXPECT_EQ(shell.opened.size(), 2);
  EXPECT_EQ(shell.opened.front(), QStringLiteral("/nowhere/manual/help.html"));
}

}  // namespace
}  // namespace kestrune::info
