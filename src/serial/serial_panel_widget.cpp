#include "serial/serial_panel_widget.h"

#include "serial/elided_widgets.h"
#include "serial/serial_panel_texts.h"

#include <QKeyEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace kestrune::serial {

using namespace panel_text;

namespace {

// How many characters of an entry the closed device chooser shows; the open
// list and the tooltip show it whole.
constexpr int DeviceChooserWidth = 28;

QGroupBox* framed(const QString& caption, QWidget* content, QWidget* parent) {
  auto* g = new QGroupBox(caption, parent);
  auto* l = new QVBoxLayout(g);
  l->addWidget(content);
  return g;
}

}  // namespace

SerialPanelWidget::SerialPanelWidget(LineHolder& line, PortMap map, PortMapFile file,
                                     std::unique_ptr<DeviceSource> devices, QWidget* parent)
    : QGroupBox(CapPanel, parent),
      devices_(std::move(devices)),
      logic_(line, std::move(map), std::move(file), *devices_, *this) {
  setObjectName(QStringLiteral("FrameRs"));
  const char* names[] = {"cboPort", "cboSpeed", "cboDataBits", "cboParity", "cboStopBits", "cboFlow", "cboChannel"};
  for (std::size_t i = 0; i < combos_.size(); ++i) {
    combos_[i] = new QComboBox(this);
    combos_[i]->setObjectName(QLatin1String(names[i]));
  }
  device_ = new MiddleElidedComboBox(this);
  device_->setObjectName(QStringLiteral("cboDevice"));
  device_->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
  device_->setMinimumContentsLength(DeviceChooserWidth);
  devicePath_ = new ElidedLabel(Qt::ElideMiddle, this);
  devicePath_->setObjectName(QStringLiteral("lblDevice"));
  devicePath_->setTextInteractionFlags(Qt::TextSelectableByMouse);

  auto* portBox = new QWidget(this);
  auto* portLayout = new QGridLayout(portBox);
  portLayout->setContentsMargins(0, 0, 0, 0);
  portLayout->addWidget(combo(RsList::Port), 0, 0);
  portLayout->addWidget(new QLabel(CapDevice, portBox), 0, 1);
  portLayout->addWidget(device_, 0, 2);
  portLayout->addWidget(devicePath_, 1, 2);
  portLayout->setColumnStretch(2, 1);

  auto* connection = new QGroupBox(CapConnection, this);
  connection->setObjectName(QStringLiteral("fraConnection"));
  auto* connectionLayout = new QGridLayout(connection);
  connectionLayout->addWidget(new QLabel(CapDataBits, connection), 0, 0);
  connectionLayout->addWidget(combo(RsList::DataBits), 0, 1);
  connectionLayout->addWidget(new QLabel(CapParity, connection), 1, 0);
  connectionLayout->addWidget(combo(RsList::Parity), 1, 1);
  connectionLayout->addWidget(new QLabel(CapStopBits, connection), 2, 0);
  connectionLayout->addWidget(combo(RsList::StopBits), 2, 1);

  // The channel whose line the frames show, at the top of the right column,
  // where the connection frame leaves room: the panel keeps its height.
  auto* channelRow = new QHBoxLayout;
  channelRow->addWidget(new QLabel(CapChannel, this));
  channelRow->addWidget(combo(RsList::Channel), 1);

  auto* layout = new QGridLayout(this);
  layout->addWidget(framed(CapPort, portBox, this), 0, 0, 2, 1);
  layout->addLayout(channelRow, 0, 1, Qt::AlignBottom);
  layout->addWidget(framed(CapSpeed, combo(RsList::Speed), this), 2, 0);
  layout->addWidget(framed(CapFlow, combo(RsList::Flow), this), 3, 0);
  layout->addWidget(connection, 1, 1, 3, 1);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch();
  auto* ok = new QPushButton(CapOk, this);
  ok->setObjectName(QStringLiteral("CommandRsOk"));
  auto* cancel = new QPushButton(CapCancel, this);
  cancel->setObjectName(QStringLiteral("CommandRsNg"));
  buttons->addWidget(ok);
  buttons->addWidget(cancel);
  layout->addLayout(buttons, 4, 0, 1, 2);

  connect(ok, &QPushButton::clicked, this, &SerialPanelWidget::okClicked);
  connect(cancel, &QPushButton::clicked, this, [this] {
    logic_.CommandRsNg();
    emit cancelClicked();
  });
  // Tab goes down the left column, then down the right one, then to the buttons.
  QWidget* order[] = {combo(RsList::Port),
                      device_,
                      combo(RsList::Speed),
                      combo(RsList::Flow),
                      combo(RsList::Channel),
                      combo(RsList::DataBits),
                      combo(RsList::Parity),
                      combo(RsList::StopBits),
                      ok,
                      cancel};
  for (std::size_t i = 1; i < std::size(order); ++i) setTabOrder(order[i - 1], order[i]);

  connect(combo(RsList::Channel), &QComboBox::activated, this, [this] { logic_.cboChannel_Click(); });
  connect(combo(RsList::Port), &QComboBox::activated, this, [this] { logic_.cboPort_Click(); });
  connect(device_, &QComboBox::activated, this, [this] { logic_.cboDevice_Click(); });
}

void SerialPanelWidget::showEvent(QShowEvent* event) {
  QGroupBox::showEvent(event);
  combo(RsList::Port)->setFocus(Qt::OtherFocusReason);
  logic_.setPanelVisible(true);
}

void SerialPanelWidget::hideEvent(QHideEvent* event) {
  QGroupBox::hideEvent(event);
  logic_.setPanelVisible(false);
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
void SerialPanelWidget::setDevicePath(const QString& path) { devicePath_->setFullText(path); }

void SerialPanelWidget::setDeviceChoices(const std::vector<DeviceChoice>& choices, int selected) {
  device_->clear();
  for (const DeviceChoice& choice : choices) {
    device_->addItem(choice.caption);
    device_->setItemData(device_->count() - 1, choice.path, Qt::ToolTipRole);
  }
  device_->setCurrentIndex(selected);
}

int SerialPanelWidget::selectedDevice() const { return device_->currentIndex(); }

void SerialPanelWidget::keyPressEvent(QKeyEvent* event) {
  // Esc cancels and Enter confirms the panel, as in a dialog; a button that
  // has the focus takes Enter itself. (The number boxes use Enter first.)
  QPushButton* target = nullptr;
  if (event->key() == Qt::Key_Escape) {
    target = findChild<QPushButton*>(QStringLiteral("CommandRsNg"));
  } else if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
    target = qobject_cast<QPushButton*>(focusWidget());
    if (!target) target = findChild<QPushButton*>(QStringLiteral("CommandRsOk"));
  }
  if (!target) return QGroupBox::keyPressEvent(event);
  target->click();
}

}  // namespace kestrune::serial
