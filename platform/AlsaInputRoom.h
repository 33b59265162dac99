#pragma once

#include <algorithm>
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

// The writer's count of the events it may still write to one receiver before it looks at the room
// again: the room found at the last look, less what is kept for others that write to the same
// queue (a quarter, at most kKept). Each write spends one; a queue only empties between looks, so
// the count never overfills it (other writers aside). A receiver whose room is not told is written
// to without a look.
class TAlsaRoomCredit {
public:
  static constexpr int kKept = 16;
  static constexpr int kUnknown = 1 << 30;

  // Whether one more event may be written now; `look` (returning what AlsaInputRoom returns) is
  // asked once the count is spent.
  template <typename TLook>
  bool MayWrite(TLook look) {
    if (FCredit > 0) return true;
    const std::optional<TAlsaInputRoom> room = look();
    FCredit = room ? std::max(room->Free - std::min(kKept, room->Size / 4), 0) : kUnknown;
    return FCredit > 0;
  }
  void Wrote() { --FCredit; }

private:
  int FCredit = 0;
};
