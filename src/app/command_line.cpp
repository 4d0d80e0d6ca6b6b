#include "app/command_line.h"

#include <QCommandLineParser>

#include <cstdio>
#include <cstring>

namespace kestrune::app {

bool wantsOption(int argc, char** argv, const char* option) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], option) == 0) return true;
  return false;
}

std::optional<int> parseCommandLine(const QCoreApplication& application, CommandLine& line) {
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral(
      "Kestrune: シリアル接続の計測器のデータロガー\n"
      "kestrune config [--dir FOLDER] [--workbook PATH] [KEY=VALUE ...]: ウィンドウを開かずに設定を表示・変更します"
      "（kestrune config --help）。\n"
      "kestrune verify BOOK.xls [--json]: ブックを実行記録（BOOK.xls.kestrune-record）と照らし合わせます。"));
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
  const QCommandLineOption serveOption(
      QStringLiteral("serve"),
      QStringLiteral(
          "取得の様子をブラウザーで見られるようにします（この実行だけ。kestrune.conf の http.listen の代わり）。"
          "例 127.0.0.1:8080。"),
      QStringLiteral("ADDR:PORT"));
  for (const auto& option :
       {dirOption, headlessOption, workbookOption, startOption, spreadsheetOption, newWorkbookOption, overwriteOption,
        dumpOption, screenshotOption, panelOption, verboseOption, recoverOption, serveOption})
    parser.addOption(option);

  parser.process(application);
  if (parser.isSet(helpOption)) {
    std::fputs(parser.helpText().toLocal8Bit().constData(), stdout);
    return 0;
  }
  if (parser.isSet(dirOption)) line.dir = parser.value(dirOption);
  if (parser.isSet(workbookOption)) line.workbook = parser.value(workbookOption);
  line.spreadsheet = parser.value(spreadsheetOption);
  if (parser.isSet(newWorkbookOption)) line.newWorkbook = parser.value(newWorkbookOption);
  if (parser.isSet(dumpOption)) line.dump = parser.value(dumpOption);
  if (parser.isSet(screenshotOption)) line.screenshot = parser.value(screenshotOption);
  line.panel = parser.value(panelOption);
  if (parser.isSet(recoverOption)) line.recover = parser.value(recoverOption);
  line.serve = parser.value(serveOption);
  line.headless = parser.isSet(headlessOption);
  line.start = parser.isSet(startOption);
  line.overwrite = parser.isSet(overwriteOption);
  line.verbose = parser.isSet(verboseOption);
  return std::nullopt;
}

}  // namespace kestrune::app
