package serialslots.ports;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Comparator;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.Objects;
import java.util.function.Function;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Stream;
import serialslots.PortInfo;
import serialslots.internal.Failures;
import serialslots.local.LocalTransport;
import serialslots.virtual.VirtualRegistry;

/**
 * The serial devices of this machine as sysfs tells them, read without
 * opening any, and what a port name stands for: the list, the hot-plug
 * watch and the opening of a local name all read them here.
 */
public final class SysfsPorts {

    private static final Pattern NAME_AND_NUMBER = Pattern.compile("(.*?)(\\d*)");

    private SysfsPorts() {
    }

    /** This machine's devices, then this JVM's virtual devices that are plugged in. */
    public static List<PortInfo> listAll() throws IOException {
        List<PortInfo> ports = list(Path.of("/"));
        ports.addAll(VirtualRegistry.ports());
        return ports;
    }

    /** The devices under {@code root}/sys and {@code root}/dev, in the order of their names. */
    public static List<PortInfo> list(Path root) throws IOException {
        Map<Path, String> byId = byIdLinks(root.resolve("dev/serial/by-id"));
        List<PortInfo> ports = new ArrayList<>();
        try (Stream<Path> ttys = Files.list(root.resolve("sys/class/tty"))) {
            for (Path tty : ttys.sorted(Comparator.comparing(SysfsPorts::sortKey)).toList()) {
                PortInfo port = describe(tty, byId);
                if (port != null) {
                    ports.add(port);
                }
            }
        }
        return ports;
    }

    /** The device path a local port name stands for: a slot name, a usb: identity, a path or a name under /dev. */
    public static String devicePath(String port) throws IOException {
        Objects.requireNonNull(port, "port");
        if (port.isEmpty()) {
            throw new IllegalArgumentException(Failures.EMPTY_NAME);
        }
        if (port.startsWith("usb:")) {
            return usbDevice(port);
        }
        String slot = LocalTransport.slotDevice(port);
        return slot != null ? slot : port.contains("/") ? port : "/dev/" + port;
    }

    private static final Pattern USB_NAME = Pattern.compile("usb:(\\p{XDigit}{4}):(\\p{XDigit}{4})(?::(.+))?");

    private static String usbDevice(String name) throws IOException {
        Matcher parts = USB_NAME.matcher(name);
        if (!parts.matches()) {
            throw Failures.badUsbName(name);
        }
        int vendor = Integer.parseInt(parts.group(1), 16);
        int product = Integer.parseInt(parts.group(2), 16);
        List<PortInfo> usb = list(Path.of("/")).stream().filter(port -> port.vendorId().isPresent()).toList();
        List<PortInfo> matching = usb.stream().filter(port -> port.vendorId().getAsInt() == vendor
                && port.productId().orElse(-1) == product
                && (parts.group(3) == null || parts.group(3).equals(port.serialNumber().orElse(null)))).toList();
        if (matching.size() != 1) {
            throw Failures.usbNotFound(name, matching, usb);
        }
        return matching.get(0).device();
    }

    /** The port a tty of this machine is, such as "ttyUSB0", or null where it has no device. */
    public static PortInfo describe(String tty) {
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
        return ("/dev/" + tty).equals(LocalTransport.slotDevice(candidate)) ? candidate : null;
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
