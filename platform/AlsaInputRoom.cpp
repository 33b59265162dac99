#include "AlsaInputRoom.h"

#include <sys/ioctl.h>

// The kernel's own definitions; alsa-lib declares the same names differently, so this file keeps
// apart from it. alsa-lib asks this of the caller's own client only.
#include <sound/asequencer.h>

std::optional<TAlsaInputRoom> AlsaInputRoom(int fd, int client) {
  snd_seq_client_pool pool{};
  pool.client = client;
  if (ioctl(fd, SNDRV_SEQ_IOCTL_GET_CLIENT_POOL, &pool) < 0 || pool.input_pool <= 0) {
    return std::nullopt;
  }
  return TAlsaInputRoom{pool.input_free, pool.input_pool};
}
