package core;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.nio.file.Files;
import java.nio.file.Path;
import lab.SerialLab;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

class CloseAndProbeTest {

    @BeforeAll
    static void inLab() {
        Lab.requireLab();
    }

    @Test
    void closingANeverOpenedSlotAnswersOneAndKeepsStandardInput() {
        int before = Lab.openDescriptors();
        for (int n = 0; n <= 40; n++) {
            assertEquals(1, SerialPort.closePortC("COM" + n));
            assertEquals(1, SerialPort.closePortC("COMUSB" + n));
        }
        assertTrue(new File("/proc/self/fd/0").exists(), "standard input was closed");
        assertEquals(before, Lab.openDescriptors());
    }

    @ParameterizedTest
    @ValueSource(strings = {"COM41", "COMUSB41", "com1", "COM1 ", "COM01", "COMUSB", "", "/dev/ttyS1",
        "COM1\u0000"})
    void closingAnUnknownNameRaises(String name) {
        Lab.assertRaises("Serial port does not exits.", () -> SerialPort.closePortC(name));
    }

    @Test
    void closingANullNameRaisesTheSameMessage() {
        Lab.assertRaises("Serial port does not exits.", () -> SerialPort.closePortC(null));
    }

    @Test
    void probeAnswersFreeForAPtyAndBusyForWhatCannotBeOpened() throws Exception {
        try (SerialLab.FarEnd device = SerialLab.attach("/dev/ttyUSB3")) {
            assertEquals("/dev/ttyUSB3", device.devicePath());
            assertEquals("free", SerialPort.getStateSerialPortC("/dev/ttyUSB3"));
        }
        assertEquals("busy", SerialPort.getStateSerialPortC("/dev/ttyUSB3"), "hung-up pty");
        assertEquals("busy", SerialPort.getStateSerialPortC("/dev/ttyS33"));
        assertEquals("busy", SerialPort.getStateSerialPortC("/dev/pts"));
        assertEquals("busy", SerialPort.getStateSerialPortC("COM1"));
        assertEquals("busy", SerialPort.getStateSerialPortC(""));
        assertEquals("busy", SerialPort.getStateSerialPortC(null));
        Path dangling = Path.of("/dev/ttyS34");
        Files.createSymbolicLink(dangling, Path.of("/dev/nowhere"));
        try {
            assertEquals("busy", SerialPort.getStateSerialPortC(dangling.toString()));
        } finally {
            Files.delete(dangling);
        }
    }

    @Test
    void timeoutAnswersOne() {
        assertEquals(1, SerialPort.setTimeOutSerialPortC());
    }
}
