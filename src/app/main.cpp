// Kestrune: a data logger for measuring instruments on a serial line.
#include "app/config_command.h"
#include "app/dialog_message_boxes.h"
#include "app/form_main.h"
#include "app/headless.h"
#include "app/acquisition_session.h"
#include "app/recover_command.h"
#include "app/spreadsheet_choice.h"
#include "app/workbook_tools.h"
#include "core/trace.h"
#include "info/logo.h"
#include "serial/port_map.h"
#include "serial/termios_port.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QLibraryInfo>
#include <QLocale>
#include <QTimer>
#include <QTranslator>

#include <cstdio>
#include <cstdlib>
#include <cstring>

using namespace kestrune;

namespace {

bool wantsOption(int argc, char** argv, const char* option) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], option) == 0) return true;
  return false;
}

void quietToolkitMessages(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtCriticalMsg || type == QtFatalMsg) std::fprintf(stderr, "%s\n", message.toLocal8Bit().constData());
}

// $XDG_CACHE_HOME/kestrune, or ~/.cache/kestrune.
QString userCacheFolder() {
  QString cache = qEnvironmentVariable("XDG_CACHE_HOME");
  if (cache.isEmpty() || QDir::isRelativePath(cache)) cache = QDir::homePath() + QStringLiteral("/.cache");
  return cache + QStringLiteral("/kestrune");
}

}  // namespace

int main(int argc, char** argv) {
  // `kestrune config ...` reads and writes the settings files only: no toolkit beyond Qt Core.
  if (argc > 1 && std::strcmp(argv[1], "config") == 0) {
    const QCoreApplication application(argc, argv);
    return app::configMain(QCoreApplication::arguments().mid(2), QCoreApplication::applicationDirPath());
  }
  // What shows no window needs no display.
  const bool windowless = wantsOption(argc, argv, "--headless") || wantsOption(argc, argv, "--new-workbook") ||
                          wantsOption(argc, argv, "--dump") || wantsOption(argc, argv, "--recover") ||
                          wantsOption(argc, argv, "--help") || wantsOption(argc, argv, "-h") ||
                          wantsOption(argc, argv, "--version");
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

  QCommandLineParser parser;
  parser.setApplicationDescription(
      QStringLiteral("Kestrune: シリアル接続の計測器のデータロガー\n"
                     "kestrune config [--dir FOLDER] [KEY=VALUE ...]: ウィンドウを開かずに設定を表示・変更します"
                     "（kestrune config --help）。"));
  // Our own help option: Qt's describes itself in English.
  const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")},
                                      QStringLiteral("このヘルプを表示して終了します。"));
  parser.addOption(helpOption);
  parser.addVersionOption();
  const QCommandLineOption dirOption(
      QStringLiteral("dir"), QStringLiteral("setup.dat と ports.conf を置くフォルダー。"), QStringLiteral("FOLDER"));
  const QCommandLineOption headlessOption(
      QStringLiteral("headless"),
      QStringLiteral("ウィンドウを開かずにデータ取得を 1 回行います（--workbook が必要）。"));
  const QCommandLineOption workbookOption(QStringLiteral("workbook"), QStringLiteral("使うエクセルファイル（.xls）。"),
                                          QStringLiteral("PATH"));
  const QCommandLineOption startOption(
      QStringLiteral("start"), QStringLiteral("--workbook と共に: ファイルを開いてすぐにデータ取得を始めます。"));
  const QCommandLineOption spreadsheetOption(
      QStringLiteral("spreadsheet"),
      QStringLiteral("表計算アプリケーション: embedded（内蔵）か calc（LibreOffice）。"
                     "指定がなければ、インストールされていれば LibreOffice。"),
      QStringLiteral("NAME"));
  const QCommandLineOption newWorkbookOption(QStringLiteral("new-workbook"),
                                             QStringLiteral("空のエクセルファイルを PATH に作って終了します。"),
                                             QStringLiteral("PATH"));
  const QCommandLineOption overwriteOption(QStringLiteral("overwrite"),
                                           QStringLiteral("--new-workbook と共に: 既にあるファイルを置き換えます。"));
  const QCommandLineOption dumpOption(QStringLiteral("dump"),
                                      QStringLiteral("PATH のエクセルファイルのアクティブシートを表示して終了します。"),
                                      QStringLiteral("PATH"));
  const QCommandLineOption screenshotOption(QStringLiteral("screenshot"),
                                            QStringLiteral("メインウィンドウの画像を FILE に保存して終了します。"),
                                            QStringLiteral("FILE"));
  const QCommandLineOption verboseOption(QStringLiteral("verbose"),
                                         QStringLiteral("--headless と共に: 処理した失敗（トレース）を標準エラーに"
                                                        "出力します。"));
  const QCommandLineOption panelOption(QStringLiteral("panel"),
                                       QStringLiteral("起動時に設定画面を開きます: conditions か serial。"),
                                       QStringLiteral("NAME"));
  const QCommandLineOption recoverOption(
      QStringLiteral("recover"),
      QStringLiteral("取得データの記録 JOURNAL（別のファイルのものとして残された .orphan-… など）の全行を "
                     "--workbook のブックに書き込んで保存し、記録を消して終了します。"),
      QStringLiteral("JOURNAL"));
  for (const auto& option :
       {dirOption, headlessOption, workbookOption, startOption, spreadsheetOption, newWorkbookOption, overwriteOption,
        dumpOption, screenshotOption, panelOption, verboseOption, recoverOption})
    parser.addOption(option);
  parser.process(application);
  if (parser.isSet(helpOption)) {
    std::fputs(parser.helpText().toLocal8Bit().constData(), stdout);
    return 0;
  }

  if (parser.isSet(newWorkbookOption))
    return app::createWorkbook(parser.value(newWorkbookOption), parser.isSet(overwriteOption));
  if (parser.isSet(dumpOption)) return app::dumpWorkbook(parser.value(dumpOption), stdout);
  if (parser.isSet(recoverOption)) {
    if (!parser.isSet(workbookOption)) {
      std::fprintf(stderr, "kestrune: --recover needs --workbook PATH\n");
      return app::ExitCouldNotStart;
    }
    StderrMessageBoxes boxes;
    const auto kind = app::chooseSpreadsheet(parser.value(spreadsheetOption), true);
    return app::recoverJournal(parser.value(recoverOption), parser.value(workbookOption),
                               app::spreadsheetFactory(kind, true, boxes), stdout, stderr);
  }

  const settings::SettingsFolder folder =
      parser.isSet(dirOption) ? settings::SettingsFolder::fixed(parser.value(dirOption))
                              : settings::SettingsFolder::forProgram(QApplication::applicationDirPath());
  const serial::PortMap portMap = serial::PortMap::load(folder.readPath(serial::PortMapFileName));
  SystemClock clock;
  const auto ports = [&portMap](int) { return std::make_unique<serial::TermiosPort>(portMap); };

  if (parser.isSet(headlessOption)) {
    if (!parser.isSet(workbookOption)) {
      std::fprintf(stderr, "kestrune: --headless には --workbook PATH が必要です\n");
      return app::ExitCouldNotStart;
    }
    StderrMessageBoxes boxes;
    if (parser.isSet(verboseOption)) {
      setTraceSink([](const QString& line) {
        std::fprintf(stderr, "kestrune: trace: %s\n", line.toUtf8().constData());
        std::fflush(stderr);
      });
    }
    const auto kind = app::chooseSpreadsheet(parser.value(spreadsheetOption), true);
    app::AcquisitionSession session(ports, folder, clock, app::spreadsheetFactory(kind, true, boxes));
    session.setPortMap(portMap);
    if (!portMap.error().isEmpty()) boxes.show(portMap.error(), MessageIcon::Warning);
    return app::runHeadless(session, boxes, parser.value(workbookOption));
  }

  app::DialogMessageBoxes boxes;
  // The windows keep their trace in the user's cache folder, beside LibreOffice's log.
  setTraceSink(fileTraceSink(userCacheFolder() + QStringLiteral("/kestrune.log")));
  const auto kind = app::chooseSpreadsheet(parser.value(spreadsheetOption), false);
  app::AcquisitionSession session(ports, folder, clock, app::spreadsheetFactory(kind, false, boxes));
  session.setPortMap(portMap);

  app::FormMain formMain(session, boxes);
  if (kind == app::SpreadsheetKind::Calc) formMain.setApplicationName(QStringLiteral("LibreOffice"));
  boxes.setParentWindow(&formMain);
  formMain.logic().programEntry();
  formMain.Form_Load();
  formMain.show();
  if (!portMap.error().isEmpty()) boxes.show(portMap.error(), MessageIcon::Warning);
  if (parser.value(panelOption) == QLatin1String("conditions"))
    formMain.logic().MenuCond_Click();
  else if (parser.value(panelOption) == QLatin1String("serial"))
    formMain.logic().MenuRS_Click();
  if (parser.isSet(workbookOption)) {
    formMain.setFileNameText(parser.value(workbookOption));
    if (parser.isSet(startOption)) {
      QTimer::singleShot(0, &formMain, [&formMain] { formMain.openAndStart(); });
    }
  }
  if (parser.isSet(screenshotOption)) {
    // Pictures for the documentation: the window as it first appears, settings left untouched.
    QTimer::singleShot(200, &formMain, [&] {
      const bool saved = formMain.grab().save(parser.value(screenshotOption));
      QApplication::exit(saved ? 0 : 1);
    });
  }
  return QApplication::exec();
}
