// A label and a combo box that shorten a text too long for their width with
// "…" instead of cutting it, and show it whole as their tool tip. Device
// names differ at their end (/dev/serial/by-id/usb-…-A50285BI-if00-port0),
// so the serial panel shortens them in the middle; the run window's last
// values are shortened at the end.
#pragma once

#include <QComboBox>
#include <QLabel>

namespace kestrune::serial {

class ElidedLabel final : public QLabel {
  Q_OBJECT
public:
  explicit ElidedLabel(Qt::TextElideMode mode, QWidget* parent = nullptr);

  // The whole text: shown as far as the width allows, and as the tool tip.
  void setFullText(const QString& text);
  const QString& fullText() const { return fullText_; }

protected:
  void resizeEvent(QResizeEvent* event) override;

private:
  void showFitting();

  Qt::TextElideMode mode_;
  QString fullText_;
};

// A combo box whose closed face shortens its current text in the middle; the
// open list shows every entry whole, and the box's tool tip the current one.
class MiddleElidedComboBox final : public QComboBox {
  Q_OBJECT
public:
  explicit MiddleElidedComboBox(QWidget* parent = nullptr);

  // The current text as the closed face shows it at the present width.
  QString shownText() const;

protected:
  void paintEvent(QPaintEvent* event) override;

private:
  QRect textRect() const;
};

}  // namespace kestrune::serial
