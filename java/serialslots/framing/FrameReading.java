package serialslots.framing;

import java.io.IOException;
import java.util.ArrayDeque;
import java.util.Arrays;
import java.util.function.Consumer;
import serialslots.FrameReader;
import serialslots.FrameTooLongException;
import serialslots.SerialTimeoutException;
import serialslots.internal.Failures;

/**
 * Frames from a connection's bytes: for a {@link FrameReader}, one frame a
 * call, and for a frame listener, every frame that the bytes waiting make.
 * A framing of bytes feeds its decoder; a framing of silence reads until the
 * line is idle.
 */
public final class FrameReading implements FrameReader {

    /** How frames are read: the connection's input, in its turn. */
    public interface Source {
        /** As the connection's reads: at least one byte, or -1 once the device has gone. */
        int read(byte[] buffer, int offset, int length, int timeoutMillis, int idleMicros) throws IOException;

        int available() throws IOException;

        int readTimeout();

        String name();
    }

    private static final int CHUNK = 8192;

    private final Source source;
    private final Decoder decoder;  // null for a framing of silence
    private final int idleMicros;
    private final int max;
    private final byte[] chunk = new byte[CHUNK];
    // What the decoder made and the reader has not given out yet: frames, and failures to throw.
    private final ArrayDeque<Object> made = new ArrayDeque<>();
    private final Into intoReader = new Into(made::add, this::failure);
    private long dropped;
    private boolean ended;
    private volatile boolean closed;

    public FrameReading(Source source, Decoder decoder, int idleMicros, int max) {
        this.source = source;
        this.decoder = decoder;
        this.idleMicros = idleMicros;
        this.max = max;
    }

    @Override
    public synchronized byte[] read() throws IOException {
        for (;;) {
            Object next = made.poll();
            if (next instanceof byte[] frame) {
                return frame;
            }
            if (next instanceof IOException failure) {
                throw failure;
            }
            if (ended || closed) {
                return null;
            }
            if (decoder == null) {
                byte[] frame = readIdleFrame(source.readTimeout(), this::failure);
                if (frame != null) {
                    return frame;
                }
                continue;
            }
            int got = source.read(chunk, 0, chunk.length, source.readTimeout(), 0);
            if (got < 0) {
                ended = true;
                decoder.end(intoReader);
            } else {
                decoder.feed(chunk, 0, got, intoReader);
            }
        }
    }

    /** The frame up to the next silence, or null where the stream ended or a frame too long was dropped. */
    private byte[] readIdleFrame(int timeoutMillis, Drops drops) throws IOException {
        byte[] buffer = new byte[max + 1];
        int got = source.read(buffer, 0, buffer.length, timeoutMillis, idleMicros);
        if (got < 0) {
            ended = true;
            return null;
        }
        if (got <= max) {
            return Arrays.copyOf(buffer, got);
        }
        // Too long: the rest of it, until the line is silent.
        int total = got;
        int silenceMillis = Math.max(1, (idleMicros + 999) / 1000);
        for (int more = buffer.length; more == buffer.length;) {
            try {
                more = source.read(buffer, 0, buffer.length, silenceMillis, idleMicros);
            } catch (SerialTimeoutException silent) {
                break;
            }
            if (more < 0) {
                ended = true;
                break;
            }
            total += more;
        }
        drops.dropped(total, Decoder.Drop.TOO_LONG);
        return null;
    }

    /** Counts a drop; too long or badly encoded, it is thrown in its place among the frames. */
    private void failure(int length, Decoder.Drop why) {
        dropped++;
        if (why == Decoder.Drop.TOO_LONG) {
            made.add(new FrameTooLongException(Failures.frameTooLong(source.name(), length, max)));
        } else if (why == Decoder.Drop.BAD_ENCODING) {
            made.add(new IOException(Failures.badFrame(source.name(), length)));
        }
    }

    /** Told of bytes that made no frame. */
    public interface Drops {
        void dropped(int length, Decoder.Drop why);
    }

    /**
     * For a listener: the frames the bytes waiting now make, or with
     * {@code ended}, what the end of the stream leaves; each frame and each
     * drop told, in order.
     */
    public synchronized void deliver(boolean endOfStream, Consumer<byte[]> frames, Drops drops) throws IOException {
        Into into = new Into(frames, (length, why) -> {
            dropped++;
            drops.dropped(length, why);
        });
        if (endOfStream) {
            if (decoder != null) {
                decoder.end(into);
            }
            return;
        }
        for (int waiting; !closed && (waiting = source.available()) > 0;) {
            if (decoder == null) {
                byte[] frame = readIdleFrame(Math.max(1, (idleMicros + 999) / 1000), into::dropped);
                if (frame != null) {
                    frames.accept(frame);
                }
                continue;
            }
            int got = source.read(chunk, 0, Math.min(chunk.length, waiting), 1, 0);
            if (got < 0) {
                return;
            }
            decoder.feed(chunk, 0, got, into);
        }
    }

    @Override
    public synchronized long dropped() {
        return dropped;
    }

    @Override
    public void close() {
        closed = true;
    }

    /** A sink that hands frames and drops on. */
    private record Into(Consumer<byte[]> frames, Drops drops) implements Decoder.Sink {
        @Override
        public void frame(byte[] frame) {
            frames.accept(frame);
        }

        @Override
        public void dropped(int length, Decoder.Drop why) {
            drops.dropped(length, why);
        }
    }
}
