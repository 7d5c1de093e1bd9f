package serialslots.transport;

import java.io.IOException;
import java.util.Optional;
import java.util.Set;
import java.util.concurrent.Executor;
import java.util.function.Consumer;
import serialslots.ByteError;
import serialslots.LineCounters;
import serialslots.LineSettings;
import serialslots.ModemLines;
import serialslots.Rs485;
import serialslots.SerialEvent;
import serialslots.SerialEventType;
import serialslots.Subscription;
import serialslots.internal.Failures;

/**
 * What a connection does with its device, whatever carries the bytes: a
 * device of this machine, a port of another machine. Every method speaks the
 * API's own types and throws its exceptions, worded with {@link #name()}: a
 * timeout is a {@link serialslots.SerialTimeoutException}, a device that went
 * away a {@link serialslots.PortDisconnectedException} (or end of stream for a
 * read), a closed transport an IOException, a setting the far side did not
 * keep a {@link serialslots.SettingNotSupportedException}. Turns, timeouts,
 * streams and closing are the connection's; a transport only carries out.
 */
public interface Transport {

    /** @return what the connection reports as its device: a path, or a URI */
    String name();

    /**
     * @param idleMicros 0 for a plain read; above 0, once the first byte came, more until the line was
     *     silent that long or the buffer is full
     * @return at least one byte's count, or -1 once the device has gone (for good)
     */
    int read(byte[] buffer, int offset, int length, int timeoutMillis, int idleMicros) throws IOException;

    /**
     * As a plain read, each byte's error into {@code errors}: for a transport
     * opened with {@link serialslots.PortOption#MARK_ERRORS}.
     */
    default int readMarked(byte[] buffer, ByteError[] errors, int offset, int length, int timeoutMillis)
            throws IOException {
        throw Failures.notMarking(name());
    }

    /** Writes all of it, or throws saying how much went. */
    void write(byte[] buffer, int offset, int length, int timeoutMillis) throws IOException;

    /** Writes what the output queue takes now, and never waits: how many bytes it took, 0 when it is full. */
    int writeNow(byte[] buffer, int offset, int length) throws IOException;

    /**
     * Hands {@code task} to {@code executor} once, when the output queue has
     * room or the transport has ended (the next call says how); at once where
     * there is room now. It never waits.
     */
    void whenWritable(Executor executor, Runnable task);

    /** @return the bytes waiting, 0 once the device has gone */
    int available() throws IOException;

    void drain(int timeoutMillis) throws IOException;

    void discard(boolean input) throws IOException;

    void setBreak(boolean on) throws IOException;

    void setRts(boolean on) throws IOException;

    void setDtr(boolean on) throws IOException;

    ModemLines modemLines() throws IOException;

    LineSettings settings() throws IOException;

    /** Applies and reads back; what was not kept is refused and the line left as it was. */
    void reconfigure(LineSettings settings) throws IOException;

    LineCounters counters() throws IOException;

    /** RS-485 on with the mode, or off when empty; what was not kept is refused and the mode left as it was. */
    void setRs485(Optional<Rs485> mode) throws IOException;

    /** @return the mode the driver holds, empty when it is off or there is none */
    Optional<Rs485> rs485() throws IOException;

    void setLowLatency(boolean on) throws IOException;

    boolean isLowLatency() throws IOException;

    /**
     * Tells {@code events} of what happened, as tasks run by {@code executor}:
     * one at a time for this subscription, in order.
     */
    Subscription listen(Set<SerialEventType> types, Executor executor, Consumer<SerialEvent> events)
            throws IOException;

    /** Ends every subscription and waiting call, and lets the device go; queued output may leave meanwhile. */
    void close(int lingerMillis);

    /** What frees the transport's memory once its connection cannot be reached; it must refer to neither. */
    Runnable releaser();
}
