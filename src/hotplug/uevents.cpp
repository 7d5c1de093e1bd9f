#include "hotplug/uevents.h"

#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace serialslots::hotplug {
namespace {

constexpr unsigned kKernelGroup = 1;  // udev's own messages go to group 2

// The value of KEY=VALUE among the message's NUL-separated fields, or nullptr.
const char* valueOf(const char* data, size_t size, const char* key) noexcept {
  const size_t keyLength = std::strlen(key);
  for (size_t at = 0; at < size;) {
    const char* field = data + at;
    const size_t length = strnlen(field, size - at);
    if (length > keyLength && std::strncmp(field, key, keyLength) == 0 && field[keyLength] == '=') {
      return field + keyLength + 1;
    }
    at += length + 1;
  }
  return nullptr;
}

bool isSafeName(const char* name) noexcept {
  const size_t length = std::strlen(name);
  if (length == 0 || length >= sizeof TtyEvent{}.name || std::strcmp(name, "..") == 0) return false;
  for (const char* c = name; *c != '\0'; ++c) {
    if (*c <= ' ' || *c >= 0x7f || *c == '/') return false;
  }
  return true;
}

}  // namespace

bool parseTtyEvent(const char* data, size_t size, uid_t senderUid, std::uint32_t senderPort,
                   TtyEvent& event) noexcept {
  if (senderUid != 0 || senderPort != 0 || size == 0 || data[size - 1] != '\0') return false;
  // The kernel's messages start with "ACTION@DEVPATH"; udev's with "libudev".
  const size_t header = strnlen(data, size);
  if (std::memchr(data, '@', header) == nullptr) return false;
  const char* subsystem = valueOf(data, size, "SUBSYSTEM");
  const char* action = valueOf(data, size, "ACTION");
  const char* name = valueOf(data, size, "DEVNAME");
  if (subsystem == nullptr || action == nullptr || name == nullptr ||
      std::strcmp(subsystem, "tty") != 0 || !isSafeName(name)) {
    return false;
  }
  if (std::strcmp(action, "add") == 0) {
    event.added = true;
  } else if (std::strcmp(action, "remove") == 0) {
    event.added = false;
  } else {
    return false;
  }
  std::strcpy(event.name, name);
  return true;
}

int openUevents() noexcept {
  const int fd =
      socket(AF_NETLINK, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  if (fd < 0) return -1;
  const int on = 1;
  sockaddr_nl address{};
  address.nl_family = AF_NETLINK;
  address.nl_groups = kKernelGroup;
  // A burst of events (a hub with many adapters) must not overflow it.
  const int room = 1 << 20;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  if (setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on) != 0 ||
      bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    close(fd);
    errno = error;
    return -1;
  }
  return fd;
}

int receiveTtyEvent(int fd, TtyEvent& event) noexcept {
  char data[8192];
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
  sockaddr_nl sender{};
  iovec part{data, sizeof data};
  msghdr header{};
  header.msg_name = &sender;
  header.msg_namelen = sizeof sender;
  header.msg_iov = &part;
  header.msg_iovlen = 1;
  header.msg_control = control;
  header.msg_controllen = sizeof control;
  const ssize_t got = recvmsg(fd, &header, 0);
  if (got < 0) return -1;
  // A message cut short, or one without credentials, is believed no more
  // than one from another sender.
  const cmsghdr* credentials = CMSG_FIRSTHDR(&header);
  if ((header.msg_flags & MSG_TRUNC) != 0 || credentials == nullptr ||
      credentials->cmsg_type != SCM_CREDENTIALS) {
    return 0;
  }
  ucred from;
  std::memcpy(&from, CMSG_DATA(credentials), sizeof from);
  return parseTtyEvent(data, static_cast<size_t>(got), from.uid, sender.nl_pid, event) ? 1 : 0;
}

}  // namespace serialslots::hotplug
