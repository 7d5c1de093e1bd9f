package serialslots;

import java.io.IOException;
import java.util.HexFormat;

/** Opens the remote port its argument names, sends 00 FF 0D 0A and prints what came back: in a JVM without natives. */
public final class RemoteWithoutNatives {

    private RemoteWithoutNatives() {
    }

    public static void main(String[] args) throws IOException {
        try (SerialConnection remote = SerialConnection.open(args[0], LineSettings.of(9600))) {
            remote.setReadTimeout(5000);
            remote.getOutputStream().write(new byte[] {0, (byte) 0xFF, 13, 10});
            System.out.println("echoed " + HexFormat.ofDelimiter(" ").formatHex(remote.getInputStream().readNBytes(4)));
        }
    }
}
