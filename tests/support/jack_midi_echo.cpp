// An instrument for end-to-end tests that merges its MIDI input into its output, as many do: every
// event that reaches CLIENT:in leaves CLIENT:out in the same cycle, at the same offset, unchanged.
//
// usage: jack_midi_echo CLIENT
#include <jack/jack.h>
#include <jack/midiport.h>

#include <unistd.h>
#include <csignal>
#include <cstdint>
#include <cstdio>

namespace {

jack_port_t* In = nullptr;
jack_port_t* Out = nullptr;
volatile std::sig_atomic_t Ended = 0;

int Process(jack_nframes_t frames, void*) {
  void* in = jack_port_get_buffer(In, frames);
  void* out = jack_port_get_buffer(Out, frames);
  jack_midi_clear_buffer(out);
  const std::uint32_t count = jack_midi_get_event_count(in);
  for (std::uint32_t i = 0; i < count; ++i) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, in, i) == 0) {
      jack_midi_event_write(out, event.time, event.buffer, event.size);
    }
  }
  return 0;
}

void End(int) { Ended = 1; }
void Gone(void*) { Ended = 1; }

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  jack_client_t* client = jack_client_open(argv[1], JackNoStartServer, nullptr);
  if (client == nullptr) return 1;
  In = jack_port_register(client, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  Out = jack_port_register(client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  if (In == nullptr || Out == nullptr) return 1;
  jack_set_process_callback(client, Process, nullptr);
  jack_on_shutdown(client, Gone, nullptr);
  std::signal(SIGTERM, End);
  std::signal(SIGINT, End);
  if (jack_activate(client) != 0) return 1;
  std::printf("# ready\n");
  std::fflush(stdout);
  while (Ended == 0) usleep(100000);
  jack_client_close(client);
  return 0;
}
