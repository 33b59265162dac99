#pragma once

#include <array>
#include <cstdint>
#include <optional>

// Where a sound's parameters go: four sounds share a MIDI channel, each owning a block of 24
// controllers. The third block starts at 72, so controllers 64..71 are never used.
constexpr std::array<int, 16> ControllerBase = {16, 40, 72, 96, 16, 40, 72, 96,
                                                16, 40, 72, 96, 16, 40, 72, 96};
constexpr std::array<int, 16> ChannelOffset = {0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3};

struct TControlAddress {
  std::uint8_t Channel;  // 0-based, as ORed into the status byte
  std::uint8_t Controller;
};

// The channel and controller of parameter index (0..23) of sound (0..15), with the base channel
// 1-based as the port keeps it.
constexpr TControlAddress ParameterAddress(int baseChannel, int sound, int index) {
  return {static_cast<std::uint8_t>((baseChannel + ChannelOffset[sound] - 1) % 256),
          static_cast<std::uint8_t>((index + ControllerBase[sound]) % 256)};
}

struct TParameterAt {
  int Sound;  // 0..15
  int Index;  // 0..23
  bool operator==(const TParameterAt&) const = default;
};

// The inverse of ParameterAddress: the sound and parameter that a control change on `channel`
// (0-based) with `controller` sets, with the base channel 1-based. Channels count on from the base
// and wrap past 16 as the status byte does. Nothing for a channel outside the base's four, or a
// controller that is no parameter (below 16, 64..71, 120 and up).
constexpr std::optional<TParameterAt> ParameterAt(int baseChannel, int channel, int controller) {
  const int offset = ((channel - (baseChannel - 1)) % 16 + 16) % 16;
  if (offset > 3) return std::nullopt;
  for (int block = 0; block < 4; ++block) {
    const int index = controller - ControllerBase[block];
    if (index >= 0 && index < 24) return TParameterAt{offset * 4 + block, index};
  }
  return std::nullopt;
}
