#include "info/splash_logic.h"

#include "info/recording_shell.h"

#include <gtest/gtest.h>

#include <ostream>

namespace kestrune::info {
namespace {

using testing::RecordingShell;

class FakeSplashView final : public SplashView {
public:
  QRect screenArea() const override { return screen; }
  QSize windowSize() const override { return size; }
  void moveWindow(const QPoint& topLeft) override { moves.push_back(topLeft); }
  void unloadWindow() override { ++unloads; }

  QRect screen{0, 0, 1024, 768};
  QSize size{400, 300};
  std::vector<QPoint> moves;
  int unloads = 0;
};

struct PlaceCase {
  QRect screen;
  QSize window;
  QPoint expected;
};

void PrintTo(const PlaceCase& c, std::ostream* os) {
  *os << "screen (" << c.screen.x() << "," << c.screen.y() << " " << c.screen.width() << "x" << c.screen.height()
      << ") window " << c.window.width() << "x" << c.window.height();
}

class SplashPositionTest : public ::testing::TestWithParam<PlaceCase> {};

TEST_P(SplashPositionTest, CentredAcrossAndAQuarterDown) {
  const PlaceCase& c = GetParam();
  EXPECT_EQ(splashPosition(c.screen, c.window), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SplashPositionTest,
    ::testing::Values(
        PlaceCase{{0, 0, 1024, 768}, {400, 300}, {312, 117}}, PlaceCase{{0, 0, 1920, 1080}, {520, 360}, {700, 180}},
        // Odd differences round towards the screen's top-left.
        PlaceCase{{0, 0, 1001, 703}, {400, 300}, {300, 100}},
        // A screen area that does not start at 0 (a panel on the left, a second monitor).
        PlaceCase{{1920, 40, 1280, 984}, {480, 384}, {2320, 190}}, PlaceCase{{0, 0, 400, 300}, {400, 300}, {0, 0}},
        // Larger than the screen: the top-left corner stays on it.
        PlaceCase{{0, 0, 640, 480}, {800, 600}, {0, 0}}, PlaceCase{{100, 50, 640, 480}, {800, 400}, {100, 70}}));

class SplashLogicTest : public ::testing::Test {
protected:
  FakeSplashView view;
  RecordingShell shell;
  SplashLogic logic{view, shell, QStringLiteral("file:///opt/k/manual/help.html")};
};

TEST_F(SplashLogicTest, LoadPlacesTheWindowOnce) {
  view.screen = QRect(0, 0, 1280, 1024);
  view.size = QSize(480, 400);
  logic.Form_Load();
  ASSERT_EQ(view.moves.size(), 1u);
  EXPECT_EQ(view.moves.front(), QPoint(400, 156));
  EXPECT_EQ(view.unloads, 0);
  EXPECT_TRUE(shell.opened.isEmpty());
}

TEST_F(SplashLogicTest, UrlButtonOpensTheProductPageAndStaysOpen) {
  logic.Command1_Click();
  EXPECT_EQ(shell.opened, QStringList{QStringLiteral("file:///opt/k/manual/help.html")});
  EXPECT_EQ(view.unloads, 0);
}

TEST_F(SplashLogicTest, UrlButtonIgnoresAShellFailure) {
  shell.refuse = true;
  logic.Command1_Click();
  logic.Command1_Click();
  EXPECT_EQ(shell.opened.size(), 2);
  EXPECT_EQ(view.unloads, 0);
}

TEST_F(SplashLogicTest, CloseButtonAndFrameClickUnload) {
  logic.Command2_Click();
  EXPECT_EQ(view.unloads, 1);
  logic.Frame1_Click();
  EXPECT_EQ(view.unloads, 2);
  EXPECT_TRUE(shell.opened.isEmpty());
}

class SplashKeyTest : public SplashLogicTest, public ::testing::WithParamInterface<int> {};

TEST_P(SplashKeyTest, AnyKeyUnloads) {
  logic.Form_KeyPress(GetParam());
  EXPECT_EQ(view.unloads, 1);
  EXPECT_TRUE(shell.opened.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Keys, SplashKeyTest, ::testing::Values(13, 27, 32, 'a', 'Z', '0', 0x3042));

TEST(SplashTexts, AreTheWindowsOwn) {
  EXPECT_EQ(splash::Caption, QStringLiteral("このソフトについて"));
  EXPECT_EQ(splash::ProductName, QStringLiteral("Kestrune"));
  EXPECT_EQ(splash::versionText(), QStringLiteral("Ver. 1.4.0"));
  EXPECT_EQ(splash::Close, QStringLiteral("閉じる"));
  EXPECT_EQ(splash::About, QStringLiteral("このソフトについて"));
  EXPECT_EQ(splash::Contact, QStringLiteral("ご利用方法、バグ情報、ご意見、ご要望等もメールでご連絡下さい。"));
  EXPECT_EQ(splash::MailLabel, QStringLiteral("E-mail:"));
  EXPECT_EQ(splash::UrlLabel, QStringLiteral("URL:"));
  EXPECT_EQ(splash::DisclaimerTitle, QStringLiteral("免責事項"));
  EXPECT_EQ(splash::FontFamily, QStringLiteral("ＭＳ Ｐゴシック"));
  // The line under "send us mail" gives an address to send it to.
  EXPECT_TRUE(splash::mailAddress().startsWith(QStringLiteral(KESTRUNE_SUPPORT_EMAIL)));
  EXPECT_TRUE(splash::mailAddress().contains(QLatin1Char('@')));
  EXPECT_TRUE(splash::Disclaimer.contains(QStringLiteral("責任を負いません")));
}

}  // namespace
}  // namespace kestrune::info
