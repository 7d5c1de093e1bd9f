package tool;

import core.SerialPort;
import java.io.File;
import java.io.PrintStream;
import java.util.List;

/** Lists the 82 ports with their device nodes and the library's probe answer. */
final class ListCommand implements SerialTool.Command {

    @Override
    public String help() {
        return String.join(System.lineSeparator(),
                "usage: serialslots list [--present]",
                "Every port name with its device node and state: 'absent' when no node",
                "exists, else the library's probe: 'free' when it can be opened read-write",
                "now, 'busy' when not (in use elsewhere, no permission, no hardware).",
                "  --present   only the ports whose device node exists");
    }

    @Override
    public int run(String[] args, PrintStream out, PrintStream err) throws Exception {
        Arguments arguments = new Arguments(args, List.of(), List.of("--present"));
        if (!arguments.positional.isEmpty()) {
            throw new SerialTool.UsageException("list takes no arguments");
        }
        out.printf("%-9s %-14s %s%n", "PORT", "DEVICE", "STATE");
        for (int n = 0; n <= 40; n++) {
            show(out, "COM" + n, "/dev/ttyS" + n, arguments.has("--present"));
            show(out, "COMUSB" + n, "/dev/ttyUSB" + n, arguments.has("--present"));
        }
        return SerialTool.OK;
    }

    private static void show(PrintStream out, String name, String path, boolean presentOnly) {
        boolean present = new File(path).exists();
        if (present || !presentOnly) {
            out.printf("%-9s %-14s %s%n", name, path,
                    present ? SerialPort.getStateSerialPortC(path) : "absent");
        }
    }
}
