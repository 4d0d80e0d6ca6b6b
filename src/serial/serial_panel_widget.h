// The serial settings panel's widgets. They only show; the SerialPanel decides.
#pragma once

#include "serial/serial_panel.h"

#include <QGroupBox>

#include <array>
#include <memory>

class QComboBox;

namespace kestrune::serial {

class ElidedLabel;

class SerialPanelWidget final : public QGroupBox, public SerialPanelView {
  Q_OBJECT
public:
  // `map` is the map `file` holds; `devices` lists the serial devices present
  // (SystemDeviceSource in the program, a fake in tests).
  SerialPanelWidget(LineHolder& line, PortMap map, PortMapFile file, std::unique_ptr<DeviceSource> devices,
                    QWidget* parent = nullptr);

  SerialPanel& logic() { return logic_; }

  void setListItems(RsList list, const QStringList& items) override;
  int selectedIndex(RsList list) const override;
  void selectIndex(RsList list, int index) override;
  void setDevicePath(const QString& path) override;
  void setDeviceChoices(const std::vector<DeviceChoice>& choices, int selected) override;
  int selectedDevice() const override;

signals:
  void okClicked();
  void cancelClicked();

protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void hideEvent(QHideEvent* event) override;

private:
  QComboBox* combo(RsList list) const { return combos_[static_cast<std::size_t>(list)]; }

  // Declared before the logic, which holds a reference to it.
  std::unique_ptr<DeviceSource> devices_;
  SerialPanel logic_;
  std::array<QComboBox*, LineListCount + 1> combos_{};
  QComboBox* device_ = nullptr;
  ElidedLabel* devicePath_ = nullptr;
};

}  // namespace kestrune::serial
