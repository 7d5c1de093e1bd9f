package serialslots.framing;

import java.io.ByteArrayOutputStream;
import java.nio.ByteOrder;
import serialslots.internal.Failures;

/** The framings' decoders, and each frame as it goes on the line. */
public final class Codecs {

    private Codecs() {
    }

    public static Decoder delimiterDecoder(byte[] start, byte[] end, int max, boolean keep) {
        return new DelimiterDecoder(start, end, max, keep);
    }

    public static Decoder fixedLengthDecoder(int length) {
        return new FixedLengthDecoder(length);
    }

    public static Decoder lengthFieldDecoder(int offset, int size, ByteOrder order, int adjustment, int max) {
        return new LengthFieldDecoder(offset, size, order, adjustment, max);
    }

    public static Decoder slipDecoder(int max) {
        return new SlipDecoder(max);
    }

    public static Decoder cobsDecoder(int max) {
        return new CobsDecoder(max);
    }

    /** start (if any), the payload, end; refused where the end would be found earlier than at its place. */
    public static byte[] delimited(byte[] start, byte[] payload, byte[] end) {
        ByteArrayOutputStream frame = new ByteArrayOutputStream();
        if (start != null) {
            frame.writeBytes(start);
        }
        frame.writeBytes(payload);
        frame.writeBytes(end);
        byte[] bytes = frame.toByteArray();
        Matcher matcher = new Matcher(end);
        for (int i = start == null ? 0 : start.length; i < bytes.length; i++) {
            if (matcher.next(bytes[i]) && i != bytes.length - 1) {
                throw Failures.badArgument(Failures.DELIMITER_IN_PAYLOAD, i);
            }
        }
        return bytes;
    }

    /** The header, the length field, the rest: offset + size + L + adjustment bytes in all. */
    public static byte[] withLength(byte[] payload, int offset, int size, ByteOrder order, int adjustment) {
        long length = (long) payload.length - offset - adjustment;
        if (payload.length < offset || length < 0 || length >= 1L << (8 * size)) {
            throw Failures.badArgument(Failures.LENGTH_FIELD, "a payload of " + payload.length + " bytes");
        }
        byte[] frame = new byte[payload.length + size];
        System.arraycopy(payload, 0, frame, 0, offset);
        for (int i = 0; i < size; i++) {
            int shift = 8 * (order == ByteOrder.BIG_ENDIAN ? size - 1 - i : i);
            frame[offset + i] = (byte) (length >>> shift);
        }
        System.arraycopy(payload, offset, frame, offset + size, payload.length - offset);
        return frame;
    }

    public static byte[] slip(byte[] payload) {
        return SlipDecoder.encode(payload);
    }

    public static byte[] cobs(byte[] payload) {
        return CobsDecoder.encode(payload);
    }
}
