package tool;

import java.io.PrintStream;
import java.util.Arrays;
import serialslots.internal.Build;

/**
 * The command-line tool: {@code java -jar serialslots.jar COMMAND ...}.
 * Exit status 0 on success, 1 when the library reports an error (one line
 * with its message), 2 for bad arguments (a usage line), 3 when the demo's
 * echo differs.
 */
public final class SerialTool {

    static final int OK = 0;
    static final int FAILED = 1;
    static final int USAGE = 2;

    private static final String OVERVIEW = String.join(System.lineSeparator(),
            "usage: serialslots COMMAND [ARGS]   (or: java -jar serialslots.jar COMMAND [ARGS])",
            "",
            "commands:",
            "  list   the serial devices the kernel knows, their slot names and drivers",
            "  send   open a port, send bytes, show the replies, close",
            "  term   a small interactive terminal on a port",
            "  demo   an echo exchange on a virtual port (no hardware needed)",
            "",
            "COMMAND --help tells more; --version says which release this is.");

    private SerialTool() {
    }

    public static void main(String[] args) {
        System.exit(run(args, System.out, System.err));
    }

    static int run(String[] args, PrintStream out, PrintStream err) {
        if (args.length == 0 || args[0].equals("--help") || args[0].equals("-h")) {
            (args.length == 0 ? err : out).println(OVERVIEW);
            return args.length == 0 ? USAGE : OK;
        }
        if (args[0].equals("--version")) {
            out.println("serialslots " + Build.VERSION);
            return OK;
        }
        String[] rest = Arrays.copyOfRange(args, 1, args.length);
        Command command;
        switch (args[0]) {
            case "list":
                command = new ListCommand();
                break;
            case "send":
                command = new SendCommand();
                break;
            case "term":
                command = new TermCommand();
                break;
            case "demo":
                command = new DemoCommand();
                break;
            default:
                err.println("serialslots: unknown command '" + args[0] + "'");
                err.println(OVERVIEW);
                return USAGE;
        }
        if (Arrays.asList(rest).contains("--help") || Arrays.asList(rest).contains("-h")) {
            out.println(command.help());
            return OK;
        }
        try {
            serialslots.internal.NativeLibrary.load();
            return command.run(rest, out, err);
        } catch (UsageException e) {
            err.println("serialslots " + args[0] + ": " + e.getMessage());
            err.println(command.help().lines().findFirst().orElse(""));
            return USAGE;
        } catch (Exception | LinkageError e) {
            // The library's own message, on one line, never a stack trace.
            err.println("serialslots " + args[0] + ": " + e.getMessage());
            return FAILED;
        }
    }

    /** One command of the tool. */
    interface Command {
        /** The usage line first, then what the command does and its options. */
        String help();

        int run(String[] args, PrintStream out, PrintStream err) throws Exception;
    }

    /** Arguments that do not fit the command. */
    static final class UsageException extends Exception {
        private static final long serialVersionUID = 1L;

        UsageException(String message) {
            super(message);
        }
    }
}
