// Why the web view could not be set up: a setting to correct, a file to fix.
#pragma once

#include "core/result.h"

namespace kestrune::web {

enum class WebError {
  BadListen = 1,     // http.listen is not ADDRESS:PORT in one of the accepted forms
  ControlCharacter,  // a value holds a line break, a tab or another control character
  FileMissing,       // the certificate or key file a setting names is not there
  NeedsTls,          // a listener beyond loopback without both a certificate and a key
  FileUnreadable,    // the certificate or key cannot be read
  TokenUnusable,     // the token file cannot be made or read, holds no token, or others may read it
  CannotListen,      // the address cannot be bound (in use, not on this computer)
  NotStarted,        // the HTTP library refused to start (a certificate and key that do not match)
  ConfUnreadable,    // kestrune.conf cannot be read
};
inline ErrorDomain errorDomainOf(WebError) { return ErrorDomain::Web; }

}  // namespace kestrune::web
