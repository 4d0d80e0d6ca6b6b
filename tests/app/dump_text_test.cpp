// --dump's numbers and dates against Qt's own text of the same values.
#include "app/workbook_tools.h"

#include <QDateTime>
#include <QString>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>

namespace kestrune::app {
namespace {

std::string qtNumber(double v) { return QString::number(v, 'g', 15).toStdString(); }

std::string qtDate(double serial, bool date1904, xls::DateKind kind) {
  const double seconds = std::round((serial - (date1904 ? 24107.0 : 25569.0)) * 86400.0);
  const auto when = QDateTime::fromSecsSinceEpoch(static_cast<qint64>(seconds), Qt::UTC);
  const QString format = kind == xls::DateKind::DateOnly   ? QStringLiteral("yyyy/MM/dd")
                         : kind == xls::DateKind::TimeOnly ? QStringLiteral("H:mm:ss")
                                                           : QStringLiteral("yyyy/MM/dd H:mm:ss");
  return when.toString(format).toStdString();
}

TEST(DumpTextTest, AwkwardNumbersReadAsQtWritesThem) {
  const double values[] = {0.0,
                           -0.0,
                           1e15,
                           -1e15,
                           1e-5,
                           0.1 + 0.2,
                           5e-324,
                           -5e-324,
                           2.2250738585072014e-308,
                           std::numeric_limits<double>::max(),
                           1e21,
                           1e16,
                           999999999999999.0,
                           9999999999999999.0,
                           123456789012345678.0,
                           9007199254740993.0,
                           1e14,
                           1e-4,
                           0.0001234,
                           1.0 / 3,
                           2.0 / 3,
                           33110032036284.25,  // a tie at the 16th digit: rounds away from zero
                           -33110032036284.25,
                           999999999999999.5,  // a tie that carries into a new digit
                           0.30000000000000004,
                           45000.5,
                           -1.5,
                           100.0,
                           std::numeric_limits<double>::infinity(),
                           -std::numeric_limits<double>::infinity(),
                           std::numeric_limits<double>::quiet_NaN()};
  for (const double v : values) EXPECT_EQ(numberText(v), qtNumber(v)) << v;
}

TEST(DumpTextTest, RandomNumbersReadAsQtWritesThem) {
  std::mt19937_64 random(20261208);
  for (int i = 0; i < 300000; ++i) {
    double v = 0;
    switch (i % 3) {
      case 0: {  // any bit pattern
        const std::uint64_t bits = random();
        std::memcpy(&v, &bits, sizeof v);
        break;
      }
      case 1:  // readings with a few decimals, and ties among them
        v = static_cast<double>(static_cast<std::int64_t>(random() % 4000000000000000ull) - 2000000000000000ll) / 4;
        break;
      default:
        v = static_cast<double>(static_cast<std::int64_t>(random() % 2000000) - 1000000) /
            static_cast<double>(random() % 1000 + 1);
    }
    ASSERT_EQ(numberText(v), qtNumber(v)) << i;
  }
}

TEST(DumpTextTest, DatesReadAsQtWritesThem) {
  const double serials[] = {0,   1,        59,        60,      61,      45000.5,       45000.999994,
                            -1,  -0.25,    -693593,   -693594, -700000, 2958465.99999, 2958466,
                            1e7, 0.000005, 36526.123, 1.5e-10, -1e7,    43830.0000058};
  for (const double serial : serials)
    for (const bool date1904 : {false, true})
      for (const auto kind : {xls::DateKind::DateOnly, xls::DateKind::TimeOnly, xls::DateKind::DateTime})
        EXPECT_EQ(dateText(serial, date1904, kind), qtDate(serial, date1904, kind)) << serial << ' ' << date1904;
  std::mt19937_64 random(7);
  std::uniform_real_distribution<double> anyDay(-800000, 3000000);
  for (int i = 0; i < 100000; ++i) {
    const double serial = anyDay(random);
    ASSERT_EQ(dateText(serial, i % 2, xls::DateKind::DateTime), qtDate(serial, i % 2, xls::DateKind::DateTime))
        << serial;
  }
}

}  // namespace
}  // namespace kestrune::app
