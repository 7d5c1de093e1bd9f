package serialslots;

import java.io.IOException;
import java.nio.file.AccessDeniedException;
import java.nio.file.Files;
import java.nio.file.NoSuchFileException;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.stream.Stream;

/** Every message of the connection API, and the exception each outcome becomes. */
final class Failures {

    private static final int ENOENT = 2;
    private static final int EPERM = 1;
    private static final int ENXIO = 6;
    private static final int EACCES = 13;
    private static final int ENODEV = 19;
    private static final int ENOTDIR = 20;
    private static final int EISDIR = 21;
    private static final int EINVAL = 22;
    private static final int ENOTTY = 25;
    private static final int ELOOP = 40;
    private static final String[] SETTINGS = {"", "baud rate", "data bits", "stop bits", "parity", "flow control"};
    private static final String[] OPEN_FAILURES = {"", "", "busy", "not a terminal", "setting", "no memory"};

    private Failures() {
    }

    static int status(int code) {
        return code & 0xFF;
    }

    static int errno(int code) {
        return code >>> 8;
    }

    /** What {failure kind, errno, refused setting, kept values} from an open says. */
    static IOException openFailed(String device, int[] failure, LineSettings wanted) {
        int error = failure[1];
        return switch (OPEN_FAILURES[failure[0]]) {
            case "busy" -> new PortBusyException(device + ": in use" + holders(device));
            case "not a terminal" -> notASerialPort(device);
            case "setting" -> refused(device, failure, 2, wanted);
            case "no memory" -> new IOException(device + ": out of memory");
            default -> switch (error) {
                case ENOENT, ENXIO, ENODEV, ENOTDIR, ELOOP -> new NoSuchFileException(device, null,
                        "no such serial device" + (error == ENOENT ? "" : " (" + NativeConnection.describeError(error) + ")"));
                case EACCES, EPERM -> new AccessDeniedException(device, null, "permission denied; on Debian and Ubuntu "
                        + "serial devices belong to the group 'dialout': sudo usermod -aG dialout $USER, then log in again");
                case EISDIR, ENOTTY, EINVAL -> notASerialPort(device);
                default -> new IOException(device + ": cannot open: " + NativeConnection.describeError(error));
            };
        };
    }

    private static NotASerialPortException notASerialPort(String device) {
        Path path = Path.of(device);
        String kind = Files.isDirectory(path) ? "a directory" : Files.isRegularFile(path) ? "a regular file"
                : "no terminal";
        return new NotASerialPortException(device + ": not a serial device (" + kind + ")");
    }

    /** The setting {refused setting, kept values} names at {@code at}, as asked for and as kept. */
    static SettingNotSupportedException refused(String device, int[] refusal, int at, LineSettings wanted) {
        int setting = refusal[at];
        String asked = String.valueOf(List.of(wanted.baud(), wanted.dataBits(), wanted.stopBits(), wanted.parity(),
                wanted.flowControl()).get(setting - 1));
        int kept = refusal[at + setting];
        String keptText = switch (setting) {
            case 4 -> Parity.values()[kept].toString();
            case 5 -> FlowControl.values()[kept].toString();
            default -> String.valueOf(kept);
        };
        return new SettingNotSupportedException(device + ": the driver did not take " + SETTINGS[setting] + " "
                + asked + " (it kept " + keptText + "); the line was left as it was");
    }

    /**
     * The exception for a failed call's code, or null when the code says done.
     * A hang-up is an exception only where no end of stream can say it.
     */
    static IOException of(String device, String operation, int code, int timeoutMillis, int transferred,
            int length) {
        return switch (status(code)) {
            case NativeConnection.DONE -> null;
            case NativeConnection.TIMED_OUT -> new SerialTimeoutException(operation + " on " + device + " timed out after "
                    + timeoutMillis + " ms" + (length > 0 ? " (" + transferred + " of " + length + " bytes sent)" : ""),
                    transferred);
            case NativeConnection.HUNG_UP -> new PortDisconnectedException(device + " was disconnected"
                    + (length > 0 ? " (" + transferred + " of " + length + " bytes sent)" : ""));
            case NativeConnection.CLOSED -> new IOException("the connection to " + device + " is closed");
            default -> new IOException(device + ": " + operation + " failed: "
                    + NativeConnection.describeError(errno(code)));
        };
    }

    /** " (held by process 1234 (minicom))" for the processes that have the device open, where visible. */
    private static String holders(String device) {
        List<String> found = new ArrayList<>();
        try {
            Path target = Path.of(device);
            try (Stream<Path> processes = Files.list(Path.of("/proc"))) {
                processes.filter(p -> p.getFileName().toString().matches("\\d+")).forEach(process -> {
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
