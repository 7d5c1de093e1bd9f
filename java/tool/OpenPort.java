package tool;

import core.SerialPort;
import java.io.ByteArrayOutputStream;
import java.util.List;

/** A port opened by the tool; closing it always closes the port. */
final class OpenPort implements AutoCloseable {

    static final String LINE_USAGE = "PORT BAUD SIZE STOP PARITY";
    static final String LINE_HELP = String.join(System.lineSeparator(),
            "  PORT     COM0..COM40 (/dev/ttyS0..40) or COMUSB0..COMUSB40 (/dev/ttyUSB0..40)",
            "  BAUD     110 300 600 1200 2400 4800 9600 19200 38400 57600 115200 460800",
            "  SIZE     8 or 7        STOP  1 or 2",
            "  PARITY   N (none), E (even), 0 (odd: the digit zero), S (space)");

    final String name;

    private OpenPort(String name) {
        this.name = name;
    }

    /** Opens with the first five positional arguments, the library's own texts. */
    static OpenPort open(List<String> line) throws Exception {
        if (line.size() < 5) {
            throw new SerialTool.UsageException("needs " + LINE_USAGE);
        }
        SerialPort.openPortC(line.get(0), line.get(1), line.get(2), line.get(3), line.get(4));
        return new OpenPort(line.get(0));
    }

    void send(byte[] bytes) {
        for (byte b : bytes) {
            SerialPort.writeDataInt(name, b & 0xFF);
        }
    }

    /** The next received byte, or -1; a received 0x00 reads as no byte. */
    int poll() {
        int b = SerialPort.readDataInt(name);
        return b == 0 ? -1 : b;
    }

    /** Everything received until {@code quietMillis} pass without a byte. */
    byte[] collect(int quietMillis) throws InterruptedException {
        ByteArrayOutputStream received = new ByteArrayOutputStream();
        long quietUntil = System.nanoTime() + quietMillis * 1_000_000L;
        while (System.nanoTime() < quietUntil) {
            int b = poll();
            if (b >= 0) {
                received.write(b);
                quietUntil = System.nanoTime() + quietMillis * 1_000_000L;
            } else {
                Thread.sleep(1);
            }
        }
        return received.toByteArray();
    }

    @Override
    public void close() {
        SerialPort.closePortC(name);
    }
}
