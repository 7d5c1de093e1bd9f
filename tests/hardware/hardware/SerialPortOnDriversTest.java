package hardware;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;

import core.SerialPort;
import hardwarelab.HardwareLab;
import lab.SerialLab;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.extension.ExtendWith;
import org.junit.jupiter.api.function.Executable;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;
import serialslots.LineSettings;
import serialslots.SerialConnection;
import serialslots.SerialPorts;
import serialslots.SerialTimeoutException;

/** The one-byte API on the 8250 and ftdi_sio drivers of the lab's virtual machine. */
@ExtendWith(HardwareLab.Guard.class)
class SerialPortOnDriversTest {

    private static final int PARODD = 01000;
    /** CSIZE CSTOPB PARENB PARODD CMSPAR */
    private static final int FRAMING = 060 | 0100 | 0400 | PARODD | 010000000000;
    /** IGNBRK BRKINT IGNPAR PARMRK ISTRIP INLCR IGNCR ICRNL IUCLC IXON IXANY IXOFF */
    private static final int INPUT_PROCESSING = 0x1fef;

    @AfterEach
    void closeEveryPort() {
        for (String port : new String[] {"COM1", "COM2", "COM4", "COM8", "COMUSB0"}) {
            SerialPort.closePortC(port);
        }
    }

    @ParameterizedTest(name = "{0} {1},{2},{3},{4}")
    @CsvSource({"COM1,110,8,1,N,060", "COM1,300,7,2,E,0540", "COM1,600,8,1,0,01460", "COM1,1200,7,1,S,010000000440",
        "COM1,2400,8,2,N,0160", "COM1,4800,7,1,E,0440", "COM1,9600,8,2,0,01560", "COM1,19200,7,2,S,010000000540",
        "COM1,38400,8,1,E,0460", "COM1,57600,7,1,0,01440", "COM2,115200,8,1,N,060", "COMUSB0,300,8,2,S,010000000560",
        "COMUSB0,9600,7,1,E,0440", "COMUSB0,115200,8,2,0,01560", "COMUSB0,460800,7,1,N,040",
        "COMUSB0,38400,8,1,S,010000000460"})
    void theDriverHoldsEveryAcceptedSettingOnARawLine(String port, int baud, String size, String stop, String parity,
            String framing) throws Exception {
        assertEquals(1, SerialPort.openPortC(port, String.valueOf(baud), size, stop, parity));
        SerialLab.Attributes line = SerialLab.deviceState(SerialPorts.devicePath(port));
        assertEquals(baud, line.inputBaud);
        assertEquals(baud, line.outputBaud);
        // Without PARENB, PARODD means nothing, and "N" leaves it as it was.
        assertEquals(Integer.decode(framing), line.cflag & (parity.equals("N") ? FRAMING & ~PARODD : FRAMING));
        assertEquals("lflag 0, no input processing, OPOST off, CLOCAL CREAD, VMIN 1, VTIME 0",
                String.format("lflag %o, %s input processing, OPOST %s, %s, VMIN %d, VTIME %d", line.lflag,
                        (line.iflag & INPUT_PROCESSING) == 0 ? "no" : "some", (line.oflag & 1) == 0 ? "off" : "on",
                        (line.cflag & 04200) == 04200 ? "CLOCAL CREAD" : "not local", line.vmin, line.vtime));
    }

    @Test
    void aLineTheDriverCannotTakeIsRefusedAndLeftAsItWas() {
        assertEquals(1, SerialPort.openPortC("COM1", "9600", "7", "2", "E"));
        SerialPort.closePortC("COM1");
        // A 16550 cannot make 460800: it keeps its speed and answers success.
        assertRaisesParameters(() -> SerialPort.openPortC("COM1", "460800", "8", "1", "N"));
        SerialLab.Attributes line = SerialLab.deviceState("/dev/ttyS1");
        assertEquals(9600, line.outputBaud);
        assertEquals(0540, line.cflag & FRAMING);
        // ttyS8 has no UART behind it: it opens, then answers EIO.
        assertRaisesParameters(() -> SerialPort.openPortC("COM8", "9600", "8", "1", "N"));
    }

    private static void assertRaisesParameters(Executable open) {
        assertEquals("Error set parameters.", assertThrows(Exception.class, open).getMessage());
    }

    @ParameterizedTest
    @CsvSource({"COM1", "COMUSB0"})
    void everyByteValueCrossesTheWireBothWays(String port) throws Exception {
        byte[] everyValue = new byte[256];
        for (int i = 0; i < everyValue.length; i++) {
            everyValue[i] = (byte) i;
        }
        String device = SerialPorts.devicePath(port);
        try (SerialConnection farEnd = SerialConnection.open(HardwareLab.farEndOf(device), LineSettings.of(115200))) {
            farEnd.setReadTimeout(10_000);
            assertEquals(1, SerialPort.openPortC(port, "115200", "8", "1", "N"));
            for (byte value : everyValue) {
                SerialPort.writeDataInt(port, value);
            }
            assertArrayEquals(everyValue, farEnd.getInputStream().readNBytes(everyValue.length));

            farEnd.getOutputStream().write(everyValue);
            // A read gives 0 both for 0x00 and for nothing: wait until all is there.
            for (int tries = 0; tries < 500 && SerialLab.deviceState(device).waiting < everyValue.length; tries++) {
                Thread.sleep(10);
            }
            byte[] received = new byte[everyValue.length];
            for (int i = 0; i < received.length; i++) {
                received[i] = (byte) SerialPort.readDataInt(port);
            }
            assertArrayEquals(everyValue, received);
            assertEquals(0, SerialLab.deviceState(device).waiting);
        }
    }

    @Test
    void aFullOutputQueueRaisesTheWriteMessageAndLosesNothing() throws Exception {
        // ttyUSB0 takes nothing while nobody reads it, so ttyS4's queue fills.
        try (SerialConnection farEnd = SerialConnection.open("/dev/ttyUSB0", LineSettings.of(115200))) {
            assertEquals(1, SerialPort.openPortC("COM4", "115200", "8", "1", "N"));
            int queued = 0;
            String refusal = null;
            while (refusal == null && queued < 1 << 24) {
                try {
                    SerialPort.writeDataInt("COM4", HardwareLab.streamByte(queued));
                    queued++;
                } catch (Exception full) {
                    refusal = full.getMessage();
                }
            }
            assertEquals("Can not be write serial port COM4 = /dev/ttyS4.", refusal);
            farEnd.setReadTimeout(10_000);
            byte[] received = farEnd.getInputStream().readNBytes(queued);
            for (int i = 0; i < queued; i++) {
                assertEquals(HardwareLab.streamByte(i), received[i], "byte " + i + " of " + queued);
            }
            farEnd.setReadTimeout(500);
            assertThrows(SerialTimeoutException.class, () -> farEnd.getInputStream().read(), "the refused byte went out");
        }
    }
}
