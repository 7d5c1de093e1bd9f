// serialslots-excl: the guardian of exclusive opens. TIOCEXCL belongs to the
// tty, not to a descriptor, so a program that dies holding a port
// exclusively would leave it refusing every later open but root's for as
// long as anything else keeps the tty open. The library starts this program
// once (embedded in it, run from a memfd), with a socket as its standard
// input, and hands it a duplicate of each descriptor it holds exclusively.
// When the library's end of the socket closes, however its process ended,
// this clears TIOCEXCL on every descriptor it still holds and exits; no
// signal but SIGKILL ends it before that.
//
// Messages: {kHold, slot} with the descriptor attached, {kDrop, slot}; each
// answered with one int, 0 when done.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <initializer_list>

#include "connection/guardian_protocol.h"

namespace {

using serialslots::connection::guardian::kDrop;
using serialslots::connection::guardian::kHold;
using serialslots::connection::guardian::kSlots;
using serialslots::connection::guardian::Message;

// Every descriptor but the socket came from the library's process: keeping
// one would keep its file or device open.
void closeInherited() {
  if (syscall(SYS_close_range, 1U, ~0U, 0U) == 0) return;
  for (int fd = 1; fd < 65536; ++fd) close(fd);
}

int receive(Message& message, int& fd) {
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  iovec part{&message, sizeof message};
  msghdr header{};
  header.msg_iov = &part;
  header.msg_iovlen = 1;
  header.msg_control = control;
  header.msg_controllen = sizeof control;
  const ssize_t got = recvmsg(STDIN_FILENO, &header, MSG_CMSG_CLOEXEC);
  fd = -1;
  for (cmsghdr* item = CMSG_FIRSTHDR(&header); item != nullptr; item = CMSG_NXTHDR(&header, item)) {
    if (item->cmsg_level == SOL_SOCKET && item->cmsg_type == SCM_RIGHTS) {
      std::memcpy(&fd, CMSG_DATA(item), sizeof fd);
    }
  }
  return static_cast<int>(got);
}

}  // namespace

int main() {
  closeInherited();
  // Not in the library's session: a Ctrl-C at its terminal must not end this
  // first; and no working directory of the library's, whose mount it would pin.
  setsid();
  if (chdir("/") != 0) return 1;
  prctl(PR_SET_NAME, "serialslots-excl");
  // It keeps the ports while its library's process lives, whatever it is sent
  // (a service's stop sends SIGTERM to every process of it): it ends when that
  // process's end of the socket closes. SIGKILL, which nothing can ignore,
  // leaves the ports to the library, which starts another guardian.
  struct sigaction quietly {};
  quietly.sa_handler = SIG_IGN;
  for (int ignored : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGTERM, SIGUSR1, SIGUSR2}) {
    sigaction(ignored, &quietly, nullptr);
  }

  int held[kSlots];
  for (int& fd : held) fd = -1;
  for (;;) {
    Message message{};
    int fd = -1;
    const int got = receive(message, fd);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;  // the library's process has ended
    int answer = 0;
    if (message.slot < 0 || message.slot >= kSlots) {
      answer = EINVAL;
    } else if (message.op == kHold && fd >= 0) {
      if (held[message.slot] >= 0) close(held[message.slot]);
      held[message.slot] = fd;
      fd = -1;
    } else if (message.op == kDrop && held[message.slot] >= 0) {
      close(held[message.slot]);
      held[message.slot] = -1;
    } else {
      answer = EINVAL;
    }
    if (fd >= 0) close(fd);
    send(STDIN_FILENO, &answer, sizeof answer, MSG_NOSIGNAL);
  }
  for (int fd : held) {
    if (fd < 0) continue;
    ioctl(fd, TIOCNXCL);
    close(fd);
  }
  return 0;
}
