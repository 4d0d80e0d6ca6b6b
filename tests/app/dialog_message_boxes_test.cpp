// Message boxes as wide as their text up to a limit: a short message on one
// line, a long one wrapped at the limit rather than at Qt's narrower default.
#include "app/dialog_message_boxes.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>

#include <gtest/gtest.h>

namespace kestrune::app {
namespace {

TEST(DialogMessageBoxesTest, TextsTakeOneLineUpToTheLimitAndWrapBeyondIt) {
  const QString sentence = QStringLiteral("測定データを書き込めませんでした。");
  const struct {
    const char* name;
    QString text;
    QString informative;
    bool oneLine;
  } cases[] = {
      {"short",
       QStringLiteral("ブックを開けません: 第一工場の測定データ.xls は読み取り専用でしか開けません"),
       {},
       true},
      {"path", QStringLiteral("エクセルが起動できません！"),
       QStringLiteral("/home/kestrune/measurements/2026/line3/first-plant-book-of-the-night-shift.xls"), true},
      {"long", sentence.repeated(12), {}, false},
  };
  DialogMessageBoxes boxes;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::unique_ptr<QMessageBox> box = boxes.makeBox(c.text, MessageIcon::Warning, c.informative);
    box->show();
    QCoreApplication::processEvents();
    const int limit = std::min(DialogMessageBoxes::MaxTextWidth, box->screen()->availableGeometry().width() * 8 / 10);
    for (const char* name : {"qt_msgbox_label", "qt_msgbox_informativelabel"}) {
      const auto* label = box->findChild<QLabel*>(QLatin1String(name));
      if (!label || label->text().isEmpty()) continue;
      SCOPED_TRACE(name);
      const QFontMetrics metrics = label->fontMetrics();
      const int textWidth = metrics.horizontalAdvance(label->text());
      if (c.oneLine) {
        EXPECT_GE(label->width(), textWidth);
        EXPECT_EQ(label->heightForWidth(label->width()), label->heightForWidth(QWIDGETSIZE_MAX / 2));
      } else {
        ASSERT_GT(textWidth, limit);  // the case needs a text beyond the limit
        EXPECT_GE(label->width(), limit - 2);
        EXPECT_LE(label->width(), limit + 2);
        EXPECT_GE(label->height(), label->heightForWidth(label->width()));
      }
    }
    box->hide();
  }
}

}  // namespace
}  // namespace kestrune::app
