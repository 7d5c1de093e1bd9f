package serialslots;

/**
 * A program that opens a port exclusively and holds it until it is killed; a
 * second port, if named, it opens shared and closes, then fails to open.
 */
final class ExclusiveHolder {

    private ExclusiveHolder() {
    }

    public static void main(String[] args) throws Exception {
        SerialConnection.open(args[0], LineSettings.of(9600));
        if (args.length > 1) {
            SerialConnection.openShared(args[1], LineSettings.of(9600)).close();
            try {
                SerialConnection.openShared(args[1], LineSettings.of(9600).withParity(Parity.MARK)).close();
            } catch (SettingNotSupportedException expected) {
                // a pty has no mark parity
            }
        }
        System.out.println("held");
        Thread.sleep(Long.MAX_VALUE);
    }
}
