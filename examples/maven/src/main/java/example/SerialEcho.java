package example;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import serialslots.LineSettings;
import serialslots.PortInfo;
import serialslots.SerialConnection;
import serialslots.SerialPorts;

/** Lists the serial ports, then sends a line to one and prints what comes back. */
public final class SerialEcho {

    private SerialEcho() {
    }

    public static void main(String[] args) throws IOException {
        String port = args.length > 0 ? args[0] : "/dev/ttyUSB0";
        String line = args.length > 1 ? args[1] : "hello from Maven";
        for (PortInfo info : SerialPorts.list()) {
            System.out.println("port: " + info);
        }
        try (SerialConnection connection = SerialConnection.open(port, LineSettings.of(115200))) {
            byte[] sent = (line + "\n").getBytes(StandardCharsets.UTF_8);
            connection.getOutputStream().write(sent);
            connection.setReadTimeout(2000);
            byte[] back = connection.getInputStream().readNBytes(sent.length);
            System.out.println("echoed: " + new String(back, StandardCharsets.UTF_8).strip());
        }
    }
}
