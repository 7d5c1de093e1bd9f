// The one place every connection's readiness is waited for: an epoll set that
// the event loop's threads wait on (the kernel wakes one of them for each
// readiness), plus an eventfd that wakes them all. Descriptors
// are added with a token of the caller's choice, which comes back with what
// is ready. Waiting costs nothing while nothing happens: no timer, no tick.
#pragma once

#include <cstdint>

namespace serialslots::events {

// What was ready, as bits Java decodes.
enum Readiness : int { kIn = 1, kOut = 2, kHangUp = 4 };

inline constexpr std::uint64_t kWoken = 0;  // the token of wake(); others start at 1

struct Ready {
  std::uint64_t token;
  int readiness;
};

class Poller {
 public:
  // A new poller, or nullptr with errno set.
  static Poller* create() noexcept;
  ~Poller();
  Poller(const Poller&) = delete;
  Poller& operator=(const Poller&) = delete;

  // Waits up to timeoutMillis (-1: without limit) for something ready or a
  // wake(), and fills at most `max`; a wake comes as token kWoken. Returns
  // how many, or -1 with errno.
  int await(Ready* ready, int max, int timeoutMillis) noexcept;
  // Ends every thread's wait, now and at once again, until clearWake().
  void wake() noexcept;
  void clearWake() noexcept;
  // Adds `fd` for the epoll `events`, or changes (and re-arms) what it waits
  // for. Returns 0 or the errno.
  int watch(int fd, std::uint64_t token, std::uint32_t events, bool added) noexcept;
  // Takes `fd` out of the set. Closing it would not when another descriptor
  // shares its open file: epoll keeps an entry until the file's last close.
  void unwatch(int fd) noexcept;

 private:
  Poller(int epoll, int wake) noexcept : epoll_(epoll), wake_(wake) {}
  int epoll_;
  int wake_;
};

}  // namespace serialslots::events
