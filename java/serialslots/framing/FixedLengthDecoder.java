package serialslots.framing;

/** Frames of one length. */
final class FixedLengthDecoder implements Decoder {

    private final int length;
    private final Buffer buffer;

    FixedLengthDecoder(int length) {
        this.length = length;
        this.buffer = new Buffer(length);
    }

    @Override
    public void feed(byte[] bytes, int offset, int count, Sink sink) {
        for (int i = offset; i < offset + count; i++) {
            buffer.add(bytes[i]);
            if (buffer.length() == length) {
                sink.frame(buffer.take(0, length));
            }
        }
    }

    @Override
    public void end(Sink sink) {
        if (buffer.length() > 0) {
            sink.dropped(buffer.length(), Drop.UNFINISHED);
            buffer.clear();
        }
    }

    @Override
    public int held() {
        return buffer.capacity();
    }
}
