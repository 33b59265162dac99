#pragma once

#include <optional>

// How many more events the input queue of sequencer client `client` takes now, asked through the
// sequencer device open as `fd`; nothing when the sequencer does not tell (an old kernel) or the
// client reads no events of its own (a kernel client takes each event as it comes).
//
// A user-space client's input queue holds a few hundred events. A write that finds it full is
// refused, and the client's next read then throws away everything its queue held: a sender that
// must lose nothing looks here before it writes.
struct TAlsaInputRoom {
  int Free = 0;  // events
  int Size = 0;  // of the whole queue
};
std::optional<TAlsaInputRoom> AlsaInputRoom(int fd, int client);
