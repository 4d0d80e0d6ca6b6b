// The run window on the offscreen platform: Start from the main window, the
// window's controls, the log box, Next by click and by Enter, and End.
#include "app/form_exe.h"
#include "app/form_main.h"
#include "serial/elided_widgets.h"

#include "fakes/conditions.h"
#include "fakes/fake_port.h"
#include "fakes/fake_spreadsheet.h"
#include "fakes/manual_clock.h"
#include "fakes/recording_message_boxes.h"

#include <QApplication>
#include <QCheckBox>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

namespace kestrune::app {
namespace {

using testing::changeConditions;

using testing::FakePort;
using testing::FakeSpreadsheet;

class RunWindowTest : public ::testing::Test {
protected:
  RunWindowTest()
      : session([](int) { return std::make_unique<FakePort>(); }, settings::SettingsFolder::fixed(dir.path()), clock,
                [this]() -> Result<std::unique_ptr<sheet::SpreadsheetApp>> {
                  // What the main window shows while the application starts.
                  if (form) startingStatus = form->statusBar()->currentMessage();
                  waitCursorWhileStarting =
                      QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::WaitCursor;
                  return std::unique_ptr<sheet::SpreadsheetApp>(std::make_unique<FakeSpreadsheet>(sheetLog));
                }) {
    session.setTickInterval(0);  // the test ticks, on its clock
    form = std::make_unique<FormMain>(session, boxes);
    form->logic().programEntry();
    form->Form_Load();
    form->show();
    book = dir.filePath(QStringLiteral("book.xls"));
    QFile(book).open(QIODevice::WriteOnly);
    form->setFileNameText(book);
    form->findChild<QPushButton*>(QStringLiteral("CommandOpen"))->click();
  }
  FakePort& port() { return static_cast<FakePort&>(session.port(0)); }
  void writeScript(const char* text) {
    QFile f(dir.filePath(QStringLiteral("book.txt")));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
    changeConditions(session, [&](settings::Conditions& c) { c.scriptFromFile = true; });
  }
  // Ticks the run window as its 10 ms timer does, moving the clock, and lets
  // the events that each tick posts run, until `done`: at least 500 ticks,
  // and on for up to 20 s of real time while what it waits for depends on
  // another thread (the journal's sync that lets a row be published).
  template <typename Done>
  bool runUntil(Done done) {
    const QDeadlineTimer deadline(20'000);
    for (int tick = 0; !done() && (tick < 500 || !deadline.hasExpired()); ++tick) {
      FormExe* exe = form->formExe();
      if (!exe || !session.runLoaded()) return false;
      clock.advance(10);
      exe->Timer1_Timer();
      flushEvents();
      if (tick >= 500) QThread::msleep(1);
    }
    return done();
  }
  // Runs what is posted, deferred deletes included (a closed window goes).
  static void flushEvents() {
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCoreApplication::processEvents();
  }
  template <typename T>
  T* inRun(const char* name) {
    FormExe* exe = form->formExe();
    return exe ? exe->findChild<T*>(QLatin1String(name)) : nullptr;
  }

  QTemporaryDir dir;
  QString book;
  testing::RecordingMessageBoxes boxes;
  testing::ManualClock clock;
  std::shared_ptr<FakeSpreadsheet::Log> sheetLog = std::make_shared<FakeSpreadsheet::Log>();
  QString startingStatus;
  bool waitCursorWhileStarting = false;
  AcquisitionSession session;
  std::unique_ptr<FormMain> form;
};

TEST_F(RunWindowTest, StartShowsTheRunWindowWithItsControls) {
  ASSERT_TRUE(form->findChild<QPushButton*>(QStringLiteral("CommandStart"))->isVisible());
  form->findChild<QPushButton*>(QStringLiteral("CommandStart"))->click();
  FormExe* exe = form->formExe();
  ASSERT_NE(exe, nullptr);
  EXPECT_TRUE(exe->isVisible());
  EXPECT_FALSE(form->isVisible());
  EXPECT_EQ(exe->windowTitle(), QStringLiteral("Kestrune（通信処理）"));
  EXPECT_EQ(inRun<QLabel>("Label2")->text(), QStringLiteral("通信ﾛｸﾞ"));
  EXPECT_EQ(inRun<QLabel>("Label1")->text(), QStringLiteral("ﾒｯｾｰｼﾞ："));
  EXPECT_EQ(inRun<QPushButton>("CommandNext")->text(), QStringLiteral("次へ"));
  EXPECT_EQ(inRun<QPushButton>("CommandRsEnd")->text(), QStringLiteral("終了"));
  EXPECT_EQ(inRun<QLabel>("LabelSetumei")->text(), QStringLiteral("●：送信　○：受信"));
  EXPECT_FALSE(inRun<QPushButton>("CommandNext")->isVisible());
  EXPECT_FALSE(inRun<QLabel>("LabelSetumei")->isVisible());
  EXPECT_FALSE(inRun<QCheckBox>("CheckLog")->isChecked());
  EXPECT_TRUE(inRun<QLabel>("LabelMess")->styleSheet().contains(QStringLiteral("blue")));
  EXPECT_TRUE(inRun<QLabel>("LabelErrorMess")->styleSheet().contains(QStringLiteral("red")));
  EXPECT_TRUE(inRun<QPlainTextEdit>("txtTerm")->isReadOnly());
}

TEST_F(RunWindowTest, TheLogBoxMakesTheWindowTallAndKeepsEverything) {
  writeScript("SSS\r\nSND:PING\r\nRCV\r\nSET\r\nEEE\r\n");
  form->CommandStart_Click();
  FormExe* exe = form->formExe();
  ASSERT_NE(exe, nullptr);
  const int shortHeight = exe->height();
  ASSERT_TRUE(runUntil([&] { return !port().sent.empty(); }));
  port().receive(u"12.5,OK\r");
  ASSERT_TRUE(runUntil([&] { return sheetLog->cells.count({1, 1}); }));
  inRun<QCheckBox>("CheckLog")->click();
  EXPECT_GT(exe->height(), shortHeight);
  EXPECT_TRUE(inRun<QLabel>("LabelSetumei")->isVisible());
  EXPECT_EQ(inRun<QPlainTextEdit>("txtTerm")->toPlainText(), QStringLiteral("● PING\n○ 12.5,OK"));
  inRun<QCheckBox>("CheckLog")->click();
  EXPECT_EQ(exe->height(), shortHeight);
  EXPECT_FALSE(inRun<QLabel>("LabelSetumei")->isVisible());
}

TEST_F(RunWindowTest, LabelsFitTheirFontAndNothingOverlapsAtOneAndAHalfTimesTheFont) {
  const QFont normal = QApplication::font();
  for (const double scale : {1.0, 1.5}) {
    SCOPED_TRACE(scale);
    QFont font = normal;
    font.setPointSizeF(normal.pointSizeF() * scale);
    QApplication::setFont(font);
    form->CommandStart_Click();
    FormExe* exe = form->formExe();
    ASSERT_NE(exe, nullptr);
    inRun<QCheckBox>("CheckLog")->click();  // the tall window: every control shows
    QList<QWidget*> shown;
    for (QWidget* w : exe->findChildren<QWidget*>()) {
      if (w->parentWidget() != exe || !w->isVisibleTo(exe)) continue;
      shown << w;
      EXPECT_TRUE(exe->rect().contains(w->geometry())) << w->objectName().toStdString();
      if (auto* l = qobject_cast<QLabel*>(w)) {
        EXPECT_GE(l->height(), l->fontMetrics().height()) << l->objectName().toStdString();
      }
    }
    for (int i = 0; i < shown.size(); ++i)
      for (int j = i + 1; j < shown.size(); ++j)
        EXPECT_FALSE(shown[i]->geometry().intersects(shown[j]->geometry()))
            << shown[i]->objectName().toStdString() << " overlaps " << shown[j]->objectName().toStdString();
    inRun<QPushButton>("CommandRsEnd")->click();
    flushEvents();
  }
  QApplication::setFont(normal);
}

// Eight instruments, three of them gone: each channel's state shows whole
// beside the progress bar, inside the progress area and clear of its other
// parts, at the normal font and at one and a half times it.
TEST_F(RunWindowTest, EightChannelsStatesFitAtOneAndAHalfTimesTheFont) {
  QByteArray script = "SSS\r\n";
  for (int c = 1; c <= 8; ++c) script += "CHN:" + QByteArray::number(c) + "\r\nRCV\r\n";
  writeScript(script + "SET\r\nEEE\r\n");
  for (int c = 1; c < serial::ChannelCount; ++c) {
    settings::LineSettings line = session.lineSettings(c);
    line.port = c + 1;
    ASSERT_TRUE(session.applyLineSettings(c, line).ok());
  }
  const QFont normal = QApplication::font();
  for (const double scale : {1.0, 1.5}) {
    SCOPED_TRACE(scale);
    QFont font = normal;
    font.setPointSizeF(normal.pointSizeF() * scale);
    QApplication::setFont(font);
    form->CommandStart_Click();
    ASSERT_NE(form->formExe(), nullptr);
    for (const int c : {1, 5, 7}) static_cast<FakePort&>(session.port(c)).loseDevice();
    QLabel* states = inRun<QLabel>("LabelChannels");
    ASSERT_NE(states, nullptr);
    ASSERT_TRUE(runUntil([&] { return states->text().contains(QStringLiteral("切断中")); }));
    EXPECT_EQ(states->text(), QStringLiteral("CH1,3-5,7 接続中　CH2,6,8 切断中"));
    auto* frame = inRun<QWidget>("FrameProgress");
    ASSERT_NE(frame, nullptr);
    QList<QWidget*> shown;
    for (QWidget* w : frame->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (!w->isVisibleTo(frame)) continue;
      shown << w;
      EXPECT_TRUE(frame->rect().contains(w->geometry())) << w->objectName().toStdString();
    }
    EXPECT_TRUE(shown.contains(states));
    EXPECT_GE(states->width(), states->sizeHint().width());
    for (int i = 0; i < shown.size(); ++i)
      for (int j = i + 1; j < shown.size(); ++j)
        EXPECT_FALSE(shown[i]->geometry().intersects(shown[j]->geometry()))
            << shown[i]->objectName().toStdString() << " overlaps " << shown[j]->objectName().toStdString();
    inRun<QPushButton>("CommandRsEnd")->click();
    flushEvents();
  }
  QApplication::setFont(normal);
}

TEST_F(RunWindowTest, TheChartButtonShowsTheRowsOfThisRun) {
  for (int run = 0; run < 2; ++run) {
    form->CommandStart_Click();
    port().receive(u"12.5,OK\r");
    ASSERT_TRUE(runUntil([&] { return session.progress().rowsDone == 1; }));
    inRun<QPushButton>("CommandChart")->click();
    ChartWindow* chart = form->chartWindow();
    ASSERT_NE(chart, nullptr);
    EXPECT_TRUE(chart->isVisible());
    EXPECT_EQ(chart->model().rowCount(), 1u);  // this run's row only, not the last run's too
    inRun<QPushButton>("CommandRsEnd")->click();
    flushEvents();
  }
}

// The chart names a series by its column and the header above the run's
// first row, and keeps the user's choices for the workbook to the next run.
TEST_F(RunWindowTest, TheChartNamesSeriesByHeaderAndKeepsTheChoicesForTheWorkbook) {
  changeConditions(session, [](settings::Conditions& c) {
    c.startAtCell = true;
    c.cursor.column = "B";
    c.cursor.row = 2;
    c.numbering = false;
    c.stamp = settings::StampMode::None;
  });
  sheetLog->sheets[sheetLog->activeSheet.name][{1, 2}] = QStringLiteral("温度");
  for (int run = 0; run < 2; ++run) {
    form->CommandStart_Click();
    port().receive(u"12.5,7\r");
    ASSERT_TRUE(runUntil([&] { return session.progress().rowsDone == 1; }));
    ChartWindow* chart = form->chartWindow();
    ASSERT_NE(chart, nullptr);
    ASSERT_EQ(chart->model().series().size(), 2u);
    if (run == 0) {
      // The second run starts below the first: its headers are the first run's row.
      EXPECT_EQ(chart->seriesName(0), QStringLiteral("B 温度"));
      EXPECT_EQ(chart->seriesName(1), QStringLiteral("C"));
      EXPECT_TRUE(chart->prefs().hidden.isEmpty());
      chart->setSeriesHidden(QStringLiteral("C"), true);
      chart->setWindowMinutes(10);
    } else {
      EXPECT_EQ(chart->prefs().hidden, QStringList{QStringLiteral("C")});
      EXPECT_EQ(chart->prefs().windowMinutes, 10);
    }
    inRun<QPushButton>("CommandRsEnd")->click();
    flushEvents();
  }
  QFile conf(dir.filePath(QStringLiteral("kestrune.conf")));
  ASSERT_TRUE(conf.open(QIODevice::ReadOnly));
  const QByteArray text = conf.readAll();
  EXPECT_TRUE(text.contains("[" + QFileInfo(book).absoluteFilePath().toUtf8() + "]")) << text.toStdString();
  EXPECT_TRUE(text.contains("chart.hidden=C")) << text.toStdString();
}

// With a broker set in kestrune.conf the progress area shows the connection
// and the rows waiting; the row is in the outbox though nobody listens. Off,
// the label stays hidden.
TEST_F(RunWindowTest, TheProgressAreaShowsPublishingWhenABrokerIsSet) {
  form->CommandStart_Click();
  ASSERT_TRUE(runUntil([] { return true; }));
  EXPECT_FALSE(inRun<QLabel>("LabelPublishing")->isVisible());
  inRun<QPushButton>("CommandRsEnd")->click();
  flushEvents();

  QFile conf(dir.filePath(QStringLiteral("kestrune.conf")));
  ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
  conf.write("mqtt.url=mqtt://127.0.0.1:1\n");  // nothing listens on port 1
  conf.close();
  form->CommandStart_Click();
  QLabel* label = inRun<QLabel>("LabelPublishing");
  ASSERT_NE(label, nullptr);
  EXPECT_TRUE(label->isVisible());
  EXPECT_EQ(label->text(), QStringLiteral("MQTT: 未接続"));
  port().receive(u"12.5,OK\r");
  ASSERT_TRUE(runUntil([&] { return session.progress().rowsDone == 1; }));
  ASSERT_TRUE(runUntil([&] { return label->text().contains(QStringLiteral("送信待ち 1 行")); }))
      << label->text().toStdString();
  QFile outbox(dir.filePath(QStringLiteral("mqtt-outbox")));
  ASSERT_TRUE(outbox.open(QIODevice::ReadOnly));
  EXPECT_TRUE(outbox.readAll().contains("\"values\":[12.5,\"OK\"]"));
  inRun<QPushButton>("CommandRsEnd")->click();
  flushEvents();
}

TEST_F(RunWindowTest, NextByClickAndByEnterThenEndBringsTheMainWindowBack) {
  writeScript("PAU\r\nPAU\r\nWTM:100\r\n");
  form->CommandStart_Click();
  ASSERT_TRUE(runUntil([&] { return inRun<QPushButton>("CommandNext")->isVisible(); }));
  EXPECT_TRUE(inRun<QLabel>("LabelMess")->text().contains(QStringLiteral("PAU 停止中！")));
  inRun<QPushButton>("CommandNext")->click();
  EXPECT_FALSE(inRun<QPushButton>("CommandNext")->isVisible());
  EXPECT_TRUE(inRun<QLabel>("LabelMess")->text().isEmpty());
  ASSERT_TRUE(runUntil([&] { return inRun<QPushButton>("CommandNext")->isVisible(); }));
  QTest::keyClick(inRun<QPushButton>("CommandNext"), Qt::Key_A);
  EXPECT_TRUE(inRun<QPushButton>("CommandNext")->isVisible());
  QTest::keyClick(inRun<QPushButton>("CommandNext"), Qt::Key_Return);
  EXPECT_FALSE(inRun<QPushButton>("CommandNext")->isVisible());
  ASSERT_TRUE(runUntil([&] { return inRun<QLabel>("LabelMess")->text().contains(QStringLiteral("WTM")); }));
  inRun<QPushButton>("CommandRsEnd")->click();
  flushEvents();
  EXPECT_EQ(form->formExe(), nullptr);
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(port().portOpen());
  EXPECT_FALSE(session.running());
}

TEST_F(RunWindowTest, ClosingTheRunWindowActsAsEnd) {
  form->CommandStart_Click();
  ASSERT_NE(form->formExe(), nullptr);
  form->formExe()->close();
  flushEvents();
  EXPECT_EQ(form->formExe(), nullptr);
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(port().portOpen());
}

TEST_F(RunWindowTest, TheEndOfTheScriptAsksForEnd) {
  writeScript("CLR\r\n");
  form->CommandStart_Click();
  ASSERT_TRUE(runUntil([&] { return !session.running(); }));
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("スクリプトの処理を終了しました")});
  EXPECT_EQ(inRun<QLabel>("LabelMess")->text(), QStringLiteral("「終了」ボタンを押して下さい"));
  EXPECT_NE(form->formExe(), nullptr);  // the window waits for End
}

TEST_F(RunWindowTest, AcquisitionNumberShowsInTheConditionsPanel) {
  changeConditions(session, [&](settings::Conditions& c) { c.numbering = true; });
  changeConditions(session, [&](settings::Conditions& c) { c.cursor.acquisitionNo = 41; });
  changeConditions(session, [&](settings::Conditions& c) { c.rows = 5; });
  form->CommandStart_Click();
  port().receive(u"1\r");
  ASSERT_TRUE(runUntil([&] { return session.conditions().cursor.acquisitionNo == 42; }));
  EXPECT_EQ(form->findChild<QLineEdit*>(QStringLiteral("TextCellNo"))->text(), QStringLiteral("42"));
}

// Open by the keyboard: Enter presses the focused button, the window shows
// that the application starts, and the focus goes on to Start.
TEST_F(RunWindowTest, OpeningByEnterShowsTheStartAndLeavesTheFocusOnStart) {
  form->findChild<QPushButton*>(QStringLiteral("CommandClose"))->click();
  auto* open = form->findChild<QPushButton*>(QStringLiteral("CommandOpen"));
  ASSERT_TRUE(open->isVisible());
  startingStatus.clear();
  open->setFocus();
  QTest::keyClick(open, Qt::Key_Return);
  auto* start = form->findChild<QPushButton*>(QStringLiteral("CommandStart"));
  ASSERT_TRUE(start->isVisible());
  EXPECT_EQ(form->focusWidget(), start);
  EXPECT_EQ(startingStatus, QStringLiteral("表計算アプリケーションを起動しています…"));
  EXPECT_TRUE(waitCursorWhileStarting);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_TRUE(form->statusBar()->currentMessage().isEmpty());
  // Where LibreOffice is the application, the wait names it.
  form->findChild<QPushButton*>(QStringLiteral("CommandClose"))->click();
  form->setApplicationName(QStringLiteral("LibreOffice"));
  open->setFocus();
  QTest::keyClick(open, Qt::Key_Return);
  EXPECT_EQ(startingStatus, QStringLiteral("LibreOffice を起動しています…"));
}

// The pause's message shows whole beside the buttons, and Next has the focus.
TEST_F(RunWindowTest, ThePauseMessageShowsWholeAndNextHasTheFocus) {
  writeScript("PAU\r\n");
  form->CommandStart_Click();
  ASSERT_TRUE(runUntil([&] { return inRun<QPushButton>("CommandNext")->isVisible(); }));
  auto* message = inRun<QLabel>("LabelMess");
  auto* next = inRun<QPushButton>("CommandNext");
  EXPECT_EQ(form->formExe()->focusWidget(), next);
  // The whole text fits in the label, on as many lines as it takes.
  const QRect room = message->contentsRect();
  const QRect needed = message->fontMetrics().boundingRect(QRect(0, 0, room.width(), 100000),
                                                           message->wordWrap() ? Qt::TextWordWrap : 0, message->text());
  EXPECT_LE(needed.width(), room.width());
  EXPECT_LE(needed.height(), room.height());
  EXPECT_TRUE(form->formExe()->rect().contains(message->geometry()));
  EXPECT_FALSE(message->geometry().intersects(next->geometry()));
  EXPECT_TRUE(message->text().endsWith(QStringLiteral("ボタンを押して下さい")));
}

// The progress area: 完了 once ended; a long last row ends in "…" and is
// whole in its tool tip.
TEST_F(RunWindowTest, TheProgressAreaSaysDoneAndShortensALongLastRow) {
  form->CommandStart_Click();
  FormExe* exe = form->formExe();
  ASSERT_NE(exe, nullptr);
  QStringList values;
  for (int i = 0; i < 60; ++i) values << QStringLiteral("value %1").arg(i);
  const RunProgress progress{10, 10, 20000, 600000, values, 10, true, std::nullopt, {}};
  exe->setProgress(progress);
  EXPECT_EQ(inRun<QLabel>("LabelProgressTime")->text(), QStringLiteral("経過 0:00:20　完了"));
  auto* last = inRun<serial::ElidedLabel>("LabelLastRow");
  ASSERT_NE(last, nullptr);
  EXPECT_TRUE(last->text().endsWith(QChar(0x2026))) << last->text().toStdString();
  EXPECT_TRUE(last->text().startsWith(QStringLiteral("最終取得: No.10　値: value 0")));
  EXPECT_EQ(last->toolTip(), lastRowText(progress));
}

// Neither window can be made so small that it hides its controls; with the
// log shown, the log takes what the run window grows by.
TEST_F(RunWindowTest, WindowsKeepTheirControlsWhenShrunkAndTheLogGrows) {
  form->CommandStart_Click();
  FormExe* exe = form->formExe();
  ASSERT_NE(exe, nullptr);
  inRun<QCheckBox>("CheckLog")->click();
  auto* log = inRun<QPlainTextEdit>("txtTerm");
  const int logHeight = log->height();
  exe->resize(exe->width() + 100, exe->height() + 200);
  flushEvents();
  EXPECT_EQ(log->height(), logHeight + 200);
  const auto buttonsShowWhole = [](QWidget* window) {
    window->resize(1, 1);
    flushEvents();
    for (auto* button : window->findChildren<QPushButton*>()) {
      if (!button->isVisibleTo(window)) continue;
      const QRect place(button->mapTo(window, QPoint(0, 0)), button->size());
      EXPECT_TRUE(window->rect().contains(place)) << button->objectName().toStdString();
      EXPECT_GE(button->width(), button->minimumSizeHint().width()) << button->objectName().toStdString();
    }
  };
  buttonsShowWhole(exe);
  inRun<QPushButton>("CommandRsEnd")->click();
  flushEvents();
  ASSERT_TRUE(form->isVisible());
  buttonsShowWhole(form.get());
}

}  // namespace
}  // namespace kestrune::app
