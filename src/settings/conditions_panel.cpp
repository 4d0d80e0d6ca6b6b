#include "settings/conditions_panel.h"

#include "core/numeric_text.h"

namespace kestrune::settings {

namespace {

QString decimal(double value) { return QString::number(value, 'g', 15); }

}  // namespace

void ConditionsPanel::showCellConditions() {
  // A stored stamp mode that names none of the four reads as none; the
  // correction writes none in its place, as opening the panel always has.
  const Conditions c = corrected(holder_.conditions());
  holder_.setConditions(c, Rewrite::Corrected);
  view_.setText(CondBox::Min, decimal(static_cast<double>(c.acquireTimeMs) / MsPerMinute));
  view_.setText(CondBox::Rows, QString::number(c.rows));
  view_.setText(CondBox::StartCol, c.cursor.column);
  view_.setText(CondBox::StartRow, QString::number(c.cursor.row));
  view_.selectOption(CondOption::Cell, c.startAtCell ? 1 : 0);
  view_.setBoxEnabled(CondBox::StartRow, c.startAtCell);
  view_.setBoxEnabled(CondBox::StartCol, c.startAtCell);
  view_.selectOption(CondOption::Num, c.numbering ? 1 : 0);
  view_.setBoxEnabled(CondBox::CellNo, c.numbering);
  view_.setText(CondBox::CellNo, QString::number(c.cursor.acquisitionNo));
  // The stamp buttons by index as setup.dat numbers the modes.
  view_.selectOption(CondOption::Time, stampModeCode(c.stamp));
  view_.selectOption(CondOption::Protcol, c.scriptFromFile ? 1 : 0);
}

void ConditionsPanel::OptionCell_Click(int index) {
  view_.setBoxEnabled(CondBox::StartRow, index == 1);
  view_.setBoxEnabled(CondBox::StartCol, index == 1);
}

void ConditionsPanel::OptionNum_Click(int index) { view_.setBoxEnabled(CondBox::CellNo, index == 1); }

void ConditionsPanel::clampBox(CondBox box, Field field) { view_.setText(box, clampedBoxText(field, view_.text(box))); }

void ConditionsPanel::normaliseMinutes() { clampBox(CondBox::Min, Field::Minutes); }
void ConditionsPanel::normaliseRows() { clampBox(CondBox::Rows, Field::Rows); }
void ConditionsPanel::normaliseStartRow() { clampBox(CondBox::StartRow, Field::StartCell); }

void ConditionsPanel::TextMin_Enter() {
  normaliseMinutes();
  view_.focusBox(CondBox::Rows);
}

void ConditionsPanel::TextStartCol_LostFocus() {
  const QString column = normalisedStartColumnInput(view_.text(CondBox::StartCol));
  view_.setText(CondBox::StartCol, column);
  Conditions c = holder_.conditions();
  c.cursor.column = column;
  holder_.setConditions(c, Rewrite::Changed);
}

void ConditionsPanel::TextCellNo_LostFocus() {
  view_.setText(CondBox::CellNo, QString::number(std::max(readWholeNumber(view_.text(CondBox::CellNo)),
                                                          rangeOf(Field::AcquisitionNo).low)));
}

void ConditionsPanel::CommandCellOk() {
  Conditions c = holder_.conditions();
  c.acquireTimeMs = roundHalfEven32(readLeadingNumber(view_.text(CondBox::Min)) * MsPerMinute);
  c.cursor.row = readWholeNumber(view_.text(CondBox::StartRow));
  c.cursor.acquisitionNo = readWholeNumber(view_.text(CondBox::CellNo));
  c.rows = readWholeNumber(view_.text(CondBox::Rows));
  c.startAtCell = view_.selectedOption(CondOption::Cell) != 0;
  // No stamp button selected stores both, as index 3 does.
  const int stamp = view_.selectedOption(CondOption::Time);
  c.stamp = stamp >= 0 && stamp <= 2 ? stampModeOf(static_cast<std::int16_t>(stamp)) : StampMode::DateAndTime;
  c.numbering = view_.selectedOption(CondOption::Num) != 0;
  c.scriptFromFile = view_.selectedOption(CondOption::Protcol) != 0;
  holder_.setConditions(c, Rewrite::All);
}

}  // namespace kestrune::settings
