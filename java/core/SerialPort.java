package core;

/**
 * Linux serial ports by name: "COM0" to "COM40" are /dev/ttyS0 to /dev/ttyS40,
 * "COMUSB0" to "COMUSB40" are /dev/ttyUSB0 to /dev/ttyUSB40.
 *
 * <p>Every transfer moves one byte and never waits: a read with nothing
 * waiting answers its no-byte value (0, U+0000 or ""), which a received zero
 * byte also gives. Failures are thrown as {@link Exception} with the library's
 * own message, for example "Error setting serial port COM5 = /dev/ttyS5.".
 * They are raised from native code and so are not declared; catch
 * {@link Exception} around the calls.
 */
public final class SerialPort {

    /** System property naming the native library file to load. */
    public static final String LIBRARY_PROPERTY = "serialslots.library";

    /** Name of the native library for {@link System#loadLibrary}. */
    public static final String LIBRARY_NAME = "serialslots";

    static {
        NativeLoader.load();
    }

    /** The natives are static; an instance carries no state and exists only for callers that want one. */
    public SerialPort() {
    }

    /**
     * The folder in the jar that holds the native files for this machine,
     * such as "/native/linux-x86_64".
     */
    public static String nativeResources() {
        return NativeLoader.resourceDirectory();
    }

    /**
     * Loads the native library now, so that a failure to find it shows here
     * rather than at the first port operation. Calling it again does nothing.
     *
     * @throws UnsatisfiedLinkError naming each way tried and why it failed
     */
    public static void load() {
        // Reaching this method has run the class's initialiser, which loads.
    }

    /**
     * Opens a port and programs its line. Baud rate: 110, 300, 600, 1200, 2400,
     * 4800, 9600, 19200, 38400, 57600, 115200 or 460800; byte size "8" or "7";
     * stop bits "1" or "2"; parity "N", "E", "0" (odd, the digit zero) or "S".
     */
    public static native int openPortC(String port, String baudRate, String byteSize,
            String stopBits, String parity);

    /** Sends the low 8 bits of {@code data}; answers 1 when the byte was queued. */
    public static native int writeDataInt(String port, int data);

    /** Sends the low 8 bits of {@code data}. */
    public static native int writePortC(String port, char data);

    /** Sends the first byte of {@code data}'s modified UTF-8 form (0x00 for ""). */
    public static native int writePortC(String port, String data);

    /** The next received byte as 0 to 255, or 0 when none is waiting. */
    public static native int readDataInt(String port);

    /** The next received byte sign-extended to a char; cast back with {@code (byte)}. */
    public static native char readPortLikeCharC(String port);

    /** The next received byte as a one-character string, or "" when none is waiting. */
    public static native String readPortC(String port);

    /** Closes the port; answers 1. */
    public static native int closePortC(String port);

    /** "free" when {@code devicePath} can be opened read-write now, else "busy". */
    public static native String getStateSerialPortC(String devicePath);

    /** Answers 1; no timeout exists, since no call ever waits. */
    public static native int setTimeOutSerialPortC();
}
