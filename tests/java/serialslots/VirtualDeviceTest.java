package serialslots;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import contract.ConnectionContract;
import contract.Line;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.FileAlreadyExistsException;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.EnumSet;
import java.util.List;
import java.util.Optional;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.function.Supplier;
import java.util.stream.Stream;
import lab.SerialLab;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * Virtual devices: the contract on one, what only a device played by a test
 * shows, loops and pseudo-terminal pairs.
 */
class VirtualDeviceTest extends ConnectionContract {

    static Stream<Supplier<Line>> lines() {
        return Stream.of(Line.called("virtual device", () -> {
            try {
                return new DeviceLine(VirtualDevice.create("contract"));
            } catch (IOException e) {
                throw new IllegalStateException(e);
            }
        }));
    }

    /** The contract's far end: the device's own streams. */
    record DeviceLine(VirtualDevice virtual) implements Line {
        @Override
        public String device() {
            return virtual.name();
        }

        @Override
        public void send(byte... bytes) throws IOException {
            virtual.output().write(bytes);
        }

        @Override
        public byte[] receive(int max, int waitMillis) throws IOException {
            ByteArrayOutputStream got = new ByteArrayOutputStream();
            long quietSince = System.nanoTime();
            while (got.size() < max && System.nanoTime() - quietSince < TimeUnit.MILLISECONDS.toNanos(waitMillis)) {
                int waiting = virtual.input().available();
                if (waiting > 0) {
                    got.write(virtual.input().readNBytes(Math.min(waiting, max - got.size())));
                    quietSince = System.nanoTime();
                } else {
                    Thread.onSpinWait();
                }
            }
            return got.toByteArray();
        }

        @Override
        public boolean fillsWhenUnread() {
            return true;
        }

        @Override
        public void close() {
            virtual.close();
        }
    }

    @Test
    void aDeviceAnswersRequestsSeesSettingsAndLinesAndComesAndGoesAsAPort() throws Exception {
        BlockingQueue<PortEvent> watched = new LinkedBlockingQueue<>();
        try (Subscription watch = SerialPorts.watch(watched::add);
                VirtualDevice meter = VirtualDevice.create("meter")) {
            assertThrows(FileAlreadyExistsException.class, () -> VirtualDevice.create("meter"));
            assertTrue(SerialPorts.list().stream().anyMatch(port -> port.device().equals("virtual:meter")
                    && port.driver().equals("virtual")), "not in the list");
            PortEvent added = next(watched, "virtual:meter");
            assertEquals(List.of(PortEvent.Kind.ADDED, "virtual"), List.of(added.kind(), added.port().driver()));
            assertNull(meter.settings());
            meter.respond(request -> {
                if (request[0] == '!') {
                    throw new IllegalStateException("a broken responder");
                }
                return new String(request, StandardCharsets.US_ASCII).equals("MEAS?\r\n")
                        ? "21.5\r\n".getBytes(StandardCharsets.US_ASCII) : null;
            });
            LineSettings asked = LineSettings.of(9600).withParity(Parity.EVEN);
            try (SerialConnection port = SerialConnection.open(meter.name(), asked)) {
                port.setReadTimeout(2000);
                assertEquals(asked, meter.settings());
                assertTrue(meter.dtr() && meter.rts() && meter.isOpen());
                port.getOutputStream().write('!');
                port.getOutputStream().write("MEAS?\r\n".getBytes(StandardCharsets.US_ASCII));
                assertEquals("21.5\r\n", new String(port.getInputStream().readNBytes(6), StandardCharsets.US_ASCII));
                assertEquals(0, meter.input().available(), "a request went to input() too");
                port.setDtr(false);
                port.sendBreak(5);
                assertEquals(List.of(false, 1), List.of(meter.dtr(), meter.breaksReceived()));
                meter.setCts(true);
                meter.setRi(true);
                meter.setRi(false);
                assertEquals(new ModemLines(true, false, false, false, true, false), port.modemLines());
                assertEquals(1, port.counters().ringIndications());
                port.setRs485(Rs485.standard());
                port.disableRs485();
                assertEquals(Optional.empty(), port.rs485());
                PortBusyException busy = assertThrows(PortBusyException.class,
                        () -> SerialConnection.openShared(meter.name(), asked));
                assertTrue(busy.getMessage().startsWith("virtual:meter: in use (held by process "), busy.getMessage());
                meter.unplug();
                assertEquals(PortEvent.Kind.REMOVED, next(watched, "virtual:meter").kind());
                assertEquals(-1, port.getInputStream().read());
                assertThrows(PortDisconnectedException.class, () -> port.getOutputStream().write(1));
                NoSuchFileException gone = assertThrows(NoSuchFileException.class,
                        () -> SerialConnection.open(meter.name(), asked));
                assertTrue(gone.getMessage().contains("no such virtual device"), gone.getMessage());
            }
            meter.plugBack();
            assertEquals(PortEvent.Kind.ADDED, next(watched, "virtual:meter").kind());
            SerialConnection again = SerialConnection.open(meter.name(), asked);
            meter.close();
            assertEquals(-1, again.getInputStream().read());
            assertEquals(PortEvent.Kind.REMOVED, next(watched, "virtual:meter").kind());
            again.close();
        }
        VirtualDevice.create("meter").close();
    }

    /** The next event of the watch about `device`. */
    private static PortEvent next(BlockingQueue<PortEvent> watched, String device) throws InterruptedException {
        for (;;) {
            PortEvent event = watched.poll(5, TimeUnit.SECONDS);
            assertTrue(event != null, "no event for " + device);
            if (event.port().device().equals(device)) {
                return event;
            }
        }
    }

    /** Injections as a program sees them, in a JVM of a user without root and without the native library. */
    @Test
    void everyInjectionShowsAsADriversWouldForAUserWithoutRootOrNativeLibrary() throws Exception {
        assumeTrue("root".equals(System.getProperty("user.name"))
                && !Boolean.getBoolean("serialslots.test.emulated"), "runs a program as another user");
        Process drill = new ProcessBuilder("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                Path.of(System.getProperty("java.home"), "bin", "java").toString(), "-XX:-UsePerfData",
                "-Dserialslots.library=/nonexistent", "-cp", System.getProperty("serialslots.test.classpath"),
                VirtualDrill.class.getName()).redirectErrorStream(true).start();
        String output = new String(drill.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertEquals(0, drill.waitFor(), output);
        assertEquals("every injection seen\n", output);
    }

    @ParameterizedTest
    @ValueSource(booleans = {true, false})
    void injectedBytesComeWithTheirErrorsToAMarkingReaderAndAsAUartGivesThemToOthers(boolean marking)
            throws Exception {
        PortOption[] options = marking ? new PortOption[] {PortOption.MARK_ERRORS} : new PortOption[0];
        try (VirtualDevice device = VirtualDevice.create("marks");
                SerialConnection connection = SerialConnection.open("virtual:marks", LineSettings.of(9600), options)) {
            device.output().write(new byte[] {'a', (byte) 0xFF});
            device.injectReceived(ByteError.PARITY, 'b');
            device.injectReceived(ByteError.FRAMING, 0xFF);
            device.injectReceived(ByteError.BREAK, 'x');
            device.injectReceived(ByteError.OVERRUN, 'd');
            device.injectReceived(ByteError.NONE, 'e');
            byte[] got = new byte[7];
            ByteError[] errors = new ByteError[7];
            for (int taken = 0; taken < got.length;) {
                taken += marking ? connection.readMarked(got, errors, taken, got.length - taken)
                        : connection.getInputStream().read(got, taken, got.length - taken);
            }
            assertArrayEquals(new byte[] {'a', (byte) 0xFF, 'b', (byte) 0xFF, 0, 'd', 'e'}, got);
            assertEquals(marking ? List.of(ByteError.NONE, ByteError.NONE, ByteError.PARITY, ByteError.FRAMING,
                    ByteError.BREAK, ByteError.OVERRUN, ByteError.NONE) : Arrays.asList(new ByteError[7]),
                    Arrays.asList(errors));
            LineCounters counted = connection.counters();
            assertEquals(List.of(1L, 1L, 1L, 1L), List.of(counted.parityErrors(), counted.framingErrors(),
                    counted.breaks(), counted.overruns()));
        }
    }

    @Test
    void moreThanTheLineHoldsArrivesWholeAtAConnectionThatMarks() throws Exception {
        // The ring fills up to one byte short of a doubled 0xFF, then every value passes.
        byte[] sent = new byte[150_001];
        Arrays.fill(sent, 0, 65_535, (byte) 'A');
        for (int i = 65_535; i < sent.length; i++) {
            sent[i] = (byte) (0xFF + i * 7 - 65_535 * 7);
        }
        try (VirtualDevice device = VirtualDevice.create("marked-bulk");
                SerialConnection connection = SerialConnection.open("virtual:marked-bulk", LineSettings.of(9600),
                        PortOption.MARK_ERRORS)) {
            Thread writer = new Thread(() -> {
                try {
                    device.output().write(sent);
                } catch (IOException e) {
                    throw new IllegalStateException(e);
                }
            });
            writer.start();
            Thread.sleep(200);
            connection.setReadTimeout(5_000);
            assertArrayEquals(sent, connection.getInputStream().readNBytes(sent.length));
            writer.join();
        }
    }

    @Test
    void aLoopReceivesWhatItSendsAndItsOutputsAreItsInputs() throws Exception {
        try (SerialConnection loop = SerialConnection.open("loop://", LineSettings.of(115200));
                SerialConnection other = SerialConnection.open("loop://", LineSettings.of(115200))) {
            BlockingQueue<SerialEventType> events = new LinkedBlockingQueue<>();
            loop.listen(EnumSet.of(SerialEventType.CTS, SerialEventType.DSR, SerialEventType.BREAK),
                    (connection, event) -> events.add(event.type()));
            loop.setReadTimeout(1000);
            byte[] all = everyByteValue(4);
            loop.getOutputStream().write(all);
            assertArrayEquals(all, loop.getInputStream().readNBytes(all.length));
            assertEquals(0, other.available(), "loops share their bytes");
            assertEquals(new ModemLines(true, true, true, false, true, true), loop.modemLines());
            loop.setRts(false);
            assertEquals(SerialEventType.CTS, events.poll(2, TimeUnit.SECONDS));
            loop.setDtr(false);
            assertEquals(SerialEventType.DSR, events.poll(2, TimeUnit.SECONDS));
            assertEquals(new ModemLines(false, false, false, false, false, false), loop.modemLines());
            loop.sendBreak(1);
            assertEquals(SerialEventType.BREAK, events.poll(2, TimeUnit.SECONDS));
        }
        assertThrows(IllegalArgumentException.class, () -> SerialConnection.open("loop://x", LineSettings.of(1)));
    }

    @Test
    void pacedBytesTakeTheLinesTime() throws Exception {
        try (VirtualDevice slow = VirtualDevice.create("slow");
                SerialConnection port = SerialConnection.open(slow.name(), LineSettings.of(9600))) {
            slow.pace(true);
            long start = System.nanoTime();
            port.getOutputStream().write(new byte[96]);  // 96 characters of 10 bits: 100 ms
            port.drain();
            long drained = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
            assertTrue(drained >= 95 && drained < 400, drained + " ms");
            assertEquals(96, slow.input().readNBytes(96).length);
            // A drain that cannot finish in the write timeout says so, and that it sent nothing itself.
            port.getOutputStream().write(new byte[96]);
            port.setWriteTimeout(20);
            SerialTimeoutException late = assertThrows(SerialTimeoutException.class, port::drain);
            assertEquals(List.of(0, "drain on virtual:slow timed out after 20 ms"),
                    List.of(late.bytesTransferred, late.getMessage()));
            port.setWriteTimeout(0);
            port.drain();
            assertEquals(96, slow.input().readNBytes(96).length);
            // At 1200 baud a character takes 8.3 ms: a frame ends in 3.5 of them (29 ms) of silence.
            port.reconfigure(LineSettings.of(1200));
            port.setReadTimeout(2000);
            threads.submit(() -> {
                slow.output().write(new byte[20]);
                Thread.sleep(150);
                slow.output().write(new byte[5]);
                return null;
            });
            byte[] frame = new byte[100];
            assertEquals(20, port.readUntilIdle(frame, 0, frame.length, 29_167));
            assertEquals(5, port.readUntilIdle(frame, 0, frame.length, 29_167));
            // A pulled cable carries nothing more: bytes on their way when it went are lost.
            port.getOutputStream().write(new byte[96]);
            slow.unplug();
            slow.plugBack();
            Thread.sleep(150);
            assertTrue(slow.input().available() < 5, slow.input().available() + " bytes came after the unplug");
        }
    }

    @Test
    void aPseudoTerminalPairCarriesBytesBothWaysForCodeThatNeedsAPath() throws Exception {
        int descriptors = SerialLab.deviceDescriptors();
        try (VirtualPty pty = VirtualPty.create();
                SerialConnection port = SerialConnection.open(pty.path(), LineSettings.of(115200))) {
            assertTrue(pty.path().startsWith("/dev/pts/"), pty.path());
            byte[] all = everyByteValue(16);
            port.getOutputStream().write(all);
            assertArrayEquals(all, pty.input().readNBytes(all.length));
            pty.output().write(all);
            port.setReadTimeout(2000);
            assertArrayEquals(all, port.getInputStream().readNBytes(all.length));
            assertThrows(IOException.class, () -> port.setRts(false));
        }
        assertEquals(descriptors, SerialLab.deviceDescriptors(), "the pair left a descriptor open");
    }
}
