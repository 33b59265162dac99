#include "OleObject.h"

#include <QAtomicInteger>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDeadlineTimer>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <optional>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

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

// The socket a bus address names, when it is a local one: "unix:path=..." or
// "unix:abstract=..." (the first of several addresses separated by ';'), values percent-escaped.
// Without an address, the session bus's usual socket in the runtime folder, if there is one.
// Empty for anything else.
struct TLocalSocket {
  sockaddr_un Address{};
  socklen_t Length = 0;  // an abstract name's length counts, not its terminating zero
};

std::optional<TLocalSocket> LocalBusSocket(const QString& address) {
  QByteArray path;
  bool abstract = false;
  if (address.isEmpty()) {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (runtime.isEmpty() || !QFileInfo::exists(QString::fromLocal8Bit(runtime + "/bus"))) {
      return std::nullopt;
    }
    path = runtime + "/bus";
  } else {
    const QString first = address.section(QLatin1Char(';'), 0, 0);
    if (!first.startsWith(QLatin1String("unix:"))) return std::nullopt;
    for (const QString& pair : first.mid(5).split(QLatin1Char(','))) {
      const QString key = pair.section(QLatin1Char('='), 0, 0);
      const QByteArray value =
          QByteArray::fromPercentEncoding(pair.section(QLatin1Char('='), 1).toLatin1());
      if (key == QLatin1String("path") || key == QLatin1String("abstract")) {
        path = value;
        abstract = key == QLatin1String("abstract");
      }
    }
  }
  TLocalSocket socket;
  socket.Address.sun_family = AF_UNIX;
  const std::size_t offset = abstract ? 1 : 0;
  const auto size = static_cast<std::size_t>(path.size());
  if (size == 0 || size + offset >= sizeof socket.Address.sun_path) return std::nullopt;
  std::memcpy(socket.Address.sun_path + offset, path.constData(), size);
  socket.Length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset + size + (abstract ? 0 : 1));
  return socket;
}

// Whether the bus behind a local socket answers a client at all before the deadline: it must
// reply to an authentication request that names no mechanism (with the list of those it takes).
// A bus that is stopped or hung accepts the connection but never replies; the bus library would
// then wait for it far longer than a caller may. Sockets of other kinds are not probed.
bool BusAnswers(const QString& address, const QDeadlineTimer& deadline) {
  const std::optional<TLocalSocket> target = LocalBusSocket(address);
  if (!target) return true;
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return true;
  const auto wait = [&](short events) {
    pollfd p{fd, events, 0};
    while (true) {
      const int ready = ::poll(&p, 1, int(std::max<qint64>(deadline.remainingTime(), 0)));
      if (ready >= 0 || errno != EINTR) return ready > 0;
    }
  };
  bool answered = false;
  const bool connected =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&target->Address), target->Length) == 0 ||
      ((errno == EINPROGRESS || errno == EAGAIN) && wait(POLLOUT));
  static constexpr char kRequest[] = "\0AUTH\r\n";
  if (connected &&
      ::send(fd, kRequest, sizeof kRequest - 1, MSG_NOSIGNAL) == ssize_t(sizeof kRequest - 1)) {
    char reply[64];
    answered = wait(POLLIN) && ::recv(fd, reply, sizeof reply, 0) > 0;
  } else {
    // No socket to talk to: the bus library gives the reason.
    answered = true;
  }
  ::close(fd);
  return answered;
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
  // One deadline for asking the bus whether it is there and whether the object is.
  const QDeadlineTimer deadline(kCheckTimeoutMs);
  if (!BusAnswers(address, deadline)) {
    throw EOleError(
        QStringLiteral("The session bus does not answer for automation object \"%1\"").arg(ProgId));
  }
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
  const QDBusReply<bool> registered =
      bus.call(check, QDBus::Block, int(std::max<qint64>(deadline.remainingTime(), 1)));
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
