package serialslots.framing;

import java.io.ByteArrayOutputStream;

/** Consistent Overhead Byte Stuffing, each frame ended by 0x00; empty frames are skipped. */
final class CobsDecoder implements Decoder {

    private final int max;
    private final Buffer encoded;
    private int raw;
    private boolean tooLong;

    CobsDecoder(int max) {
        this.max = max;
        this.encoded = new Buffer(max + max / 254 + 1);
    }

    /** The payload stuffed, then 0x00. */
    static byte[] encode(byte[] payload) {
        ByteArrayOutputStream frame = new ByteArrayOutputStream(payload.length + payload.length / 254 + 2);
        int at = 0;
        do {
            int run = 0;
            while (at + run < payload.length && payload[at + run] != 0 && run < 254) {
                run++;
            }
            frame.write(run + 1);
            frame.write(payload, at, run);
            at += run;
            // A block of 254 is not ended by a zero: the zero, if one follows, starts the next block.
            if (run < 254 && at < payload.length) {
                at++;
                if (at == payload.length) {
                    frame.write(1);  // the zero at the very end
                }
            }
        } while (at < payload.length);
        frame.write(0);
        return frame.toByteArray();
    }

    @Override
    public void feed(byte[] bytes, int offset, int length, Sink sink) {
        for (int i = offset; i < offset + length; i++) {
            byte b = bytes[i];
            if (b == 0) {
                finish(sink);
                continue;
            }
            raw++;
            if (!tooLong && !encoded.add(b)) {
                tooLong = true;
                encoded.clear();
            }
        }
    }

    private void finish(Sink sink) {
        if (tooLong) {
            sink.dropped(raw, Drop.TOO_LONG);
        } else if (encoded.length() > 0) {
            byte[] frame = decode();
            if (frame == null) {
                sink.dropped(raw, Drop.BAD_ENCODING);
            } else if (frame.length > max) {
                sink.dropped(raw, Drop.TOO_LONG);
            } else if (frame.length > 0) {
                sink.frame(frame);
            }
        }
        reset();
    }

    private void reset() {
        encoded.clear();
        raw = 0;
        tooLong = false;
    }

    /** The frame the stuffed bytes hold, or null where a code points past their end. */
    private byte[] decode() {
        int length = encoded.length();
        ByteArrayOutputStream frame = new ByteArrayOutputStream(length);
        for (int at = 0; at < length;) {
            int code = encoded.at(at) & 0xFF;
            if (at + code > length) {
                return null;
            }
            for (int i = at + 1; i < at + code; i++) {
                frame.write(encoded.at(i));
            }
            at += code;
            if (code < 0xFF && at < length) {
                frame.write(0);
            }
        }
        return frame.toByteArray();
    }

    @Override
    public void end(Sink sink) {
        if (raw > 0) {
            sink.dropped(raw, Drop.UNFINISHED);
        }
        reset();
    }

    @Override
    public int held() {
        return encoded.capacity();
    }
}
