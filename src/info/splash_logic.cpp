#include "info/splash_logic.h"

#include <algorithm>
#include <utility>

namespace kestrune::info {

QString splash::versionText() { return QStringLiteral("Ver. ") + QStringLiteral(KESTRUNE_VERSION); }

QString splash::mailAddress() {
  const QString address = QStringLiteral(KESTRUNE_SUPPORT_EMAIL);
  // Local mail is read by whoever looks after this computer: say who that is.
  if (address.endsWith(QStringLiteral("@localhost"))) return address + QStringLiteral("（このコンピューターの管理者）");
  return address;
}

QPoint splashPosition(const QRect& screen, const QSize& window) {
  const int left = (screen.width() - window.width()) / 2;
  const int top = (screen.height() - window.height()) / 4;
  return {screen.x() + std::max(left, 0), screen.y() + std::max(top, 0)};
}

SplashLogic::SplashLogic(SplashView& view, Shell& shell, QString productPage)
    : view_(view), shell_(shell), productPage_(std::move(productPage)) {}

void SplashLogic::Form_Load() { view_.moveWindow(splashPosition(view_.screenArea(), view_.windowSize())); }

void SplashLogic::Command1_Click() {
  // Whatever goes wrong is the desktop's to report.
  [[maybe_unused]] const Status ignored = shell_.open(productPage_);
}

void SplashLogic::Command2_Click() { view_.unloadWindow(); }

void SplashLogic::Frame1_Click() { view_.unloadWindow(); }

void SplashLogic::Form_KeyPress(int) { view_.unloadWindow(); }

}  // namespace kestrune::info
