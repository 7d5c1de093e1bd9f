package serialslots;

/**
 * The natives behind {@link SerialConnection}. Outcomes come back as codes: a
 * status in the low byte (0 done, 1 timed out, 2 hung up, 3 closed, 4 failed)
 * with the errno above it; {@link Failures} turns them into exceptions.
 */
final class NativeConnection {

    static final int DONE = 0;
    static final int TIMED_OUT = 1;
    static final int HUNG_UP = 2;
    static final int CLOSED = 3;
    static final int FAILED = 4;

    static {
        core.SerialPort.load();
    }

    private NativeConnection() {
    }

    /** The handle, or 0 with {failure kind, errno, refused setting, and the six values the driver kept}. */
    static native long open(String path, boolean exclusive, int baud, int dataBits, int stopBits, int parity,
            int flow, int[] failure);

    /** Bytes read (at least 1), or minus a code. */
    static native int read(long handle, byte[] buffer, int offset, int length, int timeoutMillis);

    /** The code in the high half, the bytes written in the low half. */
    static native long write(long handle, byte[] buffer, int offset, int length, int timeoutMillis);

    static native int available(long handle);

    static native int drain(long handle, int timeoutMillis);

    static native int discard(long handle, boolean input);

    static native int sendBreak(long handle, int millis);

    /** {@code line}: 16 for RTS, 32 for DTR. */
    static native int setModemLine(long handle, int line, boolean on);

    /** Bits 1 CTS, 2 DSR, 4 DCD, 8 RI, 16 RTS, 32 DTR; or minus a code. */
    static native int modemLines(long handle);

    /** Fills {refused (0), baud, data bits, stop bits, parity, flow}. */
    static native int readSettings(long handle, int[] settings);

    /** Fills {refused setting, and what the driver kept}. */
    static native int reconfigure(long handle, int baud, int dataBits, int stopBits, int parity, int flow,
            int[] refusal);

    static native void close(long handle);

    /** Frees the handle; nothing may use it afterwards. */
    static native void release(long handle);

    /** The system's text for an errno. */
    static native String describeError(int error);

    /** The device path of a port name of the slot table, or null. */
    static native String slotDevice(String name);
}
