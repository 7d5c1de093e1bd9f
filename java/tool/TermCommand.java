package tool;

import java.io.IOException;
import java.io.InputStream;
import java.io.PrintStream;
import java.util.EnumSet;
import java.util.List;
import java.util.stream.Stream;
import java.util.concurrent.atomic.AtomicLong;
import serialslots.FrameReader;
import serialslots.FrameTooLongException;
import serialslots.Framing;
import serialslots.SerialConnection;
import serialslots.SerialTimeoutException;
import serialslots.SerialEventType;

/** A small interactive terminal: typed bytes go out, received bytes are shown as they come. */
final class TermCommand implements SerialTool.Command {

    /** Ctrl-], as in most terminal programs. */
    static final int QUIT_KEY = 0x1D;
    /** Ctrl-T, then r, d or b: toggle RTS, toggle DTR, send a break. */
    static final int COMMAND_KEY = 0x14;

    @Override
    public String help() {
        return String.join(System.lineSeparator(),
                "usage: serialslots term " + LineArguments.USAGE + " [--hex] [--linger MS] [--rts on|off] [--dtr on|off]",
                "       [--frames crlf|lf|cr|slip|cobs] [--trace FILE]",
                "Sends every byte typed and prints every byte received, 0x00 included. Ctrl-]",
                "(0x1D) or the end of input quits; the port is always closed on the way out.",
                "Ctrl-T then r toggles RTS, d toggles DTR, b sends a break, Ctrl-T sends 0x14.",
                "Changes of CTS, DSR, DCD and RI and line errors (break, framing, parity,",
                "overrun) are shown as they happen, such as [CTS on] or [FRAMING ERROR].",
                LineArguments.HELP,
                "  --hex         show received bytes as hex pairs instead of raw",
                "  --linger MS   after the end of input, keep showing replies until MS",
                "                milliseconds pass without one (default 300)",
                "  --rts, --dtr  set RTS or DTR once the port is open (a UART, not a pty)",
                "  --frames F    print each received frame on a line, after its time (UTC):",
                "                lines ending crlf, lf or cr, or SLIP or COBS frames",
                "On a terminal, keys are sent as typed (the terminal is put in raw mode).");
    }

    @Override
    public int run(String[] args, PrintStream out, PrintStream err) throws Exception {
        Arguments arguments = new Arguments(args, List.of("--linger", "--rts", "--dtr", "--frames", LineArguments.FLOW,
                LineArguments.TRACE),
                Stream.concat(Stream.of("--hex"), LineArguments.SWITCHES.stream()).toList());
        if (arguments.positional.size() != 5) {
            throw new SerialTool.UsageException(arguments.positional.size() < 5 ? "missing arguments" : "too many arguments");
        }
        boolean hex = arguments.has("--hex");
        Framing framing = framing(arguments.value("--frames"));
        int linger = arguments.millis("--linger", 300);
        boolean[] lines = {level(arguments, "--rts"), level(arguments, "--dtr")};
        SerialConnection port = LineArguments.open(arguments);
        try (RawTerminal raw = RawTerminal.enter()) {
            if (arguments.value("--rts") != null) {
                port.setRts(lines[0]);
            }
            if (arguments.value("--dtr") != null) {
                port.setDtr(lines[1]);
            }
            err.println("[connected to " + port.device() + "; " + (raw.isRaw() ? "Ctrl-]" : "Ctrl-] or end of input")
                    + " quits, Ctrl-T r/d/b: RTS, DTR, break]");
            // Modem-line changes and line errors as they happen (a UART or an adapter has them).
            port.listen(EnumSet.range(SerialEventType.CTS, SerialEventType.OVERRUN), (c, event) -> err.print("["
                    + event.type().toString().replace('_', ' ') + switch (event.type()) {
                        case CTS -> event.lines().cts() ? " on]" : " off]";
                        case DSR -> event.lines().dsr() ? " on]" : " off]";
                        case DCD -> event.lines().dcd() ? " on]" : " off]";
                        default -> "]";
                    }));
            AtomicLong lastReceived = new AtomicLong(System.nanoTime());
            Thread shower = new Thread(() -> {
                if (framing == null) {
                    show(port, out, hex, lastReceived);
                } else {
                    showFrames(port, framing, out, hex, lastReceived);
                }
            }, "term-output");
            shower.start();
            if (typeKeys(System.in, port, lines, err)) {
                // End of input: the replies to what was typed may still be coming.
                while (System.nanoTime() - lastReceived.get() < linger * 1_000_000L && shower.isAlive()) {
                    Thread.sleep(Math.max(1, linger / 10));
                }
            }
            port.close();
            shower.join();
            out.flush();
            err.println(System.lineSeparator() + "[" + port.device() + " closed]");
        } finally {
            port.close();
        }
        return SerialTool.OK;
    }

    private static boolean level(Arguments arguments, String option) throws SerialTool.UsageException {
        String value = arguments.value(option);
        if (value != null && !value.equals("on") && !value.equals("off")) {
            throw new SerialTool.UsageException(option + " takes on or off, not '" + value + "'");
        }
        return !"off".equals(value);
    }

    /** Sends typed keys until the quit key (false) or the end of input (true). */
    private static boolean typeKeys(InputStream keys, SerialConnection port, boolean[] lines, PrintStream err)
            throws IOException {
        for (int key; (key = keys.read()) != -1;) {
            if (key == QUIT_KEY) {
                return false;
            }
            if (key == COMMAND_KEY && (key = keys.read()) != COMMAND_KEY) {
                switch (key) {
                    case 'r' -> port.setRts(lines[0] = !lines[0]);
                    case 'd' -> port.setDtr(lines[1] = !lines[1]);
                    case 'b' -> port.sendBreak(250);
                    default -> {
                        continue;
                    }
                }
                err.print("[RTS " + (lines[0] ? "on" : "off") + ", DTR " + (lines[1] ? "on" : "off") + "]");
                continue;
            }
            port.getOutputStream().write(key);
        }
        return true;
    }

    /** Prints what arrives, as it arrives, until the port closes or the device goes away. */
    private static void show(SerialConnection port, PrintStream out, boolean hex, AtomicLong lastReceived) {
        byte[] buffer = new byte[4096];
        try {
            for (int got; (got = port.getInputStream().read(buffer)) > 0;) {
                lastReceived.set(System.nanoTime());
                if (hex) {
                    out.print(Bytes.hex(java.util.Arrays.copyOf(buffer, got)) + " ");
                } else {
                    out.write(buffer, 0, got);
                }
                out.flush();
            }
            out.print(System.lineSeparator() + "[" + port.device() + " disconnected]");
        } catch (IOException closed) {
            // The port was closed on the way out.
        }
    }

    /** The framing --frames names: crlf, lf, cr, slip or cobs; null for none. */
    private static Framing framing(String name) throws SerialTool.UsageException {
        if (name == null) {
            return null;
        }
        return switch (name) {
            case "crlf" -> Framing.delimiter("\r\n");
            case "lf" -> Framing.delimiter("\n");
            case "cr" -> Framing.delimiter("\r");
            case "slip" -> Framing.slip();
            case "cobs" -> Framing.cobs();
            default -> throw new SerialTool.UsageException("--frames takes crlf, lf, cr, slip or cobs, not '" + name
                    + "'");
        };
    }

    /** Prints each frame on a line of its own, after the time it came (UTC, to the microsecond). */
    private static void showFrames(SerialConnection port, Framing framing, PrintStream out, boolean hex,
            AtomicLong lastReceived) {
        java.time.format.DateTimeFormatter time = java.time.format.DateTimeFormatter.ofPattern("HH:mm:ss.SSSSSS")
                .withZone(java.time.ZoneOffset.UTC);
        try (FrameReader frames = port.frames(framing)) {
            for (;;) {
                byte[] frame;
                try {
                    frame = frames.read();
                } catch (FrameTooLongException | SerialTimeoutException dropped) {
                    out.println(time.format(java.time.Instant.now()) + " [" + dropped.getMessage() + "]");
                    continue;
                }
                if (frame == null) {
                    break;
                }
                lastReceived.set(System.nanoTime());
                out.println(time.format(java.time.Instant.now()) + " " + (hex ? Bytes.hex(frame)
                        : new String(frame, java.nio.charset.StandardCharsets.ISO_8859_1)));
            }
            out.print("[" + port.device() + " disconnected]");
        } catch (IOException closed) {
            // The port was closed on the way out.
        }
    }

    /** Raw, echo-free keys while the terminal runs, when standard input is a terminal. */
    static final class RawTerminal implements AutoCloseable {
        private final String saved;

        private RawTerminal(String saved) {
            this.saved = saved;
        }

        static RawTerminal enter() {
            if (System.console() == null) {
                return new RawTerminal(null);
            }
            String saved = stty("-g");
            if (saved != null) {
                stty("raw -echo");
            }
            return new RawTerminal(saved);
        }

        boolean isRaw() {
            return saved != null;
        }

        @Override
        public void close() {
            if (saved != null) {
                stty(saved);
            }
        }

        private static String stty(String settings) {
            try {
                Process process = new ProcessBuilder("sh", "-c", "stty " + settings + " < /dev/tty")
                        .redirectErrorStream(true).start();
                String output = new String(process.getInputStream().readAllBytes()).trim();
                return process.waitFor() == 0 ? output : null;
            } catch (IOException e) {
                return null;
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                return null;
            }
        }
    }
}
