package serialslots.local;

import serialslots.FlowControl;
import serialslots.Parity;
import serialslots.internal.NativeLibrary;

/**
 * The natives behind local connections, events and hot-plug, and every code that crosses
 * with them. The native side checks each constant at compile time against the
 * header javac writes from this class, so a change on one side only fails the
 * build.
 *
 * <p>Every call but {@code open} answers a result: how the call ended in the
 * high 32 bits (a status in the low byte, the errno above it) and what it moved
 * or read in the low 32 bits. {@code open} answers a handle, a whole long, and
 * fills a report laid out by the {@code REPORT_} positions; so do
 * {@code readSettings} and {@code reconfigure}.
 */
public final class NativeConnection {

    /** How a call ended. */
    public static final int DONE = 0;
    public static final int TIMED_OUT = 1;
    /** The device went away: for good. */
    public static final int HUNG_UP = 2;
    /** The connection was closed, before or during the call. */
    public static final int CLOSED = 3;
    /** A system call failed; the errno says why. */
    public static final int FAILED = 4;
    /** A step that does not wait found nothing to do yet. */
    public static final int WOULD_BLOCK = 5;

    /** What an open may ask besides the settings, as bits. */
    public static final int OPTION_MARK_ERRORS = 1;
    public static final int OPTION_HOLD_DTR = 2;

    /** Why an open failed. */
    public static final int OPENED = 0;
    public static final int OPEN_FAILED = 1;
    public static final int OPEN_BUSY = 2;
    public static final int OPEN_NOT_A_TERMINAL = 3;
    public static final int OPEN_SETTING_REFUSED = 4;
    public static final int OPEN_NO_MEMORY = 5;
    public static final int OPEN_MISSING = 6;
    public static final int OPEN_NO_DEVICE = 7;
    public static final int OPEN_ACCESS_DENIED = 8;
    public static final int OPEN_NO_GUARDIAN = 9;

    /** The setting a driver did not keep. */
    public static final int SETTING_NONE = 0;
    public static final int SETTING_BAUD = 1;
    public static final int SETTING_DATA_BITS = 2;
    public static final int SETTING_STOP_BITS = 3;
    public static final int SETTING_PARITY = 4;
    public static final int SETTING_FLOW_CONTROL = 5;

    public static final int PARITY_NONE = 0;
    public static final int PARITY_ODD = 1;
    public static final int PARITY_EVEN = 2;
    public static final int PARITY_MARK = 3;
    public static final int PARITY_SPACE = 4;

    public static final int FLOW_NONE = 0;
    public static final int FLOW_RTS_CTS = 1;
    public static final int FLOW_XON_XOFF = 2;

    /** Modem lines, as bits. */
    public static final int LINE_CTS = 1;
    public static final int LINE_DSR = 2;
    public static final int LINE_DCD = 4;
    public static final int LINE_RI = 8;
    public static final int LINE_RTS = 16;
    public static final int LINE_DTR = 32;

    /** What a poller waits for on a connection, each on a descriptor of its own. */
    public static final int WATCH_EVENTS = 0;
    public static final int WATCH_READ = 1;
    public static final int WATCH_WRITE = 2;

    /** What a poller found ready, as bits. */
    public static final int READY_IN = 1;
    public static final int READY_OUT = 2;
    public static final int READY_HANG_UP = 4;
    /** The token a poller's wake comes with; registrations' tokens start above it. */
    public static final long WOKEN = 0;

    /** Positions of the driver's counts. */
    public static final int COUNTER_RECEIVED = 0;
    public static final int COUNTER_TRANSMITTED = 1;
    public static final int COUNTER_BREAKS = 2;
    public static final int COUNTER_FRAMING_ERRORS = 3;
    public static final int COUNTER_PARITY_ERRORS = 4;
    public static final int COUNTER_OVERRUNS = 5;
    public static final int COUNTER_BUFFER_OVERRUNS = 6;
    public static final int COUNTER_CTS_CHANGES = 7;
    public static final int COUNTER_DSR_CHANGES = 8;
    public static final int COUNTER_DCD_CHANGES = 9;
    public static final int COUNTER_RING_INDICATIONS = 10;
    public static final int COUNTER_LENGTH = 11;

    /** The RS-485 field a driver did not keep (RS485_KEPT: none; RS485_NO_MODE: it has no such mode), and
     * the positions of the RS-485 report: the field not kept, then what the driver holds, each field at
     * the position its code names. */
    public static final int RS485_KEPT = 0;
    public static final int RS485_NO_MODE = 1;
    public static final int RS485_RTS_ON_SEND = 2;
    public static final int RS485_RTS_AFTER_SEND = 3;
    public static final int RS485_DELAY_BEFORE_SEND = 4;
    public static final int RS485_DELAY_AFTER_SEND = 5;
    public static final int RS485_RECEIVE_DURING_SEND = 6;
    public static final int RS485_TERMINATE_BUS = 7;
    public static final int RS485_REFUSED = 0;
    public static final int RS485_ENABLED = 1;
    public static final int RS485_REPORT_LENGTH = 8;

    /** Positions in a report. */
    public static final int REPORT_FAILURE = 0;
    public static final int REPORT_ERRNO = 1;
    public static final int REPORT_REFUSED = 2;
    public static final int REPORT_BAUD = 3;
    public static final int REPORT_DATA_BITS = 4;
    public static final int REPORT_STOP_BITS = 5;
    public static final int REPORT_PARITY = 6;
    public static final int REPORT_FLOW = 7;
    public static final int REPORT_LENGTH = 8;

    static {
        NativeLibrary.load();
    }

    private NativeConnection() {
    }

    /** A result as the natives give it: how the call ended above what it moved or read. */
    public static long result(int code, long value) {
        return (long) code << 32 | value;
    }

    /** How a call ended: a status with the errno above it. */
    public static int code(long result) {
        return (int) (result >>> 32);
    }

    /** What the call moved or read. */
    public static int value(long result) {
        return (int) result;
    }

    public static int status(int code) {
        return code & 0xFF;
    }

    /** How a call ended, without its errno. */
    public static int statusOf(long result) {
        return status(code(result));
    }

    public static int errno(int code) {
        return code >>> 8;
    }

    /** The system's text for the errno a failed result carries. */
    public static String errorText(long result) {
        return describeError(errno(code(result)));
    }

    public static int parityCode(Parity parity) {
        return switch (parity) {
            case NONE -> PARITY_NONE;
            case ODD -> PARITY_ODD;
            case EVEN -> PARITY_EVEN;
            case MARK -> PARITY_MARK;
            case SPACE -> PARITY_SPACE;
        };
    }

    public static Parity parityOf(int code) {
        return switch (code) {
            case PARITY_ODD -> Parity.ODD;
            case PARITY_EVEN -> Parity.EVEN;
            case PARITY_MARK -> Parity.MARK;
            case PARITY_SPACE -> Parity.SPACE;
            default -> Parity.NONE;
        };
    }

    public static int flowCode(FlowControl flow) {
        return switch (flow) {
            case NONE -> FLOW_NONE;
            case RTS_CTS -> FLOW_RTS_CTS;
            case XON_XOFF -> FLOW_XON_XOFF;
        };
    }

    public static FlowControl flowOf(int code) {
        return switch (code) {
            case FLOW_RTS_CTS -> FlowControl.RTS_CTS;
            case FLOW_XON_XOFF -> FlowControl.XON_XOFF;
            default -> FlowControl.NONE;
        };
    }

    /** The handle, or 0 with the report filled. */
    public static native long open(String path, boolean exclusive, int baud, int dataBits, int stopBits, int parity,
            int flow, int options, int[] report);

    /** At least one byte read, or how the call ended. */
    public static native long read(long handle, byte[] buffer, int offset, int length, int timeoutMillis);

    /** The bytes written, and how the call ended. */
    public static native long write(long handle, byte[] buffer, int offset, int length, int timeoutMillis);

    public static native long available(long handle);

    public static native long drain(long handle, int timeoutMillis);

    public static native long discard(long handle, boolean input);

    /** RS-485 on with these fields, or off; fills the RS-485 report. */
    public static native long setRs485(long handle, boolean enable, boolean rtsOnSend, boolean rtsAfterSend,
            int delayBeforeSend, int delayAfterSend, boolean receiveDuringSend, boolean terminateBus, int[] report);

    public static native long readRs485(long handle, int[] report);

    /** Low latency on or off; the value is 1 on, 0 off, -1 where the driver has no such control or did not keep it. */
    public static native long setLowLatency(long handle, boolean on);

    public static native long readLowLatency(long handle);

    /** Waits for a first byte as read does, then takes bytes until the line is silent for idleMicros. */
    public static native long readUntilIdle(long handle, byte[] buffer, int offset, int length, int timeoutMillis,
            int idleMicros);

    /** Starts or ends a break; closing ends one still going. */
    public static native long setBreak(long handle, boolean on);

    /** One read that does not wait: the bytes read, or WOULD_BLOCK. */
    public static native long readNow(long handle, byte[] buffer, int offset, int length);

    /** One write that does not wait: the bytes written, or WOULD_BLOCK. */
    public static native long writeNow(long handle, byte[] buffer, int offset, int length);

    /** DONE once the output queue is empty, else WOULD_BLOCK. */
    public static native long outputQueued(long handle);

    /** Fills the COUNTER_ positions. */
    public static native long counters(long handle, long[] counts);

    /** Waits until a modem input line changes; CLOSED when closed or stopped. */
    public static native long awaitModemChange(long handle);

    /** Stops (and wakes) modem waits, or lets them happen again. */
    public static native void stopModemWaits(long handle, boolean stop);

    /** Has the poller wait for WATCH_ kind on the connection, with a token; re-arms a one-shot kind. */
    public static native long watch(long handle, long poller, int kind, long token);

    public static native void unwatch(long handle, long poller, int kind);

    /** A new poller, or 0. */
    public static native long createPoller();

    public static native void destroyPoller(long poller);

    /** Waits up to timeoutMillis (-1: without limit); fills tokens and READY_ bits; how many, or -1. */
    public static native int awaitReady(long poller, long[] tokens, int[] readiness, int timeoutMillis);

    /** Ends every thread's wait, now and at once again, until clearWake; the wake comes as the token WOKEN. */
    public static native void wakePoller(long poller);

    public static native void clearWake(long poller);

    /** A socket on the kernel's uevents, or minus the errno. */
    public static native int openUevents();

    /** "+ttyUSB0" for an added tty, "-ttyUSB0" for a removed one, "" for another message, null when none waits. */
    public static native String nextTtyEvent(int socket);

    /** Has the poller tell of each new arrival on a descriptor, with a token. */
    public static native long watchDescriptor(long poller, int fd, long token);

    public static native void closeDescriptor(int fd);

    /** {@code line}: LINE_RTS or LINE_DTR. */
    public static native long setModemLine(long handle, int line, boolean on);

    /** The LINE_ bits that are set. */
    public static native long modemLines(long handle);

    /** Fills the report's settings. */
    public static native long readSettings(long handle, int[] report);

    /** Fills the report: the refused setting, and what the driver kept. */
    public static native long reconfigure(long handle, int baud, int dataBits, int stopBits, int parity, int flow,
            int[] report);

    /** Closes; queued output may leave while it moves, for up to lingerMillis (0: as long as it moves). */
    public static native void close(long handle, int lingerMillis);

    /** Frees the handle; nothing may use it afterwards. */
    public static native void release(long handle);

    /** The system's text for an errno. */
    public static native String describeError(int error);

    /** Whether an errno says the driver has no such request, rather than that one call failed. */
    public static native boolean driverLacks(int error);

    /** The process that guards this one's exclusive opens (it holds their devices too), or 0. */
    public static native long guardianPid();

    /** The device path of a port name of the slot table, or null. */
    public static native String slotDevice(String name);
}
