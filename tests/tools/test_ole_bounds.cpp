// Creating an automation object on a bus that accepts connections but never answers (a hung or
// stopped bus daemon) gives up within its bound instead of waiting on the bus library.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QScopeGuard>
#include <QTemporaryDir>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <optional>
#include <string>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "OleObject.h"

namespace {

// A socket that listens and is never served.
class TSilentSocket {
public:
  TSilentSocket(const std::string& name, bool abstract) {
    FFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::size_t offset = abstract ? 1 : 0;
    if (FFd < 0 || name.size() + offset >= sizeof address.sun_path) return;
    std::memcpy(address.sun_path + offset, name.data(), name.size());
    const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + offset +
                                               name.size() + (abstract ? 0 : 1));
    FListening =
        ::bind(FFd, reinterpret_cast<sockaddr*>(&address), length) == 0 && ::listen(FFd, 8) == 0;
  }
  ~TSilentSocket() {
    if (FFd >= 0) ::close(FFd);
  }
  TSilentSocket(const TSilentSocket&) = delete;
  TSilentSocket& operator=(const TSilentSocket&) = delete;
  bool Listening() const { return FListening; }

private:
  int FFd = -1;
  bool FListening = false;
};

struct TSilentBus {
  const char* Name;
  const char* File;     // in a temporary folder; empty for an abstract socket
  const char* Address;  // {dir} is the folder, {name} a name unique to the test process
};

class SilentBus : public ::testing::TestWithParam<TSilentBus> {};

}  // namespace

TEST_P(SilentBus, CreateThrowsWithinItsBound) {
  using namespace std::chrono;
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const QString unique = QStringLiteral("halvorine-silent-%1").arg(::getpid());
  const bool abstract = std::strlen(GetParam().File) == 0;
  const std::string socketName =
      abstract ? unique.toStdString() : dir.filePath(QLatin1String(GetParam().File)).toStdString();
  TSilentSocket socket(socketName, abstract);
  ASSERT_TRUE(socket.Listening());
  const char* const kBus = "DBUS_SESSION_BUS_ADDRESS";
  const std::optional<QByteArray> old =
      qEnvironmentVariableIsSet(kBus) ? std::optional(qgetenv(kBus)) : std::nullopt;
  qputenv(kBus, QString::fromLatin1(GetParam().Address)
                    .replace(QLatin1String("{dir}"), dir.path())
                    .replace(QLatin1String("{name}"), unique)
                    .toUtf8());
  const auto restore = qScopeGuard([&] { old ? qputenv(kBus, *old) : qunsetenv(kBus); });

  const auto start = steady_clock::now();
  std::string error;
  try {
    TOleObject::Create(QStringLiteral("Tessaly.Ole"));
  } catch (const EOleError& e) {
    error = e.what();
  }
  // Reached the socket and waited for it, rather than failing to find it.
  EXPECT_NE(error.find("does not answer"), std::string::npos) << error;
  EXPECT_LT(steady_clock::now() - start,
            milliseconds(TOleObject::kCheckTimeoutMs) + milliseconds(1500));
}

INSTANTIATE_TEST_SUITE_P(
    Addresses, SilentBus,
    ::testing::Values(TSilentBus{"Path", "bus", "unix:path={dir}/bus"},
                      TSilentBus{"EscapedPathAndMore", "a b,c",
                                 "unix:path={dir}/a%20b%2cc,guid=0123;tcp:host=localhost,port=1"},
                      TSilentBus{"Abstract", "", "unix:abstract={name}"}),
    [](const auto& info) { return std::string(info.param.Name); });
