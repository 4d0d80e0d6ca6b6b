// The data acquisition conditions panel's widgets. They only show; the
// ConditionsPanel decides.
#pragma once

#include "settings/conditions_panel.h"

#include <QGroupBox>

#include <array>

class QButtonGroup;
class QLineEdit;

namespace kestrune::settings {

class ConditionsPanelWidget final : public QGroupBox, public ConditionsView {
  Q_OBJECT
public:
  explicit ConditionsPanelWidget(ConditionsHolder& holder, QWidget* parent = nullptr);

  ConditionsPanel& logic() { return logic_; }

  QString text(CondBox box) const override;
  void setText(CondBox box, const QString& text) override;
  void setBoxEnabled(CondBox box, bool enabled) override;
  int selectedOption(CondOption group) const override;
  void selectOption(CondOption group, int index) override;
  void focusBox(CondBox box) override;

signals:
  void okClicked();
  void cancelClicked();

protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  // The first box takes the focus each time the panel shows.
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

private:
  QLineEdit* box(CondBox b) const { return boxes_[static_cast<std::size_t>(b)]; }
  QButtonGroup* group(CondOption g) const { return groups_[static_cast<std::size_t>(g)]; }

  ConditionsPanel logic_;
  std::array<QLineEdit*, 5> boxes_{};
  std::array<QButtonGroup*, 4> groups_{};
};

}  // namespace kestrune::settings
