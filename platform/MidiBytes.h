#pragma once

#include <cstddef>
#include <cstdint>

// The MIDI status bytes the program sends, receives or looks for, named once, and the length of a
// message by its status byte.

constexpr std::uint8_t kMidiNoteOn = 0x90;
constexpr std::uint8_t kMidiControlChange = 0xB0;
constexpr std::uint8_t kMidiSysEx = 0xF0;
constexpr std::uint8_t kMidiSysExEnd = 0xF7;
constexpr std::uint8_t kMidiClockTick = 0xF8;
constexpr std::uint8_t kMidiStart = 0xFA;
constexpr std::uint8_t kMidiContinue = 0xFB;
constexpr std::uint8_t kMidiStop = 0xFC;
constexpr std::uint8_t kMidiActiveSensing = 0xFE;

// The status byte's kind of message without its channel (0x80 to 0xE0), or a system status as it
// is.
constexpr std::uint8_t MidiStatusKind(std::uint8_t status) {
  return status < 0xF0 ? static_cast<std::uint8_t>(status & 0xF0) : status;
}

// Real-time bytes (0xF8 and above) may stand anywhere, even inside another message.
constexpr bool MidiIsRealTime(std::uint8_t byte) { return byte >= kMidiClockTick; }

// The clock's own bytes: its tick and the transport that starts, goes on with and stops it.
constexpr bool MidiIsClockByte(std::uint8_t status) {
  return status == kMidiClockTick || status == kMidiStart || status == kMidiContinue ||
         status == kMidiStop;
}

// How many bytes a short message with this status byte has, status included: 1 to 3, or 0 when the
// status cannot start a short message (a data byte, or system exclusive and its end).
constexpr std::size_t MidiMessageLength(std::uint8_t status) {
  if (status < 0x80) return 0;
  if (status < 0xF0) return (status & 0xE0) == 0xC0 ? 2 : 3;  // 0xC0-0xDF carry one data byte
  switch (status) {
    case kMidiSysEx:
    case kMidiSysExEnd:
      return 0;
    case 0xF1:
    case 0xF3:
      return 2;
    case 0xF2:
      return 3;
    default:
      return 1;  // tune request, real-time and the undefined system bytes
  }
}
