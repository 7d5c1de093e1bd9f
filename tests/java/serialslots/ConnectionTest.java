package serialslots;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.io.InputStream;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.util.List;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import lab.SerialLab;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** The connection API on a lab pty at /dev/ttyUSB4 whose far end the test holds. */
class ConnectionTest {

    /** Under qemu-user, as the cross builds run this suite. */
    private static final boolean EMULATED = Boolean.getBoolean("serialslots.test.emulated");

    private final ExecutorService threads = Executors.newCachedThreadPool();
    private SerialLab.FarEnd device;
    private int descriptorsBefore;

    @BeforeEach
    void attach() {
        assertTrue(SerialLab.insideLab(), "the Java tests must run inside the serial lab");
        descriptorsBefore = SerialLab.deviceDescriptors();
        device = SerialLab.attach("/dev/ttyUSB4");
    }

    @AfterEach
    void nothingLeaks() {
        threads.shutdownNow();
        device.close();
        assertEquals(descriptorsBefore, SerialLab.deviceDescriptors(), "a descriptor leaked");
    }

    private static byte[] everyByteValue(int times) {
        byte[] bytes = new byte[256 * times];
        for (int i = 0; i < bytes.length; i++) {
            bytes[i] = (byte) i;
        }
        return bytes;
    }

    @Test
    void everyByteValueGoesBothWaysAndAReadReturnsWhatIsThereWithoutFilling() throws Exception {
        try (SerialConnection connection = SerialConnection.open("COMUSB4", LineSettings.of(115200))) {
            assertEquals("/dev/ttyUSB4", connection.device());
            assertEquals(LineSettings.of(115200), connection.settings());
            SerialLab.Attributes line = device.attributes();
            // lflag 0, OPOST off, VMIN 1, VTIME 0, CLOCAL and CREAD on
            assertEquals(List.of(0, 0, 1, 0, 04200), List.of(line.lflag, line.oflag & 1, line.vmin, line.vtime,
                    line.cflag & 04200));
            // A pty has no modem lines: the call fails, and says so, and the connection goes on.
            assertEquals("/dev/ttyUSB4: setting RTS failed: Inappropriate ioctl for device",
                    assertThrows(IOException.class, () -> connection.setRts(false)).getMessage());
            byte[] all = everyByteValue(8);
            connection.getOutputStream().write(all);
            assertArrayEquals(all, device.take(all.length, 500));
            device.inject(all);
            assertArrayEquals(all, connection.getInputStream().readNBytes(all.length));
            device.inject((byte) 0, (byte) 0x11, (byte) 0x13);
            byte[] buffer = new byte[64];
            assertEquals(3, connection.getInputStream().read(buffer, 10, 50));
            assertArrayEquals(new byte[] {0, 0x11, 0x13}, java.util.Arrays.copyOfRange(buffer, 10, 13));
            device.inject((byte) 'x');
            Thread.sleep(20);
            assertEquals(1, connection.available());
            connection.discardInput();
            assertEquals(0, connection.available());
            connection.drain();
            connection.discardOutput();
            if (!EMULATED) {
                connection.sendBreak(5);  // qemu-user does not pass a break on
            }
        }
    }

    @Test
    void timeoutsSayHowManyBytesWentAndLeaveTheConnectionUsable() throws Exception {
        try (SerialConnection connection = SerialConnection.openShared("/dev/ttyUSB4", LineSettings.of(9600))) {
            connection.setReadTimeout(100);
            long start = System.nanoTime();
            SerialTimeoutException read = assertThrows(SerialTimeoutException.class,
                    () -> connection.getInputStream().read());
            long waited = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
            assertTrue(waited >= 100 && waited < 1000, waited + " ms");
            assertEquals(0, read.bytesTransferred);
            // The far end reads nothing, so the queue fills and the write waits.
            connection.setWriteTimeout(200);
            byte[] lots = everyByteValue(4096);
            SerialTimeoutException write = assertThrows(SerialTimeoutException.class,
                    () -> connection.getOutputStream().write(lots));
            assertTrue(write.bytesTransferred > 0 && write.bytesTransferred < lots.length, write.getMessage());
            assertArrayEquals(java.util.Arrays.copyOf(lots, write.bytesTransferred),
                    device.take(lots.length, 300), "exactly the bytes the exception counts went out");
            device.inject((byte) 42);
            assertEquals(42, connection.getInputStream().read());
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

    @Test
    void closeFromAnotherThreadWakesAWaitingReaderAndWriterAtOnce() throws Exception {
        SerialConnection connection = SerialConnection.open("/dev/ttyUSB4", LineSettings.of(115200));
        Future<Integer> reader = threads.submit(() -> connection.getInputStream().read());
        Future<?> writer = threads.submit(() -> {
            connection.getOutputStream().write(new byte[1 << 20]);
            return null;
        });
        Thread.sleep(200);
        long start = System.nanoTime();
        connection.close();
        for (Future<?> call : List.of(reader, writer)) {
            Exception failure = assertThrows(Exception.class, () -> call.get(1, TimeUnit.SECONDS));
            assertEquals("the connection to /dev/ttyUSB4 is closed", failure.getCause().getMessage());
        }
        assertTrue(System.nanoTime() - start < TimeUnit.MILLISECONDS.toNanos(500));
        assertFalse(connection.isOpen());
        connection.close();
        assertThrows(IOException.class, () -> connection.getInputStream().read());
        assertEquals(descriptorsBefore, SerialLab.deviceDescriptors(), "the device was released");
    }

    @Test
    void anExclusiveOpenKeepsOthersOutUntilItCloses() throws Exception {
        SerialConnection first = SerialConnection.open("COMUSB4", LineSettings.of(9600));
        for (boolean exclusive : new boolean[] {true, false}) {
            PortBusyException busy = assertThrows(PortBusyException.class, () -> (exclusive
                    ? SerialConnection.open("/dev/ttyUSB4", LineSettings.of(9600))
                    : SerialConnection.openShared("/dev/ttyUSB4", LineSettings.of(9600))).close());
            assertTrue(busy.getMessage().matches("/dev/ttyUSB4: in use \\(held by process "
                    + ProcessHandle.current().pid() + " \\((java|qemu-[a-z0-9]+)\\), this one\\)"), busy.getMessage());
        }
        first.close();
        try (SerialConnection shared = SerialConnection.openShared("COMUSB4", LineSettings.of(9600));
                SerialConnection another = SerialConnection.openShared("COMUSB4", LineSettings.of(9600))) {
            assertThrows(PortBusyException.class, () -> SerialConnection.open("COMUSB4", LineSettings.of(9600)));
        }
        SerialConnection.open("COMUSB4", LineSettings.of(9600)).close();
    }

    @Test
    void aSettingThePtyDropsIsRefusedOnOpen() {
        assertThrows(SettingNotSupportedException.class,
                () -> SerialConnection.open("/dev/ttyUSB4", LineSettings.of(9600).withParity(Parity.MARK)));
    }

    @ParameterizedTest
    @CsvSource({"missing,/dev/ttyUSB9,NoSuchFileException,/dev/ttyUSB9: no such serial device",
        "link,/dev/ttyUSB9,NoSuchFileException,/dev/ttyUSB9: no such serial device",
        "file,/dev/ttyUSB9,NotASerialPortException,/dev/ttyUSB9: not a serial device (a regular file)",
        "fifo,/dev/ttyUSB9,NotASerialPortException,/dev/ttyUSB9: not a serial device (no terminal)",
        "directory,/dev/ttyUSB9,NotASerialPortException,/dev/ttyUSB9: not a serial device (a directory)",
        "missing,COM41,NoSuchFileException,/dev/COM41: no such serial device"})
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
    void invalidSettingsFailWhenMadeAndValidOnesCompareByValue() {
        for (Runnable bad : new Runnable[] {() -> LineSettings.of(0), () -> LineSettings.of(-9600),
            () -> LineSettings.of(9600).withDataBits(4), () -> LineSettings.of(9600).withDataBits(9),
            () -> LineSettings.of(9600).withStopBits(3), () -> LineSettings.of(9600).withStopBits(0)}) {
            assertThrows(IllegalArgumentException.class, bad::run);
        }
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
