// The pure conversions of the built-in application: stamps to serials,
// logger values to engine values, the text cells show, save failure causes.
#include "sheet/embedded/cell_text.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <ostream>

namespace kestrune::sheet::embedded {
namespace {

using xls::DateKind;

// ---- Numbers, dates, errors as cells show them ------------------------------

struct NumberCase {
  double number;
  const char* text;
};

void PrintTo(const NumberCase& c, std::ostream* os) { *os << c.number << " -> " << c.text; }

class NumberTextTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberTextTest, ShowsLikeTheGeneralFormat) {
  EXPECT_EQ(numberText(GetParam().number), QString::fromUtf8(GetParam().text)) << GetParam().number;
}

INSTANTIATE_TEST_SUITE_P(Numbers, NumberTextTest,
                         ::testing::Values(NumberCase{0.0, "0"}, NumberCase{-0.0, "0"}, NumberCase{42.0, "42"},
                                           NumberCase{-7.0, "-7"}, NumberCase{12.5, "12.5"},
                                           NumberCase{1.0 / 3.0, "0.3333333333"}, NumberCase{2.0 / 3.0, "0.6666666667"},
                                           NumberCase{0.1 + 0.2, "0.3"}, NumberCase{-1234.5678, "-1234.5678"},
                                           NumberCase{1234567.891234, "1234567.891"},
                                           NumberCase{123456789012.0, "123456789012"}, NumberCase{1e20, "1E+20"},
                                           NumberCase{1e-7, "1E-07"}, NumberCase{-2147483648.0, "-2147483648"}));

struct DateCase {
  double serial;
  DateKind kind;
  bool date1904;
  const char* text;
  bool milliseconds = false;
};

void PrintTo(const DateCase& c, std::ostream* os) {
  *os << c.serial << (c.date1904 ? " (1904)" : "") << (c.milliseconds ? " (ms)" : "") << " -> " << c.text;
}

class DateTextTest : public ::testing::TestWithParam<DateCase> {};

TEST_P(DateTextTest, ShowsTheCalendarDate) {
  const DateCase& c = GetParam();
  EXPECT_EQ(dateText(c.serial, c.kind, c.date1904, c.milliseconds), QString::fromUtf8(c.text)) << c.serial;
}

// Serial anchors: 45000 is 2023-03-15 and 44381 is 2021-07-04 in the 1900
// system; 1904 serials are 1462 lower; 60 is the 1900 system's 1900-02-29.
INSTANTIATE_TEST_SUITE_P(
    Dates, DateTextTest,
    ::testing::Values(
        DateCase{45000, DateKind::DateOnly, false, "2023/03/15"},
        DateCase{44381, DateKind::DateOnly, false, "2021/07/04"},
        DateCase{45000.5, DateKind::DateTime, false, "2023/03/15 12:00:00"},
        DateCase{45000.75, DateKind::DateOnly, false, "2023/03/15"},
        DateCase{0.25, DateKind::TimeOnly, false, "6:00:00"},
        DateCase{0.5730324074074075, DateKind::TimeOnly, false, "13:45:10"},
        DateCase{45000.5730324074074075, DateKind::TimeOnly, false, "13:45:10"},
        DateCase{1, DateKind::DateOnly, false, "1900/01/01"}, DateCase{59, DateKind::DateOnly, false, "1900/02/28"},
        DateCase{60, DateKind::DateOnly, false, "1900/02/29"}, DateCase{61, DateKind::DateOnly, false, "1900/03/01"},
        DateCase{0, DateKind::DateOnly, false, "1900/01/00"},
        DateCase{45000.99999999, DateKind::DateTime, false, "2023/03/16 0:00:00"},
        DateCase{2958465, DateKind::DateOnly, false, "9999/12/31"},
        DateCase{2958466, DateKind::DateOnly, false, "#####"}, DateCase{-1, DateKind::DateOnly, false, "#####"},
        DateCase{std::numeric_limits<double>::quiet_NaN(), DateKind::DateTime, false, "#####"},
        DateCase{45000 - 1462, DateKind::DateOnly, true, "2023/03/15"},
        DateCase{0, DateKind::DateOnly, true, "1904/01/01"},
        DateCase{0.5, DateKind::DateTime, true, "1904/01/01 12:00:00"},
        // Shown to the millisecond, rounded to it.
        DateCase{45000 + 32703.12 / 86400, DateKind::DateTime, false, "2023/03/15 09:05:03.120", true},
        DateCase{0.25, DateKind::TimeOnly, false, "06:00:00.000", true},
        DateCase{45000.99999999, DateKind::DateTime, false, "2023/03/15 23:59:59.999", true},
        DateCase{45000.9999999999, DateKind::DateTime, false, "2023/03/16 00:00:00.000", true},
        DateCase{45000.75, DateKind::DateOnly, false, "2023/03/15", true}));

TEST(ErrorTextTest, NamesEveryErrorCode) {
  const std::pair<std::uint8_t, const char*> cases[] = {{0x00, "#NULL!"}, {0x07, "#DIV/0!"}, {0x0F, "#VALUE!"},
                                                        {0x17, "#REF!"},  {0x1D, "#NAME?"},  {0x24, "#NUM!"},
                                                        {0x2A, "#N/A"},   {0x99, "#ERROR!"}};
  for (const auto& [code, text] : cases) EXPECT_EQ(errorText(code), QString::fromLatin1(text)) << int(code);
}

TEST(DisplayTextTest, ShowsEachKindOfValue) {
  const std::pair<xls::Value, QString> cases[] = {
      {xls::Value(), QString()},
      {xls::Value(std::string("\xe6\x97\xa5\xe6\x9c\xac")), QStringLiteral("日本")},
      {xls::Value(2.5), QStringLiteral("2.5")},
      {xls::Value(true), QStringLiteral("TRUE")},
      {xls::Value(false), QStringLiteral("FALSE")},
      {xls::Value(xls::DateTimeValue{45000.5, DateKind::DateTime}), QStringLiteral("2023/03/15 12:00:00")},
      {xls::Value(xls::CellError{0x07}), QStringLiteral("#DIV/0!")},
  };
  for (const auto& [value, text] : cases) EXPECT_EQ(displayText(value, false), text) << text.toStdString();
}

// ---- Stamps and typed input -----------------------------------------------

struct StampCase {
  QDateTime when;
  Stamp::Kind kind;
  bool date1904;
  double serial;
  DateKind engineKind;
};

void PrintTo(const StampCase& c, std::ostream* os) {
  *os << c.when.toString(Qt::ISODateWithMs).toStdString() << " kind " << static_cast<int>(c.kind)
      << (c.date1904 ? " (1904)" : "");
}

class StampSerialTest : public ::testing::TestWithParam<StampCase> {};

// 2024-05-06 is serial 45418 in the 1900 system; 07:08:09 is 25689 s of 86400.
INSTANTIATE_TEST_SUITE_P(
    Stamps, StampSerialTest,
    ::testing::Values(
        StampCase{QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9)), Stamp::Kind::DateTime, false, 45418 + 25689 / 86400.0,
                  DateKind::DateTime},
        StampCase{QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9)), Stamp::Kind::Date, false, 45418, DateKind::DateOnly},
        StampCase{QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9)), Stamp::Kind::Time, false, 25689 / 86400.0,
                  DateKind::TimeOnly},
        StampCase{QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9)), Stamp::Kind::Date, true, 45418 - 1462,
                  DateKind::DateOnly},
        StampCase{QDateTime(QDate(2024, 5, 6), QTime(7, 8, 9)), Stamp::Kind::DateTime, true,
                  45418 - 1462 + 25689 / 86400.0, DateKind::DateTime},
        StampCase{QDateTime(QDate(1990, 1, 1), QTime(23, 59, 59)), Stamp::Kind::Time, true, 86399 / 86400.0,
                  DateKind::TimeOnly},
        StampCase{QDateTime(QDate(2024, 5, 6), QTime(12, 0, 0, 500)), Stamp::Kind::Time, false, 43200.5 / 86400.0,
                  DateKind::TimeOnly},
        StampCase{QDateTime(QDate(1900, 1, 1), QTime(0, 0)), Stamp::Kind::Date, false, 1, DateKind::DateOnly},
        StampCase{QDateTime(QDate(1904, 1, 1), QTime(6, 0)), Stamp::Kind::DateTime, true, 0.25, DateKind::DateTime}));

TEST_P(StampSerialTest, GivesTheSerialOfItsKind) {
  const StampCase& c = GetParam();
  const Result<xls::DateTimeValue> serial = stampSerial(Stamp{c.when, c.kind}, c.date1904);
  ASSERT_TRUE(serial.ok()) << serial.description().toStdString();
  EXPECT_NEAR(serial->serial, c.serial, 1e-9);
  EXPECT_EQ(serial->kind, c.engineKind);
  if (c.kind == Stamp::Kind::Time) {
    EXPECT_LT(serial->serial, 1.0);
  }
}

TEST(StampSerialTest, RefusesStampsTheWorkbookCannotHold) {
  const std::pair<Stamp, bool> cases[] = {
      {Stamp{QDateTime(), Stamp::Kind::DateTime}, false},
      {Stamp{QDateTime(QDate(1899, 12, 31), QTime(12, 0)), Stamp::Kind::Date}, false},
      {Stamp{QDateTime(QDate(1903, 12, 31), QTime(12, 0)), Stamp::Kind::DateTime}, true},
  };
  for (const auto& [stamp, date1904] : cases) {
    const Result<xls::DateTimeValue> serial = stampSerial(stamp, date1904);
    EXPECT_FALSE(serial.ok()) << stamp.value.toString().toStdString();
    EXPECT_FALSE(serial.description().isEmpty());
    EXPECT_TRUE(serial.error().is(SheetError::BadDate));
  }
  // The time of day alone is independent of the date system's first day.
  EXPECT_TRUE(stampSerial(Stamp{QDateTime(QDate(1800, 1, 1), QTime(6, 0)), Stamp::Kind::Time}, false).ok());
}

TEST(ToEngineValueTest, TextIsTypedButNeverAFormula) {
  const std::pair<QString, xls::Value> cases[] = {
      {QStringLiteral("12.5"), 12.5},
      {QStringLiteral(" 7 "), 7.0},
      {QStringLiteral("-1e3"), -1000.0},
      {QStringLiteral("=1+1"), std::string("=1+1")},
      {QStringLiteral("=SUM(A1)"), std::string("=SUM(A1)")},
      {QStringLiteral("12,5"), std::string("12,5")},
      {QStringLiteral("abc"), std::string("abc")},
      {QStringLiteral("測定"), std::string("\xe6\xb8\xac\xe5\xae\x9a")},
  };
  for (const auto& [text, expected] : cases) {
    const Result<xls::Value> value = toEngineValue(CellValue(text), false);
    ASSERT_TRUE(value.ok()) << text.toStdString();
    EXPECT_EQ(value.value(), expected) << text.toStdString();
  }
}

TEST(ToEngineValueTest, WholeNumbersAndStamps) {
  for (std::int32_t n :
       {0, 42, -7, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()}) {
    const Result<xls::Value> value = toEngineValue(CellValue(n), false);
    ASSERT_TRUE(value.ok());
    EXPECT_EQ(value.value(), xls::Value(static_cast<double>(n)));
  }
  const Result<xls::Value> stamp =
      toEngineValue(CellValue(Stamp{QDateTime(QDate(2024, 5, 6), QTime(0, 0)), Stamp::Kind::Date}), false);
  ASSERT_TRUE(stamp.ok());
  EXPECT_EQ(stamp.value(), xls::Value(xls::DateTimeValue{45418, DateKind::DateOnly}));
  EXPECT_FALSE(toEngineValue(CellValue(Stamp{QDateTime(), Stamp::Kind::Time}), false).ok());
}

// ---- Why a save failed ------------------------------------------------------

TEST(SaveFailureReasonTest, NamesTheCauseFromTheSystemErrorNumberAlone) {
  const QString readOnly =
      QStringLiteral("書き込みが許可されていません（保存先のファイルまたはフォルダーが読み取り専用です）。");
  const QString folderMissing = QStringLiteral("保存先のフォルダーが見つかりません。");
  const QString inUse = QStringLiteral("ファイルが他のプログラムで使用中（ロック中）です。");
  const std::pair<int, QString> cases[] = {
      {EACCES, readOnly},
      {EPERM, readOnly},
      {EROFS, QStringLiteral("書き込みが許可されていません（保存先は読み取り専用のドライブです）。")},
      {ENOSPC, QStringLiteral("ディスクがいっぱいです（空き容量が足りません）。")},
      {EDQUOT, QStringLiteral("ディスクの使用量の上限に達しています。")},
      {ETXTBSY, inUse},
      {EBUSY, inUse},
      {EISDIR, QStringLiteral("同じ名前のフォルダーがあるため、ファイルを置き換えられません。")},
      {ENOTDIR, folderMissing},
      {ENOENT, folderMissing},
      {ENAMETOOLONG, QStringLiteral("ファイル名が長すぎます。")},
      {EIO, QStringLiteral("ディスクの読み書きでエラーが発生しました。")},
      {EXDEV, QStringLiteral("ファイルを書き込めませんでした。")},
      {0, QStringLiteral("ファイルを書き込めませんでした。")},
  };
  for (const auto& [error, reason] : cases) {
    // The description names another cause: only the number counts.
    const xls::XlsError failed =
        xls::xlsSystemFail(xls::XlsErrorCode::CannotSave, error, "cannot save /x/No space left on device/book.xls");
    EXPECT_EQ(saveFailureReason(failed), reason) << std::strerror(error);
  }
}

}  // namespace
}  // namespace kestrune::sheet::embedded
