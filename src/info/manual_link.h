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

inline const QString MsgManualNotOpened = QStringLiteral("マニュアルを開けませんでした");

// Why the manual did not open.
enum class InfoError {
  ManualMissing = 1,  // no manual file beside the program
  ManualNotShown,     // the desktop could not show it; open it by hand
};
inline ErrorDomain errorDomainOf(InfoError) { return ErrorDomain::Info; }

// MenuDoc_Click: asks the shell to open the manual. Where the manual is
// missing or the desktop cannot show it (no browser, no xdg-open), the
// failure names the manual's path so the user can open it by hand; the
// caller shows it.
Status MenuDoc_Click(Shell& shell, const QString& programDir);

}  // namespace kestrune::info
