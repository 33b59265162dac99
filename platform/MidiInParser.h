#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "MidiBytes.h"

// Turns the bytes a MIDI input receives into whole short messages, whatever pieces the backend
// hands them over in: a message may be split over several pieces, and several messages may share
// one.
// - A message is handed on only with all the data bytes its status calls for; one that a status
//   byte interrupts before that is dropped and counted as cut off, never completed.
// - Data bytes after a whole channel message take its status again (running status); a system
//   common message ends running status. Data bytes with no status to take are dropped.
// - A system exclusive message runs from 0xF0 to 0xF7 and is not handed on; any status byte other
//   than a real-time one ends it early (counted as cut off) and starts its own message.
// - Real-time bytes are handed on at once, wherever they stand, also inside another message or a
//   system exclusive, which goes on around them. Undefined status bytes start nothing.
// No allocation, no lock: it runs on a backend's receiving thread, which may be real-time. One
// thread at a time.
class TMidiInParser {
public:
  // Feeds `count` bytes; calls `message(bytes, length)` for each whole message in them, in order.
  // Returns how many messages these bytes cut off.
  template <typename TMessage>
  std::size_t Feed(const std::uint8_t* bytes, std::size_t count, TMessage&& message) {
    std::size_t cut = 0;
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint8_t b = bytes[i];
      if (MidiIsRealTime(b)) {
        if (b != 0xF9 && b != 0xFD) message(&b, 1);
        continue;
      }
      if (b >= 0x80) {
        cut += Status(b, message);
        continue;
      }
      if (FMessage[0] == 0) continue;  // no status to take, or inside a system exclusive
      FMessage[++FHave] = b;
      if (FHave + 1 < FLength) continue;
      message(FMessage.data(), FLength);
      FHave = 0;
      FStarted = false;
      // Only channel messages leave their status running.
      if (FMessage[0] >= 0xF0) FMessage[0] = 0;
    }
    return cut;
  }

  // Forgets what the last bytes left unfinished, uncounted.
  void Reset() { *this = TMidiInParser(); }

private:
  template <typename TMessage>
  std::size_t Status(std::uint8_t status, TMessage&& message) {
    // A message that had its status byte or some data bytes but not all is cut off here; a
    // running status with no data byte yet is not.
    // 0xF7 ends a system exclusive as it should.
    const bool partial = FStarted || FHave > 0;
    const std::size_t cut = partial || (FInSysEx && status != kMidiSysExEnd) ? 1 : 0;
    FInSysEx = status == kMidiSysEx;
    FHave = 0;
    FStarted = false;
    FMessage[0] = 0;
    FLength = MidiMessageLength(status);
    if (FLength == 1) {
      if (status == 0xF6) message(&status, 1);  // tune request; 0xF4 and 0xF5 are undefined
    } else if (FLength > 1) {
      FMessage[0] = status;
      FStarted = true;
    }
    return cut;
  }

  std::array<std::uint8_t, 3> FMessage{};  // the status (0: none to take) and the data so far
  std::size_t FHave = 0;                   // data bytes so far
  std::size_t FLength = 0;                 // bytes the message takes, status included
  bool FStarted = false;                   // the status byte itself came, not taken up again
  bool FInSysEx = false;
};
