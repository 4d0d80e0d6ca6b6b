#include "app/main_window_logic.h"

#include "fakes/raw_setup.h"
#include "fakes/shown.h"
#include "fakes/fake_port.h"
#include "fakes/fake_spreadsheet.h"
#include "fakes/manual_clock.h"
#include "fakes/recording_message_boxes.h"
#include "serial/termios_port.h"
#include "settings/setup_file.h"

#include <QFile>
#include <QHash>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace kestrune::app {
namespace {

using testing::FakePort;
using testing::ManualClock;
using testing::RecordingMessageBoxes;

struct FakeView final : MainView {
  void showPanel(Panel p) override { panel = p; }
  void setSettingsMenusEnabled(bool e) override { menusEnabled = e; }
  QString fileNameText() const override { return fileName; }
  void setOpenVisible(bool v) override { openVisible = v; }
  void setOpenWorkbookControlsVisible(bool v) override { workbookOpenControls = v; }
  void setFileChoiceEnabled(bool e) override { fileChoiceEnabled = e; }
  void setFileNameText(const QString& t) override {
    fileName = t;
    if (onTextChanged) onTextChanged();
  }
  QString askWorkbookPath() override { return dialogAnswer; }
  void focusWindow() override { ++focused; }

  std::function<void()> onTextChanged;
  QString dialogAnswer;
  int focused = 0;

  Panel panel = Panel::Serial;
  bool menusEnabled = false;
  QString fileName;
  bool openVisible = true;
  bool workbookOpenControls = true;
  bool fileChoiceEnabled = false;
};

class MainWindowLogicTest : public ::testing::Test {
protected:
  MainWindowLogicTest()
      : session([](int) { return std::make_unique<FakePort>(); }, settings::SettingsFolder::fixed(dir.path()), clock,
                [this]() -> Result<std::unique_ptr<sheet::SpreadsheetApp>> {
                  sheetLog = std::make_shared<testing::FakeSpreadsheet::Log>();
                  return std::unique_ptr<sheet::SpreadsheetApp>(std::make_unique<testing::FakeSpreadsheet>(sheetLog));
                }),
        logic(session, view) {
    view.onTextChanged = [this] { logic.TextFileName_Change(); };
    QObject::connect(&session, &AcquisitionSession::message, &session,
                     [this](const QString& text, MessageIcon icon, const QString& informative) {
                       boxes.show(text, icon, informative);
                     });
  }
  FakePort& port0() { return static_cast<FakePort&>(session.port(0)); }

  QTemporaryDir dir;
  RecordingMessageBoxes boxes;
  ManualClock clock;
  AcquisitionSession session;
  FakeView view;
  MainWindowLogic logic;
  std::shared_ptr<testing::FakeSpreadsheet::Log> sheetLog;
};

TEST_F(MainWindowLogicTest, ProgramEntryEmptiesReceiveBuffers) {
  for (int i = 0; i < serial::ChannelCount; ++i) session.reception().lines(i).append(u"old\r", u'\r');
  logic.programEntry();
  for (int i = 0; i < serial::ChannelCount; ++i) EXPECT_TRUE(session.reception().lines(i).empty()) << i;
}

TEST_F(MainWindowLogicTest, StartWithoutSettingsFileKeepsPortDefaultsAndShowsMainPanel) {
  logic.Form_Load();
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_EQ(session.settings(), settings::Settings());
  EXPECT_EQ(port0().commPort(), 1);
  EXPECT_EQ(port0().settings(), QStringLiteral("9600,n,8,1"));
  EXPECT_EQ(port0().handshaking(), serial::FlowControl::None);
  EXPECT_FALSE(port0().portOpen());
  EXPECT_EQ(view.panel, Panel::Main);
  EXPECT_TRUE(view.menusEnabled);
  EXPECT_FALSE(view.workbookOpenControls);
  EXPECT_FALSE(view.openVisible);
  EXPECT_TRUE(view.fileChoiceEnabled);
}

TEST_F(MainWindowLogicTest, LoadAppliesStoredPortSettingsToEachChannelsPort) {
  testing::RawSetup stored;
  stored.commPort = {2, 5, 5, 5, 5, 5, 5, 5};
  stored.commSettings[0] = "4800,e,7,2";
  stored.commSettings[1] = "300,o,8,1";
  stored.handshaking = {1, 2, 2, 2, 2, 2, 2, 2};
  QFile file(dir.filePath(settings::SetupFileName));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(stored.bytes());
  file.close();

  logic.Form_Load();
  EXPECT_EQ(port0().commPort(), 2);
  EXPECT_EQ(port0().settings(), QStringLiteral("4800,e,7,2"));
  EXPECT_EQ(port0().handshaking(), serial::FlowControl::XonXoff);
  // Channel 1's port takes its slot, closed; channel 2's slot names a port
  // but holds no settings text: the port keeps its own.
  auto& port1 = static_cast<FakePort&>(session.port(1));
  EXPECT_EQ(port1.calls, (std::vector<std::string>{"CommPort=5", "Settings=300,o,8,1", "Handshaking=2"}));
  EXPECT_FALSE(port1.portOpen());
  auto& port2 = static_cast<FakePort&>(session.port(2));
  EXPECT_EQ(port2.calls, (std::vector<std::string>{"CommPort=5", "Settings=9600,n,8,1", "Handshaking=0"}));
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(MainWindowLogicTest, LoadShowsOneMessageForABrokenFileOrARefusedValueAndGoesOn) {
  testing::RawSetup refused;
  refused.commPort[0] = 2;
  refused.commSettings[0] = "9600,q,8,1";
  const struct {
    const char* name;
    QByteArray bytes;
    int port;  // what channel 0's port ends with
  } cases[] = {
      {"truncated", QByteArray(10, '\0'), 1},
      {"refused settings", refused.bytes(), 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QFile file(dir.filePath(settings::SetupFileName));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(c.bytes);
    file.close();
    boxes.shown.clear();
    port0().calls.clear();
    view.panel = Panel::Serial;
    logic.Form_Load();
    EXPECT_EQ(boxes.texts(), QStringList{settings::MsgLoadFailed});
    EXPECT_EQ(port0().commPort(), c.port);
    EXPECT_EQ(port0().settings(), QStringLiteral("9600,n,8,1"));
    EXPECT_EQ(view.panel, Panel::Main);
  }
}

TEST_F(MainWindowLogicTest, UnloadWritesSettingsFileWithThePortValues) {
  logic.Form_Load();
  settings::LineSettings line;
  line.port = 3;
  ASSERT_TRUE(session.applyLineSettings(line).ok());
  logic.Form_Unload();
  EXPECT_TRUE(boxes.shown.empty());
  settings::SetupRecord back;
  ASSERT_EQ(settings::loadSetup(back, dir.filePath(settings::SetupFileName)).value(), settings::SetupLoad::Loaded);
  EXPECT_EQ(back.storedLine(0).port, 3);
  EXPECT_EQ(back.storedLine(0).settings, QStringLiteral("9600,n,8,1"));
}

TEST_F(MainWindowLogicTest, SettingsPanelsDisableMenusAndReturnThroughShowMainPanel) {
  logic.Form_Load();
  using Handler = void (MainWindowLogic::*)();
  const struct {
    Handler open;
    Panel panel;
    Handler close;
  } cases[] = {
      {&MainWindowLogic::MenuCond_Click, Panel::Conditions, &MainWindowLogic::CommandCellOk_Click},
      {&MainWindowLogic::MenuCond_Click, Panel::Conditions, &MainWindowLogic::CommandCellNg_Click},
      {&MainWindowLogic::MenuRS_Click, Panel::Serial, &MainWindowLogic::CommandRsOk_Click},
      {&MainWindowLogic::MenuRS_Click, Panel::Serial, &MainWindowLogic::CommandRsNg_Click},
  };
  for (const auto& c : cases) {
    (logic.*c.open)();
    EXPECT_EQ(view.panel, c.panel);
    EXPECT_FALSE(view.menusEnabled);
    (logic.*c.close)();
    EXPECT_EQ(view.panel, Panel::Main);
    EXPECT_TRUE(view.menusEnabled);
  }
}

struct FileNameCase {
  const char* text;
  bool openVisible;
};

class TextFileNameTest : public MainWindowLogicTest, public ::testing::WithParamInterface<FileNameCase> {};

TEST_P(TextFileNameTest, OpenShownForXlsEndingAndPathKeptAsTyped) {
  view.fileName = QString::fromUtf8(GetParam().text);
  logic.TextFileName_Change();
  EXPECT_EQ(view.openVisible, GetParam().openVisible);
  EXPECT_EQ(session.workbookPath(), view.fileName);
}

INSTANTIATE_TEST_SUITE_P(Cases, TextFileNameTest,
                         ::testing::Values(FileNameCase{"/data/book.xls", true}, FileNameCase{"/data/BOOK.XLS", true},
                                           FileNameCase{"/data/book.Xls", true}, FileNameCase{"/data/book.xlsx", false},
                                           FileNameCase{"  /data/book.xls  ", true}, FileNameCase{"", false},
                                           FileNameCase{"ls", false}, FileNameCase{"xls", true},
                                           FileNameCase{"/data/測定.xls", true}));

TEST_F(MainWindowLogicTest, ExcelButtonSetFollowsWorkbookState) {
  const QString book = dir.filePath(QStringLiteral("book.xls"));
  QFile(book).open(QIODevice::WriteOnly);
  view.setFileNameText(book);
  ASSERT_TRUE(session.workbook().open(book));
  logic.excelButtonSet();
  EXPECT_TRUE(view.workbookOpenControls);
  EXPECT_FALSE(view.openVisible);
  EXPECT_FALSE(view.fileChoiceEnabled);
  ASSERT_TRUE(session.workbook().close());
  logic.excelButtonSet();
  EXPECT_FALSE(view.workbookOpenControls);
  EXPECT_TRUE(view.openVisible);
  EXPECT_TRUE(view.fileChoiceEnabled);
}

TEST_F(MainWindowLogicTest, FileDialogCancelKeepsThePath) {
  view.fileName = QStringLiteral("/old/book.xls");
  logic.TextFileName_Change();
  view.dialogAnswer.clear();
  logic.CommandFileSelect_Click();
  EXPECT_EQ(view.fileName, QStringLiteral("/old/book.xls"));
  EXPECT_EQ(session.workbookPath(), QStringLiteral("/old/book.xls"));
  view.dialogAnswer = QStringLiteral("/new/測定.xls");
  logic.CommandFileSelect_Click();
  EXPECT_EQ(view.fileName, QStringLiteral("/new/測定.xls"));
  EXPECT_EQ(session.workbookPath(), QStringLiteral("/new/測定.xls"));
  EXPECT_TRUE(view.openVisible);
}

TEST_F(MainWindowLogicTest, OpenAndCloseSwitchTheWorkbookControls) {
  logic.Form_Load();
  const QString book = dir.filePath(QStringLiteral("book.xls"));
  QFile(book).open(QIODevice::WriteOnly);
  view.setFileNameText(QStringLiteral("  ") + book + QStringLiteral(" "));
  EXPECT_TRUE(view.openVisible);
  logic.CommandOpen_Click();  // the path with its blanks does not exist
  EXPECT_EQ(boxes.texts(), QStringList{QStringLiteral("  ") + book + QStringLiteral(" が見つかりません！")});
  boxes.shown.clear();
  view.setFileNameText(book);
  logic.CommandOpen_Click();
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_EQ(session.workbook().excelState(), sheet::ExcelState::Open);
  EXPECT_TRUE(view.workbookOpenControls);
  EXPECT_FALSE(view.openVisible);
  EXPECT_FALSE(view.fileChoiceEnabled);
  EXPECT_EQ(view.focused, 1);
  logic.CommandClose_Click();
  EXPECT_EQ(session.workbook().excelState(), sheet::ExcelState::NotOpen);
  EXPECT_FALSE(view.workbookOpenControls);
  EXPECT_TRUE(view.openVisible);
  EXPECT_TRUE(view.fileChoiceEnabled);
  EXPECT_EQ(sheetLog->calls.back(), "quit");
}

TEST_F(MainWindowLogicTest, LostStateKeepsOpenControlsUntilRefreshed) {
  logic.Form_Load();
  const QString book = dir.filePath(QStringLiteral("book.xls"));
  QFile(book).open(QIODevice::WriteOnly);
  view.setFileNameText(book);
  logic.CommandOpen_Click();
  session.workbook().excelDataSet(300, QStringLiteral("beyond the last column"));
  EXPECT_EQ(session.workbook().excelState(), sheet::ExcelState::NotOpen);
  EXPECT_TRUE(view.workbookOpenControls);  // not refreshed on the failure path
  logic.showMainPanel();
  EXPECT_FALSE(view.workbookOpenControls);
}

TEST_F(MainWindowLogicTest, ExitReleasesTheApplicationWithoutQuitting) {
  logic.Form_Load();
  const QString book = dir.filePath(QStringLiteral("book.xls"));
  QFile(book).open(QIODevice::WriteOnly);
  view.setFileNameText(book);
  logic.CommandOpen_Click();
  logic.Form_Unload();
  EXPECT_TRUE(sheetLog->released);
  EXPECT_EQ(std::count(sheetLog->calls.begin(), sheetLog->calls.end(), "quit"), 0);
}

TEST_F(MainWindowLogicTest, CursorIsShownInTheConditionsPanel) {
  struct View final : settings::ConditionsView {
    QString text(settings::CondBox b) const override { return texts.value(static_cast<int>(b)); }
    void setText(settings::CondBox b, const QString& t) override { texts[static_cast<int>(b)] = t; }
    void setBoxEnabled(settings::CondBox, bool) override {}
    int selectedOption(settings::CondOption) const override { return 0; }
    void selectOption(settings::CondOption, int) override {}
    void focusBox(settings::CondBox) override {}
    QHash<int, QString> texts;
  } conditionsView;
  settings::ConditionsPanel conditions(session, conditionsView);
  logic.setPanels(&conditions, nullptr);
  logic.Form_Load();
  const QString book = dir.filePath(QStringLiteral("book.xls"));
  QFile(book).open(QIODevice::WriteOnly);
  view.setFileNameText(book);
  logic.CommandOpen_Click();
  sheetLog->active = {12, 2};
  ASSERT_TRUE(session.workbook().getStartCell({}));
  EXPECT_EQ(conditionsView.texts.value(static_cast<int>(settings::CondBox::StartCol)), QStringLiteral("B"));
  EXPECT_EQ(conditionsView.texts.value(static_cast<int>(settings::CondBox::StartRow)), QStringLiteral("12"));
}

TEST(SessionPortMapTest, ANewPortMapIsUsedByTheNextOpenWithoutARestart) {
  QTemporaryDir dir;
  testing::ManualClock clock;
  serial::PortMap before;
  before.set(1, QStringLiteral("/dev/kestrune-before"));
  AcquisitionSession session([&before](int) { return std::make_unique<serial::TermiosPort>(before); },
                             settings::SettingsFolder::fixed(dir.path()), clock);
  serial::PortMap after;
  after.set(1, QStringLiteral("/dev/kestrune-after"));
  session.setPortMap(after);
  const Status opened = session.port(0).setPortOpen(true);
  ASSERT_FALSE(opened.ok());
  EXPECT_TRUE(opened.description().contains(QStringLiteral("/dev/kestrune-after")))
      << opened.description().toStdString();
  EXPECT_EQ(session.portMap().devicePath(1), QStringLiteral("/dev/kestrune-after"));
}

}  // namespace
}  // namespace kestrune::app
