package bench;

/** The raw system-call floor: single-byte write/read loops in C on a descriptor of its own. */
final class RawIo {

    static {
        System.loadLibrary("serialslots_bench");
    }

    private RawIo() {
    }

    /** Opens a device raw, non-blocking, at 115200; -1 on failure. */
    static native int open(String path);

    static native void close(int fd);

    /** Nanoseconds for count one-byte writes. */
    static native long writeBlock(int fd, int count);

    /** Nanoseconds for count one-byte writes, each followed by polling reads until its echo is back. */
    static native long echoBlock(int fd, int count);
}
