// Why publishing to the broker could not be set up or go on, for callers
// that act on it (a second kestrune holding the outbox, a setting to correct).
#pragma once

#include "core/result.h"

namespace kestrune::mqtt {

enum class MqttError {
  BadUrl = 1,        // mqtt.url is not mqtt://host[:port] or mqtts://host[:port]
  BadTopic,          // the topic is blank or holds + or #
  ControlCharacter,  // a value holds a line break, a tab or another control character
  FileMissing,       // the password file or CA file a setting names is not there
  ConfUnreadable,    // kestrune.conf cannot be read, or is no plain file
  ConfNotSaved,      // kestrune.conf could not be written
  PasswordUnusable,  // the password file is missing, too large, no plain file or unreadable
  OutboxInUse,       // another kestrune has the outbox open
  OutboxUnusable,    // the outbox cannot be opened: a link, no plain file, unreadable, not an outbox
  OutboxNotWritten,  // a message or an acknowledgement could not be written to the outbox
  SenderNotStarted,  // the sender thread could not be set up
};
inline ErrorDomain errorDomainOf(MqttError) { return ErrorDomain::Mqtt; }

}  // namespace kestrune::mqtt
