// The information window "このソフトについて" (frmSplash): product name and
// version, the terms of use and a button that opens the product page. A thin
// window: its events go to SplashLogic. Modeless and owned by the main window,
// which keeps at most one open (MenuLicense_Click).
#pragma once

#include "info/splash_logic.h"

#include <QFont>
#include <QStringList>
#include <QWidget>

class QFrame;
class QLabel;
class QPushButton;

namespace kestrune::info {

class FrmSplash final : public QWidget, public SplashView {
  Q_OBJECT
public:
  // `productPage` is the address on Command1 (productPageAddress()).
  FrmSplash(Shell& shell, const QString& productPage, QWidget* owner = nullptr);

  SplashLogic& logic() { return logic_; }
  // Sizes the window to its contents and places it (SplashLogic::Form_Load).
  void Form_Load();
  // True once the window has been closed; it is then deleted later.
  bool unloaded() const { return unloaded_; }

  QRect screenArea() const override;
  QSize windowSize() const override;
  void moveWindow(const QPoint& topLeft) override;
  void unloadWindow() override;

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

private:
  void buildContents();
  // A key press that closes the window: any key except a modifier alone.
  bool handleKey(const QKeyEvent& event);

  SplashLogic logic_;
  QFrame* frame1_ = nullptr;
  bool unloaded_ = false;
};

// The families asked for, in order: "ＭＳ Ｐゴシック" first, then Japanese sans
// fonts found on Linux desktops.
QStringList splashFontFamilies();
// The window's font: splashFontFamilies() with a sans-serif style hint.
QFont splashFont(int pointSize = 10);

// MenuLicense_Click: shows the information window owned by `owner` (the main
// window): loads it when none is open, else brings the open one forward, and
// gives it the focus. Returns the window, or nullptr without an owner.
FrmSplash* MenuLicense_Click(QWidget* owner, Shell& shell, const QString& programDir);

}  // namespace kestrune::info
