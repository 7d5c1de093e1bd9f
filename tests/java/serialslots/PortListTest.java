package serialslots;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Optional;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** The port list, read from a sysfs tree laid out as the kernel lays it out. */
class PortListTest {

    @TempDir
    Path root;

    private void file(String path, String text) throws Exception {
        Files.createDirectories(root.resolve(path).getParent());
        Files.writeString(root.resolve(path), text + "\n");
    }

    /** A link whose target exists as a directory of the tree, unless it is absolute. */
    private void link(String path, String target) throws Exception {
        Path link = root.resolve(path);
        Files.createDirectories(target.startsWith("/") ? link.getParent() : link.getParent().resolve(target).normalize());
        Files.createDirectories(link.getParent());
        if (!Files.isSymbolicLink(link)) {
            Files.createSymbolicLink(link, Path.of(target));
        }
    }

    /** A tty of the tty class, its device, and the device's driver. */
    private void tty(String name, String ttyDir, String deviceLink, String driver) throws Exception {
        link("sys/class/tty/" + name, "../../../" + ttyDir);
        if (deviceLink != null) {
            link(ttyDir + "/device", deviceLink);
            link(root.relativize(root.resolve(ttyDir).resolve(deviceLink).normalize()) + "/driver",
                    "/sys/bus/usb/drivers/" + driver);
        }
    }

    @Test
    void listsUartsAndUsbAdaptersWithWhatTheyReportAndLeavesOutWhatHasNoDevice() throws Exception {
        String platform = "devices/platform/serial8250";
        for (String uart : List.of("ttyS0", "ttyS1", "ttyS2")) {
            tty(uart, "sys/" + platform + "/tty/" + uart, "../../../serial8250", "serial8250");
            file("sys/" + platform + "/tty/" + uart + "/type", uart.equals("ttyS1") ? "0" : "4");
        }
        // Newer kernels: the tty's device is a port of the serial core, under its controller.
        String core = "sys/" + platform + "/serial8250:0/serial8250:0.10";
        tty("ttyS10", core + "/tty/ttyS10", "../..", "port");
        file(core + "/tty/ttyS10/type", "4");
        link(core + "/subsystem", "/sys/bus/serial-base");
        link("sys/" + platform + "/serial8250:0/subsystem", "/sys/bus/serial-base");
        String usb = "sys/devices/pci0000:00/usb1/";
        tty("ttyUSB0", usb + "1-1/1-1:1.0/ttyUSB0/tty/ttyUSB0", "../../../ttyUSB0", "ftdi_sio");
        for (String[] attribute : new String[][] {{"idVendor", "0403"}, {"idProduct", "6001"}, {"manufacturer", "FTDI"},
            {"product", "FT232R USB UART"}, {"serial", "A5XK3RJT"}}) {
            file(usb + "1-1/" + attribute[0], attribute[1]);
        }
        tty("ttyACM0", usb + "1-2/1-2:1.0/tty/ttyACM0", "../../../1-2:1.0", "cdc_acm");
        file(usb + "1-2/idVendor", "2341");
        file(usb + "1-2/idProduct", "0043");
        tty("tty0", "sys/devices/virtual/tty/tty0", null, null);
        link("dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A5XK3RJT-if00-port0", "../../ttyUSB0");

        List<PortInfo> ports = SerialPorts.list(root);
        assertEquals(List.of("/dev/ttyACM0 cdc_acm 2341:0043", "/dev/ttyS0 (COM0) serial8250",
                "/dev/ttyS2 (COM2) serial8250", "/dev/ttyS10 (COM10) serial8250",
                "/dev/ttyUSB0 (COMUSB0) ftdi_sio 0403:6001 FTDI FT232R USB UART serial A5XK3RJT"),
                ports.stream().map(PortInfo::toString).toList());
        assertEquals(Optional.of("/dev/serial/by-id/usb-FTDI_FT232R_USB_UART_A5XK3RJT-if00-port0"),
                ports.get(4).byIdPath());
        assertEquals(0x2341, ports.get(0).vendorId().getAsInt());
        assertEquals(List.of(Optional.empty(), Optional.empty()),
                List.of(ports.get(0).slotName(), ports.get(1).manufacturer()));
    }

    @Test
    void aWatchTellsFirstOfEveryPortThereIsAndUsbNamesSayWhatIsPluggedIn() throws Exception {
        BlockingQueue<PortEvent> events = new LinkedBlockingQueue<>();
        Subscription watch = SerialPorts.watch(events::add);
        List<String> there = SerialPorts.list().stream().map(PortInfo::device).toList();
        List<String> told = new ArrayList<>();
        for (int i = 0; i < there.size(); i++) {
            PortEvent event = events.poll(5, TimeUnit.SECONDS);
            assertEquals(PortEvent.Kind.ADDED, event.kind());
            told.add(event.port().device());
        }
        watch.close();
        watch.close();
        assertEquals(there, told);
        assertThrows(IllegalArgumentException.class, () -> SerialPorts.devicePath("usb:403:6001"));
        NoSuchFileException none = assertThrows(NoSuchFileException.class,
                () -> SerialConnection.open("usb:ffff:fffe", LineSettings.of(9600)));
        assertTrue(none.getMessage().startsWith("usb:ffff:fffe: no such adapter plugged in ("), none.getMessage());
    }
}
