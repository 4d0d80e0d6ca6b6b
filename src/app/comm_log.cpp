#include "app/comm_log.h"

namespace kestrune::app {

void CommLog::termAppend(QString text) {
  qsizetype n = text_.size();
  if (n > TrimAbove) {
    text_.remove(0, TrimLength);
    n = text_.size();
  }
  // The appended text replaces the selection: normally empty at the end of
  // the log; a leading backspace selects the log's last character instead.
  qsizetype selectionStart = n;
  qsizetype selectionLength = 0;
  for (qsizetype p = text.indexOf(QChar(8)); p >= 0; p = text.indexOf(QChar(8))) {
    if (p == 0) {
      if (n > 0) {
        selectionStart = n - 1;
        selectionLength = 1;
      }
      text.remove(0, 1);
    } else {
      text.remove(p - 1, 2);
    }
  }
  text.remove(QChar(10));
  text.remove(QChar(13));
  text.append(QStringLiteral("\r\n"));
  text_.replace(selectionStart, selectionLength, text);
}

}  // namespace kestrune::app
