// The serial settings panel without widgets: fills the lists from channel 0's
// port, shows which device the chosen "Com n" is, and applies the selection
// to the port in three stages on OK.
#pragma once

#include "core/message_boxes.h"
#include "serial/port.h"
#include "serial/port_map.h"

#include <QStringList>

#include <array>

namespace kestrune::serial {

enum class RsList { Port, Speed, DataBits, Parity, StopBits, Flow };

class SerialPanelView {
public:
  virtual ~SerialPanelView() = default;
  virtual void setListItems(RsList list, const QStringList& items) = 0;
  // -1 when nothing is selected.
  virtual int selectedIndex(RsList list) const = 0;
  virtual void selectIndex(RsList list, int index) = 0;
  virtual void setDevicePath(const QString& path) = 0;
};

class SerialPanel {
public:
  SerialPanel(Port& port, const PortMap& map, SerialPanelView& view, MessageBoxes& boxes)
      : port_(port), map_(map), view_(view), boxes_(boxes) {}

  // Fills the lists once and selects the port's current values. A value the
  // lists lack (mark or space parity, a speed or data bits from a hand-made
  // settings file) gets an entry of its own, so the panel shows the truth.
  void LoadPropertySettings();

  // The device path of the selected port, shown beside the list.
  void cboPort_Click();

  // Applies port number, settings string and flow control, stopping at the
  // first stage the port refuses (with its description and a warning icon).
  // Returns true when everything was applied and the main panel may return.
  bool CommandRsOk();

  const QStringList& items(RsList list) const { return lists_[static_cast<std::size_t>(list)]; }

private:
  QString selectedText(RsList list) const;
  // Selects the entry `text`, adding it first when the list lacks it.
  void selectText(RsList list, const QString& text, bool numericOrder);

  Port& port_;
  const PortMap& map_;
  SerialPanelView& view_;
  MessageBoxes& boxes_;
  std::array<QStringList, 6> lists_;
};

}  // namespace kestrune::serial
