#include "serial/elided_widgets.h"

#include <QStyleOptionComboBox>
#include <QStylePainter>

namespace kestrune::serial {

ElidedLabel::ElidedLabel(Qt::TextElideMode mode, QWidget* parent) : QLabel(parent), mode_(mode) {
  // The layout decides the width; the text follows it, never the other way.
  setSizePolicy(QSizePolicy::Ignored, sizePolicy().verticalPolicy());
  setMinimumHeight(fontMetrics().height());
}

void ElidedLabel::setFullText(const QString& text) {
  fullText_ = text;
  showFitting();
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
  QLabel::resizeEvent(event);
  showFitting();
}

void ElidedLabel::showFitting() {
  const int room = contentsRect().width() - 2 * margin() - 2 * indent();
  const QString shown = fontMetrics().elidedText(fullText_, mode_, std::max(0, room));
  if (shown != text()) setText(shown);
  setToolTip(fullText_);
}

MiddleElidedComboBox::MiddleElidedComboBox(QWidget* parent) : QComboBox(parent) {
  connect(this, &QComboBox::currentTextChanged, this, [this](const QString& text) { setToolTip(text); });
}

QRect MiddleElidedComboBox::textRect() const {
  QStyleOptionComboBox option;
  initStyleOption(&option);
  return style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, this);
}

QString MiddleElidedComboBox::shownText() const {
  return fontMetrics().elidedText(currentText(), Qt::ElideMiddle, textRect().width());
}

void MiddleElidedComboBox::paintEvent(QPaintEvent*) {
  // As QComboBox paints itself, with the label's text shortened first.
  QStylePainter painter(this);
  painter.setPen(palette().color(QPalette::Text));
  QStyleOptionComboBox option;
  initStyleOption(&option);
  painter.drawComplexControl(QStyle::CC_ComboBox, option);
  option.currentText = shownText();
  painter.drawControl(QStyle::CE_ComboBoxLabel, option);
}

}  // namespace kestrune::serial
