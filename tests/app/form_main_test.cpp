#include "app/form_main.h"

#include "fakes/conditions.h"
#include "fakes/shown.h"
#include "fakes/fake_port.h"
#include "fakes/manual_clock.h"
#include "fakes/recording_message_boxes.h"
#include "settings/setup_file.h"

#include <QAction>
#include <QComboBox>
#include <QRadioButton>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include <QTimer>
#include <QApplication>
#include <gtest/gtest.h>

namespace kestrune::app {
namespace {

using testing::changeConditions;

using testing::FakePort;
using testing::ManualClock;
using testing::RecordingMessageBoxes;

class FormMainTest : public ::testing::Test {
protected:
  FormMainTest()
      : session([](int) { return std::make_unique<FakePort>(); }, settings::SettingsFolder::fixed(dir.path()), clock) {
    form = std::make_unique<FormMain>(session, boxes);
    form->logic().programEntry();
    form->Form_Load();
    form->show();
  }
  template <typename T>
  T* child(const char* name) {
    T* w = form->findChild<T*>(QLatin1String(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  QString buttonText(const char* name) {
    auto* b = child<QPushButton>(name);
    return b ? b->text() : QString();
  }
  bool visible(const char* name) {
    auto* w = child<QWidget>(name);
    return w && w->isVisible();
  }

  QTemporaryDir dir;
  RecordingMessageBoxes boxes;
  ManualClock clock;
  AcquisitionSession session;
  std::unique_ptr<FormMain> form;
};

TEST_F(FormMainTest, CaptionsOfTheMainPanel) {
  EXPECT_EQ(form->windowTitle(), QStringLiteral("Kestrune"));
  EXPECT_EQ(buttonText("CommandFileSelect"), QStringLiteral("ﾌｧｲﾙ選択"));
  EXPECT_EQ(buttonText("CommandStart"), QStringLiteral("　データ　取得開始"));
  EXPECT_EQ(buttonText("CommandOpen"), QStringLiteral("エクセルを開く"));
  EXPECT_EQ(buttonText("CommandClose"), QStringLiteral("エクセルを閉じる"));
  EXPECT_EQ(buttonText("CommandRs"), QStringLiteral("　RS232C　通信設定"));
  EXPECT_EQ(buttonText("CommandCond"), QStringLiteral("ﾃﾞｰﾀ取得　条件設定"));

  QStringList groups;
  for (const QGroupBox* g : child<QWidget>("FrameMain")->findChildren<QGroupBox*>()) groups << g->title();
  EXPECT_EQ(groups, (QStringList{QStringLiteral("エクセルファイルの指定"), QStringLiteral("処理"),
                                 QStringLiteral("条件設定")}));
  QStringList labels;
  for (const QLabel* l : child<QWidget>("FrameMain")->findChildren<QLabel*>()) labels << l->text();
  EXPECT_EQ(labels, (QStringList{QStringLiteral("データ保管用のエクセルファイルを選択します"),
                                 QStringLiteral("エクセルを開いたら「データ取得開始」ボタンで開始"),
                                 QStringLiteral("データ取得、通信条件を設定します")}));
}

TEST_F(FormMainTest, MenuBarEntries) {
  QStringList menus;
  for (QAction* a : form->menuBar()->actions()) {
    menus << a->text();
    for (QAction* entry : a->menu()->actions()) menus << QStringLiteral("  ") + entry->text();
  }
  EXPECT_EQ(menus, (QStringList{QStringLiteral("ﾌｧｲﾙ(&F)"), QStringLiteral("  終了(&Q)"),
                                QStringLiteral("条件設定(&S)"), QStringLiteral("  データ取得条件"),
                                QStringLiteral("  RS232C通信条件"), QStringLiteral("  MQTT送信"),
                                QStringLiteral("  アラームの設定..."), QStringLiteral("  Web表示の設定..."),
                                QStringLiteral("  記録の設定..."), QStringLiteral("ﾍﾙﾌﾟ(&H)"),
                                QStringLiteral("  ヘルプ"), QStringLiteral("  このソフトについて")}));
  EXPECT_EQ(child<QAction>("MenuEnd")->shortcut(), QKeySequence(QStringLiteral("Ctrl+Q")));
}

TEST_F(FormMainTest, StartsOnMainPanelWithWorkbookControlsClosed) {
  EXPECT_TRUE(visible("FrameMain"));
  EXPECT_FALSE(visible("FrameCell"));
  EXPECT_FALSE(visible("FrameRs"));
  EXPECT_FALSE(visible("CommandStart"));
  EXPECT_FALSE(visible("CommandClose"));
  EXPECT_FALSE(visible("CommandOpen"));
  for (const char* line : {"Line2_0", "Line2_1", "Line2_2", "Line2_3"}) EXPECT_FALSE(visible(line)) << line;
  EXPECT_TRUE(child<QLineEdit>("TextFileName")->isEnabled());
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(FormMainTest, TypingAWorkbookPathOffersOpen) {
  child<QLineEdit>("TextFileName")->setText(QStringLiteral("/tmp/book.xls"));
  EXPECT_TRUE(visible("CommandOpen"));
  EXPECT_EQ(session.workbookPath(), QStringLiteral("/tmp/book.xls"));
  child<QLineEdit>("TextFileName")->setText(QStringLiteral("/tmp/book.xlsx"));
  EXPECT_FALSE(visible("CommandOpen"));
}

TEST_F(FormMainTest, SettingsButtonsSwitchPanelsAndOkCancelReturn) {
  const struct {
    const char* openButton;
    const char* panel;
    const char* closeButton;
  } cases[] = {{"CommandCond", "FrameCell", "CommandCellOk"},
               {"CommandCond", "FrameCell", "CommandCellNg"},
               {"CommandRs", "FrameRs", "CommandRsOk"},
               {"CommandRs", "FrameRs", "CommandRsNg"}};
  for (const auto& c : cases) {
    child<QPushButton>(c.openButton)->click();
    EXPECT_TRUE(visible(c.panel)) << c.panel;
    EXPECT_FALSE(visible("FrameMain"));
    EXPECT_FALSE(child<QAction>("MenuCond")->isEnabled());
    EXPECT_FALSE(child<QAction>("MenuRS")->isEnabled());
    EXPECT_FALSE(child<QAction>("MenuMqtt")->isEnabled());
    child<QPushButton>(c.closeButton)->click();
    EXPECT_TRUE(visible("FrameMain"));
    EXPECT_FALSE(visible(c.panel));
    EXPECT_TRUE(child<QAction>("MenuCond")->isEnabled());
    EXPECT_TRUE(child<QAction>("MenuRS")->isEnabled());
    EXPECT_TRUE(child<QAction>("MenuMqtt")->isEnabled());
  }
}

// Enter presses the focused button of the main panel; each settings panel
// then has its first control focused, and Tab goes down its left column,
// down its right one, then to its buttons.
TEST_F(FormMainTest, EnterOpensAPanelWhoseTabOrderRunsDownItsColumns) {
  const struct {
    const char* button;
    const char* panel;
    QStringList order;
  } cases[] = {
      {"CommandRs",
       "FrameRs",
       {"cboPort", "cboDevice", "cboSpeed", "cboFlow", "cboChannel", "cboDataBits", "cboParity", "cboStopBits",
        "CommandRsOk", "CommandRsNg"}},
      {"CommandCond",
       "FrameCell",
       {"TextMin", "TextRows", "OptionCell_0", "OptionCell_1", "TextStartCol", "TextStartRow", "OptionNum_1",
        "TextCellNo", "OptionNum_0", "OptionProtcol_1", "OptionProtcol_0", "OptionTime_3", "OptionTime_2",
        "OptionTime_1", "OptionTime_0", "CommandCellOk", "CommandCellNg"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.panel);
    auto* button = child<QPushButton>(c.button);
    button->setFocus();
    QTest::keyClick(button, Qt::Key_Return);
    ASSERT_TRUE(visible(c.panel));
    ASSERT_NE(form->focusWidget(), nullptr);
    EXPECT_EQ(form->focusWidget()->objectName(), c.order.first());
    QStringList visited;
    QWidget* w = child<QWidget>(c.order.first().toLatin1().constData());
    for (int i = 0; i < 200 && w && visited.size() < c.order.size(); ++i, w = w->nextInFocusChain())
      if (c.order.contains(w->objectName()) && !visited.contains(w->objectName())) visited << w->objectName();
    EXPECT_EQ(visited, c.order);
    child<QPushButton>(c.order.last().toLatin1().constData())->click();
    ASSERT_TRUE(visible("FrameMain"));
  }
}

TEST_F(FormMainTest, TheMqttMenuOpensTheDialog) {
  QString title;
  // The dialog is modal: look at it and close it once it shows.
  QTimer::singleShot(0, [&title] {
    if (QWidget* modal = QApplication::activeModalWidget()) {
      title = modal->windowTitle();
      modal->close();
    }
  });
  child<QAction>("MenuMqtt")->trigger();
  EXPECT_EQ(title, QStringLiteral("MQTT送信の設定"));
}

// The alarm dialog edits a workbook's section: it needs a path, not an open
// workbook. Its rows start at the run's first value column; with no run yet,
// ten of them.
TEST_F(FormMainTest, TheAlarmMenuWantsAWorkbookPathAndOpensTheDialog) {
  auto* menu = child<QAction>("MenuAlarm");
  EXPECT_EQ(menu->text(), QStringLiteral("アラームの設定..."));
  EXPECT_FALSE(menu->isEnabled());
  child<QLineEdit>("TextFileName")->setText(dir.filePath(QStringLiteral("book.xls")));
  EXPECT_TRUE(menu->isEnabled());
  child<QPushButton>("CommandCond")->click();
  EXPECT_FALSE(menu->isEnabled());
  child<QPushButton>("CommandCellNg")->click();
  EXPECT_TRUE(menu->isEnabled());

  changeConditions(session, [](settings::Conditions& c) {
    c.cursor.column = QStringLiteral("C");
    c.numbering = true;
    c.stamp = settings::StampMode::None;
  });
  QString title;
  QStringList letters;
  QTimer::singleShot(0, [&] {
    if (QWidget* modal = QApplication::activeModalWidget()) {
      title = modal->windowTitle();
      if (auto* table = modal->findChild<QTableWidget*>(QStringLiteral("TableAlarm")))
        for (int r = 0; r < table->rowCount(); ++r) letters << table->item(r, 0)->text();
      modal->close();
    }
  });
  menu->trigger();
  EXPECT_EQ(title, QStringLiteral("アラームの設定"));
  EXPECT_EQ(letters, (QStringList{"D", "E", "F", "G", "H", "I", "J", "K", "L", "M"}));
}

TEST_F(FormMainTest, SerialPanelShowsPortDefaultsAndCancelKeepsUnappliedSelections) {
  auto* speed = child<QComboBox>("cboSpeed");
  auto* channel = child<QComboBox>("cboChannel");
  EXPECT_EQ(channel->currentText(), QStringLiteral("CH1"));
  EXPECT_EQ(speed->currentText(), QStringLiteral("9600"));
  EXPECT_EQ(child<QComboBox>("cboParity")->currentText(), QStringLiteral("None"));
  EXPECT_EQ(child<QComboBox>("cboPort")->currentText(), QStringLiteral("Com1"));
  EXPECT_EQ(child<QLabel>("lblDevice")->text(), QStringLiteral("/dev/ttyS0"));
  child<QPushButton>("CommandRs")->click();
  speed->setCurrentIndex(speed->findText(QStringLiteral("19200")));
  child<QPushButton>("CommandRsNg")->click();
  child<QPushButton>("CommandRs")->click();
  EXPECT_EQ(speed->currentText(), QStringLiteral("19200"));
  // Through CH3 and back, as picked with the keyboard: CH1 keeps its choice.
  channel->setFocus();
  QTest::keyClick(channel, Qt::Key_Down);
  QTest::keyClick(channel, Qt::Key_Down);
  EXPECT_EQ(child<QComboBox>("cboPort")->currentText(), QStringLiteral("なし"));
  QTest::keyClick(channel, Qt::Key_Home);
  EXPECT_EQ(speed->currentText(), QStringLiteral("19200"));
  EXPECT_EQ(session.port(0).settings(), QStringLiteral("9600,n,8,1"));
  child<QPushButton>("CommandRsOk")->click();
  EXPECT_TRUE(visible("FrameMain"));
  EXPECT_EQ(session.port(0).settings(), QStringLiteral("19200,n,8,1"));
}

TEST_F(FormMainTest, ConditionsPanelOpensNormalisedAndOkStores) {
  EXPECT_EQ(child<QLineEdit>("TextMin")->text(), QStringLiteral("60"));  // until the panel opens
  child<QPushButton>("CommandCond")->click();
  EXPECT_EQ(child<QLineEdit>("TextMin")->text(), QStringLiteral("1"));
  EXPECT_TRUE(child<QRadioButton>("OptionTime_0")->isChecked());
  EXPECT_FALSE(child<QLineEdit>("TextCellNo")->isEnabled());
  child<QRadioButton>("OptionNum_1")->click();
  EXPECT_TRUE(child<QLineEdit>("TextCellNo")->isEnabled());
  child<QRadioButton>("OptionTime_3")->click();
  child<QLineEdit>("TextRows")->setText(QStringLiteral("25"));
  child<QPushButton>("CommandCellOk")->click();
  EXPECT_TRUE(visible("FrameMain"));
  EXPECT_EQ(session.conditions().stamp, settings::StampMode::DateAndTime);
  EXPECT_TRUE(session.conditions().numbering);
  EXPECT_EQ(session.conditions().rows, 25);
}

TEST_F(FormMainTest, ConditionBoxesNormaliseOnEnterAndOnLeavingThemThroughTheWidgets) {
  form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  child<QPushButton>("CommandCond")->click();
  auto* minutes = child<QLineEdit>("TextMin");
  auto* rows = child<QLineEdit>("TextRows");
  minutes->setFocus();
  minutes->clear();
  QTest::keyClicks(minutes, QStringLiteral("999"));
  QTest::keyClick(minutes, Qt::Key_Return);
  EXPECT_EQ(minutes->text(), QStringLiteral("300"));
  EXPECT_TRUE(rows->hasFocus());  // Enter in the minutes box moves on to the rows
  rows->clear();
  QTest::keyClicks(rows, QStringLiteral("0"));
  QTest::keyClick(rows, Qt::Key_Enter);
  EXPECT_EQ(rows->text(), QStringLiteral("1"));
  EXPECT_TRUE(rows->hasFocus());  // and stays there
  rows->clear();
  QTest::keyClicks(rows, QStringLiteral("20000"));
  minutes->setFocus();  // leaving a box normalises it
  EXPECT_EQ(rows->text(), QStringLiteral("10000"));
  minutes->clear();
  QTest::keyClicks(minutes, QStringLiteral("0"));
  rows->setFocus();
  EXPECT_EQ(minutes->text(), QStringLiteral("1"));
  child<QPushButton>("CommandCellOk")->click();
  EXPECT_EQ(session.conditions().rows, 10000);
  EXPECT_EQ(session.conditions().acquireTimeMs, 60000);
}

TEST_F(FormMainTest, EscCancelsAndEnterConfirmsThePanels) {
  form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  // Esc from a choice in the conditions panel: nothing kept.
  changeConditions(session, [&](settings::Conditions& c) { c.rows = 5; });
  const std::int32_t rowsBefore = session.conditions().rows;
  child<QPushButton>("CommandCond")->click();
  child<QLineEdit>("TextRows")->setText(QStringLiteral("77"));
  child<QRadioButton>("OptionTime_3")->setFocus();
  QTest::keyClick(child<QRadioButton>("OptionTime_3"), Qt::Key_Escape);
  EXPECT_TRUE(visible("FrameMain"));
  EXPECT_EQ(session.conditions().rows, rowsBefore);
  // Enter from the same place: kept.
  child<QPushButton>("CommandCond")->click();
  child<QLineEdit>("TextRows")->setText(QStringLiteral("77"));
  child<QRadioButton>("OptionTime_3")->setFocus();
  QTest::keyClick(child<QRadioButton>("OptionTime_3"), Qt::Key_Return);
  EXPECT_TRUE(visible("FrameMain"));
  EXPECT_EQ(session.conditions().rows, 77);
  // Enter on the focused Cancel button cancels, as the button says.
  child<QPushButton>("CommandCond")->click();
  child<QLineEdit>("TextRows")->setText(QStringLiteral("88"));
  child<QPushButton>("CommandCellNg")->setFocus();
  QTest::keyClick(child<QPushButton>("CommandCellNg"), Qt::Key_Return);
  EXPECT_TRUE(visible("FrameMain"));
  EXPECT_EQ(session.conditions().rows, 77);
  // The serial panel: Esc from a list returns without a change.
  child<QPushButton>("CommandRs")->click();
  ASSERT_TRUE(visible("FrameRs"));
  auto* speed = child<QComboBox>("cboSpeed");
  speed->setFocus();
  QTest::keyClick(speed, Qt::Key_Escape);
  EXPECT_TRUE(visible("FrameMain"));
}

TEST_F(FormMainTest, CtrlQSavesSettingsAndClosesTheWindow) {
  const QString path = dir.filePath(settings::SetupFileName);
  ASSERT_FALSE(QFile::exists(path));
  form->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
  QTest::keyClick(form.get(), Qt::Key_Q, Qt::ControlModifier);
  EXPECT_FALSE(form->isVisible());
  ASSERT_TRUE(QFile::exists(path));
  settings::SetupRecord back;
  ASSERT_EQ(testing::shown(settings::loadSetup(back, path), boxes), testing::SetupSeen::Loaded);
  EXPECT_EQ(back.storedLine(0).port, 1);
  EXPECT_EQ(back.storedLine(0).settings, QStringLiteral("9600,n,8,1"));
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(FormMainTest, ClosingTwiceSavesOnce) {
  form->close();
  QFile::remove(dir.filePath(settings::SetupFileName));
  form->close();
  EXPECT_FALSE(QFile::exists(dir.filePath(settings::SetupFileName)));
}

TEST_F(FormMainTest, OpenAndStartStartsNoRunWhenTheWorkbookDidNotOpen) {
  // No such file, and a file with no spreadsheet application to open it: the
  // open's own message each time, and the port is never opened.
  const QString existing = dir.filePath(QStringLiteral("book.xls"));
  QFile(existing).open(QIODevice::WriteOnly);
  for (const QString& path : {dir.filePath(QStringLiteral("missing.xls")), existing}) {
    boxes.shown.clear();
    form->setFileNameText(path);
    form->openAndStart();
    ASSERT_FALSE(boxes.shown.empty()) << path.toStdString();
    EXPECT_TRUE(boxes.shown[0].text == path + QStringLiteral("が見つかりません！") ||
                boxes.shown[0].text == QStringLiteral("エクセルが起動できません！"))
        << boxes.shown[0].text.toStdString();
    EXPECT_EQ(form->formExe(), nullptr);
    EXPECT_FALSE(session.running());
    EXPECT_FALSE(session.port(0).portOpen());
  }
}

}  // namespace
}  // namespace kestrune::app
