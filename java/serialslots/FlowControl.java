package serialslots;

/** How the two ends pause each other when a receiver cannot keep up. */
public enum FlowControl {
    /** No flow control: the sender never waits for the receiver. */
    NONE,
    /** Hardware flow control: the CTS input gates sending, RTS tells the other end to wait. */
    RTS_CTS,
    /** Software flow control: the characters XOFF (0x13) and XON (0x11) pause and resume. */
    XON_XOFF
}
