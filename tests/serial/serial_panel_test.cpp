#include "serial/serial_panel.h"

#include "fakes/fake_port.h"
#include "fakes/recording_message_boxes.h"

#include <gtest/gtest.h>

#include <map>

namespace kestrune::serial {
namespace {

using testing::FakePort;
using testing::RecordingMessageBoxes;

struct FakeSerialView final : SerialPanelView {
  void setListItems(RsList l, const QStringList& items) override { lists[l] = items; }
  int selectedIndex(RsList l) const override { return selected.count(l) ? selected.at(l) : -1; }
  void selectIndex(RsList l, int i) override { selected[l] = i; }
  void setDevicePath(const QString& p) override { device = p; }
  QString selectedText(RsList l) const {
    const int i = selectedIndex(l);
    return i >= 0 && i < lists.at(l).size() ? lists.at(l).at(i) : QString();
  }
  std::map<RsList, QStringList> lists;
  std::map<RsList, int> selected;
  QString device;
};

class SerialPanelTest : public ::testing::Test {
protected:
  SerialPanelTest() { map.set(3, QStringLiteral("/dev/ttyUSB0")); }
  void select(RsList list, const char* text) {
    const qsizetype i = view.lists[list].indexOf(QString::fromUtf8(text));
    ASSERT_GE(i, 0) << text;
    view.selected[list] = static_cast<int>(i);
  }
  FakePort port;
  PortMap map;
  FakeSerialView view;
  RecordingMessageBoxes boxes;
  SerialPanel panel{port, map, view, boxes};
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
  EXPECT_TRUE(panel.CommandRsOk());
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
  select(RsList::Port, "Com3");
  panel.cboPort_Click();
  EXPECT_EQ(view.device, QStringLiteral("/dev/ttyUSB0"));
  select(RsList::Speed, "19200");
  select(RsList::DataBits, "7");
  select(RsList::Parity, "Even");
  select(RsList::StopBits, "1.5");
  select(RsList::Flow, "RTS");
  port.calls.clear();
  EXPECT_TRUE(panel.CommandRsOk());
  EXPECT_EQ(port.calls, (std::vector<std::string>{"CommPort=3", "Settings=19200,E,7,1.5", "Handshaking=2"}));
  EXPECT_EQ(port.commPort(), 3);
  EXPECT_EQ(port.settings(), QStringLiteral("19200,e,7,1.5"));
  EXPECT_TRUE(boxes.shown.empty());
}

TEST_F(SerialPanelTest, SamePortNumberSkipsThePortStage) {
  panel.LoadPropertySettings();
  ASSERT_TRUE(port.setPortOpen(true).ok());
  port.calls.clear();
  EXPECT_TRUE(panel.CommandRsOk());
  EXPECT_EQ(port.calls, (std::vector<std::string>{"Settings=9600,N,8,1", "Handshaking=0"}));
}

TEST_F(SerialPanelTest, OpenPortIsClosedAndReopenedAroundAPortChange) {
  panel.LoadPropertySettings();
  ASSERT_TRUE(port.setPortOpen(true).ok());
  select(RsList::Port, "Com2");
  port.calls.clear();
  EXPECT_TRUE(panel.CommandRsOk());
  EXPECT_EQ(port.calls, (std::vector<std::string>{"PortOpen=false", "CommPort=2", "PortOpen=true",
                                                  "Settings=9600,N,8,1", "Handshaking=0"}));
  EXPECT_TRUE(port.portOpen());
}

TEST_F(SerialPanelTest, RefusedReopenRestoresTheOldNumberAndStaysOpenPanel) {
  panel.LoadPropertySettings();
  ASSERT_TRUE(port.setPortOpen(true).ok());
  port.refuseOpen = true;
  select(RsList::Port, "Com4");
  EXPECT_FALSE(panel.CommandRsOk());
  EXPECT_EQ(port.commPort(), 1);
  EXPECT_FALSE(port.portOpen());  // closed for the change, stays closed
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].icon, MessageIcon::Warning);
  EXPECT_EQ(boxes.shown[0].text, QStringLiteral("ポートがありません"));
}

TEST_F(SerialPanelTest, NoSelectionIsRefusedByThePortWithAWarning) {
  panel.LoadPropertySettings();
  view.selected[RsList::Parity] = -1;
  EXPECT_FALSE(panel.CommandRsOk());
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].icon, MessageIcon::Warning);
  view.selected[RsList::Parity] = 2;
  view.selected[RsList::Flow] = -1;
  EXPECT_FALSE(panel.CommandRsOk());
  EXPECT_EQ(boxes.shown.size(), 2u);
  EXPECT_EQ(boxes.shown[1].text, QStringLiteral("フロー制御 -1 は使用できません（0～3）"));
  EXPECT_EQ(port.handshaking(), FlowControl::None);
}

TEST_F(SerialPanelTest, NoPortSelectionMeansPortZeroAndIsRefused) {
  panel.LoadPropertySettings();
  view.selected[RsList::Port] = -1;
  EXPECT_FALSE(panel.CommandRsOk());
  EXPECT_EQ(port.commPort(), 1);
  EXPECT_EQ(boxes.shown.size(), 1u);
}

}  // namespace
}  // namespace kestrune::serial
