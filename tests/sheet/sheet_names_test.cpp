#include "sheet/sheet_names.h"

#include <gtest/gtest.h>

namespace kestrune::sheet {
namespace {

TEST(SheetNamesTest, TheNextSheetIsNamedAfterTheFirstWithAFreeCounter) {
  const QString base31 = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcde");  // 31 characters
  const QString kanji = QString(15, QChar(0x6E2C)) + QStringLiteral("X") + QString(15, QChar(0x5B9A));
  const struct {
    QString first;
    QStringList existing;
    std::optional<QString> expected;
  } cases[] = {
      {"Sheet1", {"Sheet1"}, QStringLiteral("Sheet1 (2)")},
      {"Sheet1", {"Sheet1", "Sheet1 (2)"}, QStringLiteral("Sheet1 (3)")},
      // Compared case-blind, as the applications do.
      {"Sheet1", {"Sheet1", "SHEET1 (2)", "sheet1 (3)"}, QStringLiteral("Sheet1 (4)")},
      // A run that starts on a continuation sheet counts on from its base.
      {"Sheet1 (2)", {"Sheet1", "Sheet1 (2)"}, QStringLiteral("Sheet1 (3)")},
      // Without that base the counter is part of the name.
      {"Data (2019)", {"Data (2019)"}, QStringLiteral("Data (2019) (2)")},
      // The base is shortened to leave room for the counter.
      {base31, {base31}, QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZa (2)")},
      {base31, {base31, "ABCDEFGHIJKLMNOPQRSTUVWXYZa (2)"}, QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZa (3)")},
      {kanji, {kanji}, kanji.left(27) + QStringLiteral(" (2)")},
      {"", {""}, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first.toStdString());
    const std::optional<QString> name = continuationSheetName(c.first, c.existing);
    EXPECT_EQ(name, c.expected);
    if (name) {
      EXPECT_LE(name->size(), MaxSheetNameLength);
    }
  }
  // Ten names taken: the counter goes past them, "(10)" needing one more character.
  QStringList taken{base31};
  for (int n = 2; n <= 9; ++n) taken << base31.left(27) + QStringLiteral(" (%1)").arg(n);
  EXPECT_EQ(continuationSheetName(base31, taken), base31.left(26) + QStringLiteral(" (10)"));
}

}  // namespace
}  // namespace kestrune::sheet
