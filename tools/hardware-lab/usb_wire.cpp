// hardware-usb-wire: the wire between the virtual machine's USB serial adapter
// and one of its UARTs. Each end is a unix socket this program listens on and
// the machine's character back end connects to.
//
//   hardware-usb-wire USB_SOCKET UART_SOCKET
//
// The emulated adapter writes to its back end with a blocking call that halts
// the whole machine while the socket is full, so everything it sends is read
// at once and held here until the UART takes it. The other way keeps the
// cable's back-pressure: bytes for the adapter are read from the UART only as
// fast as the adapter accepts them, so a guest that stops reading the adapter
// fills the UART's output queue as a real device would.
//
// It ends when either side hangs up, which is when the machine powers off.
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
  std::fprintf(stderr, "hardware-usb-wire: %s %s: %s\n", step, what.c_str(), std::strerror(errno));
  return 1;
}

// Listens at path; the caller accepts once the machine has connected.
int listenAt(const std::string& path) {
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (fd < 0 || path.size() >= sizeof address.sun_path) return -1;
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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: hardware-usb-wire USB_SOCKET UART_SOCKET\n");
    return 2;
  }
  const Descriptor usbListener(listenAt(argv[1]));
  const Descriptor uartListener(listenAt(argv[2]));
  if (usbListener.get() < 0) return fail("listen", argv[1]);
  if (uartListener.get() < 0) return fail("listen", argv[2]);
  const Descriptor usb(accept4(usbListener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  const Descriptor uart(
      accept4(uartListener.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
  if (usb.get() < 0 || uart.get() < 0) return fail("accept", "");
  // The smallest send buffer the kernel allows, so that this end of the
  // cable holds a few kilobytes, as a USB adapter's own buffers would.
  const int smallest = 1;
  (void)setsockopt(usb.get(), SOL_SOCKET, SO_SNDBUF, &smallest, sizeof smallest);

  std::string toUart;
  std::string toUsb;
  for (;;) {
    pollfd ends[] = {
        {usb.get(), static_cast<short>(POLLIN | (toUsb.empty() ? 0 : POLLOUT)), 0},
        {uart.get(),
         static_cast<short>((toUsb.empty() ? POLLIN : 0) | (toUart.empty() ? 0 : POLLOUT)), 0},
    };
    if (poll(ends, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return fail("poll", "");
    }
    const bool usbUp = ((ends[0].revents & POLLIN) == 0 || take(usb.get(), toUart)) &&
                       ((ends[0].revents & POLLOUT) == 0 || give(usb.get(), toUsb));
    const bool uartUp = ((ends[1].revents & POLLIN) == 0 || take(uart.get(), toUsb)) &&
                        ((ends[1].revents & POLLOUT) == 0 || give(uart.get(), toUart));
    const short hungUp = POLLHUP | POLLERR;
    if (!usbUp || !uartUp || (ends[0].revents & hungUp) != 0 || (ends[1].revents & hungUp) != 0) {
      return 0;
    }
  }
}
