// A desktop notification through the freedesktop notification service on the
// session bus. Where there is no session bus or no service, nothing happens.
#pragma once

#include <QString>

namespace kestrune::app {

// Sends `body` under the title `summary` without waiting for an answer.
// Returns false when no notification service could be reached.
bool notifyDesktop(const QString& summary, const QString& body);

}  // namespace kestrune::app
