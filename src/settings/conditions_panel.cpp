#include "settings/conditions_panel.h"

#include "core/numeric_text.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kestrune::settings {

namespace {

QString decimal(double value) { return QString::number(value, 'g', 15); }

// Index 3, or no selection at all, stores both.
StampMode stampModeOfOption(int index) {
  switch (index) {
    case 0:
      return StampMode::None;
    case 1:
      return StampMode::Date;
    case 2:
      return StampMode::Time;
    default:
      return StampMode::DateAndTime;
  }
}

}  // namespace

QByteArray correctedStartColumn(const QByteArray& column) {
  const bool valid = column.size() == 1 ? (column >= "A" && column <= "Z") : (column >= "AA" && column <= "IA");
  QByteArray out = valid ? column : QByteArray("A");
  if (out.size() > 2) out.truncate(2);
  return out;
}

QString normalisedStartColumnInput(const QString& text) {
  QString s = text.trimmed().toUpper();
  if (s < QLatin1String("A")) s = QStringLiteral("A");
  if (s.size() == 1 && s > QLatin1String("Z")) s = QStringLiteral("Z");
  if (s.size() != 1 && s > QLatin1String("IA")) s = QStringLiteral("IA");
  if (s.size() > 2) s.truncate(2);
  return s;
}

void ConditionsPanel::showCellConditions() {
  SetupRecord& r = record_;
  r.acquireTimeMs = std::clamp(r.acquireTimeMs, MinMinutes * MsPerMinute, MaxMinutes * MsPerMinute);
  view_.setText(CondBox::Min, decimal(static_cast<double>(r.acquireTimeMs) / MsPerMinute));
  r.measureCount = std::clamp(r.measureCount, MinRows, MaxRows);
  view_.setText(CondBox::Rows, QString::number(r.measureCount));
  r.startCol = correctedStartColumn(r.startCol);
  r.startRow = std::clamp(r.startRow, MinStartRow, MaxStartRow);
  view_.setText(CondBox::StartCol, QString::fromLatin1(r.startCol));
  view_.setText(CondBox::StartRow, QString::number(r.startRow));
  const bool atCell = r.startAtCell();
  view_.selectOption(CondOption::Cell, atCell ? 1 : 0);
  view_.setBoxEnabled(CondBox::StartRow, atCell);
  view_.setBoxEnabled(CondBox::StartCol, atCell);
  const bool numbering = r.numberingOn();
  view_.selectOption(CondOption::Num, numbering ? 1 : 0);
  view_.setBoxEnabled(CondBox::CellNo, numbering);
  r.acquisitionNo = std::max(r.acquisitionNo, MinAcquisitionNo);
  view_.setText(CondBox::CellNo, QString::number(r.acquisitionNo));
  // A stored mode that names none of the four reads as none; storing the
  // mode again writes none in its place, as opening the panel always has.
  r.setStampMode(r.stampMode());
  // The stamp buttons by index as setup.dat numbers the modes: 0 none, 1 date, 2 time, 3 both.
  view_.selectOption(CondOption::Time, stampModeCode(r.stampMode()));
  view_.selectOption(CondOption::Protcol, r.scriptFromFile() ? 1 : 0);
}

void ConditionsPanel::OptionCell_Click(int index) {
  view_.setBoxEnabled(CondBox::StartRow, index == 1);
  view_.setBoxEnabled(CondBox::StartCol, index == 1);
}

void ConditionsPanel::OptionNum_Click(int index) { view_.setBoxEnabled(CondBox::CellNo, index == 1); }

void ConditionsPanel::clampBox(CondBox box, std::int32_t low, std::int32_t high) {
  view_.setText(box, QString::number(std::clamp(readWholeNumber(view_.text(box)), low, high)));
}

void ConditionsPanel::normaliseMinutes() { clampBox(CondBox::Min, MinMinutes, MaxMinutes); }
void ConditionsPanel::normaliseRows() { clampBox(CondBox::Rows, MinRows, MaxRows); }
void ConditionsPanel::normaliseStartRow() { clampBox(CondBox::StartRow, MinStartRow, MaxStartRow); }

void ConditionsPanel::TextMin_Enter() {
  normaliseMinutes();
  view_.focusBox(CondBox::Rows);
}

void ConditionsPanel::TextStartCol_LostFocus() {
  const QString column = normalisedStartColumnInput(view_.text(CondBox::StartCol));
  view_.setText(CondBox::StartCol, column);
  record_.startCol = column.toLatin1();
}

void ConditionsPanel::TextCellNo_LostFocus() {
  view_.setText(CondBox::CellNo,
                QString::number(std::max(readWholeNumber(view_.text(CondBox::CellNo)), MinAcquisitionNo)));
}

void ConditionsPanel::CommandCellOk() {
  SetupRecord& r = record_;
  r.acquireTimeMs = roundHalfEven32(readLeadingNumber(view_.text(CondBox::Min)) * MsPerMinute);
  r.startRow = readWholeNumber(view_.text(CondBox::StartRow));
  r.acquisitionNo = readWholeNumber(view_.text(CondBox::CellNo));
  r.measureCount = readWholeNumber(view_.text(CondBox::Rows));
  r.setStartAtCell(view_.selectedOption(CondOption::Cell) != 0);
  r.setStampMode(stampModeOfOption(view_.selectedOption(CondOption::Time)));
  r.setNumberingOn(view_.selectedOption(CondOption::Num) != 0);
  r.setScriptFromFile(view_.selectedOption(CondOption::Protcol) != 0);
}

}  // namespace kestrune::settings
