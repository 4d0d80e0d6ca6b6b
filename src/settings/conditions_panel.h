// The data acquisition conditions panel without widgets: shows the
// conditions corrected, normalises what is typed, stores on OK.
#pragma once

#include "settings/setup_record.h"

#include <QString>

namespace kestrune::settings {

enum class CondBox { Min, Rows, StartCol, StartRow, CellNo };

// Option groups; the index of the selected button is the value.
enum class CondOption { Cell, Protcol, Time, Num };

class ConditionsView {
public:
  virtual ~ConditionsView() = default;
  virtual QString text(CondBox box) const = 0;
  virtual void setText(CondBox box, const QString& text) = 0;
  virtual void setBoxEnabled(CondBox box, bool enabled) = 0;
  virtual int selectedOption(CondOption group) const = 0;
  virtual void selectOption(CondOption group, int index) = 0;
  virtual void focusBox(CondBox box) = 0;
};

class ConditionsPanel {
public:
  ConditionsPanel(ConditionsHolder& holder, ConditionsView& view) : holder_(holder), view_(view) {}

  // The minutes box shows 60 until the panel first opens.
  void showDefaultMinutes() { view_.setText(CondBox::Min, QStringLiteral("60")); }
  // Corrects the conditions (kept at once) and shows them.
  void showCellConditions();

  void OptionCell_Click(int index);
  void OptionNum_Click(int index);

  void TextMin_LostFocus() { normaliseMinutes(); }
  void TextMin_Enter();
  void TextRows_LostFocus() { normaliseRows(); }
  void TextRows_Enter() { normaliseRows(); }
  void TextStartRow_LostFocus() { normaliseStartRow(); }
  void TextStartRow_Enter() { normaliseStartRow(); }
  // Normalises the start column and stores it at once.
  void TextStartCol_LostFocus();
  // Moves the focus on, so the box's own lost-focus rule runs.
  void TextStartCol_Enter() { view_.focusBox(CondBox::StartRow); }
  void TextCellNo_LostFocus();

  void normaliseMinutes();
  void normaliseRows();
  void normaliseStartRow();

  // The cell cursor shown in the start column and start row boxes.
  void showStartCell(const QString* column, const QString* row) {
    if (column) view_.setText(CondBox::StartCol, *column);
    if (row) view_.setText(CondBox::StartRow, *row);
  }

  // Stores the boxes and options.
  void CommandCellOk();

private:
  void clampBox(CondBox box, Field field);

  ConditionsHolder& holder_;
  ConditionsView& view_;
};

}  // namespace kestrune::settings
