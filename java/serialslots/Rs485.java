package serialslots;

import serialslots.internal.Failures;

/**
 * RS-485 mode, which the driver carries out: it switches the transceiver to
 * send (through RTS) exactly while the UART sends. Most ARM boards' UARTs and
 * many USB adapters have it; a PC's 16550 has not.
 *
 * @param rtsOnSend the level of RTS while sending (true: high)
 * @param rtsAfterSend the level of RTS after sending, while receiving
 * @param delayBeforeSendMillis how long RTS is set before the first bit goes out, 0 or more
 * @param delayAfterSendMillis how long RTS stays set after the last bit went, 0 or more
 * @param receiveDuringSend whether the receiver stays on while sending (an echo of what was sent)
 * @param terminateBus whether the board's bus termination is switched on, where it has one
 */
public record Rs485(boolean rtsOnSend, boolean rtsAfterSend, int delayBeforeSendMillis, int delayAfterSendMillis,
        boolean receiveDuringSend, boolean terminateBus) {

    /**
     * @param rtsOnSend the level of RTS while sending (true: high)
     * @param rtsAfterSend the level of RTS after sending, while receiving
     * @param delayBeforeSendMillis how long RTS is set before the first bit goes out, 0 or more
     * @param delayAfterSendMillis how long RTS stays set after the last bit went, 0 or more
     * @param receiveDuringSend whether the receiver stays on while sending
     * @param terminateBus whether the board's bus termination is switched on
     * @throws IllegalArgumentException for a negative delay
     */
    public Rs485 {
        if (delayBeforeSendMillis < 0 || delayAfterSendMillis < 0) {
            throw Failures.badArgument(Failures.DELAY, delayBeforeSendMillis < 0 ? delayBeforeSendMillis
                    : delayAfterSendMillis);
        }
    }

    /** @return the usual mode: RTS high while sending, low after, no delays, no echo, no termination */
    public static Rs485 standard() {
        return new Rs485(true, false, 0, 0, false, false);
    }
}
