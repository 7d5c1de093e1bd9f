// Cutting short a system call that waits in the kernel and that nothing but a
// signal ends: tcdrain() on a line that flow control has stopped, a wait for a
// modem line. The calling thread registers itself; close() signals every
// registered thread until each has left, and a deadline arms a timer that
// signals the thread itself. The signal is the one the JDK's own I/O uses to
// wake its threads, with a handler that does nothing, installed without
// SA_RESTART so that the call returns EINTR.
#pragma once

#include <pthread.h>
#include <time.h>

namespace serialslots::connection {

class Interruption {
 public:
  // One thread inside a waiting call, linked into its connection's list.
  struct Waiter {
    pthread_t thread;
    Waiter* next;
  };

  // Installs the handler once per process, where none is installed yet.
  static void prepare() noexcept;
  // Signals the thread so that a waiting system call returns EINTR.
  static void wake(pthread_t thread) noexcept;

  // Signals the calling thread at `deadline` (CLOCK_MONOTONIC nanoseconds; 0:
  // never) and every 10 ms after it, so that a signal arriving just before
  // the call began is followed by another. Disarmed when it goes out of scope.
  class Timer {
   public:
    explicit Timer(long long deadline) noexcept;
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

   private:
    timer_t timer_{};
    bool armed_ = false;
  };
};

}  // namespace serialslots::connection
