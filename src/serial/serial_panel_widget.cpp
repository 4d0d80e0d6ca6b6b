#include "serial/serial_panel_widget.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace kestrune::serial {

namespace {

const QString CapPanel = QStringLiteral("RS232C通信条件");
const QString CapPort = QStringLiteral("ポート");
const QString CapSpeed = QStringLiteral("通信速度");
const QString CapConnection = QStringLiteral("接続設定");
const QString CapDataBits = QStringLiteral("ﾃﾞｰﾀ ﾋﾞｯﾄ：");
const QString CapParity = QStringLiteral("ﾊﾟﾘﾃｨ：");
const QString CapStopBits = QStringLiteral("ｽﾄｯﾌﾟ ﾋﾞｯﾄ：");
const QString CapFlow = QStringLiteral("ﾌﾛｰ制御(&F)");
const QString CapOk = QStringLiteral("OK");
const QString CapCancel = QStringLiteral("ｷｬﾝｾﾙ");

QGroupBox* framed(const QString& caption, QWidget* content, QWidget* parent) {
  auto* g = new QGroupBox(caption, parent);
  auto* l = new QVBoxLayout(g);
  l->addWidget(content);
  return g;
}

}  // namespace

SerialPanelWidget::SerialPanelWidget(Port& port, const PortMap& map, MessageBoxes& boxes, QWidget* parent)
    : QGroupBox(CapPanel, parent), logic_(port, map, *this, boxes) {
  setObjectName(QStringLiteral("FrameRs"));
  const char* names[] = {"cboPort", "cboSpeed", "cboDataBits", "cboParity", "cboStopBits", "cboFlow"};
  for (std::size_t i = 0; i < combos_.size(); ++i) {
    combos_[i] = new QComboBox(this);
    combos_[i]->setObjectName(QLatin1String(names[i]));
  }
  devicePath_ = new QLabel(this);
  devicePath_->setObjectName(QStringLiteral("lblDevice"));
  devicePath_->setTextInteractionFlags(Qt::TextSelectableByMouse);

  auto* portBox = new QWidget(this);
  auto* portLayout = new QHBoxLayout(portBox);
  portLayout->setContentsMargins(0, 0, 0, 0);
  portLayout->addWidget(combo(RsList::Port));
  portLayout->addWidget(devicePath_, 1);

  auto* connection = new QGroupBox(CapConnection, this);
  connection->setObjectName(QStringLiteral("fraConnection"));
  auto* connectionLayout = new QGridLayout(connection);
  connectionLayout->addWidget(new QLabel(CapDataBits, connection), 0, 0);
  connectionLayout->addWidget(combo(RsList::DataBits), 0, 1);
  connectionLayout->addWidget(new QLabel(CapParity, connection), 1, 0);
  connectionLayout->addWidget(combo(RsList::Parity), 1, 1);
  connectionLayout->addWidget(new QLabel(CapStopBits, connection), 2, 0);
  connectionLayout->addWidget(combo(RsList::StopBits), 2, 1);

  auto* layout = new QGridLayout(this);
  layout->addWidget(framed(CapPort, portBox, this), 0, 0);
  layout->addWidget(framed(CapSpeed, combo(RsList::Speed), this), 1, 0);
  layout->addWidget(framed(CapFlow, combo(RsList::Flow), this), 2, 0);
  layout->addWidget(connection, 0, 1, 3, 1);

  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  auto* ok = new QPushButton(CapOk, this);
  ok->setObjectName(QStringLiteral("CommandRsOk"));
  auto* cancel = new QPushButton(CapCancel, this);
  cancel->setObjectName(QStringLiteral("CommandRsNg"));
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  layout->addLayout(buttons, 3, 0, 1, 2);

  connect(ok, &QPushButton::clicked, this, &SerialPanelWidget::okClicked);
  connect(cancel, &QPushButton::clicked, this, &SerialPanelWidget::cancelClicked);
  connect(combo(RsList::Port), &QComboBox::activated, this, [this] { logic_.cboPort_Click(); });
}

void SerialPanelWidget::setListItems(RsList list, const QStringList& items) {
  QComboBox* c = combo(list);
  const int keep = c->currentIndex();
  c->clear();
  c->addItems(items);
  c->setCurrentIndex(keep < items.size() ? keep : -1);
}

int SerialPanelWidget::selectedIndex(RsList list) const { return combo(list)->currentIndex(); }
void SerialPanelWidget::selectIndex(RsList list, int index) { combo(list)->setCurrentIndex(index); }
void SerialPanelWidget::setDevicePath(const QString& path) { devicePath_->setText(path); }

}  // namespace kestrune::serial
