// What the interpreter shows while a run goes on: the run window's message
// label, its Next button and the communication log, and the acquisition
// number on the main window. The run window, the headless runner and the
// tests each provide one.
#pragma once

#include "sheet/spreadsheet_app.h"

#include <QString>

#include <vector>

namespace kestrune::script {

class RunView {
public:
  virtual ~RunView() = default;
  // LabelMess.
  virtual void setMessage(const QString& text) = 0;
  // Makes Next visible and gives it the focus (a PAU step waits).
  virtual void showNextButton() = 0;
  // Appends one line to the communication log.
  virtual void termAppend(const QString& line) = 0;
  // TextCellNo on the main window.
  virtual void showAcquisitionNo(const QString& number) = 0;
  // Lets pending user-interface and port events run once.
  virtual void pumpEvents() = 0;
  // An acquisition has ended with these values in its row (empty when none
  // came); for progress displays and charts.
  virtual void rowCompleted(const std::vector<sheet::CellValue>& values) { static_cast<void>(values); }
  // The script has run to its end; called before the end message is shown.
  virtual void scriptFinished() {}
};

}  // namespace kestrune::script
