// The user manual beside the program, and the "ヘルプ" menu entry that opens
// it. The manual's own page also serves as the product page of the
// information window, since Kestrune has no web site.
#pragma once

#include "core/shell.h"

#include <QString>

namespace kestrune::info {

// The manual's place inside the program's folder.
inline const QString ManualRelativePath = QStringLiteral("manual/help.html");

// `programDir` (the folder of the executable) followed by "/manual/help.html";
// separators at the end of `programDir` are not doubled.
QString manualPath(const QString& programDir);

// The product page: the manual's file URL, as shown on the information
// window's button and handed to the shell.
QString productPageAddress(const QString& programDir);

// MenuDoc_Click: asks the shell to open the manual. The result is ignored: a
// missing manual shows only what the desktop reports, nothing of our own.
void MenuDoc_Click(Shell& shell, const QString& programDir);

}  // namespace kestrune::info
