#include "connection/exclusive_guard.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "connection/guardian_protocol.h"

// The guardian program's bytes, embedded at build time.
extern const unsigned char kGuardianImage[];
extern const std::size_t kGuardianImageSize;

namespace serialslots::connection::exclusive {
namespace {

pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
// All guarded by lock.
int toGuardian = -1;
pid_t guardian = 0;
int held = 0;
bool used[guardian::kSlots];

bool writeAll(int fd, const unsigned char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t written = write(fd, bytes, size);
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

// Runs the guardian from a memfd holding its image, with one end of a socket
// pair as its standard input.
bool start() {
  int pair[2];
  if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0) return false;
  const int image = static_cast<int>(syscall(SYS_memfd_create, "serialslots-excl", MFD_CLOEXEC));
  if (image < 0 || !writeAll(image, kGuardianImage, kGuardianImageSize)) {
    if (image >= 0) close(image);
    close(pair[0]);
    close(pair[1]);
    return false;
  }
  char path[32];
  std::snprintf(path, sizeof path, "/proc/self/fd/%d", image);
  char name[] = "serialslots-excl";
  char* const argv[] = {name, nullptr};
  char* const envp[] = {nullptr};
  const pid_t child = vfork();
  if (child == 0) {
    // A vfork child shares its parent's memory until exec: system calls only.
    const bool ready = pair[1] == STDIN_FILENO ? fcntl(STDIN_FILENO, F_SETFD, 0) == 0
                                               : dup2(pair[1], STDIN_FILENO) == STDIN_FILENO;
    if (ready) {
      syscall(SYS_execveat, image, "", argv, envp, AT_EMPTY_PATH);
      execve(path, argv, envp);  // kernels without execveat
    }
    _exit(127);
  }
  close(pair[1]);
  close(image);
  if (child < 0) {
    close(pair[0]);
    return false;
  }
  toGuardian = pair[0];
  guardian = child;
  return true;
}

// Ends the guardian: it clears what it still holds and exits.
void stop() {
  close(toGuardian);
  while (waitpid(guardian, nullptr, 0) < 0 && errno == EINTR) {
  }
  toGuardian = -1;
  guardian = 0;
  held = 0;
  std::memset(used, 0, sizeof used);
}

// Sends a message, with `fd` attached unless it is -1, and takes the answer.
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
  int answer = -1;
  ssize_t got;
  if (sendmsg(toGuardian, &header, MSG_NOSIGNAL) != sizeof message) return false;
  do {
    got = recv(toGuardian, &answer, sizeof answer, 0);
  } while (got < 0 && errno == EINTR);
  return got == sizeof answer && answer == 0;
}

class Locked {
 public:
  Locked() noexcept { pthread_mutex_lock(&lock); }
  ~Locked() { pthread_mutex_unlock(&lock); }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
};

}  // namespace

int guard(int fd) noexcept {
  const Locked locked;
  if (toGuardian < 0 && !start()) return -1;
  int slot = 0;
  while (slot < guardian::kSlots && used[slot]) ++slot;
  if (slot == guardian::kSlots) return -1;
  if (!ask({guardian::kHold, slot}, fd)) {
    stop();
    return -1;
  }
  used[slot] = true;
  ++held;
  return slot;
}

void release(int slot) noexcept {
  const Locked locked;
  if (slot < 0 || slot >= guardian::kSlots || !used[slot]) return;
  if (!ask({guardian::kDrop, slot}, -1)) {
    stop();
    return;
  }
  used[slot] = false;
  // An idle guardian is not kept: no process lingers beside this one.
  if (--held == 0) stop();
}

pid_t guardianPid() noexcept {
  const Locked locked;
  return guardian;
}

}  // namespace serialslots::connection::exclusive
