package core;

import serialslots.internal.NativeLibrary;

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
    public static final String LIBRARY_PROPERTY = NativeLibrary.PROPERTY;

    /** Name of the native library for {@link System#loadLibrary}: "serialslots-" and the version. */
    public static final String LIBRARY_NAME = NativeLibrary.NAME;

    static {
        NativeLibrary.load();
    }

    /** The natives are static; an instance carries no state and exists only for callers that want one. */
    public SerialPort() {
    }

    /**
     * The folder in the jar that holds the native files for this machine.
     *
     * @return the folder, such as "/native/linux-x86_64"
     */
    public static String nativeResources() {
        return NativeLibrary.resourceDirectory();
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
     * Opens a port and programs its line: raw mode (no CR/LF mapping, no
     * XON/XOFF, no output processing), the receiver on, modem lines ignored,
     * non-blocking. A port that is open already is opened again, and the
     * earlier descriptor released.
     *
     * @param port "COM0" to "COM40" (/dev/ttyS0 to /dev/ttyS40) or "COMUSB0" to
     *     "COMUSB40" (/dev/ttyUSB0 to /dev/ttyUSB40), exactly so written
     * @param baudRate "110", "300", "600", "1200", "2400", "4800", "9600", "19200",
     *     "38400", "57600", "115200" or "460800"
     * @param byteSize "8" or "7"
     * @param stopBits "1" or "2"
     * @param parity "N" (none), "E" (even), "0" (odd: the digit zero) or "S" (space)
     * @return 1; failures are thrown as {@link Exception}: "Serial port does not
     *     exits." for any other name, "Error setting serial port COM5 = /dev/ttyS5."
     *     when the device cannot be opened, "Error set parameters." when a
     *     setting is not accepted or the device is no terminal (for COM0 and
     *     COMUSB0: "Error set parameters COM0 = /dev/ttyS0."); the device is
     *     then closed again and left as it was
     */
    public static native int openPortC(String port, String baudRate, String byteSize,
            String stopBits, String parity);

    /**
     * Sends one byte without waiting.
     *
     * @param port the name of an open port
     * @param data the byte in its low 8 bits; the rest is ignored (-1 sends 0xFF)
     * @return 1 when the byte was queued; failures are thrown as
     *     {@link Exception}: "Serial port does not exits." for an unknown name,
     *     "Can not be write serial port COM5 = /dev/ttyS5." when the write
     *     fails, such as on a full output queue (the byte is not sent)
     */
    public static native int writeDataInt(String port, int data);

    /**
     * Sends one byte without waiting.
     *
     * @param port the name of an open port
     * @param data the byte in its low 8 bits (U+00E9 sends 0xE9, U+20AC sends 0xAC)
     * @return 1; failures are thrown as for {@link #writeDataInt}
     */
    public static native int writePortC(String port, char data);

    /**
     * Sends the first byte of the string's modified UTF-8 form without waiting.
     *
     * @param port the name of an open port
     * @param data the string: "ABC" sends 0x41, "" sends 0x00, "\u00e9" sends 0xC3
     * @return 1; failures are thrown as for {@link #writeDataInt}, and a null
     *     {@code data} for a known port as {@link NullPointerException}
     */
    public static native int writePortC(String port, String data);

    /**
     * Takes the next received byte without waiting.
     *
     * @param port the name of an open port
     * @return the byte as 0 to 255; 0 when none is waiting, which a received
     *     0x00 also gives; "Can not be read serial port." is thrown as
     *     {@link Exception} for an unknown name
     */
    public static native int readDataInt(String port);

    /**
     * Takes the next received byte without waiting, sign-extended to a char.
     *
     * @param port the name of an open port
     * @return the byte widened with its sign (0x80 gives U+FF80; cast it back
     *     with {@code (byte)}); U+0000 when none is waiting, which a received
     *     0x00 also gives; thrown as for {@link #readDataInt}
     */
    public static native char readPortLikeCharC(String port);

    /**
     * Takes the next received byte without waiting, as a one-character string.
     *
     * @param port the name of an open port
     * @return the character U+0000 to U+00FF of the byte; "" when none is
     *     waiting, which a received 0x00 also gives; thrown as for {@link #readDataInt}
     */
    public static native String readPortC(String port);

    /**
     * Closes a port. Closing a port that is not open does nothing.
     *
     * @param port a port name
     * @return 1; "Serial port does not exits." is thrown as {@link Exception}
     *     for an unknown name
     */
    public static native int closePortC(String port);

    /**
     * Tells whether a device can be opened read-write now, by opening and
     * closing it at once. The slot table is not consulted.
     *
     * @param devicePath a path such as "/dev/ttyUSB0"
     * @return "free" when the open succeeded, else "busy" (no such path, no
     *     permission, a directory, a device in exclusive use); never throws
     */
    public static native String getStateSerialPortC(String devicePath);

    /**
     * Does nothing: no call of this class ever waits.
     *
     * @return 1
     */
    public static native int setTimeOutSerialPortC();
}
