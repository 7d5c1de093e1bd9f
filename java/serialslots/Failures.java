package serialslots;

import java.io.IOException;
import java.nio.file.AccessDeniedException;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.stream.Stream;

/**
 * Every message of the connection API, in one place: the exception each
 * native outcome becomes, and each refused argument.
 */
final class Failures {

    static final String BAUD = "baud rate must be positive";
    static final String DATA_BITS = "data bits must be 5 to 8";
    static final String STOP_BITS = "stop bits must be 1 or 2";
    static final String TIMEOUT = "a timeout cannot be negative";
    static final String BREAK = "a break lasts at least 1 ms";
    static final String EMPTY_NAME = "the port name is empty";
    static final String DELAY = "an RS-485 delay cannot be negative";
    static final String IDLE = "the idle time must be positive";

    private Failures() {
    }

    static IllegalArgumentException badArgument(String what, Object value) {
        return new IllegalArgumentException(what + ": " + value);
    }

    static IOException noCounters(String device, int errno) {
        return new IOException(device + ": the driver keeps no line counters ("
                + NativeConnection.describeError(errno) + ")");
    }

    /** What an RS-485 report says was not kept, as asked for and as kept; null when all was. */
    static SettingNotSupportedException rs485Refused(String device, int[] report, Rs485 wanted) {
        int field = report[NativeConnection.RS485_REFUSED];
        if (field == NativeConnection.RS485_KEPT) {
            return null;
        }
        if (field == NativeConnection.RS485_NO_MODE) {
            return new SettingNotSupportedException(device + ": the driver has no RS-485 mode");
        }
        int kept = report[field];
        String[] nameAsked = switch (field) {
            case NativeConnection.RS485_RTS_ON_SEND -> new String[] {"RTS on send", level(wanted.rtsOnSend())};
            case NativeConnection.RS485_RTS_AFTER_SEND -> new String[] {"RTS after send", level(wanted.rtsAfterSend())};
            case NativeConnection.RS485_DELAY_BEFORE_SEND -> new String[] {"delay before send",
                wanted.delayBeforeSendMillis() + " ms"};
            case NativeConnection.RS485_DELAY_AFTER_SEND -> new String[] {"delay after send",
                wanted.delayAfterSendMillis() + " ms"};
            case NativeConnection.RS485_RECEIVE_DURING_SEND -> new String[] {"receiving during send",
                String.valueOf(wanted.receiveDuringSend())};
            default -> new String[] {"bus termination", String.valueOf(wanted.terminateBus())};
        };
        String keptText = switch (field) {
            case NativeConnection.RS485_RTS_ON_SEND, NativeConnection.RS485_RTS_AFTER_SEND -> level(kept != 0);
            case NativeConnection.RS485_DELAY_BEFORE_SEND, NativeConnection.RS485_DELAY_AFTER_SEND -> kept + " ms";
            default -> String.valueOf(kept != 0);
        };
        return new SettingNotSupportedException(device + ": the driver did not take RS-485 " + nameAsked[0] + " "
                + nameAsked[1] + " (it kept " + keptText + "); the line was left as it was");
    }

    private static String level(boolean high) {
        return high ? "high" : "low";
    }

    static SettingNotSupportedException noLatencyControl(String device, boolean wanted) {
        return new SettingNotSupportedException(device + ": the driver did not take low latency " + (wanted ? "on"
                : "off"));
    }

    static IOException cannotWatch(int errno) {
        return new IOException("cannot watch for ports: " + NativeConnection.describeError(errno));
    }

    static IllegalArgumentException badUsbName(String name) {
        return new IllegalArgumentException(name + ": a USB adapter is named usb:VVVV:PPPP or usb:VVVV:PPPP:SERIAL"
                + ", with its vendor and product ids in hex, as lsusb shows them");
    }

    /** No adapter, or more than one, answers to a usb: name; `found` lists the USB serial ports there are. */
    static IOException usbNotFound(String name, List<PortInfo> matching, List<PortInfo> found) {
        String there = found.isEmpty() ? "no USB serial port is plugged in"
                : "plugged in: " + String.join("; ", found.stream().map(PortInfo::toString).toList());
        if (matching.isEmpty()) {
            return new NoSuchFileException(name, null, "no such adapter plugged in (" + there + ")");
        }
        return new IOException(name + ": " + matching.size() + " adapters answer to it ("
                + String.join("; ", matching.stream().map(PortInfo::toString).toList())
                + "); name one by its serial number: usb:VVVV:PPPP:SERIAL");
    }

    static IllegalArgumentException badRemoteName(String name) {
        return new IllegalArgumentException(name + ": a remote port is named rfc2217://host:port or "
                + "rfc2217s://host:port");
    }

    static IOException notRfc2217(String name, String why) {
        return new IOException(name + ": the server does not speak RFC 2217: " + why);
    }

    /** What a failed connection to a remote port becomes: said with its name and what failed. */
    static IOException remote(String name, int timeoutMillis, Exception failure) {
        if (failure instanceof RuntimeException unexpected) {
            throw unexpected;
        }
        if (failure instanceof java.net.SocketTimeoutException) {
            return new IOException(name + ": the server did not answer within " + timeoutMillis + " ms", failure);
        }
        if (failure instanceof java.net.ConnectException || failure instanceof java.net.UnknownHostException
                || failure instanceof java.net.NoRouteToHostException) {
            return new IOException(name + ": cannot connect: " + failure.getMessage(), failure);
        }
        if (failure instanceof javax.net.ssl.SSLException) {
            return new IOException(name + ": TLS refused: " + failure.getMessage(), failure);
        }
        return (IOException) failure;
    }

    static IOException noBaudRate(String device) {
        return new IOException(device + ": the driver reports no baud rate");
    }

    /** What an open's report says. */
    static IOException openFailed(String device, int[] report, LineSettings wanted) {
        int error = report[NativeConnection.REPORT_ERRNO];
        return switch (report[NativeConnection.REPORT_FAILURE]) {
            case NativeConnection.OPEN_BUSY -> new PortBusyException(device + ": in use" + holders(device));
            case NativeConnection.OPEN_NOT_A_TERMINAL -> notASerialPort(device);
            case NativeConnection.OPEN_SETTING_REFUSED -> refused(device, report, wanted);
            case NativeConnection.OPEN_NO_MEMORY -> new IOException(device + ": out of memory");
            case NativeConnection.OPEN_MISSING -> new NoSuchFileException(device, null, "no such serial device");
            case NativeConnection.OPEN_NO_DEVICE -> new NoSuchFileException(device, null,
                    "no such serial device (" + NativeConnection.describeError(error) + ")");
            case NativeConnection.OPEN_ACCESS_DENIED -> new AccessDeniedException(device, null, "permission denied; "
                    + "on Debian and Ubuntu serial devices belong to the group 'dialout': sudo usermod -aG dialout "
                    + "$USER, then log in again");
            default -> new IOException(device + ": cannot open: " + NativeConnection.describeError(error));
        };
    }

    private static NotASerialPortException notASerialPort(String device) {
        Path path = Path.of(device);
        String kind = Files.isDirectory(path) ? "a directory" : Files.isRegularFile(path) ? "a regular file"
                : "no terminal";
        return new NotASerialPortException(device + ": not a serial device (" + kind + ")");
    }

    /** The setting a report names as refused, as asked for and as the driver kept it. */
    static SettingNotSupportedException refused(String device, int[] report, LineSettings wanted) {
        String[] nameAskedKept = switch (report[NativeConnection.REPORT_REFUSED]) {
            case NativeConnection.SETTING_BAUD -> new String[] {"baud rate", String.valueOf(wanted.baud()),
                String.valueOf(report[NativeConnection.REPORT_BAUD])};
            case NativeConnection.SETTING_DATA_BITS -> new String[] {"data bits", String.valueOf(wanted.dataBits()),
                String.valueOf(report[NativeConnection.REPORT_DATA_BITS])};
            case NativeConnection.SETTING_STOP_BITS -> new String[] {"stop bits", String.valueOf(wanted.stopBits()),
                String.valueOf(report[NativeConnection.REPORT_STOP_BITS])};
            case NativeConnection.SETTING_PARITY -> new String[] {"parity", wanted.parity().toString(),
                NativeConnection.parityOf(report[NativeConnection.REPORT_PARITY]).toString()};
            default -> new String[] {"flow control", wanted.flowControl().toString(),
                NativeConnection.flowOf(report[NativeConnection.REPORT_FLOW]).toString()};
        };
        return new SettingNotSupportedException(device + ": the driver did not take " + nameAskedKept[0] + " "
                + nameAskedKept[1] + " (it kept " + nameAskedKept[2] + "); the line was left as it was");
    }

    /**
     * The exception for a failed call's code, or null when the code says done.
     * A hang-up is an exception only where no end of stream can say it.
     */
    static IOException of(String device, String operation, int code, int timeoutMillis, int transferred,
            int length) {
        return switch (NativeConnection.status(code)) {
            case NativeConnection.DONE -> null;
            case NativeConnection.TIMED_OUT -> new SerialTimeoutException(operation + " on " + device + " timed out after "
                    + timeoutMillis + " ms" + (length > 0 ? " (" + transferred + " of " + length + " bytes sent)" : ""),
                    transferred);
            case NativeConnection.HUNG_UP -> new PortDisconnectedException(device + " was disconnected"
                    + (length > 0 ? " (" + transferred + " of " + length + " bytes sent)" : ""));
            case NativeConnection.CLOSED -> new IOException("the connection to " + device + " is closed");
            default -> new IOException(device + ": " + operation + " failed: "
                    + NativeConnection.describeError(NativeConnection.errno(code)));
        };
    }

    /** " (held by process 1234 (minicom))" for the processes that have the device open, where visible. */
    private static String holders(String device) {
        List<String> found = new ArrayList<>();
        try {
            Path target = Path.of(device);
            // The guardian of this process's exclusive opens holds them too: it is part of this one.
            String guardian = String.valueOf(NativeConnection.guardianPid());
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
