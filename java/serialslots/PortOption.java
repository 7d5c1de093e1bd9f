package serialslots;

/** What an open may ask for besides the line settings. */
public enum PortOption {
    /**
     * Each received byte's error can be read with it
     * ({@link SerialConnection#readMarked}). The driver marks a bad byte in
     * the stream where it arrived; the connection takes the marks out, so
     * plain reads give the same bytes as without this option (a bad byte as
     * received, a break as 0). A 16550-class UART and an FTDI adapter mark
     * parity and framing errors and breaks; a CDC-ACM board, whose protocol
     * carries none with the bytes, never does. Refused by remote ports. The
     * marks are a setting of the device, one for all its opens: shared opens
     * of one device should all mark, or none.
     */
    MARK_ERRORS,
    /**
     * Closing leaves DTR and RTS as they are (HUPCL off), so that a board
     * that restarts when DTR rises (an auto-reset circuit) does not restart
     * at the next open. Linux raises DTR and RTS at every open, and drivers
     * raise them again at the first rate after a rate of 0, whatever a
     * program asks: the first open after the board or adapter was plugged
     * in or powered up still raises them, and so still restarts it. The
     * setting stays with the device for later programs too. Refused by
     * remote ports, whose server decides.
     */
    HOLD_DTR
}
