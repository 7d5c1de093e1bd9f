package core;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import lab.SerialLab;
import org.junit.jupiter.api.function.Executable;

/** What the Java tests share: the lab check, descriptor counts, exact exceptions. */
final class Lab {

    private Lab() {
    }

    /** Fails, never skips: ctest runs these tests inside the lab only. */
    static void requireLab() {
        assertTrue(SerialLab.insideLab(), "the Java tests must run inside the serial lab");
    }

    /** Descriptors on serial nodes: what the library opens and must give back. */
    static int openDescriptors() {
        return SerialLab.deviceDescriptors();
    }

    /** The call raises exactly java.lang.Exception with exactly this message. */
    static void assertRaises(String message, Executable call) {
        Exception raised = assertThrows(Exception.class, call);
        assertEquals(Exception.class, raised.getClass());
        assertEquals(message, raised.getMessage());
    }
}
