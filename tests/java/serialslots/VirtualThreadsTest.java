package serialslots;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeTrue;

import contract.ConnectionContract;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import lab.SerialLab;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

/** Virtual threads (JDK 21 and newer) waiting in reads, writes, drain and break leave their carriers free. */
class VirtualThreadsTest {

    private static ExecutorService virtualThreads() {
        try {
            return (ExecutorService) Executors.class.getMethod("newVirtualThreadPerTaskExecutor").invoke(null);
        } catch (ReflectiveOperationException e) {
            assumeTrue(false, "no virtual threads before JDK 21");
            return null;
        }
    }

    @Test
    void aMarkedReadWaitingOnAVirtualThreadTakesTheMarksApart() throws Exception {
        ExecutorService virtual = virtualThreads();
        try (SerialLab.FarEnd end = SerialLab.attach("/dev/ttyUSB99");
                SerialConnection port = SerialConnection.open(end.devicePath(), LineSettings.of(9600),
                        PortOption.MARK_ERRORS)) {
            Future<List<Object>> read = virtual.submit(() -> {
                byte[] got = new byte[3];
                ByteError[] errors = new ByteError[3];
                for (int taken = 0; taken < got.length;) {
                    taken += port.readMarked(got, errors, taken, got.length - taken);
                }
                return List.of(got[0], got[1], got[2], errors[0], errors[2]);
            });
            Thread.sleep(100);
            end.inject((byte) 0xFF, (byte) 0, (byte) 5);
            assertEquals(List.of((byte) 0xFF, (byte) 0, (byte) 5, ByteError.NONE, ByteError.NONE),
                    read.get(5, TimeUnit.SECONDS));
        } finally {
            virtual.shutdownNow();
        }
    }

    /** On lab ptys, and on virtual devices, whose waits are Java's own. */
    @ParameterizedTest
    @ValueSource(booleans = {false, true})
    void sixtyFourWaitingReadersLeaveWorkToRunAndEachGetsItsByte(boolean virtualDevices) throws Exception {
        int ports = 64;
        List<AutoCloseable> ends = new ArrayList<>();
        List<java.io.OutputStream> sends = new ArrayList<>();
        List<SerialConnection> connections = new ArrayList<>();
        ExecutorService virtual = virtualThreads();
        try {
            List<Future<Integer>> readers = new ArrayList<>();
            for (int i = 0; i < ports; i++) {
                String path = "/dev/ttyUSB" + (100 + i);
                if (virtualDevices) {
                    VirtualDevice device = VirtualDevice.create("reader" + i);
                    ends.add(device);
                    sends.add(device.output());
                    path = device.name();
                } else {
                    SerialLab.FarEnd end = SerialLab.attach(path);
                    ends.add(end);
                    sends.add(new java.io.OutputStream() {
                        @Override
                        public void write(int b) throws java.io.IOException {
                            end.inject((byte) b);
                        }
                    });
                }
                SerialConnection connection = SerialConnection.open(path, LineSettings.of(115200));
                connections.add(connection);
                readers.add(virtual.submit(() -> connection.getInputStream().read()));
            }
            Thread.sleep(300);
            // Carriers held by waiting readers would leave none for this.
            Future<Long> work = virtual.submit(() -> System.nanoTime());
            long started = System.nanoTime();
            assertTrue(work.get(5, TimeUnit.SECONDS) - started < TimeUnit.MILLISECONDS.toNanos(500),
                    "the work waited for a carrier");
            for (int i = 0; i < ports; i++) {
                sends.get(i).write(i);
            }
            for (int i = 0; i < ports; i++) {
                assertEquals(i, readers.get(i).get(5, TimeUnit.SECONDS));
            }
        } finally {
            virtual.shutdownNow();
            for (SerialConnection connection : connections) {
                connection.close();
            }
            for (AutoCloseable end : ends) {
                end.close();
            }
        }
    }

    @Test
    void aVirtualThreadWritesDrainsBreaksTimesOutAndIsWokenByClose() throws Exception {
        ExecutorService virtual = virtualThreads();
        try (SerialLab.FarEnd device = SerialLab.attach("/dev/ttyUSB99")) {
            SerialConnection connection = SerialConnection.open("/dev/ttyUSB99", LineSettings.of(115200));
            byte[] lots = ConnectionContract.everyByteValue(1024);
            Future<?> writer = virtual.submit(() -> {
                connection.getOutputStream().write(lots);
                connection.drain();
                connection.sendBreak(20);
                return null;
            });
            assertArrayEquals(lots, device.take(lots.length, 2_000));
            writer.get(5, TimeUnit.SECONDS);
            device.inject((byte) 'x', (byte) 'y');
            byte[] frame = new byte[8];
            assertEquals(2, virtual.submit(() -> connection.readUntilIdle(frame, 0, 8, 20_000)).get(5, TimeUnit.SECONDS));
            // A full buffer ends the frame at once, without waiting for 3 s of silence.
            device.inject((byte) 'a', (byte) 'b');
            assertEquals(2, virtual.submit(() -> connection.readUntilIdle(frame, 0, 2, 3_000_000)).get(1, TimeUnit.SECONDS));
            connection.setReadTimeout(100);
            ExecutionException late = assertThrows(ExecutionException.class,
                    () -> virtual.submit(() -> connection.getInputStream().read()).get(5, TimeUnit.SECONDS));
            assertEquals(SerialTimeoutException.class, late.getCause().getClass());
            connection.setReadTimeout(0);
            Future<Integer> waiting = virtual.submit(() -> connection.getInputStream().read());
            Thread.sleep(200);
            connection.close();
            ExecutionException closed = assertThrows(ExecutionException.class, () -> waiting.get(2, TimeUnit.SECONDS));
            assertEquals("the connection to /dev/ttyUSB99 is closed", closed.getCause().getMessage());
        } finally {
            virtual.shutdownNow();
        }
    }
}
