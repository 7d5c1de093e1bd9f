#include "connection/exclusive_guard.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cstdint>
#include <utility>

#include "connection/guardian_protocol.h"

// The guardian program's bytes, embedded at build time.
extern const unsigned char kGuardianImage[];
extern const std::size_t kGuardianImageSize;

namespace serialslots::connection::exclusive {
namespace {

#ifndef MFD_EXEC
constexpr unsigned kMfdExec = 0x0010U;  // Linux 6.3: an executable memfd where vm.memfd_noexec asks for it
#else
constexpr unsigned kMfdExec = MFD_EXEC;
#endif

// How long the guardian may take to answer: past it, it is taken for dead.
constexpr int kAnswerMillis = 2000;

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
// All guarded by lock.
int toGuardian = -1;
pid_t guardian = 0;
int held = 0;
int heldFds[guardian::kSlots];  // the connection's descriptor in each slot, -1 for a free one
bool slotsReady = false;

bool writeAll(int fd, const unsigned char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, bytes, size);
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

// Not inlined: locals of a function that calls vfork may be clobbered by it.
__attribute__((noinline)) int memfdHoldingImage() {
  const int executable =
      static_cast<int>(syscall(SYS_memfd_create, "serialslots-excl", MFD_CLOEXEC | kMfdExec));
  // A kernel before MFD_EXEC refuses the flag.
  const int image = executable >= 0 || errno != EINVAL
                        ? executable
                        : static_cast<int>(syscall(SYS_memfd_create, "serialslots-excl", MFD_CLOEXEC));
  if (image >= 0 && !writeAll(image, kGuardianImage, kGuardianImageSize)) {
    close(image);
    return -1;
  }
  return image;
}

void watch(pid_t child);

// Runs the guardian from a memfd holding its image, with one end of a socket
// pair as its standard input. The child starts with every signal blocked and
// the JVM's handlers reset, as posix_spawn does: none of the JVM's handlers
// may run in it before exec.
bool start() {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return false;
  const int image = memfdHoldingImage();
  if (image < 0) {
    close(pair[0]);
    close(pair[1]);
    return false;
  }
  char path[32];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", image);
  char name[] = "serialslots-excl";
  char* const argv[] = {name, nullptr};
  char* const envp[] = {nullptr};
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &before);
  const pid_t child = vfork();
  if (child == 0) {
    // A vfork child shares its parent's memory until exec: system calls only.
    for (int signal = 1; signal < NSIG; ++signal) {
      struct sigaction current {};
      if (sigaction(signal, nullptr, &current) == 0 && current.sa_handler != SIG_IGN &&
          current.sa_handler != SIG_DFL) {
        struct sigaction plain {};
        plain.sa_handler = SIG_DFL;
        sigaction(signal, &plain, nullptr);
      }
    }
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    const bool ready = pair[1] == STDIN_FILENO ? fcntl(STDIN_FILENO, F_SETFD, 0) == 0
                                               : dup2(pair[1], STDIN_FILENO) == STDIN_FILENO;
    if (ready) {
      syscall(SYS_execveat, image, "", argv, envp, AT_EMPTY_PATH);
      execve(path, argv, envp);  // kernels without execveat
    }
    _exit(127);
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  close(pair[1]);
  close(image);
  if (child < 0) {
    close(pair[0]);
    return false;
  }
  toGuardian = pair[0];
  guardian = child;
  watch(child);
  return true;
}

// Lets the guardian go: it is sent away (SIGKILL ends it even when stopped)
// and reaped by its watcher. What it held stays in the slots.
void abandon() {
  if (guardian == 0) return;
  close(std::exchange(toGuardian, -1));
  kill(std::exchange(guardian, 0), SIGKILL);
}

// Sends a message, with `fd` attached unless it is -1, and takes the answer,
// waiting kAnswerMillis at most.
bool ask(guardian::Message message, int fd) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  iovec part{&message, sizeof message};
  msghdr header{};
  header.msg_iov = &part;
  header.msg_iovlen = 1;
  if (fd >= 0) {
    header.msg_control = control;
    header.msg_controllen = sizeof control;
    cmsghdr* item = CMSG_FIRSTHDR(&header);
    item->cmsg_level = SOL_SOCKET;
    item->cmsg_type = SCM_RIGHTS;
    item->cmsg_len = CMSG_LEN(sizeof fd);
    std::memcpy(CMSG_DATA(item), &fd, sizeof fd);
  }
  if (sendmsg(toGuardian, &header, MSG_NOSIGNAL | MSG_DONTWAIT) != sizeof message) return false;
  pollfd answered{toGuardian, POLLIN, 0};
  int found;
  do {
    found = poll(&answered, 1, kAnswerMillis);
  } while (found < 0 && errno == EINTR);
  int answer = -1;
  return found == 1 && recv(toGuardian, &answer, sizeof answer, MSG_DONTWAIT) == sizeof answer &&
         answer == 0;
}

// A new guardian, holding every descriptor held here in its own slot; false
// (and none) where it cannot start or take them.
bool restore() {
  if (!start()) return false;
  for (int slot = 0; slot < guardian::kSlots; ++slot) {
    if (heldFds[slot] >= 0 && !ask({guardian::kHold, slot}, heldFds[slot])) {
      abandon();
      return false;
    }
  }
  return true;
}

// A request to the guardian, to a new one where it has died or stopped
// answering: false where none can be had.
bool request(guardian::Message message, int fd) {
  if (toGuardian >= 0 && ask(message, fd)) return true;
  abandon();
  return restore() && ask(message, fd);
}

// Waits for the guardian to end and reaps it. Where it ended while it was
// still this process's guardian (killed), a new one takes what it held.
void* awaitEnd(void* pid) {
  const auto child = static_cast<pid_t>(reinterpret_cast<std::intptr_t>(pid));
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
  pthread_mutex_lock(&lock);
  if (guardian == child) {
    close(std::exchange(toGuardian, -1));
    guardian = 0;
    if (held > 0) restore();
  }
  pthread_mutex_unlock(&lock);
  return nullptr;
}

void watch(pid_t child) {
  pthread_attr_t detached;
  pthread_attr_init(&detached);
  pthread_attr_setdetachstate(&detached, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&detached, 64 * 1024);
  pthread_t watcher;
  // NOLINTNEXTLINE(performance-no-int-to-ptr): the pid rides in the argument
  if (pthread_create(&watcher, &detached, awaitEnd, reinterpret_cast<void*>(static_cast<std::intptr_t>(child))) != 0) {
    // No watcher: the death is noticed at the next request instead.
  }
  pthread_attr_destroy(&detached);
}

class Locked {
 public:
  Locked() noexcept {
    pthread_mutex_lock(&lock);
    if (!slotsReady) {
      for (int& fd : heldFds) fd = -1;
      slotsReady = true;
    }
  }
  ~Locked() { pthread_mutex_unlock(&lock); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

}  // namespace

int guard(int fd) noexcept {
  const Locked locked;
  int slot = 0;
  while (slot < guardian::kSlots && heldFds[slot] >= 0) ++slot;
  if (slot == guardian::kSlots || !request({guardian::kHold, slot}, fd)) return -1;
  heldFds[slot] = fd;
  ++held;
  return slot;
}

void release(int slot) noexcept {
  const Locked locked;
  if (slot < 0 || slot >= guardian::kSlots || heldFds[slot] < 0) return;
  heldFds[slot] = -1;
  --held;
  // The guardian closes its duplicate before this returns, so that the
  // connection's close is the tty's last; an idle guardian is not kept.
  if (toGuardian >= 0 && ask({guardian::kDrop, slot}, -1)) {
    if (held == 0) abandon();
    return;
  }
  // Dead or stuck: a new one, if anything is still held, takes all but this slot.
  abandon();
  if (held > 0) restore();
}

bool guardianWaived() noexcept {
  const char* choice = std::getenv("SERIALSLOTS_GUARDIAN");
  return choice != nullptr && std::strcmp(choice, "none") == 0;
}

pid_t guardianPid() noexcept {
  const Locked locked;
  return guardian;
}

}  // namespace serialslots::connection::exclusive
