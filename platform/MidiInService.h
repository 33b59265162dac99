#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// The MIDI input service: the input devices (the sources of other programs and hardware) listed by
// name, one of them followed at a time. Every call into the MIDI APIs runs on the MIDI service's
// worker thread, as the output's do. What a device sends arrives on the backend's receiving thread
// (real-time under JACK) as raw bytes, is made into whole messages there (TMidiInParser), goes into
// a bounded ring without a lock and is taken by the one reader, who is woken through an eventfd
// (MidiInWakeDescriptor). A device that goes away is waited for and followed again as soon as a
// device of that name is listed again.

// One received short message, whole: Count is the length its status calls for. System exclusive
// messages are not kept.
struct TMidiInMessage {
  std::array<std::uint8_t, 3> Bytes{};
  std::uint8_t Count = 0;
  std::uint32_t Generation = 0;  // which following of an input received it
};

// A single-producer, single-consumer ring of messages: Push on one thread, Take on one other.
// Neither blocks; a full ring drops the message and counts it.
class TMidiInRing {
public:
  static constexpr std::size_t kCapacity = 4096;  // a power of two

  // False (and counted) when full.
  bool Push(const std::uint8_t* bytes, std::size_t count, std::uint32_t generation);
  // Calls `take` for every message pushed so far, in order; returns how many.
  template <typename TTake>
  std::size_t Take(TTake take) {
    const std::size_t tail = FTail.load(std::memory_order_relaxed);
    const std::size_t head = FHead.load(std::memory_order_acquire);
    for (std::size_t i = tail; i != head; ++i) take(FMessages[i & (kCapacity - 1)]);
    FTail.store(head, std::memory_order_release);
    return head - tail;
  }
  std::uint64_t Dropped() const { return FDropped.load(std::memory_order_relaxed); }

private:
  std::array<TMidiInMessage, kCapacity> FMessages{};
  alignas(64) std::atomic<std::size_t> FHead{0};  // written by the producer
  alignas(64) std::atomic<std::size_t> FTail{0};  // written by the consumer
  std::atomic<std::uint64_t> FDropped{0};
};

enum class TMidiInLink {
  ilClosed,  // no input chosen
  ilOpen,    // following the device
  ilAway,    // the device went away (or was not there); waiting for it to return
};

struct TMidiInState {
  TMidiInLink Link = TMidiInLink::ilClosed;
  std::string Device;
  std::uint64_t Dropped = 0;  // messages lost to a full ring since the open
  std::uint64_t CutOff = 0;   // messages dropped for missing data bytes since the open
};

// Reads the input list afresh on the worker (at most the output's answer wait; empty then).
std::vector<std::string> MidiInListDevices();

// Follows the input named `device` from now on, in place of any other. False, with nothing
// followed, when `device` is not listed now.
bool MidiInOpen(const std::string& device);
// Stops following; once this returns nothing more of that input is taken, even when its port
// closes only after the worker's answer wait.
void MidiInClose();
TMidiInState MidiInGetState();

// The eventfd that becomes readable when a message arrives into a ring the reader is not reading.
// It lives as long as the process. The reader watches it, calls MidiInAcknowledgeWake when it turns
// readable, and then MidiInTake.
int MidiInWakeDescriptor();
void MidiInAcknowledgeWake();
// Calls `take` for each message of the followed input received since the last call, in order;
// returns how many. Called by the one reader.
std::size_t MidiInTake(const std::function<void(const TMidiInMessage&)>& take);
