package tool;

import java.util.List;
import serialslots.FlowControl;
import serialslots.LineSettings;
import serialslots.Parity;

/** PORT BAUD SIZE STOP PARITY and --flow, as the commands that open a connection take them. */
final class LineArguments {

    static final String USAGE = "PORT BAUD SIZE STOP PARITY";
    static final String HELP = String.join(System.lineSeparator(),
            "  PORT     a device path (/dev/ttyACM0), a name under /dev (ttyAMA0), or a slot name:",
            "           COM0..COM40 (/dev/ttyS0..40), COMUSB0..COMUSB40 (/dev/ttyUSB0..40)",
            "  BAUD     any rate the device can make: 9600, 115200, 250000, 1000000, ...",
            "  SIZE     data bits, 5 to 8          STOP  1 or 2",
            "  PARITY   N (none), E (even), O or 0 (odd), M (mark), S (space)",
            "  --flow none|rtscts|xonxoff   flow control (default none)");
    static final String FLOW = "--flow";

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
