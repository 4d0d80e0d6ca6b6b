#include "info/html_scripts.h"

#include <QRegularExpression>

namespace kestrune::testing {

QString htmlUnescape(const QString& text) {
  QString out;
  out.reserve(text.size());
  for (qsizetype i = 0; i < text.size(); ++i) {
    const QChar c = text.at(i);
    const qsizetype semicolon = c == QLatin1Char('&') ? text.indexOf(QLatin1Char(';'), i + 1) : -1;
    if (semicolon < 0 || semicolon - i > 10) {
      out.append(c);
      continue;
    }
    const QString name = text.mid(i + 1, semicolon - i - 1);
    QString decoded;
    if (name == QLatin1String("lt"))
      decoded = QStringLiteral("<");
    else if (name == QLatin1String("gt"))
      decoded = QStringLiteral(">");
    else if (name == QLatin1String("amp"))
      decoded = QStringLiteral("&");
    else if (name == QLatin1String("quot"))
      decoded = QStringLiteral("\"");
    else if (name == QLatin1String("apos"))
      decoded = QStringLiteral("'");
    else if (name == QLatin1String("nbsp"))
      decoded = QString(QChar(0xA0));
    else if (name.startsWith(QLatin1Char('#')) && name.size() > 1) {
      bool ok = false;
      const bool hex = name.at(1) == QLatin1Char('x') || name.at(1) == QLatin1Char('X');
      const uint code = hex ? name.mid(2).toUInt(&ok, 16) : name.mid(1).toUInt(&ok, 10);
      if (ok && code > 0 && code <= 0x10FFFF) decoded = QString::fromUcs4(reinterpret_cast<const char32_t*>(&code), 1);
    }
    if (decoded.isEmpty()) {
      out.append(c);
      continue;
    }
    out.append(decoded);
    i = semicolon;
  }
  return out;
}

QList<ScriptBlock> scriptBlocks(const QString& html) {
  static const QRegularExpression open(QStringLiteral(R"re(<pre\b[^>]*\bclass\s*=\s*"([^"]*)"[^>]*>)re"),
                                       QRegularExpression::CaseInsensitiveOption);
  QList<ScriptBlock> blocks;
  qsizetype from = 0;
  for (;;) {
    const QRegularExpressionMatch match = open.match(html, from);
    if (!match.hasMatch()) break;
    const qsizetype start = match.capturedEnd();
    const qsizetype end = html.indexOf(QLatin1String("</pre>"), start, Qt::CaseInsensitive);
    if (end < 0) break;
    from = end + 6;
    if (!match.captured(1).split(QLatin1Char(' '), Qt::SkipEmptyParts).contains(QLatin1String("script"))) continue;
    QString raw = html.mid(start, end - start);
    // A line break right after <pre> is not part of the content.
    if (raw.startsWith(QLatin1Char('\n'))) raw.remove(0, 1);
    ScriptBlock block;
    block.hasMarkup = raw.contains(QLatin1Char('<'));
    block.text = htmlUnescape(raw);
    block.line = static_cast<int>(html.left(match.capturedStart()).count(QLatin1Char('\n'))) + 1;
    blocks.append(block);
  }
  return blocks;
}

}  // namespace kestrune::testing
