#pragma once

#include <jack/jack.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "MidiBackend.h"

class TJackOutput;
class TJackInput;

// The program's one client of a JACK server, "Halvorine". Its output ports ("out", and "out-2" on
// for further outputs open at once) carry what the worker writes into each port's ring, and the
// clock ticks a port times itself; its input port "in" is registered while an input is chosen and
// hands every event it receives to the input's receive function. Its process callback is also the
// watch of the server: it counts the server's cycles, and the client learns of the server's
// shutdown and of ports and clients that come and go.
//
// The process callback never locks, allocates or blocks: it reads the ports' rings and the atomics
// below, and the receive function it calls for the input does no more (one eventfd write when the
// reader is to be woken). Every other member is called on the service's worker thread.
class TJackClient {
public:
  // Opens and activates the client; nullptr when no server answers (none is ever started).
  static std::shared_ptr<TJackClient> Connect();
  // Closes the client. The JACK library crashes when a client of a server that has gone closes,
  // and a stalled server would hold the close: such a client is kept, idle, until the process ends.
  ~TJackClient();
  TJackClient(const TJackClient&) = delete;
  TJackClient& operator=(const TJackClient&) = delete;

  // ---- The watch ----

  // The cycle count and the shutdown flag, read together in one load.
  std::uint64_t State() const { return FState.load(std::memory_order_acquire); }
  static bool Gone(std::uint64_t state) { return (state & kGoneBit) != 0; }
  static std::uint32_t Cycles(std::uint64_t state) { return static_cast<std::uint32_t>(state); }
  bool Gone() const { return Gone(State()); }
  // True when the server runs two cycles within a fifth of a second (one might have been under way
  // when the server stopped); false when it is gone or stalled.
  bool Cycling() const;
  // Waits until the server has run `count` more cycles, at most a quarter of a second.
  void WaitCycles(std::uint32_t count) const;
  // Counts up whenever a port or a client of the server comes or goes.
  std::uint32_t GraphChanges() const { return FGraphChanges.load(std::memory_order_acquire); }

  // The full names of the server's MIDI input ports (where output goes).
  std::vector<std::string> MidiInputs() const;
  // The full names of the server's MIDI sources, but this program's own.
  std::vector<std::string> MidiSources() const;
  bool HasPort(const std::string& name) const;

  // ---- Ports ----

  // No port is registered, and none waits to be released.
  bool Idle() const;
  // Registers an output port and connects it to `device`.
  MMRESULT OpenOutput(const std::string& device, TJackOutput*& output);
  // Registers "in" and connects `source` to it; `receive` gets every event the port receives, on
  // the process thread, until CloseInput.
  MMRESULT OpenInput(const std::string& source, TMidiReceive receive);
  // Once these return the process callback no longer touches the port. A port closed while the
  // server stalls is unregistered by ReleaseClosed once it cycles again.
  void CloseOutput(TJackOutput* output);
  void CloseInput();
  // Unregisters the ports closed while the server stalled, once it cycles; true when none is left.
  bool ReleaseClosed();

  // Queues one message of 1 to 3 bytes for the next cycle; false when the port's share of a cycle
  // is written already (see JackClient.cpp).
  bool Write(TJackOutput& output, const std::uint8_t* bytes, std::size_t count) const;
  static void TimeClock(TJackOutput& output, std::shared_ptr<TMidiClockState> clock);

  static constexpr std::size_t kMessageMax = 3;

private:
  explicit TJackClient(jack_client_t* client);

  static int Process(jack_nframes_t frames, void* arg);
  static void Shutdown(void* arg);
  static int SampleRate(jack_nframes_t rate, void* arg);
  static int BufferSize(jack_nframes_t frames, void* arg);
  static void PortRegistered(jack_port_id_t, int, void* arg);
  static void ClientRegistered(const char*, int, void* arg);
  void Cycle(jack_nframes_t frames);
  // The process callback stops using a port whose slot is cleared within two cycles.
  void Release(jack_port_t* port);
  void ReleaseOutput(std::size_t slot);

  static constexpr std::uint64_t kGoneBit = std::uint64_t{1} << 63;
  static constexpr std::size_t kOutputs = 16;

  jack_client_t* FClient;
  std::atomic<std::uint64_t> FState{0};
  std::atomic<std::uint32_t> FGraphChanges{0};
  std::atomic<jack_nframes_t> FSampleRate{0};
  std::atomic<jack_nframes_t> FBufferSize{0};
  // What the process callback reads; the worker sets and clears them.
  std::array<std::atomic<TJackOutput*>, kOutputs> FOutputSlots{};
  std::atomic<TJackInput*> FInputSlot{nullptr};
  // The worker's own: what is registered (an output closed while the server stalled stays until
  // it is released), and the inputs closed while the server stalled.
  std::array<std::unique_ptr<TJackOutput>, kOutputs> FOutputs;
  std::unique_ptr<TJackInput> FInput;
  std::vector<std::unique_ptr<TJackInput>> FClosedInputs;
};

// The JACK library prints every failed connection; the service prints nothing.
void SilenceJack();

// Keeps an object reachable and idle until the process ends: a JACK client of a server that has
// gone can be neither closed nor destroyed.
void KeepJackClientForever(std::shared_ptr<TJackClient> client);

// An output port on a JACK server, connected to `device`: a port of `client`. The port posts
// MOM_OPEN through `notify` once open, MOM_CLOSE once closed.
MMRESULT OpenJackOutput(std::shared_ptr<TJackClient> client, const std::string& device,
                        TMidiNotify notify, std::unique_ptr<TMidiBackendPort>& port);
// The input on a JACK server: the port "in" of `client`, connected from `source`.
MMRESULT OpenJackInput(std::shared_ptr<TJackClient> client, const std::string& source,
                       TMidiReceive receive, std::unique_ptr<TMidiBackendInPort>& port);
