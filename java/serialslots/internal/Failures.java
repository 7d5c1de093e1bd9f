package serialslots.internal;

import java.io.IOException;
import java.net.ConnectException;
import java.net.NoRouteToHostException;
import java.net.ProtocolException;
import java.net.SocketTimeoutException;
import java.net.UnknownHostException;
import java.nio.file.AccessDeniedException;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.stream.Stream;
import javax.net.ssl.SSLException;
import serialslots.NotASerialPortException;
import serialslots.PortBusyException;
import serialslots.PortDisconnectedException;
import serialslots.PortInfo;
import serialslots.SerialTimeoutException;
import serialslots.SettingNotSupportedException;

/**
 * Every message of the connection API, in one place: each failure a
 * transport reports and each refused argument. It takes what it words as
 * plain values (names, numbers, the system's text for an errno), so that
 * neither the natives nor any transport need be there to word a message.
 */
public final class Failures {

    public static final String BAUD = "baud rate must be positive";
    public static final String DATA_BITS = "data bits must be 5 to 8";
    public static final String STOP_BITS = "stop bits must be 1 or 2";
    public static final String TIMEOUT = "a timeout cannot be negative";
    public static final String BREAK = "a break lasts at least 1 ms";
    public static final int BREAK_MOST_MILLIS = 60_000;
    public static final String BREAK_TOO_LONG = "a break lasts at most " + BREAK_MOST_MILLIS + " ms";
    public static final String EMPTY_NAME = "the port name is empty";
    public static final String DELAY = "an RS-485 delay cannot be negative";
    public static final String IDLE = "the idle time must be positive";

    /** The settings a refusal names. */
    public static final String SETTING_BAUD = "baud rate";
    public static final String SETTING_DATA_BITS = "data bits";
    public static final String SETTING_STOP_BITS = "stop bits";
    public static final String SETTING_PARITY = "parity";
    public static final String SETTING_FLOW_CONTROL = "flow control";

    /** The RS-485 fields a refusal names. */
    public static final String RS485_RTS_ON_SEND = "RTS on send";
    public static final String RS485_RTS_AFTER_SEND = "RTS after send";
    public static final String RS485_DELAY_BEFORE_SEND = "delay before send";
    public static final String RS485_DELAY_AFTER_SEND = "delay after send";
    public static final String RS485_RECEIVE_DURING_SEND = "receiving during send";
    public static final String RS485_TERMINATE_BUS = "bus termination";

    private Failures() {
    }

    public static IllegalArgumentException badArgument(String what, Object value) {
        return new IllegalArgumentException(what + ": " + value);
    }

    // How a call ended, when not as asked.

    public static SerialTimeoutException timedOut(String device, String operation, int timeoutMillis,
            int transferred, int length) {
        return new SerialTimeoutException(operation + " on " + device + " timed out after " + timeoutMillis + " ms"
                + sent(transferred, length), transferred);
    }

    /** A device gone for good; {@code why}, where known, says what ended it. */
    public static PortDisconnectedException disconnected(String device, int transferred, int length, String why) {
        return new PortDisconnectedException(device + " was disconnected" + (why == null ? "" : " (" + why + ")")
                + sent(transferred, length));
    }

    private static String sent(int transferred, int length) {
        return length > 0 ? " (" + transferred + " of " + length + " bytes sent)" : "";
    }

    public static IOException closed(String device) {
        return new IOException("the connection to " + device + " is closed");
    }

    public static IOException failed(String device, String operation, String systemText) {
        return new IOException(device + ": " + operation + " failed: " + systemText);
    }

    // Settings and modes a driver or server did not keep.

    /** The setting not kept, as asked for and as kept. */
    public static SettingNotSupportedException settingRefused(String device, String setting, Object asked,
            Object kept) {
        return new SettingNotSupportedException(device + ": the driver did not take " + setting + " " + asked
                + " (it kept " + kept + "); the line was left as it was");
    }

    public static IOException noBaudRate(String device) {
        return new IOException(device + ": the driver reports no baud rate");
    }

    public static IOException noCounters(String device, String systemText) {
        return new IOException(device + ": the driver keeps no line counters (" + systemText + ")");
    }

    public static SettingNotSupportedException noRs485(String device) {
        return new SettingNotSupportedException(device + ": the driver has no RS-485 mode");
    }

    /** An RS-485 field not kept: as asked for, as the driver would have set it, and the mode before kept. */
    public static SettingNotSupportedException rs485Refused(String device, String field, String asked,
            String offered) {
        return new SettingNotSupportedException(device + ": the driver did not take RS-485 " + field + " " + asked
                + " (it would give " + offered + "); the RS-485 mode before was kept");
    }

    public static String level(boolean high) {
        return high ? "high" : "low";
    }

    public static SettingNotSupportedException noLatencyControl(String device, boolean wanted) {
        return new SettingNotSupportedException(device + ": the driver did not take low latency " + (wanted ? "on"
                : "off"));
    }

    /** A control a transport cannot carry, such as RS-485 over RFC 2217. */
    public static SettingNotSupportedException notCarried(String device, String control, String transport) {
        return new SettingNotSupportedException(device + ": " + transport + " has no " + control);
    }

    public static IllegalStateException notMarking(String device) {
        return new IllegalStateException(device + ": opened without PortOption.MARK_ERRORS, so no byte's error is"
                + " known");
    }

    /** 9-bit words need 8 data bits and a driver that marks a wrong parity bit. */
    public static SettingNotSupportedException noNinthBit(String device, String why) {
        return new SettingNotSupportedException(device + ": no 9-bit words: " + why);
    }

    public static final String NINE_BIT_TRANSPORT = "only a device of this machine carries a ninth bit";
    public static final String NINE_BIT_DATA_BITS = "the line must have 8 data bits";
    public static final String NINE_BIT_MARKS = "the connection must be opened with PortOption.MARK_ERRORS";
    public static final String NINE_BIT_DRIVER = "the driver keeps no line error counts and so marks no parity bit";
    public static final String NINE_BIT_WORD = "a 9-bit word is 0 to 511";

    // Opening a device of this machine.

    /** A device held elsewhere; {@code guardianPid} is this process's own helper, not another holder. */
    public static PortBusyException busy(String device, long guardianPid) {
        return new PortBusyException(device + ": in use" + holders(device, guardianPid));
    }

    public static NotASerialPortException notASerialPort(String device) {
        Path path = Path.of(device);
        String kind = Files.isDirectory(path) ? "a directory" : Files.isRegularFile(path) ? "a regular file"
                : "no terminal";
        return new NotASerialPortException(device + ": not a serial device (" + kind + ")");
    }

    public static NotASerialPortException pseudoTerminalMultiplexer(String device) {
        return new NotASerialPortException(device + ": not a serial device (the multiplexer that makes "
                + "pseudo-terminals)");
    }

    public static IOException outOfMemory(String device) {
        return new IOException(device + ": out of memory");
    }

    public static NoSuchFileException missing(String device) {
        return new NoSuchFileException(device, null, "no such serial device");
    }

    public static NoSuchFileException noDevice(String device, String systemText) {
        return new NoSuchFileException(device, null, "no such serial device (" + systemText + ")");
    }

    public static AccessDeniedException accessDenied(String device) {
        return new AccessDeniedException(device, null, "permission denied; on Debian and Ubuntu serial devices "
                + "belong to the group 'dialout': sudo usermod -aG dialout $USER, then log in again");
    }

    public static IOException noGuardian(String device) {
        return new IOException(device + ": cannot be opened exclusively: the helper process that gives the port "
                + "back if this program dies could not start here (a system that runs no program from memory, or "
                + "1024 ports held already); openShared needs none");
    }

    public static IOException cannotOpen(String device, String systemText) {
        return new IOException(device + ": cannot open: " + systemText);
    }

    // Virtual devices.

    public static final String VIRTUAL_TAKEN = "a virtual device of this name exists already";

    public static IllegalArgumentException badVirtualName(String name) {
        return new IllegalArgumentException(name + ": a virtual device's name is letters, digits, '.', '_' and '-'");
    }

    /** No virtual device plugged in answers to `name`; `there` lists those that are. */
    public static NoSuchFileException noVirtualDevice(String name, List<String> there) {
        return new NoSuchFileException(name, null, "no such virtual device (" + (there.isEmpty()
                ? "there is none" : "there are " + String.join(", ", there)) + ")");
    }

    public static String responderThrew(String device, Throwable thrown) {
        return device + ": the responder threw " + thrown + "; the device goes on (said once)";
    }

    /** A device held by another connection of this process. */
    public static PortBusyException busyHere(String device) {
        String command;
        try {
            command = Files.readString(Path.of("/proc/self/comm")).strip();
        } catch (IOException | RuntimeException unreadable) {
            command = "java";
        }
        return new PortBusyException(device + ": in use (held by process " + ProcessHandle.current().pid() + " ("
                + command + "), this one)");
    }

    // Frames.

    public static final String FRAME_LENGTH = "a frame's length must be positive";
    public static final String FRAME_TOO_LONG = "a frame longer than its framing's bound was dropped";
    public static final String LENGTH_FIELD = "a length field is 1, 2 or 4 bytes after 0 or more header bytes";
    public static final String EMPTY_DELIMITER = "a delimiter cannot be empty";
    public static final String DELIMITER_IN_PAYLOAD = "the payload holds the end delimiter, at byte";

    public static String frameTooLong(String device, int length, int max) {
        return device + ": a frame of " + length + " bytes was dropped (longer than " + max + ")";
    }

    public static String badFrame(String device, int length) {
        return device + ": a badly encoded frame of " + length + " bytes was dropped";
    }

    /** Why bytes made no frame, for a frame listener. */
    public static String frameDropped(String why, int max) {
        return switch (why) {
            case "TOO_LONG" -> "longer than " + max + " bytes";
            case "BAD_ENCODING" -> "badly encoded";
            case "NOISE" -> "noise before a start";
            default -> "unfinished when the device went away";
        };
    }

    // Records of what passes.

    public static IllegalArgumentException badSpyName(String name) {
        return new IllegalArgumentException(name + ": a spy is named spy://PORT?file=PATH (PATH - for standard "
                + "error), PORT any other port's name");
    }

    public static String cannotRecord(String name, String file, String why) {
        return name + ": cannot write the record to " + file + " (" + why + "); the connection goes on without it";
    }

    // Events and ports that come and go.

    public static IOException noEventSet() {
        return new IOException("cannot wait for events: the system refused an epoll set");
    }

    public static IOException cannotWatch(String systemText) {
        return new IOException("cannot watch for ports: " + systemText);
    }

    public static IllegalArgumentException badUsbName(String name) {
        return new IllegalArgumentException(name + ": a USB adapter is named usb:VVVV:PPPP or usb:VVVV:PPPP:SERIAL"
                + ", with its vendor and product ids in hex, as lsusb shows them");
    }

    /** No adapter, or more than one, answers to a usb: name; `found` lists the USB serial ports there are. */
    public static IOException usbNotFound(String name, List<PortInfo> matching, List<PortInfo> found) {
        String there = found.isEmpty() ? "no USB serial port is plugged in"
                : "plugged in: " + String.join("; ", found.stream().map(PortInfo::toString).toList());
        if (matching.isEmpty()) {
            return new NoSuchFileException(name, null, "no such adapter plugged in (" + there + ")");
        }
        return new IOException(name + ": " + matching.size() + " adapters answer to it ("
                + String.join("; ", matching.stream().map(PortInfo::toString).toList())
                + "); name one by its serial number: usb:VVVV:PPPP:SERIAL");
    }

    // Ports of other machines.

    /** A remote port's name that cannot be used, why, and what such a name looks like. */
    public static IllegalArgumentException badRemoteName(String name, String why, String form) {
        return new IllegalArgumentException(name + ": " + why + "; a remote port is named " + form
                + ", optionally with ?timeout=MILLIS");
    }

    public static IllegalArgumentException badLoopName(String name) {
        return new IllegalArgumentException(name + ": a loop is named loop:// and takes nothing after it");
    }

    public static IllegalArgumentException badTimeoutProperty(String property, String value) {
        return new IllegalArgumentException(property + "=" + value + ": the timeout must be a whole number of "
                + "milliseconds, 0 or more (0: no limit)");
    }

    public static IOException notRfc2217(String name, String why) {
        return new IOException(name + ": the server does not speak RFC 2217: " + why);
    }

    /** What the server broke of the protocol, for the reader of its stream. */
    public static ProtocolException telnetBreach(String what) {
        return new ProtocolException("the server broke the telnet protocol: " + what);
    }

    /** An answer out of the protocol's range for its command. */
    public static ProtocolException badAnswer(String port, String command, long value) {
        return new ProtocolException(port + ": the server broke RFC 2217: it answered " + command + " with " + value
                + ", which no serial line has");
    }

    public static IOException brokeProtocol(String name, String breach) {
        return new IOException(name + ": " + breach);
    }

    /** The server ended the connection while it was being opened; `words` is what it said, if anything. */
    public static IOException droppedWhileOpening(String name, String words, boolean spokeTheProtocol) {
        if (!spokeTheProtocol && (words.isEmpty() || words.matches("(?i).*(in use|busy).*"))) {
            return new PortBusyException(name + ": the server dropped the connection"
                    + (words.isEmpty() ? "" : ", saying \"" + words + "\"")
                    + " (the port is in use, or the server took no more clients)");
        }
        if (words.isEmpty()) {
            return new IOException(name + ": the server closed the connection while it was being opened");
        }
        return new IOException(name + ": the server dropped the connection, saying \"" + words + "\"");
    }

    /** What a failed connection to a remote port becomes: said with its name and what failed. */
    public static IOException remote(String name, int timeoutMillis, Exception failure) {
        if (failure instanceof RuntimeException unexpected) {
            throw unexpected;
        }
        if (failure instanceof SocketTimeoutException) {
            return new IOException(name + ": the server did not answer within " + timeoutMillis + " ms", failure);
        }
        if (failure instanceof ConnectException || failure instanceof UnknownHostException
                || failure instanceof NoRouteToHostException) {
            return new IOException(name + ": cannot connect: " + failure.getMessage(), failure);
        }
        if (failure instanceof SSLException) {
            return new IOException(name + ": TLS refused: " + failure.getMessage(), failure);
        }
        if (failure instanceof IOException io && (io.getMessage() == null || !io.getMessage().contains(name))) {
            return new IOException(name + ": " + io.getMessage(), io);
        }
        return (IOException) failure;
    }

    /** " (held by process 1234 (minicom))" for the processes that have the device open, where visible. */
    private static String holders(String device, long guardianPid) {
        List<String> found = new ArrayList<>();
        try {
            Path target = Path.of(device);
            String guardian = String.valueOf(guardianPid);
            try (Stream<Path> processes = Files.list(Path.of("/proc"))) {
                processes.filter(p -> p.getFileName().toString().matches("\\d+")
                        && !p.getFileName().toString().equals(guardian)).forEach(process -> {
                    try (Stream<Path> fds = Files.list(process.resolve("fd"))) {
                        // The same inode, not the same name: in another mount namespace
                        // /dev/pts/3 may be another device altogether.
                        if (fds.anyMatch(fd -> sameFile(target, fd))) {
                            String name = Files.readString(process.resolve("comm")).strip();
                            found.add("process " + process.getFileName() + " (" + name + ")"
                                    + (ProcessHandle.current().pid() == Long.parseLong(process.getFileName().toString())
                                            ? ", this one" : ""));
                        }
                    } catch (IOException | RuntimeException unreadable) {
                        // another user's process, or one that just ended
                    }
                });
            }
        } catch (IOException | RuntimeException unreadable) {
            return "";
        }
        return found.isEmpty() ? "" : " (held by " + String.join(", ", found) + ")";
    }

    private static boolean sameFile(Path device, Path descriptor) {
        try {
            return Files.isSameFile(device, descriptor);
        } catch (IOException | RuntimeException gone) {
            return false;
        }
    }
}
