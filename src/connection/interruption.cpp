#include "connection/interruption.h"

#include <signal.h>
#include <unistd.h>

namespace serialslots::connection {
namespace {

int wakeSignal() noexcept { return SIGRTMAX - 2; }

void doNothing(int) {}

pthread_once_t installed = PTHREAD_ONCE_INIT;

void install() noexcept {
  struct sigaction current {};
  if (sigaction(wakeSignal(), nullptr, &current) != 0) return;
  // A handler already there (the JDK's) does nothing either; keep it.
  if (current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN) return;
  struct sigaction handler {};
  handler.sa_handler = doNothing;
  sigemptyset(&handler.sa_mask);
  handler.sa_flags = 0;  // no SA_RESTART: the waiting call returns EINTR
  sigaction(wakeSignal(), &handler, nullptr);
}

}  // namespace

void Interruption::prepare() noexcept { pthread_once(&installed, install); }

void Interruption::wake(pthread_t thread) noexcept { pthread_kill(thread, wakeSignal()); }

Interruption::Timer::Timer(long long deadline) noexcept {
  if (deadline == 0) return;
  sigevent event{};
  event.sigev_notify = SIGEV_THREAD_ID;
  event.sigev_signo = wakeSignal();
  event._sigev_un._tid = gettid();  // sigev_notify_thread_id, which this C library does not name
  if (timer_create(CLOCK_MONOTONIC, &event, &timer_) != 0) return;
  armed_ = true;
  constexpr long long kBillion = 1000000000LL;
  itimerspec when{};
  when.it_value = {static_cast<time_t>(deadline / kBillion),
                   static_cast<long>(deadline % kBillion)};
  when.it_interval = {0, 10000000};
  timer_settime(timer_, TIMER_ABSTIME, &when, nullptr);
}

Interruption::Timer::~Timer() {
  if (armed_) timer_delete(timer_);
}

}  // namespace serialslots::connection
