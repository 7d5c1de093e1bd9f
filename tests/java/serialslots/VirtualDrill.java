package serialslots;

import java.util.EnumSet;
import java.util.List;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;

/**
 * Every injection of a virtual device, seen through the public API as a
 * program sees a driver's: run in a JVM of its own, as a user without root
 * and without the native library. Prints "every injection seen" or fails.
 */
public final class VirtualDrill {

    private VirtualDrill() {
    }

    public static void main(String[] args) throws Exception {
        try (VirtualDevice device = VirtualDevice.create("drill");
                SerialConnection port = SerialConnection.open(device.name(), LineSettings.of(19200))) {
            BlockingQueue<SerialEvent> events = new LinkedBlockingQueue<>();
            port.listen(EnumSet.allOf(SerialEventType.class), (connection, event) -> events.add(event));
            List<Runnable> injections = List.of(device::injectBreak, device::injectFramingError,
                    device::injectParityError, device::injectOverrun, () -> device.setCts(true),
                    () -> device.setDsr(true), () -> device.setDcd(true), () -> {
                        device.setRi(true);
                        device.setRi(false);
                    });
            List<SerialEventType> expected = List.of(SerialEventType.BREAK, SerialEventType.FRAMING_ERROR,
                    SerialEventType.PARITY_ERROR, SerialEventType.OVERRUN, SerialEventType.CTS, SerialEventType.DSR,
                    SerialEventType.DCD, SerialEventType.RI);
            for (int i = 0; i < injections.size(); i++) {
                injections.get(i).run();
                SerialEvent event = events.poll(5, TimeUnit.SECONDS);
                check(event != null && event.type() == expected.get(i), expected.get(i) + ", not " + event);
            }
            check(port.counters().equals(new LineCounters(0, 0, 1, 1, 1, 1, 0, 1, 1, 1, 1)), "counts "
                    + port.counters());
            check(port.modemLines().equals(new ModemLines(true, true, true, false, true, true)), "lines "
                    + port.modemLines());
            device.output().write(7);
            SerialEvent data = events.poll(5, TimeUnit.SECONDS);
            check(data != null && data.type() == SerialEventType.DATA && port.getInputStream().read() == 7,
                    "DATA, not " + data);
            device.unplug();
            SerialEvent hangUp = events.poll(5, TimeUnit.SECONDS);
            check(hangUp != null && hangUp.type() == SerialEventType.HANG_UP, "HANG_UP, not " + hangUp);
            check(port.getInputStream().read() == -1, "the end of the stream");
            try {
                port.getOutputStream().write(1);
                check(false, "a write after the unplug");
            } catch (PortDisconnectedException expectedFailure) {
                check(expectedFailure.getMessage().equals("virtual:drill was disconnected (0 of 1 bytes sent)"),
                        expectedFailure.getMessage());
            }
        }
        System.out.println("every injection seen");
    }

    private static void check(boolean holds, String what) {
        if (!holds) {
            throw new AssertionError(what);
        }
    }
}
