#include "info/logo.h"

#include <QFile>
#include <QImage>
#include <QMap>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

namespace kestrune::info {
namespace {

const QString PackagingDir = QStringLiteral(KESTRUNE_SOURCE_DIR "/packaging");

QColor pixelAt(const QImage& image, double x, double y) {
  return image.pixelColor(static_cast<int>(x * image.width() / 64.0), static_cast<int>(y * image.height() / 64.0));
}

TEST(Logo, PixmapHasTheAskedSizeAndTransparentCorners) {
  for (const int size : {16, 64, 100}) {
    const QImage image = logoPixmap(size).toImage();
    ASSERT_EQ(image.size(), QSize(size, size));
    EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0) << size;
    EXPECT_EQ(image.pixelColor(size - 1, size - 1).alpha(), 0) << size;
  }
}

TEST(Logo, DrawsTheBackgroundTraceAndSamplePoint) {
  const QImage image = logoPixmap(256).toImage();
  // Inside the rounded square, away from the trace: the dark background.
  EXPECT_EQ(pixelAt(image, 56, 12), QColor(0x17, 0x45, 0x5a));
  // The centre of the sample point.
  EXPECT_EQ(pixelAt(image, 52, 32), QColor(0xf2, 0xa0, 0x3d));
  // A point on the trace's first flat part.
  EXPECT_EQ(pixelAt(image, 13, 38), QColor(Qt::white));
}

TEST(Logo, HighDensityPixmapKeepsItsLogicalSize) {
  const QPixmap pixmap = logoPixmap(32, 2.0);
  EXPECT_EQ(pixmap.width(), 64);
  EXPECT_DOUBLE_EQ(pixmap.devicePixelRatio(), 2.0);
}

TEST(Logo, NoSizeGivesNoPixmap) {
  EXPECT_TRUE(logoPixmap(0).isNull());
  EXPECT_TRUE(logoPixmap(-5).isNull());
}

TEST(Logo, IconOffersSeveralSizes) {
  const QIcon icon = logoIcon();
  EXPECT_GE(icon.availableSizes().size(), 4);
  EXPECT_TRUE(icon.availableSizes().contains(QSize(48, 48)));
}

// The SVG used as the desktop icon: well-formed, square 64 x 64 view box, with
// the same colours as the drawn logo.
TEST(LogoSvg, IsAWellFormedSquareDrawing) {
  QFile file(PackagingDir + QStringLiteral("/kestrune.svg"));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QByteArray text = file.readAll();
  QXmlStreamReader xml(text);
  QString viewBox;
  int elements = 0;
  while (!xml.atEnd()) {
    if (xml.readNext() == QXmlStreamReader::StartElement) {
      ++elements;
      if (xml.name() == QLatin1String("svg")) viewBox = xml.attributes().value(QLatin1String("viewBox")).toString();
    }
  }
  EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
  EXPECT_EQ(viewBox, QStringLiteral("0 0 64 64"));
  EXPECT_GE(elements, 4);
  for (const char* colour : {"#17455a", "#f2a03d", "#ffffff"}) EXPECT_TRUE(text.contains(colour)) << colour;
  EXPECT_FALSE(text.contains("href=")) << "no external references";
}

// The desktop entry as the menus read it.
TEST(DesktopEntry, NamesTheProgramAndItsIcon) {
  QFile file(PackagingDir + QStringLiteral("/kestrune.desktop"));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly | QIODevice::Text));
  QStringList lines = QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'));
  ASSERT_FALSE(lines.isEmpty());
  EXPECT_EQ(lines.front(), QStringLiteral("[Desktop Entry]"));
  QMap<QString, QString> entries;
  for (const QString& line : lines) {
    const qsizetype equals = line.indexOf(QLatin1Char('='));
    if (line.startsWith(QLatin1Char('#')) || equals <= 0) continue;
    EXPECT_FALSE(entries.contains(line.left(equals))) << "duplicate key " << line.toStdString();
    entries.insert(line.left(equals), line.mid(equals + 1));
  }
  EXPECT_EQ(entries.value(QStringLiteral("Type")), QStringLiteral("Application"));
  EXPECT_EQ(entries.value(QStringLiteral("Name")), QStringLiteral("Kestrune"));
  EXPECT_EQ(entries.value(QStringLiteral("Exec")).section(QLatin1Char(' '), 0, 0), QStringLiteral("kestrune"));
  EXPECT_EQ(entries.value(QStringLiteral("Icon")), QStringLiteral("kestrune"));
  EXPECT_EQ(entries.value(QStringLiteral("Categories")), QStringLiteral("Science;Utility;"));
  EXPECT_EQ(entries.value(QStringLiteral("Terminal")), QStringLiteral("false"));
  const QString comment = entries.value(QStringLiteral("Comment"));
  ASSERT_FALSE(comment.isEmpty());
  // A Japanese comment: it has kana or kanji.
  bool japanese = false;
  for (const QChar c : comment) japanese = japanese || (c.unicode() >= 0x3040 && c.unicode() <= 0x9FFF);
  EXPECT_TRUE(japanese) << comment.toStdString();
}

}  // namespace
}  // namespace kestrune::info
