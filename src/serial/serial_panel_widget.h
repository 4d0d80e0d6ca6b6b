// The serial settings panel's widgets. They only show; the SerialPanel decides.
#pragma once

#include "serial/serial_panel.h"

#include <QGroupBox>

#include <array>

class QComboBox;
class QLabel;

namespace kestrune::serial {

class SerialPanelWidget final : public QGroupBox, public SerialPanelView {
  Q_OBJECT
public:
  SerialPanelWidget(Port& port, const PortMap& map, MessageBoxes& boxes, QWidget* parent = nullptr);

  SerialPanel& logic() { return logic_; }

  void setListItems(RsList list, const QStringList& items) override;
  int selectedIndex(RsList list) const override;
  void selectIndex(RsList list, int index) override;
  void setDevicePath(const QString& path) override;

signals:
  void okClicked();
  void cancelClicked();

private:
  QComboBox* combo(RsList list) const { return combos_[static_cast<std::size_t>(list)]; }

  SerialPanel logic_;
  std::array<QComboBox*, 6> combos_{};
  QLabel* devicePath_ = nullptr;
};

}  // namespace kestrune::serial
