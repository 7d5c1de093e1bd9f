/**
 * Serial ports for Java on Linux. {@link serialslots.SerialConnection} opens a
 * port as blocking streams with timeouts, modem lines, flow control and any
 * baud rate; {@link serialslots.SerialPorts} lists the ports without opening
 * them; {@link core.SerialPort} is the fixed one-byte API.
 *
 * <p>The native library is loaded from inside the jar. On the module path,
 * grant this module native access: {@code --enable-native-access=serialslots}.
 */
module serialslots {
    exports core;
    exports serialslots;
}
