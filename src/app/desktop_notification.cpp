#include "app/desktop_notification.h"

#include "core/message_boxes.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QVariantMap>

namespace kestrune::app {

bool notifyDesktop(const QString& summary, const QString& body) {
  const QString service = QStringLiteral("org.freedesktop.Notifications");
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || !bus.interface() || !bus.interface()->isServiceRegistered(service)) return false;
  QDBusMessage call = QDBusMessage::createMethodCall(service, QStringLiteral("/org/freedesktop/Notifications"), service,
                                                     QStringLiteral("Notify"));
  // Notify(app_name, replaces_id, app_icon, summary, body, actions, hints, expire_timeout)
  call << ApplicationTitle << 0u << QStringLiteral("kestrune") << summary << body << QStringList() << QVariantMap()
       << -1;
  // The run window must not wait for the desktop.
  return bus.send(call);
}

}  // namespace kestrune::app
