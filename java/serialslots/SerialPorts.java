package serialslots;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.List;
import java.util.HashMap;
import java.util.Map;
import java.util.Objects;
import java.util.function.Consumer;
import java.util.function.Function;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Stream;

/** The serial devices of this machine, read from sysfs without opening any of them. */
public final class SerialPorts {

    private static final Pattern NAME_AND_NUMBER = Pattern.compile("(.*?)(\\d*)");

    private SerialPorts() {
    }

    /**
     * Lists the serial devices: every tty that has a device behind it, except
     * UART nodes with no UART (the 8250 driver makes ttyS nodes for ports that
     * may not exist). Nothing is opened: an open raises DTR, which resets many
     * boards, and on servers the first UART is the console.
     *
     * @return the devices, in the order of their names ("ttyS2" before "ttyS10")
     * @throws IOException when /sys/class/tty cannot be read
     */
    public static List<PortInfo> list() throws IOException {
        return list(Path.of("/"));
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
        Map<Path, String> byId = byIdLinks(root.resolve("dev/serial/by-id"));
        List<PortInfo> ports = new ArrayList<>();
        try (Stream<Path> ttys = Files.list(root.resolve("sys/class/tty"))) {
            for (Path tty : ttys.sorted(Comparator.comparing(SerialPorts::sortKey)).toList()) {
                PortInfo port = describe(tty, byId);
                if (port != null) {
                    ports.add(port);
                }
            }
        }
        return ports;
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
        Objects.requireNonNull(port, "port");
        if (port.isEmpty()) {
            throw new IllegalArgumentException(Failures.EMPTY_NAME);
        }
        if (port.startsWith("usb:")) {
            return usbDevice(port);
        }
        String slot = NativeConnection.slotDevice(port);
        return slot != null ? slot : port.contains("/") ? port : "/dev/" + port;
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

    private static final Pattern USB_NAME = Pattern.compile("usb:(\\p{XDigit}{4}):(\\p{XDigit}{4})(?::(.+))?");

    private static String usbDevice(String name) throws IOException {
        Matcher parts = USB_NAME.matcher(name);
        if (!parts.matches()) {
            throw Failures.badUsbName(name);
        }
        int vendor = Integer.parseInt(parts.group(1), 16);
        int product = Integer.parseInt(parts.group(2), 16);
        List<PortInfo> usb = list().stream().filter(port -> port.vendorId().isPresent()).toList();
        List<PortInfo> matching = usb.stream().filter(port -> port.vendorId().getAsInt() == vendor
                && port.productId().orElse(-1) == product
                && (parts.group(3) == null || parts.group(3).equals(port.serialNumber().orElse(null)))).toList();
        if (matching.size() != 1) {
            throw Failures.usbNotFound(name, matching, usb);
        }
        return matching.get(0).device();
    }

    /** The port a tty of this machine is, such as "ttyUSB0", or null where it has no device. */
    static PortInfo describe(String tty) {
        Path root = Path.of("/");
        try {
            return describe(root.resolve("sys/class/tty").resolve(tty), byIdLinks(root.resolve("dev/serial/by-id")));
        } catch (IOException unreadable) {
            return null;
        }
    }

    private static PortInfo describe(Path tty, Map<Path, String> byId) {
        Path device = tty.resolve("device");
        // Virtual terminals, pseudo-terminals and the console have no device behind them.
        if (!Files.isDirectory(device) || "0".equals(read(tty.resolve("type")))) {
            return null;
        }
        String name = tty.getFileName().toString();
        String devicePath = "/dev/" + name;
        String slot = slotName(name);
        // Newer kernels put a port and a controller device of the serial core
        // between the tty and the UART's own device, which names the driver.
        Path owner = device;
        while (linkName(owner.resolve("subsystem")).equals("serial-base")) {
            owner = owner.resolve("..");
        }
        String driver = linkName(owner.resolve("driver"));
        Path usb = usbDevice(device);
        // A missing attribute reads as null, and a tty with no USB device has none.
        Function<String, String> usbText = attribute -> usb == null ? null : read(usb.resolve(attribute));
        return new PortInfo(devicePath, slot, driver, hex(usbText.apply("idVendor")), hex(usbText.apply("idProduct")),
                usbText.apply("manufacturer"), usbText.apply("product"), usbText.apply("serial"),
                byId.get(Path.of(name)));
    }

    /**
     * The USB device behind a tty's device, or null: the ids sit on the USB
     * device, the parent of the interface, which is the tty's device itself
     * (cdc-acm) or its parent (usb-serial).
     */
    private static Path usbDevice(Path device) {
        try {
            Path up = device.toRealPath();
            for (int level = 0; level < 3 && up != null; level++, up = up.getParent()) {
                if (Files.isRegularFile(up.resolve("idVendor"))) {
                    return up;
                }
            }
        } catch (IOException unreadable) {
            // no device to look at
        }
        return null;
    }

    /** The slot name whose device this tty is, such as "COM3" for ttyS3. */
    private static String slotName(String tty) {
        Matcher parts = NAME_AND_NUMBER.matcher(tty);
        if (!parts.matches()) {
            return null;
        }
        String candidate = (parts.group(1).equals("ttyS") ? "COM" : parts.group(1).equals("ttyUSB") ? "COMUSB" : "-")
                + parts.group(2);
        return ("/dev/" + tty).equals(NativeConnection.slotDevice(candidate)) ? candidate : null;
    }

    /** The by-id links, keyed by the name of the device each leads to. */
    private static Map<Path, String> byIdLinks(Path directory) throws IOException {
        Map<Path, String> links = new HashMap<>();
        if (Files.isDirectory(directory)) {
            try (Stream<Path> entries = Files.list(directory)) {
                entries.forEach(link -> {
                    try {
                        links.put(Files.readSymbolicLink(link).getFileName(), "/dev/serial/by-id/" + link.getFileName());
                    } catch (IOException | UnsupportedOperationException notALink) {
                        // not ours to describe
                    }
                });
            }
        }
        return links;
    }

    private static String sortKey(Path tty) {
        Matcher parts = NAME_AND_NUMBER.matcher(tty.getFileName().toString());
        return parts.matches() ? String.format("%s%10s", parts.group(1), parts.group(2)) : tty.toString();
    }

    private static String linkName(Path link) {
        try {
            return Files.readSymbolicLink(link).getFileName().toString();
        } catch (IOException | UnsupportedOperationException e) {
            return "";
        }
    }

    private static String read(Path attribute) {
        try {
            return Files.readString(attribute).strip();
        } catch (IOException | RuntimeException absent) {
            return null;
        }
    }

    private static Integer hex(String text) {
        try {
            return text == null ? null : Integer.valueOf(text, 16);
        } catch (NumberFormatException e) {
            return null;
        }
    }
}
