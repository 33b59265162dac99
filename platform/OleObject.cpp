#include "OleObject.h"

#include <QAtomicInteger>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusReply>

namespace {

QDBusConnection Connection(const QString& name) { return QDBusConnection(name); }

// A well-known bus name: two or more dot-separated elements of [A-Za-z0-9_-], none empty and
// none starting with a digit, 255 characters at most.
bool IsWellKnownBusName(const QString& name) {
  if (name.isEmpty() || name.size() > 255) return false;
  const QStringList elements = name.split(QLatin1Char('.'));
  if (elements.size() < 2) return false;
  for (const QString& element : elements) {
    if (element.isEmpty() || element.front().isDigit()) return false;
    for (const QChar c : element) {
      const bool ok = (c >= QLatin1Char('a') && c <= QLatin1Char('z')) ||
                      (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
                      (c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QLatin1Char('_') ||
                      c == QLatin1Char('-');
      if (!ok) return false;
    }
  }
  return true;
}

QString NextConnectionName() {
  static QAtomicInteger<quint64> counter;
  return QStringLiteral("halvorine-ole-%1").arg(counter.fetchAndAddRelaxed(1));
}

}  // namespace

QString TOleObject::ObjectPath(const QString& ProgId) {
  // Path elements allow no '-', which bus names do.
  QString path = QLatin1Char('/') + ProgId;
  return path.replace(QLatin1Char('.'), QLatin1Char('/'))
      .replace(QLatin1Char('-'), QLatin1Char('_'));
}

std::unique_ptr<TOleObject> TOleObject::Create(const QString& ProgId) {
  if (!IsWellKnownBusName(ProgId)) {
    throw EOleError(QStringLiteral("Invalid automation identifier \"%1\"").arg(ProgId));
  }
  // The bus machinery runs its own thread, which waits for an application object: without one,
  // a call would never return.
  if (!QCoreApplication::instance()) {
    throw EOleError(
        QStringLiteral("Automation object \"%1\" needs an application object").arg(ProgId));
  }
  const QString name = NextConnectionName();
  // The address is read here each time: the bus library reads the variable once per process.
  const QString address = qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS");
  QDBusConnection bus = address.isEmpty()
                            ? QDBusConnection::connectToBus(QDBusConnection::SessionBus, name)
                            : QDBusConnection::connectToBus(address, name);
  if (!bus.isConnected()) {
    const QString reason = bus.lastError().message();
    QDBusConnection::disconnectFromBus(name);
    throw EOleError(
        QStringLiteral("No session bus for automation object \"%1\": %2").arg(ProgId, reason));
  }
  // Asked of the bus itself, which answers for the owner: a service that hangs cannot stall it,
  // and a bus that hangs costs kCheckTimeoutMs.
  QDBusMessage check = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
      QStringLiteral("org.freedesktop.DBus"), QStringLiteral("NameHasOwner"));
  check.setArguments({ProgId});
  const QDBusReply<bool> registered = bus.call(check, QDBus::Block, kCheckTimeoutMs);
  if (!registered.isValid() || !registered.value()) {
    QDBusConnection::disconnectFromBus(name);
    throw EOleError(QStringLiteral("Automation object \"%1\" is not available").arg(ProgId));
  }
  return std::unique_ptr<TOleObject>(new TOleObject(ProgId, name));
}

TOleObject::TOleObject(QString ProgId, QString ConnectionName)
    : FProgId(std::move(ProgId)), FConnectionName(std::move(ConnectionName)) {}

TOleObject::~TOleObject() { QDBusConnection::disconnectFromBus(FConnectionName); }

void TOleObject::Invoke(const QString& Method, const QVariantList& Arguments) {
  QDBusMessage call = QDBusMessage::createMethodCall(FProgId, ObjectPath(FProgId), FProgId, Method);
  call.setArguments(Arguments);
  const QDBusMessage reply = Connection(FConnectionName).call(call, QDBus::Block, kCallTimeoutMs);
  if (reply.type() != QDBusMessage::ReplyMessage) {
    const QString reason =
        reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
    throw EOleError(
        QStringLiteral("Automation call %1.%2 failed: %3")
            .arg(FProgId, Method, reason.isEmpty() ? QStringLiteral("no reply") : reason));
  }
}

bool TOleObject::Post(const QString& Method, const QVariantList& Arguments) {
  QDBusMessage call = QDBusMessage::createMethodCall(FProgId, ObjectPath(FProgId), FProgId, Method);
  call.setArguments(Arguments);
  // The bus starts no service for it: without an owner the call is simply lost.
  call.setAutoStartService(false);
  // A method call sent rather than called goes out flagged as wanting no reply.
  return Connection(FConnectionName).send(call);
}
