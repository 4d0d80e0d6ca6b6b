#include "info/manual_link.h"

#include "info/recording_shell.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
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
  QTemporaryDir dir;
  ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("manual")));
  QFile(dir.filePath(QStringLiteral("manual/help.html"))).open(QIODevice::WriteOnly);
  RecordingShell shell;
  EXPECT_TRUE(MenuDoc_Click(shell, dir.path()).ok());
  EXPECT_EQ(shell.opened, QStringList{dir.filePath(QStringLiteral("manual/help.html"))});
}

TEST(MenuDocClick, AManualThatCannotBeShownNamesItsPath) {
  QTemporaryDir dir;
  ASSERT_TRUE(QDir(dir.path()).mkpath(QStringLiteral("manual")));
  const QString manual = dir.filePath(QStringLiteral("manual/help.html"));
  RecordingShell shell;
  // Missing: the shell is not even asked.
  Status s = MenuDoc_Click(shell, dir.path());
  ASSERT_FALSE(s.ok());
  EXPECT_TRUE(s.error().is(InfoError::ManualMissing));
  EXPECT_EQ(s.description(), QStringLiteral("マニュアルのファイルがありません: ") + manual);
  EXPECT_TRUE(shell.opened.isEmpty());
  // Present, but the desktop has nothing to show it with.
  QFile(manual).open(QIODevice::WriteOnly);
  shell.refuse = true;
  s = MenuDoc_Click(shell, dir.path());
  ASSERT_FALSE(s.ok());
  EXPECT_TRUE(s.error().is(InfoError::ManualNotShown));
  EXPECT_EQ(s.description(), QStringLiteral("ブラウザーで次のファイルを開いて下さい: ") + manual +
                                 QStringLiteral("\n（no handler for ") + manual + QStringLiteral("）"));
  EXPECT_EQ(shell.opened, QStringList{manual});
}

}  // namespace
}  // namespace kestrune::info
