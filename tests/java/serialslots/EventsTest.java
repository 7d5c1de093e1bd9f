package serialslots;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.util.ArrayList;
import java.util.EnumSet;
import java.util.List;
import java.util.Set;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.CountDownLatch;
import java.util.concurrent.Executor;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import lab.SerialLab;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** Events on lab ptys: DATA and HANG_UP, delivery, closing, and what is left afterwards. */
class EventsTest {

    private static final Set<SerialEventType> DATA_AND_HANG_UP = EnumSet.of(SerialEventType.DATA,
            SerialEventType.HANG_UP);

    private int descriptorsBefore;

    @BeforeEach
    void count() {
        descriptorsBefore = SerialLab.deviceDescriptors();
    }

    /** Nothing of the events is left once everything is closed: no descriptor, and soon no thread. */
    @AfterEach
    void nothingLeft() throws Exception {
        assertEquals(descriptorsBefore, SerialLab.deviceDescriptors(), "a descriptor leaked");
        List<String> left = List.of();
        for (int tries = 0; tries < 100; tries++) {
            left = Thread.getAllStackTraces().keySet().stream().map(Thread::getName)
                    .filter(name -> name.startsWith("serialslots-")).toList();
            if (left.isEmpty()) {
                return;
            }
            Thread.sleep(50);
        }
        throw new AssertionError("threads left: " + left);
    }

    /** Records what a listener is told, reading what DATA brings. */
    private static final class Recorder implements SerialListener {
        final BlockingQueue<String> told = new LinkedBlockingQueue<>();

        @Override
        public void serialEvent(SerialConnection connection, SerialEvent event) {
            String what = event.type().toString();
            if (event.type() == SerialEventType.DATA) {
                try {
                    byte[] bytes = new byte[connection.available()];
                    what += " " + new String(bytes, 0, connection.getInputStream().read(bytes));
                } catch (IOException e) {
                    what += " " + e.getMessage();
                }
            }
            told.add(what);
        }

        String next() throws InterruptedException {
            return told.poll(5, TimeUnit.SECONDS);
        }
    }

    @Test
    void dataComesForWaitingBytesAndEachArrivalAndHangUpComesOnceAndLast() throws Exception {
        try (SerialLab.FarEnd device = SerialLab.attach("/dev/ttyUSB20");
                SerialConnection connection = SerialConnection.open("/dev/ttyUSB20", LineSettings.of(9600))) {
            device.inject((byte) 'a');
            Thread.sleep(50);
            Recorder recorder = new Recorder();
            Subscription first = connection.listen(DATA_AND_HANG_UP, recorder);
            assertEquals("DATA a", recorder.next(), "bytes waiting when listening began");
            device.inject((byte) 'b', (byte) 'c');
            assertEquals("DATA bc", recorder.next());
            // Listened to again after its last subscription closed, twice.
            first.close();
            // Beside a subscription that reads nothing, a new one hears of the bytes already waiting.
            Subscription deaf = connection.listen(EnumSet.of(SerialEventType.DATA), (c, e) -> { });
            device.inject((byte) 'e');
            Thread.sleep(100);
            Recorder late = new Recorder();
            Subscription second = connection.listen(EnumSet.of(SerialEventType.DATA), late);
            assertEquals("DATA e", late.next(), "bytes waiting when a second subscription began");
            second.close();
            deaf.close();
            connection.listen(EnumSet.of(SerialEventType.DATA), recorder).close();
            connection.listen(DATA_AND_HANG_UP, recorder);
            device.inject((byte) 'd');
            assertEquals("DATA d", recorder.next());
            device.close();
            assertEquals("HANG_UP", recorder.next());
            device.inject();
            assertNull(recorder.told.poll(200, TimeUnit.MILLISECONDS), "an event after the hang-up");
            assertThrows(IOException.class, connection::counters, "a pty keeps no counters");
        }
    }

    @Test
    void arrivalsDuringAListenerFoldIntoOneMoreDataAndUnreadBytesWaitForMore() throws Exception {
        try (SerialLab.FarEnd device = SerialLab.attach("/dev/ttyUSB21");
                SerialConnection connection = SerialConnection.open("/dev/ttyUSB21", LineSettings.of(9600))) {
            CountDownLatch inside = new CountDownLatch(1);
            CountDownLatch release = new CountDownLatch(1);
            BlockingQueue<Integer> waiting = new LinkedBlockingQueue<>();
            connection.listen(EnumSet.of(SerialEventType.DATA), (c, event) -> {
                try {
                    waiting.add(c.available());
                    inside.countDown();
                    release.await();
                } catch (Exception e) {
                    throw new IllegalStateException(e);
                }
            });
            device.inject((byte) 1);
            assertTrue(inside.await(5, TimeUnit.SECONDS));
            for (int i = 0; i < 5; i++) {
                device.inject((byte) 2);
                Thread.sleep(10);
            }
            release.countDown();
            // One DATA while it ran, one more for all that came meanwhile; nothing is read, so no third.
            assertEquals(List.of(1, 6), List.of(waiting.poll(5, TimeUnit.SECONDS), waiting.poll(5, TimeUnit.SECONDS)));
            assertNull(waiting.poll(200, TimeUnit.MILLISECONDS), "DATA again for bytes left unread");
            device.inject((byte) 3);
            assertEquals(7, waiting.poll(5, TimeUnit.SECONDS), "more bytes bring DATA again");
        }
    }

    @Test
    void aThrowingListenerGoesOnAndABlockedOneHoldsUpOnlyItself() throws Exception {
        List<Throwable> uncaught = new ArrayList<>();
        Executor handled = task -> {
            Thread thread = new Thread(task);
            thread.setUncaughtExceptionHandler((t, e) -> uncaught.add(e));
            thread.start();
        };
        try (SerialLab.FarEnd slowEnd = SerialLab.attach("/dev/ttyUSB22");
                SerialLab.FarEnd fastEnd = SerialLab.attach("/dev/ttyUSB23");
                SerialConnection slow = SerialConnection.open("/dev/ttyUSB22", LineSettings.of(9600));
                SerialConnection fast = SerialConnection.open("/dev/ttyUSB23", LineSettings.of(9600))) {
            CountDownLatch never = new CountDownLatch(1);
            slow.listen(EnumSet.of(SerialEventType.DATA), (c, e) -> {
                try {
                    never.await();
                } catch (InterruptedException stop) {
                    Thread.currentThread().interrupt();
                }
            });
            BlockingQueue<Integer> bytes = new LinkedBlockingQueue<>();
            fast.listen(EnumSet.of(SerialEventType.DATA), handled, (c, e) -> {
                try {
                    int b = c.getInputStream().read();
                    bytes.add(b);
                    if (b == 'x') {
                        throw new IllegalStateException("thrown by the listener");
                    }
                } catch (IOException io) {
                    throw new IllegalStateException(io);
                }
            });
            slowEnd.inject((byte) 0);
            for (byte b : new byte[] {'x', 'y'}) {
                Thread.sleep(50);
                fastEnd.inject(b);
                assertEquals(b, bytes.poll(5, TimeUnit.SECONDS));
            }
            assertEquals("thrown by the listener", uncaught.get(0).getMessage());
            never.countDown();
        }
    }

    @Test
    void closeFromInsideTheListenerOrAnotherThreadEndsDeliveryAtOnce() throws Exception {
        try (SerialLab.FarEnd device = SerialLab.attach("/dev/ttyUSB24");
                SerialConnection connection = SerialConnection.open("/dev/ttyUSB24", LineSettings.of(9600))) {
            BlockingQueue<String> told = new LinkedBlockingQueue<>();
            Subscription[] own = new Subscription[1];
            own[0] = connection.listen(EnumSet.of(SerialEventType.DATA), (c, e) -> {
                told.add("first");
                own[0].close();
            });
            CountDownLatch running = new CountDownLatch(1);
            CountDownLatch finish = new CountDownLatch(1);
            Subscription other = connection.listen(EnumSet.of(SerialEventType.DATA), (c, e) -> {
                told.add("second");
                running.countDown();
                try {
                    finish.await();
                } catch (InterruptedException stop) {
                    Thread.currentThread().interrupt();
                }
            });
            device.inject((byte) 1);
            assertTrue(running.await(5, TimeUnit.SECONDS));
            long start = System.nanoTime();
            other.close();
            other.close();
            assertTrue(System.nanoTime() - start < TimeUnit.MILLISECONDS.toNanos(200), "close waited for the listener");
            finish.countDown();
            Thread.sleep(100);
            device.inject((byte) 2);
            Thread.sleep(200);
            List<String> all = new ArrayList<>(told);
            all.sort(null);
            assertEquals(List.of("first", "second"), all, "an event after its subscription closed");
        }
    }

    /** Two changes folded into one round: the first's listener closes from another thread, so the second never starts. */
    @Test
    void aCloseBetweenTwoEventsOfOneRoundStartsNeitherAnotherNorALateOne() throws Exception {
        try (VirtualDevice device = VirtualDevice.create("close-in-a-round");
                SerialConnection connection = SerialConnection.open(device.name(), LineSettings.of(9600))) {
            BlockingQueue<Runnable> held = new LinkedBlockingQueue<>();
            List<SerialEventType> told = new ArrayList<>();
            Subscription[] subscription = new Subscription[1];
            subscription[0] = connection.listen(EnumSet.of(SerialEventType.CTS, SerialEventType.DSR), held::add,
                    (c, e) -> {
                        told.add(e.type());
                        Thread closer = new Thread(subscription[0]::close);
                        closer.start();
                        try {
                            closer.join();
                        } catch (InterruptedException stop) {
                            Thread.currentThread().interrupt();
                        }
                    });
            device.setCts(true);
            device.setDsr(true);
            Runnable round = held.poll(5, TimeUnit.SECONDS);
            round.run();
            assertEquals(1, told.size(), "events after the close: " + told);
            device.setCts(false);
            for (Runnable late; (late = held.poll(100, TimeUnit.MILLISECONDS)) != null;) {
                late.run();
            }
            assertEquals(1, told.size(), "events after the close: " + told);
        }
    }

    @Test
    void twoHundredFiftySixIdlePortsShareOneWaitingThreadAndEachGetsItsData() throws Exception {
        int ports = 256;
        List<SerialLab.FarEnd> ends = new ArrayList<>();
        List<SerialConnection> connections = new ArrayList<>();
        BlockingQueue<String> told = new LinkedBlockingQueue<>();
        try {
            for (int i = 0; i < ports; i++) {
                String path = "/dev/ttyS" + (100 + i);
                ends.add(SerialLab.attach(path));
                SerialConnection connection = SerialConnection.open(path, LineSettings.of(9600));
                connections.add(connection);
                connection.listen(EnumSet.of(SerialEventType.DATA),
                        (c, e) -> told.add(c.device() + " " + read(c)));
            }
            assertEquals(List.of("serialslots-events"), Thread.getAllStackTraces().keySet().stream()
                    .map(Thread::getName).filter(name -> name.startsWith("serialslots-") && !name.contains("listener"))
                    .toList(), "threads besides the one waiting for all");
            for (int i = ports - 1; i >= 0; i--) {
                ends.get(i).inject((byte) ('A' + i % 26));
            }
            List<String> expected = new ArrayList<>();
            List<String> got = new ArrayList<>();
            for (int i = 0; i < ports; i++) {
                expected.add("/dev/ttyS" + (100 + i) + " " + (char) ('A' + i % 26));
                got.add(told.poll(5, TimeUnit.SECONDS));
            }
            got.sort(null);
            expected.sort(null);
            assertArrayEquals(expected.toArray(), got.toArray());
        } finally {
            for (SerialConnection connection : connections) {
                connection.close();
            }
            for (SerialLab.FarEnd end : ends) {
                end.close();
            }
        }
    }

    private static String read(SerialConnection connection) {
        try {
            return String.valueOf((char) connection.getInputStream().read());
        } catch (IOException e) {
            return e.getMessage();
        }
    }
}
