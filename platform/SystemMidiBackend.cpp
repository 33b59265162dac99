#include "SystemMidiBackend.h"

#include <RtMidi.h>

#include <algorithm>
#include <chrono>
#include <optional>

#include "AlsaSequencer.h"
#include "JackClient.h"
#include "MidiPortNames.h"

namespace {

constexpr const char* kClientName = "Halvorine";

void QuietRtMidi(RtMidiError::Type, const std::string&, void*) {}

bool Compiled(RtMidi::Api api) {
  std::vector<RtMidi::Api> apis;
  RtMidi::getCompiledApi(apis);
  return std::find(apis.begin(), apis.end(), api) != apis.end();
}

// An RtMidiOut that reports errors through `errors` instead of printing or throwing; nullptr when
// the API cannot be initialised.
std::unique_ptr<RtMidiOut> MakeOut(RtMidi::Api api, RtMidiErrorCallback callback, void* userData) {
  try {
    auto out = std::make_unique<RtMidiOut>(api, kClientName);
    out->setErrorCallback(callback, userData);
    return out;
  } catch (...) {
    return nullptr;
  }
}

struct TDevice {
  RtMidi::Api Api;
  std::string Name;
};

// What a device list was read under: the servers' announcements so far. Lists read under the same
// announcements are the same, and are not read again (opening a client of RtMidi's for each look)
// but every kRelistInterval, in case an announcement went unheard.
struct TListKey {
  std::optional<std::uint64_t> Alsa;  // nothing: the sequencer's announcements are not heard
  const TJackClient* Jack = nullptr;  // the client that hears the JACK server's, if any
  std::uint32_t JackChanges = 0;
  bool Known() const { return Alsa.has_value(); }
  bool operator==(const TListKey&) const = default;
};
constexpr auto kRelistInterval = std::chrono::seconds(5);

// The devices of the ALSA sequencer (listed through RtMidi, whose names the program keeps) and of a
// running JACK server (listed by the program's own client); each opened by the program's client of
// its server.
class TSystemMidiBackend : public TMidiBackend {
public:
  std::vector<std::string> ListInputs() override {
    if (Unchanged(FInputsRead)) return Names(FInputs);
    FInputs.clear();
    if (Compiled(RtMidi::LINUX_ALSA) && AlsaAvailable()) {
      try {
        RtMidiIn in(RtMidi::LINUX_ALSA, kClientName);
        in.setErrorCallback(&QuietRtMidi, nullptr);
        const unsigned count = in.getPortCount();
        for (unsigned i = 0; i < count; ++i) {
          std::string name = in.getPortName(i);
          if (!name.empty() && !name.starts_with(kClientName)) {
            FInputs.push_back({RtMidi::LINUX_ALSA, std::move(name)});
          }
        }
      } catch (...) {
      }
    }
    std::shared_ptr<TJackClient> client = Client();
    if (client && client->Cycling()) {
      for (std::string& name : client->MidiSources()) {
        FInputs.push_back({RtMidi::UNIX_JACK, std::move(name)});
      }
    }
    return Names(FInputs);
  }

  MMRESULT OpenInput(const std::string& name, TMidiReceive receive,
                     std::unique_ptr<TMidiBackendInPort>& port) override {
    const auto device = std::find_if(FInputs.begin(), FInputs.end(),
                                     [&](const TDevice& d) { return d.Name == name; });
    if (device == FInputs.end()) return MMSYSERR_BADDEVICEID;
    if (device->Api == RtMidi::LINUX_ALSA) {
      return OpenAlsaInput(name, std::move(receive), Alsa(), port);
    }
    std::shared_ptr<TJackClient> client;
    if (const MMRESULT r = ReadyClientForPort(client); r != MMSYSERR_NOERROR) return r;
    return OpenJackInput(std::move(client), name, std::move(receive), port);
  }

  std::vector<std::string> ListDevices() override {
    if (Unchanged(FDevicesRead)) return Names(FDevices);
    FDevices.clear();
    if (Compiled(RtMidi::LINUX_ALSA) && AlsaAvailable()) AppendAlsa();
    AppendJack();
    return Names(FDevices);
  }

  MMRESULT Open(std::size_t index, const std::string& name, TMidiNotify notify,
                std::unique_ptr<TMidiBackendPort>& port) override {
    // The number is the one of the last list; the name decides when a later list moved it.
    if (index >= FDevices.size() || FDevices[index].Name != name) {
      index = 0;
      while (index < FDevices.size() && FDevices[index].Name != name) ++index;
      if (index == FDevices.size()) return MMSYSERR_BADDEVICEID;
    }
    const TDevice device = FDevices[index];
    if (device.Api == RtMidi::LINUX_ALSA) {
      if (!AlsaAvailable()) return MIDIERR_NODEVICE;
      return OpenAlsaOutput(std::move(notify), Alsa(), name, port);
    }
    std::shared_ptr<TJackClient> client;
    if (const MMRESULT r = ReadyClientForPort(client); r != MMSYSERR_NOERROR) return r;
    return OpenJackOutput(std::move(client), name, std::move(notify), port);
  }

  // An ALSA port whose client has left and come back has a new address: it is found again by the
  // names of its client and port.
  std::size_t FindDevice(const std::vector<std::string>& names, const std::string& name) override {
    return FindDeviceByName(names, name, [&](std::size_t i) {
      return i < FDevices.size() && FDevices[i].Api == RtMidi::LINUX_ALSA &&
             FDevices[i].Name == names[i];
    });
  }

  // A hardware port of the sequencer is taken as a MIDI wire; every other port as software.
  std::uint32_t DefaultRate(const std::string& name) override {
    const auto device = std::find_if(FDevices.begin(), FDevices.end(),
                                     [&](const TDevice& d) { return d.Name == name; });
    if (device == FDevices.end() || device->Api != RtMidi::LINUX_ALSA) return kMidiRateUnlimited;
    const std::optional<unsigned> type = Alsa()->PortType(name);
    return type && AlsaPortIsWire(*type) ? kMidiDinRate : kMidiRateUnlimited;
  }

  // Ports closed while the server stalled are released once it answers again.
  void Maintain() override {
    if (FClient) FClient->ReleaseClosed();
  }

private:
  struct TRead {
    std::optional<TListKey> Key;
    std::chrono::steady_clock::time_point At{};
  };

  // Whether the list read last under `read` still stands: nothing was announced since, and it is
  // not older than kRelistInterval. Otherwise `read` takes the announcements as they are now,
  // before the list is read again, so that what is announced meanwhile makes the next look read it
  // again.
  bool Unchanged(TRead& read) {
    TListKey key;
    if (AlsaAvailable())
      key.Alsa = Alsa()->Announcements();
    else
      key.Alsa = 0;  // no sequencer: nothing to list there
    if (std::shared_ptr<TJackClient> client = Client()) {
      key.Jack = client.get();
      key.JackChanges = client->GraphChanges();
    }
    const auto now = std::chrono::steady_clock::now();
    if (key.Known() && read.Key == key && now - read.At < kRelistInterval) return true;
    read.Key = key;
    read.At = now;
    return false;
  }

  static std::vector<std::string> Names(const std::vector<TDevice>& devices) {
    std::vector<std::string> names;
    for (const TDevice& d : devices) names.push_back(d.Name);
    return names;
  }

  void AppendAlsa() {
    std::unique_ptr<RtMidiOut> out = MakeOut(RtMidi::LINUX_ALSA, &QuietRtMidi, nullptr);
    if (!out) return;
    const unsigned count = out->getPortCount();
    for (unsigned i = 0; i < count; ++i) {
      std::string name = out->getPortName(i);
      if (!name.empty()) FDevices.push_back({RtMidi::LINUX_ALSA, std::move(name)});
    }
  }

  // The client lists the server's inputs itself. While the server stalls, the inputs listed last
  // stand.
  void AppendJack() {
    std::shared_ptr<TJackClient> client = Client();
    if (!client) {
      FJackInputs.clear();
      return;
    }
    if (client->Cycling()) FJackInputs = client->MidiInputs();
    for (const std::string& name : FJackInputs) FDevices.push_back({RtMidi::UNIX_JACK, name});
  }

  // The client on the JACK server now running, shared by the ports open on it; nullptr when no
  // server answers. A client whose server has gone is kept as it is.
  std::shared_ptr<TJackClient> Client() {
    if (FClient && FClient->Gone()) KeepJackClientForever(std::move(FClient));
    if (!FClient) FClient = TJackClient::Connect();
    return FClient;
  }

  // The client a new port registers on: a client with no port is opened afresh. While a process
  // has a JACK client open, the JACK library keeps one table of the server's clients for the whole
  // process, and an entry can go stale: a client that leaves the server while one of ours is being
  // opened stays in the table, and the client that takes its place later never hears from this
  // process. With no client of the process left in between, the library starts afresh, so that
  // closing and opening the port again cures it. The client is not changed while a device is away:
  // a new one opened just as the device's client leaves would meet that very race.
  std::shared_ptr<TJackClient> ClientForPort() {
    std::shared_ptr<TJackClient> client = Client();
    // A stalled server is asked nothing; one that answers again releases what waited for it.
    if (!client || client->Gone() || !client->Cycling() || !client->ReleaseClosed()) return client;
    if (client->Idle() && client.use_count() == 2) {
      client.reset();
      FClient.reset();
      return Client();
    }
    return client;
  }

  // ClientForPort, where a port can be registered now: a stalled server would hold the
  // registration until it resumes.
  MMRESULT ReadyClientForPort(std::shared_ptr<TJackClient>& client) {
    client = ClientForPort();
    if (!client) return MIDIERR_NODEVICE;
    return client->Cycling() ? MMSYSERR_NOERROR : MIDIERR_NOTREADY;
  }

  std::shared_ptr<TAlsaQuery> Alsa() {
    if (!FAlsa) FAlsa = std::make_shared<TAlsaQuery>();
    return FAlsa;
  }

  std::vector<TDevice> FDevices;
  std::vector<TDevice> FInputs;
  TRead FDevicesRead;
  TRead FInputsRead;
  std::vector<std::string> FJackInputs;
  std::shared_ptr<TJackClient> FClient;
  std::shared_ptr<TAlsaQuery> FAlsa;
};

}  // namespace

std::shared_ptr<TMidiBackend> MakeSystemMidiBackend() {
  return std::make_shared<TSystemMidiBackend>();
}
