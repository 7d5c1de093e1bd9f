package serialslots;

import java.io.IOException;
import java.util.EnumSet;
import java.util.concurrent.Executor;

/**
 * What a connection does with its device: a device of this machine through
 * the library's natives ({@link LocalPort}), or a port of another machine
 * over RFC 2217 ({@link RemotePort}). Results are encoded as
 * {@link NativeConnection} encodes the natives' (how the call ended in the
 * high half, what it moved or read in the low half); reports too.
 */
interface Port {

    /** A read; with idleMicros above 0, a frame that ends in that much silence. */
    long read(byte[] buffer, int offset, int length, int timeoutMillis, int idleMicros);

    long write(byte[] buffer, int offset, int length, int timeoutMillis);

    long available();

    long drain(int timeoutMillis);

    long discard(boolean input);

    long setBreak(boolean on);

    /** {@code line}: LINE_RTS or LINE_DTR. */
    long setModemLine(int line, boolean on);

    long modemLines();

    long readSettings(int[] report);

    long reconfigure(LineSettings settings, int[] report);

    long counters(long[] counts);

    /** RS-485 on with {@code mode}, or off with null. */
    long setRs485(Rs485 mode, int[] report);

    long readRs485(int[] report);

    long setLowLatency(boolean on);

    long readLowLatency();

    Subscription listen(SerialConnection owner, EnumSet<SerialEventType> types, Executor executor,
            SerialListener listener) throws IOException;

    /** Ends every subscription and waiting call, and lets the device go. */
    void close(int lingerMillis);

    /** What frees the port's memory once its connection cannot be reached; it must not refer to either. */
    Runnable releaser();
}
