#pragma once

#include <QString>
#include <QVariantList>

#include <memory>
#include <stdexcept>
#include <string>

// Automation objects, reached over the D-Bus session bus.
//
// A programmatic identifier such as "Tessaly.Ole" is the well-known name of a service on the
// session bus. The object lives at the path made from the identifier ("/Tessaly/Ole", with '-'
// read as '_') and its methods belong to the interface named like the identifier. Invoke sends one
// method call and waits for its reply; Post sends one and never waits.
//
// The session bus is the one DBUS_SESSION_BUS_ADDRESS names at the moment an object is created;
// every object has a connection of its own, so an object created after the variable changed
// talks to the new bus. A QCoreApplication (or QApplication) must exist while objects are created
// and used.

// The error of everything automation: no bus, no object under the identifier, a call the object
// refused or did not answer in time.
class EOleError : public std::runtime_error {
public:
  explicit EOleError(const std::string& Message) : std::runtime_error(Message) {}
  explicit EOleError(const QString& Message) : std::runtime_error(Message.toStdString()) {}
};

class TOleObject {
public:
  // How long a call waits for the object's reply before it fails.
  static constexpr int kCallTimeoutMs = 2000;
  // How long Create waits for the bus to say whether a service owns the identifier.
  static constexpr int kCheckTimeoutMs = 1000;

  // Connects to the session bus and checks that a service owns the identifier. Asking a local
  // bus whether it answers at all and then whether the name has an owner takes kCheckTimeoutMs at
  // most.
  // Throws EOleError when there is no application object, the identifier is not a valid bus name,
  // there is no session bus or it does not answer in time, or no service has the name.
  static std::unique_ptr<TOleObject> Create(const QString& ProgId);

  ~TOleObject();
  TOleObject(const TOleObject&) = delete;
  TOleObject& operator=(const TOleObject&) = delete;

  // Calls a method with the given arguments and waits for the reply, whose values are dropped.
  // Throws EOleError when the call fails: the object is gone, refuses the method or its
  // arguments, or does not answer within kCallTimeoutMs. A failed call leaves the object usable;
  // a later call goes to whichever service then owns the name.
  void Invoke(const QString& Method, const QVariantList& Arguments = {});

  // Sends a method call that asks for no reply and returns at once, whatever the object does: a
  // service that is hung or stopped receives its calls, in order, once it runs again (the bus
  // holds them meanwhile). A call to a name nobody owns at that moment is lost, and nothing tells.
  // Returns false only when the call could not be handed to the bus (the connection is gone, or
  // the arguments cannot be sent).
  bool Post(const QString& Method, const QVariantList& Arguments = {});

  const QString& ProgId() const { return FProgId; }
  // The object path and interface that a programmatic identifier stands for.
  static QString ObjectPath(const QString& ProgId);

private:
  TOleObject(QString ProgId, QString ConnectionName);

  QString FProgId;
  QString FConnectionName;
};
