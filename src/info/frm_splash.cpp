#include "info/frm_splash.h"

#include "info/logo.h"
#include "info/manual_link.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QVBoxLayout>

namespace kestrune::info {

namespace {

constexpr int LogoSize = 64;

QLabel* label(const QString& text, const char* name, QWidget* parent) {
  auto* l = new QLabel(text, parent);
  l->setObjectName(QLatin1String(name));
  return l;
}

// A label that wraps its text, at least `width` wide and as high as the text needs there.
QLabel* wrapped(const QString& text, const char* name, QWidget* parent, int width) {
  QLabel* l = label(text, name, parent);
  l->setWordWrap(true);
  l->setMinimumWidth(width);
  l->setMinimumHeight(l->heightForWidth(width));
  return l;
}

bool isModifierOnly(int key) {
  switch (key) {
    case Qt::Key_Shift:
    case Qt::Key_Control:
    case Qt::Key_Meta:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock:
    case Qt::Key_ScrollLock:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_Hyper_L:
    case Qt::Key_Hyper_R:
      return true;
    default:
      return false;
  }
}

}  // namespace

QStringList splashFontFamilies() {
  return {splash::FontFamily,
          QStringLiteral("MS PGothic"),
          QStringLiteral("Noto Sans CJK JP"),
          QStringLiteral("Noto Sans JP"),
          QStringLiteral("IPAPGothic"),
          QStringLiteral("IPAexGothic"),
          QStringLiteral("VL PGothic"),
          QStringLiteral("TakaoPGothic"),
          QStringLiteral("Source Han Sans JP")};
}

QFont splashFont(int pointSize) {
  QFont font;
  font.setFamilies(splashFontFamilies());
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(pointSize);
  return font;
}

FrmSplash::FrmSplash(Shell& shell, const QString& productPage, QWidget* owner)
    : QWidget(owner, Qt::Dialog), logic_(*this, shell, productPage) {
  setObjectName(QStringLiteral("frmSplash"));
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(splash::Caption);
  setWindowIcon(logoIcon());
  setFont(splashFont());
  buildContents();
  // Key presses go to the focused button first; the filter sees them there.
  installEventFilter(this);
  for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);
}

void FrmSplash::buildContents() {
  auto* layout = new QVBoxLayout(this);

  auto* top = new QHBoxLayout;
  QFont bold = splashFont(14);
  bold.setBold(true);
  QLabel* name = label(splash::ProductName, "lblProductName", this);
  name->setFont(bold);
  QLabel* version = label(splash::versionText(), "lblVersion", this);
  version->setFont(bold);
  auto* command2 = new QPushButton(splash::Close, this);
  command2->setObjectName(QStringLiteral("Command2"));
  connect(command2, &QPushButton::clicked, this, [this] { logic_.Command2_Click(); });
  top->addWidget(name);
  top->addWidget(version);
  top->addStretch(1);
  top->addWidget(command2, 0, Qt::AlignTop);
  layout->addLayout(top);

  frame1_ = new QFrame(this);
  frame1_->setObjectName(QStringLiteral("Frame1"));
  frame1_->setFrameShape(QFrame::StyledPanel);
  frame1_->setFrameShadow(QFrame::Sunken);
  auto* grid = new QGridLayout(frame1_);

  QLabel* logo = label(QString(), "imgLogo", frame1_);
  logo->setPixmap(logoPixmap(LogoSize, devicePixelRatioF()));
  logo->setAlignment(Qt::AlignTop | Qt::AlignHCenter);
  grid->addWidget(logo, 0, 0, 8, 1);

  grid->addWidget(label(splash::About, "Label1_2", frame1_), 0, 1, 1, 2);
  grid->addWidget(label(splash::Contact, "lblWarning_7", frame1_), 1, 1, 1, 2);
  grid->addWidget(label(splash::MailLabel, "lblWarning_3", frame1_), 2, 1);
  grid->addWidget(label(splash::mailAddress(), "lblWarning_1", frame1_), 2, 2);
  grid->addWidget(label(splash::UrlLabel, "lblWarning_4", frame1_), 3, 1);
  auto* command1 = new QPushButton(logic_.productPage(), frame1_);
  command1->setObjectName(QStringLiteral("Command1"));
  command1->setCursor(Qt::PointingHandCursor);
  connect(command1, &QPushButton::clicked, this, [this] { logic_.Command1_Click(); });
  grid->addWidget(command1, 3, 2, Qt::AlignLeft);
  grid->addWidget(label(splash::DisclaimerTitle, "Label1_0", frame1_), 4, 1, 1, 2);
  // The two long texts wrap within the width of the longest unwrapped line; they
  // get the height they need at that width, so no line is cut off.
  const int textWidth = fontMetrics().horizontalAdvance(splash::Contact);
  QLabel* disclaimer = wrapped(splash::Disclaimer, "lblWarning_0", frame1_, textWidth);
  QLabel* notice = wrapped(splash::ClosingNotice, "lblNotice", frame1_, textWidth);
  grid->addWidget(disclaimer, 5, 1, 1, 2);
  grid->addWidget(notice, 6, 1, 1, 2);
  grid->setColumnStretch(2, 1);
  grid->setRowStretch(7, 1);
  layout->addWidget(frame1_, 1);
}

void FrmSplash::Form_Load() {
  adjustSize();
  logic_.Form_Load();
}

QRect FrmSplash::screenArea() const {
  const QScreen* s = screen() ? screen() : QGuiApplication::primaryScreen();
  return s ? s->availableGeometry() : QRect();
}

QSize FrmSplash::windowSize() const { return frameGeometry().size(); }

void FrmSplash::moveWindow(const QPoint& topLeft) { move(topLeft); }

void FrmSplash::unloadWindow() { close(); }

bool FrmSplash::handleKey(const QKeyEvent& event) {
  if (unloaded_ || isModifierOnly(event.key())) return false;
  const QString text = event.text();
  logic_.Form_KeyPress(text.isEmpty() ? event.key() : text.at(0).unicode());
  return true;
}

bool FrmSplash::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && handleKey(*static_cast<QKeyEvent*>(event))) return true;
  // A click on the frame, or on a label in it, which passes the click on to the frame.
  if (watched == frame1_ && event->type() == QEvent::MouseButtonPress &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton && !unloaded_) {
    logic_.Frame1_Click();
    return true;
  }
  return QWidget::eventFilter(watched, event);
}

void FrmSplash::closeEvent(QCloseEvent* event) {
  unloaded_ = true;
  QWidget::closeEvent(event);
  // The keyboard goes back to the window the information came from.
  if (QWidget* owner = parentWidget(); owner && owner->isVisible()) {
    owner->activateWindow();
    owner->setFocus(Qt::ActiveWindowFocusReason);
  }
}

FrmSplash* MenuLicense_Click(QWidget* owner, Shell& shell, const QString& programDir) {
  if (!owner) return nullptr;
  FrmSplash* window = nullptr;
  for (FrmSplash* candidate : owner->findChildren<FrmSplash*>(Qt::FindDirectChildrenOnly))
    if (!candidate->unloaded()) window = candidate;
  if (!window) {
    window = new FrmSplash(shell, productPageAddress(programDir), owner);
    // Placed once shown, when the size of its frame is known.
    window->show();
    window->Form_Load();
  }
  window->show();
  window->raise();
  window->activateWindow();
  if (auto* close = window->findChild<QPushButton*>(QStringLiteral("Command2"))) close->setFocus();
  return window;
}

}  // namespace kestrune::info
