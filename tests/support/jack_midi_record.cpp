// An instrument for end-to-end tests that records what reaches it, each message stamped with the
// JACK server's own frame time: the cycle's first frame (jack_last_frame_time) plus the event's
// offset in the cycle. A recorder that counted the frames of its own cycles instead would make
// every cycle it misses on a busy machine shorten the next gap; this one is exact whatever it
// misses, and it says how much that was.
//
// It registers CLIENT:PORT (by default "midi-monitor:input", where the MIDI service lists it as an
// output device) and prints one line a message on standard output, flushed at once: the frame, the
// bytes, and after "@" the message's offset in its cycle (0: the cycle's first frame):
//
//   52992: f8 @128
//   53760: b0 10 40 @0
//
// Cycles for which its process callback did not run are lost to it; each such gap is one line,
// from the first frame it missed to the first it saw again (a server that numbers its frames
// afresh may also start a cycle before the end of the last one: then the second frame is the
// lower):
//
//   # missed 54016-54528
//
// The server's sample rate and cycle size, as the callback finds them in its first cycle and each
// time either changes, from the first frame of the cycle that has them:
//
//   # rate 44100 from 51200
//   # quantum 1024 from 51200
//
// When it ends (SIGTERM, SIGINT, or the server going away) it prints one summary line:
//
//   # cycles 1875, missed cycles 3, xruns 1, lost messages 0
//
// The first line, "# ready", says that the port is registered and the client active: whoever waits
// for the recorder reads it instead of asking the server with a client of its own (a short-lived
// client that closes while another one joins can leave the JACK library of its process waiting on
// a lock forever).
//
// "missed cycles" counts the server's periods for which the process callback did not run (a jump
// in the frame time), "xruns" the server's own xrun reports, and "lost messages" what did not fit
// the ring between the callback and the printer (none, unless the printer stalls for seconds).
//
// usage: jack_midi_record [CLIENT [PORT]]
#include <jack/jack.h>
#include <jack/midiport.h>
#include <jack/ringbuffer.h>

#include <unistd.h>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// One message in the ring: its frame, its offset in the cycle, its length, then that many bytes.
// A length of kGap marks frames that no cycle of this client saw, from Frame to Offset.
struct TRecordHeader {
  jack_nframes_t Frame;
  jack_nframes_t Offset;
  std::uint32_t Size;
};
constexpr std::uint32_t kGap = 0xFFFFFFFF;
// A length of kRate or kQuantum marks the server's rate or cycle size (Offset) from Frame on.
constexpr std::uint32_t kRate = 0xFFFFFFFE;
constexpr std::uint32_t kQuantum = 0xFFFFFFFD;

constexpr std::size_t kRingBytes = 1 << 22;

jack_port_t* Port = nullptr;
jack_ringbuffer_t* Ring = nullptr;
std::atomic<std::uint64_t> Cycles{0};
std::atomic<std::uint64_t> Missed{0};
std::atomic<std::uint64_t> Xruns{0};
std::atomic<std::uint64_t> Lost{0};
std::atomic<bool> Ended{false};
// The frame after the last cycle seen: where the next cycle starts when none is missed.
jack_nframes_t NextFrame = 0;
bool Started = false;
jack_nframes_t Rate = 0;
jack_nframes_t Quantum = 0;

void Mark(jack_nframes_t frame, jack_nframes_t value, std::uint32_t kind) {
  const TRecordHeader mark{frame, value, kind};
  if (jack_ringbuffer_write_space(Ring) >= sizeof mark) {
    jack_ringbuffer_write(Ring, reinterpret_cast<const char*>(&mark), sizeof mark);
  }
}

int Process(jack_nframes_t frames, void* arg) {
  auto* client = static_cast<jack_client_t*>(arg);
  const jack_nframes_t first = jack_last_frame_time(client);
  if (Started && first != NextFrame && frames > 0) {
    // Frame times wrap at 2^32; the difference does too.
    Missed.fetch_add(static_cast<jack_nframes_t>(first - NextFrame) / frames,
                     std::memory_order_relaxed);
    Mark(NextFrame, first, kGap);
  }
  const jack_nframes_t rate = jack_get_sample_rate(client);
  if (rate != Rate) Mark(first, Rate = rate, kRate);
  if (frames != Quantum) Mark(first, Quantum = frames, kQuantum);
  Started = true;
  NextFrame = first + frames;
  Cycles.fetch_add(1, std::memory_order_relaxed);

  void* buffer = jack_port_get_buffer(Port, frames);
  const std::uint32_t count = jack_midi_get_event_count(buffer);
  for (std::uint32_t i = 0; i < count; ++i) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, buffer, i) != 0) continue;
    const TRecordHeader header{first + event.time, event.time,
                               static_cast<std::uint32_t>(event.size)};
    if (jack_ringbuffer_write_space(Ring) < sizeof header + event.size) {
      Lost.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    jack_ringbuffer_write(Ring, reinterpret_cast<const char*>(&header), sizeof header);
    jack_ringbuffer_write(Ring, reinterpret_cast<const char*>(event.buffer), event.size);
  }
  return 0;
}

int Xrun(void*) {
  Xruns.fetch_add(1, std::memory_order_relaxed);
  return 0;
}

void Shutdown(void*) { Ended.store(true); }
void End(int) { Ended.store(true); }

// Prints what the ring holds; false when it was empty.
bool Drain() {
  bool any = false;
  TRecordHeader header;
  // The callback writes a message's header before its bytes: take it only once both are there.
  while (jack_ringbuffer_read_space(Ring) >= sizeof header) {
    jack_ringbuffer_peek(Ring, reinterpret_cast<char*>(&header), sizeof header);
    if (header.Size == kGap || header.Size == kRate || header.Size == kQuantum) {
      jack_ringbuffer_read_advance(Ring, sizeof header);
      if (header.Size == kGap) {
        std::printf("# missed %u-%u\n", header.Frame, header.Offset);
      } else {
        std::printf("# %s %u from %u\n", header.Size == kRate ? "rate" : "quantum", header.Offset,
                    header.Frame);
      }
      any = true;
      continue;
    }
    if (jack_ringbuffer_read_space(Ring) < sizeof header + header.Size) break;
    jack_ringbuffer_read_advance(Ring, sizeof header);
    unsigned char bytes[4096];
    std::uint32_t left = header.Size;
    std::printf("%u:", header.Frame);
    while (left > 0) {
      const std::uint32_t chunk = left < sizeof bytes ? left : sizeof bytes;
      jack_ringbuffer_read(Ring, reinterpret_cast<char*>(bytes), chunk);
      for (std::uint32_t b = 0; b < chunk; ++b) std::printf(" %02x", bytes[b]);
      left -= chunk;
    }
    std::printf(" @%u\n", header.Offset);
    any = true;
  }
  if (any) std::fflush(stdout);
  return any;
}

}  // namespace

int main(int argc, char** argv) {
  const char* name = argc > 1 ? argv[1] : "midi-monitor";
  const char* portName = argc > 2 ? argv[2] : "input";
  jack_client_t* client = jack_client_open(name, JackNoStartServer, nullptr);
  if (client == nullptr) {
    std::fprintf(stderr, "jack_midi_record: no JACK server\n");
    return 1;
  }
  Ring = jack_ringbuffer_create(kRingBytes);
  Port = jack_port_register(client, portName, JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  if (Ring == nullptr || Port == nullptr) {
    std::fprintf(stderr, "jack_midi_record: cannot register %s:%s\n", name, portName);
    jack_client_close(client);
    return 1;
  }
  jack_set_process_callback(client, Process, client);
  jack_set_xrun_callback(client, Xrun, nullptr);
  jack_on_shutdown(client, Shutdown, nullptr);
  std::signal(SIGTERM, End);
  std::signal(SIGINT, End);
  if (jack_activate(client) != 0) {
    std::fprintf(stderr, "jack_midi_record: cannot activate\n");
    jack_client_close(client);
    return 1;
  }
  std::printf("# ready\n");
  std::fflush(stdout);
  // The printer polls: a wake-up from the process callback would be a system call there.
  while (!Ended.load()) {
    if (!Drain()) usleep(1000);
  }
  jack_deactivate(client);
  Drain();
  std::printf("# cycles %llu, missed cycles %llu, xruns %llu, lost messages %llu\n",
              static_cast<unsigned long long>(Cycles.load()),
              static_cast<unsigned long long>(Missed.load()),
              static_cast<unsigned long long>(Xruns.load()),
              static_cast<unsigned long long>(Lost.load()));
  std::fflush(stdout);
  jack_client_close(client);
  jack_ringbuffer_free(Ring);
  return 0;
}
