package serialslots;

import java.io.IOException;
import java.nio.file.Path;
import java.util.List;
import java.util.Objects;
import java.util.function.Consumer;
import serialslots.ports.SysfsPorts;
import serialslots.ports.Watching;

/** The serial devices of this machine, read from sysfs without opening any of them. */
public final class SerialPorts {

    private SerialPorts() {
    }

    /**
     * Lists the serial devices: every tty that has a device behind it, except
     * UART nodes with no UART (the 8250 driver makes ttyS nodes for ports that
     * may not exist). Nothing is opened: an open raises DTR, which resets many
     * boards, and on servers the first UART is the console. This JVM's
     * {@link VirtualDevice}s that are plugged in come last (driver "virtual").
     *
     * @return the devices, in the order of their names ("ttyS2" before "ttyS10")
     * @throws IOException when /sys/class/tty cannot be read
     */
    public static List<PortInfo> list() throws IOException {
        return SysfsPorts.listAll();
    }

    /**
     * Lists the serial devices of another system image: its sysfs under
     * {@code root}/sys and its /dev under {@code root}/dev.
     *
     * @param root the directory that stands for /
     * @return the devices, in the order of their names
     * @throws IOException when {@code root}/sys/class/tty cannot be read
     */
    public static List<PortInfo> list(Path root) throws IOException {
        return SysfsPorts.list(root);
    }

    /**
     * The device path a port name stands for, as {@link SerialConnection#open}
     * opens it: a slot name of {@link core.SerialPort} ("COM3" is /dev/ttyS3,
     * "COMUSB0" /dev/ttyUSB0), a USB adapter by its identity
     * ("usb:0403:6001", or with its serial number "usb:0403:6001:A5XK3RJT":
     * the vendor and product ids in hex, as lsusb shows them), wherever it is
     * plugged in now, a path as it is, or a device name under /dev ("ttyAMA0").
     *
     * @param port the name
     * @return the device path
     * @throws IllegalArgumentException when {@code port} is empty, or a usb: name is malformed
     * @throws java.nio.file.NoSuchFileException when no adapter answers to a usb: name
     * @throws IOException when more than one does, or sysfs cannot be read
     */
    public static String devicePath(String port) throws IOException {
        return SysfsPorts.devicePath(port);
    }

    /**
     * Tells {@code listener} of ports as they come and go: first an ADDED for
     * each port there is, then each change, none missed or told twice. The
     * kernel tells of them (uevents, no root needed), on the thread that
     * waits for every connection's events: nothing polls, and a quiet machine
     * costs no CPU. ADDED comes once the node is there and this user may open
     * it (udev gives a node its group and mode just after the kernel made it;
     * the wait for that lasts 2 s at most, after which the port is told as
     * it is); REMOVED at once, with the same {@link PortInfo}.
     *
     * @param listener told of each port, one at a time, in order; what it throws goes to its thread's
     *     uncaught-exception handler
     * @return the watch, to close when done (from any thread, the listener's own included)
     * @throws IOException when the kernel's events cannot be listened to
     */
    public static Subscription watch(Consumer<PortEvent> listener) throws IOException {
        return Watching.start(Objects.requireNonNull(listener, "listener"));
    }
}
