package serialslots.framing;

import java.util.Arrays;

/** Frames that end with a delimiter; with a start delimiter too, bytes before a start are noise. */
final class DelimiterDecoder implements Decoder {

    private final Matcher start;  // null: every byte is in a frame
    private final Matcher end;
    private final byte endFirst;
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
        this.endFirst = end[0];
        this.keep = keep;
        this.max = max;
        this.buffer = new Buffer(startBytes.length + max + end.length);
        this.inFrame = start == null;
    }

    @Override
    public void feed(byte[] bytes, int offset, int length, Sink sink) {
        int i = offset;
        int last = offset + length;
        while (i < last) {
            if (!inFrame) {
                seekStart(bytes[i++], sink);
            } else if (discarded >= 0) {
                i = skip(bytes, i, last, sink);
            } else {
                i = gather(bytes, i, last, sink);
            }
        }
    }

    /**
     * Takes bytes of a frame from {@code i}, a run at a time, until the frame
     * ends, outgrows the bound or the bytes run out: where it stopped.
     */
    private int gather(byte[] bytes, int i, int last, Sink sink) {
        int run = i;
        int held = buffer.length() - startLength();
        while (i < last) {
            if (end.matched() == 0) {
                // Nothing of the delimiter yet: on to a byte that can start it, within the bound.
                int limit = (int) Math.min(last, (long) run + max - held);
                while (i < limit && bytes[i] != endFirst) {
                    i++;
                }
                if (i == last) {
                    break;
                }
                if (i == limit && bytes[i] != endFirst) {
                    return tooLong(held + (i + 1 - run), i + 1);
                }
            }
            if (end.next(bytes[i])) {
                int through = i + 1;
                if (keep || buffer.length() > 0 || through - run < end.length()) {
                    buffer.add(bytes, run, through - run);
                    sink.frame(keep ? buffer.take(0, buffer.length())
                            : buffer.take(startLength(), buffer.length() - end.length()));
                } else {
                    sink.frame(Arrays.copyOfRange(bytes, run, through - end.length()));
                }
                inFrame = start == null;
                return through;
            }
            if (held + (i + 1 - run) - end.matched() > max) {
                return tooLong(held + (i + 1 - run), i + 1);
            }
            i++;
        }
        buffer.add(bytes, run, last - run);
        return last;
    }

    /** The frame outgrew the bound: its `counted` bytes so far are skipped, and the rest until its end. */
    private int tooLong(int counted, int next) {
        discarded = counted;
        buffer.clear();
        return next;
    }

    /** Counts the bytes of a frame too long until its end: where it stopped. */
    private int skip(byte[] bytes, int i, int last, Sink sink) {
        for (; i < last; i++) {
            discarded++;
            if (end.next(bytes[i])) {
                sink.dropped(discarded - end.length(), Drop.TOO_LONG);
                discarded = -1;
                inFrame = start == null;
                return i + 1;
            }
        }
        return last;
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
