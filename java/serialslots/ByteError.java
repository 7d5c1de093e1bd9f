package serialslots;

/**
 * What was wrong with a received byte, as {@link SerialConnection#readMarked}
 * tells it.
 */
public enum ByteError {
    /** Received as sent, as far as the UART could tell. */
    NONE,
    /** Its parity bit was wrong: with {@link Parity#SPACE}, on a 9-bit bus, the mark of an address byte. */
    PARITY,
    /** No stop bit where one belonged: a wrong rate, noise or a break cut short. */
    FRAMING,
    /** The line was held at 0 for longer than a character: the byte is 0. */
    BREAK,
    /**
     * Bytes were lost just before this one: the UART or the driver had no
     * room for them. The kernel counts them but does not mark where, so this
     * is the first byte read after the count rose.
     */
    OVERRUN
}
