// The communication log: the text of the run window's log box. Appending a
// line honours backspaces, drops CR and LF inside the line, and keeps the log
// short by cutting its first 4096 characters once it holds more than 8000.
#pragma once

#include <QString>

namespace kestrune::app {

class CommLog {
public:
  static constexpr qsizetype TrimAbove = 8000;
  static constexpr qsizetype TrimLength = 4096;

  // Appends `text` as one line (followed by CR LF).
  void termAppend(QString text);
  void clear() { text_.clear(); }
  const QString& text() const { return text_; }
  void setText(const QString& text) { text_ = text; }

private:
  QString text_;
};

}  // namespace kestrune::app
