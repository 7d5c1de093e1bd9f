package example;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.nio.charset.StandardCharsets;
import serialslots.LineSettings;
import serialslots.Parity;
import serialslots.SerialConnection;

/** The program under test: a thermometer that answers "MEAS?" with a line such as "21.5". */
public final class Thermometer implements AutoCloseable {

    private final SerialConnection port;

    public Thermometer(String portName) throws IOException {
        port = SerialConnection.open(portName, LineSettings.of(9600).withParity(Parity.EVEN));
        port.setDtr(true);  // the instrument's interface is powered from DTR
        port.setReadTimeout(1000);
    }

    /** One measurement, in degrees. */
    public double read() throws IOException {
        port.getOutputStream().write("MEAS?\r\n".getBytes(StandardCharsets.US_ASCII));
        ByteArrayOutputStream line = new ByteArrayOutputStream();
        for (int b; (b = port.getInputStream().read()) != '\n';) {
            if (b < 0) {
                throw new IOException("the thermometer was unplugged");
            }
            if (b != '\r') {
                line.write(b);
            }
        }
        return Double.parseDouble(line.toString(StandardCharsets.US_ASCII));
    }

    @Override
    public void close() throws IOException {
        port.close();
    }
}
