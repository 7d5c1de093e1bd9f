// Ports that come and go, as the kernel tells anyone who listens: uevents on
// its netlink multicast group, no root and no libudev needed. Only a message
// the kernel itself sent (uid 0, netlink port 0) about a tty is believed.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace serialslots::hotplug {

struct TtyEvent {
  bool added;     // else removed
  char name[64];  // the device's name under /dev, such as "ttyUSB0"
};

// Whether one datagram is a well-formed add or remove of a tty from the
// kernel; fills `event` when it is. Everything else (other subsystems,
// udev's own messages, malformed or truncated ones, other senders) is not.
bool parseTtyEvent(const char* data, size_t size, uid_t senderUid, std::uint32_t senderPort,
                   TtyEvent& event) noexcept;

// A non-blocking socket on the kernel's uevent group, or -1 with errno.
int openUevents() noexcept;

// Takes the next datagram without waiting: 1 with `event` filled, 0 for one
// that is not a tty event, -1 when none is waiting (or the socket failed).
int receiveTtyEvent(int fd, TtyEvent& event) noexcept;

}  // namespace serialslots::hotplug
