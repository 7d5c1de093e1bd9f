package serialslots.local;

import serialslots.internal.NativeLibrary;

/** The natives behind a pseudo-terminal pair: the positions of what {@link #open} reports cross with them. */
public final class NativePty {

    public static final int MASTER = 0;
    public static final int HELD = 1;
    public static final int ERROR = 2;
    public static final int DESCRIPTORS_LENGTH = 3;

    static {
        NativeLibrary.load();
    }

    private NativePty() {
    }

    /** A pair, its tty end raw and held open: the tty end's path; or null, with the errno at ERROR. */
    public static native String open(int[] descriptors);

    /** What is there, waiting up to timeoutMillis (-1: no limit) for the first byte: the count, 0, or minus the errno. */
    public static native int read(int fd, byte[] buffer, int offset, int length, int timeoutMillis);

    /** What there is room for, waiting up to timeoutMillis for room: the count, 0, or minus the errno. */
    public static native int write(int fd, byte[] buffer, int offset, int length, int timeoutMillis);

    public static native void close(int fd);
}
