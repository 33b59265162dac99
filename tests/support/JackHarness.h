#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// A private JACK server with the dummy driver (no sound card), synchronous (a cycle waits for a
// late client instead of skipping it, so that a busy machine loses no message to the recorder), and
// a recorder (jack_midi_record, the "dump") whose input, "midi-monitor:input", shows as an output
// device of the MIDI service. For end-to-end tests and benchmarks (library halvorine_test_support).
//
// While it runs, this process's JACK_DEFAULT_SERVER names the private server, so the service and
// RtMidi talk to it. The children die with this process, and Stop (also run by the destructor)
// ends them and puts the environment back.
class TJackHarness {
public:
  static constexpr const char* kDumpPort = "midi-monitor:input";
  // The device number of the dump's input in the MIDI service's list (read afresh); -1 when it is
  // not listed.
  static int DumpDevice();

  struct TOptions {
    std::uint32_t Rate = 48000;
    std::uint32_t Period = 256;
    bool StartDump = true;  // false: the server alone
  };

  TJackHarness();
  ~TJackHarness();
  TJackHarness(const TJackHarness&) = delete;
  TJackHarness& operator=(const TJackHarness&) = delete;

  // Starts the server and the dump and waits until the dump's port exists. False, with the reason
  // in Error(), when either does not come up within 10 s; what did start is stopped again.
  bool Start(const TOptions& options);
  bool Start() { return Start(TOptions{}); }
  // Ends the server (the dump goes with it) and waits for it to exit.
  void StopServer();
  // Ends the dump and the server; safe to call at any time, also twice.
  void Stop();
  // Stops the server's process in its tracks (SIGSTOP) or lets it go on (SIGCONT): a stalled
  // server that answers nothing and runs no cycle.
  void PauseServer(bool paused);
  // Ends the dump alone; its port leaves the server.
  void StopDump();
  // Starts the dump again under the same port name, with an empty record; false when its port
  // does not appear within 10 s.
  bool StartDump();
  // The full names of the server's MIDI output ports now.
  std::vector<std::string> MidiOutputPorts() const;
  // The UUID of the client of that name on the server now; empty when there is none.
  std::string ClientUuid(const std::string& name) const;

  bool Running() const { return FServer > 0; }
  const std::string& Error() const { return FError; }

  // The messages that the dump has printed so far, as bytes.
  std::vector<std::vector<std::uint8_t>> DumpedMessages() const;
  // The same, each with the server's frame time of its arrival and its offset in that cycle.
  struct TRecorded {
    std::uint32_t Frame = 0;
    std::uint32_t Offset = 0;
    std::vector<std::uint8_t> Bytes;
  };
  std::vector<TRecorded> Recorded() const;
  // Waits until the dump has printed at least `count` messages; false on timeout.
  bool WaitForMessages(std::size_t count, std::chrono::milliseconds timeout) const;

  // Parses one line of the recorder ("52992: b0 10 40", the server's frame, then the bytes) into
  // its bytes; nothing for a line that is not a message.
  static std::optional<std::vector<std::uint8_t>> ParseDumpLine(const std::string& line);

private:
  pid_t Spawn(const std::vector<std::string>& args, const std::string& output);
  bool WaitForServer(std::chrono::milliseconds timeout);
  bool WaitForDumpPort(std::chrono::milliseconds timeout);
  static void End(pid_t& pid);

  std::string FName;
  std::string FDirectory;
  std::string FDumpFile;
  std::string FError;
  std::optional<std::string> FSavedServer;
  bool FEnvironmentSet = false;
  pid_t FServer = -1;
  pid_t FDump = -1;
};
