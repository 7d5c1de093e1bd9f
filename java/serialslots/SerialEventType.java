package serialslots;

/** What a {@link SerialEvent} reports. */
public enum SerialEventType {
    /** Bytes arrived; read them with the connection's input stream. */
    DATA,
    /** CTS (clear to send) changed. */
    CTS,
    /** DSR (data set ready) changed. */
    DSR,
    /** DCD (carrier detect) changed. */
    DCD,
    /** RI (ring indicator) rang: the driver counts each ring's trailing edge. */
    RI,
    /** A break arrived (in raw mode it is also read as a 0x00 byte). */
    BREAK,
    /** A character arrived with a framing error (a stop bit missing). */
    FRAMING_ERROR,
    /** A character arrived with a parity error. */
    PARITY_ERROR,
    /** Characters were lost: the UART's receiver, or the driver's buffer, overran. */
    OVERRUN,
    /** The device went away (an adapter pulled, a pty's far end closed): the last event. */
    HANG_UP
}
