package core;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import lab.SerialLab;
import org.junit.jupiter.api.function.Executable;

/** What the Java tests share: the lab check, exact exceptions, closing every slot. */
final class Lab {

    private Lab() {
    }

    /** Fails, never skips: ctest runs these tests inside the lab only. */
    static void requireLab() {
        assertTrue(SerialLab.insideLab(), "the Java tests must run inside the serial lab");
    }

    /** The call raises exactly java.lang.Exception with exactly this message. */
    static void assertRaises(String message, Executable call) {
        Exception raised = assertThrows(Exception.class, call);
        assertEquals(Exception.class, raised.getClass());
        assertEquals(message, raised.getMessage());
    }

    static void closeAll() {
        for (int n = 0; n <= 40; n++) {
            SerialPort.closePortC("COM" + n);
            SerialPort.closePortC("COMUSB" + n);
        }
    }
}
