package tool;

import java.io.IOException;
import java.io.InputStream;
import java.io.PrintStream;
import java.util.List;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;

/** A small interactive terminal: typed bytes go out, received bytes are shown. */
final class TermCommand implements SerialTool.Command {

    /** Ctrl-], as in most terminal programs. */
    static final int QUIT_KEY = 0x1D;
    private static final int END_OF_INPUT = -1;

    @Override
    public String help() {
        return String.join(System.lineSeparator(),
                "usage: serialslots term " + OpenPort.LINE_USAGE + " [--hex] [--linger MS]",
                "Sends every byte typed and prints every byte received. Ctrl-] (0x1D) or the",
                "end of input quits; the port is always closed on the way out.",
                OpenPort.LINE_HELP,
                "  --hex         show received bytes as hex pairs instead of text",
                "  --linger MS   after the end of input, keep showing replies until MS",
                "                milliseconds pass without one (default 300)",
                "On a terminal, keys are sent as typed (the terminal is put in raw mode).",
                "A received 0x00 cannot be told from silence and is not shown.");
    }

    @Override
    public int run(String[] args, PrintStream out, PrintStream err) throws Exception {
        Arguments arguments = new Arguments(args, List.of("--linger"), List.of("--hex"));
        if (arguments.positional.size() != 5) {
            throw new SerialTool.UsageException(arguments.positional.size() < 5
                    ? "missing arguments" : "too many arguments");
        }
        boolean hex = arguments.has("--hex");
        int linger = arguments.millis("--linger", 300);
        try (OpenPort port = OpenPort.open(arguments.positional);
                RawTerminal raw = RawTerminal.enter()) {
            err.println("[connected to " + port.name + "; " + (raw.isRaw() ? "Ctrl-]" : "Ctrl-] or end of input")
                    + " quits]");
            BlockingQueue<Integer> typed = new LinkedBlockingQueue<>();
            Thread reader = new Thread(() -> readKeys(System.in, typed), "term-input");
            reader.setDaemon(true);
            reader.start();
            for (;;) {
                Integer key = typed.poll();
                if (key != null && (key == QUIT_KEY || key == END_OF_INPUT)) {
                    if (key == END_OF_INPUT) {
                        show(out, port.collect(linger), hex);
                    }
                    break;
                }
                if (key != null) {
                    port.send(new byte[] {(byte) (int) key});
                }
                int received = port.poll();
                if (received >= 0) {
                    show(out, new byte[] {(byte) received}, hex);
                } else if (key == null) {
                    Thread.sleep(1);
                }
            }
            out.flush();
            err.println(System.lineSeparator() + "[" + port.name + " closed]");
        }
        return SerialTool.OK;
    }

    private static void show(PrintStream out, byte[] bytes, boolean hex) {
        if (bytes.length == 0) {
            return;
        }
        if (hex) {
            out.print(Bytes.hex(bytes) + " ");
        } else {
            out.write(bytes, 0, bytes.length);
        }
        out.flush();
    }

    private static void readKeys(InputStream in, BlockingQueue<Integer> typed) {
        try {
            int b;
            while ((b = in.read()) != -1) {
                typed.add(b);
            }
        } catch (IOException e) {
            // The input went away: treated as its end.
        }
        typed.add(END_OF_INPUT);
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
