package soak;

import contract.Ser2net;
import java.io.IOException;
import java.util.EnumSet;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import serialslots.LineSettings;
import serialslots.PortBusyException;
import serialslots.SerialConnection;
import serialslots.SerialEventType;
import serialslots.Subscription;
import serialslots.VirtualDevice;

/**
 * The connection API's part of the soak: open, listen, write, read the echo
 * and close, on lab ptys and on virtual devices, every tenth cycle a close
 * that races a waiting read; and, where ser2net is here, the same over RFC
 * 2217 for one cycle in fifty. Each answers the count of wrong outcomes.
 */
final class ConnectionSoak {

    private static final String[] DEVICES = {"/dev/ttyUSB21", "/dev/ttyUSB22"};
    private static final ExecutorService READERS = Executors.newSingleThreadExecutor(task -> {
        Thread thread = new Thread(task, "soak-reader");
        thread.setDaemon(true);
        return thread;
    });

    private ConnectionSoak() {
    }

    static String[] devices() {
        return DEVICES.clone();
    }

    static long run(long cycles, int remotePort) throws Exception {
        long errors = 0;
        try (VirtualDevice echo = VirtualDevice.create("soak")) {
            echo.respond(request -> request);
            for (long i = 0; i < cycles; i++) {
                int b = (int) (i % 254 + 1);
                errors += cycle(DEVICES[(int) (i % DEVICES.length)], b, i % 10 == 0);
                errors += cycle(echo.name(), b, i % 10 == 5);
                if (remotePort > 0 && i % 50 == 0) {
                    errors += remoteCycle("rfc2217://127.0.0.1:" + remotePort, b);
                }
            }
        }
        return errors;
    }

    /** One cycle; with `race`, a read waits and a close from here ends it. */
    private static long cycle(String device, int b, boolean race) {
        try (SerialConnection connection = SerialConnection.open(device, LineSettings.of(115200))) {
            connection.setReadTimeout(2000);
            Subscription subscription = connection.listen(EnumSet.of(SerialEventType.DATA), (c, event) -> { });
            if (race) {
                Future<Integer> reader = READERS.submit(() -> connection.getInputStream().read());
                Thread.sleep(1);
                connection.close();
                try {
                    reader.get(2, TimeUnit.SECONDS);
                    return 1;  // a read that a close should have ended
                } catch (java.util.concurrent.ExecutionException closed) {
                    return closed.getCause() instanceof IOException ? 0 : 1;
                }
            }
            connection.getOutputStream().write(b);
            int got = connection.getInputStream().read();
            if (b % 2 == 0) {
                subscription.close();
            }
            return got == b ? 0 : 1;
        } catch (Exception e) {
            return 1;
        }
    }

    /** One cycle over RFC 2217; a server still letting the last client go is asked again. */
    private static long remoteCycle(String uri, int b) throws InterruptedException {
        for (int tries = 0; tries < 100; tries++) {
            try (SerialConnection remote = SerialConnection.open(uri, LineSettings.of(115200))) {
                remote.setReadTimeout(2000);
                remote.getOutputStream().write(b);
                return remote.getInputStream().read() == b ? 0 : 1;
            } catch (PortBusyException stillClosing) {
                Thread.sleep(10);
            } catch (IOException e) {
                return 1;
            }
        }
        return 1;
    }

    /** ser2net serving the lab pty that echoes for RFC 2217 cycles, or null where ser2net is not installed. */
    static Ser2net server(int port) throws IOException, InterruptedException {
        return Ser2net.installed() ? Ser2net.serve("/dev/ttyUSB23", port, null, null) : null;
    }
}
