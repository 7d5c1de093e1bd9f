package serialslots;

import java.util.EnumSet;

/**
 * Listens to every event of a port and prints each, one line apiece, until
 * killed; with "rs485", sets an RS-485 mode and prints what the driver keeps;
 * with "ninebit", sends 9-bit words, then prints the six it receives.
 */
final class StandInListener {

    private StandInListener() {
    }

    public static void main(String[] args) throws Exception {
        if (args.length > 1 && args[1].equals("ninebit")) {
            nineBit(args[0]);
            return;
        }
        SerialConnection connection = SerialConnection.open(args[0], LineSettings.of(9600));
        if (args.length > 1) {
            connection.setRs485(new Rs485(false, true, 3, 4, true, true));
            System.out.println(connection.rs485().orElseThrow());
            return;
        }
        connection.listen(EnumSet.allOf(SerialEventType.class), (c, event) -> {
            LineCounters n = event.counters();
            ModemLines lines = event.lines();
            String levels = lines == null ? "?" : (lines.cts() ? "C" : "") + (lines.dsr() ? "D" : "")
                    + (lines.dcd() ? "K" : "") + (lines.ri() ? "R" : "");
            System.out.println(event.type() + " " + levels + " " + n.ctsChanges() + " " + n.dsrChanges()
                    + " " + n.ringIndications() + " " + n.breaks() + " " + n.framingErrors() + " " + n.parityErrors()
                    + " " + (n.overruns() + n.bufferOverruns()));
            if (event.type() == SerialEventType.DATA) {
                try {
                    c.getInputStream().skip(c.available());
                } catch (java.io.IOException e) {
                    throw new IllegalStateException(e);
                }
            }
        });
        System.out.println("ready");
        Thread.sleep(Long.MAX_VALUE);
    }

    private static void nineBit(String device) throws Exception {
        try (SerialConnection connection = SerialConnection.open(device, LineSettings.of(9600),
                PortOption.MARK_ERRORS)) {
            NineBit bus = NineBit.over(connection);
            bus.write(0x142, 1, 2, 0x143, 3);
            bus.write(0x144);
            System.out.println("sent " + connection.settings().parity());
            int[] words = new int[6];
            ByteError[] errors = new ByteError[6];
            for (int got = 0; got < words.length;) {
                got += bus.read(words, errors, got, words.length - got);
            }
            StringBuilder told = new StringBuilder("words");
            for (int i = 0; i < words.length; i++) {
                told.append(' ').append(Integer.toHexString(words[i])).append('/').append(errors[i]);
            }
            System.out.println(told);
        }
    }
}
