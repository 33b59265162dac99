#pragma once

#include <memory>

#include "MidiBackend.h"

// The service's real backend: the ports of the ALSA sequencer (when /dev/snd/seq can be opened) and
// of a running JACK server (never started on its own), each through the program's own client of
// that server; RtMidi lists the sequencer's ports and reads a sequencer input.
std::shared_ptr<TMidiBackend> MakeSystemMidiBackend();
