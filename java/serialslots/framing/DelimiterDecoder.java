package serialslots.framing;

/** Frames that end with a delimiter; with a start delimiter too, bytes before a start are noise. */
final class DelimiterDecoder implements Decoder {

    private final Matcher start;  // null: every byte is in a frame
    private final Matcher end;
    private final byte[] startBytes;
    private final boolean keep;
    private final int max;
    private final Buffer buffer;
    private boolean inFrame;
    private int noise;
    private int discarded = -1;  // bytes of a frame too long, counted while it is skipped; -1: none

    DelimiterDecoder(byte[] start, byte[] end, int max, boolean keep) {
        this.start = start == null ? null : new Matcher(start);
        this.startBytes = start == null ? new byte[0] : start.clone();
        this.end = new Matcher(end);
        this.keep = keep;
        this.max = max;
        this.buffer = new Buffer(startBytes.length + max + end.length);
        this.inFrame = start == null;
    }

    @Override
    public void feed(byte[] bytes, int offset, int length, Sink sink) {
        for (int i = offset; i < offset + length; i++) {
            byte b = bytes[i];
            if (!inFrame) {
                seekStart(b, sink);
                continue;
            }
            boolean ended = end.next(b);
            if (discarded >= 0) {
                discarded++;
                if (ended) {
                    sink.dropped(discarded - end.length(), Drop.TOO_LONG);
                    discarded = -1;
                    inFrame = start == null;
                }
                continue;
            }
            buffer.add(b);
            int content = buffer.length() - startLength() - (ended ? end.length() : end.matched());
            if (ended) {
                sink.frame(keep ? buffer.take(0, buffer.length())
                        : buffer.take(startLength(), buffer.length() - end.length()));
                inFrame = start == null;
            } else if (content > max) {
                discarded = content + end.matched();
                buffer.clear();
            }
        }
    }

    /** Where the start bytes are kept with the frame, the frame's own bytes start after them. */
    private int startLength() {
        return keep ? startBytes.length : 0;
    }

    private void seekStart(byte b, Sink sink) {
        noise++;
        if (start.next(b)) {
            noise -= start.length();
            if (noise > 0) {
                sink.dropped(noise, Drop.NOISE);
            }
            noise = 0;
            inFrame = true;
            end.reset();
            if (keep) {
                for (byte s : startBytes) {
                    buffer.add(s);
                }
            }
        }
    }

    @Override
    public void end(Sink sink) {
        if (!inFrame && noise > 0) {
            sink.dropped(noise, Drop.NOISE);
        } else if (discarded >= 0 || buffer.length() > startLength()) {
            sink.dropped(discarded >= 0 ? discarded : buffer.length() - startLength(), Drop.UNFINISHED);
        }
        noise = 0;
        discarded = -1;
        buffer.clear();
        inFrame = start == null;
    }

    @Override
    public int held() {
        return buffer.capacity();
    }
}
