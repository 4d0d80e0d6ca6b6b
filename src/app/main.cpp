// Kestrune: a data logger for measuring instruments on a serial line.
#include "app/command_line.h"
#include "app/config_command.h"
#include "app/dialog_message_boxes.h"
#include "app/form_main.h"
#include "app/headless.h"
#include "app/acquisition_session.h"
#include "app/recover_command.h"
#include "app/spreadsheet_choice.h"
#include "app/verify_command.h"
#include "app/workbook_tools.h"
#include "core/trace.h"
#include "info/logo.h"
#include "serial/port_map.h"
#include "serial/termios_port.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

using namespace kestrune;

namespace {

void quietToolkitMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtCriticalMsg || type == QtFatalMsg) std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
}

// $XDG_CACHE_HOME/kestrune, or ~/.cache/kestrune.
QString userCacheFolder() {
  QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
  if (cache.isEmpty() || QDir::isRelativePath(cache)) cache = QDir::homePath() + QStringLiteral("/.cache");
  return cache + QStringLiteral("/kestrune");
}

using PortFactory = serial::Channels::PortFactory;

// One session, and the headless runner in front of it.
int runHeadless(const app::CommandLine& options, const settings::SettingsFolder& folder, const serial::PortMap& portMap,
                const PortFactory& ports, Clock& clock) {
  if (!options.workbook) {
    std::fprintf(stderr, "kestrune: --headless には --workbook PATH が必要です\n");
    return app::ExitCouldNotStart;
  }
  StderrMessageBoxes boxes;
  if (options.verbose) {
    setTraceSink([](const QString& line) {
      std::fprintf(stderr, "kestrune: trace: %s\n", line.toUtf8().constData());
      std::fflush(stderr);
    });
  }
  const auto kind = app::chooseSpreadsheet(options.spreadsheet, true);
  app::AcquisitionSession session(ports, folder, clock, app::spreadsheetFactory(kind, true, boxes));
  session.setPortMap(portMap);
  if (!portMap.error().isEmpty()) boxes.show(portMap.error(), MessageIcon::Warning);
  return app::runHeadless(session, boxes, *options.workbook, options.serve);
}

// One session, and the windows in front of it.
int runWindows(const app::CommandLine& options, const settings::SettingsFolder& folder, const serial::PortMap& portMap,
               const PortFactory& ports, Clock& clock) {
  app::DialogMessageBoxes boxes;
  // The windows keep their trace in the user's cache folder, beside LibreOffice's log.
  setTraceSink(fileTraceSink(userCacheFolder() + QStringLiteral("/kestrune.log")));
  const auto kind = app::chooseSpreadsheet(options.spreadsheet, false);
  app::AcquisitionSession session(ports, folder, clock, app::spreadsheetFactory(kind, false, boxes));
  session.setPortMap(portMap);

  app::FormMain formMain(session, boxes);
  if (kind == app::SpreadsheetKind::Calc) formMain.setApplicationName(QStringLiteral("LibreOffice"));
  boxes.setParentWindow(&formMain);
  formMain.logic().programEntry();
  formMain.Form_Load();
  formMain.show();
  if (!portMap.error().isEmpty()) boxes.show(portMap.error(), MessageIcon::Warning);
  if (!options.screenshot) formMain.startWebView(options.serve);
  if (options.panel == QLatin1String("conditions"))
    formMain.logic().MenuCond_Click();
  else if (options.panel == QLatin1String("serial"))
    formMain.logic().MenuRS_Click();
  if (options.workbook) {
    formMain.setFileNameText(*options.workbook);
    if (options.start) QTimer::singleShot(0, &formMain, [&formMain] { formMain.openAndStart(); });
  }
  if (options.screenshot) {
    // Pictures for the documentation: the window as it first appears, settings left untouched.
    QTimer::singleShot(200, &formMain, [&] {
      const bool saved = formMain.grab().save(*options.screenshot);
      QApplication::exit(saved ? 0 : 1);
    });
  }
  return QApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
  // `kestrune config ...` reads and writes the settings files only: no toolkit beyond Qt Core.
  if (argc > 1 && std::strcmp(argv[1], "config") == 0) {
    const QCoreApplication application(argc, argv);
    return app::configMain(QCoreApplication::arguments().mid(2), QCoreApplication::applicationDirPath());
  }
  // `kestrune verify BOOK.xls` reads the workbook and its run record only.
  if (argc > 1 && std::strcmp(argv[1], "verify") == 0) {
    const QCoreApplication application(argc, argv);
    return app::verifyMain(QCoreApplication::arguments().mid(2), stdout, stderr);
  }
  // What shows no window needs no display.
  const bool windowless = app::wantsOption(argc, argv, "--headless") ||
                          app::wantsOption(argc, argv, "--new-workbook") || app::wantsOption(argc, argv, "--dump") ||
                          app::wantsOption(argc, argv, "--recover") || app::wantsOption(argc, argv, "--help") ||
                          app::wantsOption(argc, argv, "-h") || app::wantsOption(argc, argv, "--version");
  if (windowless && !std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  // Without windows the toolkit's notes about its platform are noise on the terminal.
  if (windowless) qInstallMessageHandler(quietToolkitMessages);
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("kestrune"));
  QApplication::setApplicationVersion(QStringLiteral(KESTRUNE_VERSION));
  QApplication::setWindowIcon(info::logoIcon());
  // The windows speak Japanese: so do Qt's own dialogs and buttons (the file
  // dialog, message box buttons), where Qt's translations are installed.
  QTranslator qtTranslations;
  if (qtTranslations.load(QLocale(QLocale::Japanese, QLocale::Japan), QStringLiteral("qtbase"), QStringLiteral("_"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    QApplication::installTranslator(&qtTranslations);

  app::CommandLine options;
  if (const std::optional<int> status = app::parseCommandLine(application, options)) return *status;

  if (options.newWorkbook) return app::createWorkbook(*options.newWorkbook, options.overwrite);
  if (options.dump) return app::dumpWorkbook(*options.dump, stdout);
  if (options.recover) {
    if (!options.workbook) {
      std::fprintf(stderr, "kestrune: --recover needs --workbook PATH\n");
      return app::ExitCouldNotStart;
    }
    StderrMessageBoxes boxes;
    const auto kind = app::chooseSpreadsheet(options.spreadsheet, true);
    return app::recoverJournal(*options.recover, *options.workbook, app::spreadsheetFactory(kind, true, boxes), stdout,
                               stderr);
  }

  const settings::SettingsFolder folder =
      options.dir ? settings::SettingsFolder::fixed(*options.dir)
                  : settings::SettingsFolder::forProgram(QApplication::applicationDirPath());
  const serial::PortMap portMap = serial::PortMap::load(folder.readPath(serial::PortMapFileName));
  SystemClock clock;
  const auto ports = [&portMap](int) { return std::make_unique<serial::TermiosPort>(portMap); };
  if (options.headless) return runHeadless(options, folder, portMap, ports, clock);
  return runWindows(options, folder, portMap, ports, clock);
}
