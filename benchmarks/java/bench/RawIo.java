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

    /** One byte through a bare JNI call around write(), waiting for room if the queue is full. */
    static native void writeOne(int fd, int b);

    /** One read() of a byte through a bare JNI call: the byte, or 0. */
    static native int readOne(int fd);

    /** Nanoseconds for count blocks of size bytes (at most 64 KiB), each written in full. */
    static native long bulkBlock(int fd, int size, int count);

    /** Waits in poll() for a byte, reads it, and answers System.nanoTime()'s clock at that moment. */
    static native long awaitByte(int fd);

    /** An epoll set over the descriptors; a raw event loop waits on it. */
    static native int epollOver(int[] fds);

    /** Waits in epoll_wait, reads the byte that came, answers System.nanoTime()'s clock then. */
    static native long epollAwaitByte(int epoll, int[] fds);
}
