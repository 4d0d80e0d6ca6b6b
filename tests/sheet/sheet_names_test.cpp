#include "sheet/sheet_names.h"

#include <gtest/gtest.h>

namespace kestrune::sheet {
namespace {

TEST(SheetNamesTest, TheNextSheetIsNamedAfterTheFirstWithAFreeCounter) {
  const QString long31 = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcde");
  const QString kanji = QString(15, QChar(0x6E2C)) + QStringLiteral("X") + QString(15, QChar(0x5B9A));
  QStringList nine{long31};  // (2) to (9) taken: "(10)" needs one more character
  for (int n = 2; n <= 9; ++n) nine << long31.left(27) + QStringLiteral(" (%1)").arg(n);
  const struct {
    QString first;
    QStringList existing;
    std::optional<QString> expected;
  } cases[] = {
      {"Sheet1", {"Sheet1"}, QStringLiteral("Sheet1 (2)")},
      {"Sheet1", {"Sheet1", "SHEET1 (2)", "sheet1 (3)"}, QStringLiteral("Sheet1 (4)")},  // case-blind
      {"Sheet1 (2)", {"Sheet1", "Sheet1 (2)"}, QStringLiteral("Sheet1 (3)")},            // counts on from its base
      {"Data (2019)", {"Data (2019)"}, QStringLiteral("Data (2019) (2)")},               // no such base
      {long31, {long31}, long31.left(27) + QStringLiteral(" (2)")},
      {long31, nine, long31.left(26) + QStringLiteral(" (10)")},
      {kanji, {kanji}, kanji.left(27) + QStringLiteral(" (2)")},
      {"", {""}, std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(continuationSheetName(c.first, c.existing), c.expected) << c.first.toStdString();
}

}  // namespace
}  // namespace kestrune::sheet
