#pragma once

#include <cstdint>

#include "MidiOutService.h"

// The slot-state library: what the MIDI output service has reported about the device of each
// output slot (the instance value given to midiOutOpen). The service's notification thread writes
// it through MidiOutHandler; ports read it from their own thread. Every entry point may be called
// from any thread.

constexpr std::int32_t kMidiOutSlotCount = 16;

// The output callback to give midiOutOpen with the slot as instance value. MOM_OPEN marks the
// slot open through that handle; MOM_CLOSE marks it closed (from a handle other than the one that
// opened it, it is ignored); MOM_PENDING and MOM_DONE count output the device still holds. A slot
// outside 0..kMidiOutSlotCount-1 is ignored.
void MidiOutHandler(HMIDIOUT handle, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                    DWORD_PTR param2);

// True from MOM_OPEN of the slot's device until its MOM_CLOSE; false for a slot never opened and
// for a slot outside the range.
bool MIDIOUTISOPEN(std::int32_t slot);

// True while the slot's device holds output that has not gone out.
bool MIDIOUTISBUSY(std::int32_t slot);

// Forgets what was reported for the slot, so that the next holder of the slot starts closed and
// idle; a late notification of the old handle is then ignored.
void MIDIOUTRESET(std::int32_t slot);
