// The desktop shell: open a file or an address in the program the desktop
// chooses for it (the manual in a browser, a web page). Consumers take the
// `Shell` interface; `DesktopShell` is the real one, tests use a recording fake.
#pragma once

#include "core/result.h"

#include <QString>
#include <QUrl>

namespace kestrune {

// Why the desktop was not asked to open something.
enum class ShellError {
  NoAddress = 1,  // the text makes no valid address (empty, malformed)
  NotOpened,      // the desktop found no program to open it with
};
inline ErrorDomain errorDomainOf(ShellError) { return ErrorDomain::Shell; }

class Shell {
public:
  virtual ~Shell() = default;
  // Opens `fileOrUrl`: an absolute or relative file path, or an address with a
  // scheme ("file:", "https:", "mailto:"). Returns once the desktop has been
  // asked; an error says the request could not be handed over.
  virtual Status open(const QString& fileOrUrl) = 0;
};

// The address the desktop is given for `fileOrUrl`: text with a URL scheme of
// two or more letters is taken as an address as it stands; anything else is a
// file path (a relative path is taken from the current folder). Empty text
// gives an empty (invalid) URL.
QUrl shellUrl(const QString& fileOrUrl);

// Opens through QDesktopServices, which on Linux hands the address to the
// desktop's handler (xdg-open and the like). Needs Qt Gui, hence its own
// library, kestrune_shell.
class DesktopShell final : public Shell {
public:
  Status open(const QString& fileOrUrl) override;
};

// One DesktopShell for the program's windows; it keeps no state.
Shell& desktopShell();

}  // namespace kestrune
