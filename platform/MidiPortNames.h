#pragma once

#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// The names of MIDI ports as the device lists give them, and finding a device again by its name.

// The sequencer address (client, port) at the end of an ALSA port name as RtMidi gives it
// ("Client:Port 20:0"); nothing when the name does not end in one.
std::optional<std::pair<int, int>> AlsaPortAddress(const std::string& name);

// The name without the address at its end ("Client:Port"): what stays the same when the port's
// client leaves and comes back under another number. A name without an address stays as it is.
std::string AlsaPortIdentity(const std::string& name);

// The place in `names` of the device that was listed as `name` before: the same name, or else an
// ALSA port (alsa(i) true) with the same client and port names at another address, as a client
// that left and came back gets; names.size() when there is none.
std::size_t FindDeviceByName(const std::vector<std::string>& names, const std::string& name,
                             const std::function<bool(std::size_t)>& alsa);

// Whether a sequencer port of these type bits is a MIDI wire (hardware, not software), paced at
// kMidiDinRate.
bool AlsaPortIsWire(unsigned type);
