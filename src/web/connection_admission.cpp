#include "web/connection_admission.h"

#include <sys/socket.h>

#include <algorithm>

namespace kestrune::web {

ConnectionAdmission::ConnectionAdmission(unsigned connections, unsigned perClient)
    : connections_(connections), perClient_(perClient) {}

ConnectionAdmission::Connection* ConnectionAdmission::oldestIdle(const QByteArray& peer) {
  for (Connection& c : all_)
    if (!c.busy && !c.closing && (peer.isEmpty() || c.peer == peer)) return &c;
  return nullptr;
}

void ConnectionAdmission::shut(Connection& connection) {
  connection.closing = true;
  // The library's thread for it sees the end and closes it.
  ::shutdown(connection.fd, SHUT_RDWR);
}

ConnectionAdmission::Connection* ConnectionAdmission::admit(int fd, const QByteArray& peer) {
  const std::lock_guard lock(mutex_);
  const auto live = [&](const QByteArray& of) {
    return static_cast<unsigned>(std::count_if(
        all_.begin(), all_.end(), [&](const Connection& c) { return !c.closing && (of.isEmpty() || c.peer == of); }));
  };
  bool room = true;
  if (live(peer) >= perClient_) {
    Connection* older = oldestIdle(peer);
    if (older) shut(*older);
    room = older != nullptr;
  }
  if (room && live({}) >= connections_) {
    Connection* older = oldestIdle({});
    if (older) shut(*older);
    room = older != nullptr;
  }
  Connection& added = all_.emplace_back(Connection{fd, peer, false, false});
  if (!room) shut(added);
  return &added;
}

void ConnectionAdmission::setBusy(Connection* connection, bool busy) {
  const std::lock_guard lock(mutex_);
  connection->busy = busy;
}

void ConnectionAdmission::closed(Connection* connection) {
  const std::lock_guard lock(mutex_);
  all_.remove_if([&](const Connection& c) { return &c == connection; });
}

}  // namespace kestrune::web
