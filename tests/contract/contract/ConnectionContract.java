package contract;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import java.io.IOException;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.function.Supplier;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.function.Executable;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.MethodSource;
import serialslots.LineSettings;
import serialslots.PortBusyException;
import serialslots.SerialConnection;
import serialslots.SerialTimeoutException;

/**
 * The connection API's contract, written once for any line: each lab's test
 * class extends it with a static {@code lines()} that makes its lines.
 */
public abstract class ConnectionContract {

    protected final ExecutorService threads = Executors.newCachedThreadPool();

    @AfterEach
    void stopThreads() {
        threads.shutdownNow();
    }

    /** 256 × times bytes, every value in turn. */
    public static byte[] everyByteValue(int times) {
        byte[] bytes = new byte[256 * times];
        for (int i = 0; i < bytes.length; i++) {
            bytes[i] = (byte) i;
        }
        return bytes;
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("lines")
    void everyByteValueGoesBothWaysAndAReadReturnsWhatIsThereWithoutFilling(Supplier<Line> lines) throws Exception {
        try (Line line = lines.get();
                SerialConnection connection = SerialConnection.open(line.device(), LineSettings.of(115200))) {
            assertEquals(LineSettings.of(115200), connection.settings());
            byte[] all = everyByteValue(8);
            connection.getOutputStream().write(all);
            assertArrayEquals(all, line.receive(all.length, 2_000));
            connection.setReadTimeout(5_000);
            line.send(all);
            assertArrayEquals(all, connection.getInputStream().readNBytes(all.length));
            line.send((byte) 0, (byte) 0x11, (byte) 0x13);
            byte[] buffer = new byte[64];
            int got = 0;
            while (got < 3) {
                got += connection.getInputStream().read(buffer, 10 + got, 50 - got);
            }
            assertArrayEquals(new byte[] {0, 0x11, 0x13}, Arrays.copyOfRange(buffer, 10, 13));
            line.send((byte) 'x');
            for (int tries = 0; tries < 200 && connection.available() == 0; tries++) {
                Thread.sleep(5);
            }
            assertEquals(1, connection.available());
            connection.discardInput();
            assertEquals(0, connection.available());
            connection.drain();
            connection.discardOutput();
        }
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("lines")
    void timeoutsSayHowManyBytesWentAndLeaveTheConnectionUsable(Supplier<Line> lines) throws Exception {
        try (Line line = lines.get();
                SerialConnection connection = SerialConnection.openShared(line.device(), LineSettings.of(115200))) {
            connection.setReadTimeout(100);
            long start = System.nanoTime();
            SerialTimeoutException read = assertThrows(SerialTimeoutException.class,
                    () -> connection.getInputStream().read());
            long waited = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
            assertTrue(waited >= 100 && waited < 1000, waited + " ms");
            assertEquals(0, read.bytesTransferred);
            // An interrupt ends no read, and is still there afterwards.
            Thread.currentThread().interrupt();
            start = System.nanoTime();
            assertThrows(SerialTimeoutException.class, () -> connection.getInputStream().read());
            waited = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
            assertTrue(Thread.interrupted(), "the read lost the thread's interrupt status");
            assertTrue(waited >= 100, "an interrupted read ended after " + waited + " ms");
            assumeTrue(line.fillsWhenUnread(), "this line never fills");
            // The far end reads nothing, so the queue fills and the write waits.
            connection.setWriteTimeout(500);
            byte[] lots = everyByteValue(4096);
            SerialTimeoutException write = assertThrows(SerialTimeoutException.class,
                    () -> connection.getOutputStream().write(lots));
            assertTrue(write.bytesTransferred > 0 && write.bytesTransferred < lots.length, write.getMessage());
            assertArrayEquals(Arrays.copyOf(lots, write.bytesTransferred), line.receive(lots.length, 1_000),
                    "exactly the bytes the exception counts went out");
            line.send((byte) 42);
            connection.setReadTimeout(5_000);
            assertEquals(42, connection.getInputStream().read());
        }
    }

    /** Writes that never wait: what fits goes at once, and the program hears when there is room again. */
    @ParameterizedTest(name = "{0}")
    @MethodSource("lines")
    void writeNowTakesWhatFitsAndWhenWritableTellsOfRoom(Supplier<Line> lines) throws Exception {
        try (Line line = lines.get();
                SerialConnection connection = SerialConnection.openShared(line.device(), LineSettings.of(115200))) {
            byte[] lots = everyByteValue(4096);
            int sent = 0;
            CountDownLatch room = null;
            // Until the far end's buffers are full too: the kernel may move bytes on after a full queue.
            for (int rounds = 0; rounds < 100 && sent < lots.length && room == null; rounds++) {
                long start = System.nanoTime();
                for (int took; sent < lots.length && (took = connection.writeNow(lots, sent, lots.length - sent)) > 0;) {
                    sent += took;
                }
                assertTrue(System.nanoTime() - start < TimeUnit.SECONDS.toNanos(2), "writeNow waited");
                CountDownLatch told = new CountDownLatch(1);
                connection.whenWritable(threads, told::countDown);
                if (!line.fillsWhenUnread() || !told.await(200, TimeUnit.MILLISECONDS)) {
                    room = told;
                }
            }
            assertTrue(room != null && (!line.fillsWhenUnread() || (sent > 0 && sent < lots.length)),
                    sent + " bytes taken; told of room while the queue stayed full");
            assertArrayEquals(Arrays.copyOf(lots, sent), line.receive(sent, 2_000), "bytes lost or reordered");
            assertTrue(room.await(2, TimeUnit.SECONDS), "never told of room");
            connection.close();
            assertThrows(IOException.class, () -> connection.writeNow(lots, 0, 1));
            CountDownLatch closed = new CountDownLatch(1);
            connection.whenWritable(Runnable::run, closed::countDown);
            assertEquals(0, closed.getCount(), "a closed connection's task waited");
        }
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("lines")
    void closeFromAnotherThreadWakesAWaitingReaderAndWriterAtOnce(Supplier<Line> lines) throws Exception {
        try (Line line = lines.get()) {
            assumeTrue(line.fillsWhenUnread(), "a writer never waits on this line");
            SerialConnection connection = SerialConnection.open(line.device(), LineSettings.of(115200));
            Future<Integer> reader = threads.submit(() -> connection.getInputStream().read());
            Future<?> writer = threads.submit(() -> {
                connection.getOutputStream().write(new byte[1 << 20]);
                return null;
            });
            Thread.sleep(300);
            long start = System.nanoTime();
            connection.close();
            for (Future<?> call : List.of(reader, writer)) {
                Exception failure = assertThrows(Exception.class, () -> call.get(1, TimeUnit.SECONDS));
                assertEquals("the connection to " + line.device() + " is closed", failure.getCause().getMessage());
            }
            assertTrue(System.nanoTime() - start < TimeUnit.MILLISECONDS.toNanos(500));
            assertFalse(connection.isOpen());
            connection.close();
            for (Executable call : List.<Executable>of(() -> connection.getInputStream().read(), connection::available,
                    connection::modemLines)) {
                assertEquals("the connection to " + line.device() + " is closed",
                        assertThrows(IOException.class, call).getMessage());
            }
            // The device was released: it opens again at once.
            SerialConnection.open(line.device(), LineSettings.of(9600)).close();
        }
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("lines")
    void anExclusiveOpenKeepsOthersOutUntilItCloses(Supplier<Line> lines) throws Exception {
        try (Line line = lines.get()) {
            assumeTrue(line.locksLikeTheKernel(), "the server decides who may open");
            String device = line.device();
            SerialConnection first = SerialConnection.open(device, LineSettings.of(9600));
            for (boolean exclusive : new boolean[] {true, false}) {
                PortBusyException busy = assertThrows(PortBusyException.class, () -> (exclusive
                        ? SerialConnection.open(device, LineSettings.of(9600))
                        : SerialConnection.openShared(device, LineSettings.of(9600))).close());
                assertTrue(busy.getMessage().matches(device + ": in use \\(held by process "
                        + ProcessHandle.current().pid() + " \\((java|qemu-[a-z0-9]+)\\), this one\\)"),
                        busy.getMessage());
            }
            first.close();
            try (SerialConnection shared = SerialConnection.openShared(device, LineSettings.of(9600));
                    SerialConnection another = SerialConnection.openShared(device, LineSettings.of(9600))) {
                assertThrows(PortBusyException.class, () -> SerialConnection.open(device, LineSettings.of(9600)));
            }
            SerialConnection.open(device, LineSettings.of(9600)).close();
        }
    }
}
