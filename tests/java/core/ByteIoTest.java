package core;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import lab.SerialLab;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

/** Bytes out and in on COM1, a lab pty at 115200 8N1 whose far end the test holds. */
class ByteIoTest {

    private SerialLab.FarEnd device;
    private int descriptorsBefore;

    @BeforeAll
    static void inLab() {
        Lab.requireLab();
    }

    @BeforeEach
    void openCom1() {
        descriptorsBefore = SerialLab.deviceDescriptors();
        device = SerialLab.attach("/dev/ttyS1");
        assertEquals(1, SerialPort.openPortC("COM1", "115200", "8", "1", "N"));
    }

    @AfterEach
    void closeEverything() {
        Lab.closeAll();
        device.close();
        assertEquals(descriptorsBefore, SerialLab.deviceDescriptors(), "a descriptor leaked");
    }

    private byte[] sent() {
        return device.take(16, 50);
    }

    @ParameterizedTest
    @CsvSource({"65,0x41", "321,0x41", "255,0xFF", "-1,0xFF", "256,0x00", "-128,0x80", "10,0x0A", "13,0x0D",
        "17,0x11", "19,0x13"})
    void anIntOrACharSendsExactlyItsLowByte(int data, String expected) {
        byte[] one = {(byte) (int) Integer.decode(expected)};
        assertEquals(1, SerialPort.writeDataInt("COM1", data));
        assertArrayEquals(one, sent());
        assertEquals(1, SerialPort.writePortC("COM1", (char) (data & 0xFFFF)));
        assertArrayEquals(one, sent());
    }

    @ParameterizedTest
    @CsvSource(value = {"ABC|0x41", "''|0x00", "\u00e9t\u00e9|0xC3", "\u20ac|0xE2", "\u0000A|0xC0",
        "\ud83d\ude00|0xED"}, delimiter = '|',
        ignoreLeadingAndTrailingWhitespace = false)
    void aStringSendsTheFirstByteOfItsModifiedUtf8(String data, String expected) {
        assertEquals(1, SerialPort.writePortC("COM1", data));
        assertArrayEquals(new byte[] {(byte) (int) Integer.decode(expected)}, sent());
    }

    @ParameterizedTest
    @CsvSource(value = {"0x41,65,65,A", "0x00,0,0,''", "0x7F,127,127,\u007f", "0x80,128,65408,\u0080",
        "0xE9,233,65513,\u00e9", "0xFF,255,65535,\u00ff", "0x0D,13,13,\r", "0x13,19,19,\u0013"},
        ignoreLeadingAndTrailingWhitespace = false)
    void eachReadTakesOneByteInItsShape(String injected, int asInt, int asChar, String asText) throws Exception {
        byte b = (byte) (int) Integer.decode(injected);
        device.inject(b, b, b);
        Thread.sleep(5);
        assertEquals(asInt, SerialPort.readDataInt("COM1"));
        assertEquals((char) asChar, SerialPort.readPortLikeCharC("COM1"));
        assertEquals(asText, SerialPort.readPortC("COM1"));
        assertEquals(0, SerialPort.readDataInt("COM1"), "one byte per call, and nothing more waiting");
        assertEquals('\0', SerialPort.readPortLikeCharC("COM1"));
        assertEquals("", SerialPort.readPortC("COM1"));
    }

    @Test
    void unknownNamesAndANullStringRaiseAndMoveNoByte() throws Exception {
        device.inject((byte) 'Z');
        Thread.sleep(5);
        for (String name : new String[] {"COM41", "COMUSB41", "com1", "COM1 ", "/dev/ttyS1", "COM1".repeat(9), null}) {
            Lab.assertRaises("Can not be read serial port.", () -> SerialPort.readDataInt(name));
            Lab.assertRaises("Can not be read serial port.", () -> SerialPort.readPortLikeCharC(name));
            Lab.assertRaises("Can not be read serial port.", () -> SerialPort.readPortC(name));
            Lab.assertRaises("Serial port does not exits.", () -> SerialPort.writeDataInt(name, 65));
            Lab.assertRaises("Serial port does not exits.", () -> SerialPort.writePortC(name, 'A'));
            Lab.assertRaises("Serial port does not exits.", () -> SerialPort.writePortC(name, "A"));
            Lab.assertRaises("Serial port does not exits.", () -> SerialPort.writePortC(name, (String) null));
        }
        assertThrows(NullPointerException.class, () -> SerialPort.writePortC("COM1", (String) null));
        assertEquals(0, sent().length);
        assertEquals('Z', SerialPort.readDataInt("COM1"));
    }

    @Test
    void aFullOutputQueueRaisesAtOnceLosesOnlyThatByteAndDrainingRecovers() {
        int accepted = 0;
        Exception failure = null;
        while (failure == null && accepted < 1_000_000) {
            try {
                SerialPort.writeDataInt("COM1", 0x55);
                accepted++;
            } catch (Exception e) {
                failure = e;
            }
        }
        assertTrue(failure != null, "the queue never filled");
        assertEquals("Can not be write serial port COM1 = /dev/ttyS1.", failure.getMessage());
        assertEquals(accepted, device.take(accepted + 10, 100).length);
        assertEquals(1, SerialPort.writeDataInt("COM1", 0x41));
        assertArrayEquals(new byte[] {0x41}, sent());
    }

    @Test
    void aVanishedDeviceReadsNothingRaisesOnWriteAndCanComeBack() {
        device.close();
        assertEquals(0, SerialPort.readDataInt("COM1"));
        assertEquals("", SerialPort.readPortC("COM1"));
        Lab.assertRaises("Can not be write serial port COM1 = /dev/ttyS1.", () -> SerialPort.writePortC("COM1", 'x'));
        Lab.assertRaises("Error setting serial port COM1 = /dev/ttyS1.",
                () -> SerialPort.openPortC("COM1", "9600", "8", "1", "N"));
        device = SerialLab.attach("/dev/ttyS1");
        assertEquals(1, SerialPort.openPortC("COM1", "9600", "8", "1", "N"));
        SerialPort.writeDataInt("COM1", 0x42);
        assertArrayEquals(new byte[] {0x42}, sent());
    }

    @Test
    void aClosedSlotReadsNothingAndASecondCloseSparesTheDescriptorNumberAnotherOpenReused() {
        assertEquals(1, SerialPort.closePortC("COM1"));
        device.inject((byte) 'q');
        assertEquals(0, SerialPort.readDataInt("COM1"));
        Lab.assertRaises("Can not be write serial port COM1 = /dev/ttyS1.", () -> SerialPort.writeDataInt("COM1", 65));
        try (SerialLab.FarEnd other = SerialLab.attach("/dev/ttyS2")) {
            SerialPort.openPortC("COM2", "9600", "8", "1", "N");  // likely the number COM1 just gave up
            assertEquals(1, SerialPort.closePortC("COM1"));
            SerialPort.writeDataInt("COM2", 0x32);
            assertArrayEquals(new byte[] {0x32}, other.take(4, 200));
        }
    }

    @Test
    void allByteValuesGoOutAndComeBackWhileAReaderAndAWriterShareTheSlot() throws Exception {
        device.echo();
        int count = 20_000;
        CompletableFuture<Void> writer = CompletableFuture.runAsync(() -> {
            for (int i = 0; i < count; i++) {
                writeRetrying("COM1", i);
            }
        }, runnable -> new Thread(runnable).start());
        long deadline = System.nanoTime() + TimeUnit.SECONDS.toNanos(60);
        // 0x00 reads like "no byte": where a zero is due, a 0 counts as it, and
        // the real zero, read later, is passed over like silence.
        int i = 0;
        while (i < count && System.nanoTime() < deadline) {
            int b = SerialPort.readDataInt("COM1");
            if (b != 0 || i % 256 == 0) {
                assertEquals(i % 256, b, "byte " + i);
                i++;
            }
        }
        assertEquals(count, i, "bytes back in time");
        writer.get(60, TimeUnit.SECONDS);
    }

    private static void writeRetrying(String port, int value) {
        while (true) {
            try {
                SerialPort.writeDataInt(port, value);
                return;
            } catch (Exception fullQueue) {
                Thread.onSpinWait();
            }
        }
    }
}
