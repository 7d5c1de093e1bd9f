package serialslots;

import java.nio.ByteOrder;
import java.nio.charset.StandardCharsets;
import java.util.Arrays;
import java.util.Objects;
import serialslots.framing.Codecs;
import serialslots.framing.Decoder;
import serialslots.internal.Failures;

/**
 * How a byte stream is cut into frames, and how a frame is written: lines
 * that end with a delimiter, STX ... ETX, fixed-size records, length-prefixed
 * binary, SLIP and COBS, or silence between frames as Modbus RTU's. Immutable;
 * {@link SerialConnection#frames} and {@link SerialConnection#listenFrames}
 * take it, over any port.
 *
 * <p>Every framing is exact at any split of the stream (a delimiter split
 * across two reads, an overlapping one such as "\r\r\n" in "x\r\r\r\n") and
 * bounded: a frame longer than {@link #maxFrameLength} is dropped whole and
 * reported, and framing goes on at the next boundary, so memory stays
 * bounded whatever arrives.
 */
public final class Framing {

    /** The frames' bound unless set: 64 KiB. */
    public static final int DEFAULT_MAX_FRAME_LENGTH = 65536;

    private enum Kind { DELIMITER, BETWEEN, FIXED_LENGTH, LENGTH_FIELD, IDLE_GAP, SLIP, COBS }

    private final Kind kind;
    private final byte[] start;
    private final byte[] end;
    private final int[] numbers;  // fixedLength: length; lengthField: offset, size, adjustment; idleGap: micros
    private final ByteOrder order;
    private final int maxFrameLength;
    private final boolean keepDelimiter;

    private Framing(Kind kind, byte[] start, byte[] end, int[] numbers, ByteOrder order, int maxFrameLength,
            boolean keepDelimiter) {
        this.kind = kind;
        this.start = start;
        this.end = end;
        this.numbers = numbers;
        this.order = order;
        this.maxFrameLength = maxFrameLength;
        this.keepDelimiter = keepDelimiter;
    }

    private static Framing of(Kind kind, byte[] start, byte[] end, int... numbers) {
        return new Framing(kind, start, end, numbers, ByteOrder.BIG_ENDIAN, DEFAULT_MAX_FRAME_LENGTH, false);
    }

    /**
     * @param delimiter what ends each frame (an empty frame is one)
     * @return frames that end with it; the delimiter is not part of a frame unless kept
     * @throws IllegalArgumentException for an empty delimiter
     */
    public static Framing delimiter(byte... delimiter) {
        return of(Kind.DELIMITER, null, nonEmpty(delimiter, "delimiter"));
    }

    /**
     * @param delimiter what ends each frame, as its ISO-8859-1 bytes, such as "\r\n"
     * @return frames that end with it
     * @throws IllegalArgumentException for an empty delimiter
     */
    public static Framing delimiter(String delimiter) {
        return delimiter(delimiter.getBytes(StandardCharsets.ISO_8859_1));
    }

    /**
     * @param start what starts each frame, such as STX
     * @param end what ends it, such as ETX
     * @return frames between the two; bytes before a start are noise, counted as dropped
     * @throws IllegalArgumentException for an empty start or end
     */
    public static Framing between(byte[] start, byte[] end) {
        return of(Kind.BETWEEN, nonEmpty(start, "start"), nonEmpty(end, "end"));
    }

    /**
     * @param length each frame's length, 1 or more
     * @return frames of that many bytes
     */
    public static Framing fixedLength(int length) {
        if (length <= 0) {
            throw Failures.badArgument(Failures.FRAME_LENGTH, length);
        }
        return of(Kind.FIXED_LENGTH, null, null, length);
    }

    /**
     * Length-prefixed frames: {@code offset} header bytes, then an unsigned
     * length L of {@code size} bytes (1, 2 or 4) in {@code order}; the frame
     * is offset + size + L + adjustment bytes long and is returned whole,
     * header included.
     *
     * @param offset header bytes before the length, 0 or more
     * @param size the length's bytes: 1, 2 or 4
     * @param order the length's byte order
     * @param adjustment what to add to L for the bytes after the length field
     *     (a checksum after the data: its size; a length that counts itself: minus size)
     * @return the framing
     */
    public static Framing lengthField(int offset, int size, ByteOrder order, int adjustment) {
        if (offset < 0 || (size != 1 && size != 2 && size != 4)) {
            throw Failures.badArgument(Failures.LENGTH_FIELD, "offset " + offset + ", size " + size);
        }
        return new Framing(Kind.LENGTH_FIELD, null, null, new int[] {offset, size, adjustment},
                Objects.requireNonNull(order, "order"), DEFAULT_MAX_FRAME_LENGTH, false);
    }

    /**
     * @param micros the silence that ends a frame, such as
     *     {@code 3.5 * settings.characterMicros()} for Modbus RTU
     * @return frames that end in that much silence (see {@link SerialConnection#readUntilIdle})
     */
    public static Framing idleGap(int micros) {
        if (micros <= 0) {
            throw Failures.badArgument(Failures.IDLE, micros);
        }
        return of(Kind.IDLE_GAP, null, null, micros);
    }

    /** @return RFC 1055's SLIP (END 0xC0, ESC 0xDB); empty frames are skipped */
    public static Framing slip() {
        return of(Kind.SLIP, null, null);
    }

    /** @return Consistent Overhead Byte Stuffing, each frame ended by 0x00; empty frames are skipped */
    public static Framing cobs() {
        return of(Kind.COBS, null, null);
    }

    /**
     * @param bytes the longest frame kept, its content (delimiters not
     *     counted), 1 or more; 65536 unless set
     * @return a copy with that bound
     */
    public Framing maxFrameLength(int bytes) {
        if (bytes <= 0) {
            throw Failures.badArgument(Failures.FRAME_LENGTH, bytes);
        }
        return new Framing(kind, start, end, numbers, order, bytes, keepDelimiter);
    }

    /**
     * @param keep whether {@link #delimiter} and {@link #between} frames keep their delimiters (false unless set)
     * @return a copy that does so
     */
    public Framing keepDelimiter(boolean keep) {
        return new Framing(kind, start, end, numbers, order, maxFrameLength, keep);
    }

    /** @return the bound of a frame's content */
    public int maxFrameLength() {
        return maxFrameLength;
    }

    /**
     * The bytes to write for one frame, which the framing reads back as
     * {@code payload}: with its delimiters, stuffed, or with its length field.
     *
     * @param payload for {@link #lengthField}, the frame without its length
     *     field (header first where the offset is above 0); for
     *     {@link #fixedLength}, exactly that many bytes
     * @return the frame as it goes on the line
     * @throws IllegalArgumentException where no frame can carry the payload
     *     (a delimiter inside it, the wrong length, a length the field cannot hold)
     */
    public byte[] encode(byte[] payload) {
        Objects.requireNonNull(payload, "payload");
        return switch (kind) {
            case DELIMITER, BETWEEN -> Codecs.delimited(start, payload, end);
            case FIXED_LENGTH -> {
                if (payload.length != numbers[0]) {
                    throw Failures.badArgument(Failures.FRAME_LENGTH, payload.length);
                }
                yield payload.clone();
            }
            case LENGTH_FIELD -> Codecs.withLength(payload, numbers[0], numbers[1], order, numbers[2]);
            case IDLE_GAP -> payload.clone();
            case SLIP -> Codecs.slip(payload);
            case COBS -> Codecs.cobs(payload);
        };
    }

    /** @return the silence that ends a frame, in microseconds, or 0 for a framing of bytes */
    int idleMicros() {
        return kind == Kind.IDLE_GAP ? numbers[0] : 0;
    }

    /** @return a decoder of this framing, for a framing of bytes */
    Decoder decoder() {
        return switch (kind) {
            case DELIMITER -> Codecs.delimiterDecoder(null, end, maxFrameLength, keepDelimiter);
            case BETWEEN -> Codecs.delimiterDecoder(start, end, maxFrameLength, keepDelimiter);
            case FIXED_LENGTH -> Codecs.fixedLengthDecoder(numbers[0]);
            case LENGTH_FIELD -> Codecs.lengthFieldDecoder(numbers[0], numbers[1], order, numbers[2],
                    maxFrameLength);
            case SLIP -> Codecs.slipDecoder(maxFrameLength);
            case COBS -> Codecs.cobsDecoder(maxFrameLength);
            case IDLE_GAP -> null;
        };
    }

    private static byte[] nonEmpty(byte[] bytes, String what) {
        if (Objects.requireNonNull(bytes, what).length == 0) {
            throw Failures.badArgument(Failures.EMPTY_DELIMITER, what);
        }
        return bytes.clone();
    }

    @Override
    public String toString() {
        return "Framing[" + kind.name().toLowerCase(java.util.Locale.ROOT) + (start == null ? "" : " "
                + Arrays.toString(start)) + (end == null ? "" : " " + Arrays.toString(end)) + ", max "
                + maxFrameLength + "]";
    }
}
