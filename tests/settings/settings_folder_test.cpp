#include "settings/settings_folder.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace kestrune::settings {
namespace {

class SettingsFolderTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(root.isValid());
    programDir = root.filePath(QStringLiteral("program"));
    userDir = root.filePath(QStringLiteral("user/kestrune"));
    ASSERT_TRUE(QDir().mkpath(programDir));
  }
  static void touch(const QString& path) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  }
  QTemporaryDir root;
  QString programDir;
  QString userDir;
};

TEST_F(SettingsFolderTest, WritableProgramFolderIsUsedForBoth) {
  touch(userDir + QStringLiteral("/setup.dat"));  // ignored: the portable folder wins
  const SettingsFolder folder(programDir, userDir, true);
  EXPECT_EQ(folder.readPath(QStringLiteral("setup.dat")), programDir + QStringLiteral("/setup.dat"));
  EXPECT_EQ(folder.writePath(QStringLiteral("setup.dat")), programDir + QStringLiteral("/setup.dat"));
}

TEST_F(SettingsFolderTest, ReadOnlyProgramFolderWritesToUserFolder) {
  const SettingsFolder folder(programDir, userDir, false);
  EXPECT_EQ(folder.writePath(QStringLiteral("setup.dat")), userDir + QStringLiteral("/setup.dat"));
  // No user file yet: the program folder's file (for example shipped defaults) is read.
  EXPECT_EQ(folder.readPath(QStringLiteral("setup.dat")), programDir + QStringLiteral("/setup.dat"));
  touch(userDir + QStringLiteral("/setup.dat"));
  EXPECT_EQ(folder.readPath(QStringLiteral("setup.dat")), userDir + QStringLiteral("/setup.dat"));
  EXPECT_EQ(folder.readPath(QStringLiteral("ports.conf")), programDir + QStringLiteral("/ports.conf"));
}

TEST_F(SettingsFolderTest, FixedFolderServesBoth) {
  const SettingsFolder folder = SettingsFolder::fixed(programDir);
  EXPECT_EQ(folder.readPath(QStringLiteral("ports.conf")), programDir + QStringLiteral("/ports.conf"));
  EXPECT_EQ(folder.writePath(QStringLiteral("ports.conf")), programDir + QStringLiteral("/ports.conf"));
}

TEST_F(SettingsFolderTest, UserFolderFollowsXdgConfigHome) {
  const QByteArray saved = qgetenv("XDG_CONFIG_HOME");
  qputenv("XDG_CONFIG_HOME", "/somewhere/config");
  EXPECT_EQ(SettingsFolder::userConfigDir(), QStringLiteral("/somewhere/config/kestrune"));
  qputenv("XDG_CONFIG_HOME", "");
  EXPECT_EQ(SettingsFolder::userConfigDir(), QDir::homePath() + QStringLiteral("/.config/kestrune"));
  qputenv("XDG_CONFIG_HOME", "relative/path");  // not absolute: ignored, as the XDG rules say
  EXPECT_EQ(SettingsFolder::userConfigDir(), QDir::homePath() + QStringLiteral("/.config/kestrune"));
  if (saved.isNull())
    qunsetenv("XDG_CONFIG_HOME");
  else
    qputenv("XDG_CONFIG_HOME", saved);
}

TEST_F(SettingsFolderTest, ForProgramChecksWritability) {
  const SettingsFolder folder = SettingsFolder::forProgram(programDir);
  EXPECT_EQ(folder.writePath(QStringLiteral("setup.dat")), programDir + QStringLiteral("/setup.dat"));
  const SettingsFolder missing = SettingsFolder::forProgram(root.filePath(QStringLiteral("no/such/dir")));
  EXPECT_TRUE(missing.writePath(QStringLiteral("setup.dat")).startsWith(SettingsFolder::userConfigDir()));
}

}  // namespace
}  // namespace kestrune::settings
