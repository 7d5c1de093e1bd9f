package serialslots.framing;

import java.util.Arrays;

/** A frame being gathered: grows as needed, never past its bound. */
final class Buffer {

    private final int bound;
    private byte[] bytes = new byte[64];
    private int length;

    Buffer(int bound) {
        this.bound = bound;
    }

    /** Adds a byte; false, and nothing added, once the bound is reached. */
    boolean add(byte b) {
        if (length == bound) {
            return false;
        }
        if (length == bytes.length) {
            bytes = Arrays.copyOf(bytes, (int) Math.min(bound, 2L * bytes.length));
        }
        bytes[length++] = b;
        return true;
    }

    /** Adds a run of bytes; the caller keeps within the bound. */
    void add(byte[] from, int offset, int count) {
        if (length + count > bytes.length) {
            bytes = Arrays.copyOf(bytes, (int) Math.min(bound, Math.max(length + count, 2L * bytes.length)));
        }
        System.arraycopy(from, offset, bytes, length, count);
        length += count;
    }

    int length() {
        return length;
    }

    byte at(int index) {
        return bytes[index];
    }

    byte[] take(int from, int to) {
        byte[] frame = Arrays.copyOfRange(bytes, from, to);
        clear();
        return frame;
    }

    void clear() {
        length = 0;
        if (bytes.length > 4096) {
            bytes = new byte[64];  // a long frame's room goes with it
        }
    }

    int capacity() {
        return bytes.length;
    }
}
