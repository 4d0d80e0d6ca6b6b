// The information window frmSplash ("このソフトについて"): its texts and what
// its events do. The widget (FrmSplash) only shows and forwards events here,
// so tests drive the behaviour without widgets through SplashView.
#pragma once

#include "core/shell.h"

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

namespace kestrune::info {

// The window's captions and texts, top to bottom.
namespace splash {
inline const QString Caption = QStringLiteral("このソフトについて");
inline const QString ProductName = QStringLiteral("Kestrune");
// "Ver. " followed by the program's version, such as "Ver. 1.4.0".
QString versionText();
inline const QString Close = QStringLiteral("閉じる");
inline const QString About = QStringLiteral("このソフトについて");
inline const QString Contact = QStringLiteral("ご利用方法、バグ情報、ご意見、ご要望等もメールでご連絡下さい。");
inline const QString MailLabel = QStringLiteral("E-mail:");
// The support address this build was made with (KESTRUNE_SUPPORT_EMAIL), so
// the line above it always has somewhere to send mail to.
QString mailAddress();
inline const QString UrlLabel = QStringLiteral("URL:");
inline const QString DisclaimerTitle = QStringLiteral("免責事項");
inline const QString Disclaimer = QStringLiteral(
    "本ソフトウェアの使用により、またはこれを使用できなかったことにより生じたいかなる障害・損害についても、"
    "開発者は一切の責任を負いません。");
inline const QString ClosingNotice =
    QStringLiteral("この画面は「閉じる」ボタン、枠内のクリック、またはいずれかのキーで閉じます。");
// The font asked for first; where it is missing a Japanese sans font stands in.
inline const QString FontFamily = QStringLiteral("ＭＳ Ｐゴシック");
}  // namespace splash

// Form_Load's place for a window of `window` size on a screen area `screen`:
// horizontally centred and a quarter down,
//   left = (screen width - window width) / 2, top = (screen height - window height) / 4,
// measured from the screen area's top-left. A window larger than the screen
// keeps its top-left corner on the screen so that its title bar stays reachable.
QPoint splashPosition(const QRect& screen, const QSize& window);

// What the logic needs from the window.
class SplashView {
public:
  virtual ~SplashView() = default;
  // The usable area of the screen that shows the window.
  virtual QRect screenArea() const = 0;
  // The window's outer size.
  virtual QSize windowSize() const = 0;
  virtual void moveWindow(const QPoint& topLeft) = 0;
  // Unloads (closes) the window.
  virtual void unloadWindow() = 0;
};

class SplashLogic {
public:
  SplashLogic(SplashView& view, Shell& shell, QString productPage);

  // The address on Command1, opened by it.
  const QString& productPage() const { return productPage_; }

  void Form_Load();
  // Asks the shell to open the product page; the result is ignored.
  void Command1_Click();
  void Command2_Click();
  void Frame1_Click();
  // Any key that reaches the window closes it.
  void Form_KeyPress(int keyAscii);

private:
  SplashView& view_;
  Shell& shell_;
  QString productPage_;
};

}  // namespace kestrune::info
