// A whole acquisition through the windows (offscreen): the virtual instrument
// on a pseudo-terminal, the termios port, the built-in spreadsheet application
// on a real .xls, Start, Next at each pause, End and Close.
#include "app/form_exe.h"
#include "app/form_main.h"
#include "app/workbook_tools.h"
#include "serial/termios_port.h"
#include "sheet/embedded/embedded_spreadsheet.h"
#include "sheet/xls/workbook.h"

#include "fakes/conditions.h"
#include "fakes/recording_message_boxes.h"

#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

namespace kestrune {
namespace {

using testing::changeConditions;

TEST(WindowE2eTest, StartNextEndAndCloseWithARealPortAndWorkbook) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString link = dir.filePath(QStringLiteral("tty"));
  QProcess instrument;
  instrument.start(QStringLiteral(KESTRUNE_INSTRUMENT_PATH),
                   {QStringLiteral("--link"), link, QStringLiteral("--reply"), QStringLiteral("{n},12.5,OK")});
  ASSERT_TRUE(instrument.waitForStarted(5000));
  for (int i = 0; i < 100 && !QFileInfo::exists(link); ++i) QTest::qWait(20);
  ASSERT_TRUE(QFileInfo::exists(link));

  const QString book = dir.filePath(QStringLiteral("book.xls"));
  ASSERT_EQ(app::createWorkbook(book), 0);
  QFile script(dir.filePath(QStringLiteral("book.txt")));
  ASSERT_TRUE(script.open(QIODevice::WriteOnly));
  script.write("SSS\r\nCLR\r\nSND:MEAS?%CR\r\nRCV\r\nSET\r\nPAU\r\nEEE\r\n");
  script.close();

  serial::PortMap map;
  map.set(1, link);
  testing::RecordingMessageBoxes boxes;
  SystemClock clock;
  app::AcquisitionSession session(
      [&map](int) { return std::make_unique<serial::TermiosPort>(map); }, settings::SettingsFolder::fixed(dir.path()),
      clock, sheet::embedded::embeddedFactory([](const QString&) { return sheet::embedded::SavePrompt::Save; }));
  session.setPortMap(map);
  app::FormMain form(session, boxes);
  form.logic().programEntry();
  form.Form_Load();
  form.show();
  changeConditions(session, [&](settings::Conditions& c) { c.scriptFromFile = true; });
  changeConditions(session, [&](settings::Conditions& c) { c.numbering = true; });
  changeConditions(session, [&](settings::Conditions& c) { c.cursor.acquisitionNo = 1; });
  changeConditions(session, [&](settings::Conditions& c) { c.rows = 2; });
  changeConditions(session, [&](settings::Conditions& c) { c.startAtCell = true; });
  changeConditions(session, [&](settings::Conditions& c) { c.cursor.column = "C"; });
  changeConditions(session, [&](settings::Conditions& c) { c.cursor.row = 3; });

  form.setFileNameText(book);
  form.findChild<QPushButton*>(QStringLiteral("CommandOpen"))->click();
  ASSERT_EQ(session.workbook().excelState(), sheet::ExcelState::Open)
      << boxes.texts().join(QLatin1Char('|')).toStdString();
  form.findChild<QPushButton*>(QStringLiteral("CommandStart"))->click();
  ASSERT_NE(form.formExe(), nullptr) << boxes.texts().join(QLatin1Char('|')).toStdString();
  EXPECT_EQ(form.findChild<QLineEdit*>(QStringLiteral("TextStartCol"))->text(), QStringLiteral("C"));

  const auto waitFor = [](auto condition) {
    for (int i = 0; i < 500 && !condition(); ++i) QTest::qWait(10);
    return condition();
  };
  for (int acquisition = 0; acquisition < 2; ++acquisition) {
    ASSERT_TRUE(waitFor([&] {
      auto* next = form.formExe()->findChild<QPushButton*>(QStringLiteral("CommandNext"));
      return next && next->isVisible();
    })) << acquisition;
    form.formExe()->findChild<QPushButton*>(QStringLiteral("CommandNext"))->click();
  }
  ASSERT_TRUE(waitFor([&] { return !session.running() && !boxes.texts().isEmpty(); }));
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("スクリプトの処理を終了しました")});
  EXPECT_EQ(form.formExe()->findChild<QLabel*>(QStringLiteral("LabelMess"))->text(),
            QStringLiteral("「終了」ボタンを押して下さい"));
  form.formExe()->findChild<QPushButton*>(QStringLiteral("CommandRsEnd"))->click();
  ASSERT_TRUE(waitFor([&] { return form.formExe() == nullptr && form.isVisible(); }));
  EXPECT_FALSE(session.port(0).portOpen());
  form.findChild<QPushButton*>(QStringLiteral("CommandClose"))->click();
  EXPECT_EQ(session.workbook().excelState(), sheet::ExcelState::NotOpen);

  auto saved = xls::Workbook::open(book.toStdString());
  ASSERT_TRUE(saved.ok()) << saved.description();
  const auto& cells = saved.value().cells(0);
  const auto at = [&](std::uint32_t row, std::uint32_t col) { return cells.find(row << 8 | col); };
  // C3 and C4 (0-based 2,2 and 3,2): the number, then the instrument's fields.
  ASSERT_NE(at(2, 2), cells.end());
  EXPECT_EQ(std::get<double>(at(2, 2)->second.value), 1.0);
  EXPECT_EQ(std::get<double>(at(3, 2)->second.value), 2.0);
  EXPECT_EQ(std::get<double>(at(2, 4)->second.value), 12.5);
  EXPECT_EQ(std::get<std::string>(at(3, 5)->second.value), "OK");
  EXPECT_EQ(session.conditions().cursor.row, 5);
  EXPECT_EQ(form.findChild<QLineEdit*>(QStringLiteral("TextStartRow"))->text(), QStringLiteral("5"));

  instrument.terminate();
  instrument.waitForFinished(5000);
}

}  // namespace
}  // namespace kestrune
