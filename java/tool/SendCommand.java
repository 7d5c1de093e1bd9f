package tool;

import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.util.List;

/** Opens a port, sends bytes, shows the replies and closes. */
final class SendCommand implements SerialTool.Command {

    @Override
    public String help() {
        return String.join(System.lineSeparator(),
                "usage: serialslots send " + OpenPort.LINE_USAGE + " (DATA | --hex \"41 42 0d\") [--wait MS] [--cr|--crlf]",
                "Opens the port, sends DATA (its UTF-8 bytes) or the --hex bytes one by one,",
                "collects replies until MS milliseconds pass without one (default 500),",
                "prints both as hex and printable text, and closes the port.",
                OpenPort.LINE_HELP,
                "  --hex BYTES   the bytes to send, as hex pairs",
                "  --wait MS     how long a quiet line ends the replies (0: do not wait)",
                "  --cr, --crlf  append a carriage return, or CR LF, to DATA",
                "A received 0x00 cannot be told from silence and is not shown.");
    }

    @Override
    public int run(String[] args, PrintStream out, PrintStream err) throws Exception {
        Arguments arguments = new Arguments(args, List.of("--hex", "--wait"), List.of("--cr", "--crlf"));
        List<String> positional = arguments.positional;
        String hex = arguments.value("--hex");
        int expected = hex == null ? 6 : 5;
        if (positional.size() != expected) {
            throw new SerialTool.UsageException(positional.size() < expected
                    ? "missing arguments" : "too many arguments");
        }
        byte[] data = hex != null ? Bytes.parseHex(hex)
                : (positional.get(5) + (arguments.has("--crlf") ? "\r\n" : arguments.has("--cr") ? "\r" : ""))
                        .getBytes(StandardCharsets.UTF_8);
        int wait = arguments.millis("--wait", 500);
        try (OpenPort port = OpenPort.open(positional)) {
            port.send(data);
            out.println("sent     " + Bytes.describe(data));
            out.println("received " + Bytes.describe(port.collect(wait)));
        }
        return SerialTool.OK;
    }
}
