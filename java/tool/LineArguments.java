package tool;

import java.io.IOException;
import java.util.List;
import serialslots.FlowControl;
import serialslots.LineSettings;
import serialslots.Parity;
import serialslots.PortOption;
import serialslots.Rs485;
import serialslots.SerialConnection;

/**
 * PORT BAUD SIZE STOP PARITY, --flow, --rs485, --low-latency and --hold-dtr, as the commands that open a connection
 * take them.
 */
final class LineArguments {

    static final String USAGE = "PORT BAUD SIZE STOP PARITY";
    static final String HELP = String.join(System.lineSeparator(),
            "  PORT     a device path (/dev/ttyACM0), a name under /dev (ttyAMA0), or a slot name:",
            "           COM0..COM40 (/dev/ttyS0..40), COMUSB0..COMUSB40 (/dev/ttyUSB0..40),",
            "           usb:VVVV:PPPP[:SERIAL], another machine's port: rfc2217://host:port",
            "           (rfc2217s:// over TLS), a raw TCP server: socket://host:port (sockets://",
            "           over TLS), or loop:// (what is sent comes back)",
            "  BAUD     any rate the device can make: 9600, 115200, 250000, 1000000, ...",
            "  SIZE     data bits, 5 to 8          STOP  1 or 2",
            "  PARITY   N (none), E (even), O or 0 (odd), M (mark), S (space)",
            "  --flow none|rtscts|xonxoff   flow control (default none)",
            "  --rs485        RS-485 mode: the driver sets RTS while sending (where it has the mode)",
            "  --low-latency  received bytes handed on at once (an FTDI adapter: 1 ms, not 16)",
            "  --hold-dtr     DTR and RTS stay raised after exit, so a board with auto-reset does",
            "                 not restart at the next open",
            "  --trace FILE   a record of every byte, setting and call, time-stamped (- for stderr)");
    static final String FLOW = "--flow";
    static final String TRACE = "--trace";
    /** The switches of the line besides its settings. */
    static final List<String> SWITCHES = List.of("--rs485", "--low-latency", "--hold-dtr");

    private LineArguments() {
    }

    /** The settings the first five positional arguments and --flow give. */
    static LineSettings settings(Arguments arguments) throws SerialTool.UsageException {
        List<String> line = arguments.positional;
        if (line.size() < 5) {
            throw new SerialTool.UsageException("needs " + USAGE);
        }
        String flow = arguments.value(FLOW) == null ? "none" : arguments.value(FLOW);
        try {
            return LineSettings.of(Integer.parseInt(line.get(1))).withDataBits(Integer.parseInt(line.get(2)))
                    .withStopBits(Integer.parseInt(line.get(3))).withParity(parity(line.get(4)))
                    .withFlowControl(switch (flow) {
                        case "none" -> FlowControl.NONE;
                        case "rtscts" -> FlowControl.RTS_CTS;
                        case "xonxoff" -> FlowControl.XON_XOFF;
                        default -> throw new IllegalArgumentException("flow control is none, rtscts or xonxoff");
                    });
        } catch (IllegalArgumentException e) {
            throw new SerialTool.UsageException(e.getMessage());
        }
    }

    /** Opens the port the arguments name, with their settings, RS-485 and low latency; closed again on failure. */
    static SerialConnection open(Arguments arguments) throws IOException, SerialTool.UsageException {
        String name = arguments.positional.get(0);
        String trace = arguments.value(TRACE);
        SerialConnection port = SerialConnection.open(trace == null ? name : "spy://" + name + "?file=" + trace,
                settings(arguments), arguments.has("--hold-dtr") ? new PortOption[] {PortOption.HOLD_DTR}
                        : new PortOption[0]);
        try {
            if (arguments.has("--rs485")) {
                port.setRs485(Rs485.standard());
            }
            if (arguments.has("--low-latency")) {
                port.setLowLatency(true);
            }
            return port;
        } catch (IOException e) {
            port.close();
            throw e;
        }
    }

    private static Parity parity(String letter) {
        return switch (letter.toUpperCase(java.util.Locale.ROOT)) {
            case "N" -> Parity.NONE;
            case "E" -> Parity.EVEN;
            case "O", "0" -> Parity.ODD;
            case "M" -> Parity.MARK;
            case "S" -> Parity.SPACE;
            default -> throw new IllegalArgumentException("parity is N, E, O, M or S, not '" + letter + "'");
        };
    }
}
