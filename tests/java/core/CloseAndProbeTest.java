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
import org.junit.jupiter.params.provider.CsvSource;

class CloseAndProbeTest {

    @BeforeAll
    static void inLab() {
        Lab.requireLab();
    }

    @Test
    void closingNeverOpenedSlotsAnswersOneKeepsStandardInputAndUnknownNamesRaise() {
        int before = SerialLab.deviceDescriptors();
        Lab.closeAll();
        assertTrue(new File("/proc/self/fd/0").exists(), "standard input was closed");
        assertEquals(before, SerialLab.deviceDescriptors());
        for (String name : new String[] {"COM41", "COMUSB41", "com1", "COM1 ", "COM01", "COMUSB", "", "/dev/ttyS1",
            "COM1\u0000", null}) {
            Lab.assertRaises("Serial port does not exits.", () -> SerialPort.closePortC(name));
        }
        assertEquals(1, SerialPort.setTimeOutSerialPortC());
    }

    @ParameterizedTest
    @CsvSource({"pty,free", "missing,busy", "file,free", "fifo,free", "directory,busy", "link,busy"})
    void probeAnswersFreeOnlyForWhatOpensReadWrite(String kind, String answer) throws Exception {
        Path node = Path.of("/dev/ttyUSB3");
        try (SerialLab.FarEnd device = SerialLab.attach(node.toString())) {
            if (!kind.equals("pty")) {
                SerialLab.makeNode(kind, node.toString());
            }
            int before = SerialLab.deviceDescriptors();
            assertEquals(answer, SerialPort.getStateSerialPortC(node.toString()));
            assertEquals(before, SerialLab.deviceDescriptors());
        } finally {
            Files.deleteIfExists(node);
        }
    }

    @Test
    void probeTakesANameAsAPathInTheWorkingDirectoryAndNothingAsBusy() {
        for (String path : new String[] {"COM1", "", null}) {
            assertEquals("busy", SerialPort.getStateSerialPortC(path));
        }
    }
}
