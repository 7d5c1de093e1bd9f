#include "events/poller.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <new>

namespace serialslots::events {
Poller* Poller::create() noexcept {
  const int epoll = epoll_create1(EPOLL_CLOEXEC);
  if (epoll < 0) return nullptr;
  const int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  epoll_event event{};
  event.events = EPOLLIN;
  event.data.u64 = kWoken;
  Poller* poller = nullptr;
  if (wake >= 0 && epoll_ctl(epoll, EPOLL_CTL_ADD, wake, &event) == 0) {
    poller = new (std::nothrow) Poller(epoll, wake);
  }
  if (poller == nullptr) {
    const int error = errno;
    if (wake >= 0) close(wake);
    close(epoll);
    errno = error;
  }
  return poller;
}

Poller::~Poller() {
  close(wake_);
  close(epoll_);
}

int Poller::await(Ready* ready, int max, int timeoutMillis) noexcept {
  constexpr int kBatch = 64;
  epoll_event events[kBatch];
  const int got = epoll_wait(epoll_, events, max < kBatch ? max : kBatch, timeoutMillis);
  if (got < 0) return errno == EINTR ? 0 : -1;
  int count = 0;
  for (int i = 0; i < got; ++i) {
    const std::uint32_t bits = events[i].events;
    ready[count++] = {events[i].data.u64,
                      ((bits & EPOLLIN) ? kIn : 0) | ((bits & EPOLLOUT) ? kOut : 0) |
                          ((bits & (EPOLLHUP | EPOLLERR | EPOLLRDHUP)) ? kHangUp : 0)};
  }
  return count;
}

void Poller::wake() noexcept {
  const std::uint64_t one = 1;
  (void)!write(wake_, &one, sizeof one);
}

void Poller::clearWake() noexcept {
  std::uint64_t woken;
  (void)!read(wake_, &woken, sizeof woken);
}

int Poller::watch(int fd, std::uint64_t token, std::uint32_t events, bool added) noexcept {
  epoll_event event{};
  event.events = events;
  event.data.u64 = token;
  return epoll_ctl(epoll_, added ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &event) == 0 ? 0 : errno;
}

void Poller::unwatch(int fd) noexcept { epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr); }

}  // namespace serialslots::events
