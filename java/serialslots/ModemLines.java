package serialslots;

/**
 * The modem lines of a port at one moment, read in one call: the inputs CTS,
 * DSR, DCD (carrier detect) and RI (ring indicator), and the outputs RTS and DTR.
 *
 * @param cts clear to send
 * @param dsr data set ready
 * @param dcd data carrier detect
 * @param ri ring indicator
 * @param rts request to send, an output
 * @param dtr data terminal ready, an output
 */
public record ModemLines(boolean cts, boolean dsr, boolean dcd, boolean ri, boolean rts, boolean dtr) {
}
