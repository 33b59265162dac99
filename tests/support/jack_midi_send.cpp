// An instrument for end-to-end tests: opens the JACK port CLIENT:out and sends each line of
// standard input ("b0 10 40") as one MIDI message, in order, until standard input ends.
//
// usage: jack_midi_send CLIENT
#include <RtMidi.h>

#include <iostream>
#include <sstream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  try {
    RtMidiOut out(RtMidi::UNIX_JACK, argv[1]);
    out.openVirtualPort("out");
    std::string line;
    while (std::getline(std::cin, line)) {
      std::istringstream in(line);
      std::vector<unsigned char> message;
      for (unsigned byte = 0; in >> std::hex >> byte;) message.push_back(byte & 0xFF);
      if (!message.empty()) out.sendMessage(&message);
    }
  } catch (const RtMidiError& error) {
    std::cerr << error.getMessage() << '\n';
    return 1;
  }
  return 0;
}
