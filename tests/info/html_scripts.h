// Reads the example scripts out of the HTML manual: the text of every
// <pre class="script"> block, with character references decoded.
#pragma once

#include <QString>
#include <QStringList>

namespace kestrune::testing {

// Decodes &lt; &gt; &amp; &quot; &apos; &nbsp; and numeric references
// (&#37; &#x25;). An unknown or unterminated reference stays as it is.
QString htmlUnescape(const QString& text);

struct ScriptBlock {
  QString text;            // decoded
  int line = 0;            // line of the manual where the block starts, from 1
  bool hasMarkup = false;  // the block holds a tag, which a script file cannot
};

// Every <pre class="script"> block, in document order. Other <pre> blocks are skipped.
QList<ScriptBlock> scriptBlocks(const QString& html);

}  // namespace kestrune::testing
