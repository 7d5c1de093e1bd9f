package serialslots.transport;

/**
 * A bounded ring of bytes, for the transports that keep what they received
 * in Java. It holds no lock of its own: its owner's guards it.
 */
public final class ByteRing {

    private final byte[] bytes;
    private int start;
    private int count;

    public ByteRing(int capacity) {
        bytes = new byte[capacity];
    }

    public int count() {
        return count;
    }

    public int room() {
        return bytes.length - count;
    }

    public void clear() {
        count = 0;
    }

    /** Takes up to {@code length} bytes from {@code from}, as many as there is room for; returns how many. */
    public int put(byte[] from, int offset, int length) {
        int put = 0;
        while (put < length && count < bytes.length) {
            int at = (start + count) % bytes.length;
            int run = Math.min(length - put, Math.min(bytes.length - count, bytes.length - at));
            System.arraycopy(from, offset + put, bytes, at, run);
            count += run;
            put += run;
        }
        return put;
    }

    /** Moves up to {@code length} bytes into {@code into}; returns how many. */
    public int take(byte[] into, int offset, int length) {
        int got = 0;
        while (got < length && count > 0) {
            int run = Math.min(length - got, Math.min(count, bytes.length - start));
            System.arraycopy(bytes, start, into, offset + got, run);
            start = (start + run) % bytes.length;
            count -= run;
            got += run;
        }
        return got;
    }

    /** The first {@code most} bytes as printable text, for a message; others as spaces. */
    public String text(int most) {
        StringBuilder text = new StringBuilder();
        for (int i = 0; i < Math.min(count, most); i++) {
            char c = (char) (bytes[(start + i) % bytes.length] & 0xFF);
            text.append(c >= ' ' && c < 0x7F ? c : ' ');
        }
        return text.toString();
    }
}
