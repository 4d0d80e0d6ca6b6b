// The web view of a run: what a browser reads from the server while rows
// come in and after the run ended, and the settings that decide where it
// listens.
#include "app/web_view.h"

#include "core/conf_text.h"
#include "core/run_options.h"
#include "mqtt/mqtt_settings.h"

#include "fakes/conditions.h"
#include "fakes/fake_port.h"
#include "fakes/fake_spreadsheet.h"
#include "fakes/manual_clock.h"
#include "web/web_client.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace kestrune::app {
namespace {

using testing::FakePort;
using testing::FakeSpreadsheet;

class WebViewTest : public ::testing::Test {
protected:
  WebViewTest() {
    book = dir.filePath(QStringLiteral("炉 1.xls"));
    QFile(book).open(QIODevice::WriteOnly);
    QFile conf(dir.filePath(mqtt::ConfFileName));
    EXPECT_TRUE(conf.open(QIODevice::WriteOnly));
    conf.write("[" + conf::workbookSection(book).toUtf8() + "]\nalarm.B.high=30\n");
    conf.close();
    // The header above the run's first row.
    sheet->sheets[sheet->activeSheet.name][{1, 2}] = QStringLiteral("温度");
    session.setTickInterval(0);
    session.setWorkbookPath(book);
    EXPECT_TRUE(session.open());
    testing::changeConditions(session, [](settings::Conditions& c) {
      c.rows = 3;
      c.numbering = true;
      c.startAtCell = true;
      c.cursor.column = QStringLiteral("A");
      c.cursor.columnNo = 1;
      c.cursor.row = 2;
      c.cursor.acquisitionNo = 1;
    });
  }
  void feed(const char* line) {
    static_cast<FakePort&>(session.port(0)).receive(QString::fromUtf8(line).toStdU16String() + u"\r");
    const auto before = session.interpreter().cycleCount();
    for (int i = 0; i < 20 && session.runLoaded() && session.interpreter().cycleCount() == before; ++i) {
      clock.advance(10);
      session.tick();
      QCoreApplication::sendPostedEvents();
    }
  }
  QJsonObject json(const QByteArray& path) {
    const web::test::Reply reply = web::test::get(view.port(), path);
    EXPECT_EQ(reply.status, 200) << path.toStdString();
    return QJsonDocument::fromJson(reply.body).object();
  }
  // The status once `done` holds of it: it goes out at most every 250 ms.
  QJsonObject statusWhen(const std::function<bool(const QJsonObject&)>& done) {
    QJsonObject status;
    for (const QDeadlineTimer limit(10000); !limit.hasExpired();) {
      // The run goes on meanwhile (the script notices its last row at its next step).
      clock.advance(10);
      session.tick();
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
      status = json("/api/status");
      if (done(status)) break;
    }
    return status;
  }

  QTemporaryDir dir;
  QString book;
  testing::ManualClock clock{5000};
  std::shared_ptr<FakeSpreadsheet::Log> sheet = std::make_shared<FakeSpreadsheet::Log>();
  AcquisitionSession session{[](int) { return std::make_unique<FakePort>(); },
                             settings::SettingsFolder::fixed(dir.path()), clock,
                             [this]() -> Result<std::unique_ptr<sheet::SpreadsheetApp>> {
                               return std::unique_ptr<sheet::SpreadsheetApp>(std::make_unique<FakeSpreadsheet>(sheet));
                             }};
  WebView view{session};
};

TEST_F(WebViewTest, ABrowserReadsTheRunsStatusAndRowsAsTheyComeAndItsEnd) {
  ASSERT_TRUE(view.start(web::WebSettings{QStringLiteral("127.0.0.1:0"), {}, {}}));
  ASSERT_TRUE(view.running());
  ASSERT_GT(view.port(), 0) << view.description().toStdString();
  EXPECT_EQ(json("/api/status").value(QStringLiteral("state")), QStringLiteral("idle"));

  ASSERT_TRUE(session.start());
  feed("25");
  feed("31");
  const QJsonObject running =
      statusWhen([](const QJsonObject& s) { return s.value(QStringLiteral("rows")).toInt() == 2; });
  EXPECT_EQ(running.value(QStringLiteral("state")), QStringLiteral("running"));
  EXPECT_EQ(running.value(QStringLiteral("workbook")), QStringLiteral("炉 1.xls"));
  EXPECT_EQ(running.value(QStringLiteral("rowLimit")).toInt(), 3);
  EXPECT_EQ(running.value(QStringLiteral("lastSequence")).toInt(), 2);
  EXPECT_EQ(running.value(QStringLiteral("stampPrecision")), QStringLiteral("s"));
  EXPECT_EQ(running.value(QStringLiteral("leading")).toObject().value(QStringLiteral("number")), true);
  const QJsonArray columns{
      QJsonObject{{QStringLiteral("column"), QStringLiteral("B")}, {QStringLiteral("header"), QStringLiteral("温度")}}};
  EXPECT_EQ(running.value(QStringLiteral("columns")).toArray(), columns);
  const QJsonArray channels{
      QJsonObject{{QStringLiteral("channel"), 1}, {QStringLiteral("state"), QStringLiteral("connected")}}};
  EXPECT_EQ(running.value(QStringLiteral("channels")).toArray(), channels);
  EXPECT_EQ(running.value(QStringLiteral("mqtt")).toObject().value(QStringLiteral("state")), QStringLiteral("off"));
  const QJsonObject alarms = running.value(QStringLiteral("alarms")).toObject();
  EXPECT_EQ(alarms.value(QStringLiteral("active")).toInt(), 1);
  EXPECT_TRUE(alarms.value(QStringLiteral("latest")).toString().contains(QStringLiteral("上限 30")))
      << alarms.value(QStringLiteral("latest")).toString().toStdString();

  const QJsonArray rows = json("/api/rows?after=1").value(QStringLiteral("rows")).toArray();
  ASSERT_EQ(rows.size(), 1);
  EXPECT_EQ(rows[0].toObject().value(QStringLiteral("sequence")).toInt(), 2);
  EXPECT_EQ(rows[0].toObject().value(QStringLiteral("number")).toInt(), 2);
  EXPECT_EQ(rows[0].toObject().value(QStringLiteral("row")).toInt(), 3);
  EXPECT_EQ(rows[0].toObject().value(QStringLiteral("numbers")).toArray().at(0).toDouble(), 31.0);

  feed("20");  // the third row: the run's limit
  const QJsonObject ended =
      statusWhen([](const QJsonObject& s) { return s.value(QStringLiteral("state")) == QStringLiteral("ended"); });
  EXPECT_EQ(ended.value(QStringLiteral("state")).toString(), QStringLiteral("ended"))
      << QJsonDocument(ended).toJson().toStdString();
  EXPECT_EQ(ended.value(QStringLiteral("rows")).toInt(), 3);
  const web::test::Reply csv = web::test::get(view.port(), "/download/rows.csv");
  EXPECT_EQ(csv.status, 200);
  EXPECT_EQ(csv.body.count("\r\n"), 4) << csv.body.toStdString();  // the header line and three rows
}

// With stamps to the millisecond the status says so, for the page to show
// them; the row's stamp carries its milliseconds in either case.
TEST_F(WebViewTest, TheStatusSaysHowPreciseTheStampsAre) {
  ASSERT_TRUE(run_options::writeConf(dir.filePath(mqtt::ConfFileName), {true, false, false}));
  testing::changeConditions(session, [](settings::Conditions& c) { c.stamp = settings::StampMode::DateAndTime; });
  clock.setNow(QDateTime(QDate(2026, 12, 8), QTime(9, 5, 3, 120)));
  ASSERT_TRUE(view.start(web::WebSettings{QStringLiteral("127.0.0.1:0"), {}, {}}));
  ASSERT_TRUE(session.start());
  feed("25");
  EXPECT_EQ(statusWhen([](const QJsonObject& s) {
              return s.value(QStringLiteral("rows")).toInt() == 1;
            }).value(QStringLiteral("stampPrecision")),
            QStringLiteral("ms"));
  const QJsonArray rows = json("/api/rows?after=0").value(QStringLiteral("rows")).toArray();
  ASSERT_EQ(rows.size(), 1);
  EXPECT_TRUE(rows[0].toObject().value(QStringLiteral("stamp")).toString().startsWith("2026-12-08T09:05:03.1"));
}

// Where the web view listens: kestrune.conf's http.listen, --serve in its
// place for one run; a bad --serve is refused before anything listens.
TEST(WebSettingsTest, ServeTakesThePlaceOfTheConfsListener) {
  QTemporaryDir dir;
  QFile conf(dir.filePath(mqtt::ConfFileName));
  ASSERT_TRUE(conf.open(QIODevice::WriteOnly));
  conf.write("http.listen=127.0.0.1:8080\n");
  conf.close();
  const settings::SettingsFolder folder = settings::SettingsFolder::fixed(dir.path());
  const struct {
    const char* serve;
    const char* listen;  // nullptr: refused
  } cases[] = {{"", "127.0.0.1:8080"}, {"[::1]:9000", "[::1]:9000"}, {"127.0.0.1:99999", nullptr}, {"lab:80", nullptr}};
  for (const auto& c : cases) {
    const Result<web::WebSettings> settings = webSettings(folder, QString::fromUtf8(c.serve));
    ASSERT_EQ(settings.ok(), c.listen != nullptr) << c.serve;
    if (c.listen) {
      EXPECT_EQ(settings->listen, QString::fromUtf8(c.listen)) << c.serve;
    }
  }
}

}  // namespace
}  // namespace kestrune::app
