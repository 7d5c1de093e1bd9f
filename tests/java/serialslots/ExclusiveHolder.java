package serialslots;

/** A program that opens a port exclusively and holds it until it is killed. */
final class ExclusiveHolder {

    private ExclusiveHolder() {
    }

    public static void main(String[] args) throws Exception {
        SerialConnection.open(args[0], LineSettings.of(9600));
        System.out.println("held");
        Thread.sleep(Long.MAX_VALUE);
    }
}
