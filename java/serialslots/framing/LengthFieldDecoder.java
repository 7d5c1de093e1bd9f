package serialslots.framing;

import java.nio.ByteOrder;

/**
 * Frames that say their length: {@code offset} header bytes, then an
 * unsigned length L of {@code size} bytes; the frame is offset + size + L +
 * adjustment bytes long, header included.
 */
final class LengthFieldDecoder implements Decoder {

    private final int offset;
    private final int size;
    private final boolean bigEndian;
    private final int adjustment;
    private final int max;
    private final Buffer buffer;
    private long frameLength = -1;  // -1 while the header is being read
    private long skipping;          // bytes of a frame too long still to skip

    LengthFieldDecoder(int offset, int size, ByteOrder order, int adjustment, int max) {
        this.offset = offset;
        this.size = size;
        this.bigEndian = order == ByteOrder.BIG_ENDIAN;
        this.adjustment = adjustment;
        this.max = max;
        this.buffer = new Buffer(Math.max(max, offset + size));
    }

    @Override
    public void feed(byte[] bytes, int from, int count, Sink sink) {
        for (int i = from; i < from + count; i++) {
            if (skipping > 0) {
                if (--skipping == 0) {
                    sink.dropped((int) Math.min(Integer.MAX_VALUE, frameLength), Drop.TOO_LONG);
                    frameLength = -1;
                }
                continue;
            }
            buffer.add(bytes[i]);
            if (frameLength < 0 && buffer.length() == offset + size) {
                frameLength = offset + size + length() + adjustment;
                if (frameLength < offset + size) {
                    sink.dropped(buffer.length(), Drop.BAD_ENCODING);
                    buffer.clear();
                    frameLength = -1;
                    continue;
                }
                if (frameLength > max) {
                    skipping = frameLength - buffer.length();
                    buffer.clear();
                    if (skipping == 0) {
                        sink.dropped((int) frameLength, Drop.TOO_LONG);
                        frameLength = -1;
                    }
                    continue;
                }
            }
            if (frameLength >= 0 && buffer.length() == frameLength) {
                sink.frame(buffer.take(0, buffer.length()));
                frameLength = -1;
            }
        }
    }

    /** The unsigned length the header holds. */
    private long length() {
        long value = 0;
        for (int i = 0; i < size; i++) {
            int b = buffer.at(offset + (bigEndian ? i : size - 1 - i)) & 0xFF;
            value = value << 8 | b;
        }
        return value;
    }

    @Override
    public void end(Sink sink) {
        if (buffer.length() > 0 || skipping > 0) {
            sink.dropped(buffer.length() + (int) Math.min(Integer.MAX_VALUE, skipping), Drop.UNFINISHED);
        }
        buffer.clear();
        frameLength = -1;
        skipping = 0;
    }

    @Override
    public int held() {
        return buffer.capacity();
    }
}
