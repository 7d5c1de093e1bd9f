// hardware-wires: the two wires of the hardware lab's virtual machine that
// qemu cannot join itself. Each end is a unix socket in FOLDER that this
// program listens on and one of the machine's character back ends connects to.
//
//   hardware-wires FOLDER
//
// usb <-> uart4: the USB serial adapter and ttyS4. The emulated adapter writes
//   with a blocking call that halts the whole machine while its socket is
//   full, so everything it sends is read at once and held here until the UART
//   takes it. The other way keeps the cable's back-pressure: bytes for the
//   adapter are read from the UART only as fast as the adapter accepts them,
//   so a guest that stops reading the adapter fills the UART's output queue.
// monitor <-> uart3: qemu's monitor and ttyS3. What the monitor says before
//   the guest's first byte (its greeting) is dropped: a guest that opened
//   ttyS3 with echo still on would send it back as typed keys, and the
//   monitor's echo of those would come back again, growing each time.
//
// It ends when any end hangs up, which is when the machine powers off.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

class Descriptor {
 public:
  explicit Descriptor(int fd) noexcept : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const noexcept { return fd_; }

 private:
  int fd_;
};

int fail(const char* step, const std::string& what) {
  std::fprintf(stderr, "hardware-wires: %s %s: %s\n", step, what.c_str(), std::strerror(errno));
  return 1;
}

// Listens at path; the caller accepts once the machine has connected.
int listenAt(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return -1;
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  unlink(path.c_str());
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, 1) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Moves what `from` has into `pending`; false when it hung up.
bool take(int from, std::string& pending) {
  char chunk[4096];
  const ssize_t n = read(from, chunk, sizeof chunk);
  if (n > 0) pending.append(chunk, static_cast<size_t>(n));
  return n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR));
}

// Writes what `to` accepts of `pending`; false when it hung up.
bool give(int to, std::string& pending) {
  const ssize_t n = send(to, pending.data(), pending.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
  if (n > 0) pending.erase(0, static_cast<size_t>(n));
  return n >= 0 || errno == EAGAIN || errno == EINTR;
}

// A wire between an emulated device that must never be kept waiting and a UART.
struct Wire {
  Wire(int deviceEnd, int uartEnd, bool withBackPressure, bool quietUntilUartSpeaks) noexcept
      : device(deviceEnd),
        uart(uartEnd),
        backPressure(withBackPressure),
        quietUntilUartSpoke(quietUntilUartSpeaks) {}

  Descriptor device;
  Descriptor uart;
  bool backPressure;         // read the UART only when the device took the last chunk
  bool quietUntilUartSpoke;  // drop what the device says before the UART's first byte
  bool uartSpoke = false;
  std::string toDevice;
  std::string toUart;

  short deviceEvents() const {
    return static_cast<short>(POLLIN | (toDevice.empty() ? 0 : POLLOUT));
  }
  short uartEvents() const {
    const bool reading = !backPressure || toDevice.empty();
    return static_cast<short>((reading ? POLLIN : 0) | (toUart.empty() ? 0 : POLLOUT));
  }
  // Moves what is ready; false when an end hung up.
  bool move(short deviceReady, short uartReady) {
    const short hungUp = POLLHUP | POLLERR;
    if ((deviceReady & POLLIN) != 0 && !take(device.get(), toUart)) return false;
    if (quietUntilUartSpoke && !uartSpoke) toUart.clear();
    if ((uartReady & POLLIN) != 0 && !take(uart.get(), toDevice)) return false;
    uartSpoke = uartSpoke || !toDevice.empty();
    if ((deviceReady & POLLOUT) != 0 && !give(device.get(), toDevice)) return false;
    if ((uartReady & POLLOUT) != 0 && !give(uart.get(), toUart)) return false;
    return (deviceReady & hungUp) == 0 && (uartReady & hungUp) == 0;
  }
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: hardware-wires FOLDER\n");
    return 2;
  }
  const std::string folder = argv[1];
  // Every socket listens before the first accept: the machine connects them
  // all as it starts, in its own order.
  const Descriptor usbListener(listenAt(folder + "/usb"));
  const Descriptor uart4Listener(listenAt(folder + "/uart4"));
  const Descriptor monitorListener(listenAt(folder + "/monitor"));
  const Descriptor uart3Listener(listenAt(folder + "/uart3"));
  for (const Descriptor* listener :
       {&usbListener, &uart4Listener, &monitorListener, &uart3Listener}) {
    if (listener->get() < 0) return fail("listen in", folder);
  }
  const auto accepted = [](const Descriptor& listener) {
    return accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
  };
  Wire wires[] = {
      {accepted(usbListener), accepted(uart4Listener), true, false},
      {accepted(monitorListener), accepted(uart3Listener), false, true},
  };
  for (const Wire& wire : wires) {
    if (wire.device.get() < 0 || wire.uart.get() < 0) return fail("accept in", folder);
  }
  // The smallest send buffer the kernel allows, so that this end of the
  // cable holds a few kilobytes, as a USB adapter's own buffers would.
  const int smallest = 1;
  (void)setsockopt(wires[0].device.get(), SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest);

  for (;;) {
    pollfd ends[4];
    for (size_t i = 0; i < 2; ++i) {
      ends[2 * i] = {wires[i].device.get(), wires[i].deviceEvents(), 0};
      ends[2 * i + 1] = {wires[i].uart.get(), wires[i].uartEvents(), 0};
    }
    if (poll(ends, 4, -1) < 0) {
      if (errno == EINTR) continue;
      return fail("poll", "");
    }
    for (size_t i = 0; i < 2; ++i) {
      if (!wires[i].move(ends[2 * i].revents, ends[2 * i + 1].revents)) return 0;
    }
  }
}
