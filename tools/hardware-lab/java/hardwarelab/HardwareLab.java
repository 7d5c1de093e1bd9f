package hardwarelab;

import java.io.IOException;
import java.io.InputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import lab.SerialLab;
import org.junit.jupiter.api.extension.AfterEachCallback;
import org.junit.jupiter.api.extension.BeforeAllCallback;
import org.junit.jupiter.api.extension.BeforeEachCallback;
import org.junit.jupiter.api.extension.ExtensionContext;
import serialslots.LineSettings;
import serialslots.SerialConnection;
import serialslots.SerialTimeoutException;

/**
 * What the hardware suite shares inside the hardware lab's virtual machine
 * (scripts/hardware-test.sh): the check that it runs there, the machine's
 * wiring, and its monitor, which can unplug and plug back the USB adapter.
 */
public final class HardwareLab {

    /** The kernel command-line word the lab's machine boots with. */
    private static final String MARKER = "serialslots.hardware-lab";
    /** A 16550 of the machine wired to its monitor. */
    private static final String MONITOR = "/dev/ttyS3";

    private HardwareLab() {
    }

    /**
     * For every hardware test class: it runs only in the lab's machine, and
     * each test must leave as many descriptors on ttys as it found.
     */
    public static final class Guard implements BeforeAllCallback, BeforeEachCallback, AfterEachCallback {
        private int descriptorsBefore;

        @Override
        public void beforeAll(ExtensionContext context) {
            requireGuest();
        }

        @Override
        public void beforeEach(ExtensionContext context) {
            descriptorsBefore = SerialLab.deviceDescriptors();
        }

        @Override
        public void afterEach(ExtensionContext context) {
            int after = SerialLab.deviceDescriptors();
            if (after != descriptorsBefore) {
                throw new IllegalStateException(after - descriptorsBefore + " descriptors on ttys leaked");
            }
        }
    }

    /** Fails, never skips, anywhere but in the lab's machine: no test may open a tty of the host. */
    public static void requireGuest() {
        try {
            String commandLine = Files.readString(Path.of("/proc/cmdline"));
            if (Arrays.asList(commandLine.trim().split(" ")).contains(MARKER)) {
                return;
            }
        } catch (IOException unreadable) {
            // not Linux, or no /proc: not the lab's machine either
        }
        throw new IllegalStateException("the hardware suite runs only in the hardware lab's virtual machine");
    }

    /** The byte at {@code index} of a stream whose order shows a lost or a repeated byte. */
    public static byte streamByte(int index) {
        return (byte) (index * 31 + index / 256);
    }

    /** The device at the other end of a device's wire: ttyS1 and ttyS2 are joined, and ttyS4 and ttyUSB0. */
    public static String farEndOf(String device) {
        return switch (device) {
            case "/dev/ttyS1" -> "/dev/ttyS2";
            case "/dev/ttyS2" -> "/dev/ttyS1";
            case "/dev/ttyS4" -> "/dev/ttyUSB0";
            case "/dev/ttyUSB0" -> "/dev/ttyS4";
            default -> throw new IllegalArgumentException(device + " is not wired");
        };
    }

    /** Takes the USB adapter off its bus, as pulling its plug would. */
    public static void unplugAdapter() throws IOException {
        monitor("device_del ftdi");
    }

    /** Plugs the adapter back in and waits until its driver has made /dev/ttyUSB0 again. */
    public static void plugAdapterBack() throws IOException, InterruptedException {
        try {
            monitor("device_add usb-serial,bus=xhci.0,chardev=usb,id=ftdi,serial=A1");
        } catch (IOException answered) {
            if (!answered.getMessage().contains("Duplicate device ID")) {
                throw answered;
            }
            // It was never taken off: the test that tried says why.
        }
        for (int tries = 0; tries < 600 && !Files.exists(Path.of("/dev/ttyUSB0")); tries++) {
            Thread.sleep(50);
        }
    }

    /** Runs one command of the machine's monitor; its answer, if it gave one, is an error. */
    private static void monitor(String command) throws IOException {
        try (SerialConnection monitor = SerialConnection.open(MONITOR, LineSettings.of(115200))) {
            InputStream replies = monitor.getInputStream();
            monitor.getOutputStream().write((command + "\r").getBytes(StandardCharsets.US_ASCII));
            monitor.setReadTimeout(10_000);
            // The monitor echoes each key and redraws the line, then answers and prompts again.
            String echo = command + "\u001b[K";
            StringBuilder reply = new StringBuilder();
            int answered = -1;
            while (answered < 0) {
                int next = replies.read();
                if (next < 0) {
                    throw new IOException("the monitor went away");
                }
                reply.append((char) next);
                int echoed = reply.lastIndexOf(echo);
                if (echoed >= 0 && reply.toString().endsWith("(qemu) ") && reply.length() - 7 > echoed + echo.length()) {
                    answered = echoed + echo.length();
                }
            }
            String answer = reply.substring(answered, reply.length() - "(qemu) ".length()).trim();
            if (!answer.isEmpty()) {
                throw new IOException("the monitor answered " + command + ": " + answer);
            }
        } catch (SerialTimeoutException timeout) {
            throw new IOException("the monitor did not answer " + command, timeout);
        }
    }
}
