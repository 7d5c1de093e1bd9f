package serialslots.framing;

import java.io.ByteArrayOutputStream;

/** RFC 1055's SLIP: frames end with END, END and ESC inside are escaped; empty frames are skipped. */
final class SlipDecoder implements Decoder {

    static final byte END = (byte) 0xC0;
    static final byte ESC = (byte) 0xDB;
    static final byte ESC_END = (byte) 0xDC;
    static final byte ESC_ESC = (byte) 0xDD;

    private final Buffer buffer;
    private boolean escaped;
    private boolean bad;
    private int raw;             // bytes of the frame as they came
    private boolean tooLong;

    SlipDecoder(int max) {
        this.buffer = new Buffer(max);
    }

    /** END, the payload escaped, END: the leading END ends whatever noise came before. */
    static byte[] encode(byte[] payload) {
        ByteArrayOutputStream frame = new ByteArrayOutputStream(payload.length + 2);
        frame.write(END);
        for (byte b : payload) {
            if (b == END || b == ESC) {
                frame.write(ESC);
                frame.write(b == END ? ESC_END : ESC_ESC);
            } else {
                frame.write(b);
            }
        }
        frame.write(END);
        return frame.toByteArray();
    }

    @Override
    public void feed(byte[] bytes, int offset, int length, Sink sink) {
        for (int i = offset; i < offset + length; i++) {
            byte b = bytes[i];
            if (b == END) {
                finish(sink);
                continue;
            }
            raw++;
            if (b == ESC && !escaped) {
                escaped = true;
                continue;
            }
            if (escaped) {
                escaped = false;
                bad |= b != ESC_END && b != ESC_ESC;
                b = b == ESC_END ? END : ESC;
            }
            if (!tooLong && !buffer.add(b)) {
                tooLong = true;
                buffer.clear();
            }
        }
    }

    private void finish(Sink sink) {
        if (tooLong) {
            sink.dropped(raw, Drop.TOO_LONG);
        } else if (bad || escaped) {
            sink.dropped(raw, Drop.BAD_ENCODING);
        } else if (buffer.length() > 0) {
            sink.frame(buffer.take(0, buffer.length()));
        }
        reset();
    }

    @Override
    public void end(Sink sink) {
        if (raw > 0) {
            sink.dropped(raw, Drop.UNFINISHED);
        }
        reset();
    }

    private void reset() {
        buffer.clear();
        raw = 0;
        escaped = false;
        bad = false;
        tooLong = false;
    }

    @Override
    public int held() {
        return buffer.capacity();
    }
}
