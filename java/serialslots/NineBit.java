package serialslots;

import java.io.IOException;
import java.util.Objects;
import serialslots.internal.Failures;

/**
 * 9-bit words on a multidrop bus (MDB, 9-bit RS-485): the ninth bit tells an
 * address word (bit 8 set, such as {@code 0x100 | 0x42}) from a data word.
 * It rides in the parity bit: a word goes out with mark parity for an
 * address and space parity for data, and the line waits at space parity, so
 * that a received address word is a parity error the driver marks.
 *
 * <p>The parity changes only once the transmitter is empty, so each run of
 * address or data words costs a {@link SerialConnection#drain()} (within
 * the write timeout). One thread should write at a time.
 */
public final class NineBit {

    private static final int ADDRESS = 0x100;

    private final SerialConnection connection;
    private final LineSettings atRest;
    private Parity sending = Parity.SPACE;

    private NineBit(SerialConnection connection, LineSettings atRest) {
        this.connection = connection;
        this.atRest = atRest;
    }

    /**
     * Puts the line at space parity for 9-bit words.
     *
     * @param connection a device of this machine with 8 data bits, opened with {@link PortOption#MARK_ERRORS}
     * @return the words' reader and writer
     * @throws SettingNotSupportedException where the connection cannot carry a ninth bit: a remote port or
     *     a virtual device, a line of other than 8 data bits, a driver that marks no parity error (a
     *     pseudo-terminal), a driver without mark and space parity
     * @throws IOException when the connection is closed
     */
    public static NineBit over(SerialConnection connection) throws IOException {
        String device = connection.device();
        if (!connection.isLocal()) {
            throw Failures.noNinthBit(device, Failures.NINE_BIT_TRANSPORT);
        }
        if (!connection.marksErrors()) {
            throw Failures.noNinthBit(device, Failures.NINE_BIT_MARKS);
        }
        LineSettings settings = connection.settings();
        if (settings.dataBits() != 8) {
            throw Failures.noNinthBit(device, Failures.NINE_BIT_DATA_BITS);
        }
        try {
            connection.counters();
        } catch (IOException keepsNone) {
            if (!connection.isOpen()) {
                throw keepsNone;
            }
            throw Failures.noNinthBit(device, Failures.NINE_BIT_DRIVER);
        }
        LineSettings atRest = settings.withParity(Parity.SPACE);
        connection.reconfigure(atRest);
        return new NineBit(connection, atRest);
    }

    /**
     * Sends the words in order, each with its ninth bit, and returns once
     * the last has left the UART.
     *
     * @param words each 0 to 511; 256 and above are address words
     * @throws SerialTimeoutException when the write timeout passed
     * @throws IOException when the connection is closed or the device has gone
     */
    public void write(int... words) throws IOException {
        for (int word : words) {
            if (word < 0 || word > 0x1FF) {
                throw Failures.badArgument(Failures.NINE_BIT_WORD, word);
            }
        }
        byte[] run = new byte[words.length];
        for (int start = 0; start < words.length;) {
            boolean address = (words[start] & ADDRESS) != 0;
            int end = start;
            while (end < words.length && ((words[end] & ADDRESS) != 0) == address) {
                run[end - start] = (byte) words[end];
                end++;
            }
            sendWith(address ? Parity.MARK : Parity.SPACE);
            connection.getOutputStream().write(run, 0, end - start);
            start = end;
        }
        sendWith(Parity.SPACE);
        connection.drain();
    }

    /** Changes the parity, once what went before it has left the UART. */
    private void sendWith(Parity parity) throws IOException {
        if (parity != sending) {
            connection.drain();
            connection.reconfigure(atRest.withParity(parity));
            sending = parity;
        }
    }

    /**
     * Reads words as {@link SerialConnection#readMarked} reads bytes: an
     * address word has bit 8 set; {@code errors} says what else was wrong
     * (a framing error, a break, bytes lost before).
     *
     * @param words where the words go
     * @param errors where each word's error goes, NONE for a good word of either kind
     * @param offset the first position in both
     * @param length the most to take
     * @return the words taken, at least 1 (0 when length is 0); -1 once the device has gone
     * @throws SerialTimeoutException when no word came within the read timeout
     * @throws IOException when the connection is closed
     */
    public int read(int[] words, ByteError[] errors, int offset, int length) throws IOException {
        Objects.checkFromIndexSize(offset, length, words.length);
        Objects.checkFromIndexSize(offset, length, errors.length);
        byte[] bytes = new byte[length];
        ByteError[] marks = new ByteError[length];
        int got = connection.readMarked(bytes, marks, 0, length);
        for (int i = 0; i < got; i++) {
            boolean address = marks[i] == ByteError.PARITY;
            words[offset + i] = (bytes[i] & 0xFF) | (address ? ADDRESS : 0);
            errors[offset + i] = address ? ByteError.NONE : marks[i];
        }
        return got;
    }
}
