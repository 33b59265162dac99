#include "TickCount.h"

#include <atomic>
#include <ctime>

namespace {

std::atomic<TTickSource> Source{nullptr};

std::uint32_t SystemTicks() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  const auto ms = static_cast<std::uint64_t>(now.tv_sec) * 1000u +
                  static_cast<std::uint64_t>(now.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

}  // namespace

std::uint32_t GetTickCount() {
  const TTickSource source = Source.load(std::memory_order_acquire);
  return source != nullptr ? source() : SystemTicks();
}

TTickSource SetTickSource(TTickSource source) {
  return Source.exchange(source, std::memory_order_acq_rel);
}
