package serialslots;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.util.Objects;
import java.util.concurrent.locks.ReentrantReadWriteLock;
import serialslots.internal.Failures;
import serialslots.local.NativeConnection;
import serialslots.local.NativePty;

/**
 * A pseudo-terminal pair, for code that needs a device path: a third-party
 * library, or a program under test run as a process. {@link #path()} is the
 * tty end ("/dev/pts/N", raw, openable by any program of this user, root or
 * not); {@link #input()} and {@link #output()} are the far end.
 *
 * <p>A pseudo-terminal is not a UART: it has no modem lines (setting RTS or
 * reading CTS fails), no break, no line errors and no counters, and takes
 * any baud rate without pacing anything. Where those matter, use a
 * {@link VirtualDevice}, which plays all of them.
 */
public final class VirtualPty implements AutoCloseable {

    /** How often a waiting read or write looks whether the pair was closed. */
    private static final int SLICE_MILLIS = 100;

    private final String path;
    private final int master;
    private int held;  // -1 once closed; guarded by using
    private volatile boolean closed;
    // Calls share it, close takes it alone: a descriptor is never used once closed, or once its number is another's.
    private final ReentrantReadWriteLock using = new ReentrantReadWriteLock();
    private final InputStream input = new InputStream() {
        @Override
        public int read() throws IOException {
            byte[] one = new byte[1];
            return read(one, 0, 1) < 0 ? -1 : one[0] & 0xFF;
        }

        @Override
        public int read(byte[] buffer, int offset, int length) throws IOException {
            Objects.checkFromIndexSize(offset, length, buffer.length);
            if (length == 0) {
                return 0;
            }
            for (;;) {
                int got;
                using.readLock().lock();
                try {
                    if (closed) {
                        return -1;
                    }
                    got = NativePty.read(master, buffer, offset, length, SLICE_MILLIS);
                } finally {
                    using.readLock().unlock();
                }
                if (got > 0) {
                    return got;
                }
                if (got < 0) {
                    throw Failures.failed(path, "read", NativeConnection.describeError(-got));
                }
            }
        }

        @Override
        public int available() throws IOException {
            return 0;
        }
    };
    private final OutputStream output = new OutputStream() {
        @Override
        public void write(int b) throws IOException {
            write(new byte[] {(byte) b}, 0, 1);
        }

        @Override
        public void write(byte[] buffer, int offset, int length) throws IOException {
            Objects.checkFromIndexSize(offset, length, buffer.length);
            for (int done = 0; done < length;) {
                int wrote;
                using.readLock().lock();
                try {
                    if (closed) {
                        throw Failures.closed(path);
                    }
                    wrote = NativePty.write(master, buffer, offset + done, length - done, SLICE_MILLIS);
                } finally {
                    using.readLock().unlock();
                }
                if (wrote < 0) {
                    throw Failures.failed(path, "write", NativeConnection.describeError(-wrote));
                }
                done += wrote;
            }
        }
    };

    private VirtualPty(String path, int master, int held) {
        this.path = path;
        this.master = master;
        this.held = held;
    }

    /**
     * @return a new pair
     * @throws IOException when the system gives no pseudo-terminal
     */
    public static VirtualPty create() throws IOException {
        int[] descriptors = new int[NativePty.DESCRIPTORS_LENGTH];
        String path = NativePty.open(descriptors);
        if (path == null) {
            throw Failures.cannotOpen("/dev/ptmx", NativeConnection.describeError(descriptors[NativePty.ERROR]));
        }
        return new VirtualPty(path, descriptors[NativePty.MASTER], descriptors[NativePty.HELD]);
    }

    /** @return the tty end's path, such as /dev/pts/3 */
    public String path() {
        return path;
    }

    /** @return what was written to the tty end; a read waits for it, and -1 comes once closed */
    public InputStream input() {
        return input;
    }

    /** @return what the tty end will read */
    public OutputStream output() {
        return output;
    }

    /** Ends the pair: the tty end hangs up; a waiting read or write of the far end ends within 100 ms. */
    @Override
    public void close() {
        closed = true;
        using.writeLock().lock();
        try {
            if (held >= 0) {
                NativePty.close(held);
                NativePty.close(master);
                held = -1;
            }
        } finally {
            using.writeLock().unlock();
        }
    }

    @Override
    public String toString() {
        return "VirtualPty[" + path + "]";
    }
}
