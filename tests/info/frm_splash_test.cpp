#include "info/frm_splash.h"

#include "info/manual_link.h"
#include "info/recording_shell.h"

#include <QApplication>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTest>

#include <gtest/gtest.h>

#include <memory>
#include <ostream>

namespace kestrune::info {
namespace {

using testing::RecordingShell;

const QString ProgramDir = QStringLiteral("/opt/kestrune");

class FrmSplashTest : public ::testing::Test {
protected:
  FrmSplashTest() { owner->show(); }
  ~FrmSplashTest() override { flushDeletes(); }

  static void flushDeletes() { QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete); }
  FrmSplash* open() { return MenuLicense_Click(owner.get(), shell, ProgramDir); }
  template <typename T>
  static T* child(QWidget* window, const char* name) {
    T* w = window->findChild<T*>(QLatin1String(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  static QString labelText(QWidget* window, const char* name) {
    QLabel* l = child<QLabel>(window, name);
    return l ? l->text() : QString();
  }
  int openWindows() const {
    int n = 0;
    for (FrmSplash* w : owner->findChildren<FrmSplash*>())
      if (w->isVisible()) ++n;
    return n;
  }

  RecordingShell shell;
  std::unique_ptr<QWidget> owner = std::make_unique<QWidget>();
};

TEST_F(FrmSplashTest, ShowsTheTextsTopToBottom) {
  FrmSplash* w = open();
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->windowTitle(), QStringLiteral("このソフトについて"));
  EXPECT_EQ(labelText(w, "lblProductName"), QStringLiteral("Kestrune"));
  EXPECT_EQ(labelText(w, "lblVersion"), QStringLiteral("Ver. 1.4.0"));
  EXPECT_EQ(labelText(w, "Label1_2"), QStringLiteral("このソフトについて"));
  EXPECT_EQ(labelText(w, "lblWarning_7"),
            QStringLiteral("ご利用方法、バグ情報、ご意見、ご要望等もメールでご連絡下さい。"));
  EXPECT_EQ(labelText(w, "lblWarning_3"), QStringLiteral("E-mail:"));
  EXPECT_EQ(labelText(w, "lblWarning_1"), splash::mailAddress());
  EXPECT_EQ(labelText(w, "lblWarning_4"), QStringLiteral("URL:"));
  EXPECT_EQ(labelText(w, "Label1_0"), QStringLiteral("免責事項"));
  EXPECT_EQ(labelText(w, "lblWarning_0"), splash::Disclaimer);
  EXPECT_EQ(labelText(w, "lblNotice"), splash::ClosingNotice);
  auto* command1 = child<QPushButton>(w, "Command1");
  auto* command2 = child<QPushButton>(w, "Command2");
  ASSERT_TRUE(command1 && command2);
  EXPECT_EQ(command1->text(), QStringLiteral("file:///opt/kestrune/manual/help.html"));
  EXPECT_EQ(command2->text(), QStringLiteral("閉じる"));

  // Reading order: each line lies below the previous one.
  const char* order[] = {"lblProductName", "Label1_2", "lblWarning_7", "lblWarning_3",
                         "lblWarning_4",   "Label1_0", "lblWarning_0", "lblNotice"};
  int lastY = -1;
  for (const char* name : order) {
    QWidget* item = child<QWidget>(w, name);
    ASSERT_NE(item, nullptr);
    const int y = item->mapTo(w, QPoint(0, 0)).y();
    EXPECT_GT(y, lastY) << name;
    lastY = y;
  }
  // Name and version share the bold first line; the close button stands at its right.
  QWidget* name = child<QWidget>(w, "lblProductName");
  QWidget* version = child<QWidget>(w, "lblVersion");
  EXPECT_TRUE(name->font().bold());
  EXPECT_TRUE(version->font().bold());
  EXPECT_EQ(name->mapTo(w, QPoint(0, 0)).y(), version->mapTo(w, QPoint(0, 0)).y());
  EXPECT_GT(version->mapTo(w, QPoint(0, 0)).x(), name->mapTo(w, QPoint(0, 0)).x());
  EXPECT_GT(command2->mapTo(w, QPoint(0, 0)).x(), version->mapTo(w, QPoint(0, 0)).x());
  EXPECT_LT(command2->mapTo(w, QPoint(0, 0)).y(), child<QWidget>(w, "Frame1")->mapTo(w, QPoint(0, 0)).y());
  // The logo is drawn.
  QLabel* logo = child<QLabel>(w, "imgLogo");
  ASSERT_NE(logo, nullptr);
  EXPECT_FALSE(logo->pixmap().isNull());
}

TEST_F(FrmSplashTest, EveryTextFitsItsLabel) {
  FrmSplash* w = open();
  ASSERT_NE(w, nullptr);
  const QList<QLabel*> labels = w->findChildren<QLabel*>();
  ASSERT_GE(labels.size(), 10);
  for (QLabel* l : labels) {
    if (l->text().isEmpty()) continue;
    SCOPED_TRACE(l->objectName().toStdString());
    if (l->wordWrap()) {
      EXPECT_GE(l->height(), l->heightForWidth(l->width()));
    } else {
      EXPECT_GE(l->width(), l->fontMetrics().horizontalAdvance(l->text()));
      EXPECT_GE(l->height(), l->fontMetrics().height());
    }
    // Inside the window, not cut by its edge.
    EXPECT_TRUE(w->rect().contains(QRect(l->mapTo(w, QPoint(0, 0)), l->size())));
  }
}

TEST_F(FrmSplashTest, AsksForTheJapaneseFontWithAFallbackThatExists) {
  FrmSplash* w = open();
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->font().families().value(0), QStringLiteral("ＭＳ Ｐゴシック"));
  bool anyJapanese = false;
  for (const QString& family : QFontDatabase::families(QFontDatabase::Japanese))
    anyJapanese = anyJapanese || !family.isEmpty();
  if (!anyJapanese) GTEST_SKIP() << "no Japanese font installed";
  const QString used = QFontInfo(child<QLabel>(w, "lblWarning_7")->font()).family();
  EXPECT_TRUE(QFontDatabase::writingSystems(used).contains(QFontDatabase::Japanese)) << used.toStdString();
}

TEST_F(FrmSplashTest, IsModelessAndOwnedByTheMainWindow) {
  FrmSplash* w = open();
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(w->isVisible());
  EXPECT_EQ(w->windowModality(), Qt::NonModal);
  EXPECT_TRUE(w->isWindow());
  EXPECT_EQ(w->parentWidget(), owner.get());
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST_F(FrmSplashTest, ChosenAgainBringsTheSameWindowForward) {
  FrmSplash* first = open();
  FrmSplash* second = open();
  EXPECT_EQ(first, second);
  EXPECT_EQ(openWindows(), 1);
  EXPECT_EQ(owner->findChildren<FrmSplash*>().size(), 1);
}

TEST_F(FrmSplashTest, WithoutAnOwnerNothingOpens) { EXPECT_EQ(MenuLicense_Click(nullptr, shell, ProgramDir), nullptr); }

TEST_F(FrmSplashTest, PlacedCentredAndAQuarterDown) {
  FrmSplash* w = open();
  ASSERT_NE(w, nullptr);
  const QRect area = w->screenArea();
  ASSERT_FALSE(area.isEmpty());
  EXPECT_EQ(w->frameGeometry().topLeft(), splashPosition(area, w->frameGeometry().size()));
  // And by the formula itself, as long as the window fits.
  if (w->width() <= area.width() && w->height() <= area.height()) {
    EXPECT_EQ(w->frameGeometry().left(), area.left() + (area.width() - w->frameGeometry().width()) / 2);
    EXPECT_EQ(w->frameGeometry().top(), area.top() + (area.height() - w->frameGeometry().height()) / 4);
  }
}

TEST_F(FrmSplashTest, UrlButtonOpensTheProductPageThroughTheShell) {
  FrmSplash* w = open();
  ASSERT_NE(w, nullptr);
  QTest::mouseClick(child<QPushButton>(w, "Command1"), Qt::LeftButton);
  EXPECT_EQ(shell.opened, QStringList{productPageAddress(ProgramDir)});
  EXPECT_TRUE(w->isVisible());
  EXPECT_FALSE(w->unloaded());
}

TEST_F(FrmSplashTest, UrlButtonShowsNothingWhenTheShellFails) {
  shell.refuse = true;
  FrmSplash* w = open();
  ASSERT_NE(w, nullptr);
  QTest::mouseClick(child<QPushButton>(w, "Command1"), Qt::LeftButton);
  EXPECT_EQ(shell.opened.size(), 1);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_EQ(openWindows(), 1);
}

TEST_F(FrmSplashTest, CloseButtonUnloadsAndANewChoiceLoadsAfresh) {
  QPointer<FrmSplash> w = open();
  ASSERT_FALSE(w.isNull());
  QTest::mouseClick(child<QPushButton>(w, "Command2"), Qt::LeftButton);
  EXPECT_EQ(openWindows(), 0);
  // Chosen again before the closed window is deleted: a new window, not the closing one.
  FrmSplash* again = open();
  EXPECT_NE(again, w.data());
  EXPECT_EQ(openWindows(), 1);
  flushDeletes();
  EXPECT_TRUE(w.isNull());
  EXPECT_TRUE(again->isVisible());
  EXPECT_TRUE(shell.opened.isEmpty());
}

TEST_F(FrmSplashTest, ClosingGivesTheKeyboardBackToTheOwner) {
  auto* box = new QLineEdit(owner.get());  // something on the owner that takes the focus
  box->show();
  QPointer<FrmSplash> w = open();
  ASSERT_FALSE(w.isNull());
  ASSERT_TRUE(QTest::qWaitForWindowActive(w.data()));
  QTest::keyClick(w.data(), Qt::Key_Escape);
  EXPECT_TRUE(QTest::qWaitForWindowActive(owner.get()));
  EXPECT_EQ(QApplication::activeWindow(), owner.get());
}

TEST_F(FrmSplashTest, AClickOnTheFrameUnloads) {
  QPointer<FrmSplash> w = open();
  ASSERT_FALSE(w.isNull());
  QTest::mouseClick(child<QFrame>(w, "Frame1"), Qt::LeftButton, {}, QPoint(3, 3));
  EXPECT_EQ(openWindows(), 0);
  flushDeletes();
  EXPECT_TRUE(w.isNull());
}

TEST_F(FrmSplashTest, AClickOnATextInTheFrameUnloads) {
  QPointer<FrmSplash> w = open();
  ASSERT_FALSE(w.isNull());
  QTest::mouseClick(child<QLabel>(w, "lblWarning_0"), Qt::LeftButton);
  EXPECT_EQ(openWindows(), 0);
}

TEST_F(FrmSplashTest, AClickOutsideTheFrameDoesNotUnload) {
  FrmSplash* w = open();
  ASSERT_NE(w, nullptr);
  QTest::mouseClick(child<QLabel>(w, "lblProductName"), Qt::LeftButton);
  EXPECT_EQ(openWindows(), 1);
}

struct KeyCase {
  Qt::Key key;
  const char* target;  // the widget with the focus; nullptr for the window itself
};

void PrintTo(const KeyCase& c, std::ostream* os) {
  *os << "key " << c.key << " on " << (c.target ? c.target : "the window");
}

class FrmSplashKeyTest : public FrmSplashTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(FrmSplashKeyTest, AnyKeyUnloads) {
  const KeyCase& c = GetParam();
  FrmSplash* w = open();
  ASSERT_NE(w, nullptr);
  QWidget* target = c.target ? child<QWidget>(w, c.target) : w;
  ASSERT_NE(target, nullptr);
  QTest::keyClick(target, c.key);
  EXPECT_EQ(openWindows(), 0);
  // A key is not a click on the URL button, even with that button focused.
  EXPECT_TRUE(shell.opened.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Keys, FrmSplashKeyTest,
                         ::testing::Values(KeyCase{Qt::Key_A, nullptr}, KeyCase{Qt::Key_Escape, nullptr},
                                           KeyCase{Qt::Key_Return, "Command2"}, KeyCase{Qt::Key_Space, "Command1"},
                                           KeyCase{Qt::Key_Return, "Command1"}, KeyCase{Qt::Key_F1, "Frame1"},
                                           KeyCase{Qt::Key_Tab, "lblWarning_7"}));

TEST_F(FrmSplashTest, AModifierAloneDoesNotUnload) {
  FrmSplash* w = open();
  ASSERT_NE(w, nullptr);
  QTest::keyClick(w, Qt::Key_Shift);
  QTest::keyClick(w, Qt::Key_Control);
  EXPECT_EQ(openWindows(), 1);
}

}  // namespace
}  // namespace kestrune::info
