package tool;

import core.SerialPort;
import java.io.PrintStream;
import java.nio.file.Path;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import serialslots.PortEvent;
import serialslots.PortInfo;
import serialslots.SerialPorts;
import serialslots.Subscription;

/** Lists the serial devices the kernel knows, without opening any unless asked to. */
final class ListCommand implements SerialTool.Command {

    @Override
    public String help() {
        return String.join(System.lineSeparator(),
                "usage: serialslots list [--probe] [--root DIR] [--watch]",
                "Every serial device of this machine, as the kernel describes it: its path,",
                "the slot name that reaches it, its driver, and for USB adapters their ids,",
                "names, serial number and /dev/serial/by-id link. Nothing is opened (an open",
                "raises DTR, which resets many boards).",
                "  --probe     also open each one briefly: 'free' when it can be opened",
                "              read-write now, 'busy' when not (in use, no permission)",
                "  --root DIR  read DIR/sys and DIR/dev instead, as of another system's image",
                "  --watch     then print each port that comes or goes, until interrupted",
                "  --present   accepted for older scripts; only present devices are listed");
    }

    @Override
    public int run(String[] args, PrintStream out, PrintStream err) throws Exception {
        Arguments arguments = new Arguments(args, List.of("--root"), List.of("--probe", "--present", "--watch"));
        if (!arguments.positional.isEmpty()) {
            throw new SerialTool.UsageException("list takes no arguments");
        }
        String root = arguments.value("--root");
        boolean probe = arguments.has("--probe");
        String format = "%-14s %-9s %-11s %s%n";
        out.printf(format, "DEVICE", "PORT", "DRIVER", probe ? "STATE  DESCRIPTION" : "DESCRIPTION");
        Set<String> listed = new HashSet<>();
        for (PortInfo port : root == null ? SerialPorts.list() : SerialPorts.list(Path.of(root))) {
            listed.add(port.device());
            String description = port.description() + port.byIdPath().map(link -> "  " + link).orElse("");
            out.printf(format, port.device(), port.slotName().orElse("-"), port.driver(),
                    (probe ? String.format("%-6s ", SerialPort.getStateSerialPortC(port.device())) : "") + description);
        }
        if (arguments.has("--watch")) {
            if (root != null) {
                throw new SerialTool.UsageException("--watch watches this machine, not --root");
            }
            watch(out, listed);
        }
        return SerialTool.OK;
    }

    /** Prints each port that comes or goes, but for those just listed, until the program is interrupted. */
    private static void watch(PrintStream out, Set<String> listed) throws Exception {
        Subscription watch = SerialPorts.watch(event -> {
            if (event.kind() == PortEvent.Kind.REMOVED || !listed.remove(event.port().device())) {
                out.println((event.kind() == PortEvent.Kind.ADDED ? "added   " : "removed ") + event.port());
                out.flush();
            }
        });
        out.println("watching; Ctrl-C ends it");
        out.flush();
        try {
            Thread.sleep(Long.MAX_VALUE);
        } finally {
            watch.close();
        }
    }
}
