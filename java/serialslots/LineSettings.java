package serialslots;

import java.util.Objects;
import serialslots.internal.Failures;

/**
 * Immutable line settings: baud rate, data bits, stop bits, parity and flow
 * control. {@code LineSettings.of(115200)} is 115200 baud, 8 data bits, no
 * parity, 1 stop bit and no flow control ("8N1"); the {@code with} methods
 * answer a copy with one setting changed. Any positive rate may be asked for;
 * whether the device can make it is learnt when the settings are applied.
 */
public final class LineSettings {

    private final int baud;
    private final int dataBits;
    private final int stopBits;
    private final Parity parity;
    private final FlowControl flowControl;

    private LineSettings(int baud, int dataBits, int stopBits, Parity parity, FlowControl flowControl) {
        if (baud <= 0) {
            throw Failures.badArgument(Failures.BAUD, baud);
        }
        if (dataBits < 5 || dataBits > 8) {
            throw Failures.badArgument(Failures.DATA_BITS, dataBits);
        }
        if (stopBits != 1 && stopBits != 2) {
            throw Failures.badArgument(Failures.STOP_BITS, stopBits);
        }
        this.baud = baud;
        this.dataBits = dataBits;
        this.stopBits = stopBits;
        this.parity = Objects.requireNonNull(parity, "parity");
        this.flowControl = Objects.requireNonNull(flowControl, "flow control");
    }

    /**
     * 8 data bits, 1 stop bit, no parity and no flow control at {@code baud}.
     *
     * @param baud the rate in bits per second, such as 9600, 115200 or 250000
     * @return the settings
     * @throws IllegalArgumentException when {@code baud} is not positive
     */
    public static LineSettings of(int baud) {
        return new LineSettings(baud, 8, 1, Parity.NONE, FlowControl.NONE);
    }

    /**
     * @param bits 5, 6, 7 or 8
     * @return a copy with these data bits
     * @throws IllegalArgumentException for any other count
     */
    public LineSettings withDataBits(int bits) {
        return new LineSettings(baud, bits, stopBits, parity, flowControl);
    }

    /**
     * @param bits 1 or 2
     * @return a copy with these stop bits
     * @throws IllegalArgumentException for any other count
     */
    public LineSettings withStopBits(int bits) {
        return new LineSettings(baud, dataBits, bits, parity, flowControl);
    }

    /**
     * @param newParity the parity
     * @return a copy with this parity
     * @throws NullPointerException when {@code newParity} is null
     */
    public LineSettings withParity(Parity newParity) {
        return new LineSettings(baud, dataBits, stopBits, newParity, flowControl);
    }

    /**
     * @param flow the flow control
     * @return a copy with this flow control
     * @throws NullPointerException when {@code flow} is null
     */
    public LineSettings withFlowControl(FlowControl flow) {
        return new LineSettings(baud, dataBits, stopBits, parity, flow);
    }

    /** @return the rate in bits per second */
    public int baud() {
        return baud;
    }

    /** @return 5 to 8 */
    public int dataBits() {
        return dataBits;
    }

    /** @return 1 or 2 */
    public int stopBits() {
        return stopBits;
    }

    /** @return the parity */
    public Parity parity() {
        return parity;
    }

    /** @return the flow control */
    public FlowControl flowControl() {
        return flowControl;
    }

    /**
     * How long one character takes on the wire: a start bit, the data bits,
     * the parity bit if any and the stop bits. Modbus RTU's frame gap is 3.5
     * of these (1.75 ms at rates above 19200).
     *
     * @return microseconds, rounded up
     */
    public long characterMicros() {
        long bits = 1 + dataBits + (parity == Parity.NONE ? 0 : 1) + stopBits;
        return (bits * 1_000_000L + baud - 1) / baud;
    }

    @Override
    public boolean equals(Object other) {
        return other instanceof LineSettings that && baud == that.baud && dataBits == that.dataBits
                && stopBits == that.stopBits && parity == that.parity && flowControl == that.flowControl;
    }

    @Override
    public int hashCode() {
        return Objects.hash(baud, dataBits, stopBits, parity, flowControl);
    }

    /** @return the usual short form, such as "115200 8N1" or "9600 7E2 RTS_CTS" */
    @Override
    public String toString() {
        return baud + " " + dataBits + parity.letter() + stopBits
                + (flowControl == FlowControl.NONE ? "" : " " + flowControl);
    }
}
