package tool;

import java.io.ByteArrayOutputStream;
import java.io.InputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.util.List;
import java.util.stream.Stream;
import serialslots.SerialConnection;
import serialslots.SerialTimeoutException;

/** Opens a port, sends bytes, shows the replies and closes. */
final class SendCommand implements SerialTool.Command {

    @Override
    public String help() {
        return String.join(System.lineSeparator(),
                "usage: serialslots send " + LineArguments.USAGE + " (DATA | --hex \"41 42 0d\") [--wait MS] [--cr|--crlf] [--trace FILE]",
                "Opens the port, sends DATA (its UTF-8 bytes) or the --hex bytes, collects",
                "replies until MS milliseconds pass without one (default 500), prints both",
                "as hex and printable text, and closes the port.",
                LineArguments.HELP,
                "  --hex BYTES   the bytes to send, as hex pairs",
                "  --wait MS     how long a quiet line ends the replies (0: do not wait)",
                "  --cr, --crlf  append a carriage return, or CR LF, to DATA");
    }

    @Override
    public int run(String[] args, PrintStream out, PrintStream err) throws Exception {
        Arguments arguments = new Arguments(args, List.of("--hex", "--wait", LineArguments.FLOW, LineArguments.TRACE),
                Stream.concat(Stream.of("--cr", "--crlf"), LineArguments.SWITCHES.stream()).toList());
        List<String> positional = arguments.positional;
        String hex = arguments.value("--hex");
        int expected = hex == null ? 6 : 5;
        if (positional.size() != expected) {
            throw new SerialTool.UsageException(positional.size() < expected ? "missing arguments" : "too many arguments");
        }
        byte[] data = hex != null ? Bytes.parseHex(hex)
                : (positional.get(5) + (arguments.has("--crlf") ? "\r\n" : arguments.has("--cr") ? "\r" : ""))
                        .getBytes(StandardCharsets.UTF_8);
        int wait = arguments.millis("--wait", 500);
        try (SerialConnection port = LineArguments.open(arguments)) {
            port.getOutputStream().write(data);
            out.println("sent     " + Bytes.describe(data));
            ByteArrayOutputStream replies = new ByteArrayOutputStream();
            if (wait > 0) {
                port.setReadTimeout(wait);
                InputStream in = port.getInputStream();
                byte[] buffer = new byte[4096];
                try {
                    for (int got; (got = in.read(buffer)) > 0;) {
                        replies.write(buffer, 0, got);
                    }
                } catch (SerialTimeoutException quiet) {
                    // the line was quiet for --wait: the replies are complete
                }
            }
            out.println("received " + Bytes.describe(replies.toByteArray()));
        }
        return SerialTool.OK;
    }
}
