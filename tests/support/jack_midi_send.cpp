// A JACK client that plays an instrument for end-to-end tests: it opens CLIENT:out and sends each
// line of standard input ("b0 10 40") as one MIDI message, in the order read, until standard input
// ends.
//
// usage: jack_midi_send CLIENT
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

namespace {

jack_port_t* port = nullptr;
jack_ringbuffer_t* ring = nullptr;

// Each message waits in the ring as its length and its bytes.
int Process(jack_nframes_t frames, void*) {
  void* buffer = jack_port_get_buffer(port, frames);
  jack_midi_clear_buffer(buffer);
  unsigned char count = 0;
  while (jack_ringbuffer_peek(ring, reinterpret_cast<char*>(&count), 1) == 1 &&
         jack_ringbuffer_read_space(ring) >= 1u + count) {
    unsigned char bytes[256];
    jack_ringbuffer_read_advance(ring, 1);
    jack_ringbuffer_read(ring, reinterpret_cast<char*>(bytes), count);
    jack_midi_event_write(buffer, 0, bytes, count);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: jack_midi_send CLIENT\n");
    return 2;
  }
  jack_client_t* client = jack_client_open(argv[1], JackNoStartServer, nullptr);
  if (client == nullptr) {
    std::fprintf(stderr, "jack_midi_send: no JACK server\n");
    return 1;
  }
  ring = jack_ringbuffer_create(1 << 16);
  port = jack_port_register(client, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  jack_set_process_callback(client, Process, nullptr);
  if (port == nullptr || jack_activate(client) != 0) return 1;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    unsigned char message[256];
    unsigned count = 0;
    unsigned value = 0;
    while (count < sizeof message && in >> std::hex >> value) message[count++] = value & 0xFF;
    if (count == 0) continue;
    while (jack_ringbuffer_write_space(ring) < 1 + count) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    const unsigned char length = static_cast<unsigned char>(count);
    jack_ringbuffer_write(ring, reinterpret_cast<const char*>(&length), 1);
    jack_ringbuffer_write(ring, reinterpret_cast<const char*>(message), count);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  jack_client_close(client);
  return 0;
}
