package serialslots;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import contract.ConnectionContract;
import contract.Line;
import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.Optional;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.function.Supplier;
import java.util.stream.Stream;
import lab.SerialLab;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * The connection API on lab ptys: the contract on a pty at /dev/ttyUSB5, and
 * what only a pty or the lab shows on one at /dev/ttyUSB4.
 */
class ConnectionTest extends ConnectionContract {

    /** Under qemu-user, as the cross builds run this suite. */
    private static final boolean EMULATED = Boolean.getBoolean("serialslots.test.emulated");

    private SerialLab.FarEnd device;
    private int descriptorsBefore;

    /** A pty whose master the test holds. */
    static Stream<Supplier<Line>> lines() {
        return Stream.of(Line.called("pty", () -> new PtyLine(SerialLab.attach("/dev/ttyUSB5"))));
    }

    /** A line whose far end is a lab pty's master, behind the device or a server. */
    interface PtyFarEnd extends Line {
        SerialLab.FarEnd end();

        @Override
        default void send(byte... bytes) {
            end().inject(bytes);
        }

        @Override
        default byte[] receive(int max, int waitMillis) {
            return end().take(max, waitMillis);
        }
    }

    private record PtyLine(SerialLab.FarEnd end) implements PtyFarEnd {
        @Override
        public String device() {
            return end.devicePath();
        }

        @Override
        public boolean fillsWhenUnread() {
            return true;
        }

        @Override
        public void close() {
            end.close();
        }
    }

    @BeforeEach
    void attach() {
        assertTrue(SerialLab.insideLab(), "the Java tests must run inside the serial lab");
        descriptorsBefore = SerialLab.deviceDescriptors();
        device = SerialLab.attach("/dev/ttyUSB4");
    }

    @AfterEach
    void nothingLeaks() {
        device.close();
        assertEquals(descriptorsBefore, SerialLab.deviceDescriptors(), "a descriptor leaked");
    }

    @Test
    void theLineIsRawAndAPtyRefusesWhatNeedsAUart() throws Exception {
        try (SerialConnection connection = SerialConnection.open("COMUSB4", LineSettings.of(115200))) {
            assertEquals("/dev/ttyUSB4", connection.device());
            SerialLab.Attributes line = device.attributes();
            // lflag 0, OPOST off, VMIN 1, VTIME 0, CLOCAL and CREAD on
            assertEquals(List.of(0, 0, 1, 0, 04200), List.of(line.lflag, line.oflag & 1, line.vmin, line.vtime,
                    line.cflag & 04200));
            // A pty has no modem lines: the call fails, and says so, and the connection goes on.
            assertEquals("/dev/ttyUSB4: setting RTS failed: Inappropriate ioctl for device",
                    assertThrows(IOException.class, () -> connection.setRts(false)).getMessage());
            if (!EMULATED) {
                connection.sendBreak(5);  // qemu-user does not pass a break on
            }
            // A break that would last until close is refused, not begun.
            assertThrows(IllegalArgumentException.class, () -> connection.sendBreak(Integer.MAX_VALUE));
            assertThrows(IllegalArgumentException.class, () -> connection.sendBreak(0));
        }
        assertThrows(SettingNotSupportedException.class,
                () -> SerialConnection.open("/dev/ttyUSB4", LineSettings.of(9600).withParity(Parity.MARK)));
    }

    @Test
    void framesEndInSilenceOrAFullBufferAndAPtyHasNoBusControl() throws Exception {
        try (SerialConnection connection = SerialConnection.open("/dev/ttyUSB4", LineSettings.of(115200))) {
            assertEquals("/dev/ttyUSB4: the driver has no RS-485 mode",
                    assertThrows(SettingNotSupportedException.class, () -> connection.setRs485(Rs485.standard()))
                            .getMessage());
            assertEquals(Optional.empty(), connection.rs485());
            connection.disableRs485();
            assertEquals("/dev/ttyUSB4: the driver did not take low latency on",
                    assertThrows(SettingNotSupportedException.class, () -> connection.setLowLatency(true)).getMessage());
            assertFalse(connection.isLowLatency());
            Future<?> far = threads.submit(() -> {
                for (byte b : "abc".getBytes(StandardCharsets.US_ASCII)) {
                    device.inject(b);
                    Thread.sleep(5);  // gaps within a frame, well below the silence that ends it
                }
                Thread.sleep(300);
                device.inject("defghijkl".getBytes(StandardCharsets.US_ASCII));
                return null;
            });
            connection.setReadTimeout(2_000);
            byte[] buffer = new byte[16];
            List<String> frames = new ArrayList<>();
            for (int room : new int[] {16, 4, 16}) {
                int got = connection.readUntilIdle(buffer, 0, room, 50_000);
                frames.add(new String(buffer, 0, got, StandardCharsets.US_ASCII));
            }
            far.get();
            assertEquals(List.of("abc", "defg", "hijkl"), frames);
            connection.setReadTimeout(50);
            assertThrows(SerialTimeoutException.class, () -> connection.readUntilIdle(buffer, 0, 16, 1_000));
            assertEquals(List.of(1042L, 209L, 521L), List.of(LineSettings.of(9600).characterMicros(),
                    LineSettings.of(57600).withParity(Parity.EVEN).withStopBits(2).characterMicros(),
                    LineSettings.of(19200).withDataBits(7).withParity(Parity.ODD).characterMicros()));
        }
    }

    @Test
    void concurrentWritersTakeTurnsAWholeWriteAtATime() throws Exception {
        try (SerialConnection connection = SerialConnection.open("/dev/ttyUSB4", LineSettings.of(115200))) {
            List<Future<?>> writers = new ArrayList<>();
            for (byte letter : new byte[] {'a', 'b'}) {
                byte[] bytes = new byte[200_000];
                Arrays.fill(bytes, letter);
                writers.add(threads.submit(() -> {
                    connection.getOutputStream().write(bytes);
                    return null;
                }));
            }
            byte[] received = device.take(400_000, 2_000);
            for (Future<?> writer : writers) {
                writer.get(5, TimeUnit.SECONDS);
            }
            int runs = 1;
            for (int i = 1; i < received.length; i++) {
                runs += received[i] == received[i - 1] ? 0 : 1;
            }
            assertEquals(List.of(400_000, 2), List.of(received.length, runs), "the two writes mixed");
        }
    }

    @Test
    void aHangUpEndsTheStreamForGoodAndFailsWritesAtOnce() throws Exception {
        try (SerialConnection connection = SerialConnection.open("/dev/ttyUSB4", LineSettings.of(57600))) {
            InputStream in = connection.getInputStream();
            Future<Integer> blocked = threads.submit(() -> in.read());
            Thread.sleep(100);
            device.close();
            assertEquals(-1, blocked.get(2, TimeUnit.SECONDS));
            assertEquals(-1, in.read());
            assertEquals(0, connection.available());
            assertThrows(PortDisconnectedException.class, () -> connection.getOutputStream().write('x'));
            assertTrue(connection.isOpen());
        }
    }

    /** Runs a command as the user nobody, as a program of a user would run. */
    private static Process asNobody(String... command) throws IOException {
        List<String> line = new ArrayList<>(List.of("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"));
        line.addAll(List.of(command));
        return new ProcessBuilder(line).redirectErrorStream(true).start();
    }

    /** A plain open of the device by nobody, as a program that takes no lock makes it: its exit status. */
    private static int plainOpenAsNobody() throws Exception {
        return asNobody("sh", "-c", "exec 3<>/dev/ttyUSB4").waitFor();
    }

    /**
     * Also where the holder opened and failed to open another port after its
     * exclusive one, and where its guardian was killed (a new one takes the
     * port over) or sent SIGTERM (it keeps the port while its program lives).
     */
    @ParameterizedTest
    @CsvSource({"false,", "true,", "false,KILL", "false,TERM"})
    void exclusivityKeepsOutAUsersPlainOpenAndEndsWithItsProcessHoweverThatEnded(boolean otherPortToo,
            String guardianSignal) throws Exception {
        assumeTrue("root".equals(System.getProperty("user.name")) && !EMULATED, "runs programs as another user");
        List<String> command = new ArrayList<>(List.of(Path.of(System.getProperty("java.home"), "bin", "java").toString(),
                "-XX:-UsePerfData", "--enable-native-access=ALL-UNNAMED", "-Dserialslots.library=" + System.getProperty("serialslots.library"),
                "-cp", System.getProperty("serialslots.test.classpath"), ExclusiveHolder.class.getName(), "/dev/ttyUSB4"));
        SerialLab.FarEnd other = SerialLab.attach("/dev/ttyUSB6");
        for (String device : otherPortToo ? List.of("/dev/ttyUSB4", "/dev/ttyUSB6") : List.of("/dev/ttyUSB4")) {
            Files.setPosixFilePermissions(Path.of(device).toRealPath(), PosixFilePermissions.fromString("rw-rw-rw-"));
        }
        if (otherPortToo) {
            command.add("/dev/ttyUSB6");
        }
        Process holder = asNobody(command.toArray(String[]::new));
        try (other) {
            assertEquals("held", new BufferedReader(new InputStreamReader(holder.getInputStream())).readLine());
            assertTrue(plainOpenAsNobody() != 0, "a plain open got in beside an exclusive one");
            if (guardianSignal != null) {
                long guardian = guardianOf(holder.pid());
                assertTrue(guardian > 0, "no guardian found");
                assertEquals(0, new ProcessBuilder("kill", "-" + guardianSignal, String.valueOf(guardian)).start()
                        .waitFor());
                for (int tries = 0; tries < 200 && guardianOf(holder.pid()) == guardian
                        && guardianSignal.equals("KILL"); tries++) {
                    Thread.sleep(10);
                }
                Thread.sleep(100);
                assertTrue(guardianOf(holder.pid()) != 0, "no guardian after SIG" + guardianSignal);
                assertTrue(plainOpenAsNobody() != 0, "a plain open got in after the guardian's SIG" + guardianSignal);
            }
        } finally {
            holder.destroyForcibly().waitFor();
        }
        int status = -1;
        for (int tries = 0; tries < 200 && status != 0; tries++) {
            Thread.sleep(10);
            status = plainOpenAsNobody();
        }
        assertEquals(0, status, "the killed program's exclusive open outlived it");
        SerialConnection.open("/dev/ttyUSB4", LineSettings.of(9600)).close();
    }

    /** A read ended by close() returns only once the device is released: it opens again at once. */
    @Test
    void aReadEndedByCloseReturnsOnceThePortOpensAgain() throws Exception {
        try (SerialLab.FarEnd end = SerialLab.attach("/dev/ttyUSB4")) {
            for (int round = 0; round < 20; round++) {
                SerialConnection connection = SerialConnection.open("/dev/ttyUSB4", LineSettings.of(9600));
                Future<SerialConnection> reopened = threads.submit(() -> {
                    try {
                        connection.getInputStream().read();
                    } catch (IOException closed) {
                        // ended by the close: the port must be free now
                    }
                    return SerialConnection.open("/dev/ttyUSB4", LineSettings.of(9600));
                });
                Thread.sleep(20);
                connection.close();
                reopened.get(5, TimeUnit.SECONDS).close();
            }
        }
    }

    /** The guardian of a program's exclusive opens: its newest living child named serialslots-excl, or 0. */
    private static long guardianOf(long program) throws IOException {
        long newest = 0;
        long newestStart = -1;
        try (Stream<Path> processes = Files.list(Path.of("/proc"))) {
            for (Path process : processes.filter(p -> p.getFileName().toString().matches("\\d+")).toList()) {
                try {
                    String stat = Files.readString(process.resolve("stat"));
                    String[] after = stat.substring(stat.lastIndexOf(')') + 2).split(" ");
                    // The kernel keeps 15 characters of a process's name; one replaced may not be reaped yet.
                    if (stat.contains("(serialslots-exc") && Long.parseLong(after[1]) == program
                            && !"ZX".contains(after[0]) && Long.parseLong(after[19]) > newestStart) {
                        newest = Long.parseLong(process.getFileName().toString());
                        newestStart = Long.parseLong(after[19]);
                    }
                } catch (IOException gone) {
                    // a process that just ended
                }
            }
        }
        return newest;
    }

    /** A stopped guardian holds up no open or close past its answer time, and a new one takes over. */
    @Test
    void aStoppedGuardianIsReplacedAndHoldsUpNoOpenOrClose() throws Exception {
        assumeTrue("root".equals(System.getProperty("user.name")) && !EMULATED, "runs programs as another user");
        try (SerialLab.FarEnd first = SerialLab.attach("/dev/ttyUSB4");
                SerialLab.FarEnd second = SerialLab.attach("/dev/ttyUSB6")) {
            Files.setPosixFilePermissions(Path.of("/dev/ttyUSB4").toRealPath(), PosixFilePermissions.fromString("rw-rw-rw-"));
            SerialConnection held = SerialConnection.open("/dev/ttyUSB4", LineSettings.of(9600));
            long stopped = guardianOf(ProcessHandle.current().pid());
            assertTrue(stopped > 0, "no guardian found");
            // Started as posix_spawn starts a program: nothing blocked, and no directory of the JVM's held.
            Path guardian = Path.of("/proc", String.valueOf(stopped));
            assertEquals(Path.of("/"), Files.readSymbolicLink(guardian.resolve("cwd")));
            assertTrue(Files.readAllLines(guardian.resolve("status")).contains("SigBlk:\t0000000000000000"),
                    "the guardian started with signals blocked");
            assertEquals(0, new ProcessBuilder("kill", "-STOP", String.valueOf(stopped)).start().waitFor());
            long start = System.nanoTime();
            SerialConnection.open("/dev/ttyUSB6", LineSettings.of(9600)).close();
            assertTrue(System.nanoTime() - start < TimeUnit.SECONDS.toNanos(4), "an open waited for a stopped guardian");
            long replaced = guardianOf(ProcessHandle.current().pid());
            assertTrue(replaced != 0 && replaced != stopped, "the stopped guardian was not replaced");
            assertTrue(plainOpenAsNobody() != 0, "a plain open got in while the guardian was replaced");
            held.close();
            assertEquals(0, plainOpenAsNobody(), "the port stayed exclusive after its close");
        }
    }

    @ParameterizedTest
    @CsvSource({"missing,/dev/ttyUSB9,NoSuchFileException,/dev/ttyUSB9: no such serial device",
        "link,/dev/ttyUSB9,NoSuchFileException,/dev/ttyUSB9: no such serial device",
        "file,/dev/ttyUSB9,NotASerialPortException,/dev/ttyUSB9: not a serial device (a regular file)",
        "fifo,/dev/ttyUSB9,NotASerialPortException,/dev/ttyUSB9: not a serial device (no terminal)",
        "directory,/dev/ttyUSB9,NotASerialPortException,/dev/ttyUSB9: not a serial device (a directory)",
        "missing,COM41,NoSuchFileException,/dev/COM41: no such serial device",
        "missing,/dev/ptmx,NotASerialPortException,/dev/ptmx: not a serial device (the multiplexer that makes "
            + "pseudo-terminals)"})
    void whatIsNoSerialDeviceFailsWithItsOwnExceptionNamingThePath(String kind, String port, String type,
            String message) throws Exception {
        SerialLab.makeNode(kind, "/dev/ttyUSB9");
        IOException failure = assertThrows(IOException.class, () -> SerialConnection.open(port, LineSettings.of(9600)));
        Files.deleteIfExists(Path.of("/dev/ttyUSB9"));
        assertEquals(List.of(type, message), List.of(failure.getClass().getSimpleName(), failure.getMessage()));
        assertThrows(NullPointerException.class, () -> SerialConnection.open(null, LineSettings.of(9600)));
        assertThrows(IllegalArgumentException.class, () -> SerialConnection.open("", LineSettings.of(9600)));
    }

    @Test
    void markedReadsTakeTheMarksApartAcrossReadsAndPlainReadsNeverSeeThem() throws Exception {
        final int parmrk = 010;
        final int inpck = 020;
        final int ignpar = 04;
        final int hupcl = 02000;
        // A far end's own 0xFF 0x00 X is data: the line discipline doubles each 0xFF it receives.
        byte[] sent = {1, (byte) 0xFF, 0, 2, (byte) 0xFF, (byte) 0xFF, 3};
        try (SerialConnection marked = SerialConnection.open("/dev/ttyUSB4", LineSettings.of(9600),
                PortOption.MARK_ERRORS, PortOption.HOLD_DTR)) {
            marked.reconfigure(LineSettings.of(19200));
            SerialLab.Attributes line = device.attributes();
            assertEquals(List.of(parmrk | inpck, 0), List.of(line.iflag & (parmrk | inpck | ignpar), line.cflag & hupcl));
            device.inject(sent);
            byte[] got = new byte[sent.length];
            ByteError[] errors = new ByteError[sent.length];
            for (int at = 0; at < sent.length; at++) {
                assertEquals(1, marked.readMarked(got, errors, at, 1));  // every mark split across reads
            }
            assertArrayEquals(sent, got);
            assertEquals(Collections.nCopies(sent.length, ByteError.NONE), Arrays.asList(errors));
            // available() counts bytes as received, not the marks: a read of that many never waits.
            for (boolean read : new boolean[] {true, false}) {
                device.inject(sent);
                long until = System.nanoTime() + TimeUnit.SECONDS.toNanos(2);
                while (marked.available() < sent.length && System.nanoTime() < until) {
                    Thread.sleep(5);
                }
                assertEquals(sent.length, marked.available());
                if (read) {
                    assertArrayEquals(sent, marked.getInputStream().readNBytes(sent.length));
                }
            }
            marked.discardInput();
            assertEquals(0, marked.available());
            // A frame that ends in silence is taken apart too; then as a read: a timeout, the end.
            device.inject((byte) 0xFF, (byte) 0xFF, (byte) 0xFF, (byte) 0xFF);
            marked.setReadTimeout(1_000);
            assertEquals(4, marked.readUntilIdle(got, 0, got.length, 50_000));
            assertEquals(List.of((byte) 0xFF, (byte) 0xFF, (byte) 0xFF, (byte) 0xFF), List.of(got[0], got[1], got[2],
                    got[3]));
            marked.setReadTimeout(50);
            assertThrows(SerialTimeoutException.class, () -> marked.readMarked(got, errors, 0, 1));
            device.close();
            assertEquals(-1, marked.readMarked(got, errors, 0, 1));
        }
        device = SerialLab.attach("/dev/ttyUSB4");
        try (SerialConnection plain = SerialConnection.open("/dev/ttyUSB4", LineSettings.of(9600))) {
            SerialLab.Attributes line = device.attributes();
            assertEquals(List.of(0, hupcl), List.of(line.iflag & (parmrk | inpck), line.cflag & hupcl));
            assertEquals("/dev/ttyUSB4: opened without PortOption.MARK_ERRORS, so no byte's error is known",
                    assertThrows(IllegalStateException.class, () -> plain.readMarked(new byte[1], new ByteError[1], 0,
                            1)).getMessage());
        }
    }

    @ParameterizedTest
    @CsvSource({"rfc2217://127.0.0.1:9,MARK_ERRORS,rfc2217://127.0.0.1:9: RFC 2217 has no marks on bad bytes",
        "socket://127.0.0.1:9,HOLD_DTR,socket://127.0.0.1:9: a raw TCP port has no hold on DTR at close",
        "/dev/ttyUSB4,MARK_ERRORS,/dev/ttyUSB4: no 9-bit words: the driver keeps no line error counts and so "
            + "marks no parity bit",
        "/dev/ttyUSB4,HOLD_DTR,/dev/ttyUSB4: no 9-bit words: the connection must be opened with "
            + "PortOption.MARK_ERRORS",
        "loop://,MARK_ERRORS,loop://: no 9-bit words: only a device of this machine carries a ninth bit"})
    void whatCannotMarkOrCarryANinthBitIsRefusedByName(String port, PortOption option, String message) {
        SettingNotSupportedException refused = assertThrows(SettingNotSupportedException.class, () -> {
            try (SerialConnection connection = SerialConnection.open(port, LineSettings.of(9600), option)) {
                NineBit.over(connection);
            }
        });
        assertEquals(message, refused.getMessage());
    }

    @Test
    void invalidSettingsFailWhenMadeAndValidOnesCompareByValue() {
        for (Runnable bad : new Runnable[] {() -> LineSettings.of(0), () -> LineSettings.of(-9600),
            () -> LineSettings.of(9600).withDataBits(4), () -> LineSettings.of(9600).withDataBits(9),
            () -> LineSettings.of(9600).withStopBits(3), () -> LineSettings.of(9600).withStopBits(0)}) {
            assertThrows(IllegalArgumentException.class, bad::run);
        }
        // The message names the delay that is wrong, whichever it is.
        assertEquals(List.of("an RS-485 delay cannot be negative: -5", "an RS-485 delay cannot be negative: -7"),
                List.of(assertThrows(IllegalArgumentException.class, () -> new Rs485(true, false, 0, -5, false, false))
                        .getMessage(), assertThrows(IllegalArgumentException.class,
                                () -> new Rs485(true, false, -7, 3, false, false)).getMessage()));
        assertThrows(NullPointerException.class, () -> LineSettings.of(9600).withParity(null));
        assertThrows(NullPointerException.class, () -> LineSettings.of(9600).withFlowControl(null));
        LineSettings settings = LineSettings.of(9600).withDataBits(7).withParity(Parity.EVEN).withStopBits(2)
                .withFlowControl(FlowControl.RTS_CTS);
        LineSettings same = LineSettings.of(9600).withFlowControl(FlowControl.RTS_CTS).withStopBits(2)
                .withParity(Parity.EVEN).withDataBits(7);
        assertEquals(List.of("9600 7E2 RTS_CTS", same, same.hashCode()), List.of(settings.toString(), settings,
                settings.hashCode()));
        assertFalse(settings.equals(settings.withFlowControl(FlowControl.XON_XOFF)));
    }
}
