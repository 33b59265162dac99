#include "JackHarness.h"

#include "Eventually.h"
#include "MidiOutService.h"

#include <fcntl.h>
#include <jack/jack.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr auto kPollInterval = std::chrono::milliseconds(20);
constexpr auto kExitTimeout = std::chrono::seconds(5);

void Quiet(const char*) {}

// A short-lived client of the named server, or null when it does not answer.
jack_client_t* OpenClient(const std::string& server) {
  jack_status_t status{};
  return jack_client_open("halvorine-harness",
                          static_cast<jack_options_t>(JackNoStartServer | JackServerName), &status,
                          server.c_str());
}

std::string UniqueName() {
  static std::atomic<int> counter{0};
  return "halvorine-" + std::to_string(getpid()) + "-" + std::to_string(counter.fetch_add(1));
}

bool IsHexByte(const std::string& token) {
  return token.size() == 2 && std::isxdigit(static_cast<unsigned char>(token[0])) &&
         std::isxdigit(static_cast<unsigned char>(token[1]));
}

}  // namespace

TJackHarness::TJackHarness() = default;

TJackHarness::~TJackHarness() { Stop(); }

bool TJackHarness::Start(const TOptions& options) {
  Stop();
  jack_set_error_function(Quiet);
  jack_set_info_function(Quiet);
  FName = UniqueName();
  FError.clear();
  char pattern[] = "/tmp/halvorine-jack-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    FError = "cannot make a temporary folder";
    return false;
  }
  FDirectory = pattern;
  FDumpFile = FDirectory + "/dump.txt";

  if (const char* saved = std::getenv("JACK_DEFAULT_SERVER")) FSavedServer = saved;
  setenv("JACK_DEFAULT_SERVER", FName.c_str(), 1);
  setenv("JACK_NO_AUDIO_RESERVATION", "1", 1);
  FEnvironmentSet = true;

  FServer = Spawn({"jackd", "-S", "-n", FName, "-d", "dummy", "-r", std::to_string(options.Rate),
                   "-p", std::to_string(options.Period)},
                  FDirectory + "/jackd.txt");
  if (FServer <= 0 || !WaitForServer(kStartTimeout)) {
    FError = "jackd did not start (see " + FDirectory + "/jackd.txt)";
    Stop();
    return false;
  }
  if (!options.StartDump) return true;
  if (!StartDump()) {
    Stop();
    return false;
  }
  return true;
}

bool TJackHarness::StartDump() {
  End(FDump);
  FDump = Spawn({HALVORINE_JACK_RECORDER}, FDumpFile);
  if (FDump <= 0 || !WaitForDumpPort(kStartTimeout)) {
    FError = "the recorder did not start";
    return false;
  }
  return true;
}

void TJackHarness::StopDump() { End(FDump); }

void TJackHarness::PauseServer(bool paused) {
  if (FServer <= 0) return;
  kill(FServer, paused ? SIGSTOP : SIGCONT);
  int status = 0;
  if (paused) waitpid(FServer, &status, WUNTRACED);  // returns once the server has stopped
}

std::vector<std::string> TJackHarness::MidiOutputPorts() const {
  std::vector<std::string> names;
  jack_client_t* c = OpenClient(FName);
  if (c == nullptr) return names;
  if (const char** ports = jack_get_ports(c, nullptr, JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput)) {
    for (const char** p = ports; *p != nullptr; ++p) names.emplace_back(*p);
    jack_free(ports);
  }
  jack_client_close(c);
  return names;
}

std::string TJackHarness::ClientUuid(const std::string& name) const {
  jack_client_t* c = OpenClient(FName);
  if (c == nullptr) return {};
  std::string uuid;
  if (char* found = jack_get_uuid_for_client_name(c, name.c_str())) {
    uuid = found;
    jack_free(found);
  }
  jack_client_close(c);
  return uuid;
}

pid_t TJackHarness::Spawn(const std::vector<std::string>& args, const std::string& output) {
  // Everything the child needs is made before the fork: after it, only system calls are safe.
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int in = open("/dev/null", O_RDONLY | O_CLOEXEC);
  const pid_t parent = getpid();
  const pid_t pid = fork();
  if (pid == 0) {
    // The child dies with this process, whatever ends it.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    if (out >= 0) {
      dup2(out, STDOUT_FILENO);
      dup2(out, STDERR_FILENO);
    }
    if (in >= 0) dup2(in, STDIN_FILENO);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  if (out >= 0) close(out);
  if (in >= 0) close(in);
  return pid;
}

bool TJackHarness::WaitForServer(std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < end) {
    if (waitpid(FServer, nullptr, WNOHANG) == FServer) {
      FServer = -1;
      return false;
    }
    if (jack_client_t* c = OpenClient(FName)) {
      jack_client_close(c);
      return true;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  return false;
}

// The recorder says "# ready" once its port is up; no client of this process asks the server.
bool TJackHarness::WaitForDumpPort(std::chrono::milliseconds timeout) {
  return halvorine_test::Eventually(
      [&] {
        std::ifstream in(FDumpFile);
        std::string line;
        while (std::getline(in, line)) {
          if (line == "# ready") return true;
        }
        return false;
      },
      timeout);
}

void TJackHarness::End(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  const auto end = std::chrono::steady_clock::now() + kExitTimeout;
  while (waitpid(pid, nullptr, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > end) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  pid = -1;
}

void TJackHarness::StopServer() {
  PauseServer(false);
  End(FServer);
}

void TJackHarness::Stop() {
  PauseServer(false);
  End(FDump);
  End(FServer);
  if (FEnvironmentSet) {
    if (FSavedServer) {
      setenv("JACK_DEFAULT_SERVER", FSavedServer->c_str(), 1);
    } else {
      unsetenv("JACK_DEFAULT_SERVER");
    }
    FSavedServer.reset();
    FEnvironmentSet = false;
  }
  if (!FDirectory.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(FDirectory, ignored);
    FDirectory.clear();
  }
}

std::optional<std::vector<std::uint8_t>> TJackHarness::ParseDumpLine(const std::string& line) {
  const std::size_t colon = line.find(": ");
  if (colon == std::string::npos) return std::nullopt;
  const std::string stamp = line.substr(0, colon);
  if (stamp.find_first_not_of(" 0123456789.") != std::string::npos) return std::nullopt;
  std::istringstream words(line.substr(colon + 2));
  std::vector<std::uint8_t> bytes;
  std::string token;
  while (words >> token && IsHexByte(token)) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(token, nullptr, 16)));
  }
  if (bytes.empty()) return std::nullopt;
  return bytes;
}

std::vector<std::vector<std::uint8_t>> TJackHarness::DumpedMessages() const {
  std::vector<std::vector<std::uint8_t>> messages;
  std::ifstream in(FDumpFile);
  std::string line;
  while (std::getline(in, line)) {
    if (auto bytes = ParseDumpLine(line)) messages.push_back(std::move(*bytes));
  }
  return messages;
}

std::vector<TJackHarness::TRecorded> TJackHarness::Recorded() const {
  std::vector<TRecorded> recorded;
  std::ifstream in(FDumpFile);
  std::string line;
  while (std::getline(in, line)) {
    auto bytes = ParseDumpLine(line);
    const std::size_t at = line.rfind(" @");
    if (!bytes || at == std::string::npos) continue;
    recorded.push_back({static_cast<std::uint32_t>(std::stoul(line)),
                        static_cast<std::uint32_t>(std::stoul(line.substr(at + 2))),
                        std::move(*bytes)});
  }
  return recorded;
}

bool TJackHarness::WaitForMessages(std::size_t count, std::chrono::milliseconds timeout) const {
  return halvorine_test::Eventually([&] { return DumpedMessages().size() >= count; }, timeout);
}

int TJackHarness::DumpDevice() {
  const UINT n = midiOutGetNumDevs();
  for (UINT i = 0; i < n; ++i) {
    MIDIOUTCAPSA caps{};
    if (midiOutGetDevCapsA(i, &caps, sizeof caps) == MMSYSERR_NOERROR &&
        std::string(caps.szPname) == kDumpPort) {
      return static_cast<int>(i);
    }
  }
  return -1;
}
