// Kestrune: a data logger for measuring instruments on a serial line.
#include "app/dialog_message_boxes.h"
#include "app/form_main.h"
#include "app/logger.h"
#include "serial/port_map.h"
#include "serial/termios_port.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QTimer>

using namespace kestrune;

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QApplication::setApplicationName(QStringLiteral("kestrune"));
  QApplication::setApplicationVersion(QStringLiteral(KESTRUNE_VERSION));

  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral("Kestrune serial-instrument data logger"));
  parser.addHelpOption();
  parser.addVersionOption();
  const QCommandLineOption dirOption(QStringLiteral("dir"),
                                     QStringLiteral("Folder for setup.dat and ports.conf."),
                                     QStringLiteral("FOLDER"));
  parser.addOption(dirOption);
  const QCommandLineOption screenshotOption(QStringLiteral("screenshot"),
                                            QStringLiteral("Save a picture of the main window to FILE and exit."),
                                            QStringLiteral("FILE"));
  parser.addOption(screenshotOption);
  const QCommandLineOption panelOption(QStringLiteral("panel"),
                                       QStringLiteral("Open a settings panel at start: conditions or serial."),
                                       QStringLiteral("NAME"));
  parser.addOption(panelOption);
  parser.process(application);

  const settings::SettingsFolder folder = parser.isSet(dirOption)
                                              ? settings::SettingsFolder::fixed(parser.value(dirOption))
                                              : settings::SettingsFolder::forProgram(QApplication::applicationDirPath());
  const serial::PortMap portMap = serial::PortMap::load(folder.readPath(serial::PortMapFileName));

  app::DialogMessageBoxes boxes;
  SystemClock clock;
  app::Logger logger([&portMap](int) { return std::make_unique<serial::TermiosPort>(portMap); }, folder, boxes,
                     clock);
  logger.portMap = portMap;
  logger.connectReception();

  app::FormMain formMain(logger);
  boxes.setParentWindow(&formMain);
  formMain.logic().programEntry();
  formMain.Form_Load();
  formMain.show();
  if (parser.value(panelOption) == QLatin1String("conditions")) formMain.logic().MenuCond_Click();
  else if (parser.value(panelOption) == QLatin1String("serial")) formMain.logic().MenuRS_Click();
  if (parser.isSet(screenshotOption)) {
    // Pictures for the documentation: the window as it first appears, settings left untouched.
    QTimer::singleShot(200, &formMain, [&] {
      const bool saved = formMain.grab().save(parser.value(screenshotOption));
      QApplication::exit(saved ? 0 : 1);
    });
  }
  return QApplication::exec();
}
