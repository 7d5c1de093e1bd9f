package hardware;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import contract.ConnectionContract;
import contract.Line;
import contract.Ser2net;
import hardwarelab.HardwareLab;
import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.util.EnumSet;
import java.util.List;
import java.util.Optional;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.Future;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.function.Supplier;
import java.util.stream.Stream;
import lab.SerialLab;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.ExtendWith;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import serialslots.ByteError;
import serialslots.LineCounters;
import serialslots.LineSettings;
import serialslots.ModemLines;
import serialslots.NineBit;
import serialslots.Parity;
import serialslots.PortEvent;
import serialslots.PortOption;
import serialslots.PortDisconnectedException;
import serialslots.Rs485;
import serialslots.SerialConnection;
import serialslots.SerialEventType;
import serialslots.SerialPorts;
import serialslots.Subscription;
import serialslots.SerialTimeoutException;
import serialslots.SettingNotSupportedException;

/**
 * The connection API on the 8250 and ftdi_sio drivers of the lab's virtual
 * machine: the contract on a UART wired to a UART, on a UART wired to the
 * adapter and on the adapter, and what only a driver shows.
 */
@ExtendWith(HardwareLab.Guard.class)
class ConnectionOnDriversTest extends ConnectionContract {

    private static final int TIOCM_LOOP = 0x8000;
    private static final int TIOCM_OUT1 = 0x2000;

    static Stream<Supplier<Line>> lines() {
        return Stream.of(wired("/dev/ttyS1"), wired("/dev/ttyS4"), wired("/dev/ttyUSB0"), served(false), served(true));
    }

    /** ttyS1 served by ser2net, over RFC 2217 or as raw TCP, with ttyS2 at its wire's far end. */
    private static Supplier<Line> served(boolean raw) {
        return Line.called((raw ? "raw TCP" : "rfc2217") + " to /dev/ttyS1", () -> {
            try {
                Ser2net server = raw ? Ser2net.serveRaw("/dev/ttyS1", 24_202) : Ser2net.serve("/dev/ttyS1", 24_200,
                        null, null);
                return new WiredLine(raw ? "socket://127.0.0.1:24202" : server.uri(false),
                        SerialConnection.open("/dev/ttyS2", LineSettings.of(115200)), server);
            } catch (IOException | InterruptedException e) {
                throw new IllegalStateException(e);
            }
        });
    }

    /** A device and, at the far end of its wire, its partner opened as a connection of its own. */
    private static Supplier<Line> wired(String device) {
        return Line.called(device, () -> {
            try {
                return new WiredLine(device, SerialConnection.open(HardwareLab.farEndOf(device), LineSettings.of(115200)),
                        null);
            } catch (IOException e) {
                throw new UncheckedIOException(e);
            }
        });
    }

    /** The device, the partner at its wire's far end, and the ser2net that serves the device, if one does. */
    private record WiredLine(String device, SerialConnection partner, Ser2net server) implements Line {
        @Override
        public void send(byte... bytes) throws IOException {
            partner.getOutputStream().write(bytes);
        }

        @Override
        public byte[] receive(int max, int waitMillis) throws IOException {
            partner.setReadTimeout(waitMillis);
            ByteArrayOutputStream received = new ByteArrayOutputStream();
            byte[] buffer = new byte[4096];
            try {
                while (received.size() < max) {
                    received.write(buffer, 0, partner.getInputStream().read(buffer, 0,
                            Math.min(buffer.length, max - received.size())));
                }
            } catch (SerialTimeoutException quiet) {
                // nothing more came within waitMillis
            }
            return received.toByteArray();
        }

        @Override
        public boolean fillsWhenUnread() {
            // Only the wire to the adapter holds bytes back while the adapter is not read.
            return device.equals("/dev/ttyS4");
        }

        @Override
        public boolean locksLikeTheKernel() {
            return server == null;
        }

        @Override
        public void close() throws IOException {
            partner.close();
            if (server != null) {
                server.close();
            }
        }
    }

    @Test
    void aUartNodeWithNoUartIsNoSuchDevice() {
        // ttyS8 has no UART behind it: it opens, then answers EIO.
        NoSuchFileException missing = assertThrows(NoSuchFileException.class,
                () -> SerialConnection.open("/dev/ttyS8", LineSettings.of(9600)));
        assertEquals("/dev/ttyS8: no such serial device (Input/output error)", missing.getMessage());
    }

    @ParameterizedTest(name = "{0} {1} {2}{3}{4}")
    @CsvSource({"/dev/ttyS1,9600,5,SPACE,1,", "/dev/ttyS1,9600,6,MARK,2,", "/dev/ttyS1,9600,7,ODD,1,",
        "/dev/ttyS1,28800,8,EVEN,2,", "/dev/ttyS1,14400,8,NONE,1,",
        // A 16550 divides 115200 by a whole number, and reports the rate asked for.
        "/dev/ttyS1,100000,8,NONE,1,baud rate 100000 (it kept 115200)",
        "/dev/ttyS1,31250,8,NONE,1,baud rate 31250 (it kept 28800)",
        "/dev/ttyS1,12345,8,NONE,1,baud rate 12345 (it kept 12800)",
        "/dev/ttyS1,250000,8,NONE,1,baud rate 250000 (it kept 9600)",
        "/dev/ttyUSB0,31250,8,MARK,1,", "/dev/ttyUSB0,250000,7,SPACE,2,", "/dev/ttyUSB0,1000000,8,NONE,1,",
        "/dev/ttyUSB0,9600,6,NONE,1,data bits 6 (it kept 8)"})
    void theDriverKeepsWhatItCanMakeAndTheRestIsRefused(String device, int baud, int dataBits, Parity parity,
            int stopBits, String refused) throws Exception {
        LineSettings before = LineSettings.of(9600);
        LineSettings wanted = LineSettings.of(baud).withDataBits(dataBits).withParity(parity).withStopBits(stopBits);
        try (SerialConnection connection = SerialConnection.open(device, before)) {
            if (refused == null) {
                connection.reconfigure(wanted);
                assertEquals(wanted, connection.settings());
            } else {
                assertEquals(device + ": the driver did not take " + refused + "; the line was left as it was",
                        assertThrows(Exception.class, () -> connection.reconfigure(wanted)).getMessage());
                assertEquals(before, connection.settings());
            }
        }
    }

    @Test
    void lowLatencySetsTheAdaptersTimerAndAUartWithoutRs485RefusesItAndWorksOn() throws Exception {
        Path timer = Path.of("/sys/bus/usb-serial/devices/ttyUSB0/latency_timer");
        try (SerialConnection adapter = SerialConnection.open("/dev/ttyUSB0", LineSettings.of(115200));
                SerialConnection uart = SerialConnection.open("/dev/ttyS4", LineSettings.of(115200))) {
            String before = Files.readString(timer).strip();
            double[] perSecond = new double[2];
            for (boolean low : new boolean[] {true, false}) {
                adapter.setLowLatency(low);
                assertEquals(List.of(low, low ? "1" : before), List.of(adapter.isLowLatency(),
                        Files.readString(timer).strip()));
                perSecond[low ? 0 : 1] = requestsAndReplies(uart, adapter);
            }
            // A figure, not a test: the emulated adapter has no latency timer of its own.
            System.out.printf("figure: request/reply through the adapter, low latency %.0f/s, default %.0f/s%n",
                    perSecond[0], perSecond[1]);
        }
        try (SerialConnection uart = SerialConnection.open("/dev/ttyS1", LineSettings.of(9600));
                SerialConnection far = SerialConnection.open("/dev/ttyS2", LineSettings.of(9600))) {
            assertEquals("/dev/ttyS1: the driver has no RS-485 mode", assertThrows(SettingNotSupportedException.class,
                    () -> uart.setRs485(Rs485.standard())).getMessage());
            assertEquals(Optional.empty(), uart.rs485());
            uart.getOutputStream().write('k');
            far.setReadTimeout(5_000);
            assertEquals('k', far.getInputStream().read());
        }
    }

    /** Requests of one byte from the UART, each answered by the adapter's end: how many a second. */
    private static double requestsAndReplies(SerialConnection uart, SerialConnection adapter) throws IOException {
        uart.setReadTimeout(5_000);
        adapter.setReadTimeout(5_000);
        long start = System.nanoTime();
        int rounds = 50;
        for (int i = 0; i < rounds; i++) {
            uart.getOutputStream().write(i);
            adapter.getOutputStream().write(adapter.getInputStream().read());
            assertEquals(i, uart.getInputStream().read());
        }
        return rounds / ((System.nanoTime() - start) / 1e9);
    }

    @Test
    void theDriversCountBytesAtBothEndsOfTheWire() throws Exception {
        // Modem-line events cannot be shown here: qemu's 16550 in loopback
        // changes its lines without a modem-status interrupt, so TIOCMIWAIT
        // never wakes (the events are proven on a stand-in UART instead).
        try (SerialConnection connection = SerialConnection.open("/dev/ttyS1", LineSettings.of(9600));
                SerialConnection far = SerialConnection.open("/dev/ttyS2", LineSettings.of(9600))) {
            LineCounters sent = connection.counters();
            LineCounters received = far.counters();
            connection.getOutputStream().write(new byte[100]);
            far.setReadTimeout(5_000);
            far.getInputStream().readNBytes(100);
            assertEquals(List.of(sent.transmitted() + 100, received.received() + 100),
                    List.of(connection.counters().transmitted(), far.counters().received()));
        }
    }

    @Test
    void everyModemInputFollowsItsOutputThroughTheUartsLoopback() throws Exception {
        // In loopback a 16550 wires RTS to CTS, DTR to DSR, OUT1 to RI and OUT2 (always on for a PC's UART) to DCD.
        try (SerialConnection connection = SerialConnection.open("/dev/ttyS1", LineSettings.of(9600))) {
            SerialLab.modemControl("/dev/ttyS1", TIOCM_LOOP, true);
            try {
                for (int outputs = 0; outputs < 8; outputs++) {
                    boolean rts = (outputs & 1) != 0;
                    boolean dtr = (outputs & 2) != 0;
                    boolean out1 = (outputs & 4) != 0;
                    // First: every open of a tty, such as this helper's, raises RTS and DTR.
                    SerialLab.modemControl("/dev/ttyS1", TIOCM_OUT1, out1);
                    connection.setRts(rts);
                    connection.setDtr(dtr);
                    assertEquals(new ModemLines(rts, dtr, true, out1, rts, dtr), connection.modemLines());
                }
            } finally {
                SerialLab.modemControl("/dev/ttyS1", TIOCM_LOOP | TIOCM_OUT1, false);
            }
        }
    }

    @Test
    void aRemotePortsSettingsAndModemLinesReachTheUartBehindTheServer() throws Exception {
        LineSettings wanted = LineSettings.of(19200).withDataBits(7).withParity(Parity.EVEN).withStopBits(2);
        try (Ser2net server = Ser2net.serve("/dev/ttyS1", 24_201, null, null);
                SerialConnection remote = SerialConnection.open(server.uri(false), wanted)) {
            SerialLab.Attributes uart = SerialLab.deviceState("/dev/ttyS1");
            // CS7, PARENB, CSTOPB and no PARODD, as the 8250 driver holds them
            assertEquals(List.of(19200L, 0100 | 0400 | 040), List.of(uart.outputBaud, uart.cflag & 01560));
            assertEquals(wanted, remote.settings());
            remoteModemLinesAndBreak(remote);
        }
    }

    private static void remoteModemLinesAndBreak(SerialConnection remote) throws Exception {
        try (SerialConnection local = SerialConnection.openShared("/dev/ttyS1", remote.settings())) {
            // In loopback the UART wires RTS to CTS and DTR to DSR; the server tells of CTS and DSR.
            SerialLab.modemControl("/dev/ttyS1", TIOCM_LOOP, true);
            try {
                for (int outputs = 0; outputs < 4; outputs++) {
                    boolean rts = (outputs & 1) != 0;
                    boolean dtr = (outputs & 2) != 0;
                    remote.setRts(rts);
                    remote.setDtr(dtr);
                    ModemLines driver = local.modemLines();
                    assertEquals(List.of(rts, dtr), List.of(driver.rts(), driver.dtr()));
                    ModemLines told = remote.modemLines();
                    for (int tries = 0; tries < 500 && (told.cts() != rts || told.dsr() != dtr); tries++) {
                        Thread.sleep(10);
                        told = remote.modemLines();
                    }
                    assertEquals(List.of(rts, dtr, rts, dtr), List.of(told.cts(), told.dsr(), told.rts(), told.dtr()));
                }
            } finally {
                SerialLab.modemControl("/dev/ttyS1", TIOCM_LOOP, false);
            }
            long started = System.nanoTime();
            remote.sendBreak(300);
            assertTrue(System.nanoTime() - started >= TimeUnit.MILLISECONDS.toNanos(300), "the break was cut short");
        }
    }

    @Test
    void aBreakHoldsTheLineForItsTimeAndLeavesItWorking() throws Exception {
        try (SerialConnection near = SerialConnection.open("/dev/ttyS1", LineSettings.of(9600));
                SerialConnection far = SerialConnection.open("/dev/ttyS2", LineSettings.of(9600))) {
            long started = System.nanoTime();
            near.sendBreak(300);
            assertTrue(System.nanoTime() - started >= TimeUnit.MILLISECONDS.toNanos(300), "the break was cut short");
            near.getOutputStream().write(0x5a);
            far.setReadTimeout(5_000);
            assertEquals(0x5a, far.getInputStream().read());
        }
    }

    @Test
    void drainWaitsUntilTheFarEndHasTakenEveryByte() throws Exception {
        // More than the UART, the wire and the adapter hold while nobody reads ttyUSB0.
        byte[] data = new byte[1 << 16];
        for (int i = 0; i < data.length; i++) {
            data[i] = HardwareLab.streamByte(i);
        }
        try (SerialConnection uart = SerialConnection.open("/dev/ttyS4", LineSettings.of(115200));
                SerialConnection adapter = SerialConnection.open("/dev/ttyUSB0", LineSettings.of(115200))) {
            AtomicBoolean transmitterEmptyAtDrain = new AtomicBoolean();
            Future<Long> drained = threads.submit(() -> {
                uart.getOutputStream().write(data);
                uart.drain();
                transmitterEmptyAtDrain.set(SerialLab.transmitterEmpty("/dev/ttyS4"));
                return System.nanoTime();
            });
            Thread.sleep(1_000);
            assertFalse(drained.isDone(), "drain returned while the far end took nothing");
            long reading = System.nanoTime();
            adapter.setReadTimeout(20_000);
            assertArrayEquals(data, adapter.getInputStream().readNBytes(data.length));
            assertTrue(drained.get(10, TimeUnit.SECONDS) > reading);
            assertTrue(transmitterEmptyAtDrain.get(), "drain returned before the UART's last stop bit");
        }
    }

    @Test
    void closingDropsDtrAndRtsUnlessTheConnectionHoldsThemForTheNextOpen() throws Exception {
        for (boolean hold : new boolean[] {true, false, true}) {
            PortOption[] options = hold ? new PortOption[] {PortOption.HOLD_DTR} : new PortOption[0];
            try (SerialConnection connection = SerialConnection.open("/dev/ttyS1", LineSettings.of(9600), options)) {
                // Linux raises both at every open, whatever the program asks.
                assertEquals(List.of(true, true), uartOutputs(1), "open, hold " + hold);
            }
            assertEquals(List.of(hold, hold), uartOutputs(1), "closed, hold " + hold);
        }
    }

    /** RTS and DTR of a 16550 as its driver reports them, with no open that would raise them. */
    private static List<Boolean> uartOutputs(int port) throws IOException {
        String line = Files.readAllLines(Path.of("/proc/tty/driver/serial")).stream()
                .filter(uart -> uart.startsWith(port + ":")).findFirst().orElseThrow();
        List<String> signals = List.of(line.substring(line.lastIndexOf(' ') + 1).split("\\|"));
        return List.of(signals.contains("RTS"), signals.contains("DTR"));
    }

    @ParameterizedTest
    @CsvSource({"/dev/ttyS1", "/dev/ttyUSB0"})
    void nineBitWordsLeaveInOrderAndTheLineWaitsAtSpaceParity(String device) throws Exception {
        try (SerialConnection bus = SerialConnection.open(device, LineSettings.of(9600), PortOption.MARK_ERRORS);
                SerialConnection far = SerialConnection.open(HardwareLab.farEndOf(device), LineSettings.of(9600))) {
            NineBit words = NineBit.over(bus);
            words.write(0x1A5, 1, 2, 0x1A6, 3);
            far.setReadTimeout(5_000);
            assertArrayEquals(new byte[] {(byte) 0xA5, 1, 2, (byte) 0xA6, 3}, far.getInputStream().readNBytes(5));
            assertEquals(Parity.SPACE, bus.settings().parity());
            // The emulated wires carry no parity bit: what comes back is data words.
            far.getOutputStream().write(new byte[] {7, (byte) 0xFF});
            bus.setReadTimeout(5_000);
            int[] got = new int[2];
            ByteError[] errors = new ByteError[2];
            for (int taken = 0; taken < got.length;) {
                taken += words.read(got, errors, taken, got.length - taken);
            }
            assertEquals(List.of(7, 0xFF, ByteError.NONE, ByteError.NONE), List.of(got[0], got[1], errors[0], errors[1]));
        }
    }

    @Test
    void aWatchSeesTheAdapterGoAndComeBackAndItsIdentityFindsItWhereverItIs() throws Exception {
        BlockingQueue<PortEvent> events = new LinkedBlockingQueue<>();
        try (Subscription watch = SerialPorts.watch(events::add)) {
            for (int i = SerialPorts.list().size(); i > 0; i--) {
                assertEquals(PortEvent.Kind.ADDED, events.poll(10, TimeUnit.SECONDS).kind());
            }
            IOException both = assertThrows(IOException.class,
                    () -> SerialConnection.open("usb:0403:6001", LineSettings.of(9600)).close(),
                    SerialPorts.list().toString());
            assertTrue(both.getMessage().startsWith("usb:0403:6001: 2 adapters answer to it"), both.getMessage());
            try (SerialConnection byIdentity = SerialConnection.open("usb:0403:6001:A1", LineSettings.of(9600))) {
                assertEquals("/dev/ttyUSB0", byIdentity.device());
            }
            PortEvent removed;
            long plugged;
            try {
                HardwareLab.unplugAdapter();
                removed = events.poll(30, TimeUnit.SECONDS);
            } finally {
                plugged = System.nanoTime();
                HardwareLab.plugAdapterBack();
            }
            PortEvent added = events.poll(30, TimeUnit.SECONDS);
            System.out.printf("figure: the adapter plugged back, told %.0f ms after the monitor was asked%n",
                    (System.nanoTime() - plugged) / 1e6);
            assertEquals(List.of(PortEvent.Kind.REMOVED, PortEvent.Kind.ADDED), List.of(removed.kind(), added.kind()));
            for (PortEvent event : List.of(removed, added)) {
                assertEquals("0403:6001 serial A1", String.format("%04x:%04x serial %s",
                        event.port().vendorId().getAsInt(), event.port().productId().getAsInt(),
                        event.port().serialNumber().orElse("")));
            }
            SerialConnection.open("usb:0403:6001:A1", LineSettings.of(9600)).close();
        }
    }

    @Test
    void pullingTheAdapterEndsAWaitingReadAndItOpensAgainOncePluggedBack() throws Exception {
        try (SerialConnection adapter = SerialConnection.open("/dev/ttyUSB0", LineSettings.of(115200))) {
            Future<Integer> waiting = threads.submit(() -> adapter.getInputStream().read());
            BlockingQueue<SerialEventType> events = new LinkedBlockingQueue<>();
            adapter.listen(EnumSet.of(SerialEventType.HANG_UP), (c, event) -> events.add(event.type()));
            Thread.sleep(500);
            HardwareLab.unplugAdapter();
            assertEquals(-1, waiting.get(30, TimeUnit.SECONDS));
            assertEquals(SerialEventType.HANG_UP, events.poll(30, TimeUnit.SECONDS));
            assertThrows(PortDisconnectedException.class, () -> adapter.getOutputStream().write('x'));
        } finally {
            HardwareLab.plugAdapterBack();
        }
        SerialConnection.open("/dev/ttyUSB0", LineSettings.of(115200)).close();
    }
}
