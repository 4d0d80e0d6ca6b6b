// The JSON of a row: a value typed as a number goes out as one, the local
// offset on the time, optional fields left out; and topic expansion.
#include "mqtt/row_message.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTimeZone>

#include <gtest/gtest.h>

namespace kestrune::mqtt {
namespace {

TEST(RowMessageTest, TypedValuesGoOutAsNumbersAndTheRestAsText) {
  RowMessage row{QStringLiteral("lab1"),
                 QStringLiteral("data.xls"),
                 QStringLiteral("Sheet1"),
                 7,
                 42,
                 std::nullopt,
                 {{QStringLiteral("12.5"), 12.5},
                  {QStringLiteral(" -3E2 "), -300.0},
                  {QStringLiteral(".5"), 0.5},
                  {QStringLiteral("OVER"), std::nullopt},
                  {QStringLiteral("1,5"), std::nullopt},
                  {QStringLiteral("=A1"), std::nullopt},
                  {QStringLiteral(""), std::nullopt},
                  {QStringLiteral("測定OK"), std::nullopt}}};
  const QJsonObject o = QJsonDocument::fromJson(rowJson(9, row)).object();
  EXPECT_EQ(o.value("seq").toInteger(), 9);
  EXPECT_EQ(o.value("host").toString(), "lab1");
  EXPECT_EQ(o.value("workbook").toString(), "data.xls");
  EXPECT_EQ(o.value("sheet").toString(), "Sheet1");
  EXPECT_EQ(o.value("row").toInteger(), 7);
  EXPECT_EQ(o.value("number").toInteger(), 42);
  EXPECT_FALSE(o.contains("time"));
  const QJsonArray v = o.value("values").toArray();
  ASSERT_EQ(v.size(), 8);
  EXPECT_TRUE(v[0].isDouble());
  EXPECT_EQ(v[0].toDouble(), 12.5);
  EXPECT_EQ(v[1].toDouble(), -300.0);
  EXPECT_EQ(v[2].toDouble(), 0.5);
  for (int i : {3, 4, 5, 6, 7}) EXPECT_TRUE(v[i].isString()) << i;
  EXPECT_EQ(v[4].toString(), "1,5");
  EXPECT_EQ(v[7].toString(), QStringLiteral("測定OK"));
}

TEST(RowMessageTest, TimeCarriesTheLocalOffsetAndNumberIsLeftOutWhenOff) {
  const QByteArray oldTz = qgetenv("TZ");
  qputenv("TZ", "Asia/Tokyo");
  // To the second, or to the millisecond as the cells show it.
  const struct {
    int msec;
    bool milliseconds;
    const char* time;
  } cases[] = {
      {120, false, "2026-12-07T09:05:03+09:00"},
      {120, true, "2026-12-07T09:05:03.120+09:00"},
      {0, true, "2026-12-07T09:05:03.000+09:00"},
  };
  for (const auto& c : cases) {
    const QDateTime when(QDate(2026, 12, 7), QTime(9, 5, 3, c.msec), Qt::LocalTime);
    RowMessage row{QStringLiteral("h"), QStringLiteral("b.xls"), QStringLiteral("S"), 2, std::nullopt, when, {},
                   c.milliseconds};
    const QJsonObject o = QJsonDocument::fromJson(rowJson(1, row)).object();
    EXPECT_EQ(o.value("time").toString(), c.time);
    EXPECT_FALSE(o.contains("number"));
    EXPECT_TRUE(o.value("values").toArray().isEmpty());
  }
  if (oldTz.isNull())
    qunsetenv("TZ");
  else
    qputenv("TZ", oldTz);
}

TEST(RowMessageTest, TopicPartsCannotAddLevelsOrWildcards) {
  EXPECT_EQ(
      expandTopic(QStringLiteral("kestrune/{host}/{workbook}"), QStringLiteral("lab1"), QStringLiteral("data.xls")),
      "kestrune/lab1/data.xls");
  EXPECT_EQ(expandTopic(QStringLiteral("k/{workbook}"), QStringLiteral("h"), QStringLiteral("a/b+#.xls")),
            "k/a_b__.xls");
  EXPECT_EQ(expandTopic(QStringLiteral("fixed"), QStringLiteral("h"), QStringLiteral("w")), "fixed");
}

}  // namespace
}  // namespace kestrune::mqtt
