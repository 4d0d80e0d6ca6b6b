#include "serial/elided_widgets.h"
#include "serial/serial_panel.h"
#include "serial/serial_panel_widget.h"

#include "fakes/fake_port.h"
#include "fakes/recording_message_boxes.h"

#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <ostream>

#include <algorithm>
#include <map>
#include <set>

namespace kestrune::serial {
namespace {

// Channel 0's line settings kept as the port holds them, applied as the
// session applies them; the other channels' kept as given.
struct PortLine final : settings::LineHolder {
  explicit PortLine(Port& p) : port(p) {}
  const settings::LineSettings& lineSettings(int channel) const override {
    if (channel > 0) return others.at(static_cast<std::size_t>(channel));
    line = {port.commPort(), parseSettings(port.settings()).value(), port.handshaking()};
    return line;
  }
  Status applyLineSettings(int channel, const settings::LineSettings& wanted) override {
    applied.push_back(channel);
    if (channel > 0) {
      others.at(static_cast<std::size_t>(channel)) = wanted;
      return {};
    }
    return settings::applyToPort(port, wanted, line);
  }
  Port& port;
  mutable settings::LineSettings line;
  settings::Lines others = settings::defaultLines();
  std::vector<int> applied;  // the channels given to applyLineSettings, in order
};

// OK as the main window handles it: a failure shown with a warning icon.
bool shownOk(SerialPanel& panel, testing::RecordingMessageBoxes& boxes) {
  const Status applied = panel.CommandRsOk();
  if (!applied) boxes.show(applied.description(), MessageIcon::Warning, applied.error().detail);
  return applied.ok();
}

using testing::FakePort;
using testing::RecordingMessageBoxes;

struct FakeSerialView final : SerialPanelView {
  void setListItems(RsList l, const QStringList& items) override { lists[l] = items; }
  int selectedIndex(RsList l) const override { return selected.count(l) ? selected.at(l) : -1; }
  void selectIndex(RsList l, int i) override { selected[l] = i; }
  void setDevicePath(const QString& p) override { device = p; }
  void setDeviceChoices(const std::vector<DeviceChoice>& c, int s) override {
    choices = c;
    chosen = s;
  }
  int selectedDevice() const override { return chosen; }
  QString selectedText(RsList l) const {
    const int i = selectedIndex(l);
    return i >= 0 && i < lists.at(l).size() ? lists.at(l).at(i) : QString();
  }
  QStringList captions() const {
    QStringList out;
    for (const DeviceChoice& c : choices) out << c.caption;
    return out;
  }
  QString chosenCaption() const {
    return chosen >= 0 && chosen < static_cast<int>(choices.size()) ? choices[static_cast<std::size_t>(chosen)].caption
                                                                    : QString();
  }
  std::map<RsList, QStringList> lists;
  std::map<RsList, int> selected;
  QString device;
  std::vector<DeviceChoice> choices;
  int chosen = -1;
};

// A device list the test changes by hand, as plugging and unplugging would.
struct FakeDeviceSource final : DeviceSource {
  std::vector<SerialDevice> devices() const override { return list; }
  bool present(const QString& path) const override {
    return unlisted.contains(path) || std::any_of(list.begin(), list.end(), [&path](const SerialDevice& d) {
             return d.path == path || d.systemLocation == path;
           });
  }
  void setWatching(bool on) override { watching = on; }
  void plug(std::vector<SerialDevice> now) {
    list = std::move(now);
    if (watching) emit devicesChanged();
  }
  std::vector<SerialDevice> list;
  std::set<QString> unlisted;  // present but not listed, as a pseudo-terminal
  bool watching = false;
};

const SerialDevice Ftdi{QStringLiteral("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A1B2C3-if00-port0"),
                        QStringLiteral("/dev/ttyUSB0"), QStringLiteral("FTDI"), QStringLiteral("FT232R USB UART"),
                        QStringLiteral("A1B2C3")};
const SerialDevice Uno{QStringLiteral("/dev/serial/by-id/usb-Arduino__www.arduino.cc__0043_7583-if00"),
                       QStringLiteral("/dev/ttyACM0"), QStringLiteral("Arduino (www.arduino.cc)"),
                       QStringLiteral("0043"), QStringLiteral("7583")};
const SerialDevice Uart{QStringLiteral("/dev/ttyS4"), QStringLiteral("/dev/ttyS4"), {}, {}, {}};
const QString FtdiCaption = QStringLiteral("ttyUSB0：FTDI FT232R USB UART（製造番号 A1B2C3）");
const QString UnoCaption = QStringLiteral("ttyACM0：Arduino (www.arduino.cc) 0043（製造番号 7583）");

const QByteArray LabMap = "# Adapters of the lab\nCOM1=/dev/ttyS0\ncom3 = /dev/ttyUSB0\n# spare\n";

QByteArray readAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<absent>");
}

QString writeMap(const QTemporaryDir& dir, const QByteArray& text) {
  const QString path = dir.filePath(PortMapFileName);
  QFile file(path);
  if (file.open(QIODevice::WriteOnly)) file.write(text);
  return path;
}

class SerialPanelTest : public ::testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    QObject::connect(&panel, &SerialPanel::portMapChanged, [this](const PortMap& m) { announced.push_back(m); });
  }
  void select(RsList list, const char* text) {
    const qsizetype i = view.lists[list].indexOf(QString::fromUtf8(text));
    ASSERT_GE(i, 0) << text;
    view.selected[list] = static_cast<int>(i);
  }
  void selectPort(const char* text) {
    select(RsList::Port, text);
    panel.cboPort_Click();
  }
  void choose(const QString& caption) {
    const QStringList captions = view.captions();
    ASSERT_TRUE(captions.contains(caption)) << caption.toStdString();
    view.chosen = static_cast<int>(captions.indexOf(caption));
    panel.cboDevice_Click();
  }
  QTemporaryDir dir;
  QString mapPath = writeMap(dir, LabMap);
  FakePort port;
  FakeDeviceSource devices;
  FakeSerialView view;
  RecordingMessageBoxes boxes;
  PortLine line{port};
  SerialPanel panel{line, PortMap::load(mapPath), {mapPath, mapPath}, devices, view};
  std::vector<PortMap> announced;
};

TEST_F(SerialPanelTest, DefaultsShowNineThousandSixHundredNoneEightOne) {
  panel.LoadPropertySettings();
  EXPECT_EQ(view.lists[RsList::Port].size(), 8);
  EXPECT_EQ(view.lists[RsList::Port].front(), QStringLiteral("Com1"));
  EXPECT_EQ(view.selectedText(RsList::Port), QStringLiteral("Com1"));
  EXPECT_EQ(view.selectedText(RsList::Speed), QStringLiteral("9600"));
  EXPECT_EQ(view.selectedText(RsList::Parity), QStringLiteral("None"));
  EXPECT_EQ(view.selectedText(RsList::DataBits), QStringLiteral("8"));
  EXPECT_EQ(view.selectedText(RsList::StopBits), QStringLiteral("1"));
  EXPECT_EQ(view.selectedText(RsList::Flow), QStringLiteral("None"));
  EXPECT_EQ(view.device, QStringLiteral("/dev/ttyS0"));
}

struct FillCase {
  const char* settings;
  const char* speed;
  const char* parity;
  const char* data;
  const char* stop;
};

class FillTest : public SerialPanelTest, public ::testing::WithParamInterface<FillCase> {};

TEST_P(FillTest, SelectsTheSettingsTruthfully) {
  const FillCase& c = GetParam();
  ASSERT_TRUE(port.setSettings(QString::fromUtf8(c.settings)).ok());
  panel.LoadPropertySettings();
  EXPECT_EQ(view.selectedText(RsList::Speed), QString::fromUtf8(c.speed));
  EXPECT_EQ(view.selectedText(RsList::Parity), QString::fromUtf8(c.parity));
  EXPECT_EQ(view.selectedText(RsList::DataBits), QString::fromUtf8(c.data));
  EXPECT_EQ(view.selectedText(RsList::StopBits), QString::fromUtf8(c.stop));
  // OK with nothing changed gives the port the same line settings back.
  const QString before = port.settings();
  EXPECT_TRUE(shownOk(panel, boxes));
  EXPECT_EQ(port.settings(), before);
}

INSTANTIATE_TEST_SUITE_P(Cases, FillTest,
                         ::testing::Values(FillCase{"19200,e,7,1.5", "19200", "Even", "7", "1.5"},
                                           FillCase{"115200,o,8,2", "115200", "Odd", "8", "2"},
                                           FillCase{"300,n,7,1", "300", "None", "7", "1"},
                                           FillCase{"9600,m,8,1", "9600", "Mark", "8", "1"},
                                           FillCase{"9600,s,8,1", "9600", "Space", "8", "1"},
                                           FillCase{"110,n,8,1", "110", "None", "8", "1"},
                                           FillCase{"230400,n,5,1.5", "230400", "None", "5", "1.5"}));

TEST_F(SerialPanelTest, ExtraEntriesKeepNumericOrderAndParityPositions) {
  ASSERT_TRUE(port.setSettings(QStringLiteral("14400,m,6,1")).ok() == false);  // not a supported speed
  ASSERT_TRUE(port.setSettings(QStringLiteral("110,s,6,1")).ok());
  panel.LoadPropertySettings();
  EXPECT_EQ(view.lists[RsList::Speed].front(), QStringLiteral("110"));
  EXPECT_EQ(view.lists[RsList::DataBits], (QStringList{QStringLiteral("6"), QStringLiteral("7"), QStringLiteral("8")}));
  EXPECT_EQ(view.lists[RsList::Parity].indexOf(QStringLiteral("Space")), 3);
}

TEST_F(SerialPanelTest, FlowControlThreeShowsRtsAndBecomesTwo) {
  ASSERT_TRUE(port.setHandshaking(FlowControl::RtsCtsXonXoff).ok());
  panel.LoadPropertySettings();
  EXPECT_EQ(port.handshaking(), FlowControl::RtsCts);
  EXPECT_EQ(view.selectedText(RsList::Flow), QStringLiteral("RTS"));
}

TEST_F(SerialPanelTest, ChoosingComThreeNineteenTwoSevenEvenOneAndHalfRts) {
  panel.LoadPropertySettings();
  selectPort("Com3");
  EXPECT_EQ(view.device, QStringLiteral("/dev/ttyUSB0"));
  select(RsList::Speed, "19200");
  select(RsList::DataBits, "7");
  select(RsList::Parity, "Even");
  select(RsList::StopBits, "1.5");
  select(RsList::Flow, "RTS");
  port.calls.clear();
  EXPECT_TRUE(shownOk(panel, boxes));
  EXPECT_EQ(port.calls, (std::vector<std::string>{"CommPort=3", "Settings=19200,e,7,1.5", "Handshaking=2"}));
  EXPECT_EQ(port.commPort(), 3);
  EXPECT_EQ(port.settings(), QStringLiteral("19200,e,7,1.5"));
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(SerialPanelTest, SamePortNumberSkipsThePortStage) {
  panel.LoadPropertySettings();
  ASSERT_TRUE(port.setPortOpen(true).ok());
  port.calls.clear();
  EXPECT_TRUE(shownOk(panel, boxes));
  EXPECT_EQ(port.calls, (std::vector<std::string>{"Settings=9600,n,8,1", "Handshaking=0"}));
}

TEST_F(SerialPanelTest, OpenPortIsClosedAndReopenedAroundAPortChange) {
  panel.LoadPropertySettings();
  ASSERT_TRUE(port.setPortOpen(true).ok());
  select(RsList::Port, "Com2");
  port.calls.clear();
  EXPECT_TRUE(shownOk(panel, boxes));
  EXPECT_EQ(port.calls, (std::vector<std::string>{"PortOpen=false", "CommPort=2", "PortOpen=true",
                                                  "Settings=9600,n,8,1", "Handshaking=0"}));
  EXPECT_TRUE(port.portOpen());
}

TEST_F(SerialPanelTest, RefusedReopenRestoresTheOldNumberAndStaysOpenPanel) {
  panel.LoadPropertySettings();
  ASSERT_TRUE(port.setPortOpen(true).ok());
  port.refuseOpen = true;
  select(RsList::Port, "Com4");
  EXPECT_FALSE(shownOk(panel, boxes));
  EXPECT_EQ(port.commPort(), 1);
  EXPECT_FALSE(port.portOpen());  // closed for the change, stays closed
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].icon, MessageIcon::Warning);
  EXPECT_EQ(boxes.shown[0].text, QStringLiteral("ポートがありません"));
}

TEST_F(SerialPanelTest, NoSelectionIsRefusedByThePortWithAWarning) {
  panel.LoadPropertySettings();
  view.selected[RsList::Parity] = -1;
  EXPECT_FALSE(shownOk(panel, boxes));
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].icon, MessageIcon::Warning);
  view.selected[RsList::Parity] = 2;
  view.selected[RsList::Flow] = -1;
  EXPECT_FALSE(shownOk(panel, boxes));
  EXPECT_EQ(boxes.shown.size(), 2u);
  EXPECT_EQ(boxes.shown[1].text, QStringLiteral("フロー制御 -1 は使用できません（0～3）"));
  EXPECT_EQ(port.handshaking(), FlowControl::None);
}

TEST_F(SerialPanelTest, NoPortSelectionMeansPortZeroAndIsRefused) {
  panel.LoadPropertySettings();
  view.selected[RsList::Port] = -1;
  EXPECT_FALSE(shownOk(panel, boxes));
  EXPECT_EQ(port.commPort(), 1);
  EXPECT_EQ(boxes.shown.size(), 1u);
}

TEST_F(SerialPanelTest, ListsTheDevicesPresentWithMakerModelAndSerialNumberWhileShown) {
  devices.list = {Ftdi, Uno, Uart};
  panel.LoadPropertySettings();
  selectPort("Com2");
  EXPECT_FALSE(devices.watching);
  panel.setPanelVisible(true);
  EXPECT_TRUE(devices.watching);
  EXPECT_EQ(view.captions(),
            (QStringList{QStringLiteral("既定（/dev/ttyS1）"), FtdiCaption, UnoCaption, QStringLiteral("ttyS4")}));
  std::vector<QString> paths;
  for (const DeviceChoice& c : view.choices) paths.push_back(c.path);
  EXPECT_EQ(paths, (std::vector<QString>{QString(), Ftdi.path, Uno.path, Uart.path}));
  EXPECT_EQ(view.chosen, 0);
  EXPECT_EQ(view.device, QStringLiteral("/dev/ttyS1"));
  panel.setPanelVisible(false);
  EXPECT_FALSE(devices.watching);
}

struct MappedCase {
  const char* name;
  QByteArray map;
  std::vector<SerialDevice> present;
  QString unlisted;
  QString shown;  // the caption chosen for Com3
  int entries;    // how many entries the chooser has
};

// Test names in the output instead of the bytes of the case.
void PrintTo(const MappedCase& c, std::ostream* os) { *os << c.name; }

class MappedDeviceTest : public ::testing::TestWithParam<MappedCase> {};

TEST_P(MappedDeviceTest, TheMappedDeviceIsAlwaysOfferedAndChosen) {
  const MappedCase& c = GetParam();
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString path = writeMap(dir, c.map);
  FakePort port;
  ASSERT_TRUE(port.setCommPort(3).ok());
  FakeDeviceSource devices;
  devices.list = c.present;
  if (!c.unlisted.isEmpty()) devices.unlisted.insert(c.unlisted);
  FakeSerialView view;
  RecordingMessageBoxes boxes;
  PortLine line{port};
  SerialPanel panel(line, PortMap::load(path), {path, path}, devices, view);
  panel.LoadPropertySettings();
  panel.setPanelVisible(true);
  EXPECT_EQ(view.chosenCaption(), c.shown) << c.name;
  EXPECT_EQ(static_cast<int>(view.choices.size()), c.entries) << c.name;
  EXPECT_EQ(view.captions().front(), QStringLiteral("既定（/dev/ttyS2）")) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MappedDeviceTest,
    ::testing::Values(MappedCase{"by its stable name", "COM3=" + Ftdi.path.toUtf8(), {Ftdi}, {}, FtdiCaption, 2},
                      MappedCase{"by its kernel name",
                                 "COM3=/dev/ttyUSB0\n",
                                 {Ftdi},
                                 {},
                                 QStringLiteral("/dev/ttyUSB0：FTDI FT232R USB UART（製造番号 A1B2C3）"),
                                 3},
                      MappedCase{"unplugged",
                                 "COM3=/dev/serial/by-id/usb-gone\n",
                                 {Uno},
                                 {},
                                 QStringLiteral("/dev/serial/by-id/usb-gone（未接続）"),
                                 3},
                      MappedCase{"present but not a listed device",
                                 "COM3=/dev/pts/7\n",
                                 {},
                                 QStringLiteral("/dev/pts/7"),
                                 QStringLiteral("/dev/pts/7"),
                                 2},
                      MappedCase{"no entry", "# nothing\n", {Uno}, {}, QStringLiteral("既定（/dev/ttyS2）"), 2}));

TEST_F(SerialPanelTest, RefreshAddsAndRemovesDevicesAndKeepsTheChoice) {
  devices.list = {Uno};
  panel.LoadPropertySettings();
  panel.setPanelVisible(true);
  selectPort("Com2");
  choose(UnoCaption);
  devices.plug({Ftdi, Uno});
  EXPECT_EQ(view.captions(), (QStringList{QStringLiteral("既定（/dev/ttyS1）"), FtdiCaption, UnoCaption}));
  EXPECT_EQ(view.chosenCaption(), UnoCaption);
  // The chosen device is pulled out: it stays, shown as absent, and chosen.
  devices.plug({Ftdi});
  EXPECT_EQ(view.captions(), (QStringList{QStringLiteral("既定（/dev/ttyS1）"), FtdiCaption,
                                          QStringLiteral("%1（未接続）").arg(Uno.path)}));
  EXPECT_EQ(view.chosenCaption(), QStringLiteral("%1（未接続）").arg(Uno.path));
  EXPECT_EQ(view.device, Uno.path);
  devices.plug({});
  EXPECT_EQ(view.captions().size(), 2);
}

TEST_F(SerialPanelTest, ChoosingMapsTheSelectedComNumberOnly) {
  devices.list = {Ftdi, Uno};
  panel.LoadPropertySettings();
  panel.setPanelVisible(true);
  selectPort("Com2");
  choose(FtdiCaption);
  EXPECT_EQ(view.device, Ftdi.path);
  selectPort("Com4");
  EXPECT_EQ(view.device, QStringLiteral("/dev/ttyS3"));
  EXPECT_EQ(view.chosenCaption(), QStringLiteral("既定（/dev/ttyS3）"));
  selectPort("Com2");
  EXPECT_EQ(view.device, Ftdi.path);
  EXPECT_EQ(view.chosenCaption(), FtdiCaption);
  EXPECT_EQ(readAll(mapPath), LabMap);  // nothing is written before OK
}

TEST_F(SerialPanelTest, OkWritesPortsConfKeepingOtherLinesAndHandsTheMapOver) {
  devices.list = {Ftdi, Uno};
  panel.LoadPropertySettings();
  panel.setPanelVisible(true);
  selectPort("Com1");
  choose(QStringLiteral("既定（/dev/ttyS0）"));
  selectPort("Com5");
  choose(FtdiCaption);
  selectPort("Com3");
  choose(UnoCaption);
  port.calls.clear();
  EXPECT_TRUE(shownOk(panel, boxes));
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_EQ(readAll(mapPath),
            "# Adapters of the lab\nCOM3=" + Uno.path.toUtf8() + "\n# spare\nCOM5=" + Ftdi.path.toUtf8() + "\n");
  ASSERT_EQ(announced.size(), 1u);
  EXPECT_EQ(announced[0].devicePath(3), Uno.path);
  EXPECT_EQ(announced[0].devicePath(5), Ftdi.path);
  EXPECT_EQ(announced[0].devicePath(1), QStringLiteral("/dev/ttyS0"));
  EXPECT_EQ(panel.portMap().entry(1), QString());
  EXPECT_EQ(port.calls, (std::vector<std::string>{"CommPort=3", "Settings=9600,n,8,1", "Handshaking=0"}));

  // OK with no device chosen leaves the file alone.
  ASSERT_TRUE(QFile::remove(mapPath));
  EXPECT_TRUE(shownOk(panel, boxes));
  EXPECT_FALSE(QFile::exists(mapPath));
  EXPECT_EQ(announced.size(), 1u);
}

TEST_F(SerialPanelTest, AnUnwritablePortsConfIsReportedAndTheOldFileKept) {
  const QString blocker = dir.filePath(QStringLiteral("blocker"));
  {
    QFile file(blocker);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  }
  // The user's copy would go into a folder that cannot be made.
  const QString unwritable = blocker + QStringLiteral("/ports.conf");
  SerialPanel blocked(line, PortMap::load(mapPath), {mapPath, unwritable}, devices, view);
  QObject::connect(&blocked, &SerialPanel::portMapChanged, [this](const PortMap& m) { announced.push_back(m); });
  devices.list = {Uno};
  blocked.LoadPropertySettings();
  blocked.setPanelVisible(true);
  select(RsList::Port, "Com3");
  blocked.cboPort_Click();
  view.chosen = 1;
  blocked.cboDevice_Click();
  port.calls.clear();

  EXPECT_FALSE(shownOk(blocked, boxes));
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].icon, MessageIcon::Warning);
  EXPECT_EQ(boxes.shown[0].text, QStringLiteral("ポートと機器の割り当てを保存できませんでした。"));
  EXPECT_EQ(boxes.shown[0].informative,
            QStringLiteral("%1 のフォルダーを作れません。\nports.conf は元のままです。").arg(unwritable));
  EXPECT_EQ(readAll(mapPath), LabMap);
  EXPECT_TRUE(announced.empty());
  EXPECT_TRUE(port.calls.empty());  // the port is not touched either
  EXPECT_EQ(port.commPort(), 1);
  EXPECT_EQ(view.device, Uno.path);  // the choice stays to try again or cancel
}

TEST_F(SerialPanelTest, CancelForgetsTheChoiceAndWritesNothing) {
  devices.list = {Uno};
  panel.LoadPropertySettings();
  panel.setPanelVisible(true);
  selectPort("Com3");
  choose(UnoCaption);
  panel.CommandRsNg();
  // The port stays as selected; the device chosen for it is forgotten.
  EXPECT_EQ(view.selectedText(RsList::Port), QStringLiteral("Com3"));
  EXPECT_EQ(view.device, QStringLiteral("/dev/ttyUSB0"));
  EXPECT_EQ(view.chosenCaption(), QStringLiteral("/dev/ttyUSB0（未接続）"));
  EXPECT_EQ(readAll(mapPath), LabMap);
  EXPECT_TRUE(shownOk(panel, boxes));
  EXPECT_EQ(readAll(mapPath), LabMap);
  EXPECT_TRUE(announced.empty());
}

// Each channel keeps what was chosen for it while the others are shown; OK
// applies channel 0 and every other channel that changed, in channel order,
// stopping at the first refused; Cancel applies nothing and keeps the edits.
TEST_F(SerialPanelTest, ChannelsKeepTheirEditsUntilOkAppliesThem) {
  const auto showChannel = [this](int channel) {
    view.selected[RsList::Channel] = channel;
    panel.cboChannel_Click();
    EXPECT_EQ(panel.shownChannel(), channel);
  };
  const auto shown = [this] {
    QStringList texts;
    for (RsList l : {RsList::Port, RsList::Speed, RsList::Parity, RsList::DataBits, RsList::StopBits, RsList::Flow})
      texts << view.selectedText(l);
    return texts.join(QLatin1Char(' ')).toStdString();
  };
  line.others[4] = {2, parseSettings(QStringLiteral("300,o,7,1")).value(), FlowControl::XonXoff};
  panel.LoadPropertySettings();
  EXPECT_EQ(view.lists[RsList::Channel].size(), 8);
  EXPECT_EQ(view.lists[RsList::Channel].at(7), QStringLiteral("CH8"));
  EXPECT_EQ(view.lists[RsList::Port].size(), 8) << "channel 0 always has a port";

  showChannel(2);
  EXPECT_EQ(shown(), "なし 9600 None 8 1 None");
  EXPECT_EQ(view.lists[RsList::Port].size(), 9);
  EXPECT_EQ(view.device, QString()) << "no port, no device";
  selectPort("Com3");
  EXPECT_EQ(view.device, QStringLiteral("/dev/ttyUSB0"));
  select(RsList::Speed, "19200");
  select(RsList::Parity, "Even");
  select(RsList::DataBits, "7");
  select(RsList::StopBits, "2");
  select(RsList::Flow, "RTS");
  showChannel(0);
  EXPECT_EQ(shown(), "Com1 9600 None 8 1 None");
  EXPECT_EQ(view.device, QStringLiteral("/dev/ttyS0"));
  select(RsList::Speed, "4800");
  showChannel(4);
  EXPECT_EQ(shown(), "Com2 300 Odd 7 1 Xon/Xoff");
  showChannel(2);
  EXPECT_EQ(shown(), "Com3 19200 Even 7 2 RTS");
  showChannel(0);
  EXPECT_EQ(shown(), "Com1 4800 None 8 1 None");

  // Cancel: nothing applied; each channel still shows its edits.
  panel.CommandRsNg();
  EXPECT_EQ(shown(), "Com1 4800 None 8 1 None");
  showChannel(2);
  EXPECT_EQ(shown(), "Com3 19200 Even 7 2 RTS");
  EXPECT_TRUE(line.applied.empty());

  // A refused channel 0 stops OK there and is shown; the later channels wait.
  select(RsList::Port, "Com6");
  showChannel(0);
  view.selected[RsList::Parity] = -1;
  showChannel(7);
  EXPECT_FALSE(shownOk(panel, boxes));
  EXPECT_EQ(panel.shownChannel(), 0);
  EXPECT_EQ(view.selectedIndex(RsList::Channel), 0);
  EXPECT_EQ(line.applied, std::vector<int>{0});
  EXPECT_EQ(line.others[2].port, settings::NoPort);

  // Mended, OK applies channel 0 and channel 2, not channel 7 it left as it was.
  select(RsList::Parity, "Odd");
  line.applied.clear();
  EXPECT_TRUE(shownOk(panel, boxes));
  EXPECT_EQ(line.applied, (std::vector<int>{0, 2}));
  // The edits kept through Cancel are applied with the rest.
  EXPECT_EQ(port.settings(), QStringLiteral("4800,o,8,1"));
  EXPECT_EQ(line.others[2],
            (settings::LineSettings{6, parseSettings(QStringLiteral("19200,e,7,2")).value(), FlowControl::RtsCts}));
  EXPECT_EQ(line.others[7], settings::defaultLines()[7]);
}

// Presses keys on a combo box as a person would, which raises its activated signal.
void pickByKeyboard(QComboBox* combo, int index) {
  QTest::keyClick(combo, Qt::Key_Home);
  for (int i = 0; i < index; ++i) QTest::keyClick(combo, Qt::Key_Down);
}

TEST(SerialPanelWidgetTest, TheDeviceChooserMapsThroughItsComboBoxAtOkAndNotAtCancel) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QByteArray lab = "# lab\nCOM2=/dev/ttyUSB7\n";
  const QString path = writeMap(dir, lab);
  FakePort port;
  RecordingMessageBoxes boxes;
  auto source = std::make_unique<FakeDeviceSource>();
  FakeDeviceSource* devices = source.get();
  devices->list = {Ftdi};
  PortLine line{port};
  SerialPanelWidget widget(line, PortMap::load(path), {path, path}, std::move(source));
  QObject::connect(&widget, &SerialPanelWidget::okClicked,
                   [&widget] { static_cast<void>(widget.logic().CommandRsOk()); });
  widget.logic().LoadPropertySettings();
  widget.show();
  EXPECT_TRUE(devices->watching);

  auto* chooser = widget.findChild<QComboBox*>(QStringLiteral("cboDevice"));
  auto* label = widget.findChild<QLabel*>(QStringLiteral("lblDevice"));
  ASSERT_NE(chooser, nullptr);
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(chooser->count(), 2);
  EXPECT_EQ(chooser->itemText(1), FtdiCaption);
  EXPECT_EQ(chooser->itemData(1, Qt::ToolTipRole).toString(), Ftdi.path);
  EXPECT_EQ(chooser->currentText(), QStringLiteral("既定（/dev/ttyS0）"));

  devices->plug({Ftdi, Uno});
  ASSERT_EQ(chooser->count(), 3);
  pickByKeyboard(chooser, 2);
  EXPECT_EQ(label->toolTip(), Uno.path);  // whole, though the label may shorten it
  widget.findChild<QPushButton*>(QStringLiteral("CommandRsNg"))->click();
  EXPECT_EQ(readAll(path), lab);
  EXPECT_EQ(label->text(), QStringLiteral("/dev/ttyS0"));
  EXPECT_EQ(chooser->currentIndex(), 0);

  pickByKeyboard(chooser, 2);
  widget.findChild<QPushButton*>(QStringLiteral("CommandRsOk"))->click();
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_EQ(readAll(path), "# lab\nCOM2=/dev/ttyUSB7\nCOM1=" + Uno.path.toUtf8() + "\n");
  EXPECT_EQ(chooser->currentText(), UnoCaption);
  widget.hide();
  EXPECT_FALSE(devices->watching);
}

// Device names differ at their end: a narrow panel keeps both ends of the
// path and of the chooser's entry, "…" between, and the whole as tool tip.
TEST(SerialPanelWidgetTest, LongDeviceNamesAreShortenedInTheMiddleAndWholeInTheirToolTips) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString path = writeMap(dir, "");
  FakePort port;
  RecordingMessageBoxes boxes;
  auto source = std::make_unique<FakeDeviceSource>();
  source->list = {Ftdi};
  PortLine line{port};
  SerialPanelWidget widget(line, PortMap::load(path), {path, path}, std::move(source));
  widget.logic().LoadPropertySettings();
  widget.show();
  widget.resize(widget.minimumSizeHint());
  auto* chooser = widget.findChild<MiddleElidedComboBox*>(QStringLiteral("cboDevice"));
  auto* label = widget.findChild<ElidedLabel*>(QStringLiteral("lblDevice"));
  ASSERT_NE(chooser, nullptr);
  ASSERT_NE(label, nullptr);
  pickByKeyboard(chooser, 1);
  ASSERT_EQ(chooser->currentText(), FtdiCaption);
  QCoreApplication::processEvents();

  struct Case {
    const char* what;
    QString whole;
    QString shown;
    QString toolTip;
  };
  for (const Case& c : {Case{"path", Ftdi.path, label->text(), label->toolTip()},
                        Case{"chooser", FtdiCaption, chooser->shownText(), chooser->toolTip()}}) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.toolTip, c.whole);
    ASSERT_TRUE(c.shown.contains(QChar(0x2026))) << c.shown.toStdString();
    const qsizetype cut = c.shown.indexOf(QChar(0x2026));
    EXPECT_TRUE(c.whole.startsWith(c.shown.left(cut))) << c.shown.toStdString();
    EXPECT_TRUE(c.whole.endsWith(c.shown.mid(cut + 1))) << c.shown.toStdString();
    EXPECT_GT(cut, 0);
    EXPECT_LT(cut + 1, c.shown.size());  // the end, which tells two adapters apart, shows
  }
}

}  // namespace
}  // namespace kestrune::serial
