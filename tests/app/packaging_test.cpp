// The packaging files as the tools that read them see them: systemd the
// service template, appstreamcli the metadata, man the manual pages. Each
// check skips with a message where its tool is not installed.
#include "app/headless.h"

#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <optional>

namespace kestrune::app {
namespace {

const QString Packaging = QStringLiteral(KESTRUNE_SOURCE_DIR "/packaging/");

QString readText(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

struct Ran {
  int status = -1;
  QString output;  // standard output and standard error, or standard error alone
};

enum class Output { Both, ErrorsOnly };

Ran run(const QString& program, const QStringList& arguments, Output kept = Output::Both) {
  QProcess process;
  if (kept == Output::Both)
    process.setProcessChannelMode(QProcess::MergedChannels);
  else
    process.setStandardOutputFile(QProcess::nullDevice());
  process.start(program, arguments);
  Ran ran;
  if (!process.waitForFinished(120000)) return ran;
  ran.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  ran.output = QString::fromUtf8(kept == Output::Both ? process.readAll() : process.readAllStandardError());
  return ran;
}

// The value of `key` in the unit's text; the last setting counts.
QString unitValue(const QString& unit, const QString& key) {
  const QRegularExpression line(QStringLiteral("^%1=(.*)$").arg(QRegularExpression::escape(key)),
                                QRegularExpression::MultilineOption);
  QString value;
  for (auto it = line.globalMatch(unit); it.hasNext();) value = it.next().captured(1).trimmed();
  return value;
}

// systemd-analyze `command` on the template as shipped, starting this build's
// program (systemd wants an executable that exists); nothing where
// systemd-analyze is not installed.
std::optional<Ran> analyzeUnit(const QStringList& command) {
  const QString analyze = QStandardPaths::findExecutable(QStringLiteral("systemd-analyze"));
  if (analyze.isEmpty()) return std::nullopt;
  QTemporaryDir dir;
  QString unit = readText(Packaging + QStringLiteral("kestrune@.service"));
  unit.replace(QStringLiteral("/usr/bin/kestrune"), QStringLiteral(KESTRUNE_PATH));
  const QString path = dir.filePath(QStringLiteral("kestrune@.service"));
  QFile file(path);
  if (!dir.isValid() || unit.isEmpty() || !file.open(QIODevice::WriteOnly) ||
      file.write(unit.toUtf8()) != unit.toUtf8().size())
    return Ran{-1, QStringLiteral("the template could not be copied")};
  file.close();
  return run(analyze, QStringList(command) << path);
}

TEST(PackagingTest, SystemdReadsTheServiceTemplateWithoutRemarks) {
  const std::optional<Ran> verified = analyzeUnit({QStringLiteral("verify"), QStringLiteral("--man=no")});
  if (!verified) GTEST_SKIP() << "systemd-analyze is not installed";
  EXPECT_EQ(verified->status, 0) << verified->output.toStdString();
  // Unknown keys and values systemd ignores are remarks on the file's lines.
  EXPECT_FALSE(verified->output.contains(QStringLiteral("kestrune@"))) << verified->output.toStdString();
}

// The service runs sandboxed, and the sandbox still lets it open every kind
// of device it logs from.
TEST(PackagingTest, TheServiceIsSandboxedButReachesItsSerialDevices) {
  const QString unit = readText(Packaging + QStringLiteral("kestrune@.service"));
  ASSERT_FALSE(unit.isEmpty());
  const QRegularExpression allowed(QStringLiteral("^DeviceAllow=(\\S+)\\s+(\\S+)$"),
                                   QRegularExpression::MultilineOption);
  QStringList devices;
  for (auto it = allowed.globalMatch(unit); it.hasNext();) {
    const QRegularExpressionMatch m = it.next();
    if (m.captured(2).contains(QLatin1Char('r')) && m.captured(2).contains(QLatin1Char('w'))) devices << m.captured(1);
  }
  // Serial lines, USB adapters of both kinds, the virtual instrument's pseudo-terminals.
  for (const char* kind : {"char-ttyS", "char-ttyUSB", "char-ttyACM", "char-pts"})
    EXPECT_TRUE(devices.contains(QLatin1String(kind))) << kind << " cannot be opened by the service";
  EXPECT_EQ(unitValue(unit, QStringLiteral("DevicePolicy")), QStringLiteral("closed"));
  EXPECT_TRUE(unitValue(unit, QStringLiteral("RestrictAddressFamilies")).contains(QStringLiteral("AF_INET")))
      << "an MQTT broker is reached over the network";
  EXPECT_TRUE(unitValue(unit, QStringLiteral("ReadWritePaths")).contains(QStringLiteral("/run/lock")))
      << "the UUCP lock files";

  const std::optional<Ran> scored =
      analyzeUnit({QStringLiteral("security"), QStringLiteral("--offline=yes"), QStringLiteral("--no-pager")});
  if (!scored) GTEST_SKIP() << "systemd-analyze is not installed";
  const QRegularExpressionMatch overall =
      QRegularExpression(QStringLiteral("Overall exposure level for \\S+: (\\d+\\.\\d)")).match(scored->output);
  ASSERT_TRUE(overall.hasMatch()) << scored->output.toStdString();
  EXPECT_LT(overall.captured(1).toDouble(), 4.0) << scored->output.toStdString();
}

// The command line speaks Japanese as the windows do: the usage line and
// every option's description (the option names stay as they are).
TEST(PackagingTest, TheHelpIsInJapanese) {
  const Ran help = run(QStringLiteral(KESTRUNE_PATH), {QStringLiteral("--help")});
  ASSERT_EQ(help.status, 0) << help.output.toStdString();
  EXPECT_TRUE(help.output.contains(QStringLiteral("使い方: "))) << help.output.toStdString();
  const QRegularExpression ascii(QStringLiteral("^[\\x00-\\x7f]*$"));
  int options = 0;
  for (const QString& line : help.output.split(QLatin1Char('\n'))) {
    if (!line.startsWith(QStringLiteral("  -"))) continue;
    ++options;
    EXPECT_FALSE(ascii.match(line).hasMatch()) << line.toStdString();
  }
  EXPECT_GE(options, 12);
}

TEST(PackagingTest, TheServiceRunsOptionsTheProgramHasAndKnowsItsExitStatuses) {
  const QString unit = readText(Packaging + QStringLiteral("kestrune@.service"));
  ASSERT_FALSE(unit.isEmpty());
  const QString exec = unitValue(unit, QStringLiteral("ExecStart"));
  const Ran help = run(QStringLiteral(KESTRUNE_PATH), {QStringLiteral("--help")});
  ASSERT_EQ(help.status, 0) << help.output.toStdString();
  const QRegularExpression option(QStringLiteral("(--[a-z-]+)"));
  int options = 0;
  for (auto it = option.globalMatch(exec); it.hasNext(); ++options) {
    const QString name = it.next().captured(1);
    EXPECT_TRUE(help.output.contains(name)) << name.toStdString() << " is not an option of the program";
  }
  EXPECT_GE(options, 3) << exec.toStdString();
  EXPECT_TRUE(exec.contains(QStringLiteral("--headless")));

  // A stop ends the run as End does: not a failure. A run that could not
  // start waits for a person instead of starting again and again.
  EXPECT_EQ(unitValue(unit, QStringLiteral("SuccessExitStatus")), QString::number(ExitTerminated));
  const QStringList prevented = unitValue(unit, QStringLiteral("RestartPreventExitStatus")).split(QLatin1Char(' '));
  EXPECT_TRUE(prevented.contains(QString::number(ExitCouldNotStart)));
  EXPECT_TRUE(prevented.contains(QString::number(ExitSheetFull)));
  EXPECT_FALSE(prevented.contains(QString::number(ExitNotSaved)));  // the restart recovers the rows
  EXPECT_EQ(unitValue(unit, QStringLiteral("Restart")), QStringLiteral("on-failure"));
  EXPECT_EQ(unitValue(unit, QStringLiteral("WantedBy")), QStringLiteral("multi-user.target"));
}

TEST(PackagingTest, AppStreamMetadataIsValidAndNamesTheDesktopEntry) {
  const QString metainfo = Packaging + QStringLiteral("org.kestrune.Kestrune.metainfo.xml");
  const QString text = readText(metainfo);
  ASSERT_FALSE(text.isEmpty());
  const QRegularExpressionMatch launchable =
      QRegularExpression(QStringLiteral("<launchable type=\"desktop-id\">([^<]+)</launchable>")).match(text);
  ASSERT_TRUE(launchable.hasMatch());
  EXPECT_TRUE(QFile::exists(Packaging + launchable.captured(1))) << launchable.captured(1).toStdString();

  const QString appstream = QStandardPaths::findExecutable(QStringLiteral("appstreamcli"));
  if (appstream.isEmpty()) GTEST_SKIP() << "appstreamcli is not installed (package appstream)";
  const Ran validated = run(appstream, {QStringLiteral("validate"), QStringLiteral("--no-net"), metainfo});
  EXPECT_EQ(validated.status, 0) << validated.output.toStdString();
}

TEST(PackagingTest, ManualPagesFormatWithoutWarnings) {
  const QString man = QStandardPaths::findExecutable(QStringLiteral("man"));
  if (man.isEmpty()) GTEST_SKIP() << "man is not installed";
  for (const char* page : {"kestrune.1", "kestrune-instrument.1"}) {
    SCOPED_TRACE(page);
    const Ran formatted =
        run(man,
            {QStringLiteral("--warnings"), QStringLiteral("-E"), QStringLiteral("UTF-8"), QStringLiteral("-l"),
             QStringLiteral("-Tutf8"), QStringLiteral("-Z"), Packaging + QString::fromLatin1(page)},
            Output::ErrorsOnly);
    EXPECT_EQ(formatted.status, 0);
    EXPECT_EQ(formatted.output, QString());
  }
}

}  // namespace
}  // namespace kestrune::app
