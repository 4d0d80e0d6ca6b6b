// Which connections the web server keeps when a new one comes: at most
// `connections` in all and `perClient` from one address. Rather than turning
// the newcomer away, the server closes the oldest connection that is doing
// nothing (no request under way), so that a flood of idle sockets, as from a
// client that opens many and never asks, cannot shut out a viewer. A
// connection serving a request (an event stream) is never closed for another;
// when every connection is busy the newcomer is refused.
#pragma once

#include <QByteArray>

#include <list>
#include <mutex>

namespace kestrune::web {

class ConnectionAdmission {
public:
  struct Connection {
    int fd = -1;
    QByteArray peer;  // the client's address
    bool busy = false;
    bool closing = false;  // shut down; no longer counted
  };

  ConnectionAdmission(unsigned connections, unsigned perClient);

  // Takes a new connection and makes room for it: shuts down the socket of
  // an older idle connection where a limit is reached, or the new one's when
  // none is idle. The connection is kept here until closed().
  Connection* admit(int fd, const QByteArray& peer);
  void setBusy(Connection* connection, bool busy);
  // The library is done with the connection; its socket is closed after this.
  void closed(Connection* connection);

private:
  // The oldest idle connection not yet shut down, from `peer` unless empty.
  Connection* oldestIdle(const QByteArray& peer);
  static void shut(Connection& connection);

  const unsigned connections_;
  const unsigned perClient_;
  // The sockets are shut down with the lock held, so closed() (and with it
  // the library's close of the descriptor) cannot come in between.
  mutable std::mutex mutex_;
  std::list<Connection> all_;  // oldest first; elements never move
};

}  // namespace kestrune::web
