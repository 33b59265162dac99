#pragma once

#include <cstdint>

// The millisecond tick count: milliseconds since an arbitrary start, wrapping at 2^32 like the
// desktop systems' tick count. Compare ticks by their difference, never by their order.
std::uint32_t GetTickCount();

// A replacement clock for tests, so that waits of many seconds take none.
using TTickSource = std::uint32_t (*)();

// Puts `source` in place of the system clock (nullptr restores it) and returns the source it
// replaced (nullptr for the system clock). Set it while no wait is running.
TTickSource SetTickSource(TTickSource source);
