package tool;

import core.SerialPort;
import java.io.File;
import java.io.PrintStream;

/** Command-line access to the serial ports through the library. */
public final class SerialTool {

    private SerialTool() {
    }

    public static void main(String[] args) {
        System.exit(run(args, System.out, System.err));
    }

    static int run(String[] args, PrintStream out, PrintStream err) {
        if (args.length == 0 || !args[0].equals("list")) {
            err.println("usage: serialslots list");
            return 2;
        }
        return list(out);
    }

    private static int list(PrintStream out) {
        out.printf("%-9s %-14s %s%n", "PORT", "DEVICE", "STATE");
        for (int n = 0; n <= 40; n++) {
            listOne(out, "COM" + n, "/dev/ttyS" + n);
            listOne(out, "COMUSB" + n, "/dev/ttyUSB" + n);
        }
        return 0;
    }

    private static void listOne(PrintStream out, String name, String path) {
        String state = new File(path).exists() ? SerialPort.getStateSerialPortC(path) : "absent";
        out.printf("%-9s %-14s %s%n", name, path, state);
    }
}
