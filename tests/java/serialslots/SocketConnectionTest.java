package serialslots;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import contract.ConnectionContract;
import contract.Line;
import contract.Ser2net;
import java.io.IOException;
import java.io.OutputStream;
import java.lang.management.ManagementFactory;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.EnumSet;
import java.util.List;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.function.Supplier;
import java.util.stream.Stream;
import lab.SerialLab;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;
import serialslots.tcp.SocketTransport;

/**
 * Raw TCP device servers: the contract through Debian's ser2net serving a
 * lab pty as raw TCP, servers that close, stay silent or flood, and the
 * record a spy keeps of a known exchange.
 */
class SocketConnectionTest extends ConnectionContract {

    private static final int PORT = 24_150;

    static Stream<Supplier<Line>> lines() {
        return Stream.of(Line.called("ser2net raw", () -> {
            assumeTrue(Ser2net.installed(), "ser2net is not installed");
            SerialLab.FarEnd end = SerialLab.attach("/dev/ttyUSB9");
            try {
                return new ServedLine("socket://127.0.0.1:" + PORT, end, Ser2net.serveRaw("/dev/ttyUSB9", PORT));
            } catch (IOException | InterruptedException e) {
                end.close();
                throw new IllegalStateException(e);
            }
        }));
    }

    @Test
    void whatARawLinkCannotCarryIsRefusedByNameAndTheServersEndIsTheStreamsEnd() throws Exception {
        assumeTrue(Ser2net.installed(), "ser2net is not installed");
        try (ServedLine line = (ServedLine) lines().findFirst().orElseThrow().get();
                SerialConnection raw = SerialConnection.open(line.device(), LineSettings.of(57600).withStopBits(2))) {
            assertEquals(LineSettings.of(57600).withStopBits(2), raw.settings());
            for (String[] row : new String[][] {{"modem lines", "rts"}, {"break", "break"}, {"RS-485", "rs485"},
                {"low latency", "latency"}, {"line counters", "counters"}}) {
                SettingNotSupportedException refused = assertThrows(SettingNotSupportedException.class, () -> {
                    switch (row[1]) {
                        case "rts" -> raw.setRts(true);
                        case "break" -> raw.sendBreak(10);
                        case "rs485" -> raw.setRs485(Rs485.standard());
                        case "latency" -> raw.setLowLatency(true);
                        default -> raw.counters();
                    }
                });
                assertEquals(line.device() + ": a raw TCP link has no " + row[0], refused.getMessage());
            }
            BlockingQueue<SerialEventType> events = new LinkedBlockingQueue<>();
            raw.listen(EnumSet.of(SerialEventType.DATA, SerialEventType.HANG_UP), (c, event) -> {
                events.add(event.type());
                if (event.type() == SerialEventType.DATA) {
                    try {
                        c.getInputStream().skip(c.available());
                    } catch (IOException e) {
                        throw new IllegalStateException(e);
                    }
                }
            });
            line.send((byte) 0xFF, (byte) 0xFF);
            assertEquals(SerialEventType.DATA, events.poll(5, TimeUnit.SECONDS));
            line.server().kill();
            assertEquals(SerialEventType.HANG_UP, events.poll(5, TimeUnit.SECONDS));
            assertEquals(-1, raw.getInputStream().read());
            assertThrows(PortDisconnectedException.class, () -> raw.getOutputStream().write(1));
        }
    }

    /** CPU time of this JVM so far (the library's threads may be virtual: no thread's own time is kept). */
    private static long processCpuNanos() {
        return ((com.sun.management.OperatingSystemMXBean) ManagementFactory.getOperatingSystemMXBean())
                .getProcessCpuTime();
    }

    @Test
    void aServerThatFloodsIsReadInOrderWithBoundedMemoryAndOneThatIsSilentTimesOut() throws Exception {
        try (ServerSocket server = new ServerSocket(0)) {
            Thread flood = new Thread(() -> {
                try (Socket client = server.accept()) {
                    OutputStream out = client.getOutputStream();
                    byte[] block = everyByteValue(256);
                    for (;;) {
                        out.write(block);
                    }
                } catch (IOException closed) {
                    // the client went
                }
            });
            flood.start();
            try (SerialConnection port = SerialConnection.open("socket://127.0.0.1:" + server.getLocalPort()
                    + "?timeout=1000", LineSettings.of(9600))) {
                Thread.sleep(300);  // the client holds 1 MiB; TCP makes the server wait for the rest
                long busy = processCpuNanos();
                Thread.sleep(500);
                busy = processCpuNanos() - busy;
                assertTrue(busy < TimeUnit.MILLISECONDS.toNanos(250), "a full buffer kept the process busy for "
                        + TimeUnit.NANOSECONDS.toMillis(busy) + " ms of 500");
                assertTrue(port.available() <= 1 << 20, port.available() + " bytes held");
                port.setReadTimeout(2000);
                byte[] got = port.getInputStream().readNBytes(1 << 21);
                assertArrayEquals(everyByteValue(1 << 13), got, "the bytes came out of order or altered");
            }
            flood.join(5000);
        }
        try (ServerSocket silent = new ServerSocket(0);
                SerialConnection port = SerialConnection.open("socket://127.0.0.1:" + silent.getLocalPort(),
                        LineSettings.of(9600))) {
            port.setReadTimeout(100);
            assertThrows(SerialTimeoutException.class, () -> port.getInputStream().read());
            // Over TLS, a server that never answers the handshake is a failure within the timeout.
            long start = System.nanoTime();
            IOException mute = assertThrows(IOException.class, () -> SerialConnection.open("sockets://localhost:"
                    + silent.getLocalPort() + "?timeout=500", LineSettings.of(9600)));
            assertTrue(System.nanoTime() - start < TimeUnit.SECONDS.toNanos(3), "past the timeout");
            assertTrue(mute.getMessage().endsWith("did not answer within 500 ms"), mute.getMessage());
        }
        assertTrue(SocketTransport.TIMEOUT_PROPERTY.startsWith("serialslots."));
    }

    /** A known exchange through a spy: the record, line for line, but for the times. */
    @ParameterizedTest
    @ValueSource(booleans = {false, true})
    void aSpyRecordsAKnownExchangeLineForLine(boolean virtual) throws Exception {
        Path record = Files.createTempFile(Path.of("/dev/shm"), "spy-", ".log");
        String device;
        AutoCloseable far;
        OutputStream toPort;
        if (virtual) {
            VirtualDevice meter = VirtualDevice.create("spied");
            meter.respond(request -> "OK\r".getBytes(StandardCharsets.US_ASCII));
            device = meter.name();
            far = meter;
            toPort = null;
        } else {
            SerialLab.FarEnd end = SerialLab.attach("/dev/ttyUSB10");
            device = "/dev/ttyUSB10";
            far = end;
            toPort = new OutputStream() {
                @Override
                public void write(int b) throws IOException {
                    end.inject((byte) b);
                }
            };
        }
        try (far; SerialConnection port = SerialConnection.open("spy://" + device + "?file=" + record,
                LineSettings.of(9600).withStopBits(2))) {
            port.setReadTimeout(2000);
            port.getOutputStream().write("AT\r".getBytes(StandardCharsets.US_ASCII));
            if (toPort != null) {
                toPort.write("OK\r".getBytes(StandardCharsets.US_ASCII));
            }
            assertEquals("OK\r", new String(port.getInputStream().readNBytes(3), StandardCharsets.US_ASCII));
            port.reconfigure(LineSettings.of(115200));
            if (virtual) {
                port.setDtr(false);
            } else {
                assertThrows(IOException.class, () -> port.setDtr(false));
            }
        }
        // A record that cannot be written leaves the connection as it is.
        try (VirtualDevice quiet = VirtualDevice.create("unrecorded");
                SerialConnection port = SerialConnection.open("spy://" + quiet.name() + "?file=/nonexistent/record",
                        LineSettings.of(9600))) {
            port.getOutputStream().write(7);
            assertEquals(7, quiet.input().read());
        }
        List<String> lines = Files.readAllLines(record);
        Files.delete(record);
        for (String line : lines) {
            assertTrue(line.matches("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{6}Z .*"), line);
        }
        String dtr = virtual ? "dtr off" : "dtr off\nfailed dtr off: " + device + ": setting DTR failed: "
                + "Inappropriate ioctl for device";
        assertEquals(String.join("\n", "open " + device + " 9600 8N2 exclusive", "settings 9600 8N2",
                "tx 3 41 54 0D |AT.|", "rx 3 4F 4B 0D |OK.|", "reconfigure 115200 8N1", "settings 115200 8N1", dtr,
                "close"), String.join("\n", lines.stream().map(line -> line.substring(28)).toList()));
    }
}
