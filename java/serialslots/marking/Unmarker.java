package serialslots.marking;

import java.io.IOException;
import serialslots.ByteError;

/**
 * Takes apart a received stream in which the line discipline marked errors
 * (PARMRK): {@code 0xFF 0x00 X} is X received with an error (a break: X is
 * 0), {@code 0xFF 0xFF} is one 0xFF. A mark may be split across reads; the
 * rest of it is always waiting already, since the kernel queues a mark whole.
 */
public final class Unmarker {

    /** One read of the marked stream: at least one byte, or -1 at its end. */
    public interface RawRead {
        int read(byte[] buffer, int offset, int length) throws IOException;
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

    private final Kinds kinds;
    private int state = PLAIN;

    public Unmarker(Kinds kinds) {
        this.kinds = kinds;
    }

    /**
     * Reads into {@code buffer} the bytes as received, and into
     * {@code errors} (when not null) each one's error.
     *
     * @return at least one byte's count, or -1 at the end of the stream
     */
    public int read(RawRead raw, byte[] buffer, ByteError[] errors, int offset, int length) throws IOException {
        for (;;) {
            int got = raw.read(buffer, offset, length);
            if (got < 0) {
                return got;
            }
            kinds.refresh();
            int made = unmark(buffer, errors, offset, got);
            if (made > 0) {
                if (kinds.overran() && errors != null && errors[offset] == ByteError.NONE) {
                    errors[offset] = ByteError.OVERRUN;
                }
                return made;
            }
        }
    }

    /** In place: the output never runs ahead of the input. */
    private int unmark(byte[] buffer, ByteError[] errors, int offset, int length) {
        int made = offset;
        for (int at = offset; at < offset + length; at++) {
            byte value = buffer[at];
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
            buffer[made] = value;
            if (errors != null) {
                errors[made] = error;
            }
            made++;
        }
        return made - offset;
    }
}
