#pragma once

#include <memory>

#include "MidiBackend.h"

// The service's real backend: the output ports of the ALSA sequencer (when /dev/snd/seq can be
// opened) and of a running JACK server (never started on its own), through RtMidi.
std::shared_ptr<TMidiBackend> MakeRtMidiBackend();
