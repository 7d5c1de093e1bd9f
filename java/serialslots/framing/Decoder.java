package serialslots.framing;

/**
 * Turns a byte stream, split anywhere, into frames. Each decoder holds at
 * most a frame's bound of bytes, whatever arrives: a frame that outgrows it
 * is counted and reported, not kept.
 */
public interface Decoder {

    /** Why bytes made no frame. */
    enum Drop {
        /** Longer than the frame's bound. */
        TOO_LONG,
        /** Not a valid encoding (SLIP, COBS, a length field). */
        BAD_ENCODING,
        /** Bytes before a start delimiter. */
        NOISE,
        /** A frame the end of the stream cut short. */
        UNFINISHED
    }

    /** Where frames and the reports of dropped ones go, in stream order. */
    interface Sink {
        void frame(byte[] frame);

        /** {@code length} bytes that made no frame, and why. */
        void dropped(int length, Drop why);
    }

    void feed(byte[] bytes, int offset, int length, Sink sink);

    /** The stream ended: what is unfinished is dropped. */
    void end(Sink sink);

    /** The bytes held now, for the bound's checks. */
    int held();
}
