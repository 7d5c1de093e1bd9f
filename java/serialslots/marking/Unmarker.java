package serialslots.marking;

import java.io.IOException;
import java.util.Arrays;
import java.util.concurrent.locks.ReentrantLock;
import serialslots.ByteError;
import serialslots.internal.Failures;

/**
 * Takes apart a received stream in which the line discipline marked errors
 * (PARMRK): {@code 0xFF 0x00 X} is X received with an error (a break: X is
 * 0), {@code 0xFF 0xFF} is one 0xFF. A mark may be split across reads; the
 * rest of it is always waiting already, since the kernel queues a mark whole.
 * The stream holds more bytes than they stand for, so a read asks it for
 * three times what it may return (a mark is three), keeps what it took apart
 * beyond that for the next, and {@link #available} takes apart what is
 * waiting to count it.
 */
public final class Unmarker {

    /** One read of the marked stream: at least one byte, or -1 at its end. */
    public interface RawRead {
        int read(byte[] buffer, int offset, int length) throws IOException;
    }

    /** A transport's read of its bytes as received. */
    public interface Received {
        int read(byte[] buffer, int offset, int length, int timeoutMillis, int idleMicros) throws IOException;
    }

    /** What a mark stood for, which the stream does not say. */
    public interface Kinds {
        /** Called after each read of the marked stream, before its marks are asked about. */
        void refresh();

        /** @return the error of a byte that came marked with value {@code value} */
        ByteError marked(int value);

        /** @return whether bytes were lost since last asked */
        boolean overran();
    }

    private static final int PLAIN = 0;
    private static final int AFTER_ESCAPE = 1;
    private static final int AFTER_MARK = 2;
    private static final ByteError[] KINDS = ByteError.values();
    private static final byte NONE = (byte) ByteError.NONE.ordinal();

    private final Kinds kinds;
    // Guarded by reading, which a read holds while it waits: available() never waits for it.
    private final ReentrantLock reading = new ReentrantLock();
    private int state = PLAIN;
    // Bytes taken apart and not yet read, each with its error's ordinal.
    private byte[] ready = new byte[0];
    private byte[] readyErrors = new byte[0];
    private int readyAt;
    private int readyEnd;

    public Unmarker(Kinds kinds) {
        this.kinds = kinds;
    }

    /** A transport's plain read: through {@code unmarker}, or as received where it is null. */
    public static int read(Unmarker unmarker, Received received, byte[] buffer, int offset, int length,
            int timeoutMillis, int idleMicros) throws IOException {
        if (unmarker == null) {
            return received.read(buffer, offset, length, timeoutMillis, idleMicros);
        }
        return unmarker.read((into, at, most) -> received.read(into, at, most, timeoutMillis, idleMicros), buffer, null,
                offset, length);
    }

    /** A transport's marked read, refused where bytes come unmarked ({@code unmarker} null). */
    public static int readMarked(Unmarker unmarker, String device, Received received, byte[] buffer,
            ByteError[] errors, int offset, int length, int timeoutMillis) throws IOException {
        if (unmarker == null) {
            throw Failures.notMarking(device);
        }
        return unmarker.read((into, at, most) -> received.read(into, at, most, timeoutMillis, 0), buffer, errors,
                offset, length);
    }

    /**
     * Reads into {@code buffer} the bytes as received, and into
     * {@code errors} (when not null) each one's error.
     *
     * @return at least one byte's count, or -1 at the end of the stream
     */
    public int read(RawRead raw, byte[] buffer, ByteError[] errors, int offset, int length) throws IOException {
        reading.lock();
        try {
            while (readyAt == readyEnd) {
                if (take(raw, (int) Math.min(3L * length, Integer.MAX_VALUE - 8)) < 0) {
                    return -1;
                }
            }
            int given = Math.min(length, readyEnd - readyAt);
            System.arraycopy(ready, readyAt, buffer, offset, given);
            if (errors != null) {
                for (int i = 0; i < given; i++) {
                    errors[offset + i] = KINDS[readyErrors[readyAt + i]];
                }
            }
            readyAt += given;
            return given;
        } finally {
            reading.unlock();
        }
    }

    /**
     * How many bytes a read gives without waiting: at least what is taken
     * apart already; unless a read is under way, what is {@code waiting} in
     * the stream too, which {@code now} reads without waiting.
     */
    public int available(int waiting, RawRead now) throws IOException {
        if (!reading.tryLock()) {
            return 0;  // a read under way takes it; too few is allowed, too many would block a caller
        }
        try {
            if (waiting > 0) {
                take(now, waiting);
            }
            return readyEnd - readyAt;
        } finally {
            reading.unlock();
        }
    }

    /** Forgets what was taken apart and not read, with the input the device discards. */
    public void discard() {
        reading.lock();
        try {
            readyAt = readyEnd = 0;
            state = PLAIN;
        } finally {
            reading.unlock();
        }
    }

    /** Reads up to {@code most} bytes of the stream and takes them apart after what is ready: -1 at its end. */
    private int take(RawRead raw, int most) throws IOException {
        int kept = readyEnd - readyAt;
        if (ready.length < kept + most) {
            ready = Arrays.copyOf(ready, kept + most);
            readyErrors = Arrays.copyOf(readyErrors, kept + most);
        }
        System.arraycopy(ready, readyAt, ready, 0, kept);
        System.arraycopy(readyErrors, readyAt, readyErrors, 0, kept);
        readyAt = 0;
        readyEnd = kept;
        int got = raw.read(ready, readyEnd, most);
        if (got <= 0) {
            return got;
        }
        kinds.refresh();
        int made = unmark(readyEnd, got);
        // OVERRUN goes on the first byte after the loss, unless it has an error of its own.
        if (kinds.overran() && made > 0 && readyErrors[readyEnd] == NONE) {
            readyErrors[readyEnd] = (byte) ByteError.OVERRUN.ordinal();
        }
        readyEnd += made;
        return made;
    }

    /** In place: the output never runs ahead of the input. */
    private int unmark(int offset, int length) {
        int made = offset;
        for (int at = offset; at < offset + length; at++) {
            byte value = ready[at];
            ByteError error = ByteError.NONE;
            if (state == AFTER_MARK) {
                state = PLAIN;
                error = kinds.marked(value & 0xFF);
            } else if (state == AFTER_ESCAPE) {
                // 0xFF 0x00 opens a mark; 0xFF 0xFF is a received 0xFF.
                state = value == 0 ? AFTER_MARK : PLAIN;
                if (value == 0) {
                    continue;
                }
            } else if (value == (byte) 0xFF) {
                state = AFTER_ESCAPE;
                continue;
            }
            ready[made] = value;
            readyErrors[made] = (byte) error.ordinal();
            made++;
        }
        return made - offset;
    }
}
