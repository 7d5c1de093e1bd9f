// What the netlink boundary lets through: a tty added or removed, told by
// the kernel; nothing else, however it is dressed, and a burst of forged
// messages leaves the socket as it was.
#include "hotplug/uevents.h"

#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

namespace serialslots::hotplug {
namespace {

std::string message(std::initializer_list<const char*> fields) {
  std::string text;
  for (const char* field : fields) text.append(field).push_back('\0');
  return text;
}

TEST(Uevents, OnlyTheKernelsWordOnATtyIsBelieved) {
  const std::string added = message({"add@/devices/pci0000:00/usb1/1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0",
                                     "ACTION=add", "SUBSYSTEM=tty", "DEVNAME=ttyUSB0", "SEQNUM=9"});
  struct Case {
    std::string data;
    uid_t uid;
    std::uint32_t port;
    bool believed;
    bool isAdded;
  };
  const Case cases[] = {
      {added, 0, 0, true, true},
      {message({"remove@/x", "ACTION=remove", "SUBSYSTEM=tty", "DEVNAME=ttyACM3"}), 0, 0, true,
       false},
      {added, 1000, 0, false, false},  // another user's
      {added, 0, 4711, false, false},  // a program's, not the kernel's
      {message({"add@/x", "ACTION=add", "SUBSYSTEM=usb", "DEVNAME=bus/usb/001/002"}), 0, 0, false,
       false},
      {message({"change@/x", "ACTION=change", "SUBSYSTEM=tty", "DEVNAME=ttyS0"}), 0, 0, false,
       false},
      {message({"libudev", "ACTION=add", "SUBSYSTEM=tty", "DEVNAME=ttyUSB0"}), 0, 0, false, false},
      {message({"add@/x", "ACTION=add", "SUBSYSTEM=tty", "DEVNAME=../../etc/passwd"}), 0, 0, false,
       false},
      {message({"add@/x", "ACTION=add", "SUBSYSTEM=tty", "DEVNAME=.."}), 0, 0, false, false},
      {message({"add@/x", "ACTION=add", "SUBSYSTEM=tty", "DEVNAME="}), 0, 0, false, false},
      {message({"add@/x", "SUBSYSTEM=tty", "DEVNAME=ttyUSB0"}), 0, 0, false, false},
      {message(
           {"add@/x", "ACTION=add", "SUBSYSTEM=tty", ("DEVNAME=" + std::string(80, 'x')).c_str()}),
       0, 0, false, false},
      {added.substr(0, added.size() - 1), 0, 0, false, false},  // not NUL-ended: cut short
      {"", 0, 0, false, false},
  };
  for (const Case& c : cases) {
    TtyEvent event{};
    EXPECT_EQ(parseTtyEvent(c.data.data(), c.data.size(), c.uid, c.port, event), c.believed)
        << c.data.substr(0, 40);
    if (c.believed) {
      EXPECT_EQ(event.added, c.isAdded);
    }
  }
  TtyEvent event{};
  ASSERT_TRUE(parseTtyEvent(added.data(), added.size(), 0, 0, event));
  EXPECT_STREQ(event.name, "ttyUSB0");
}

TEST(Uevents, ABurstOfForgedMessagesIsReadAndBelievedNot) {
  const int listening = openUevents();
  if (listening < 0) GTEST_SKIP() << "no uevent socket here (qemu-user)";
  // Only root may send to the kernel's group, and what it sends is a program's.
  const int forger = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
  sockaddr_nl group{};
  group.nl_family = AF_NETLINK;
  group.nl_groups = 1;
  const std::string forged =
      message({"add@/devices/fake/tty/ttyUSB9", "ACTION=add", "SUBSYSTEM=tty", "DEVNAME=ttyUSB9"});
  int sent = 0;
  for (int i = 0; i < 500 && forger >= 0; ++i) {
    sent += sendto(forger, forged.data(), forged.size(), 0,
                   reinterpret_cast<const sockaddr*>(&group), sizeof group) > 0;
  }
  if (forger >= 0) close(forger);
  if (sent == 0) {
    close(listening);
    GTEST_SKIP() << "sending to the uevent group needs root";
  }
  int read = 0;
  TtyEvent event{};
  for (int got; (got = receiveTtyEvent(listening, event)) >= 0;) {
    EXPECT_EQ(got, 0) << "a forged message was believed";
    ++read;
  }
  EXPECT_GE(read, 1);
  close(listening);
}

}  // namespace
}  // namespace serialslots::hotplug
