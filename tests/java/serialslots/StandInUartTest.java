package serialslots;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.BufferedReader;
import java.io.InputStreamReader;
import java.io.OutputStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.util.List;
import lab.SerialLab;
import org.junit.jupiter.api.Test;

/**
 * Modem-line and line-error events, which no emulated UART produces, on a
 * stand-in UART: a pty whose lines, counts and line-change wait a preloaded
 * library answers from what this test writes (tools/lab-harness/standin_uart.cpp).
 */
class StandInUartTest {

    private static final int TIOCM_CTS = 0x20;
    private static final int TIOCM_DSR = 0x100;

    private Path dir;

    /** The driver's counts: cts dsr rng dcd rx tx frame overrun parity brk buf_overrun. */
    private void counts(int... counts) throws Exception {
        StringBuilder text = new StringBuilder();
        for (int count : counts) {
            text.append(count).append(' ');
        }
        put("counters", text.toString());
    }

    /** Whole or not at all: the stand-in may read the file at any moment. */
    private void put(String name, String text) throws Exception {
        Path next = Files.writeString(dir.resolve(name + ".next"), text);
        Files.move(next, dir.resolve(name), StandardCopyOption.ATOMIC_MOVE, StandardCopyOption.REPLACE_EXISTING);
    }

    /** A JVM with the stand-in on /dev/ttyUSB30, running StandInListener with {@code mode}. */
    private ProcessBuilder listener(String... mode) throws Exception {
        String standIn = System.getProperty("serialslots.test.standin");
        assumeTrue(standIn != null && !Boolean.getBoolean("serialslots.test.emulated"), "the stand-in runs on the host");
        dir = Files.createTempDirectory(Path.of("/dev/shm"), "standin-");
        put("lines", "0");
        counts(0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
        SerialLab.makeNode("fifo", dir.resolve("changes").toString());
        ProcessBuilder builder = new ProcessBuilder(Path.of(System.getProperty("java.home"), "bin", "java").toString(),
                "--enable-native-access=ALL-UNNAMED", "-Dserialslots.library=" + System.getProperty("serialslots.library"),
                "-cp", System.getProperty("serialslots.test.classpath"), StandInListener.class.getName(), "/dev/ttyUSB30");
        builder.command().addAll(List.of(mode));
        builder.environment().putAll(java.util.Map.of("LD_PRELOAD", standIn, "STANDIN_DEVICE", "/dev/ttyUSB30",
                "STANDIN_DIR", dir.toString()));
        return builder.redirectErrorStream(true);
    }

    @Test
    void ninthBitsGoOutAsMarkParityAndMarksComeBackWithTheKindsTheDriverCounted() throws Exception {
        ProcessBuilder builder = listener("ninebit");
        try (SerialLab.FarEnd device = SerialLab.attach("/dev/ttyUSB30")) {
            Process bus = builder.start();
            try (BufferedReader told = new BufferedReader(new InputStreamReader(bus.getInputStream()))) {
                assertEquals("sent SPACE", told.readLine());
                // Each change of parity only once the transmitter is empty, and the line left at space.
                assertEquals("s d m 142 d s 1 2 d m 143 d s 3 d d m 144 d s d",
                        Files.readString(dir.resolve("wire")).strip());
                assertArrayEquals(new byte[] {0x42, 1, 2, 0x43, 3, 0x44}, device.take(6, 1_000));
                // As the line discipline marks them; which error each was, the counts tell, and a mark
                // beyond them is of the kind before it (an FTDI adapter marks a whole packet for one error).
                counts(0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 0);
                device.inject((byte) 0x10, (byte) 0xFF, (byte) 0, (byte) 0x55, (byte) 0xFF, (byte) 0, (byte) 0,
                        (byte) 0xFF, (byte) 0, (byte) 0x20, (byte) 0xFF, (byte) 0xFF, (byte) 0xFF, (byte) 0, (byte) 0);
                assertEquals("words 10/OVERRUN 155/NONE 0/BREAK 20/FRAMING ff/NONE 0/FRAMING", told.readLine());
            } finally {
                bus.destroyForcibly().waitFor();
            }
        }
    }

    @Test
    void lineChangesAndErrorsComeAsTheDriverCountsThemFoldedAndOnlyWhenTheyHappened() throws Exception {
        ProcessBuilder builder = listener();
        try (SerialLab.FarEnd device = SerialLab.attach("/dev/ttyUSB30")) {
            Process listener = builder.start();
            try (BufferedReader told = new BufferedReader(new InputStreamReader(listener.getInputStream()));
                    OutputStream changes = Files.newOutputStream(dir.resolve("changes"))) {
                assertEquals("ready", told.readLine());
                put("lines", String.valueOf(TIOCM_CTS));
                counts(1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
                changes.write(1);
                changes.flush();
                assertEquals("CTS C 1 0 0 0 0 0 0", told.readLine());
                // A read of the lines that fails once (a USB adapter's EIO) takes none away for good.
                put("lines", "unreadable");
                counts(2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
                changes.write(1);
                changes.flush();
                assertEquals("CTS ? 2 0 0 0 0 0 0", told.readLine());
                // Three changes before the next wake-up: one event each, whose counts say how many.
                put("lines", String.valueOf(TIOCM_DSR));
                counts(3, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0);
                changes.write(1);
                changes.flush();
                assertEquals(List.of("CTS D 3 1 1 0 0 0 0", "DSR D 3 1 1 0 0 0 0", "RI D 3 1 1 0 0 0 0"),
                        List.of(told.readLine(), told.readLine(), told.readLine()));
                // A wake-up with no change reports nothing; errors come with the bytes they spoiled.
                changes.write(1);
                changes.flush();
                Thread.sleep(300);
                counts(3, 1, 1, 0, 1, 0, 1, 1, 1, 1, 1);
                device.inject((byte) 0);
                assertEquals(List.of("BREAK D 3 1 1 1 1 1 2", "FRAMING_ERROR D 3 1 1 1 1 1 2",
                        "PARITY_ERROR D 3 1 1 1 1 1 2", "OVERRUN D 3 1 1 1 1 1 2", "DATA D 3 1 1 1 1 1 2"),
                        List.of(told.readLine(), told.readLine(), told.readLine(), told.readLine(), told.readLine()));
                assertFalse(told.ready(), "an event that did not happen");
            } finally {
                listener.destroyForcibly().waitFor();
            }
            // Every field of an RS-485 mode the driver keeps comes back as it was set.
            builder.command().add("rs485");
            Process rs485 = builder.start();
            assertEquals(new Rs485(false, true, 3, 4, true, true).toString(),
                    new String(rs485.getInputStream().readAllBytes()).strip());
            rs485.waitFor();
        }
    }
}
