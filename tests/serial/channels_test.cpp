#include "serial/channels.h"

#include "fakes/shown.h"
#include "fakes/fake_port.h"
#include "fakes/recording_message_boxes.h"

#include <gtest/gtest.h>

namespace kestrune::serial {
namespace {

using testing::FakePort;
using testing::RecordingMessageBoxes;

const std::vector<std::string> ReceptionParameters = {"RThreshold=1",    "InBufferSize=4096", "InputLen=0",
                                                      "InBufferCount=0", "InputMode=0",       "RTSEnable=true",
                                                      "DTREnable=true"};

TEST(OpenPortTest, OpensAndWritesReceptionParametersInOrder) {
  FakePort port;
  RecordingMessageBoxes boxes;
  EXPECT_TRUE(testing::shown(openPort(port), boxes));
  std::vector<std::string> expected = {"PortOpen=true"};
  expected.insert(expected.end(), ReceptionParameters.begin(), ReceptionParameters.end());
  EXPECT_EQ(port.calls, expected);
  EXPECT_TRUE(boxes.shown.empty());
  EXPECT_EQ(port.rThreshold, 1);
  EXPECT_EQ(port.inputLen, 0);
}

TEST(OpenPortTest, FailedOpenShowsMessageAndWritesNoParameter) {
  FakePort port;
  port.refuseOpen = true;
  RecordingMessageBoxes boxes;
  EXPECT_FALSE(testing::shown(openPort(port), boxes));
  EXPECT_EQ(port.calls, std::vector<std::string>{"PortOpen=true"});
  ASSERT_EQ(boxes.shown.size(), 1u);
  EXPECT_EQ(boxes.shown[0].text, QStringLiteral("通信ポートがオープンできません！"));
  EXPECT_EQ(boxes.shown[0].icon, MessageIcon::None);
  EXPECT_EQ(boxes.shown[0].informative, QStringLiteral("ポートがありません"));  // the port's own reason
}

TEST(OpenPortTest, AlreadyOpenPortIsNotReopenedButParametersDiscardInput) {
  FakePort port;
  RecordingMessageBoxes boxes;
  ASSERT_TRUE(testing::shown(openPort(port), boxes));
  port.calls.clear();
  port.incoming = u"stale";
  EXPECT_TRUE(testing::shown(openPort(port), boxes));
  EXPECT_EQ(port.calls, ReceptionParameters);
  EXPECT_EQ(port.openCount, 1);
  EXPECT_TRUE(port.incoming.empty());
}

TEST(OpenPortTest, FailingParameterWritesAreIgnored) {
  FakePort port;
  port.refuseParameters = true;
  RecordingMessageBoxes boxes;
  EXPECT_TRUE(testing::shown(openPort(port), boxes));
  EXPECT_EQ(port.calls.size(), 1 + ReceptionParameters.size());  // every step still ran
  EXPECT_TRUE(boxes.shown.empty());
}

TEST(ClosePortTest, ClosesOpenPortAndLeavesClosedPortAlone) {
  FakePort port;
  RecordingMessageBoxes boxes;
  closePort(port);
  EXPECT_TRUE(port.calls.empty());
  ASSERT_TRUE(testing::shown(openPort(port), boxes));
  port.calls.clear();
  closePort(port);
  EXPECT_EQ(port.calls, std::vector<std::string>{"PortOpen=false"});
  EXPECT_FALSE(port.portOpen());
}

TEST(ChannelsTest, EightChannelObjectsEachFromTheFactory) {
  std::vector<int> made;
  Channels channels([&made](int i) {
    made.push_back(i);
    return std::make_unique<FakePort>();
  });
  EXPECT_EQ(made, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
  EXPECT_NE(&channels.port(0), &channels.port(1));
  EXPECT_THROW(channels.port(8), std::out_of_range);
}

}  // namespace
}  // namespace kestrune::serial
