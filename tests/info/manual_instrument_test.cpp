// The manual keeps up with the virtual instrument: every option and
// placeholder of its usage text is described in manual/help.html.
#include "instrument/options.h"

#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

namespace kestrune::testing {
namespace {

TEST(ManualInstrument, DescribesEveryOptionOfTheUsageText) {
  QFile file(QStringLiteral(KESTRUNE_SOURCE_DIR "/manual/help.html"));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QString html = QString::fromUtf8(file.readAll());
  const QString usage = QString::fromStdString(instrument::usageText());

  static const QRegularExpression option(QStringLiteral(R"re((?<![\w-])--[a-z][a-z-]*)re"));
  int options = 0;
  for (auto it = option.globalMatch(usage); it.hasNext(); ++options) {
    const QString name = it.next().captured(0);
    EXPECT_TRUE(html.contains(name)) << name.toStdString();
  }
  EXPECT_GE(options, 10);
  for (const char* placeholder : {"{n}", "{rand:MIN:MAX:DEC}", "{line}", "{date}", "{time}"})
    EXPECT_TRUE(html.contains(QLatin1String(placeholder))) << placeholder;
}

TEST(ManualInstrument, ExampleCommandLinesAreAccepted) {
  QFile file(QStringLiteral(KESTRUNE_SOURCE_DIR "/manual/help.html"));
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QString html = QString::fromUtf8(file.readAll());
  // Lines of console blocks that start the instrument, as a shell would split them.
  static const QRegularExpression block(QStringLiteral(R"re(<pre class="console">(.*?)</pre>)re"),
                                        QRegularExpression::DotMatchesEverythingOption);
  int checked = 0;
  for (auto it = block.globalMatch(html); it.hasNext();) {
    const QString text = it.next().captured(1);
    for (QString line : text.split(QLatin1Char('\n'))) {
      line = line.trimmed();
      if (line.startsWith(QLatin1String("$ "))) line = line.mid(2);
      if (!line.startsWith(QLatin1String("kestrune-instrument"))) continue;
      line.replace(QLatin1String("&amp;"), QLatin1String("&"))
          .replace(QLatin1String("&lt;"), QLatin1String("<"))
          .replace(QLatin1String("&gt;"), QLatin1String(">"))
          .replace(QLatin1String("&quot;"), QLatin1String("\""));
      if (line.endsWith(QLatin1Char('&'))) line.chop(1);
      // Split on blanks outside single quotes; the quotes themselves go.
      std::vector<std::string> args;
      QString current;
      bool quoted = false, any = false;
      for (const QChar c : line.mid(QStringLiteral("kestrune-instrument").size())) {
        if (c == QLatin1Char('\'')) {
          quoted = !quoted;
          any = true;
        } else if (c.isSpace() && !quoted) {
          if (any) args.push_back(current.toStdString());
          current.clear();
          any = false;
        } else {
          current.append(c);
          any = true;
        }
      }
      if (any) args.push_back(current.toStdString());
      const auto parsed = instrument::parseCommandLine(args);
      EXPECT_TRUE(parsed.ok()) << line.toStdString() << ": " << parsed.description();
      ++checked;
    }
  }
  EXPECT_GE(checked, 4);
}

}  // namespace
}  // namespace kestrune::testing
