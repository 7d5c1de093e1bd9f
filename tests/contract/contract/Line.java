package contract;

import java.io.IOException;
import java.util.function.Supplier;

/**
 * The far end of the line a connection under test is opened on: a pty's
 * master in the virtual serial lab, the partner UART or adapter in the
 * hardware lab.
 */
public interface Line extends AutoCloseable {

    /** @return the device the connection under test opens */
    String device();

    /** Bytes that arrive at the device as if they came down the line. */
    void send(byte... bytes) throws IOException;

    /** What the device sent: up to max bytes, waiting up to waitMillis for each. */
    byte[] receive(int max, int waitMillis) throws IOException;

    /** @return whether the device's output queue fills while this end reads nothing */
    boolean fillsWhenUnread();

    /** @return whether exclusive and shared opens are this machine's locks (a server decides for remote ports) */
    default boolean locksLikeTheKernel() {
        return true;
    }

    @Override
    void close() throws IOException;

    /** A maker of lines that tests show by name. */
    static Supplier<Line> called(String name, Supplier<Line> make) {
        return new Supplier<>() {
            @Override
            public Line get() {
                return make.get();
            }

            @Override
            public String toString() {
                return name;
            }
        };
    }
}
